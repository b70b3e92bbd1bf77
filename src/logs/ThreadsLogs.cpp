#include "logs/ThreadsLogs.h"

#include <string>

ThreadsLogs& ThreadsLogs::GetInstance() {
  // Never destroyed: registered threads may still run, and use their records, while the process
  // exits, so the records must stay reachable until the very end.
  static auto* instance = new ThreadsLogs();
  return *instance;
}

ThreadStruct* ThreadsLogs::CreateLoggedThread(Platform::ThreadRoutine startRoutine,
                                              std::uint64_t parameter) {
  auto* threadStruct = new ThreadStruct();
  Launch(startRoutine, threadStruct, true, parameter);
  return threadStruct;
}

void ThreadsLogs::CreateLoggedThread(Platform::ThreadRoutine startRoutine,
                                     ThreadStruct* threadStruct) {
  Launch(startRoutine, threadStruct, false, 0);
}

void ThreadsLogs::Launch(Platform::ThreadRoutine startRoutine, ThreadStruct* threadStruct,
                         bool setParameter, std::uint64_t parameter) {
  const auto threadsSize = static_cast<std::int32_t>(threads.size());
  const std::string index = std::to_string(threadsSize);
  threadStruct->logsManager =
      std::make_unique<LogsManager>("Thread_" + index + ".logs", "ThreadsLogs");
  LogsManager& logs = *threadStruct->logsManager;
  logs.CreateDir();

  const std::string rule(83, '=');
  logs.Write("\n\n\n\n\n\n\n", true);
  logs.Write(rule + " \n", true);
  logs.Write("================== Thread[" + index + "] started. ================== \n", true);
  logs.Write(rule + " \n", true);

  // Everything the routine reads is set before it starts: it may run before the handle is
  // stored and before the record is registered.
  if (setParameter) threadStruct->parameter = parameter;
  threadStruct->index = threadsSize;
  threadStruct->handle = Platform::StartThread(startRoutine, threadStruct);
  threads.insert({threadsSize, threadStruct});
}

Platform::ThreadHandle ThreadsLogs::GetThreadHandle(std::uint8_t index) {
  return threads.at(static_cast<std::int32_t>(index))->handle;
}

void ThreadsLogs::RemoveThread(std::int32_t index) {
  ThreadStruct* threadStruct = threads.at(index);
  delete threadStruct;
  threads.erase(index);
}
