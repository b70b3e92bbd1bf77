#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/NetworkingComponentServer.h"
#include "support/TestSupport.h"

namespace {

using TestSupport::UdpPeer;

struct ToolRun {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// std::system hands back the raw wait status on POSIX (exit code in the second byte) and the exit
// code itself on Windows; the tools only ever exit with 0 to 3.
int ExitCodeOf(int status) {
  if (status > 255 && (status & 0xff) == 0) return status >> 8;
  return status;
}

ToolRun RunTool(const std::string& program, const std::string& arguments) {
  static int runs = 0;
  const auto outputFile = TestSupport::DataHome() / ("tool_" + std::to_string(runs++) + ".out");
  const std::string command =
      "\"" + program + "\" " + arguments + " > \"" + outputFile.string() + "\" 2>&1";
  ToolRun run;
  run.exitCode = ExitCodeOf(std::system(command.c_str()));
  run.output = TestSupport::ReadFile(outputFile);
  return run;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : TestSupport::Lines(text)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

std::string Field(const std::string& line, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex(" " + name + "=(\"[^\"]*\"|\\S+)"))) return {};
  return match[1];
}

// The real server code on a spare loopback port in this process; the tools run as programs of
// their own against it, as a tester would run them.
class ToolsTest : public testing::Test {
 protected:
  void SetUp() override {
    port_ = UdpPeer().Port();
    auto* server = TestSupport::KeepForever(new NetworkingComponentServer());
    ASSERT_TRUE(server->Init(Orlin::Protocol::Udp));
    ASSERT_TRUE(server->Start("127.0.0.1", port_));
  }

  ToolRun Client(const std::string& arguments) const {
    return RunTool(VELANTIS_CLIENT, "--port " + std::to_string(port_) + " " + arguments);
  }
  ToolRun Loadgen(const std::string& arguments) const {
    return RunTool(VELANTIS_LOADGEN, "--port " + std::to_string(port_) + " " + arguments);
  }

  std::string Log() const {
    return TestSupport::ReadFile(TestSupport::ThreadsLogsFolder() / "Thread_0.logs");
  }

  void WaitForLog(const std::string& needle, std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (TestSupport::Count(Log(), needle) >= count) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the server never logged " << count << " x \"" << needle << "\":\n" << Log();
  }

  std::uint16_t port_ = 0;
};

TEST_F(ToolsTest, ClientConnectShowsAnnouncementThenWelcomeForTheSameEntity) {
  const ToolRun run = Client("--id 7 --connect --text \"hi there\" --expect 2 --wait 60");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  // Sent through the client component, which prints its own lines.
  EXPECT_NE(run.output.find("NetworkingComponent(): Message of size 1056 bytes sent."),
            std::string::npos);

  const auto received = LinesStartingWith(run.output, "recv ");
  ASSERT_EQ(received.size(), 2u) << run.output;
  EXPECT_NE(received[0].find("recv Connect(1) "), std::string::npos) << received[0];
  EXPECT_EQ(Field(received[0], "clientID"), "7");
  EXPECT_EQ(Field(received[0], "playerUUID"), "7");
  EXPECT_EQ(Field(received[0], "text"), "\"hi there\"");
  EXPECT_EQ(Field(received[0], "checksum"), "OK");
  EXPECT_NE(received[1].find("recv Welcome(2) "), std::string::npos) << received[1];
  EXPECT_EQ(Field(received[1], "clientID"), "0");
  EXPECT_EQ(Field(received[1], "text"), "\"welcome\"");
  EXPECT_EQ(Field(received[1], "checksum"), "OK");
  EXPECT_EQ(Field(received[0], "entityID"), Field(received[1], "entityID"));
  EXPECT_EQ(Field(received[0], "from"), "127.0.0.1:" + std::to_string(port_))
      << "replies come from the server's own port";
}

TEST_F(ToolsTest, ClientKeepsBeingThePlayerAcrossRunsOnTheSameLocalPort) {
  const std::string local = " --quiet --local-port " + std::to_string(UdpPeer().Port());
  const ToolRun connected = Client("--id 21 --connect --expect 2" + local);
  ASSERT_EQ(connected.exitCode, 0);
  const auto welcome = LinesStartingWith(connected.output, "recv Welcome(2) ");
  ASSERT_EQ(welcome.size(), 1u) << connected.output;

  // Options are taken as "--name=value" as well as "--name value". A run that only moves names
  // the entity id of the Welcome, which proves the address.
  const ToolRun moved = Client("--id=21 --move=1.5,-2 --count=2 --rate=50 --expect=2 --entity=" +
                               Field(welcome[0], "entityID") + local);
  ASSERT_EQ(moved.exitCode, 0) << moved.output;
  EXPECT_EQ(moved.output.find("NetworkingComponent()"), std::string::npos)
      << "--quiet keeps standard output to the tool's own lines";
  const auto relays = LinesStartingWith(moved.output, "recv PlayerPositionUpdate(5) ");
  ASSERT_EQ(relays.size(), 2u) << moved.output;
  for (const std::string& relay : relays) {
    EXPECT_EQ(Field(relay, "clientID"), "21");
    EXPECT_EQ(Field(relay, "position"), "(1.5,-2)");
    EXPECT_EQ(Field(relay, "checksum"), "OK");
  }

  ASSERT_EQ(Client("--id 21 --disconnect --wait 0" + local).exitCode, 0);
  WaitForLog("NetworkingComponentServer(): Client disconnected.", 1);
}

TEST_F(ToolsTest, ClientExitCodesTellScriptsWhatWentWrong) {
  EXPECT_EQ(Client("--frobnicate").exitCode, 2);
  EXPECT_EQ(Client("--connect").exitCode, 2) << "an action needs --id";
  const ToolRun badAddress = Client("--server 127.1.2 --id 1 --connect");
  EXPECT_EQ(badAddress.exitCode, 2);
  EXPECT_NE(badAddress.output.find("--server: bad value '127.1.2': expected a dotted IPv4 address"),
            std::string::npos)
      << badAddress.output;

  const UdpPeer occupant;
  const ToolRun inUse = Client("--id 1 --connect --local-port " + std::to_string(occupant.Port()));
  EXPECT_EQ(inUse.exitCode, 3) << inUse.output;
  EXPECT_NE(inUse.output.find("in use"), std::string::npos) << inUse.output;

  const std::uint16_t nobody = UdpPeer().Port();
  const ToolRun unanswered =
      RunTool(VELANTIS_CLIENT, "--port " + std::to_string(nobody) + " --id 1 --connect --wait 0.3");
  EXPECT_EQ(unanswered.exitCode, 1) << unanswered.output;
  EXPECT_EQ(Client("--wait 0.2").exitCode, 1) << "listening and hearing nothing";
  EXPECT_EQ(Client("--help").exitCode, 0);
}

TEST_F(ToolsTest, LoadgenCountsEveryRelayAndLeavesTheRegistryEmpty) {
  const ToolRun run = Loadgen("--players=3 --rate=20 --duration 1 --drain 30 --json --no-progress");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto number = [&run](const std::string& name) {
    std::smatch match;
    if (!std::regex_search(run.output, match, std::regex("\"" + name + "\": ?([0-9.]+)"))) {
      return -1.0;
    }
    return std::stod(match[1]);
  };
  EXPECT_EQ(number("welcomed"), 3);
  EXPECT_EQ(number("announcements"), 1 + 2 + 3) << "each newcomer is announced to all so far";
  EXPECT_GT(number("sent"), 0);
  EXPECT_EQ(number("expected"), 3 * number("sent"));
  EXPECT_EQ(number("received"), number("expected")) << run.output;
  EXPECT_EQ(number("lost"), 0);
  EXPECT_EQ(number("badDatagrams"), 0);
  EXPECT_GE(number("latencyMaxMs"), number("latencyP99Ms"));
  EXPECT_GE(number("latencyP99Ms"), number("latencyP50Ms"));

  WaitForLog("NetworkingComponentServer(): Client disconnected.", 3);
  // Nothing stays registered: a newcomer (walked first, its id being the lowest) is announced to
  // itself alone, so its welcome carries the very next message number.
  UdpPeer stranger;
  stranger.SendPacket(port_, TestSupport::MakePacket(99, MessageType::Connect));
  const Packet announcement = stranger.ReceivePacket();
  const Packet welcome = stranger.ReceivePacket();
  ASSERT_EQ(welcome.Header().messageType, MessageType::Welcome);
  EXPECT_EQ(welcome.Header().messageNumber, announcement.Header().messageNumber + 1);
}

TEST_F(ToolsTest, LoadgenRefusesWhatItMustNotDo) {
  const ToolRun remote = Loadgen("--server 192.0.2.1");
  EXPECT_EQ(remote.exitCode, 2);
  EXPECT_NE(remote.output.find("only loopback"), std::string::npos) << remote.output;
  EXPECT_EQ(Loadgen("--players 1025").exitCode, 2);
  EXPECT_EQ(Loadgen("--duration 121").exitCode, 2);
  EXPECT_EQ(Loadgen("--vary speed --find-capacity").exitCode, 2);

  const std::uint16_t nobody = UdpPeer().Port();
  const ToolRun unanswered =
      RunTool(VELANTIS_LOADGEN,
              "--port " + std::to_string(nobody) + " --players 2 --duration 1 --no-progress");
  EXPECT_EQ(unanswered.exitCode, 1) << unanswered.output;
  EXPECT_NE(unanswered.output.find("got no Welcome"), std::string::npos) << unanswered.output;
}

// The server of a loadgen run is named by its process id; a process that merely runs may be a
// server that could not bind the port and idles while another one takes the load.
TEST_F(ToolsTest, LoadgenServerPidMustHoldTheServersPort) {
  const std::string self = std::to_string(Platform::CurrentProcessId());
  const ToolRun served =
      Loadgen("--players 2 --duration 0.5 --no-progress --json --server-pid " + self);
  ASSERT_EQ(served.exitCode, 0) << served.output;
  EXPECT_TRUE(std::regex_search(served.output, std::regex("\"serverPeakKilobytes\": ?[1-9]")))
      << served.output;

  const std::uint16_t elsewhere = UdpPeer().Port();
  const ToolRun idle =
      RunTool(VELANTIS_LOADGEN, "--port " + std::to_string(elsewhere) +
                                    " --players 2 --duration 0.5 --server-pid " + self);
  EXPECT_EQ(idle.exitCode, 2) << idle.output;
  EXPECT_NE(idle.output.find("has not bound UDP port " + std::to_string(elsewhere)),
            std::string::npos)
      << idle.output;
  EXPECT_EQ(idle.output.find("offered"), std::string::npos) << "no load is sent:\n" << idle.output;

  const ToolRun gone = Loadgen("--server-pid 2147483646");
  EXPECT_EQ(gone.exitCode, 2) << gone.output;
  EXPECT_NE(gone.output.find("no such process"), std::string::npos) << gone.output;
}

}  // namespace
