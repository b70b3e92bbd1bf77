#include "logs/LogsManager.h"

#include <exception>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// The folder text is UTF-8 on every platform; hand it to the file system as such.
std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::uint64_t rotationBytes = 0;
unsigned rotationKeep = 2;

}  // namespace

void LogsManager::SetRotation(std::uint64_t maxBytes, unsigned keep) {
  rotationBytes = maxBytes;
  rotationKeep = keep;
}

void LogsManager::KeepWithinBound(std::size_t adding) {
  if (fileBytesKnown && fileBytes + adding <= rotationBytes) return;
  // Someone else (a rotation of the system's) may have moved or cut the file meanwhile.
  std::error_code error;
  const std::uint64_t onDisk = std::filesystem::file_size(Utf8Path(filePath), error);
  fileBytes = error ? 0 : onDisk;
  fileBytesKnown = true;
  if (fileBytes == 0 || fileBytes + adding <= rotationBytes) return;
  const auto kept = [this](unsigned number) {
    return Utf8Path(filePath + "." + std::to_string(number));
  };
  // Older files that are missing leave gaps that need no filling.
  std::error_code missing;
  if (rotationKeep == 0) {
    std::filesystem::remove(Utf8Path(filePath), error);
  } else {
    std::filesystem::remove(kept(rotationKeep), missing);
    for (unsigned number = rotationKeep - 1; number >= 1; --number) {
      std::filesystem::rename(kept(number), kept(number + 1), missing);
    }
    std::filesystem::rename(Utf8Path(filePath), kept(1), error);
  }
  if (error) {
    // The log goes on in the same file rather than be lost, and the next try comes after as
    // many bytes again: one line per bound's worth of log, not one per write.
    Console::Err("LogsManager(Write): Cannot rotate the logs file \"", filePath, "\" - ",
                 error.message(), ".");
  }
  fileBytes = 0;
}

LogsManager::LogsManager(std::string fileName, const std::string& directoryName)
    : fileName(std::move(fileName)),
      directoryPath(MiscUtils::GetLocalAppDataPath() + MiscUtils::ServerDataFolder +
                    directoryName) {
  this->fileName.insert(this->fileName.begin(), Platform::kPathSeparator);
  filePath = directoryPath + this->fileName;
  Console::Out("LogsManager(): Target file location is: ", filePath);
}

void LogsManager::CreateDir() {
  try {
    if (std::filesystem::create_directories(Utf8Path(directoryPath))) {
      Console::Out("LogsManager(CreateDir): The directory \"", directoryPath, "\" is created.");
    } else {
      Console::Err("LogsManager(CreateDir): The directory \"", directoryPath,
                   "\" already exists or cannot be created.");
    }
  } catch (const std::exception& ex) {
    Console::Err("LogsManager(): Exception during directory creation: ", ex.what());
  }
}

void LogsManager::Write(const std::string& text, const bool& append) {
  if (rotationBytes > 0 && append) KeepWithinBound(text.size());
  switch (Platform::WriteTextFile(filePath, text.data(), text.size(), append)) {
    case Platform::WriteResult::Written:
      fileBytes = append ? fileBytes + text.size() : text.size();
      return;
    case Platform::WriteResult::WriteFailed:
      fileBytesKnown = false;
      // The file is there but the disk is full or failing; creating folders would not help. The
      // platform took back what the write had added, and the next Write opens the file afresh,
      // so the log goes on one whole text (a line, or a datagram's record) at a time once there
      // is room again.
      LostWrites().fetch_add(1, std::memory_order_relaxed);
      Console::Err("LogsManager(Write): Cannot write the logs file \"", filePath, "\".");
      return;
    case Platform::WriteResult::OpenFailed:
      break;
  }
  Console::Err("LogsManager(Write): Cannot open the logs file \"", filePath, "\".");
  if (!createDirTried) {
    createDirTried = true;
    CreateDir();
    Write(text, append);
    return;
  }
  LostWrites().fetch_add(1, std::memory_order_relaxed);
  Console::Err("LogsManager(Write): Cannot create the directory and the logs file at \"", filePath,
               "\".");
}

std::atomic<std::uint64_t>& LogsManager::LostWrites() {
  static std::atomic<std::uint64_t> lost{0};
  return lost;
}

std::string LogsManager::Read() {
  std::ifstream file(Utf8Path(filePath));
  std::string extractedLines;
  if (!file.is_open()) {
    Console::Err("LogsManager(Read): Cannot open the logs file \"", filePath, "\".");
  }
  while (std::getline(file, extractedLines)) {
    Console::Out("LogsManager(Read): Line:  \"", extractedLines, "\" read from the logs file.");
  }
  return extractedLines;
}

void LogsManager::Remove() {
  if (std::filesystem::remove(Utf8Path(filePath))) {
    Console::Out("LogsManager(Remove): The logs file \"", filePath, "\" is removed.");
    createDirTried = false;
  } else {
    Console::Err("LogsManager(Remove): Cannot remove the logs file \"", filePath, "\".");
  }
}
