/* The game client's side of the velantis protocol, as a C library.
 *
 * One handle is one player: a UDP socket of its own, the connect logic (resends, back-off, the
 * Disconnect-and-restart the server needs when only its Welcome was lost, giving up), liveness
 * (keep-alives, noticing a lost server and reconnecting, noticing players who left), and the
 * packet codec. Only the server's address is listened to. The caller owns time: nothing runs in
 * the background; all of it happens inside velantis_client_service(), which waits only as long
 * as it is told to.
 *
 * A handle belongs to one thread at a time; different handles share nothing and may be used
 * from different threads at once. The library keeps no global state, allocates nothing per
 * packet, and prints and writes nothing: every call reports through its return value, and the
 * handle's velantis_client_last_error() says why the last call on it failed.
 *
 * Errors: calls returning int return VELANTIS_OK (0) or a negative velantis_result. */
#ifndef VELANTIS_CLIENT_H
#define VELANTIS_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VELANTIS_CLIENT_BUILDING)
#define VELANTIS_CLIENT_API __declspec(dllexport)
#else
#define VELANTIS_CLIENT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VELANTIS_CLIENT_API __attribute__((visibility("default")))
#else
#define VELANTIS_CLIENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version this header describes; velantis_client_version() tells the library's. */
#define VELANTIS_CLIENT_VERSION_MAJOR 1
#define VELANTIS_CLIENT_VERSION_MINOR 2
#define VELANTIS_CLIENT_VERSION_PATCH 0

typedef struct velantis_client velantis_client;

typedef enum velantis_result {
  VELANTIS_OK = 0,
  VELANTIS_ERROR_ARGUMENT = -1, /* a null handle or pointer, a bad address */
  VELANTIS_ERROR_STATE = -2,    /* not possible now, e.g. sending before the Welcome */
  VELANTIS_ERROR_SOCKET = -3    /* the system refused: opening, binding, sending, receiving */
} velantis_result;

typedef enum velantis_state {
  VELANTIS_STATE_IDLE = 0,       /* created, or disconnected */
  VELANTIS_STATE_CONNECTING = 1, /* Connect sent, no Welcome yet */
  VELANTIS_STATE_CONNECTED = 2,  /* welcomed: the entity id is known */
  VELANTIS_STATE_FAILED = 3      /* gave up connecting, or lost the server without reconnecting
                                    (VELANTIS_FLAG_NO_RECONNECT); connect() may be called again */
} velantis_state;

typedef enum velantis_event_type {
  VELANTIS_EVENT_NONE = 0,
  VELANTIS_EVENT_WELCOME = 1,         /* entity_id is this player's entity */
  VELANTIS_EVENT_PLAYER_JOINED = 2,   /* player_id, entity_id, text, x, y (this player too) */
  VELANTIS_EVENT_POSITION_UPDATE = 3, /* player_id, entity_id, x, y, text */
  VELANTIS_EVENT_REJECTED = 4,        /* a datagram that is no valid packet: see reject_reason */
  VELANTIS_EVENT_CONNECT_FAILED = 5,  /* no Welcome within the configured time; see last_error */
  /* Since 1.2.0. Nothing of this player's own updates came back for timeout_ms: the server is
   * gone or unreachable. Every player is forgotten (no PLAYER_LEFT follows for them), and unless
   * VELANTIS_FLAG_NO_RECONNECT is set the handle reconnects by itself: a WELCOME (a new entity
   * id) or a CONNECT_FAILED follows. text says why. */
  VELANTIS_EVENT_CONNECTION_LOST = 6,
  /* Since 1.2.0. Nothing arrived from or about player_id for player_timeout_ms (the server does
   * not announce Disconnects): entity_id, x, y and text are the last known. Once per player. */
  VELANTIS_EVENT_PLAYER_LEFT = 7
} velantis_event_type;

typedef enum velantis_reject_reason {
  VELANTIS_REJECT_NONE = 0,
  VELANTIS_REJECT_SIZE = 1,     /* not exactly 1056 bytes; datagram_size tells */
  VELANTIS_REJECT_CHECKSUM = 2, /* the FNV-1a 64 checksum does not match */
  VELANTIS_REJECT_TYPE = 3      /* a message type a server does not send; message_type tells */
} velantis_reject_reason;

/* Bits of velantis_config.flags (since 1.2.0). */
enum {
  /* Report VELANTIS_EVENT_CONNECTION_LOST and stop (VELANTIS_STATE_FAILED) instead of
   * reconnecting. */
  VELANTIS_FLAG_NO_RECONNECT = 1,
  /* Accept datagrams from the server's address whatever their source port. Servers before 1.1.0
   * answered from a fresh port for every packet; 1.1.0 and later answer from their own port, and
   * by default anything from another port is dropped (counted as rejected_source). */
  VELANTIS_FLAG_ANY_SERVER_PORT = 2
};

/* Filled by velantis_config_init() with the defaults; change what you need. */
typedef struct velantis_config {
  /* A host name ("game.example.com", "localhost"), a dotted IPv4 address or an IPv6 literal
   * ("::1"), resolved by create (which may then wait on the name service). Of several addresses
   * the first IPv4 one with a route is taken, else the first IPv6 one with a route (an IPv6-only
   * network with NAT64/DNS64). 1.1 took dotted IPv4 only. Read by create only. */
  const char* server_address;
  uint64_t client_id;            /* this player's id, stamped into every packet; 0 (the default):
                                    create draws a random one (velantis_client_id tells it) */
  uint16_t server_port;          /* default 15000 */
  uint16_t local_port;           /* 0: any free port */
  uint32_t first_resend_ms;      /* Connect resent after this without a Welcome; default 500 */
  uint32_t max_resend_ms;        /* the back-off doubles the wait up to this; default 1000 */
  uint32_t tries_before_restart; /* plain Connects, then Disconnect + Connect; default 3 */
  uint32_t connect_timeout_ms;   /* give up after this; default 10000 */
  /* sizeof(velantis_config) of the header the caller was built with, set by
   * velantis_config_init(); 0 (a 1.1 caller: the fields below are not there) takes their
   * defaults. */
  uint32_t size;
  /* Since 1.2.0. */
  uint32_t keepalive_ms;      /* while connected the server hears from this player at least this
                                 often: the last position update is resent; default 1000 */
  uint32_t timeout_ms;        /* none of the player's own updates back for this long: the
                                 connection is lost (EVENT_CONNECTION_LOST); default 5000 */
  uint32_t player_timeout_ms; /* nothing from or about a player for this long: PLAYER_LEFT;
                                 default 5000 */
  uint32_t max_players;       /* other players tracked at once (joins, leaves), allocated by
                                 create; 0 or default: 256 */
  uint32_t flags;             /* VELANTIS_FLAG_*; default 0 */
  uint32_t reserved;          /* 0 */
} velantis_config;

/* One event. text points into the handle and stays valid until the next call on it. */
typedef struct velantis_event {
  int32_t type;          /* velantis_event_type */
  int32_t reject_reason; /* velantis_reject_reason, for VELANTIS_EVENT_REJECTED */
  uint64_t player_id;    /* the player the packet concerns (playerUUID) */
  uint64_t client_id;    /* the packet's sender id (clientID; the server's own packets carry 0) */
  uint32_t entity_id;
  uint32_t message_number; /* the server's counter, one per packet it sends */
  float x;
  float y;
  const char* text; /* zero-terminated, never null */
  uint32_t text_length;
  int32_t datagram_size; /* bytes received */
  uint32_t from_address; /* sender's IPv4 address, network byte order; 0 for an IPv6 sender */
  uint16_t from_port;    /* sender's port, host byte order */
  uint8_t message_type;  /* the packet's type field as received */
  uint8_t reserved;
} velantis_event;

typedef struct velantis_counters {
  uint64_t sent;     /* datagrams sent */
  uint64_t received; /* datagrams received */
  uint64_t rejected_size;
  uint64_t rejected_checksum;
  uint64_t rejected_type;
  uint64_t receive_errors;   /* failed receives (Windows reports an earlier unreachable port so) */
  uint64_t connect_tries;    /* Connects sent by the last connect() */
  uint64_t connect_restarts; /* Disconnect + Connect restarts of the last connect() */
} velantis_counters;

/* Since 1.2.0: how the connection fares. velantis_client_stats() fills as much of it as the
 * caller's size says, so later versions can add fields at the end. */
typedef struct velantis_stats {
  float rtt_last_ms;             /* the last own update's way through the server and back;
                                    -1 before one came back */
  float rtt_smoothed_ms;         /* the same, smoothed (each new one counts 1/8); -1 before */
  float update_loss;             /* updates_lost / (updates_lost + updates_returned); 0 before */
  float datagrams_in_per_second; /* over the last whole second */
  float datagrams_out_per_second;
  int32_t server_silent_ms;   /* since the server was last heard; -1 never */
  uint64_t updates_sent;      /* own position updates, keep-alives included */
  uint64_t updates_returned;  /* of those, came back through the server */
  uint64_t updates_lost;      /* not back within timeout_ms */
  uint64_t keepalives_sent;   /* updates resent because the game sent none for keepalive_ms */
  uint64_t rejected_source;   /* datagrams dropped: not from the server's address (and port) */
  uint64_t rejected_welcome;  /* Welcomes dropped: they came while not connecting */
  uint64_t connections_lost;  /* CONNECTION_LOST events */
  uint64_t players_untracked; /* packets about a player the full table could not take */
  uint32_t players;           /* other players tracked now */
  uint32_t reserved;
} velantis_stats;

/* (major << 16) | (minor << 8) | patch of the library that is loaded. */
VELANTIS_CLIENT_API uint32_t velantis_client_version(void);

/* Fills the config with the defaults. velantis_config_init() is a macro that passes the size of
 * the struct this header declares; the function of that name is kept for programs built
 * against 1.1 and fills only the fields 1.1 had. */
VELANTIS_CLIENT_API void velantis_config_init_sized(velantis_config* config, size_t size);
VELANTIS_CLIENT_API void velantis_config_init(velantis_config* config);
#define velantis_config_init(config) velantis_config_init_sized((config), sizeof(velantis_config))

/* Opens and binds the socket. NULL on failure, with the reason in `error` (error_size bytes,
 * may be NULL/0). */
VELANTIS_CLIENT_API velantis_client* velantis_client_create(const velantis_config* config,
                                                            char* error, size_t error_size);
/* Closes the socket and frees the handle; sends nothing (call disconnect first). NULL is fine. */
VELANTIS_CLIENT_API void velantis_client_destroy(velantis_client* client);

/* Sends a Connect with the text (NULL: empty) and position, and keeps trying from
 * velantis_client_service() until the Welcome arrives or connect_timeout_ms has passed.
 * VELANTIS_ERROR_STATE while connecting or connected: call velantis_client_disconnect() first
 * (it sends a Disconnect; the connect after it registers the player anew). */
VELANTIS_CLIENT_API int velantis_client_connect(velantis_client* client, const char* text, float x,
                                                float y);

/* Sends what is due (Connect resends, keep-alives), notices a lost server or a player gone,
 * then returns the next event: 1 with *event filled, 0 when none came within timeout_ms (0: do
 * not wait), or a negative velantis_result. Call it every frame, waiting at most once. */
VELANTIS_CLIENT_API int velantis_client_service(velantis_client* client, velantis_event* event,
                                                uint32_t timeout_ms);

/* A position update for the entity (usually the one of the Welcome); connected handles only.
 * The server relays it to every player, this one included. */
VELANTIS_CLIENT_API int velantis_client_send_position(velantis_client* client, float x, float y,
                                                      uint32_t entity_id);
/* Since 1.2.0: the same with the update's text (NULL: empty), which the server relays with it:
 * at most 999 bytes, UTF-8; VELANTIS_ERROR_ARGUMENT beyond (nothing is sent). */
VELANTIS_CLIENT_API int velantis_client_send_position_text(velantis_client* client, float x,
                                                           float y, uint32_t entity_id,
                                                           const char* text);

/* Sends a Disconnect (the server forgets this player) and returns to VELANTIS_STATE_IDLE. */
VELANTIS_CLIENT_API int velantis_client_disconnect(velantis_client* client);

VELANTIS_CLIENT_API int velantis_client_state(const velantis_client* client);
/* This player's entity id once welcomed, else 0. */
VELANTIS_CLIENT_API uint32_t velantis_client_entity_id(const velantis_client* client);
/* The local port the socket is bound to (host byte order). */
VELANTIS_CLIENT_API uint16_t velantis_client_local_port(const velantis_client* client);
VELANTIS_CLIENT_API void velantis_client_counters(const velantis_client* client,
                                                  velantis_counters* counters);
/* Since 1.2.0: this player's id (the configured one, or the one drawn for a 0). */
VELANTIS_CLIENT_API uint64_t velantis_client_id(const velantis_client* client);
/* Since 1.2.0: fills up to `size` bytes of *stats (pass sizeof(velantis_stats)). */
VELANTIS_CLIENT_API int velantis_client_stats(const velantis_client* client, velantis_stats* stats,
                                              size_t size);
/* Why the last failed call on this handle failed; "" when none has. Valid until the next call. */
VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client);

#ifdef __cplusplus
}
#endif

#endif
