// The C API: one Client object behind each handle. Nothing here throws (no allocation after
// create, no library call that throws), so no exception can cross into a C caller.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "Codec.h"
#include "ConnectMachine.h"
#include "platform/platform.h"
#include "velantis/client.h"

// The header turns velantis_config_init into a call of the sized one; the plain function stays
// exported for programs built against 1.1.
#undef velantis_config_init

namespace {

using Velantis::Extension;

constexpr std::uint16_t kDefaultServerPort = 15000;
// Any datagram fits, so one that is too long is seen with its size instead of failing the receive.
constexpr std::size_t kReceiveCapacity = 65536;
constexpr std::uint32_t kDefaultKeepaliveMs = 1000;
constexpr std::uint32_t kDefaultTimeoutMs = 5000;
constexpr std::uint32_t kDefaultPlayerTimeoutMs = 5000;
constexpr std::uint32_t kDefaultMaxPlayers = 256;
// The bytes of velantis_config that 1.1 had: everything up to and including its last field.
constexpr std::size_t kConfigSize11 = offsetof(velantis_config, size) + sizeof(std::uint32_t);
// And those of 1.2: up to its reserved field.
constexpr std::size_t kConfigSize12 = offsetof(velantis_config, reserved) + sizeof(std::uint32_t);
// Own updates remembered for matching their copies that come back (round-trip time, loss).
constexpr std::size_t kSentUpdates = 64;
constexpr std::size_t kMaxText = Packet::kMessageCapacity - 1;
// A chat line leaves room behind it for the extension and a short name.
constexpr std::size_t kMaxChatLine = 900;
constexpr std::size_t kChatQueue = 64;
// A chat line is repeated this often until this many of its copies came back through the server.
// Every copy the server relays goes to every player, so a player misses a line only when it lost
// all of them: at 20% loss on its side, 0.2^4 = 0.16% with four copies.
constexpr std::int64_t kChatRepeatUs = 30000;
constexpr std::uint32_t kChatCopiesBack = 4;
// Updates kept per player for interpolation.
constexpr std::size_t kSamples = 8;
constexpr std::int64_t kMaxInterpolationDelayUs = 200000;
// The server numbers every packet it sends; an update whose number is below one already delivered
// from the same player came late. Far below, or several in a row, the server has started counting
// again (a restart), and the update is current after all.
constexpr std::int32_t kCounterRestartGap = 1 << 16;
constexpr std::uint32_t kStaleRunOfRestart = 8;

// Steady microseconds: the library's clock, and milliseconds of the same clock for the timers.
std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
std::int64_t NowMs() { return Velantis::ConnectDriver::NowMs(); }

void CopyText(char* target, std::size_t capacity, const char* text) {
  if (target == nullptr || capacity == 0) return;
  std::snprintf(target, capacity, "%s", text);
}

std::uint64_t TextHash(const char* text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (; *text != '\0'; ++text)
    hash = (hash ^ static_cast<unsigned char>(*text)) * 0x100000001b3ULL;
  return hash;
}

// An id nobody guesses: 64 bits of the system's randomness, never 0. random_device may throw where
// the system has no source; the clock and the handle's address are the fallback.
std::uint64_t RandomId(const void* handle) {
  std::uint64_t id = 0;
  try {
    std::random_device source;
    id = (static_cast<std::uint64_t>(source()) << 32) ^ source();
  } catch (...) {
    id = static_cast<std::uint64_t>(
             std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
         reinterpret_cast<std::uintptr_t>(handle);
  }
  return id == 0 ? 1 : id;
}

bool Newer(std::uint32_t number, std::uint32_t last) {
  const auto ahead = static_cast<std::int32_t>(number - last);
  return ahead > 0 || ahead < -kCounterRestartGap;
}

void Defaults(velantis_config& config) {
  config = velantis_config{};
  config.server_address = "127.0.0.1";
  config.server_port = kDefaultServerPort;
  const Velantis::ConnectMachine::Timing timing;
  config.first_resend_ms = timing.firstResendMs;
  config.max_resend_ms = timing.maxResendMs;
  config.tries_before_restart = timing.triesBeforeRestart;
  config.connect_timeout_ms = timing.giveUpMs;
  config.size = sizeof(velantis_config);
  config.keepalive_ms = kDefaultKeepaliveMs;
  config.timeout_ms = kDefaultTimeoutMs;
  config.player_timeout_ms = kDefaultPlayerTimeoutMs;
  config.max_players = kDefaultMaxPlayers;
}

struct Sample {
  std::int64_t us = 0;
  float x = 0;
  float y = 0;
};

// Another player as last heard of. A player that left stays as `gone` for player_timeout_ms, so
// that its updates still on the way are known as old and do not bring it back.
struct PlayerSlot {
  bool used = false;
  bool gone = false;
  std::uint64_t id = 0;
  std::uint32_t entity = 0;
  float x = 0;
  float y = 0;
  std::int64_t heardMs = 0;
  std::uint32_t lastNumber = 0;
  std::uint32_t staleRun = 0;
  std::uint32_t textSession = 0;
  std::uint32_t textSequence = 0;
  char name[Extension::kMaxName + 1] = {};
  Sample samples[kSamples];
  std::size_t sampleCount = 0;
  std::size_t nextSample = 0;
  // Between the game's updates (keep-alives aside), smoothed, and how much that varies.
  std::int64_t lastGameUpdateUs = -1;
  float intervalUs = 0;
  float intervalDeviationUs = 0;
};

// One own update on its way through the server.
struct SentUpdate {
  bool open = false;
  std::int64_t sentMs = 0;
  std::int64_t sentUs = 0;
  float x = 0;
  float y = 0;
  std::uint32_t entity = 0;
  std::uint64_t textHash = 0;
  std::uint64_t nonce = 0;  // 0: it went without an extension
  std::uint32_t number = 0;
};

struct ChatLine {
  std::uint32_t sequence = 0;
  std::uint32_t copiesBack = 0;
  char text[kMaxChatLine + 1] = {};
};

}  // namespace

struct velantis_client {
  Platform::SocketHandle socket = Platform::kNoSocket;
  Platform::SocketAddress server;
  bool anyServerPort = false;
  bool reconnect = true;
  bool textEvents = false;
  // Snapshots asked for in every Connect, and granted by the last Welcome.
  bool asksSnapshots = false;
  bool snapshots = false;
  // The snapshot in `buffer` whose entries are being turned into events, the next one first.
  Velantis::Snapshot snapshot;
  std::size_t snapshotNext = 0;
  long snapshotSize = 0;
  Platform::SocketAddress snapshotFrom;
  // The text of the last own update: a server sending snapshots relays an update to their takers
  // only when its text differs from the one before.
  std::uint64_t lastTextHash = 0;
  std::uint32_t reconnectMaxTries = 0;
  std::int64_t interpolationDelayUs = 0;
  std::uint64_t clientID = 0;
  std::uint32_t messageNumber = 1;
  velantis_state state = VELANTIS_STATE_IDLE;
  std::uint32_t entityID = 0;
  Velantis::ConnectDriver connect;
  // What connect() was given, for the resends and reconnects; the name travels with every update.
  char connectText[Packet::kMessageCapacity] = {};
  std::size_t nameLength = 0;
  Vec2 connectPosition;
  velantis_counters counters = {};
  velantis_stats stats = {};
  char lastError[256] = {};
  Packet packet;
  Velantis::TextBuffer eventText = {};
  std::byte buffer[kReceiveCapacity];
  std::mt19937_64 random;
  std::uint32_t session = 0;
  std::int64_t eventUs = 0;
  std::int64_t datagramUs = 0;

  // Liveness.
  std::uint32_t keepaliveMs = kDefaultKeepaliveMs;
  std::uint32_t timeoutMs = kDefaultTimeoutMs;
  std::uint32_t playerTimeoutMs = kDefaultPlayerTimeoutMs;
  std::uint32_t firstResendMs = 500;
  std::int64_t lastSendMs = 0;
  // When the first own update went out that has not come back (nor any after it); -1: none.
  std::int64_t unansweredSinceMs = -1;
  std::int64_t serverHeardMs = -1;
  // When the server last returned an own update in flight: the only proof that it serves us.
  std::int64_t ownBackMs = -1;
  // Welcomed, and an own update has come back since: the server relays to this player.
  bool admitted = false;
  // The game's last position, which the keep-alives repeat (without its text).
  bool haveUpdate = false;
  Vec2 updatePosition;
  PlayerSlot* players = nullptr;
  std::uint32_t maxPlayers = 0;
  SentUpdate sent[kSentUpdates];
  std::size_t nextSent = 0;
  float lastRttMs = -1;
  // Chat lines: a ring of kChatQueue, the first one being sent.
  ChatLine* chat = nullptr;
  std::size_t chatFirst = 0;
  std::size_t chatCount = 0;
  std::uint32_t chatSequence = 0;
  std::int64_t chatDueUs = 0;
  // The datagram in `buffer` gives a second event (a JOINED came first): handled again by the
  // next service call.
  bool replay = false;
  long replaySize = 0;
  Platform::SocketAddress replayFrom;
  std::int64_t windowStartMs = 0;
  std::uint64_t windowReceived = 0;
  std::uint64_t windowSent = 0;

  explicit velantis_client(const Velantis::ConnectMachine::Timing& timing) : connect(timing) {
    stats.rtt_last_ms = -1;
    stats.rtt_smoothed_ms = -1;
    windowStartMs = NowMs();
  }
  ~velantis_client() {
    delete[] players;
    delete[] chat;
  }

  int Fail(int result, const char* format, long long value = 0) {
    std::snprintf(lastError, sizeof(lastError), format, value);
    return result;
  }

  int Send(MessageType type, const char* text, Vec2 position, std::uint32_t entity,
           const Extension* extension = nullptr) {
    const std::uint32_t capability =
        type == MessageType::Connect && asksSnapshots ? Velantis::Snapshot::kCapability : 0;
    Velantis::BuildPacket(packet, clientID, type, text, position, entity, messageNumber, extension,
                          capability);
    if (Platform::SendTo(socket, packet.Bytes(), Packet::kSize, server) !=
        static_cast<long>(Packet::kSize)) {
      return Fail(VELANTIS_ERROR_SOCKET, "sending failed with system error %lld",
                  Platform::LastSocketError());
    }
    ++messageNumber;
    ++counters.sent;
    stats.bytes_sent += Packet::kSize;
    lastSendMs = NowMs();
    return VELANTIS_OK;
  }

  // A position update with the extension (a fresh nonce, the name), remembered for matching its
  // copy that comes back.
  int SendUpdate(Vec2 position, std::uint32_t entity, const char* text, Extension::Kind kind,
                 std::uint32_t textSequence = 0) {
    // A chat line or a goodbye must reach the players who take snapshots, who get only a new
    // text relayed: a text the same as the last one goes after a quiet keep-alive of another.
    if (snapshots && kind != Extension::Kind::Position && kind != Extension::Kind::KeepAlive &&
        TextHash(text) == lastTextHash) {
      const int result = SendUpdate(position, entity, "-", Extension::Kind::KeepAlive);
      if (result != VELANTIS_OK) return result;
    }
    Extension extension;
    extension.kind = kind;
    extension.session = session;
    extension.textSequence = textSequence;
    extension.nonce = random() | 1;
    extension.name = connectText;
    extension.nameLength = nameLength;
    const std::uint32_t number = messageNumber;
    const int result = Send(MessageType::PlayerPositionUpdate, text, position, entity, &extension);
    if (result != VELANTIS_OK) return result;
    lastTextHash = TextHash(text);
    Extension written;
    const bool carried = Velantis::ReadExtension(packet, written);
    ++stats.updates_sent;
    if (unansweredSinceMs < 0) unansweredSinceMs = lastSendMs;
    SentUpdate& slot = sent[nextSent];
    nextSent = (nextSent + 1) % kSentUpdates;
    if (slot.open) ++stats.updates_lost;
    slot = SentUpdate{true,       lastSendMs, NowUs(),        position.x,
                      position.y, entity,     TextHash(text), carried ? extension.nonce : 0,
                      number};
    return VELANTIS_OK;
  }

  // The game's own update.
  int SendGameUpdate(Vec2 position, std::uint32_t entity, const char* text) {
    const int result = SendUpdate(position, entity, text, Extension::Kind::Position);
    if (result == VELANTIS_OK) {
      haveUpdate = true;
      updatePosition = position;
    }
    return result;
  }

  Vec2 LastPosition() const { return haveUpdate ? updatePosition : connectPosition; }

  // Sends a packet of the connect sequence: the Connect as connect() was given it, or a restart's
  // Disconnect. Once connecting, a failed send stops nothing: the next try comes in its time.
  bool SendForConnect(MessageType type) {
    if (type == MessageType::Disconnect) ++counters.connect_restarts;
    if (type == MessageType::Connect) ++counters.connect_tries;
    const int sent = type == MessageType::Connect ? Send(type, connectText, connectPosition, 0)
                                                  : Send(type, "", {}, 0);
    return sent == VELANTIS_OK || state == VELANTIS_STATE_CONNECTING;
  }

  // connect() gives up after connect_timeout_ms; a reconnect counts its tries instead. No
  // Disconnect goes first: a validating server answers a repeated Connect, and the connect logic
  // deregisters on its own schedule where a server does not.
  bool StartConnecting(bool reconnecting) {
    entityID = 0;
    counters.connect_tries = 0;
    counters.connect_restarts = 0;
    Forget();
    const auto send = [this](MessageType type) { return SendForConnect(type); };
    if (!(reconnecting ? connect.StartCountingTries(send, reconnectMaxTries) : connect.Start(send)))
      return false;
    state = VELANTIS_STATE_CONNECTING;
    return true;
  }

  // Forgets the players and the updates in flight; the chat lines wait for the next Welcome.
  void Forget() {
    for (std::uint32_t i = 0; i < maxPlayers; ++i) players[i] = PlayerSlot{};
    for (SentUpdate& update : sent) {
      if (update.open) ++stats.updates_lost;
      update.open = false;
    }
    unansweredSinceMs = -1;
    admitted = false;
    replay = false;
    snapshotNext = snapshot.count;
    lastTextHash = 0;
  }

  void Describe(velantis_event& event, int type, const char* text) {
    event = velantis_event{};
    event.type = type;
    event.text = text;
    event.text_length = static_cast<std::uint32_t>(std::strlen(text));
    eventUs = NowUs();
  }

  // Sends what the connect logic says is due; true when the event is the give-up.
  bool RunConnectTimers(velantis_event& event) {
    if (connect.Poll([this](MessageType type) { return SendForConnect(type); }) !=
        Velantis::ConnectDriver::Outcome::GaveUp) {
      return false;
    }
    // The server may hold a registration whose answers were all lost: let it go.
    Send(MessageType::Disconnect, "", {}, 0);
    state = VELANTIS_STATE_FAILED;
    std::snprintf(lastError, sizeof(lastError),
                  "no Welcome from the server after %llu Connects (%llu restarts)",
                  static_cast<unsigned long long>(counters.connect_tries),
                  static_cast<unsigned long long>(counters.connect_restarts));
    Describe(event, VELANTIS_EVENT_CONNECT_FAILED, lastError);
    return true;
  }

  // Connected, nothing of the own updates back for timeout_ms: the server is gone or out of
  // reach. True with the CONNECTION_LOST event; the reconnect has started unless it is turned off.
  bool CheckConnection(velantis_event& event, std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED || unansweredSinceMs < 0 ||
        now - unansweredSinceMs < timeoutMs) {
      return false;
    }
    ++stats.connections_lost;
    std::snprintf(lastError, sizeof(lastError), "nothing came back from the server for %u ms%s",
                  timeoutMs, reconnect ? "; reconnecting" : "");
    if (!reconnect || !StartConnecting(true)) {
      Forget();
      connect.Stop();
      state = VELANTIS_STATE_FAILED;
      entityID = 0;
    }
    Describe(event, VELANTIS_EVENT_CONNECTION_LOST, lastError);
    return true;
  }

  // Keeps the server hearing from this player, without text. Until the server has relayed one
  // own update after the Welcome, the update is repeated as often as a Connect would be: a
  // validating server registers the player only when one arrives.
  void SendKeepalive(std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED) return;
    const std::uint32_t every = admitted ? keepaliveMs : std::min(keepaliveMs, firstResendMs);
    if (now - lastSendMs < every) return;
    ++stats.keepalives_sent;
    SendUpdate(LastPosition(), entityID, "", Extension::Kind::KeepAlive);
  }

  void SendChat() {
    if (state != VELANTIS_STATE_CONNECTED || !admitted || chatCount == 0) return;
    const std::int64_t now = NowUs();
    if (now < chatDueUs) return;
    const ChatLine& line = chat[chatFirst];
    if (SendUpdate(LastPosition(), entityID, line.text, Extension::Kind::Text, line.sequence) ==
        VELANTIS_OK) {
      chatDueUs = now + kChatRepeatUs;
    }
  }

  // One PLAYER_LEFT for a player not heard of for player_timeout_ms, while the server is seen to
  // serve this player: when it does not, CONNECTION_LOST speaks for everybody.
  bool CheckPlayers(velantis_event& event, std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED) return false;
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      PlayerSlot& player = players[i];
      if (!player.used || now - player.heardMs < playerTimeoutMs) continue;
      if (player.gone) {
        player = PlayerSlot{};
        continue;
      }
      if (ownBackMs < player.heardMs + playerTimeoutMs) continue;
      Left(event, player, now);
      return true;
    }
    return false;
  }

  void Left(velantis_event& event, PlayerSlot& player, std::int64_t now) {
    Describe(event, VELANTIS_EVENT_PLAYER_LEFT, player.name);
    event.player_id = player.id;
    event.client_id = player.id;
    event.entity_id = player.entity;
    event.x = player.x;
    event.y = player.y;
    player.gone = true;
    player.heardMs = now;
  }

  // The earliest time something is due without a datagram: a resend, a keep-alive, a time-out.
  std::int64_t NextDueMs(std::int64_t now, std::int64_t deadline) const {
    std::int64_t due = deadline;
    if (connect.Active()) due = std::min(due, connect.NextDueMs());
    if (state != VELANTIS_STATE_CONNECTED) return due;
    due = std::min<std::int64_t>(due, lastSendMs + (admitted ? keepaliveMs : firstResendMs));
    if (unansweredSinceMs >= 0) due = std::min<std::int64_t>(due, unansweredSinceMs + timeoutMs);
    if (admitted && chatCount > 0) due = std::min<std::int64_t>(due, (chatDueUs + 999) / 1000);
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      // A player overdue waits for the server's next proof of life, which comes as a datagram.
      const std::int64_t playerDue = players[i].heardMs + playerTimeoutMs;
      if (players[i].used && playerDue > now) due = std::min(due, playerDue);
    }
    return due;
  }

  PlayerSlot* Find(std::uint64_t id) {
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      if (players[i].used && players[i].id == id) return &players[i];
    }
    return nullptr;
  }

  // Starts tracking a player (anew, when it had gone); null when the table is full.
  PlayerSlot* Track(PlayerSlot* player, const velantis_event& event, const char* name,
                    std::size_t length, std::int64_t now) {
    if (player == nullptr) {
      for (std::uint32_t i = 0; i < maxPlayers && player == nullptr; ++i) {
        if (!players[i].used) player = &players[i];
      }
    }
    if (player == nullptr) {
      ++stats.players_untracked;
      return nullptr;
    }
    *player = PlayerSlot{};
    player->used = true;
    player->id = event.player_id;
    player->entity = event.entity_id;
    player->x = event.x;
    player->y = event.y;
    player->heardMs = now;
    player->lastNumber = event.message_number;
    length = std::min(length, Extension::kMaxName);
    std::memcpy(player->name, name, length);
    player->name[length] = '\0';
    return player;
  }

  void Heard(PlayerSlot& player, const velantis_event& event, bool gameUpdate, std::int64_t now) {
    player.heardMs = now;
    player.entity = event.entity_id;
    player.x = event.x;
    player.y = event.y;
    player.samples[player.nextSample] = Sample{datagramUs, event.x, event.y};
    player.nextSample = (player.nextSample + 1) % kSamples;
    player.sampleCount = std::min(player.sampleCount + 1, kSamples);
    if (!gameUpdate) return;
    if (player.lastGameUpdateUs >= 0) {
      const auto interval = static_cast<float>(datagramUs - player.lastGameUpdateUs);
      if (player.intervalUs == 0) {
        player.intervalUs = interval;
      } else {
        player.intervalDeviationUs +=
            (std::abs(interval - player.intervalUs) - player.intervalDeviationUs) / 8;
        player.intervalUs += (interval - player.intervalUs) / 8;
      }
    }
    player.lastGameUpdateUs = datagramUs;
  }

  // An own update back from the server. Only a copy of one still in flight counts (its nonce, or
  // for one that went without an extension its contents): it proves the connection lives, gives
  // the round trip, and may confirm a chat line. Anything else is a late repeat or a forgery.
  bool OwnUpdateBack(const velantis_event& event, const Extension* extension) {
    const std::uint64_t hash = TextHash(event.text);
    for (std::size_t k = 0; k < kSentUpdates; ++k) {
      SentUpdate& update = sent[(nextSent + k) % kSentUpdates];
      if (!update.open) continue;
      if (extension != nullptr ? update.nonce != extension->nonce
                               : update.nonce != 0 || update.x != event.x || update.y != event.y ||
                                     update.entity != event.entity_id || update.textHash != hash) {
        continue;
      }
      Returned(update);
      return true;
    }
    ++stats.own_unmatched;
    return false;
  }

  // An own update the server is known to have: it proves the connection lives and gives the round
  // trip.
  void Returned(SentUpdate& update) {
    update.open = false;
    unansweredSinceMs = -1;
    ownBackMs = NowMs();
    admitted = true;
    ++stats.updates_returned;
    const auto rtt = static_cast<float>(NowUs() - update.sentUs) / 1000.0f;
    if (lastRttMs >= 0) stats.jitter_ms += (std::abs(rtt - lastRttMs) - stats.jitter_ms) / 16;
    lastRttMs = rtt;
    stats.rtt_last_ms = rtt;
    stats.rtt_smoothed_ms =
        stats.rtt_smoothed_ms < 0 ? rtt : stats.rtt_smoothed_ms + (rtt - stats.rtt_smoothed_ms) / 8;
  }

  // The own updates a snapshot acknowledges: the newest it names and those its bits name.
  void Acknowledged(const Velantis::Snapshot& received) {
    for (SentUpdate& update : sent) {
      if (!update.open) continue;
      const auto behind = static_cast<std::int32_t>(received.ack - update.number);
      if (behind == 0 || (behind > 0 && behind <= 32 && (received.ackBits >> (behind - 1)) & 1)) {
        Returned(update);
      }
    }
  }

  // A snapshot: its acknowledgement now, its entries one event at a time.
  int HandleSnapshot(velantis_event& event, long size, const Platform::SocketAddress& from) {
    if (!Velantis::DecodeSnapshot(buffer, size, snapshot)) {
      ++counters.rejected_checksum;
      Describe(event, VELANTIS_EVENT_REJECTED, "");
      event.reject_reason = VELANTIS_REJECT_CHECKSUM;
      event.datagram_size = static_cast<std::int32_t>(size);
      event.message_type = Velantis::Snapshot::kType;
      eventUs = datagramUs;
      return 1;
    }
    if (state == VELANTIS_STATE_CONNECTED) Acknowledged(snapshot);
    snapshotNext = 0;
    snapshotSize = size;
    snapshotFrom = from;
    return NextSnapshotEntry(event);
  }

  // The next entry of the snapshot in hand as a POSITION_UPDATE (a PLAYER_JOINED first for a
  // player not known yet); 0 when none is left. The own entry is no event: the acknowledgement
  // speaks for it. An entry that only repeats what is known keeps its player from timing out.
  int NextSnapshotEntry(velantis_event& event) {
    while (snapshotNext < snapshot.count) {
      const Velantis::Snapshot::Entry entry = snapshot.At(snapshotNext);
      if (entry.playerID == clientID) {
        ++snapshotNext;
        continue;
      }
      PlayerSlot* known = Find(entry.playerID);
      if (known != nullptr && !known->gone && known->x == entry.x && known->y == entry.y &&
          known->entity == entry.entityID && Newer(snapshot.messageNumber, known->lastNumber)) {
        known->heardMs = NowMs();
        known->lastNumber = snapshot.messageNumber;
        ++snapshotNext;
        continue;
      }
      event = velantis_event{};
      event.type = VELANTIS_EVENT_POSITION_UPDATE;
      event.player_id = entry.playerID;
      event.client_id = entry.playerID;
      event.entity_id = entry.entityID;
      event.message_number = snapshot.messageNumber;
      event.x = entry.x;
      event.y = entry.y;
      eventText[0] = '\0';
      event.text = eventText;
      event.datagram_size = static_cast<std::int32_t>(snapshotSize);
      event.from_address = Platform::Ipv4Of(snapshotFrom);
      event.from_port = Platform::PortOf(snapshotFrom);
      event.message_type = Velantis::Snapshot::kType;
      eventUs = datagramUs;
      replay = false;
      const int result = HandleOther(event, snapshotSize, snapshotFrom, nullptr);
      // A PLAYER_JOINED came first: the same entry gives its update next.
      if (replay) {
        replay = false;
      } else {
        ++snapshotNext;
      }
      if (result == 1) return 1;
    }
    return 0;
  }

  // Receives one datagram if one is waiting: 1 with an event, 0 without.
  int ReceiveOne(velantis_event& event) {
    Platform::SocketAddress from;
    const long size = Platform::ReceiveFrom(socket, buffer, sizeof(buffer), from);
    if (size < 0) {
      // Windows reports an earlier send's unreachable port here; the socket goes on working.
      ++counters.receive_errors;
      return 0;
    }
    ++counters.received;
    stats.bytes_received += static_cast<std::uint64_t>(size);
    // Only the server speaks for the server: anything else is dropped before it is read.
    if (!Platform::SameHost(from, server) ||
        (!anyServerPort && Platform::PortOf(from) != Platform::PortOf(server))) {
      ++stats.rejected_source;
      return 0;
    }
    serverHeardMs = NowMs();
    datagramUs = NowUs();
    return Handle(event, size, from);
  }

  int Handle(velantis_event& event, long size, const Platform::SocketAddress& from) {
    if (snapshots && Velantis::LooksLikeSnapshot(buffer, size)) {
      return HandleSnapshot(event, size, from);
    }
    const Velantis::Verdict verdict = Velantis::DecodeDatagram(buffer, size, packet);
    event = velantis_event{};
    Velantis::ToEvent(verdict, packet, size, event, eventText);
    event.from_address = Platform::Ipv4Of(from);
    event.from_port = Platform::PortOf(from);
    eventUs = datagramUs;
    switch (verdict) {
      case Velantis::Verdict::WrongSize:
        ++counters.rejected_size;
        return 1;
      case Velantis::Verdict::BadChecksum:
        ++counters.rejected_checksum;
        return 1;
      case Velantis::Verdict::UnknownType:
        ++counters.rejected_type;
        return 1;
      case Velantis::Verdict::Packet:
        break;
    }
    if (event.type == VELANTIS_EVENT_WELCOME) {
      if (state != VELANTIS_STATE_CONNECTING) {
        ++stats.rejected_welcome;
        return 0;
      }
      connect.Welcomed();
      state = VELANTIS_STATE_CONNECTED;
      entityID = event.entity_id;
      snapshots = asksSnapshots && Velantis::GrantsSnapshots(packet);
      unansweredSinceMs = -1;
      // At once, so that a validating server admits the player within a round trip.
      SendUpdate(LastPosition(), entityID, "", Extension::Kind::KeepAlive);
      return 1;
    }
    Extension extension;
    const bool extended =
        event.type == VELANTIS_EVENT_POSITION_UPDATE && Velantis::ReadExtension(packet, extension);
    if (event.player_id == clientID) return HandleOwn(event, extended ? &extension : nullptr);
    return HandleOther(event, size, from, extended ? &extension : nullptr);
  }

  int HandleOwn(velantis_event& event, const Extension* extension) {
    if (event.type == VELANTIS_EVENT_PLAYER_JOINED) {
      if (state == VELANTIS_STATE_CONNECTING) return 1;
      ++stats.announcements_ignored;
      return 0;
    }
    if (!OwnUpdateBack(event, extension)) return 0;
    if (extension == nullptr || extension->kind == Extension::Kind::Position) return 1;
    if (extension->kind == Extension::Kind::Text && chatCount > 0 &&
        chat[chatFirst].sequence == extension->textSequence) {
      ChatLine& line = chat[chatFirst];
      const bool first = line.copiesBack++ == 0;
      if (line.copiesBack >= kChatCopiesBack) {
        ++stats.texts_confirmed;
        chatFirst = (chatFirst + 1) % kChatQueue;
        --chatCount;
        chatDueUs = 0;
      }
      if (first) return SurfaceText(event);
    }
    Quiet(event);
    return 1;
  }

  // A line's first copy: TEXT for games that asked for it, else the update with the line.
  int SurfaceText(velantis_event& event) const {
    if (textEvents) event.type = VELANTIS_EVENT_TEXT;
    return 1;
  }

  // The library's own updates reach the game as positions only.
  void Quiet(velantis_event& event) {
    eventText[0] = '\0';
    event.text = eventText;
    event.text_length = 0;
  }

  int HandleOther(velantis_event& event, long size, const Platform::SocketAddress& from,
                  const Extension* extension) {
    const std::int64_t now = NowMs();
    PlayerSlot* player = Find(event.player_id);
    bool fresh = player == nullptr || Newer(event.message_number, player->lastNumber);
    if (!fresh && ++player->staleRun >= kStaleRunOfRestart) fresh = true;
    if (event.type == VELANTIS_EVENT_PLAYER_JOINED) {
      if (player != nullptr && !player->gone) {
        // A player still here is not announced again by an honest server (the same player's
        // reconnect keeps its place): nothing changes.
        ++stats.announcements_ignored;
        return 0;
      }
      if (!fresh) return Stale();
      Track(player, event, event.text, event.text_length, now);
      return 1;
    }
    if (player == nullptr || player->gone) {
      if (!fresh) return Stale();
      if (extension != nullptr && extension->kind == Extension::Kind::Goodbye) return 0;
      // Seen for the first time without an announcement (it joined before this player did): its
      // join first, with its name when it sends one, then this update.
      const bool named = extension != nullptr;
      player = Track(player, event, named ? extension->name : "", named ? extension->nameLength : 0,
                     now);
      if (player == nullptr) return 1;
      player->lastNumber = event.message_number - 1;
      event.type = VELANTIS_EVENT_PLAYER_JOINED;
      std::snprintf(eventText, sizeof(eventText), "%s", player->name);
      event.text = eventText;
      event.text_length = static_cast<std::uint32_t>(std::strlen(eventText));
      Replay(size, from);
      return 1;
    }
    bool newLine = false;
    if (extension != nullptr && extension->kind == Extension::Kind::Text) {
      if (extension->session != player->textSession) {
        player->textSession = extension->session;
        player->textSequence = 0;
      }
      if (static_cast<std::int32_t>(extension->textSequence - player->textSequence) > 0) {
        player->textSequence = extension->textSequence;
        newLine = true;
        ++stats.texts_received;
      }
    }
    if (!fresh) {
      // A line still counts, in its own order, when the position it came with is old.
      if (!newLine) return Stale();
      event.type = VELANTIS_EVENT_POSITION_UPDATE;
      return SurfaceText(event);
    }
    player->lastNumber = event.message_number;
    player->staleRun = 0;
    if (extension != nullptr && extension->kind == Extension::Kind::Goodbye) {
      Left(event, *player, now);
      eventUs = datagramUs;
      return 1;
    }
    const bool gameUpdate = extension == nullptr || extension->kind == Extension::Kind::Position;
    Heard(*player, event, gameUpdate || newLine, now);
    if (newLine) return SurfaceText(event);
    if (!gameUpdate) Quiet(event);
    return 1;
  }

  int Stale() {
    ++stats.updates_stale;
    return 0;
  }

  void Replay(long size, const Platform::SocketAddress& from) {
    replay = true;
    replaySize = size;
    replayFrom = from;
  }

  void UpdateRates(std::int64_t now) {
    const std::int64_t elapsed = now - windowStartMs;
    if (elapsed < 1000) return;
    stats.datagrams_in_per_second = static_cast<float>(counters.received - windowReceived) *
                                    1000.0f / static_cast<float>(elapsed);
    stats.datagrams_out_per_second =
        static_cast<float>(counters.sent - windowSent) * 1000.0f / static_cast<float>(elapsed);
    windowStartMs = now;
    windowReceived = counters.received;
    windowSent = counters.sent;
  }

  // Says goodbye to the others, twice against a loss, before the Disconnect.
  void SayGoodbye() {
    if (state != VELANTIS_STATE_CONNECTED) return;
    for (int i = 0; i < 2; ++i) SendUpdate(LastPosition(), entityID, "", Extension::Kind::Goodbye);
  }

  int PositionAt(std::uint64_t id, std::int64_t timeUs, float& x, float& y) const {
    if (id == clientID && state == VELANTIS_STATE_CONNECTED) {
      x = LastPosition().x;
      y = LastPosition().y;
      return VELANTIS_OK;
    }
    const PlayerSlot* player = nullptr;
    for (std::uint32_t i = 0; i < maxPlayers && player == nullptr; ++i) {
      if (players[i].used && !players[i].gone && players[i].id == id) player = &players[i];
    }
    if (player == nullptr || player->sampleCount == 0) return VELANTIS_ERROR_STATE;
    const std::int64_t delay =
        interpolationDelayUs > 0
            ? interpolationDelayUs
            : std::min<std::int64_t>(
                  static_cast<std::int64_t>(player->intervalUs + 2 * player->intervalDeviationUs),
                  kMaxInterpolationDelayUs);
    const std::int64_t at = timeUs - delay;
    // Oldest to newest; the position at `at` lies between two of them, or at either end.
    const std::size_t first = (player->nextSample + kSamples - player->sampleCount) % kSamples;
    const Sample* before = nullptr;
    const Sample* after = nullptr;
    for (std::size_t k = 0; k < player->sampleCount; ++k) {
      const Sample& sample = player->samples[(first + k) % kSamples];
      if (sample.us <= at) {
        before = &sample;
      } else {
        after = &sample;
        break;
      }
    }
    if (before == nullptr) before = after;
    if (after == nullptr || after->us <= before->us) {
      x = before->x;
      y = before->y;
      return VELANTIS_OK;
    }
    const float share =
        static_cast<float>(at - before->us) / static_cast<float>(after->us - before->us);
    x = before->x + (after->x - before->x) * share;
    y = before->y + (after->y - before->y) * share;
    return VELANTIS_OK;
  }
};

extern "C" {

VELANTIS_CLIENT_API uint32_t velantis_client_version(void) {
  return (VELANTIS_CLIENT_VERSION_MAJOR << 16) | (VELANTIS_CLIENT_VERSION_MINOR << 8) |
         VELANTIS_CLIENT_VERSION_PATCH;
}

VELANTIS_CLIENT_API void velantis_config_init_sized(velantis_config* config, size_t size) {
  if (config == nullptr) return;
  velantis_config defaults;
  Defaults(defaults);
  size = std::min(size, sizeof(velantis_config));
  // A caller's struct shorter than this one gets the fields it has and says which it is: 1.2's,
  // or (size 0) 1.1's.
  static_assert(kConfigSize12 % alignof(velantis_config) == 0);
  if (size < sizeof(velantis_config)) defaults.size = size >= kConfigSize12 ? kConfigSize12 : 0;
  std::memcpy(config, &defaults, size);
}

// For programs built against 1.1, whose struct ends after the field now called size.
VELANTIS_CLIENT_API void velantis_config_init(velantis_config* config) {
  velantis_config_init_sized(config, kConfigSize11);
}

VELANTIS_CLIENT_API velantis_client* velantis_client_create(const velantis_config* config,
                                                            char* error, size_t error_size) {
  CopyText(error, error_size, "");
  if (config == nullptr || config->server_address == nullptr) {
    CopyText(error, error_size, "no configuration or no server address");
    return nullptr;
  }
  // As much of the caller's struct as its version has; the defaults for the rest.
  velantis_config settings;
  Defaults(settings);
  const std::size_t given =
      config->size == 0 ? kConfigSize11 : std::min<std::size_t>(config->size, sizeof(settings));
  std::memcpy(&settings, config, std::max(given, kConfigSize11));
  config = &settings;
  if (config->server_port == 0) {
    CopyText(error, error_size, "the server port is 0");
    return nullptr;
  }
  Velantis::ConnectMachine::Timing timing;
  timing.firstResendMs = config->first_resend_ms;
  timing.maxResendMs = config->max_resend_ms;
  timing.triesBeforeRestart = config->tries_before_restart;
  timing.giveUpMs = config->connect_timeout_ms;
  auto* client = new (std::nothrow) velantis_client(timing);
  if (client == nullptr) {
    CopyText(error, error_size, "out of memory");
    return nullptr;
  }
  client->clientID = config->client_id != 0 ? config->client_id : RandomId(client);
  client->keepaliveMs = std::max<std::uint32_t>(config->keepalive_ms, 1);
  client->timeoutMs = std::max<std::uint32_t>(config->timeout_ms, 1);
  client->playerTimeoutMs = std::max<std::uint32_t>(config->player_timeout_ms, 1);
  client->firstResendMs = std::max<std::uint32_t>(config->first_resend_ms, 1);
  client->reconnect = (config->flags & VELANTIS_FLAG_NO_RECONNECT) == 0;
  client->textEvents = (config->flags & VELANTIS_FLAG_TEXT_EVENTS) != 0;
  client->asksSnapshots = (config->flags & VELANTIS_FLAG_SNAPSHOTS) != 0;
  client->reconnectMaxTries = config->reconnect_max_tries;
  client->interpolationDelayUs = static_cast<std::int64_t>(config->interpolation_delay_ms) * 1000;
  client->random.seed(RandomId(client));
  client->session = static_cast<std::uint32_t>(client->random()) | 1;
  client->anyServerPort = (config->flags & VELANTIS_FLAG_ANY_SERVER_PORT) != 0;
  client->maxPlayers = config->max_players == 0 ? kDefaultMaxPlayers : config->max_players;
  client->players = new (std::nothrow) PlayerSlot[client->maxPlayers];
  client->chat = new (std::nothrow) ChatLine[kChatQueue];
  if (client->players == nullptr || client->chat == nullptr) {
    CopyText(error, error_size, "out of memory for the players table");
    delete client;
    return nullptr;
  }
  char reason[300] = {};
  if (!Platform::StartSocketLibrary()) {
    std::snprintf(reason, sizeof(reason), "the socket library did not start (system error %d)",
                  Platform::LastSocketError());
    CopyText(error, error_size, reason);
    delete client;
    return nullptr;
  }
  const int resolved =
      Platform::ResolveAddress(config->server_address, config->server_port, client->server);
  if (resolved != 0) {
    std::snprintf(reason, sizeof(reason), "cannot resolve the server address \"%.100s\": %s",
                  config->server_address, Platform::ResolveErrorText(resolved).c_str());
    CopyText(error, error_size, reason);
    velantis_client_destroy(client);
    return nullptr;
  }
  client->socket = Platform::OpenDatagramSocketFor(client->server);
  // A server on this machine answers on loopback only, so the socket stays off the network then;
  // any other server needs the wildcard address.
  const Platform::SocketAddress local = Platform::LocalAddressFor(
      client->server, Platform::IsLoopback(client->server), config->local_port);
  if (client->socket == Platform::kNoSocket) {
    std::snprintf(reason, sizeof(reason), "cannot open a UDP socket (system error %d)",
                  Platform::LastSocketError());
  } else if (!Platform::Bind(client->socket, local)) {
    std::snprintf(reason, sizeof(reason),
                  "cannot bind UDP port %u (system error %d); is it in use by another program?",
                  static_cast<unsigned>(config->local_port), Platform::LastSocketError());
  }
  if (reason[0] != '\0') {
    CopyText(error, error_size, reason);
    velantis_client_destroy(client);
    return nullptr;
  }
  Platform::IgnorePortUnreachable(client->socket);
  return client;
}

VELANTIS_CLIENT_API void velantis_client_destroy(velantis_client* client) {
  if (client == nullptr) return;
  if (client->socket != Platform::kNoSocket) Platform::CloseSocket(client->socket);
  Platform::StopSocketLibrary();
  delete client;
}

VELANTIS_CLIENT_API int velantis_client_connect(velantis_client* client, const char* text, float x,
                                                float y) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  if (client->state == VELANTIS_STATE_CONNECTING || client->state == VELANTIS_STATE_CONNECTED) {
    return client->Fail(VELANTIS_ERROR_STATE, "already connecting or connected");
  }
  std::snprintf(client->connectText, sizeof(client->connectText), "%s",
                text == nullptr ? "" : text);
  client->connectPosition = Vec2(x, y);
  client->haveUpdate = false;
  const std::size_t length = std::strlen(client->connectText);
  client->nameLength = length <= Extension::kMaxName ? length : 0;
  return client->StartConnecting(false) ? VELANTIS_OK : VELANTIS_ERROR_SOCKET;
}

VELANTIS_CLIENT_API int velantis_client_service(velantis_client* client, velantis_event* event,
                                                uint32_t timeout_ms) {
  if (client == nullptr || event == nullptr) return VELANTIS_ERROR_ARGUMENT;
  const std::int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (client->RunConnectTimers(*event)) return 1;
    std::int64_t now = NowMs();
    client->UpdateRates(now);
    if (client->CheckConnection(*event, now)) return 1;
    client->SendKeepalive(now);
    client->SendChat();
    if (client->CheckPlayers(*event, now)) return 1;
    if (client->replay) {
      client->replay = false;
      if (client->Handle(*event, client->replaySize, client->replayFrom) == 1) return 1;
    }
    if (client->NextSnapshotEntry(*event) == 1) return 1;
    const std::int64_t wakeAt = client->NextDueMs(now, deadline);
    // In steps of at most a minute, which any poll takes, however long the caller asked for.
    const int wait =
        wakeAt > now ? static_cast<int>(std::min<std::int64_t>(wakeAt - now, 60000)) : 0;
    if (Platform::WaitReadable(client->socket, wait)) {
      if (client->ReceiveOne(*event) == 1) return 1;
    }
    if (NowMs() >= deadline) {
      *event = velantis_event{};
      event->text = "";
      return 0;
    }
  }
}

VELANTIS_CLIENT_API int velantis_client_send_position(velantis_client* client, float x, float y,
                                                      uint32_t entity_id) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  if (client->state != VELANTIS_STATE_CONNECTED) {
    return client->Fail(VELANTIS_ERROR_STATE, "not connected: no Welcome has arrived");
  }
  return client->SendGameUpdate(Vec2(x, y), entity_id, "Player position update");
}

VELANTIS_CLIENT_API int velantis_client_send_position_text(velantis_client* client, float x,
                                                           float y, uint32_t entity_id,
                                                           const char* text) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  if (text == nullptr) text = "";
  std::size_t length = 0;
  while (length <= kMaxText && text[length] != '\0') ++length;
  if (length > kMaxText) {
    return client->Fail(VELANTIS_ERROR_ARGUMENT,
                        "the text is longer than %lld bytes, all a packet carries",
                        static_cast<long long>(kMaxText));
  }
  if (client->state != VELANTIS_STATE_CONNECTED) {
    return client->Fail(VELANTIS_ERROR_STATE, "not connected: no Welcome has arrived");
  }
  return client->SendGameUpdate(Vec2(x, y), entity_id, text);
}

VELANTIS_CLIENT_API int velantis_client_disconnect(velantis_client* client) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  client->SayGoodbye();
  client->chatCount = 0;
  client->connect.Stop();
  client->state = VELANTIS_STATE_IDLE;
  client->entityID = 0;
  client->Forget();
  return client->Send(MessageType::Disconnect, "", {}, 0);
}

VELANTIS_CLIENT_API int velantis_client_state(const velantis_client* client) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  return client->state;
}

VELANTIS_CLIENT_API uint32_t velantis_client_entity_id(const velantis_client* client) {
  return client == nullptr ? 0 : client->entityID;
}

VELANTIS_CLIENT_API uint16_t velantis_client_local_port(const velantis_client* client) {
  return client == nullptr ? 0 : Platform::LocalPort(client->socket);
}

VELANTIS_CLIENT_API void velantis_client_counters(const velantis_client* client,
                                                  velantis_counters* counters) {
  if (client == nullptr || counters == nullptr) return;
  *counters = client->counters;
}

VELANTIS_CLIENT_API uint64_t velantis_client_id(const velantis_client* client) {
  return client == nullptr ? 0 : client->clientID;
}

VELANTIS_CLIENT_API int velantis_client_stats(const velantis_client* client, velantis_stats* stats,
                                              size_t size) {
  if (client == nullptr || stats == nullptr) return VELANTIS_ERROR_ARGUMENT;
  velantis_stats figures = client->stats;
  const std::int64_t now = NowMs();
  // Updates still out after timeout_ms count as lost already.
  for (const SentUpdate& update : client->sent) {
    if (update.open && now - update.sentMs >= client->timeoutMs) ++figures.updates_lost;
  }
  const std::uint64_t judged = figures.updates_lost + figures.updates_returned;
  figures.update_loss =
      judged == 0 ? 0.0f : static_cast<float>(figures.updates_lost) / static_cast<float>(judged);
  figures.server_silent_ms = client->serverHeardMs < 0
                                 ? -1
                                 : static_cast<std::int32_t>(std::min<std::int64_t>(
                                       now - client->serverHeardMs, INT32_MAX));
  figures.unanswered_ms =
      client->ownBackMs < 0
          ? -1
          : static_cast<std::int32_t>(std::min<std::int64_t>(now - client->ownBackMs, INT32_MAX));
  figures.texts_queued = static_cast<std::uint32_t>(client->chatCount);
  figures.players = 0;
  for (std::uint32_t i = 0; i < client->maxPlayers; ++i) {
    figures.players += client->players[i].used && !client->players[i].gone;
  }
  std::memcpy(stats, &figures, std::min(size, sizeof(figures)));
  return VELANTIS_OK;
}

VELANTIS_CLIENT_API int64_t velantis_client_time_us(const velantis_client* client) {
  (void)client;
  return NowUs();
}

VELANTIS_CLIENT_API int64_t velantis_client_event_time_us(const velantis_client* client) {
  return client == nullptr ? 0 : client->eventUs;
}

VELANTIS_CLIENT_API int velantis_client_player_position_at(const velantis_client* client,
                                                           uint64_t player_id, int64_t time_us,
                                                           float* x, float* y) {
  if (client == nullptr || x == nullptr || y == nullptr) return VELANTIS_ERROR_ARGUMENT;
  return client->PositionAt(player_id, time_us, *x, *y);
}

VELANTIS_CLIENT_API int velantis_client_send_text(velantis_client* client, const char* text) {
  if (client == nullptr || text == nullptr) return VELANTIS_ERROR_ARGUMENT;
  const std::size_t length = strnlen(text, kMaxChatLine + 1);
  if (length > kMaxChatLine) {
    return client->Fail(VELANTIS_ERROR_ARGUMENT, "a chat line holds at most %lld bytes",
                        static_cast<long long>(kMaxChatLine));
  }
  if (client->chatCount == kChatQueue) {
    return client->Fail(VELANTIS_ERROR_STATE, "%lld chat lines are waiting already",
                        static_cast<long long>(kChatQueue));
  }
  ChatLine& line = client->chat[(client->chatFirst + client->chatCount) % kChatQueue];
  line.sequence = ++client->chatSequence;
  line.copiesBack = 0;
  std::memcpy(line.text, text, length);
  line.text[length] = '\0';
  ++client->chatCount;
  ++client->stats.texts_sent;
  client->SendChat();
  return VELANTIS_OK;
}

VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client) {
  return client == nullptr ? "no handle" : client->lastError;
}

}  // extern "C"
