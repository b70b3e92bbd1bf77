#include "fleet/AgonesSdk.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "fleet/HttpClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"

namespace Fleet {
namespace {

constexpr const char* kSidecarAddress = "127.0.0.1";
// Each call is given this long; a sidecar that answers later is tried again at the next turn.
constexpr auto kCallTime = std::chrono::milliseconds(1000);
// How often what failed is tried again, and how often the player count is looked at.
constexpr auto kTurn = std::chrono::milliseconds(250);
// A receive loop inside the same datagram for this long is stuck.
constexpr auto kStuckAfter = std::chrono::seconds(3);
constexpr auto kShutdownTime = std::chrono::seconds(2);

class Agones {
 public:
  Agones(std::uint16_t port, std::chrono::milliseconds healthInterval)
      : port(port), healthInterval(healthInterval) {}

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

  // Whether the receive loop may be called healthy now: running, and not inside one datagram for
  // kStuckAfter.
  bool ReceiveLoopHealthy(Clock::time_point now) {
    const auto progress = NetworkingComponentServer::Progress();
    if (!progress.running) return false;
    if (!progress.inHand || progress.lastProgressMicroseconds != lastProgressSeen) {
      lastProgressSeen = progress.lastProgressMicroseconds;
      lastProgress = now;
      return true;
    }
    return now - lastProgress < kStuckAfter;
  }

  void Run() {
    bool ready = false;
    bool healthy = true;
    std::optional<std::uint64_t> playersSent;
    auto nextHealth = Clock::now();
    lastProgress = Clock::now();
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
        if (ReceiveLoopHealthy(now)) {
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
        if (playersSent != players && Call("the player count", "PATCH", "/v1beta1/counters/players",
                                           "{\"count\":\"" + std::to_string(players) + "\"}")) {
          playersSent = players;
        }
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
  std::thread thread;
  std::mutex lock;
  std::condition_variable wake;
  bool stopRequested = false;
  bool sidecarAnswering = true;
  std::uint64_t lastProgressSeen = 0;
  Clock::time_point lastProgress;
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

void StartAgones(std::uint16_t sidecarPort, std::chrono::milliseconds healthInterval) {
  if (running != nullptr) return;
  running = new Agones(sidecarPort, healthInterval);
  running->Start();
}

void StopAgones() {
  if (running == nullptr) return;
  running->Stop();
  delete running;
  running = nullptr;
}

}  // namespace Fleet
