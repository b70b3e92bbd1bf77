/* A bot: connects, walks in a circle, prints where the other players are, and disconnects.
 * Usage: bot [server-address [client-id [steps [company]]]]   (defaults 127.0.0.1, 1, 100, 0)
 * With company N it walks on after its steps until it has seen N other players walk, and one
 * step more, so that they have seen it walk too. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <velantis/client.h>

int main(int argc, char** argv) {
  velantis_config config;
  velantis_client* client;
  velantis_event event;
  char error[256];
  int got, step, steps = argc > 3 ? atoi(argv[3]) : 100, company = argc > 4 ? atoi(argv[4]) : 0;
  unsigned long long walkers[16];
  int seen = 0, seenBefore = 0, known;

  velantis_config_init(&config);
  if (argc > 1) config.server_address = argv[1];
  config.client_id = argc > 2 ? strtoull(argv[2], NULL, 10) : 1;
  client = velantis_client_create(&config, error, sizeof(error));
  if (client == NULL) {
    fprintf(stderr, "bot: %s\n", error);
    return 1;
  }
  velantis_client_connect(client, "bot", 0.0f, 0.0f);
  while (velantis_client_state(client) == VELANTIS_STATE_CONNECTING) {
    velantis_client_service(client, &event, 100);
  }
  if (velantis_client_state(client) != VELANTIS_STATE_CONNECTED) {
    fprintf(stderr, "bot: %s\n", velantis_client_last_error(client));
    velantis_client_destroy(client);
    return 1;
  }
  printf("bot %llu: entity %u\n", (unsigned long long)config.client_id,
         velantis_client_entity_id(client));

  for (step = 0; step < steps || seenBefore < company; ++step) {
    const float angle = (float)step * 0.1f;
    /* A player seen before this step is registered, so this step's position reaches it. */
    seenBefore = seen;
    velantis_client_send_position(client, 10.0f * cosf(angle), 10.0f * sinf(angle),
                                  velantis_client_entity_id(client));
    /* A frame: wait up to 20 ms for the first event, then take whatever else has arrived. */
    for (got = velantis_client_service(client, &event, 20); got == 1;
         got = velantis_client_service(client, &event, 0)) {
      if (event.player_id == config.client_id) continue;
      if (event.type == VELANTIS_EVENT_PLAYER_JOINED) {
        printf("player %llu joined: %s\n", (unsigned long long)event.player_id, event.text);
      } else if (event.type == VELANTIS_EVENT_POSITION_UPDATE) {
        printf("player %llu at (%.2f, %.2f)\n", (unsigned long long)event.player_id, event.x,
               event.y);
        for (known = 0; known < seen && walkers[known] != event.player_id; ++known) {
        }
        if (known == seen && seen < 16) walkers[seen++] = event.player_id;
      }
    }
  }
  velantis_client_disconnect(client);
  velantis_client_destroy(client);
  return 0;
}
