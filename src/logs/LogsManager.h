#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// One plain-text log file below the server's data folder. The path is fixed at construction;
// every Write opens the file, writes and closes it again, so nothing stays open between calls and
// other programs may read the file while the server runs.
class LogsManager {
 public:
  LogsManager(std::string fileName, const std::string& directoryName);

  // Creates the folder and all its missing parents, and reports the outcome on the console.
  void CreateDir();
  // Appends the text (append true) or replaces the file's content with it (append false). A
  // missing folder is created once per object; after that, a failed open drops the text. A write
  // that fails once the file is open (a full disk) drops the text whole and is reported.
  void Write(const std::string& text, const bool& append);
  // Echoes each line on the console; returns what the last, failed line read left behind.
  std::string Read();
  // Deletes the file; the folders stay.
  void Remove();

  const std::string& FilePath() const { return filePath; }

  // Texts that Write dropped, over every log of the process (for the metrics endpoint).
  static std::atomic<std::uint64_t>& LostWrites();

 private:
  std::string fileName;
  std::string directoryPath;
  bool createDirTried = false;
  // directoryPath + fileName, built once: Write runs for every log line.
  std::string filePath;
};
