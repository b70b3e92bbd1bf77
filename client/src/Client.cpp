// The C API: one Client object behind each handle. Nothing here throws (no allocation after
// create, no library call that throws), so no exception can cross into a C caller.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "Codec.h"
#include "ConnectMachine.h"
#include "platform/platform.h"
#include "velantis/client.h"

namespace {

constexpr std::uint16_t kDefaultServerPort = 15000;
// Any datagram fits, so one that is too long is seen with its size instead of failing the receive.
constexpr std::size_t kReceiveCapacity = 65536;

std::int64_t NowMs() { return Velantis::ConnectDriver::NowMs(); }

void CopyText(char* target, std::size_t capacity, const char* text) {
  if (target == nullptr || capacity == 0) return;
  std::snprintf(target, capacity, "%s", text);
}

// A server on this machine answers on loopback only, so the socket stays off the network then;
// any other server needs the wildcard address.
Platform::Ipv4Address LocalAddress(std::uint32_t serverAddress, std::uint16_t localPort) {
  unsigned char firstByte = 0;
  std::memcpy(&firstByte, &serverAddress, 1);
  if (firstByte != 127) return Platform::MakeIpv4Address(0, localPort);
  return Platform::LoopbackAddress(localPort);
}

}  // namespace

struct velantis_client {
  Platform::SocketHandle socket = Platform::kNoSocket;
  Platform::Ipv4Address server;
  std::uint64_t clientID = 0;
  std::uint32_t messageNumber = 1;
  velantis_state state = VELANTIS_STATE_IDLE;
  std::uint32_t entityID = 0;
  Velantis::ConnectDriver connect;
  // What connect() was given, for the resends.
  char connectText[Packet::kMessageCapacity] = {};
  Vec2 connectPosition;
  velantis_counters counters = {};
  char lastError[256] = {};
  Packet packet;
  Velantis::TextBuffer eventText = {};
  std::byte buffer[kReceiveCapacity];

  explicit velantis_client(const Velantis::ConnectMachine::Timing& timing) : connect(timing) {}

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
    event = velantis_event{};
    event.type = VELANTIS_EVENT_CONNECT_FAILED;
    event.text = lastError;
    event.text_length = static_cast<std::uint32_t>(std::strlen(lastError));
    return true;
  }

  // Receives one datagram if one is waiting: 1 with an event, 0 without, negative on failure.
  int ReceiveOne(velantis_event& event) {
    Platform::Ipv4Address from;
    int fromLength = sizeof(from);
    const long size = Platform::ReceiveFrom(socket, buffer, sizeof(buffer), from, fromLength);
    if (size < 0) {
      // Windows reports an earlier send's unreachable port here; the socket goes on working.
      ++counters.receive_errors;
      return 0;
    }
    ++counters.received;
    const Velantis::Verdict verdict = Velantis::DecodeDatagram(buffer, size, packet);
    event = velantis_event{};
    Velantis::ToEvent(verdict, packet, size, event, eventText);
    event.from_address = from.address;
    event.from_port = Platform::HostToNetwork16(from.port);
    switch (verdict) {
      case Velantis::Verdict::WrongSize:
        ++counters.rejected_size;
        break;
      case Velantis::Verdict::BadChecksum:
        ++counters.rejected_checksum;
        break;
      case Velantis::Verdict::UnknownType:
        ++counters.rejected_type;
        break;
      case Velantis::Verdict::Packet:
        break;
    }
    if (event.type == VELANTIS_EVENT_WELCOME &&
        (state == VELANTIS_STATE_CONNECTING || state == VELANTIS_STATE_CONNECTED)) {
      connect.Welcomed();
      state = VELANTIS_STATE_CONNECTED;
      entityID = event.entity_id;
    }
    return 1;
  }
};

extern "C" {

VELANTIS_CLIENT_API uint32_t velantis_client_version(void) {
  return (VELANTIS_CLIENT_VERSION_MAJOR << 16) | (VELANTIS_CLIENT_VERSION_MINOR << 8) |
         VELANTIS_CLIENT_VERSION_PATCH;
}

VELANTIS_CLIENT_API void velantis_config_init(velantis_config* config) {
  if (config == nullptr) return;
  *config = velantis_config{};
  config->server_address = "127.0.0.1";
  config->server_port = kDefaultServerPort;
  const Velantis::ConnectMachine::Timing timing;
  config->first_resend_ms = timing.firstResendMs;
  config->max_resend_ms = timing.maxResendMs;
  config->tries_before_restart = timing.triesBeforeRestart;
  config->connect_timeout_ms = timing.giveUpMs;
}

VELANTIS_CLIENT_API velantis_client* velantis_client_create(const velantis_config* config,
                                                            char* error, size_t error_size) {
  CopyText(error, error_size, "");
  if (config == nullptr || config->server_address == nullptr) {
    CopyText(error, error_size, "no configuration or no server address");
    return nullptr;
  }
  std::uint32_t address = 0;
  if (Platform::ParseIpv4(config->server_address, address) != 1) {
    CopyText(error, error_size, "the server address is not a dotted IPv4 address");
    return nullptr;
  }
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
  client->server = Platform::MakeIpv4Address(address, config->server_port);
  client->clientID = config->client_id;
  char reason[128] = {};
  if (!Platform::StartSocketLibrary()) {
    std::snprintf(reason, sizeof(reason), "the socket library did not start (system error %d)",
                  Platform::LastSocketError());
    CopyText(error, error_size, reason);
    delete client;
    return nullptr;
  }
  client->socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
  if (client->socket == Platform::kNoSocket) {
    std::snprintf(reason, sizeof(reason), "cannot open a UDP socket (system error %d)",
                  Platform::LastSocketError());
  } else if (!Platform::Bind(client->socket, LocalAddress(address, config->local_port))) {
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
  client->entityID = 0;
  client->counters.connect_tries = 0;
  client->counters.connect_restarts = 0;
  if (!client->connect.Start([client](MessageType type) { return client->SendForConnect(type); })) {
    return VELANTIS_ERROR_SOCKET;
  }
  client->state = VELANTIS_STATE_CONNECTING;
  return VELANTIS_OK;
}

VELANTIS_CLIENT_API int velantis_client_service(velantis_client* client, velantis_event* event,
                                                uint32_t timeout_ms) {
  if (client == nullptr || event == nullptr) return VELANTIS_ERROR_ARGUMENT;
  const std::int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (client->RunConnectTimers(*event)) return 1;
    std::int64_t now = NowMs();
    std::int64_t wakeAt = deadline;
    if (client->connect.Active() && client->connect.NextDueMs() < wakeAt) {
      wakeAt = client->connect.NextDueMs();
    }
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
  return client->Send(MessageType::PlayerPositionUpdate, "Player position update", Vec2(x, y),
                      entity_id);
}

VELANTIS_CLIENT_API int velantis_client_disconnect(velantis_client* client) {
  if (client == nullptr) return VELANTIS_ERROR_ARGUMENT;
  client->connect.Stop();
  client->state = VELANTIS_STATE_IDLE;
  client->entityID = 0;
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

VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client) {
  return client == nullptr ? "no handle" : client->lastError;
}

}  // extern "C"
