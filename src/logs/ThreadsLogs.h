#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "logs/LogsManager.h"
#include "platform/platform.h"

// What a thread started through the registry receives as its only argument.
struct ThreadStruct {
  Platform::ThreadHandle handle = nullptr;  // null when the thread could not be started
  std::unique_ptr<LogsManager> logsManager;
  std::int32_t index = 0;
  std::uint64_t parameter = 0;
};

// The process-wide registry of threads that each own a log file "Thread_<index>.logs".
class ThreadsLogs {
 public:
  static ThreadsLogs& GetInstance();

  // Creates the record and its log file with a start banner, then starts the thread on it.
  ThreadStruct* CreateLoggedThread(Platform::ThreadRoutine startRoutine, std::uint64_t parameter);
  // The same on a record the caller allocated on the heap; the registry takes it over.
  void CreateLoggedThread(Platform::ThreadRoutine startRoutine, ThreadStruct* threadStruct);

  // Both throw std::out_of_range for an index that is not registered.
  Platform::ThreadHandle GetThreadHandle(std::uint8_t index);
  void RemoveThread(std::int32_t index);

 private:
  ThreadsLogs() = default;
  void Launch(Platform::ThreadRoutine startRoutine, ThreadStruct* threadStruct, bool setParameter,
              std::uint64_t parameter);

  std::map<std::int32_t, ThreadStruct*> threads;
};
