/* Two players on one server through the C API: both connect, the first asking for snapshots, both
 * move twice with the same text, each sees the other's moves (the first player the second move in a
 * snapshot), both disconnect. Exit 0 when all of that happened, 1 otherwise (with the reason).
 * Usage: client_two_players [server-address [port [first-id]]] */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velantis/client.h"

#define PLAYERS 2

static int fail(const char* what, const velantis_client* client) {
  fprintf(stderr, "client_two_players: %s%s%s\n", what, client ? ": " : "",
          client ? velantis_client_last_error(client) : "");
  return 1;
}

/* Services every player for up to `ms`; stops early once `done` says so. */
static int seen[PLAYERS][PLAYERS];
static float target[PLAYERS];
static int snapshotEvents;

static void pump(velantis_client* players[PLAYERS], const unsigned long long ids[PLAYERS],
                 unsigned rounds) {
  velantis_event event;
  unsigned round;
  int i, j;
  for (round = 0; round < rounds; ++round) {
    for (i = 0; i < PLAYERS; ++i) {
      while (velantis_client_service(players[i], &event, 10) == 1) {
        if (event.type != VELANTIS_EVENT_POSITION_UPDATE) continue;
        for (j = 0; j < PLAYERS; ++j) {
          if (event.player_id == ids[j] && event.x == target[j]) seen[i][j] = 1;
          snapshotEvents += event.message_type == 6;
        }
      }
    }
  }
}

int main(int argc, char** argv) {
  velantis_config config;
  velantis_client* players[PLAYERS];
  unsigned long long ids[PLAYERS];
  char error[256];
  int i, j, k;
  unsigned rounds;

  if ((velantis_client_version() >> 16) != VELANTIS_CLIENT_VERSION_MAJOR) {
    return fail("the library's major version differs from the header's", NULL);
  }
  velantis_config_init(&config);
  if (argc > 1) config.server_address = argv[1];
  if (argc > 2) config.server_port = (uint16_t)atoi(argv[2]);

  /* Nobody answers on the next port: connecting gives up on time, with an event, a state and
   * an error text, after resending. */
  {
    velantis_config silent = config;
    velantis_counters counters;
    velantis_event event;
    velantis_client* lonely;
    int failed = 0;
    silent.server_port = (uint16_t)(config.server_port + 1);
    silent.client_id = 1;
    silent.first_resend_ms = 50;
    silent.connect_timeout_ms = 400;
    lonely = velantis_client_create(&silent, error, sizeof(error));
    if (lonely == NULL) return fail(error, NULL);
    if (velantis_client_connect(lonely, "anyone?", 0.0f, 0.0f) != VELANTIS_OK) {
      return fail("connect", lonely);
    }
    for (rounds = 0; rounds < 100 && !failed; ++rounds) {
      failed = velantis_client_service(lonely, &event, 100) == 1 &&
               event.type == VELANTIS_EVENT_CONNECT_FAILED;
    }
    velantis_client_counters(lonely, &counters);
    if (!failed || velantis_client_state(lonely) != VELANTIS_STATE_FAILED ||
        strstr(velantis_client_last_error(lonely), "no Welcome") == NULL ||
        counters.connect_tries < 3 || counters.connect_restarts < 1) {
      return fail("an unanswered connect did not give up as it should", lonely);
    }
    printf("unanswered: gave up after %llu Connects, %llu restarts: %s\n",
           (unsigned long long)counters.connect_tries,
           (unsigned long long)counters.connect_restarts, velantis_client_last_error(lonely));
    if (velantis_client_send_position(lonely, 0.0f, 0.0f, 1) != VELANTIS_ERROR_STATE) {
      return fail("sending without a Welcome was not refused", lonely);
    }
    velantis_client_destroy(lonely);
  }
  for (i = 0; i < PLAYERS; ++i) {
    ids[i] = (argc > 3 ? strtoull(argv[3], NULL, 10) : 3001) + (unsigned long long)i;
    config.client_id = ids[i];
    config.flags = i == 0 ? VELANTIS_FLAG_SNAPSHOTS : 0;
    players[i] = velantis_client_create(&config, error, sizeof(error));
    if (players[i] == NULL) {
      fprintf(stderr, "client_two_players: create: %s\n", error);
      return 1;
    }
    if (velantis_client_connect(players[i], "two players", 0.0f, 0.0f) != VELANTIS_OK) {
      return fail("connect", players[i]);
    }
  }
  for (rounds = 0; rounds < 1000; ++rounds) {
    int connected = 0;
    pump(players, ids, 1);
    for (i = 0; i < PLAYERS; ++i) {
      if (velantis_client_state(players[i]) == VELANTIS_STATE_FAILED) {
        return fail("connecting gave up", players[i]);
      }
      connected += velantis_client_state(players[i]) == VELANTIS_STATE_CONNECTED;
    }
    if (connected == PLAYERS) break;
  }
  for (i = 0; i < PLAYERS; ++i) {
    if (velantis_client_state(players[i]) != VELANTIS_STATE_CONNECTED) {
      return fail("not welcomed in time", players[i]);
    }
    if (velantis_client_entity_id(players[i]) == 0) return fail("entity id 0", players[i]);
  }
  for (k = 1; k <= 2; ++k) {
    memset(seen, 0, sizeof(seen));
    for (i = 0; i < PLAYERS; ++i) {
      target[i] = (float)((i + 1) * k * k);
      /* The second move is sent twice in a row with the same text, so its second send goes to the
       * snapshot player in a snapshot only, even after a keep-alive (which carries no text) on a
       * slow machine made the text new again. */
      if (k == 2 &&
          velantis_client_send_position(players[i], target[i] - 0.5f, -1.0f,
                                        velantis_client_entity_id(players[i])) != VELANTIS_OK) {
        return fail("send_position", players[i]);
      }
      if (velantis_client_send_position(players[i], target[i], -1.0f,
                                        velantis_client_entity_id(players[i])) != VELANTIS_OK) {
        return fail("send_position", players[i]);
      }
    }
    for (rounds = 0; rounds < 3000; ++rounds) {
      int all = 1;
      pump(players, ids, 1);
      for (i = 0; i < PLAYERS; ++i) {
        for (j = 0; j < PLAYERS; ++j) all = all && seen[i][j];
      }
      if (all) break;
    }
    for (i = 0; i < PLAYERS; ++i) {
      for (j = 0; j < PLAYERS; ++j) {
        if (!seen[i][j]) {
          fprintf(stderr, "client_two_players: player %llu never saw player %llu move to %g\n",
                  ids[i], ids[j], (double)target[j]);
          return 1;
        }
      }
    }
  }
  /* The second move's text was the first's: the snapshot player saw it in a snapshot. */
  if (snapshotEvents == 0) return fail("no position came in a snapshot", NULL);
  for (i = 0; i < PLAYERS; ++i) {
    velantis_counters counters;
    velantis_client_counters(players[i], &counters);
    printf("player %llu: entity %u, %llu sent, %llu received, %llu rejected, %llu connect tries\n",
           ids[i], velantis_client_entity_id(players[i]), (unsigned long long)counters.sent,
           (unsigned long long)counters.received,
           (unsigned long long)(counters.rejected_size + counters.rejected_checksum +
                                counters.rejected_type),
           (unsigned long long)counters.connect_tries);
    if (velantis_client_disconnect(players[i]) != VELANTIS_OK)
      return fail("disconnect", players[i]);
    velantis_client_destroy(players[i]);
  }
  printf("two players connected, saw each other move and disconnected\n");
  return 0;
}
