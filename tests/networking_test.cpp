#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "support/TestSupport.h"

namespace {

using Orlin::Protocol;
using TestSupport::UdpPeer;

// A port nobody listens on right now, found by letting the system pick one.
std::uint16_t SparePort() {
  UdpPeer probe;
  return probe.Port();
}

TEST(NetworkingComponentTest, SetupAddressFillsTheIpv4RecordInNetworkOrder) {
  NetworkingComponentClient component;
  Orlin::Ipv4Address record;
  record.address = 0xFFFFFFFF;
  record.zero[7] = 0xFF;
  ASSERT_TRUE(component.SetupAddress(record, 15000));
  const unsigned char expected[16] = {0x02, 0x00, 0x3A, 0x98};
  EXPECT_EQ(std::memcmp(&record, expected, sizeof(expected)), 0);
  EXPECT_EQ(component.Port(), 15000);
}

TEST(ServerStartTest, BindsEveryAddressAndASecondServerOnThePortFails) {
  const std::uint16_t port = SparePort();
  auto* first = TestSupport::KeepForever(
      new NetworkingComponentServer());  // its receive thread outlives the test
  ASSERT_TRUE(first->Init(Protocol::Udp));
  EXPECT_FALSE(first->Init(Protocol::Udp));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(first->Start("localhost", port)) << "only dotted IPv4 text names an address";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "NetworkingComponentServer(Start): \"localhost\" is not a dotted IPv4 address.\n");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(first->Start("0.0.0.0", port));
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(first->Address().address, 0u) << "bound to every address";
  EXPECT_EQ(console.rfind("NetworkingComponent(): Socket initialized successfully\n"
                          "NetworkingComponent(): Successfully bound on port: " +
                              std::to_string(port) + "\nLogsManager(): Target file location is: ",
                          0),
            0u)
      << console;
  EXPECT_NE(console.find("NetworkingComponent(): Waiting a message...\n"), std::string::npos);

  NetworkingComponentServer second;
  second.Init(Protocol::Udp);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(second.Start("127.0.0.1", port));
  const std::string errors = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(errors.rfind("NetworkingComponent(): Binding error - Code: ", 0), 0u) << errors;
  EXPECT_NE(errors, "NetworkingComponent(): Binding error - Code: 0\n");
  EXPECT_EQ(second.Socket(), Platform::kNoSocket);
}

TEST(ServerStartTest, TcpModeAcceptsConnectionsAndReceivesNothing) {
  const std::uint16_t port = SparePort();
  auto* server = TestSupport::KeepForever(new NetworkingComponentServer());
  server->Init(Protocol::Tcp);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(server->Start("127.0.0.1", port));
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("NetworkingComponent(): Listen successfully.\n"
                         "NetworkingComponent(): Waiting a client...\n"
                         "NetworkingComponent(): Waiting a message...\n"),
            std::string::npos)
      << console;

  NetworkingComponentClient client;
  client.Init(1, Protocol::Tcp);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(client.Start("127.0.0.1", port));
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "NetworkingComponent(): Connected to the server: [127.0.0.1:" +
                std::to_string(port) + "]\n"),
            std::string::npos);

  Packet packet = TestSupport::MakePacket(1, MessageType::Connect);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(client.Send(packet));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "NetworkingComponent(): This function is not implemented: \n");
  client.CloseSocket();
}

class ClientTest : public testing::Test {
 protected:
  UdpPeer sink;
};

TEST_F(ClientTest, SendsStampedSealedPacketsWithConsecutiveNumbers) {
  NetworkingComponentClient client;
  ASSERT_TRUE(client.Init(4242, Protocol::Udp));
  EXPECT_FALSE(client.Init(1, Protocol::Udp));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(client.Start("127.0.0.1", sink.Port()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "NetworkingComponent(): Socket initialized successfully\n"
            "NetworkingComponent(): Target structure successfully initialized with ip address: "
            "[127.0.0.1:" +
                std::to_string(sink.Port()) + "].\n");

  // A fresh process: the first packet it sends carries number 1.
  for (std::uint32_t expected = 1; expected <= 3; ++expected) {
    Packet packet;
    packet.Init(0, MessageType::PlayerPositionUpdate, "move", 9);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Send(packet));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "NetworkingComponent(): Message of size 1056 bytes sent.\n");
    EXPECT_EQ(packet.Header().messageNumber, expected) << "the caller's packet keeps the stamp";

    const Packet received = sink.ReceivePacket();
    EXPECT_EQ(received.Header().clientID, 4242u);
    EXPECT_EQ(received.Header().messageNumber, expected);
    EXPECT_TRUE(TestSupport::ChecksumMatches(received));
    EXPECT_EQ(std::memcmp(received.Bytes(), packet.Bytes(), Packet::kSize), 0);
  }
  client.CloseSocket();
}

TEST_F(ClientTest, AFailedSendKeepsTheMessageNumber) {
  NetworkingComponentClient client;
  client.Init(1, Protocol::Udp);
  client.CreateSocket();
  const std::uint32_t before = Orlin::NetworkingComponent::MessageCounter();
  client.SetTargetAddress(Platform::LoopbackAddress(0));  // port 0 cannot be sent to
  Packet packet = TestSupport::MakePacket(1, MessageType::Connect);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(client.Send(packet));
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                "NetworkingComponent(): Sending error with this code: ", 0),
            0u);
  EXPECT_EQ(Orlin::NetworkingComponent::MessageCounter(), before);
  client.CloseSocket();
}

TEST_F(ClientTest, NonIpv4TargetTextLeavesAnyAddressAndStillSucceeds) {
  NetworkingComponentClient client;
  client.Init(1, Protocol::Udp);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(client.Start("not-an-address", 15000));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(client.Target().address, 0u);
  client.CloseSocket();
}

TEST_F(ClientTest, TheClientIdIsProcessWideAndResetByEveryConstruction) {
  NetworkingComponentClient first;
  first.Init(55, Protocol::Udp);
  EXPECT_EQ(NetworkingComponentClient::playerUUID, 55u);
  { NetworkingComponentClient second; }
  EXPECT_EQ(NetworkingComponentClient::playerUUID, 0u);
}

TEST_F(ClientTest, SendPlayerPositionSendsOnePacketPerOwnedEntity) {
  NetworkingComponentClient client;
  client.Init(8, Protocol::Udp);
  testing::internal::CaptureStdout();
  client.Start("127.0.0.1", sink.Port());
  auto& entities = NetworkingComponentClient::EntityRegistry();
  entities = {{101, 8}, {102, 9}, {103, 8}};
  client.SendPlayerPosition(Vec2(3.5f, -1.0f), 8);
  testing::internal::GetCapturedStdout();

  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2; ++i) {
    const Packet packet = sink.ReceivePacket();
    EXPECT_EQ(packet.Header().messageType, MessageType::PlayerPositionUpdate);
    EXPECT_EQ(packet.Header().clientID, 8u);
    EXPECT_EQ(packet.Body().playerUUID, 8u);
    EXPECT_EQ(packet.Body().position.x, 3.5f);
    EXPECT_EQ(packet.MessageText(), "Player position update");
    seen.insert(packet.Body().entityID);
  }
  EXPECT_EQ(seen, (std::set<std::uint32_t>{101, 103}));
  EXPECT_TRUE(sink.Quiet());
  entities.clear();
  client.CloseSocket();
}

}  // namespace
