#include "ConnectMachine.h"

#include <algorithm>

namespace Velantis {

ConnectMachine::Timing ConnectMachine::Sanitised(Timing timing) {
  timing.firstResendMs = std::max<std::uint32_t>(timing.firstResendMs, 1);
  timing.maxResendMs = std::max(timing.maxResendMs, timing.firstResendMs);
  timing.triesBeforeRestart = std::max<std::uint32_t>(timing.triesBeforeRestart, 1);
  return timing;
}

void ConnectMachine::Start(std::int64_t nowMs) {
  active_ = true;
  tries_ = 1;
  restarts_ = 0;
  intervalMs_ = timing_.firstResendMs;
  due_ = nowMs + intervalMs_;
  giveUpAt_ = nowMs + timing_.giveUpMs;
}

ConnectMachine::Action ConnectMachine::Poll(std::int64_t nowMs) {
  if (!active_) return Action::None;
  if (nowMs >= giveUpAt_) {
    active_ = false;
    return Action::GiveUp;
  }
  if (nowMs < due_) return Action::None;
  ++tries_;
  intervalMs_ = std::min(intervalMs_ * 2, timing_.maxResendMs);
  due_ = nowMs + intervalMs_;
  if (tries_ <= timing_.triesBeforeRestart) return Action::SendConnect;
  // So many silent tries suggest that a Connect arrived and only the answers were lost: from now
  // on every try starts from scratch. Unregistered, the Disconnect costs nothing; registered, it
  // is the only way to a new Welcome.
  ++restarts_;
  return Action::SendDisconnectThenConnect;
}

}  // namespace Velantis
