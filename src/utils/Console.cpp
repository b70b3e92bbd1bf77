#include "utils/Console.h"

#include <string>

#include "platform/platform.h"

namespace Console {

void Print(Stream stream, std::initializer_list<std::string_view> pieces) {
  // Reused per thread so that a line costs no allocation once the thread has warmed up.
  thread_local std::string line;
  line.clear();
  for (const std::string_view piece : pieces) line.append(piece);
  line.push_back('\n');
  Platform::WriteConsoleLine(stream == Stream::Err, line.data(), line.size());
}

}  // namespace Console
