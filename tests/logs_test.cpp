#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "logs/LogsManager.h"
#include "logs/ThreadsLogs.h"
#include "support/TestSupport.h"
#include "utils/MiscUtils.h"

namespace {

namespace fs = std::filesystem;
using TestSupport::ReadFile;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

class LogsManagerTest : public testing::Test {
 protected:
  // A folder of the test's own below the data folder, so tests never see each other's files.
  std::string FolderName() const {
    return std::string("LogsTest_") + testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  std::string DirectoryPath() const {
    return MiscUtils::GetLocalAppDataPath() + MiscUtils::ServerDataFolder + FolderName();
  }
  std::string FilePath() const { return DirectoryPath() + Platform::kPathSeparator + "test.logs"; }
  fs::path Native(const std::string& path) const {
    return fs::path(std::u8string(path.begin(), path.end()));
  }
};

TEST_F(LogsManagerTest, ConstructionAnnouncesThePathAndTouchesNothing) {
  testing::internal::CaptureStdout();
  LogsManager logs("test.logs", FolderName());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LogsManager(): Target file location is: " + FilePath() + "\n");
  EXPECT_EQ(logs.FilePath(), FilePath());
  EXPECT_FALSE(fs::exists(Native(DirectoryPath())));
}

TEST_F(LogsManagerTest, FirstWriteCreatesTheMissingFolderOnceThenGivesUp) {
  LogsManager logs("test.logs", FolderName());

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  logs.Write("first\n", true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "LogsManager(Write): Cannot open the logs file " + Quoted(FilePath()) + ".\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LogsManager(CreateDir): The directory " + Quoted(DirectoryPath()) + " is created.\n");
  EXPECT_EQ(ReadFile(Native(FilePath())), "first\n");

  // The folder is created only once per object: when it vanishes again, the text is lost.
  fs::remove_all(Native(DirectoryPath()));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  logs.Write("second\n", true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "LogsManager(Write): Cannot open the logs file " + Quoted(FilePath()) + ".\n" +
                "LogsManager(Write): Cannot create the directory and the logs file at " +
                Quoted(FilePath()) + ".\n");
  EXPECT_FALSE(fs::exists(Native(DirectoryPath())));
}

TEST_F(LogsManagerTest, AppendKeepsContentAndReplaceStartsAfresh) {
  LogsManager logs("test.logs", FolderName());
  logs.CreateDir();
  logs.Write("a\n", true);
  logs.Write("b\n", true);
  EXPECT_EQ(ReadFile(Native(FilePath())), "a\nb\n");
  logs.Write("c\n", false);
  EXPECT_EQ(ReadFile(Native(FilePath())), "c\n");
}

TEST_F(LogsManagerTest, CreateDirReportsAnExistingFolderOnStandardError) {
  LogsManager logs("test.logs", FolderName());
  logs.CreateDir();
  testing::internal::CaptureStderr();
  logs.CreateDir();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "LogsManager(CreateDir): The directory " +
                                                        Quoted(DirectoryPath()) +
                                                        " already exists or cannot be created.\n");
}

TEST_F(LogsManagerTest, ReadEchoesEveryLineAndReturnsWhatTheLastReadLeft) {
  LogsManager logs("test.logs", FolderName());
  logs.CreateDir();
  logs.Write("a\nb\n", false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(logs.Read(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LogsManager(Read): Line:  \"a\" read from the logs file.\n"
            "LogsManager(Read): Line:  \"b\" read from the logs file.\n");

  logs.Write("a\nb", false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(logs.Read(), "b");
  testing::internal::GetCapturedStdout();
}

TEST_F(LogsManagerTest, ReadOfAMissingFileReportsAndReturnsEmpty) {
  LogsManager logs("test.logs", FolderName());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(logs.Read(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "LogsManager(Read): Cannot open the logs file " + Quoted(FilePath()) + ".\n");
}

TEST_F(LogsManagerTest, RemoveReportsBothOutcomesAndASuccessAllowsANewFolderAttempt) {
  LogsManager logs("test.logs", FolderName());
  testing::internal::CaptureStderr();
  logs.Remove();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "LogsManager(Remove): Cannot remove the logs file " + Quoted(FilePath()) + ".\n");

  logs.Write("x\n", true);  // uses up the one folder creation
  testing::internal::CaptureStdout();
  logs.Remove();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LogsManager(Remove): The logs file " + Quoted(FilePath()) + " is removed.\n");
  EXPECT_FALSE(fs::exists(Native(FilePath())));

  fs::remove_all(Native(DirectoryPath()));
  logs.Write("y\n", true);
  EXPECT_EQ(ReadFile(Native(FilePath())), "y\n");
}

// Thread routines report what they were given through these.
std::atomic<std::uint64_t> seenParameter{0};
std::atomic<bool> routineRan{false};

std::uint32_t RecordingRoutine(void* argument) {
  auto* record = static_cast<ThreadStruct*>(argument);
  record->logsManager->Write("routine ran\n", true);
  seenParameter = record->parameter;
  routineRan = true;
  return 0;
}

std::uint32_t IdleRoutine(void*) { return 0; }

void WaitForRoutine() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!routineRan && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(routineRan);
}

std::string Banner(int index) {
  const std::string rule(83, '=');
  return "\n\n\n\n\n\n\n" + rule + " \n================== Thread[" + std::to_string(index) +
         "] started. ================== \n" + rule + " \n";
}

// The registry is process-wide and CTest runs every test in a process of its own, so each test
// here starts from an empty registry.
TEST(ThreadsLogsTest, FirstThreadGetsIndexZeroItsBannerAndItsParameter) {
  const fs::path file = TestSupport::ThreadsLogsFolder() / "Thread_0.logs";
  fs::remove(file);
  testing::internal::CaptureStdout();
  ThreadStruct* record = ThreadsLogs::GetInstance().CreateLoggedThread(RecordingRoutine, 77);
  WaitForRoutine();
  const std::string console = testing::internal::GetCapturedStdout();

  EXPECT_EQ(record->index, 0);
  EXPECT_EQ(record->parameter, 77u);
  EXPECT_EQ(seenParameter, 77u);
  EXPECT_NE(record->handle, nullptr);
  EXPECT_NE(console.find(std::string("ThreadsLogs") + Platform::kPathSeparator + "Thread_0.logs\n"),
            std::string::npos)
      << console;
  // The banner is complete before the routine runs, so the routine's line follows it.
  EXPECT_EQ(ReadFile(file), Banner(0) + "routine ran\n");
  EXPECT_EQ(ThreadsLogs::GetInstance().GetThreadHandle(0), record->handle);
}

TEST(ThreadsLogsTest, IndicesFollowTheEntryCountAndAReusedIndexIsNotRegisteredTwice) {
  ThreadsLogs& registry = ThreadsLogs::GetInstance();
  ThreadStruct* first = registry.CreateLoggedThread(IdleRoutine, 1);
  ThreadStruct* second = registry.CreateLoggedThread(IdleRoutine, 2);
  EXPECT_EQ(first->index, 0);
  EXPECT_EQ(second->index, 1);
  EXPECT_TRUE(fs::exists(TestSupport::ThreadsLogsFolder() / "Thread_1.logs"));

  registry.RemoveThread(0);
  EXPECT_THROW(registry.GetThreadHandle(0), std::out_of_range);
  ThreadStruct* third = registry.CreateLoggedThread(IdleRoutine, 3);
  EXPECT_EQ(third->index, 1);
  static ThreadStruct* const unregistered =
      third;  // the registry does not own it; keep it reachable
  (void)unregistered;
  EXPECT_EQ(registry.GetThreadHandle(1), second->handle);
}

TEST(ThreadsLogsTest, UnknownIndicesThrowAndChangeNothing) {
  ThreadsLogs& registry = ThreadsLogs::GetInstance();
  EXPECT_THROW(registry.RemoveThread(5), std::out_of_range);
  EXPECT_THROW(registry.GetThreadHandle(255), std::out_of_range);
  ThreadStruct* record = registry.CreateLoggedThread(IdleRoutine, std::uint64_t{0});
  EXPECT_EQ(record->index, 0);
}

TEST(ThreadsLogsTest, CallerSuppliedRecordKeepsItsParameter) {
  auto* record = new ThreadStruct();
  record->parameter = 99;
  ThreadsLogs::GetInstance().CreateLoggedThread(RecordingRoutine, record);
  WaitForRoutine();
  EXPECT_EQ(seenParameter, 99u);
  EXPECT_EQ(record->index, 0);
  ASSERT_NE(record->logsManager, nullptr);
}

}  // namespace
