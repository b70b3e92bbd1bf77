// /bin/sh of the container image, and no shell: it runs the one command of `sh -c "COMMAND"`
// and ends with its exit status. Runtimes that wrap a health check or an exec probe in
// `/bin/sh -c` (podman's `play kube` does so for every liveness probe, adding `|| exit 1` or
// `|| kill 1`) then run the server's own check in an image that has no shell to offer an intruder.
//
// The command is split at blanks, without quoting, globbing or variables. Of a `||` after it only
// `exit N` is honoured; anything else there is left to the runtime, which acts on the failed check
// itself.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

int Run(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) return 126;
  if (child == 0) {
    execv(argv[0], argv.data());
    std::fprintf(stderr, "sh: %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 126;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-c") != 0) {
    std::fprintf(stderr, "sh: this image has no shell; only `sh -c \"/ABSOLUTE/PROGRAM ARGS\"`\n");
    return 2;
  }
  std::vector<std::string> words = SplitWords(argv[2]);
  std::vector<std::string> command, fallback;
  bool afterOr = false;
  for (const std::string& word : words) {
    if (word == "||") {
      afterOr = true;
    } else {
      (afterOr ? fallback : command).push_back(word);
    }
  }
  if (command.empty() || command[0][0] != '/') {
    std::fprintf(stderr, "sh: this image has no shell; only `sh -c \"/ABSOLUTE/PROGRAM ARGS\"`\n");
    return 2;
  }
  int status = Run(command);
  if (status != 0 && fallback.size() == 2 && fallback[0] == "exit") {
    return std::atoi(fallback[1].c_str());
  }
  return status;
}
