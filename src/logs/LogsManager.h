#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

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

  // Bounds every log of the process from now on (--log-max-bytes, --log-keep): when appending
  // would take a file past `maxBytes`, it becomes NAME.1 (an older NAME.1 becomes NAME.2, and so
  // on, at most `keep` of them kept) and a new file is begun, so that a log with its kept files
  // holds at most about (keep + 1) x maxBytes. 0 bytes: no bound (the default). The size is kept
  // in memory and read from the file only when it is not known (the first write, a failed one)
  // and before renaming; on Windows, where every line end takes two bytes on the disk, a file may
  // pass the bound by its number of lines.
  static void SetRotation(std::uint64_t maxBytes, unsigned keep);

  // Texts that Write dropped, over every log of the process (for the metrics endpoint).
  static std::atomic<std::uint64_t>& LostWrites();

 private:
  std::string fileName;
  std::string directoryPath;
  bool createDirTried = false;
  // The file's size as this object last knew it; unknown until the first bounded write.
  std::uint64_t fileBytes = 0;
  bool fileBytesKnown = false;
  // Makes room for `adding` more bytes under the bound, renaming the file away when needed.
  void KeepWithinBound(std::size_t adding);
  // directoryPath + fileName, built once: Write runs for every log line.
  std::string filePath;
};

// The lines one event (a received datagram) adds to a log, gathered in a buffer the caller keeps
// and written with a single Write: one open-append-close per record instead of one per line. A
// write that fails (a full disk) then loses the whole record, reported once, never half of it.
class LogRecord {
 public:
  LogRecord(LogsManager& logs, std::string& buffer) : logs(logs), text(buffer) { text.clear(); }
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  // Adds one line, given in pieces that already end with its line feed.
  void Add(std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) text.append(piece);
  }
  // The text gathered so far, to append to in place.
  std::string& Text() { return text; }
  // Appends what was gathered to the file, if anything, and starts the next record afresh.
  void Write() {
    if (text.empty()) return;
    logs.Write(text, true);
    text.clear();
  }

 private:
  LogsManager& logs;
  std::string& text;
};
