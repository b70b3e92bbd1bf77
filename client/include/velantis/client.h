/* The game client's side of the velantis protocol, as a C library.
 *
 * One handle is one player: a UDP socket of its own, the connect logic (resends, back-off, the
 * restart a server without address validation needs when only its Welcome was lost), liveness
 * (keep-alives, noticing a lost server and reconnecting for as long as the game wants, noticing
 * players who left), reliable chat lines, per-sender order of updates, interpolation, and the
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
#define VELANTIS_CLIENT_VERSION_MINOR 4
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
  /* Since 1.2.0. None of this player's own updates came back for timeout_ms: the server is gone
   * or unreachable. Every player is forgotten: no PLAYER_LEFT comes for them, before or after
   * (a player is reported left only while the server is seen to answer). Unless
   * VELANTIS_FLAG_NO_RECONNECT is set the handle reconnects by itself, for ever or
   * reconnect_max_tries Connects: a WELCOME follows (the same entity id where the server keeps
   * it), or a CONNECT_FAILED once the tries are spent. text says why. */
  VELANTIS_EVENT_CONNECTION_LOST = 6,
  /* Since 1.2.0. player_id said goodbye (1.3 players do, on disconnect), or nothing arrived
   * from or about it for player_timeout_ms while the server went on answering: entity_id, x, y
   * and text (its name) are the last known. Once per player. */
  VELANTIS_EVENT_PLAYER_LEFT = 7,
  /* Since 1.3.0, only with VELANTIS_FLAG_TEXT_EVENTS. A chat line from player_id (this player's
   * own lines too), once, in the order that player sent them; text holds it. */
  VELANTIS_EVENT_TEXT = 8
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
  VELANTIS_FLAG_ANY_SERVER_PORT = 2,
  /* Since 1.3.0: report chat lines (velantis_client_send_text) as VELANTIS_EVENT_TEXT. Without
   * it a line comes once as the text of a POSITION_UPDATE, so a game built for 1.2 sees no
   * event type it does not know. */
  VELANTIS_FLAG_TEXT_EVENTS = 4,
  /* Since 1.4.0: ask the server for snapshots (servers from 1.4 grant them): once a tick one
   * datagram carries the latest positions of many players instead of one 1056-byte packet per
   * update. They arrive as the same POSITION_UPDATE events (message_type 6, empty text) and feed
   * the same interpolation; a text still comes with a POSITION_UPDATE of its own, when it
   * changes. A server that does not grant them relays every update, as without the flag. */
  VELANTIS_FLAG_SNAPSHOTS = 8
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
  uint32_t max_resend_ms;        /* the back-off doubles the wait up to this (at most 2000);
                                    default 1000 */
  uint32_t tries_before_restart; /* plain Connects, then a Disconnect and, a try later, a
                                    Connect, for a server that answers a repeated Connect with
                                    nothing; default 3 */
  uint32_t connect_timeout_ms;   /* connect() gives up after this; default 10000 (reconnects
                                    after a lost connection count tries instead) */
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
  /* Since 1.3.0. */
  uint32_t reconnect_max_tries;    /* Connects of a reconnect before CONNECT_FAILED; 0 (the
                                      default): for ever */
  uint32_t interpolation_delay_ms; /* how far velantis_client_player_position_at() looks back;
                                      0 (the default): each player's update interval plus twice
                                      its jitter, at most 200 */
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
  /* Since 1.3.0. */
  uint64_t bytes_sent;            /* UDP payload bytes */
  uint64_t bytes_received;        /* UDP payload bytes, from anywhere */
  uint64_t updates_stale;         /* other players' updates dropped: one newer from the same player
                                     had been delivered already (the server's message numbers) */
  uint64_t own_unmatched;         /* copies of this player's own updates that match none in flight
                                     (repeats, forgeries): they prove nothing and are dropped */
  uint64_t announcements_ignored; /* re-announcements of a player still present */
  uint64_t texts_sent;            /* chat lines the game handed over */
  uint64_t texts_confirmed;       /* of those, seen back through the server often enough */
  uint64_t texts_received;        /* chat lines of others delivered (duplicates removed) */
  uint32_t texts_queued;          /* chat lines waiting or being repeated now */
  float jitter_ms;       /* how much the own updates' round trip varies (RFC 3550's estimate) */
  int32_t unanswered_ms; /* since the server last returned one of this player's own updates,
                            the only proof it still serves it; -1 never */
  uint32_t reserved2;
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

/* Sends a Connect with the text (NULL: empty; the player's name, at most 100 bytes of it travel
 * with every update since 1.3) and position, and keeps trying from velantis_client_service()
 * until the Welcome arrives or connect_timeout_ms has passed. Once welcomed the handle sends a
 * position update at once, which a validating server needs before it relays anything to the
 * player. VELANTIS_ERROR_STATE while connecting or connected. */
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

/* Says goodbye to the other players (they report PLAYER_LEFT at once since 1.3), sends a
 * Disconnect (the server forgets this player) and returns to VELANTIS_STATE_IDLE. */
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
/* Since 1.3.0: the library's clock, monotonic microseconds; every time below is on it. */
VELANTIS_CLIENT_API int64_t velantis_client_time_us(const velantis_client* client);
/* Since 1.3.0: when the datagram of the event velantis_client_service() last returned was
 * received (for events of no datagram, when the event was made). */
VELANTIS_CLIENT_API int64_t velantis_client_event_time_us(const velantis_client* client);
/* Since 1.3.0: where player_id was at time_us, interpolated between the updates of a small
 * buffer; VELANTIS_OK, or VELANTIS_ERROR_STATE when nothing is known of the player. Given
 * velantis_client_time_us() it says what to draw now: the position the player had
 * interpolation_delay_ms ago (each player's update interval plus twice its jitter by default,
 * about 55 ms at 30 updates a second). This player's own id gives its last sent position. */
VELANTIS_CLIENT_API int velantis_client_player_position_at(const velantis_client* client,
                                                           uint64_t player_id, int64_t time_us,
                                                           float* x, float* y);
/* Since 1.3.0: a chat line to every player, this one included, at most 900 bytes of UTF-8
 * (VELANTIS_ERROR_ARGUMENT beyond); queued while not connected, up to 64 lines
 * (VELANTIS_ERROR_STATE beyond). Lines go out one after the other, each repeated until enough
 * of its copies came back through the server; receivers drop the duplicates. */
VELANTIS_CLIENT_API int velantis_client_send_text(velantis_client* client, const char* text);

/* Why the last failed call on this handle failed; "" when none has. Valid until the next call. */
VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client);

#ifdef __cplusplus
}
#endif

#endif
