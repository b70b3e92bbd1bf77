#pragma once

#include <cstdint>

namespace Velantis {

// When to send what while waiting for a Welcome. The server answers a Connect of an id it has
// already registered with nothing at all, so a player whose Welcome was lost would wait for ever
// on plain resends: after a few silent tries every further try deregisters the player first
// (Disconnect) and starts again with a Connect. The wait between tries doubles up to a limit.
// Time is given by the caller, in milliseconds of a steady clock.
class ConnectMachine {
 public:
  struct Timing {
    std::uint32_t firstResendMs = 500;
    std::uint32_t maxResendMs = 1000;
    std::uint32_t triesBeforeRestart = 3;
    std::uint32_t giveUpMs = 10000;
  };
  enum class Action { None, SendConnect, SendDisconnectThenConnect, GiveUp };
  // What an action asks the caller to send, in this order.
  static bool SendsDisconnect(Action action) { return action == Action::SendDisconnectThenConnect; }
  static bool SendsConnect(Action action) {
    return action == Action::SendConnect || action == Action::SendDisconnectThenConnect;
  }

  explicit ConnectMachine(const Timing& timing) : timing_(Sanitised(timing)) {}

  // The caller has just sent the first Connect.
  void Start(std::int64_t nowMs);
  // What is due at `nowMs`; the caller sends it. After GiveUp the machine is inactive.
  Action Poll(std::int64_t nowMs);
  void Welcomed() { active_ = false; }
  void Stop() { active_ = false; }

  bool Active() const { return active_; }
  // When Poll next has something to do (meaningful while active).
  std::int64_t NextDueMs() const { return due_ < giveUpAt_ ? due_ : giveUpAt_; }
  std::uint32_t Tries() const { return tries_; }
  std::uint32_t Restarts() const { return restarts_; }

 private:
  static Timing Sanitised(Timing timing);

  Timing timing_;
  bool active_ = false;
  std::uint32_t tries_ = 0;
  std::uint32_t restarts_ = 0;
  std::uint32_t intervalMs_ = 0;
  std::int64_t due_ = 0;
  std::int64_t giveUpAt_ = 0;
};

}  // namespace Velantis
