/* Liveness and trust through the C API, against the real server, on the loopback interface of a
 * network namespace of the caller's (the client leg runs it under unshare --net). POSIX only: it
 * starts, kills and restarts the server itself.
 *
 *   client_liveness SERVER-BINARY        every check below, in order; exit 0 when all passed
 *   client_liveness idle ADDRESS SECONDS  connects, sends nothing itself for SECONDS, then counts
 *                                         the other players' updates for 3 s (prints "received N")
 *
 * restart   8 players; the server is killed and started again: each reports CONNECTION_LOST and
 *           is welcomed again (times printed). While the server is down, a Welcome from the
 *           server's own address and port is not taken (rejected_welcome).
 * left      a player destroyed without a Disconnect is reported PLAYER_LEFT, once, by the others;
 *           the others, idle but for keep-alives, are not.
 * forged    a Welcome, an announcement and a position update from 127.0.0.2, and one from the
 *           server's address but another port, never become events (rejected_source); a
 *           connecting player does not take a Welcome from 127.0.0.2.
 * text      text sent with a position comes back with it; 1000 bytes are refused.
 * ids       a client id of 0 becomes a random one, different for two handles. */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "velantis/client.h"

#define PLAYERS 8
#define PORT 15000

static const char* server_binary;
static pid_t server_pid;
static int failures;

static double now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

static void check(int ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  fflush(stdout);
  if (!ok) ++failures;
}

static char server_data[64];

static void start_server(void) {
  strcpy(server_data, "/tmp/velantis-liveness-XXXXXX");
  if (mkdtemp(server_data) == NULL) exit(2);
  server_pid = fork();
  if (server_pid == 0) {
    setenv("XDG_DATA_HOME", server_data, 1);
    if (freopen("/dev/null", "w", stdout) == NULL) _exit(2);
    execl(server_binary, server_binary, (char*)NULL);
    _exit(127);
  }
  usleep(300 * 1000); /* it binds at once; the clients' resends would cover a slower start */
}

/* Stops the server and removes its data folder. */
static void stop_server(void) {
  pid_t remover;
  kill(server_pid, SIGKILL);
  waitpid(server_pid, NULL, 0);
  remover = fork();
  if (remover == 0) {
    execlp("rm", "rm", "-rf", "--", server_data, (char*)NULL);
    _exit(127);
  }
  if (remover > 0) waitpid(remover, NULL, 0);
}

static velantis_client* make(uint64_t id, uint16_t port) {
  velantis_config config;
  char error[256];
  velantis_client* client;
  velantis_config_init(&config);
  config.client_id = id;
  config.server_port = port;
  client = velantis_client_create(&config, error, sizeof(error));
  if (client == NULL) {
    fprintf(stderr, "client_liveness: create: %s\n", error);
    exit(2);
  }
  return client;
}

/* A datagram as the server would send it, from a socket bound to `from`:`from_port`. */
static void forge(const char* from, uint16_t from_port, uint16_t to_port, uint8_t type,
                  uint64_t player, uint32_t entity, float x) {
  unsigned char packet[1056];
  uint64_t checksum = 0xcbf29ce484222325ULL;
  struct sockaddr_in source, target;
  int fd = socket(AF_INET, SOCK_DGRAM, 0), i, one = 1;
  memset(packet, 0, sizeof(packet));
  packet[0] = 1;
  memcpy(packet + 16, &player, 8);
  packet[24] = type;
  memcpy(packet + 32, &x, 4);
  strcpy((char*)packet + 40, "forged");
  memcpy(packet + 1040, &player, 8);
  memcpy(packet + 1048, &entity, 4);
  for (i = 0; i < 1056; ++i) checksum = (checksum ^ packet[i]) * 0x100000001b3ULL;
  memcpy(packet + 8, &checksum, 8);
  memset(&source, 0, sizeof(source));
  source.sin_family = AF_INET;
  source.sin_port = htons(from_port);
  inet_pton(AF_INET, from, &source.sin_addr);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, (struct sockaddr*)&source, sizeof(source)) != 0) {
    perror("client_liveness: bind for a forged datagram");
    exit(2);
  }
  target = source;
  target.sin_port = htons(to_port);
  inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
  sendto(fd, packet, sizeof(packet), 0, (struct sockaddr*)&target, sizeof(target));
  close(fd);
}

/* What one player has seen. */
typedef struct {
  int lost, welcomed, left_of[PLAYERS + 1], forged_events;
  double lost_at, welcomed_at;
  char text[1024];
} seen_t;

/* `ids` holds `count` players' ids, whose PLAYER_LEFT events are counted. */
static void pump(velantis_client* client, seen_t* seen, const uint64_t* ids, int count) {
  velantis_event event;
  int i;
  while (velantis_client_service(client, &event, 0) == 1) {
    switch (event.type) {
      case VELANTIS_EVENT_CONNECTION_LOST:
        ++seen->lost;
        seen->lost_at = now_ms();
        break;
      case VELANTIS_EVENT_WELCOME:
        ++seen->welcomed;
        seen->welcomed_at = now_ms();
        if (event.entity_id == 0xFEED) ++seen->forged_events;
        break;
      case VELANTIS_EVENT_PLAYER_LEFT:
        for (i = 0; i < count; ++i) seen->left_of[i] += event.player_id == ids[i];
        break;
      case VELANTIS_EVENT_POSITION_UPDATE:
      case VELANTIS_EVENT_PLAYER_JOINED:
        if (event.player_id == 777 || event.player_id == 778 || event.x == 4444.0f) {
          ++seen->forged_events;
        }
        if (event.type == VELANTIS_EVENT_POSITION_UPDATE && event.text_length > 0) {
          snprintf(seen->text, sizeof(seen->text), "%s", event.text);
        }
        break;
      default:
        break;
    }
  }
}

static int all_connected(velantis_client** clients, int count) {
  int i;
  for (i = 0; i < count; ++i) {
    if (velantis_client_state(clients[i]) != VELANTIS_STATE_CONNECTED) return 0;
  }
  return 1;
}

/* Services the first `count` players every 10 ms until `done` or `ms` have passed. */
static int known = 0; /* how many ids the PLAYER_LEFT counts look at; 0: `count` */

static void run(velantis_client** clients, seen_t* seen, const uint64_t* ids, int count, double ms,
                int (*done)(velantis_client**, seen_t*, int)) {
  const double until = now_ms() + ms;
  int i;
  while (now_ms() < until) {
    for (i = 0; i < count; ++i) pump(clients[i], &seen[i], ids, known ? known : count);
    if (done != NULL && done(clients, seen, count)) return;
    usleep(10 * 1000);
  }
}

static int welcomed_again(velantis_client** clients, seen_t* seen, int count) {
  int i;
  for (i = 0; i < count; ++i) {
    if (!seen[i].lost || seen[i].welcomed < 2 ||
        velantis_client_state(clients[i]) != VELANTIS_STATE_CONNECTED) {
      return 0;
    }
  }
  return 1;
}

static int connected(velantis_client** clients, seen_t* seen, int count) {
  (void)seen;
  return all_connected(clients, count);
}

/* Creates `count` players with the given ids, connects them with `text` and services them until
 * all are welcomed (or a minute has passed). */
static void join_all(velantis_client** clients, seen_t* seen, const uint64_t* ids, int count,
                     const char* text) {
  int i;
  memset(seen, 0, sizeof(seen[0]) * (size_t)count);
  for (i = 0; i < count; ++i) {
    clients[i] = make(ids[i], PORT);
    velantis_client_connect(clients[i], text, 0.0f, 0.0f);
  }
  run(clients, seen, ids, count, 60000, connected);
}

static void restart(void) {
  velantis_client* clients[PLAYERS];
  seen_t seen[PLAYERS];
  uint64_t ids[PLAYERS];
  uint32_t entities[PLAYERS];
  velantis_stats stats;
  double killed, lost_max = 0, welcome_max = 0, back_max = 0;
  int i, welcome_refused = 1, fresh = 1;
  for (i = 0; i < PLAYERS; ++i) ids[i] = 5001 + (uint64_t)i;
  join_all(clients, seen, ids, PLAYERS, "restart");
  check(all_connected(clients, PLAYERS), "restart: 8 players welcomed");
  for (i = 0; i < PLAYERS; ++i) entities[i] = velantis_client_entity_id(clients[i]);
  stop_server();
  killed = now_ms();
  /* The server's address and port, but the server is gone: its Welcome is no longer awaited. */
  for (i = 0; i < PLAYERS; ++i) {
    forge("127.0.0.1", PORT, velantis_client_local_port(clients[i]), 2, 0, 0xFEED, 0.0f);
  }
  run(clients, seen, ids, PLAYERS, 1500, NULL); /* the time a package upgrade takes, say */
  for (i = 0; i < PLAYERS; ++i) {
    velantis_client_stats(clients[i], &stats, sizeof(stats));
    welcome_refused = welcome_refused && stats.rejected_welcome == 1 &&
                      seen[i].forged_events == 0 &&
                      velantis_client_entity_id(clients[i]) == entities[i];
  }
  check(welcome_refused, "restart: a Welcome while connected is counted, not taken");
  start_server();
  run(clients, seen, ids, PLAYERS, 20000, welcomed_again);
  check(welcomed_again(clients, seen, PLAYERS),
        "restart: every player reported CONNECTION_LOST and was welcomed again");
  for (i = 0; i < PLAYERS; ++i) {
    if (seen[i].lost_at - killed > lost_max) lost_max = seen[i].lost_at - killed;
    if (seen[i].welcomed_at - killed > welcome_max) welcome_max = seen[i].welcomed_at - killed;
    if (seen[i].welcomed_at - seen[i].lost_at > back_max) {
      back_max = seen[i].welcomed_at - seen[i].lost_at;
    }
    fresh = fresh && seen[i].lost == 1 && velantis_client_entity_id(clients[i]) != 0;
  }
  check(fresh, "restart: one CONNECTION_LOST each, a new entity id each");
  printf(
      "restart (server down 1.8 s): CONNECTION_LOST at most %.0f ms after the kill, welcomed "
      "again at most %.0f ms after the kill (%.0f ms after the loss)\n",
      lost_max, welcome_max, back_max);
  for (i = 0; i < PLAYERS; ++i) {
    velantis_client_disconnect(clients[i]);
    velantis_client_destroy(clients[i]);
  }
}

static int left_seen(velantis_client** clients, seen_t* seen, int count) {
  (void)clients;
  (void)count;
  return seen[0].left_of[2] >= 1 && seen[1].left_of[2] >= 1;
}

static int four_rejected(velantis_client** clients, seen_t* seen, int count) {
  velantis_stats stats;
  (void)seen;
  (void)count;
  velantis_client_stats(clients[0], &stats, sizeof(stats));
  return stats.rejected_source >= 4;
}

static int text_arrived(velantis_client** clients, seen_t* seen, int count) {
  velantis_stats stats;
  (void)count;
  velantis_client_stats(clients[0], &stats, sizeof(stats));
  /* The players' own first updates may carry texts of theirs before the one looked for. */
  return strcmp(seen[1].text, "jump:fire \xc3\xbc") == 0 && stats.updates_returned >= 1;
}

static void left(void) {
  velantis_client* clients[3];
  seen_t seen[3];
  uint64_t ids[3] = {6001, 6002, 6003};
  int i;
  join_all(clients, seen, ids, 3, "left");
  check(all_connected(clients, 3), "left: 3 players welcomed");
  for (i = 0; i < 3; ++i) {
    velantis_client_send_position(clients[i], 1.0f, 1.0f, velantis_client_entity_id(clients[i]));
  }
  run(clients, seen, ids, 3, 500, NULL);
  velantis_client_destroy(clients[2]); /* gone without a Disconnect, as a killed game */
  known = 3;
  /* The others give up on it after their player timeout (5 s), however late that comes. */
  run(clients, seen, ids, 2, 60000, left_seen);
  known = 0;
  check(seen[0].left_of[2] == 1 && seen[1].left_of[2] == 1,
        "left: the vanished player is reported PLAYER_LEFT once by each other player");
  check(seen[0].left_of[1] == 0 && seen[1].left_of[0] == 0,
        "left: idle players that keep alive are not reported as left");
  for (i = 0; i < 2; ++i) {
    velantis_client_disconnect(clients[i]);
    velantis_client_destroy(clients[i]);
  }
}

static void forged(void) {
  velantis_client* clients[1];
  velantis_client* waiting;
  seen_t seen[1];
  uint64_t ids[1] = {7001};
  velantis_stats stats;
  velantis_event event;
  uint32_t entity;
  int i, took = 0;
  memset(seen, 0, sizeof(seen));
  clients[0] = make(ids[0], PORT);
  velantis_client_connect(clients[0], "forged", 0.0f, 0.0f);
  run(clients, seen, ids, 1, 60000, connected);
  entity = velantis_client_entity_id(clients[0]);
  forge("127.0.0.2", 4444, velantis_client_local_port(clients[0]), 2, 0, 0xFEED, 0.0f);
  forge("127.0.0.2", 4444, velantis_client_local_port(clients[0]), 1, 777, 5, 0.0f);
  forge("127.0.0.2", 4445, velantis_client_local_port(clients[0]), 5, 778, 5, 0.0f);
  forge("127.0.0.1", 4444, velantis_client_local_port(clients[0]), 5, 778, 5, 4444.0f);
  run(clients, seen, ids, 1, 30000, four_rejected);
  velantis_client_stats(clients[0], &stats, sizeof(stats));
  check(seen[0].forged_events == 0 && velantis_client_entity_id(clients[0]) == entity,
        "forged: datagrams from other addresses or ports become no event");
  check(stats.rejected_source == 4, "forged: each is counted as rejected_source");
  velantis_client_disconnect(clients[0]);
  velantis_client_destroy(clients[0]);

  waiting = make(7002, 15999); /* nobody there: only a forger could answer */
  velantis_client_connect(waiting, "waiting", 0.0f, 0.0f);
  forge("127.0.0.2", 4444, velantis_client_local_port(waiting), 2, 0, 0xFEED, 0.0f);
  for (i = 0; i < 30; ++i) {
    while (velantis_client_service(waiting, &event, 10) == 1) {
      took += event.type == VELANTIS_EVENT_WELCOME;
    }
  }
  check(!took && velantis_client_state(waiting) == VELANTIS_STATE_CONNECTING,
        "forged: a connecting player takes no Welcome from another address");
  velantis_client_destroy(waiting);
}

static void text(void) {
  velantis_client* clients[2];
  seen_t seen[2];
  uint64_t ids[2] = {8001, 8002};
  char long_text[1001];
  velantis_stats stats;
  int i;
  join_all(clients, seen, ids, 2, "text");
  /* A player's first update, carrying its Welcome's entity id, registers it for the relays. */
  velantis_client_send_position(clients[1], 0.0f, 0.0f, velantis_client_entity_id(clients[1]));
  run(clients, seen, ids, 2, 500, NULL);
  check(velantis_client_send_position_text(clients[0], 2.0f, 3.0f,
                                           velantis_client_entity_id(clients[0]),
                                           "jump:fire \xc3\xbc") == VELANTIS_OK,
        "text: sent with a position");
  run(clients, seen, ids, 2, 30000, text_arrived);
  check(strcmp(seen[1].text, "jump:fire \xc3\xbc") == 0, "text: the other player receives it");
  memset(long_text, 'a', 1000);
  long_text[1000] = '\0';
  check(velantis_client_send_position_text(clients[0], 0.0f, 0.0f, 1, long_text) ==
                VELANTIS_ERROR_ARGUMENT &&
            strstr(velantis_client_last_error(clients[0]), "999") != NULL,
        "text: 1000 bytes are refused, saying the limit");
  velantis_client_stats(clients[0], &stats, sizeof(stats));
  check(stats.updates_returned >= 1 && stats.rtt_last_ms >= 0.0f && stats.server_silent_ms >= 0,
        "stats: the own update came back, with its round-trip time");
  printf(
      "stats: rtt last %.3f ms, smoothed %.3f ms, loss %.2f, %.0f in/s, %.0f out/s, server "
      "silent %d ms\n",
      stats.rtt_last_ms, stats.rtt_smoothed_ms, stats.update_loss, stats.datagrams_in_per_second,
      stats.datagrams_out_per_second, stats.server_silent_ms);
  for (i = 0; i < 2; ++i) {
    velantis_client_disconnect(clients[i]);
    velantis_client_destroy(clients[i]);
  }
}

static void ids(void) {
  velantis_client* first = make(0, PORT);
  velantis_client* second = make(0, PORT);
  check(velantis_client_id(first) != 0 && velantis_client_id(second) != 0 &&
            velantis_client_id(first) != velantis_client_id(second),
        "ids: a client id of 0 is replaced by a random one");
  velantis_client_destroy(first);
  velantis_client_destroy(second);
}

static int idle(const char* address, int seconds) {
  velantis_config config;
  velantis_event event;
  char error[256];
  velantis_client* client;
  double until;
  int received = 0;
  velantis_config_init(&config);
  config.server_address = address;
  config.client_id = 9001;
  client = velantis_client_create(&config, error, sizeof(error));
  if (client == NULL) return fprintf(stderr, "client_liveness: %s\n", error), 2;
  velantis_client_connect(client, "idle", 0.0f, 0.0f);
  until = now_ms() + 10000;
  while (velantis_client_state(client) != VELANTIS_STATE_CONNECTED && now_ms() < until) {
    velantis_client_service(client, &event, 10);
  }
  if (velantis_client_state(client) != VELANTIS_STATE_CONNECTED) {
    return fprintf(stderr, "client_liveness: not welcomed\n"), 1;
  }
  printf("welcomed\n");
  fflush(stdout);
  until = now_ms() + seconds * 1000.0;
  while (now_ms() < until) velantis_client_service(client, &event, 10);
  until = now_ms() + 3000;
  while (now_ms() < until) {
    if (velantis_client_service(client, &event, 10) == 1 &&
        event.type == VELANTIS_EVENT_POSITION_UPDATE && event.player_id != 9001) {
      ++received;
    }
  }
  {
    velantis_stats stats;
    velantis_counters counters;
    velantis_client_stats(client, &stats, sizeof(stats));
    velantis_client_counters(client, &counters);
    printf(
        "received %d (datagrams %llu, keep-alives %llu, rejected_source %llu, lost %llu, state "
        "%d)\n",
        received, (unsigned long long)counters.received, (unsigned long long)stats.keepalives_sent,
        (unsigned long long)stats.rejected_source, (unsigned long long)stats.connections_lost,
        velantis_client_state(client));
  }
  velantis_client_disconnect(client);
  velantis_client_destroy(client);
  return received > 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc == 4 && strcmp(argv[1], "idle") == 0) return idle(argv[2], atoi(argv[3]));
  if (argc != 2) {
    fprintf(stderr, "usage: client_liveness SERVER-BINARY | idle ADDRESS SECONDS\n");
    return 2;
  }
  server_binary = argv[1];
  start_server();
  ids();
  text();
  forged();
  left();
  restart();
  stop_server();
  printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
