/* The game client's side of the velantis protocol, as a C library.
 *
 * One handle is one player: a UDP socket of its own, the connect logic (resends, back-off, the
 * Disconnect-and-restart the server needs when only its Welcome was lost, giving up), and the
 * packet codec. The caller owns time: nothing runs in the background, and only
 * velantis_client_service() waits, and only as long as it is told to.
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
#define VELANTIS_CLIENT_VERSION_MINOR 1
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
  VELANTIS_STATE_FAILED = 3      /* gave up connecting; connect() may be called again */
} velantis_state;

typedef enum velantis_event_type {
  VELANTIS_EVENT_NONE = 0,
  VELANTIS_EVENT_WELCOME = 1,         /* entity_id is this player's entity */
  VELANTIS_EVENT_PLAYER_JOINED = 2,   /* player_id, entity_id, text, x, y (this player too) */
  VELANTIS_EVENT_POSITION_UPDATE = 3, /* player_id, entity_id, x, y, text */
  VELANTIS_EVENT_REJECTED = 4,        /* a datagram that is no valid packet: see reject_reason */
  VELANTIS_EVENT_CONNECT_FAILED = 5   /* no Welcome within the configured time; see last_error */
} velantis_event_type;

typedef enum velantis_reject_reason {
  VELANTIS_REJECT_NONE = 0,
  VELANTIS_REJECT_SIZE = 1,     /* not exactly 1056 bytes; datagram_size tells */
  VELANTIS_REJECT_CHECKSUM = 2, /* the FNV-1a 64 checksum does not match */
  VELANTIS_REJECT_TYPE = 3      /* a message type a server does not send; message_type tells */
} velantis_reject_reason;

/* Filled by velantis_config_init() with the defaults; change what you need. */
typedef struct velantis_config {
  const char* server_address;    /* dotted IPv4, e.g. "127.0.0.1"; read by create only */
  uint64_t client_id;            /* this player's id, stamped into every packet */
  uint16_t server_port;          /* default 15000 */
  uint16_t local_port;           /* 0: any free port */
  uint32_t first_resend_ms;      /* Connect resent after this without a Welcome; default 500 */
  uint32_t max_resend_ms;        /* the back-off doubles the wait up to this; default 1000 */
  uint32_t tries_before_restart; /* plain Connects, then Disconnect + Connect; default 3 */
  uint32_t connect_timeout_ms;   /* give up after this; default 10000 */
  uint32_t reserved;             /* 0 */
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
  uint32_t from_address; /* sender's IPv4 address, network byte order */
  uint16_t from_port;    /* sender's port, host byte order (any: replies come from any port) */
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

/* (major << 16) | (minor << 8) | patch of the library that is loaded. */
VELANTIS_CLIENT_API uint32_t velantis_client_version(void);

VELANTIS_CLIENT_API void velantis_config_init(velantis_config* config);

/* Opens and binds the socket. NULL on failure, with the reason in `error` (error_size bytes,
 * may be NULL/0). */
VELANTIS_CLIENT_API velantis_client* velantis_client_create(const velantis_config* config,
                                                            char* error, size_t error_size);
/* Closes the socket and frees the handle; sends nothing (call disconnect first). NULL is fine. */
VELANTIS_CLIENT_API void velantis_client_destroy(velantis_client* client);

/* Sends a Connect with the text (NULL: empty) and position, and keeps trying from
 * velantis_client_service() until the Welcome arrives or connect_timeout_ms has passed. */
VELANTIS_CLIENT_API int velantis_client_connect(velantis_client* client, const char* text, float x,
                                                float y);

/* Resends what is due, then returns the next event: 1 with *event filled, 0 when none came
 * within timeout_ms (0: do not wait), or a negative velantis_result. */
VELANTIS_CLIENT_API int velantis_client_service(velantis_client* client, velantis_event* event,
                                                uint32_t timeout_ms);

/* A position update for the entity (usually the one of the Welcome); connected handles only.
 * The server relays it to every player, this one included. */
VELANTIS_CLIENT_API int velantis_client_send_position(velantis_client* client, float x, float y,
                                                      uint32_t entity_id);

/* Sends a Disconnect (the server forgets this player) and returns to VELANTIS_STATE_IDLE. */
VELANTIS_CLIENT_API int velantis_client_disconnect(velantis_client* client);

VELANTIS_CLIENT_API int velantis_client_state(const velantis_client* client);
/* This player's entity id once welcomed, else 0. */
VELANTIS_CLIENT_API uint32_t velantis_client_entity_id(const velantis_client* client);
/* The local port the socket is bound to (host byte order). */
VELANTIS_CLIENT_API uint16_t velantis_client_local_port(const velantis_client* client);
VELANTIS_CLIENT_API void velantis_client_counters(const velantis_client* client,
                                                  velantis_counters* counters);
/* Why the last failed call on this handle failed; "" when none has. Valid until the next call. */
VELANTIS_CLIENT_API const char* velantis_client_last_error(const velantis_client* client);

#ifdef __cplusplus
}
#endif

#endif
