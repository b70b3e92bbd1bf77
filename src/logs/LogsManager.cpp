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

}  // namespace

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
  switch (Platform::WriteTextFile(filePath, text.data(), text.size(), append)) {
    case Platform::WriteResult::Written:
      return;
    case Platform::WriteResult::WriteFailed:
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
