/* The arena: every player a coloured dot with its name above it, the other players drawn where
 * the library's jitter buffer places them now, chat lines at the top. Arrow keys move your dot
 * (or --walk walks a circle), Enter says hello. --bots N plays N players walking circles, with no
 * window, in this one process; each says something every five seconds.
 *
 * Usage: arena [--server ADDRESS] [--port N] [--name NAME] [--id N] [--walk] [--fps N]
 *              [--bots N] [--frames N] [--players N] [--heard N] [--screenshot FILE.bmp]
 *
 * --frames N ends after N frames, counted once --players N other players are on screen and
 * --heard N chat lines of others have come;
 * --screenshot saves that last frame, and beside it FILE.bmp.txt with what was drawn where, one
 * line per player: "player|self ID X Y PX PY RRGGBB NAME" (world and pixel position, colour). */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <velantis/client.h>

#if VELANTIS_CLIENT_VERSION_MAJOR != 1 || VELANTIS_CLIENT_VERSION_MINOR < 3
#error "The arena needs libvelantis-client 1.3 (interpolation, chat lines)."
#endif

/* A world of 212 x 160 units, y up, drawn 3 pixels to the unit around the window's centre. */
enum { WIDTH = 640, HEIGHT = 480, SCALE = 3, DOT = 6 };
enum { MAX_PLAYERS = 64, NAME_SIZE = 32, CHAT_LINES = 4, CHAT_SIZE = 96, MAX_BOTS = 64 };
static const float PATH_RADIUS = 12.0f;
static const float WALK_SPEED = 30.0f; /* units per second, by the arrow keys */

typedef struct player {
  uint64_t id; /* 0: a free slot */
  char name[NAME_SIZE];
  uint8_t rgb[3];
} player;

/* One player of this process: the window's, or a bot. */
typedef struct arena {
  velantis_client* client;
  uint64_t id;
  char name[NAME_SIZE];
  float x, y;
  int path; /* the circle it walks (see walk()), or -1: the arrow keys move it */
  player players[MAX_PLAYERS];
  char chat[CHAT_LINES][CHAT_SIZE];
  int heard; /* chat lines of other players */
} arena;

/* The circles the bots walk: two rows of four, clear of each other's dots and names (bot 9 walks
 * bot 1's circle half a turn behind it, and so on); WINDOW_PATH, below them, is the window
 * player's with --walk. */
enum { WINDOW_PATH = MAX_BOTS };
static void path_centre(int path, float* x, float* y) {
  if (path == WINDOW_PATH) {
    *x = 0.0f;
    *y = -50.0f;
    return;
  }
  *x = -60.0f + 40.0f * (float)(path % 4);
  *y = path % 8 < 4 ? 20.0f : -20.0f;
}

/* A radian a second at the frame rate; by frames rather than by the clock, so that a stalled
 * player pauses instead of jumping, and its updates always lie close together on its circle. */
static void walk(arena* a, int frame, int fps) {
  float cx, cy;
  const double angle = (double)frame / fps + (double)(a->path / 8 % 2) * 3.14159;
  path_centre(a->path, &cx, &cy);
  a->x = cx + PATH_RADIUS * (float)cos(angle);
  a->y = cy + PATH_RADIUS * (float)sin(angle);
}

/* A colour of the id's own, bright enough to stand out from the background and from each other. */
static void colour_of(uint64_t id, uint8_t rgb[3]) {
  uint64_t z = id + 0x9E3779B97F4A7C15ull;
  int i;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  for (i = 0; i < 3; ++i) rgb[i] = (uint8_t)(80 + (z >> (8 * i)) % 176);
}

static player* find_player(arena* a, uint64_t id, int add) {
  player* free_slot = NULL;
  int i;
  for (i = 0; i < MAX_PLAYERS; ++i) {
    if (a->players[i].id == id) return &a->players[i];
    if (a->players[i].id == 0 && free_slot == NULL) free_slot = &a->players[i];
  }
  if (!add || free_slot == NULL) return NULL;
  memset(free_slot, 0, sizeof(*free_slot));
  free_slot->id = id;
  snprintf(free_slot->name, sizeof(free_slot->name), "%llu", (unsigned long long)id);
  colour_of(id, free_slot->rgb);
  return free_slot;
}

/* Where to draw a player now, from the library's buffer of its updates; 0 when nothing is known
 * of it yet. */
static int position_now(const arena* a, const player* p, float* x, float* y) {
  return velantis_client_player_position_at(a->client, p->id, velantis_client_time_us(a->client), x,
                                            y) == VELANTIS_OK;
}

static void add_chat(arena* a, const char* line) {
  memmove(a->chat[0], a->chat[1], sizeof(a->chat[0]) * (CHAT_LINES - 1));
  snprintf(a->chat[CHAT_LINES - 1], CHAT_SIZE, "%s", line);
}

/* Takes every event that has arrived; 0 when the player cannot go on. */
static int take_events(arena* a) {
  velantis_event event;
  player* p;
  int got;
  while ((got = velantis_client_service(a->client, &event, 0)) == 1) {
    switch (event.type) {
      case VELANTIS_EVENT_WELCOME:
        printf("arena: %s is entity %u\n", a->name, event.entity_id);
        break;
      case VELANTIS_EVENT_PLAYER_JOINED:
      case VELANTIS_EVENT_POSITION_UPDATE:
        if (event.player_id == a->id) break;
        p = find_player(a, event.player_id, 1);
        if (p == NULL) break;
        if (event.text_length > 0) snprintf(p->name, sizeof(p->name), "%s", event.text);
        break;
      case VELANTIS_EVENT_PLAYER_LEFT:
        p = find_player(a, event.player_id, 0);
        if (p != NULL) p->id = 0;
        break;
      case VELANTIS_EVENT_CONNECTION_LOST:
        memset(a->players, 0, sizeof(a->players));
        fprintf(stderr, "arena: %s: %s\n", a->name, event.text);
        break;
      case VELANTIS_EVENT_CONNECT_FAILED:
        fprintf(stderr, "arena: %s: %s\n", a->name, event.text);
        return 0;
      case VELANTIS_EVENT_TEXT: {
        char line[CHAT_SIZE];
        p = event.player_id == a->id ? NULL : find_player(a, event.player_id, 1);
        snprintf(line, sizeof(line), "%s: %s", p != NULL ? p->name : a->name, event.text);
        add_chat(a, line);
        if (event.player_id != a->id) ++a->heard;
        printf("arena: %s heard %s\n", a->name, line);
        break;
      }
      default:
        break;
    }
  }
  if (got < 0) fprintf(stderr, "arena: %s\n", velantis_client_last_error(a->client));
  return got >= 0;
}

static void say(arena* a, const char* text) {
  if (velantis_client_state(a->client) == VELANTIS_STATE_CONNECTED)
    velantis_client_send_text(a->client, text);
}

static void send_position(arena* a) {
  if (velantis_client_state(a->client) == VELANTIS_STATE_CONNECTED)
    velantis_client_send_position_text(a->client, a->x, a->y, velantis_client_entity_id(a->client),
                                       a->name);
}

static int open_player(arena* a, const velantis_config* base, uint64_t id, const char* name) {
  velantis_config config = *base;
  char error[256];
  config.client_id = id;
  a->client = velantis_client_create(&config, error, sizeof(error));
  if (a->client == NULL) {
    fprintf(stderr, "arena: %s\n", error);
    return 0;
  }
  a->id = velantis_client_id(a->client);
  snprintf(a->name, sizeof(a->name), "%s", name);
  return velantis_client_connect(a->client, a->name, a->x, a->y) == VELANTIS_OK;
}

static void close_player(arena* a) {
  if (a->client == NULL) return;
  velantis_client_disconnect(a->client);
  velantis_client_destroy(a->client);
  a->client = NULL;
}

/* A 5 x 7 font: each glyph is five columns, bit 0 the top row. Lower case is drawn as upper case,
 * anything else as a box. */
static const char GLYPH_CHARS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ:.-!?,'()/_#";
static const uint8_t GLYPHS[][5] = {
    {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00}, {0x42, 0x61, 0x51, 0x49, 0x46},
    {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10}, {0x27, 0x45, 0x45, 0x45, 0x39},
    {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03}, {0x36, 0x49, 0x49, 0x49, 0x36},
    {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36},
    {0x3E, 0x41, 0x41, 0x41, 0x22}, {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41},
    {0x7F, 0x09, 0x09, 0x09, 0x01}, {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F},
    {0x00, 0x41, 0x7F, 0x41, 0x00}, {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41},
    {0x7F, 0x40, 0x40, 0x40, 0x40}, {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F},
    {0x3E, 0x41, 0x41, 0x41, 0x3E}, {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E},
    {0x7F, 0x09, 0x19, 0x29, 0x46}, {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01},
    {0x3F, 0x40, 0x40, 0x40, 0x3F}, {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F},
    {0x63, 0x14, 0x08, 0x14, 0x63}, {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43},
    {0x00, 0x36, 0x36, 0x00, 0x00}, {0x00, 0x60, 0x60, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08},
    {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x00, 0x50, 0x30, 0x00, 0x00},
    {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00}, {0x00, 0x41, 0x22, 0x1C, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x40, 0x40, 0x40, 0x40, 0x40}, {0x14, 0x7F, 0x14, 0x7F, 0x14}};
static const uint8_t BOX[5] = {0x7F, 0x41, 0x41, 0x41, 0x7F};

static void draw_text(SDL_Renderer* renderer, int left, int top, const char* text) {
  for (; *text != '\0'; ++text, left += 6) {
    const char c = (char)(*text >= 'a' && *text <= 'z' ? *text - 'a' + 'A' : *text);
    const char* found = c == ' ' ? NULL : strchr(GLYPH_CHARS, c);
    const uint8_t* glyph = found != NULL ? GLYPHS[found - GLYPH_CHARS] : BOX;
    int column, row;
    if (c == ' ') continue;
    for (column = 0; column < 5; ++column)
      for (row = 0; row < 7; ++row)
        if (glyph[column] & (1 << row)) SDL_RenderDrawPoint(renderer, left + column, top + row);
  }
}

static void to_screen(float x, float y, int* px, int* py) {
  *px = WIDTH / 2 + (int)lroundf(x * SCALE);
  *py = HEIGHT / 2 - (int)lroundf(y * SCALE);
}

static void draw_player(SDL_Renderer* renderer, int px, int py, const uint8_t rgb[3],
                        const char* name) {
  int dy;
  SDL_SetRenderDrawColor(renderer, rgb[0], rgb[1], rgb[2], 255);
  for (dy = -DOT; dy <= DOT; ++dy) {
    const int half = (int)sqrt((double)(DOT * DOT - dy * dy));
    SDL_RenderDrawLine(renderer, px - half, py + dy, px + half, py + dy);
  }
  SDL_SetRenderDrawColor(renderer, 230, 230, 230, 255);
  draw_text(renderer, px - 3 * (int)strlen(name), py - DOT - 10, name);
}

/* Draws the frame; with `shot` open, says in it what went where. The number of others drawn. */
static int draw(SDL_Renderer* renderer, arena* a, FILE* shot) {
  int i, px, py, drawn = 0;
  float x, y;
  uint8_t rgb[3];
  SDL_SetRenderDrawColor(renderer, 20, 22, 30, 255);
  SDL_RenderClear(renderer);
  for (i = 0; i < MAX_PLAYERS; ++i) {
    const player* p = &a->players[i];
    if (p->id == 0 || !position_now(a, p, &x, &y)) continue;
    to_screen(x, y, &px, &py);
    draw_player(renderer, px, py, p->rgb, p->name);
    ++drawn;
    if (shot != NULL)
      fprintf(shot, "player %llu %.3f %.3f %d %d %02x%02x%02x %s\n", (unsigned long long)p->id, x,
              y, px, py, p->rgb[0], p->rgb[1], p->rgb[2], p->name);
  }
  colour_of(a->id, rgb);
  to_screen(a->x, a->y, &px, &py);
  draw_player(renderer, px, py, rgb, a->name);
  if (shot != NULL)
    fprintf(shot, "self %llu %.3f %.3f %d %d %02x%02x%02x %s\n", (unsigned long long)a->id, a->x,
            a->y, px, py, rgb[0], rgb[1], rgb[2], a->name);
  SDL_SetRenderDrawColor(renderer, 160, 200, 160, 255);
  for (i = 0; i < CHAT_LINES; ++i) draw_text(renderer, 6, 6 + 10 * i, a->chat[i]);
  if (velantis_client_state(a->client) != VELANTIS_STATE_CONNECTED) {
    SDL_SetRenderDrawColor(renderer, 230, 120, 90, 255);
    draw_text(renderer, 6, HEIGHT - 14, "connecting...");
  }
  return drawn;
}

static int save_screenshot(SDL_Renderer* renderer, const char* file) {
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormat(0, WIDTH, HEIGHT, 24, SDL_PIXELFORMAT_RGB24);
  int ok = surface != NULL &&
           SDL_RenderReadPixels(renderer, NULL, SDL_PIXELFORMAT_RGB24, surface->pixels,
                                surface->pitch) == 0 &&
           SDL_SaveBMP(surface, file) == 0;
  if (!ok) fprintf(stderr, "arena: cannot save %s: %s\n", file, SDL_GetError());
  SDL_FreeSurface(surface);
  return ok;
}

typedef struct options {
  const char* name;
  const char* screenshot;
  uint64_t id;
  int bots, walk, fps, frames, players, heard;
} options;

/* The frame loop of the window or of the bots; the exit status. */
static int play(arena* players, int count, const options* o, SDL_Renderer* renderer) {
  const uint64_t frequency = SDL_GetPerformanceFrequency();
  const uint64_t frame_ticks = frequency / (uint64_t)o->fps;
  uint64_t next = SDL_GetPerformanceCounter();
  int frame, counted = 0, status = 0, running = 1, i;
  for (frame = 0; running; ++frame) {
    SDL_Event input;
    uint64_t now;
    while (SDL_PollEvent(&input)) {
      if (input.type == SDL_QUIT) running = 0;
      if (input.type == SDL_KEYDOWN && input.key.keysym.sym == SDLK_RETURN) {
        char line[CHAT_SIZE];
        snprintf(line, sizeof(line), "hello from %s", players[0].name);
        say(&players[0], line);
      }
    }
    for (i = 0; i < count; ++i) {
      arena* a = &players[i];
      if (!take_events(a)) running = 0, status = 1;
      if (a->path >= 0) {
        walk(a, frame, o->fps);
      } else {
        const Uint8* keys = SDL_GetKeyboardState(NULL);
        const float step = WALK_SPEED / (float)o->fps;
        a->x += step * (float)(keys[SDL_SCANCODE_RIGHT] - keys[SDL_SCANCODE_LEFT]);
        a->y += step * (float)(keys[SDL_SCANCODE_UP] - keys[SDL_SCANCODE_DOWN]);
        a->x = fmaxf(-100.0f, fminf(100.0f, a->x));
        a->y = fmaxf(-75.0f, fminf(75.0f, a->y));
      }
      /* Thirty updates a second at the default sixty frames. */
      if (frame % 2 == 0) send_position(a);
      if (renderer == NULL && frame % (o->fps * 5) == o->fps * (1 + i % 4)) {
        char line[CHAT_SIZE];
        snprintf(line, sizeof(line), "%s says hi", a->name);
        say(a, line);
      }
    }
    if (renderer != NULL) {
      /* What may be the last frame is described as it is drawn; it is the last only if it shows
       * as many players as asked for, and the description is written afresh otherwise. */
      FILE* shot = NULL;
      char shot_file[1024];
      if (o->screenshot != NULL && o->frames > 0 && counted + 1 >= o->frames) {
        snprintf(shot_file, sizeof(shot_file), "%s.txt", o->screenshot);
        shot = fopen(shot_file, "w");
        if (shot == NULL) perror(shot_file), status = 1, running = 0;
      }
      if (draw(renderer, &players[0], shot) >= o->players && players[0].heard >= o->heard)
        ++counted;
      if (shot != NULL && fclose(shot) != 0) status = 1, running = 0;
      if (shot != NULL && counted >= o->frames && !save_screenshot(renderer, o->screenshot))
        status = 1;
      SDL_RenderPresent(renderer);
    } else if (o->frames > 0 && ++counted >= o->frames) {
      running = 0;
    }
    if (o->frames > 0 && counted >= o->frames) running = 0;
    /* Sleep to the next frame; after a long stall start afresh rather than race to catch up. */
    next += frame_ticks;
    now = SDL_GetPerformanceCounter();
    if (next > now) {
      SDL_Delay((Uint32)((next - now) * 1000 / frequency));
    } else if (now - next > frequency / 4) {
      next = now;
    }
  }
  return status;
}

static int parse(int argc, char** argv, velantis_config* config, options* o) {
  int i;
  for (i = 1; i < argc; ++i) {
    const char* value = i + 1 < argc ? argv[i + 1] : NULL;
    if (strcmp(argv[i], "--walk") == 0) {
      o->walk = 1;
      continue;
    }
    if (value == NULL) break;
    ++i;
    if (strcmp(argv[i - 1], "--server") == 0) {
      config->server_address = value;
    } else if (strcmp(argv[i - 1], "--port") == 0) {
      config->server_port = (uint16_t)atoi(value);
    } else if (strcmp(argv[i - 1], "--name") == 0) {
      o->name = value;
    } else if (strcmp(argv[i - 1], "--id") == 0) {
      o->id = strtoull(value, NULL, 10);
    } else if (strcmp(argv[i - 1], "--bots") == 0) {
      o->bots = atoi(value);
    } else if (strcmp(argv[i - 1], "--fps") == 0) {
      o->fps = atoi(value);
    } else if (strcmp(argv[i - 1], "--frames") == 0) {
      o->frames = atoi(value);
    } else if (strcmp(argv[i - 1], "--players") == 0) {
      o->players = atoi(value);
    } else if (strcmp(argv[i - 1], "--heard") == 0) {
      o->heard = atoi(value);
    } else if (strcmp(argv[i - 1], "--screenshot") == 0) {
      o->screenshot = value;
    } else {
      break;
    }
  }
  if (i < argc || o->fps < 1 || o->bots < 0 || o->bots > MAX_BOTS || config->server_port == 0) {
    fprintf(stderr,
            "usage: arena [--server ADDRESS] [--port N] [--name NAME] [--id N] [--walk] [--fps N]\n"
            "             [--bots N] [--frames N] [--players N] [--heard N] "
            "[--screenshot FILE.bmp]\n");
    return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  static arena players[MAX_BOTS];
  velantis_config config;
  options o = {"player", NULL, 0, 0, 0, 60, 0, 0, 0};
  SDL_Window* window = NULL;
  SDL_Renderer* renderer = NULL;
  int count, i, status = 1;

  /* Lines as they happen, also into a pipe: whoever runs the bots may be waiting for them. */
  setvbuf(stdout, NULL, _IOLBF, 0);
  velantis_config_init(&config);
  config.flags |= VELANTIS_FLAG_TEXT_EVENTS;
  if (!parse(argc, argv, &config, &o)) return 2;
  SDL_SetMainReady();
  /* The events subsystem also turns SIGINT and SIGTERM into SDL_QUIT, so bots leave cleanly. */
  if (SDL_Init(o.bots > 0 ? SDL_INIT_EVENTS | SDL_INIT_TIMER : SDL_INIT_VIDEO) != 0) {
    fprintf(stderr, "arena: %s\n", SDL_GetError());
    return 1;
  }
  count = o.bots > 0 ? o.bots : 1;
  for (i = 0; i < count; ++i) {
    char name[NAME_SIZE];
    if (o.bots > 0) snprintf(name, sizeof(name), "bot %d", i + 1);
    players[i].path = o.bots > 0 ? i : o.walk ? WINDOW_PATH : -1;
    if (players[i].path >= 0) walk(&players[i], 0, o.fps);
    if (!open_player(&players[i], &config, o.id > 0 ? o.id + (uint64_t)i : 0,
                     o.bots > 0 ? name : o.name))
      goto done;
  }
  if (o.bots == 0) {
    char title[64];
    snprintf(title, sizeof(title), "arena: %s", o.name);
    window =
        SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, WIDTH, HEIGHT, 0);
    renderer = window != NULL ? SDL_CreateRenderer(window, -1, 0) : NULL;
    if (renderer == NULL) {
      fprintf(stderr, "arena: %s\n", SDL_GetError());
      goto done;
    }
  }
  status = play(players, count, &o, renderer);
done:
  for (i = 0; i < count; ++i) close_player(&players[i]);
  if (renderer != NULL) SDL_DestroyRenderer(renderer);
  if (window != NULL) SDL_DestroyWindow(window);
  SDL_Quit();
  return status;
}
