// The Windows side of the platform layer, checked against the real Winsock, kernel and shell (on
// Windows, or under Wine on a Linux build machine). Only Windows builds compile this file.
//
// Each test runs in a process of its own (CTest starts one per case), so the Winsock use count a
// test sees is its own.
#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "logs/LogsManager.h"
#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "platform/platform.h"
#include "support/TestSupport.h"
#include "utils/MiscUtils.h"

namespace {

constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaAddressInUse = 10048;
constexpr int kWsaMessageSize = 10040;
constexpr int kWsaNotASocket = 10038;
constexpr std::size_t kServerReceiveCapacity = 1400;

std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Opens and closes a socket, and tells which handle value it had.
Platform::SocketHandle ProbeSocketHandle() {
  const Platform::SocketHandle socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
  Platform::CloseSocket(socket);
  return socket;
}

Packet TestPacket(std::uint64_t clientID, MessageType type) {
  Packet packet;
  packet.Init(clientID, type, "handles", 0);
  packet.Seal();
  return packet;
}

// A UDP socket bound to an ephemeral loopback port, holding one use of the socket library.
class BoundSocket {
 public:
  BoundSocket() {
    started_ = Platform::StartSocketLibrary();
    socket_ = Platform::OpenSocket(Platform::SocketKind::Datagram);
    if (socket_ != Platform::kNoSocket && Platform::Bind(socket_, Platform::LoopbackAddress(0))) {
      port_ = Platform::LocalPort(socket_);
    }
  }
  ~BoundSocket() { Close(); }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

  void Close() {
    if (socket_ != Platform::kNoSocket) Platform::CloseSocket(socket_);
    socket_ = Platform::kNoSocket;
    if (started_) Platform::StopSocketLibrary();
    started_ = false;
  }

  bool Ready() const { return started_ && port_ != 0; }
  Platform::SocketHandle Handle() const { return socket_; }
  std::uint16_t Port() const { return port_; }

 private:
  bool started_ = false;
  Platform::SocketHandle socket_ = Platform::kNoSocket;
  std::uint16_t port_ = 0;
};

// Receives one datagram, waiting at most a minute for it.
long ReceiveWithin(Platform::SocketHandle socket, void* buffer, std::size_t capacity) {
  if (!Platform::WaitReadable(socket, 60000)) return -2;
  Platform::Ipv4Address from;
  int fromLength = sizeof(from);
  return Platform::ReceiveFrom(socket, buffer, capacity, from, fromLength);
}

class WinsockUseCount : public ::testing::Test {};

TEST_F(WinsockUseCount, LastStopEndsTheLibraryAndEarlierStopsDoNot) {
  ASSERT_TRUE(Platform::StartSocketLibrary());
  ASSERT_TRUE(Platform::StartSocketLibrary());
  Platform::StopSocketLibrary();

  const Platform::SocketHandle stillUsable = Platform::OpenSocket(Platform::SocketKind::Datagram);
  EXPECT_NE(stillUsable, Platform::kNoSocket);
  Platform::CloseSocket(stillUsable);

  Platform::StopSocketLibrary();
  EXPECT_EQ(Platform::OpenSocket(Platform::SocketKind::Datagram), Platform::kNoSocket);
  EXPECT_EQ(Platform::LastSocketError(), kWsaNotInitialised);
}

// The server sends every reply through a temporary client component that starts the library
// and cleans it up when its socket closes; that must never end the server's own use.
TEST_F(WinsockUseCount, TemporaryComponentsLeaveTheLongLivedSocketWorking) {
  BoundSocket server;
  ASSERT_TRUE(server.Ready());

  for (int send = 0; send < 3; ++send) {
    NetworkingComponentClient toServer;
    ASSERT_TRUE(toServer.Init(7, Orlin::Protocol::Udp));
    ASSERT_TRUE(toServer.Start("127.0.0.1", server.Port()));
    Packet packet;
    packet.Init(7, MessageType::PlayerPositionUpdate, "position", 1);
    ASSERT_TRUE(toServer.Send(packet));
    toServer.CloseSocket();
  }

  std::array<char, kServerReceiveCapacity> buffer{};
  for (int received = 0; received < 3; ++received) {
    EXPECT_EQ(ReceiveWithin(server.Handle(), buffer.data(), buffer.size()),
              static_cast<long>(Packet::kSize));
  }

  server.Close();
  EXPECT_EQ(Platform::OpenSocket(Platform::SocketKind::Datagram), Platform::kNoSocket);
  EXPECT_EQ(Platform::LastSocketError(), kWsaNotInitialised);
}

// The Windows side of the server's reply path: every reply opens a socket of its own, and all of
// them must be closed again, or a busy server runs out of handles. Wine does not count a
// process's handles, but both it and Windows hand a freed handle value out again, so the value
// of a fresh socket shows whether hundreds of handles are still taken.
TEST_F(WinsockUseCount, RepliesLeaveNoHandleBehind) {
  BoundSocket player;
  ASSERT_TRUE(player.Ready());
  std::uint16_t serverPort = 0;
  {
    BoundSocket spare;
    ASSERT_TRUE(spare.Ready());
    serverPort = spare.Port();
  }
  auto* server = new NetworkingComponentServer();  // its receive thread outlives the test
  ASSERT_TRUE(server->Init(Orlin::Protocol::Udp));
  ASSERT_TRUE(server->Start("127.0.0.1", serverPort));
  const std::filesystem::path log =
      Utf8Path(MiscUtils::GetLocalAppDataPath() + MiscUtils::ServerDataFolder +
               "ThreadsLogs\\Thread_0.logs");

  std::array<char, kServerReceiveCapacity> buffer{};
  std::uint32_t entityID = 0;
  auto relay = [&] {
    Packet update = TestPacket(1, MessageType::PlayerPositionUpdate);
    update.Body().entityID = entityID;  // the Welcome's: the first update registers the player
    update.Seal();
    ASSERT_EQ(Platform::SendTo(player.Handle(), update.Bytes(), Packet::kSize,
                               Platform::LoopbackAddress(serverPort)),
              static_cast<long>(Packet::kSize));
    ASSERT_EQ(ReceiveWithin(player.Handle(), buffer.data(), buffer.size()),
              static_cast<long>(Packet::kSize));
  };
  // A Disconnect of nobody sends nothing; once it is logged, everything before it is finished.
  int settled = 0;
  auto settle = [&] {
    const Packet nobody = TestPacket(404, MessageType::Disconnect);
    Platform::SendTo(player.Handle(), nobody.Bytes(), Packet::kSize,
                     Platform::LoopbackAddress(serverPort));
    ++settled;
    for (int wait = 0;
         wait < 6000 && TestSupport::Count(ReadBytes(log), "Client is not connected.") <
                            static_cast<std::size_t>(settled);
         ++wait) {
      Sleep(10);
    }
  };

  const Packet connect = TestPacket(1, MessageType::Connect);
  Platform::SendTo(player.Handle(), connect.Bytes(), Packet::kSize,
                   Platform::LoopbackAddress(serverPort));
  ASSERT_GT(ReceiveWithin(player.Handle(), buffer.data(), buffer.size()), 0);
  ASSERT_GT(ReceiveWithin(player.Handle(), buffer.data(), buffer.size()), 0);
  Packet welcome;
  welcome.LoadBytes(reinterpret_cast<const std::byte*>(buffer.data()));
  entityID = welcome.Body().entityID;
  for (int warm = 0; warm < 20; ++warm) relay();
  settle();
  const Platform::SocketHandle before = ProbeSocketHandle();

  for (int reply = 0; reply < 500; ++reply) relay();
  settle();
  const Platform::SocketHandle after = ProbeSocketHandle();
  // Handle values step by 4; a leak of one socket per reply would move this by 2000.
  EXPECT_LT(after, before + 4 * 100) << "before " << before << ", after " << after;
}

class WinsockErrors : public ::testing::Test {};

TEST_F(WinsockErrors, BindingATakenPortReportsAddressInUse) {
  BoundSocket first;
  ASSERT_TRUE(first.Ready());
  ASSERT_TRUE(Platform::StartSocketLibrary());
  const Platform::SocketHandle second = Platform::OpenSocket(Platform::SocketKind::Datagram);
  ASSERT_NE(second, Platform::kNoSocket);

  EXPECT_FALSE(Platform::Bind(second, Platform::LoopbackAddress(first.Port())));
  EXPECT_EQ(Platform::LastSocketError(), kWsaAddressInUse);

  Platform::CloseSocket(second);
  Platform::StopSocketLibrary();
}

TEST_F(WinsockErrors, ReceivingOnAClosedSocketReportsNotASocket) {
  ASSERT_TRUE(Platform::StartSocketLibrary());
  const Platform::SocketHandle socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
  ASSERT_NE(socket, Platform::kNoSocket);
  Platform::CloseSocket(socket);

  std::array<char, 16> buffer{};
  Platform::Ipv4Address from;
  int fromLength = sizeof(from);
  EXPECT_EQ(Platform::ReceiveFrom(socket, buffer.data(), buffer.size(), from, fromLength), -1);
  EXPECT_EQ(Platform::LastSocketError(), kWsaNotASocket);
  Platform::StopSocketLibrary();
}

class DatagramReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver.Ready());
    ASSERT_TRUE(sender.Ready());
  }

  void SendOfSize(std::size_t size, char fill) {
    const std::vector<char> datagram(size, fill);
    ASSERT_EQ(Platform::SendTo(sender.Handle(), datagram.data(), datagram.size(),
                               Platform::LoopbackAddress(receiver.Port())),
              static_cast<long>(size));
  }

  BoundSocket receiver;
  BoundSocket sender;
  std::array<char, kServerReceiveCapacity> buffer{};
};

TEST_F(DatagramReceive, DatagramFillingTheBufferExactlyIsReceivedWhole) {
  SendOfSize(kServerReceiveCapacity, 'x');
  EXPECT_EQ(ReceiveWithin(receiver.Handle(), buffer.data(), buffer.size()),
            static_cast<long>(kServerReceiveCapacity));
  EXPECT_EQ(buffer.back(), 'x');
}

TEST_F(DatagramReceive, OversizedDatagramFailsWithMessageSizeAndIsConsumed) {
  SendOfSize(2000, 'o');
  SendOfSize(Packet::kSize, 'p');

  EXPECT_EQ(ReceiveWithin(receiver.Handle(), buffer.data(), buffer.size()), -1);
  EXPECT_EQ(Platform::LastSocketError(), kWsaMessageSize);

  EXPECT_EQ(ReceiveWithin(receiver.Handle(), buffer.data(), buffer.size()),
            static_cast<long>(Packet::kSize));
  EXPECT_EQ(buffer[0], 'p');
}

// Sending to a port nobody listens on draws an ICMP port-unreachable. Windows would turn it into
// a WSAECONNRESET failure of the sending socket's next receive unless that report is switched off,
// as the server does on its receiving socket.
TEST_F(DatagramReceive, UnreachablePeerDoesNotFailTheNextReceive) {
  ASSERT_TRUE(Platform::IgnorePortUnreachable(receiver.Handle()));
  std::uint16_t departedPort = 0;
  {
    BoundSocket departed;
    ASSERT_TRUE(departed.Ready());
    departedPort = departed.Port();
  }
  const std::array<char, 8> probe{};
  ASSERT_EQ(Platform::SendTo(receiver.Handle(), probe.data(), probe.size(),
                             Platform::LoopbackAddress(departedPort)),
            static_cast<long>(probe.size()));
  Sleep(200);

  SendOfSize(Packet::kSize, 'n');
  EXPECT_EQ(ReceiveWithin(receiver.Handle(), buffer.data(), buffer.size()),
            static_cast<long>(Packet::kSize));
  EXPECT_EQ(buffer[0], 'n');
}

class Threads : public ::testing::Test {};

TEST_F(Threads, StartThreadRunsTheRoutineOnAWaitableWindowsThread) {
  struct Seen {
    std::atomic<DWORD> threadId{0};
    int argument = 0;
  } seen;
  seen.argument = 41;

  const Platform::ThreadHandle thread = Platform::StartThread(
      [](void* raw) -> std::uint32_t {
        auto* record = static_cast<Seen*>(raw);
        record->threadId = GetCurrentThreadId();
        return static_cast<std::uint32_t>(record->argument + 1);
      },
      &seen);
  ASSERT_NE(thread, nullptr);

  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_EQ(seen.threadId.load(), GetThreadId(thread));
  EXPECT_NE(seen.threadId.load(), GetCurrentThreadId());
  CloseHandle(thread);
}

class DataFolder : public ::testing::Test {};

TEST_F(DataFolder, LocalAppDataIsAnExistingAbsoluteWindowsFolder) {
  const std::optional<std::string> folder = Platform::LocalAppDataFolder();
  ASSERT_TRUE(folder.has_value());
  ASSERT_GE(folder->size(), 3u);
  EXPECT_EQ(folder->substr(1, 2), ":\\");
  EXPECT_NE(folder->back(), '\\');
  EXPECT_EQ(folder->find('/'), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(Utf8Path(*folder)));
}

// The folder comes from the shell as UTF-16; a user name outside the ANSI code page must arrive
// as UTF-8 that leads back to the same folder, not as question marks. scripts/test-windows.sh
// gives its Wine prefix such a user.
TEST_F(DataFolder, NonAsciiProfileFolderArrivesAsUsableUtf8) {
  const std::optional<std::string> folder = Platform::LocalAppDataFolder();
  ASSERT_TRUE(folder.has_value());
  const bool ascii = std::all_of(folder->begin(), folder->end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) GTEST_SKIP() << "the user's profile folder has an ASCII name here";

  EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder->c_str(), -1, nullptr, 0), 0);
  EXPECT_EQ(folder->find('?'), std::string::npos);

  LogsManager logs("Thread_9.logs", "WindowsPlatformTest");
  logs.Write("line\n", false);
  EXPECT_EQ(ReadBytes(Utf8Path(logs.FilePath())), "line\r\n");
  logs.Remove();
}

TEST_F(DataFolder, LogFilePathIsBuiltWithBackslashes) {
  const LogsManager logs("Thread_7.logs", "ThreadsLogs");
  EXPECT_EQ(logs.FilePath(), MiscUtils::GetLocalAppDataPath() +
                                 "\\OrlinStudio\\Velantis\\Server\\ThreadsLogs\\Thread_7.logs");
}

class TextFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder =
        std::filesystem::temp_directory_path() / (std::string("velantis-") + info->name() + "-" +
                                                  std::to_string(Platform::CurrentProcessId()));
    std::filesystem::create_directories(folder);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::string Utf8(const std::filesystem::path& path) const {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  }

  std::filesystem::path folder;
};

TEST_F(TextFiles, LineFeedsBecomeCrlfOnDiskAndAppendKeepsEarlierText) {
  const std::filesystem::path file = folder / "Thread_0.logs";
  const std::string first = "banner \n";
  const std::string second = "Checksum: 1\nEntityID: 2\n";

  ASSERT_EQ(Platform::WriteTextFile(Utf8(file), first.data(), first.size(), false),
            Platform::WriteResult::Written);
  ASSERT_EQ(Platform::WriteTextFile(Utf8(file), second.data(), second.size(), true),
            Platform::WriteResult::Written);
  EXPECT_EQ(ReadBytes(file), "banner \r\nChecksum: 1\r\nEntityID: 2\r\n");

  ASSERT_EQ(Platform::WriteTextFile(Utf8(file), first.data(), first.size(), false),
            Platform::WriteResult::Written);
  EXPECT_EQ(ReadBytes(file), "banner \r\n");
}

TEST_F(TextFiles, NonAsciiFolderNamesReachTheFileSystem) {
  const std::filesystem::path nested = folder / Utf8Path("Jos\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac");
  std::filesystem::create_directories(nested);
  const std::string text = "line\n";

  ASSERT_EQ(Platform::WriteTextFile(Utf8(nested / "Thread_0.logs"), text.data(), text.size(), true),
            Platform::WriteResult::Written);
  EXPECT_EQ(ReadBytes(nested / "Thread_0.logs"), "line\r\n");
}

// A log viewer keeps the file open while the server appends to it.
TEST_F(TextFiles, AppendingWorksWhileAnotherProgramHoldsTheFileOpen) {
  const std::filesystem::path file = folder / "Thread_0.logs";
  const std::string text = "first\n";
  ASSERT_EQ(Platform::WriteTextFile(Utf8(file), text.data(), text.size(), false),
            Platform::WriteResult::Written);

  const HANDLE viewer =
      CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  const Platform::WriteResult appended =
      Platform::WriteTextFile(Utf8(file), text.data(), text.size(), true);
  CloseHandle(viewer);

  EXPECT_EQ(appended, Platform::WriteResult::Written);
  EXPECT_EQ(ReadBytes(file), "first\r\nfirst\r\n");
}

// Wine maps drive Z: to the Linux root, where every write to /dev/full fails as on a full disk:
// the C library's write failure must come back as a failed write, not as success.
TEST_F(TextFiles, FullDiskIsAFailedWrite) {
  const std::string full = "Z:\\dev\\full";
  const std::string text = "line\n";
  const Platform::WriteResult result =
      Platform::WriteTextFile(full, text.data(), text.size(), true);
  if (result == Platform::WriteResult::OpenFailed) {
    GTEST_SKIP() << "no " << full << " to open here: not under Wine";
  }
  EXPECT_EQ(result, Platform::WriteResult::WriteFailed);
}

TEST_F(TextFiles, MissingFolderIsAFailureNotACrash) {
  const std::string text = "line\n";
  EXPECT_EQ(Platform::WriteTextFile(Utf8(folder / "missing" / "Thread_0.logs"), text.data(),
                                    text.size(), true),
            Platform::WriteResult::OpenFailed);
}

}  // namespace
