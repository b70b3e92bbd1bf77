#include "utils/Console.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace Console {
namespace {

// Under a flood of bad datagrams every one of them draws an error line. A terminal shows them all;
// journald would store them all (its own rate limit is per service and drops without a word), so
// when standard error is the journal at most kBurst error lines a second go there, and the first
// line after a second that dropped some says how many.
constexpr std::uint32_t kBurst = 10;

class JournalErrors {
 public:
  // Whether the line may be written; fills `suppressedNote` with the line to write before it.
  bool Admit(std::string& suppressedNote) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> hold(lock);
    if (now - windowStart >= std::chrono::seconds(1)) {
      if (suppressed > 0) {
        suppressedNote = "<4>Console(): " + std::to_string(suppressed) +
                         " error lines were left out of the journal (all of them are in the "
                         "log).\n";
      }
      windowStart = now;
      written = 0;
      suppressed = 0;
    }
    if (written >= kBurst) {
      ++suppressed;
      return false;
    }
    ++written;
    return true;
  }

 private:
  std::mutex lock;
  std::chrono::steady_clock::time_point windowStart{};
  std::uint32_t written = 0;
  std::uint64_t suppressed = 0;
};

std::atomic<bool> progressOn{true};

}  // namespace

void SetProgress(bool on) { progressOn.store(on, std::memory_order_relaxed); }
bool ProgressOn() { return progressOn.load(std::memory_order_relaxed); }

void Print(Stream stream, std::initializer_list<std::string_view> pieces) {
  // Reused per thread so that a line costs no allocation once the thread has warmed up.
  thread_local std::string line;
  line.clear();
  // Asked once: journald hands the stream over before the process starts.
  static const bool errorsToJournal = Platform::ErrorStreamIsJournal();
  if (stream == Stream::Journal) {
    if (!errorsToJournal) return;
    line.append("<5>");
  } else if (stream == Stream::Err && errorsToJournal) {
    static JournalErrors journalErrors;
    thread_local std::string note;
    note.clear();
    const bool admitted = journalErrors.Admit(note);
    if (!note.empty()) Platform::WriteConsoleLine(true, note.data(), note.size());
    if (!admitted) return;
    // The syslog priority "error", which journald takes off the line and files it under.
    line.append("<3>");
  }
  for (const std::string_view piece : pieces) line.append(piece);
  line.push_back('\n');
  const bool toErrors = stream == Stream::Err || stream == Stream::Journal;
  Platform::WriteConsoleLine(toErrors, line.data(), line.size());
}

}  // namespace Console
