// The operating system's entry function for the server executable. Only the executable links it.
#include "platform/platform.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string converted(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
  converted.pop_back();  // the terminating zero
  return converted;
}

}  // namespace

// A windowed program is handed its command line as one text; split it the way the console
// programs' runtime does, and pass it on as UTF-8.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** wideArgv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> arguments;
  for (int i = 0; wideArgv != nullptr && i < argc; ++i) arguments.push_back(Utf8(wideArgv[i]));
  if (wideArgv != nullptr) LocalFree(wideArgv);
  if (arguments.empty()) arguments.emplace_back("velantis-server");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return ProcessEntry(static_cast<int>(arguments.size()), argv.data());
}

#else

int main(int argc, char** argv) { return ProcessEntry(argc, argv); }

#endif
