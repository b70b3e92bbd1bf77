#include "fleet/AgonesSdk.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "fleet/HttpClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "platform/platform.h"
#include "utils/Console.h"

namespace Fleet {
namespace {

constexpr const char* kSidecarAddress = "127.0.0.1";
// Each call is given this long; a sidecar that answers later is tried again at the next turn.
constexpr auto kCallTime = std::chrono::milliseconds(1000);
// How often what failed is tried again, and how often the player count is looked at.
constexpr auto kTurn = std::chrono::milliseconds(250);
constexpr auto kShutdownTime = std::chrono::seconds(2);

// The GameServer's state in one line of the watch stream, such as
// {"result":{"object_meta":{...},"status":{"state":"Allocated",...}}}; empty when it has none.
std::string WatchedState(std::string_view line) {
  const std::size_t status = line.find("\"status\"");
  if (status == std::string_view::npos) return {};
  const std::size_t key = line.find("\"state\"", status);
  if (key == std::string_view::npos) return {};
  std::size_t at = line.find_first_not_of(" \t\r", key + 7);
  if (at == std::string_view::npos || line[at] != ':') return {};
  at = line.find_first_not_of(" \t\r", at + 1);
  if (at == std::string_view::npos || line[at] != '"') return {};
  const std::size_t end = line.find('"', at + 1);
  if (end == std::string_view::npos) return {};
  return std::string(line.substr(at + 1, end - at - 1));
}

class Agones {
 public:
  Agones(std::uint16_t port, std::chrono::milliseconds healthInterval,
         std::chrono::milliseconds emptyShutdown)
      : port(port),
        healthInterval(healthInterval),
        emptyShutdown(emptyShutdown),
        watch(kSidecarAddress, port, "/watch/gameserver") {}

  void Start() {
    thread = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      const std::lock_guard<std::mutex> hold(lock);
      stopRequested = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }

 private:
  using Clock = std::chrono::steady_clock;

  // True when the sidecar accepted the call; the first failure after a success is reported.
  bool Call(const char* name, const char* method, const std::string& target,
            const std::string& body) {
    const HttpAnswer answer = HttpRequest(kSidecarAddress, port, method, target, body, kCallTime);
    const bool accepted = answer.status >= 200 && answer.status < 300;
    if (!accepted && sidecarAnswering) {
      Console::Err("AgonesSdk(): The SDK sidecar on port ", Decimal(port), " did not accept ", name,
                   answer.status == 0
                       ? " (no answer); trying again."
                       : " (HTTP " + std::to_string(answer.status) + "); trying again.");
    }
    sidecarAnswering = accepted;
    return accepted;
  }

  // Follows the GameServer's state, and once it is Allocated, asks the process to stop when the
  // match is over.
  void WatchMatch(Clock::time_point now, std::uint64_t players) {
    for (const std::string& line : watch.Poll()) {
      const std::string state = WatchedState(line);
      if (state.empty() || state == gameServerState) continue;
      gameServerState = state;
      if (state == "Allocated" && !allocatedAt) {
        allocatedAt = now;
        Console::Out("AgonesSdk(): The GameServer is Allocated.");
      }
    }
    if (!allocatedAt || stopAsked) return;
    if (players > 0) hadPlayers = true;
    const bool emptied = hadPlayers && players == 0;
    const bool nobodyCame =
        !hadPlayers && emptyShutdown.count() > 0 && now - *allocatedAt >= emptyShutdown;
    if (!emptied && !nobodyCame) return;
    stopAsked = true;
    Console::Out(emptied ? "AgonesSdk(): The match is over: every player has left; stopping."
                         : "AgonesSdk(): No player came to the allocated match; stopping.");
    Platform::RequestStop();
  }

  void Run() {
    bool ready = false;
    bool healthy = true;
    // What the counter has been told of this server's players: their count at the last
    // increment or decrement it accepted.
    std::uint64_t playersCounted = 0;
    auto nextHealth = Clock::now();
    std::unique_lock<std::mutex> hold(lock);
    while (!stopRequested) {
      hold.unlock();
      const auto now = Clock::now();
      if (!ready) {
        ready = Call("Ready", "POST", "/ready", "{}");
        if (ready) {
          Console::Out("AgonesSdk(): Ready: the SDK sidecar on port ", Decimal(port),
                       " was told the server serves.");
        }
      }
      if (ready) {
        if (NetworkingComponentServer::ServingNow() == NetworkingComponentServer::Serving::Yes) {
          if (!healthy) Console::Err("AgonesSdk(): The receive loop moves again; health resumed.");
          healthy = true;
          if (now >= nextHealth && Call("Health", "POST", "/health", "{}")) {
            nextHealth = now + healthInterval;
          }
        } else if (healthy) {
          healthy = false;
          Console::Err("AgonesSdk(): The receive loop is stuck or has ended; no more Health.");
        }
        const std::uint64_t players = Counters().registeredPlayers.load(std::memory_order_relaxed);
        if (players != playersCounted) {
          const auto change = static_cast<std::int64_t>(players - playersCounted);
          if (Call("the player count", "PATCH", "/v1beta1/counters/players",
                   "{\"countDiff\":\"" + std::to_string(change) + "\"}")) {
            playersCounted = players;
          }
        }
        WatchMatch(now, players);
      }
      // The next turn, or the next Health if that comes first.
      auto wait = std::chrono::duration_cast<Clock::duration>(kTurn);
      if (ready && healthy) wait = std::min(wait, std::max(nextHealth - Clock::now(), {}));
      hold.lock();
      wake.wait_for(hold, wait, [this] { return stopRequested; });
    }
    hold.unlock();
    const auto deadline = Clock::now() + kShutdownTime;
    while (!Call("Shutdown", "POST", "/shutdown", "{}") && Clock::now() < deadline) {
      std::this_thread::sleep_for(kTurn);
    }
  }

  const std::uint16_t port;
  const std::chrono::milliseconds healthInterval;
  const std::chrono::milliseconds emptyShutdown;
  HttpLineStream watch;
  std::thread thread;
  std::mutex lock;
  std::condition_variable wake;
  bool stopRequested = false;
  bool sidecarAnswering = true;
  std::string gameServerState;
  std::optional<Clock::time_point> allocatedAt;
  bool hadPlayers = false;
  bool stopAsked = false;
};

Agones* running = nullptr;

}  // namespace

std::optional<std::uint16_t> AgonesPortFromEnvironment() {
  const char* text = std::getenv("AGONES_SDK_HTTP_PORT");
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > 65535 || text[0] < '1' || text[0] > '9') {
    Console::Err("AgonesSdk(): AGONES_SDK_HTTP_PORT=\"", std::string(text).substr(0, 40),
                 "\" is not a port number; the SDK sidecar is not told anything.");
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

void StartAgones(std::uint16_t sidecarPort, std::chrono::milliseconds healthInterval,
                 std::chrono::milliseconds emptyShutdown) {
  if (running != nullptr) return;
  running = new Agones(sidecarPort, healthInterval, emptyShutdown);
  running->Start();
}

void StopAgones() {
  if (running == nullptr) return;
  running->Stop();
  delete running;
  running = nullptr;
}

}  // namespace Fleet
