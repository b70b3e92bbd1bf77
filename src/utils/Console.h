#pragma once

#include <charconv>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <type_traits>

// Console lines: each is written whole, ends with a line end and is flushed at once, so lines of
// different threads never interleave and nothing waits in a buffer when the process is killed.
namespace Console {

// Progress lines are the ones a server prints for every datagram; they go to standard output like
// Out's lines unless turned off (--progress=off), when they cost nothing but a flag's test.
// Journal lines go to standard error only where that is journald's stream, at the priority
// "notice", and nowhere otherwise: what an operator reads in the journal (a start line) that a
// console, which shows the progress lines, has no need of.
enum class Stream { Out, Err, Progress, Journal };

void Print(Stream stream, std::initializer_list<std::string_view> pieces);

// Set before the threads that print progress lines start; on by default.
void SetProgress(bool on);
bool ProgressOn();

template <class... Pieces>
void Out(const Pieces&... pieces) {
  Print(Stream::Out, {std::string_view(pieces)...});
}

template <class... Pieces>
void Progress(const Pieces&... pieces) {
  if (ProgressOn()) Print(Stream::Progress, {std::string_view(pieces)...});
}

template <class... Pieces>
void Err(const Pieces&... pieces) {
  Print(Stream::Err, {std::string_view(pieces)...});
}

template <class... Pieces>
void Journal(const Pieces&... pieces) {
  Print(Stream::Journal, {std::string_view(pieces)...});
}

}  // namespace Console

// An integer in plain decimal, formatted without allocating; usable wherever text is expected.
class Decimal {
 public:
  template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer>>>
  explicit Decimal(Integer value) {
    size_ =
        static_cast<std::size_t>(std::to_chars(text_, text_ + sizeof(text_), value).ptr - text_);
  }
  operator std::string_view() const { return {text_, size_}; }  // NOLINT: meant to convert

 private:
  char text_[24];
  std::size_t size_ = 0;
};
