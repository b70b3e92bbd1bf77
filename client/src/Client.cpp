// The C API: one Client object behind each handle. Nothing here throws (no allocation after
// create, no library call that throws), so no exception can cross into a C caller.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
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

constexpr std::uint16_t kDefaultServerPort = 15000;
// Any datagram fits, so one that is too long is seen with its size instead of failing the receive.
constexpr std::size_t kReceiveCapacity = 65536;
constexpr std::uint32_t kDefaultKeepaliveMs = 1000;
constexpr std::uint32_t kDefaultTimeoutMs = 5000;
constexpr std::uint32_t kDefaultPlayerTimeoutMs = 5000;
constexpr std::uint32_t kDefaultMaxPlayers = 256;
// The bytes of velantis_config that 1.1 had: everything up to and including its last field.
constexpr std::size_t kConfigSize11 = offsetof(velantis_config, size) + sizeof(std::uint32_t);
// Own updates remembered for matching their copies that come back (round-trip time, loss).
constexpr std::size_t kSentUpdates = 64;
constexpr std::size_t kMaxText = Packet::kMessageCapacity - 1;

std::int64_t NowMs() { return Velantis::ConnectDriver::NowMs(); }

// Round trips on loopback take microseconds.
std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

// Another player as last heard of.
struct PlayerSlot {
  bool used = false;
  std::uint64_t id = 0;
  std::uint32_t entity = 0;
  float x = 0;
  float y = 0;
  std::int64_t heardMs = 0;
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
};

}  // namespace

struct velantis_client {
  Platform::SocketHandle socket = Platform::kNoSocket;
  Platform::SocketAddress server;
  bool anyServerPort = false;
  bool reconnect = true;
  std::uint64_t clientID = 0;
  std::uint32_t messageNumber = 1;
  velantis_state state = VELANTIS_STATE_IDLE;
  std::uint32_t entityID = 0;
  Velantis::ConnectDriver connect;
  // What connect() was given, for the resends and reconnects.
  char connectText[Packet::kMessageCapacity] = {};
  Vec2 connectPosition;
  velantis_counters counters = {};
  velantis_stats stats = {};
  char lastError[256] = {};
  Packet packet;
  Velantis::TextBuffer eventText = {};
  std::byte buffer[kReceiveCapacity];

  // Liveness.
  std::uint32_t keepaliveMs = kDefaultKeepaliveMs;
  std::uint32_t timeoutMs = kDefaultTimeoutMs;
  std::uint32_t playerTimeoutMs = kDefaultPlayerTimeoutMs;
  std::int64_t lastSendMs = 0;
  // When the first own update went out that has not come back (nor any after it); -1: none.
  std::int64_t unansweredSinceMs = -1;
  std::int64_t serverHeardMs = -1;
  // The game's last update, which the keep-alives repeat.
  bool haveUpdate = false;
  char updateText[Packet::kMessageCapacity] = {};
  Vec2 updatePosition;
  std::uint32_t updateEntity = 0;
  PlayerSlot* players = nullptr;
  std::uint32_t maxPlayers = 0;
  SentUpdate sent[kSentUpdates];
  std::size_t nextSent = 0;
  // The datagram in `buffer` gives a second event (a JOINED came first, or a LEFT): handled again
  // by the next service call.
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
  ~velantis_client() { delete[] players; }

  int Fail(int result, const char* format, long long value = 0) {
    std::snprintf(lastError, sizeof(lastError), format, value);
    return result;
  }

  int Send(MessageType type, const char* text, Vec2 position, std::uint32_t entity) {
    Velantis::BuildPacket(packet, clientID, type, text, position, entity, messageNumber);
    if (Platform::SendTo(socket, packet.Bytes(), Packet::kSize, server) !=
        static_cast<long>(Packet::kSize)) {
      return Fail(VELANTIS_ERROR_SOCKET, "sending failed with system error %lld",
                  Platform::LastSocketError());
    }
    ++messageNumber;
    ++counters.sent;
    lastSendMs = NowMs();
    return VELANTIS_OK;
  }

  // A position update, remembered for the keep-alives and for matching its copy that comes back.
  int SendUpdate(Vec2 position, std::uint32_t entity, const char* text) {
    const int sent = Send(MessageType::PlayerPositionUpdate, text, position, entity);
    if (sent != VELANTIS_OK) return sent;
    if (text != updateText) std::snprintf(updateText, sizeof(updateText), "%s", text);
    haveUpdate = true;
    updatePosition = position;
    updateEntity = entity;
    ++stats.updates_sent;
    if (unansweredSinceMs < 0) unansweredSinceMs = lastSendMs;
    SentUpdate& slot = this->sent[nextSent];
    nextSent = (nextSent + 1) % kSentUpdates;
    if (slot.open) ++stats.updates_lost;
    slot = SentUpdate{true, lastSendMs, NowUs(), position.x, position.y, entity, TextHash(text)};
    return VELANTIS_OK;
  }

  // Sends a packet of the connect sequence: the Connect as connect() was given it, or a restart's
  // Disconnect. Once connecting, a failed send stops nothing: the next try comes in its time.
  bool SendForConnect(MessageType type) {
    if (type == MessageType::Disconnect) ++counters.connect_restarts;
    if (type == MessageType::Connect) ++counters.connect_tries;
    const int sent = type == MessageType::Connect ? Send(type, connectText, connectPosition, 0)
                                                  : Send(type, "", {}, 0);
    return sent == VELANTIS_OK || state == VELANTIS_STATE_CONNECTING;
  }

  bool StartConnecting() {
    entityID = 0;
    counters.connect_tries = 0;
    counters.connect_restarts = 0;
    Forget();
    if (!connect.Start([this](MessageType type) { return SendForConnect(type); })) return false;
    state = VELANTIS_STATE_CONNECTING;
    return true;
  }

  // Forgets the players, the update in flight and what the keep-alives would repeat.
  void Forget() {
    for (std::uint32_t i = 0; i < maxPlayers; ++i) players[i] = PlayerSlot{};
    for (SentUpdate& update : sent) {
      if (update.open) ++stats.updates_lost;
      update.open = false;
    }
    unansweredSinceMs = -1;
    haveUpdate = false;
    replay = false;
  }

  static void Describe(velantis_event& event, int type, const char* text) {
    event = velantis_event{};
    event.type = type;
    event.text = text;
    event.text_length = static_cast<std::uint32_t>(std::strlen(text));
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
  // reach. True with the CONNECTION_LOST event; the reconnect (Disconnect, then the connect
  // logic) has started unless it is turned off.
  bool CheckConnection(velantis_event& event, std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED || unansweredSinceMs < 0 ||
        now - unansweredSinceMs < timeoutMs) {
      return false;
    }
    ++stats.connections_lost;
    std::snprintf(lastError, sizeof(lastError), "nothing came back from the server for %u ms%s",
                  timeoutMs, reconnect ? "; reconnecting" : "");
    // Unregistered by a restart the Disconnect costs nothing; registered, it makes way for the
    // Connect that follows.
    Send(MessageType::Disconnect, "", {}, 0);
    if (!reconnect || !StartConnecting()) {
      Forget();
      connect.Stop();
      state = VELANTIS_STATE_FAILED;
      entityID = 0;
    }
    Describe(event, VELANTIS_EVENT_CONNECTION_LOST, lastError);
    return true;
  }

  void SendKeepalive(std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED || now - lastSendMs < keepaliveMs) return;
    ++stats.keepalives_sent;
    if (haveUpdate) {
      SendUpdate(updatePosition, updateEntity, updateText);
    } else {
      SendUpdate(connectPosition, entityID, "");
    }
  }

  // One PLAYER_LEFT for a player not heard of for player_timeout_ms.
  bool CheckPlayers(velantis_event& event, std::int64_t now) {
    if (state != VELANTIS_STATE_CONNECTED) return false;
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      PlayerSlot& player = players[i];
      if (!player.used || now - player.heardMs < playerTimeoutMs) continue;
      Left(event, player);
      return true;
    }
    return false;
  }

  void Left(velantis_event& event, PlayerSlot& player) {
    Describe(event, VELANTIS_EVENT_PLAYER_LEFT, "");
    event.player_id = player.id;
    event.client_id = player.id;
    event.entity_id = player.entity;
    event.x = player.x;
    event.y = player.y;
    player = PlayerSlot{};
  }

  // The earliest time something is due without a datagram: a resend, a keep-alive, a time-out.
  std::int64_t NextDueMs(std::int64_t deadline) const {
    std::int64_t due = deadline;
    if (connect.Active()) due = std::min(due, connect.NextDueMs());
    if (state != VELANTIS_STATE_CONNECTED) return due;
    due = std::min<std::int64_t>(due, lastSendMs + keepaliveMs);
    if (unansweredSinceMs >= 0) due = std::min<std::int64_t>(due, unansweredSinceMs + timeoutMs);
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      if (players[i].used) due = std::min<std::int64_t>(due, players[i].heardMs + playerTimeoutMs);
    }
    return due;
  }

  PlayerSlot* Find(std::uint64_t id) {
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      if (players[i].used && players[i].id == id) return &players[i];
    }
    return nullptr;
  }

  PlayerSlot* Add(const velantis_event& event, std::int64_t now) {
    for (std::uint32_t i = 0; i < maxPlayers; ++i) {
      if (!players[i].used) {
        players[i] = PlayerSlot{true, event.player_id, event.entity_id, event.x, event.y, now};
        return &players[i];
      }
    }
    ++stats.players_untracked;
    return nullptr;
  }

  // An own update back from the server: the connection lives; its round trip when it matches one
  // remembered (the oldest such, as the server keeps the order).
  void OwnUpdateBack(const velantis_event& event) {
    unansweredSinceMs = -1;
    const std::uint64_t hash = TextHash(event.text);
    for (std::size_t k = 0; k < kSentUpdates; ++k) {
      SentUpdate& update = sent[(nextSent + k) % kSentUpdates];
      if (!update.open || update.x != event.x || update.y != event.y ||
          update.entity != event.entity_id || update.textHash != hash) {
        continue;
      }
      update.open = false;
      ++stats.updates_returned;
      const auto rtt = static_cast<float>(NowUs() - update.sentUs) / 1000.0f;
      stats.rtt_last_ms = rtt;
      stats.rtt_smoothed_ms = stats.rtt_smoothed_ms < 0
                                  ? rtt
                                  : stats.rtt_smoothed_ms + (rtt - stats.rtt_smoothed_ms) / 8;
      return;
    }
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
    // Only the server speaks for the server: anything else is dropped before it is read.
    if (!Platform::SameHost(from, server) ||
        (!anyServerPort && Platform::PortOf(from) != Platform::PortOf(server))) {
      ++stats.rejected_source;
      return 0;
    }
    serverHeardMs = NowMs();
    return Handle(event, size, from);
  }

  int Handle(velantis_event& event, long size, const Platform::SocketAddress& from) {
    const Velantis::Verdict verdict = Velantis::DecodeDatagram(buffer, size, packet);
    event = velantis_event{};
    Velantis::ToEvent(verdict, packet, size, event, eventText);
    event.from_address = Platform::Ipv4Of(from);
    event.from_port = Platform::PortOf(from);
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
    const std::int64_t now = NowMs();
    if (event.type == VELANTIS_EVENT_WELCOME) {
      if (state != VELANTIS_STATE_CONNECTING) {
        ++stats.rejected_welcome;
        return 0;
      }
      connect.Welcomed();
      state = VELANTIS_STATE_CONNECTED;
      entityID = event.entity_id;
      unansweredSinceMs = -1;
      return 1;
    }
    if (event.player_id == clientID) {
      if (event.type == VELANTIS_EVENT_POSITION_UPDATE) OwnUpdateBack(event);
      return 1;
    }
    PlayerSlot* player = Find(event.player_id);
    if (event.type == VELANTIS_EVENT_PLAYER_JOINED && player != nullptr) {
      // Announced again: it came back with a new registration. It leaves first, then joins.
      Left(event, *player);
      Replay(size, from);
      return 1;
    }
    if (player == nullptr) {
      player = Add(event, now);
      if (player != nullptr && event.type == VELANTIS_EVENT_POSITION_UPDATE) {
        // Seen for the first time without an announcement (it joined before this player did):
        // its join first, then this update.
        event.type = VELANTIS_EVENT_PLAYER_JOINED;
        Replay(size, from);
      }
      return 1;
    }
    *player = PlayerSlot{true, event.player_id, event.entity_id, event.x, event.y, now};
    return 1;
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
  // A caller's struct shorter than 1.2's gets the fields it has and says it is a 1.1 one.
  if (size < sizeof(velantis_config)) defaults.size = 0;
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
  client->reconnect = (config->flags & VELANTIS_FLAG_NO_RECONNECT) == 0;
  client->anyServerPort = (config->flags & VELANTIS_FLAG_ANY_SERVER_PORT) != 0;
  client->maxPlayers = config->max_players == 0 ? kDefaultMaxPlayers : config->max_players;
  client->players = new (std::nothrow) PlayerSlot[client->maxPlayers];
  if (client->players == nullptr) {
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
  return client->StartConnecting() ? VELANTIS_OK : VELANTIS_ERROR_SOCKET;
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
    if (client->CheckPlayers(*event, now)) return 1;
    if (client->replay) {
      client->replay = false;
      if (client->Handle(*event, client->replaySize, client->replayFrom) == 1) return 1;
    }
    const std::int64_t wakeAt = client->NextDueMs(deadline);
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
  return client->SendUpdate(Vec2(x, y), entity_id, "Player position update");
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
  return client->SendUpdate(Vec2(x, y), entity_id, text);
}

VELANTIS_CLIENT_API int velantis_client_disconnect(velantis_client* client) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
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
  figures.players = 0;
  for (std::uint32_t i = 0; i < client->maxPlayers; ++i) figures.players += client->players[i].used;
  std::memcpy(stats, &figures, std::min(size, sizeof(figures)));
  return VELANTIS_OK;
}

VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client) {
  return client == nullptr ? "no handle" : client->lastError;
}

}  // extern "C"
