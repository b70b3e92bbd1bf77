#include "ConnectMachine.h"

#include <algorithm>

namespace Velantis {

ConnectMachine::Timing ConnectMachine::Sanitised(Timing timing) {
  timing.firstResendMs = std::max<std::uint32_t>(timing.firstResendMs, 1);
  timing.firstResendMs = std::min(timing.firstResendMs, kLongestWaitMs);
  timing.maxResendMs = std::clamp(timing.maxResendMs, timing.firstResendMs, kLongestWaitMs);
  timing.triesBeforeRestart = std::max<std::uint32_t>(timing.triesBeforeRestart, 1);
  return timing;
}

void ConnectMachine::Start(std::int64_t nowMs) {
  active_ = true;
  countingTries_ = false;
  disconnected_ = false;
  tries_ = 1;
  restarts_ = 0;
  intervalMs_ = timing_.firstResendMs;
  due_ = nowMs + intervalMs_;
  giveUpAt_ = nowMs + timing_.giveUpMs;
}

void ConnectMachine::StartCountingTries(std::int64_t nowMs, std::uint32_t maxTries) {
  Start(nowMs);
  countingTries_ = true;
  maxTries_ = maxTries;
}

ConnectMachine::Action ConnectMachine::Poll(std::int64_t nowMs) {
  if (!active_) return Action::None;
  if (!countingTries_ && nowMs >= giveUpAt_) {
    active_ = false;
    return Action::GiveUp;
  }
  if (nowMs < due_) return Action::None;
  intervalMs_ = std::min(intervalMs_ * 2, timing_.maxResendMs);
  due_ = nowMs + intervalMs_;
  // So many silent tries suggest that a Connect arrived and only the answers were lost: from now
  // on every other try deregisters the player. Unregistered, the Disconnect costs nothing;
  // registered with a server that trusts sources, it is the only way to a new Welcome.
  if (tries_ >= timing_.triesBeforeRestart && !disconnected_) {
    disconnected_ = true;
    ++restarts_;
    return Action::SendDisconnect;
  }
  if (countingTries_ && maxTries_ != 0 && tries_ >= maxTries_) {
    active_ = false;
    return Action::GiveUp;
  }
  disconnected_ = false;
  ++tries_;
  return Action::SendConnect;
}

}  // namespace Velantis
