#pragma once

#include <chrono>
#include <cstdint>

#include "net/Packet.h"

namespace Velantis {

// When to send what while waiting for a Welcome. A validating server answers every Connect, so
// plain resends do. A server that trusts sources answers a Connect of an id it has already
// registered with nothing at all, so a player whose Welcome was lost would wait for ever on them:
// after a few silent tries, every other try deregisters the player (Disconnect) and the next one
// connects again. The two never leave back to back, so a path that reorders datagrams cannot
// deliver the Connect first and the Disconnect after it. The wait between tries doubles up to a
// limit of at most 2 s. Time is given by the caller, in milliseconds of a steady clock.
class ConnectMachine {
 public:
  struct Timing {
    std::uint32_t firstResendMs = 500;
    std::uint32_t maxResendMs = 1000;
    std::uint32_t triesBeforeRestart = 3;
    std::uint32_t giveUpMs = 10000;
  };
  enum class Action { None, SendConnect, SendDisconnect, GiveUp };
  static constexpr std::uint32_t kLongestWaitMs = 2000;

  explicit ConnectMachine(const Timing& timing) : timing_(Sanitised(timing)) {}

  // The caller has just sent the first Connect. Given `maxTries`, the machine gives up after that
  // many Connects instead of after giveUpMs, and never with 0.
  void Start(std::int64_t nowMs);
  void StartCountingTries(std::int64_t nowMs, std::uint32_t maxTries);
  // What is due at `nowMs`; the caller sends it. After GiveUp the machine is inactive.
  Action Poll(std::int64_t nowMs);
  void Welcomed() { active_ = false; }
  void Stop() { active_ = false; }

  bool Active() const { return active_; }
  // When Poll next has something to do (meaningful while active).
  std::int64_t NextDueMs() const { return countingTries_ || due_ < giveUpAt_ ? due_ : giveUpAt_; }
  std::uint32_t Tries() const { return tries_; }
  std::uint32_t Restarts() const { return restarts_; }

 private:
  static Timing Sanitised(Timing timing);

  Timing timing_;
  bool active_ = false;
  std::uint32_t tries_ = 0;
  std::uint32_t restarts_ = 0;
  bool countingTries_ = false;
  std::uint32_t maxTries_ = 0;
  bool disconnected_ = false;
  std::uint32_t intervalMs_ = 0;
  std::int64_t due_ = 0;
  std::int64_t giveUpAt_ = 0;
};

// The one connect sequence, for the library and the tools alike: the first Connect, the resends,
// a restart's Disconnect a try before its Connect, and the give-up, timed by the machine on a
// steady clock. `send(type)` sends one packet of that type and says whether it went out; the driver
// stops at the first that did not.
class ConnectDriver : public ConnectMachine {
 public:
  enum class Outcome { Waiting, Welcomed, GaveUp, SendFailed };

  using ConnectMachine::ConnectMachine;

  static std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  // Sends the first Connect and starts the clock; false when it did not go out.
  template <typename Send>
  bool Start(Send&& send) {
    if (!send(MessageType::Connect)) return false;
    ConnectMachine::Start(NowMs());
    return true;
  }
  template <typename Send>
  bool StartCountingTries(Send&& send, std::uint32_t maxTries) {
    if (!send(MessageType::Connect)) return false;
    ConnectMachine::StartCountingTries(NowMs(), maxTries);
    return true;
  }

  // Sends what is due now; Waiting while the machine goes on, GaveUp once it has stopped.
  template <typename Send>
  Outcome Poll(Send&& send) {
    const Action action = ConnectMachine::Poll(NowMs());
    if (action == Action::GiveUp) return Outcome::GaveUp;
    if (action == Action::SendDisconnect && !send(MessageType::Disconnect)) {
      return Outcome::SendFailed;
    }
    if (action == Action::SendConnect && !send(MessageType::Connect)) return Outcome::SendFailed;
    return Outcome::Waiting;
  }

  // The whole sequence for a caller that may block: `waitForWelcome(dueMs)` receives until that
  // time or a Welcome, whichever comes first, and says whether one has come.
  template <typename Send, typename WaitForWelcome>
  Outcome Run(Send&& send, WaitForWelcome&& waitForWelcome) {
    if (!Start(send)) return Outcome::SendFailed;
    for (;;) {
      if (waitForWelcome(NextDueMs())) {
        Welcomed();
        return Outcome::Welcomed;
      }
      if (const Outcome outcome = Poll(send); outcome != Outcome::Waiting) return outcome;
    }
  }
};

}  // namespace Velantis
