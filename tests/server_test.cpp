#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/NetworkingComponentServer.h"
#include "support/TestSupport.h"

namespace {

using TestSupport::Count;
using TestSupport::MakePacket;
using TestSupport::UdpPeer;

// A server on a spare loopback port in this process, as the game's clients see it. CTest runs
// every test in a process of its own, so each test starts with an empty registry, message number
// 1 and its own Thread_0.logs.
class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    port_ = UdpPeer().Port();
    server_ = TestSupport::KeepForever(
        new NetworkingComponentServer());  // its receive thread runs until the process ends
    ASSERT_TRUE(server_->Init(Orlin::Protocol::Udp));
    ASSERT_TRUE(server_->Start("127.0.0.1", port_));
    logFile_ =
        TestSupport::ThreadsLogsFolder() / ("Thread_" + std::to_string(started_++) + ".logs");
  }
  void TearDown() override {
    NetworkingComponentServer::SetTrustSources(false);
    NetworkingComponentServer::SetIdleTimeout(
        NetworkingComponentServer::kDefaultIdleTimeoutSeconds);
  }

  std::string Log() const { return TestSupport::ReadFile(logFile_); }

  // The receive thread runs on its own; wait until it has logged `needle` `count` times.
  void WaitForLog(const std::string& needle, std::size_t count = 1) const {
    for (int i = 0; i < 2000; ++i) {
      if (Count(Log(), needle) >= count) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the log never showed " << count << " x \"" << needle << "\":\n" << Log();
  }

  void Send(const UdpPeer& from, const Packet& packet) const { from.SendPacket(port_, packet); }

  // Registers the peer under the id as a game client does and consumes the replies: its own
  // announcement and welcome, then, once its first update has proven its address, the
  // announcement to every peer already registered (`others`) and that update's relay to all.
  Packet Register(const UdpPeer& peer, std::uint64_t id,
                  const std::vector<const UdpPeer*>& others) {
    Send(peer, MakePacket(id, MessageType::Connect, "hello"));
    peer.ReceivePacket();
    const Packet welcome = peer.ReceivePacket();
    Send(peer, MakePacket(id, MessageType::PlayerPositionUpdate, "", welcome.Body().entityID));
    for (const UdpPeer* other : others) {
      EXPECT_EQ(other->ReceivePacket().Header().messageType, MessageType::Connect);
      EXPECT_EQ(other->ReceivePacket().Header().messageType, MessageType::PlayerPositionUpdate);
    }
    EXPECT_EQ(peer.ReceivePacket().Header().messageType, MessageType::PlayerPositionUpdate);
    return welcome;
  }

  std::uint16_t port_ = 0;
  NetworkingComponentServer* server_ = nullptr;
  std::filesystem::path logFile_;
  static inline int started_ = 0;
};

TEST_F(ServerTest, ConnectIsAnnouncedThenWelcomedAndLoggedLineByLine) {
  UdpPeer player;
  Packet connect = MakePacket(7, MessageType::Connect, "hello", 0, Vec2(1.5f, 2.5f), 99);
  const std::uint64_t sentChecksum = connect.Header().checksum;
  Send(player, connect);

  const auto announcement = player.Receive();
  ASSERT_TRUE(announcement);
  EXPECT_EQ(announcement->sourcePort, port_) << "replies leave from the server's own socket";
  Packet packet;
  packet.LoadBytes(announcement->bytes.data());
  EXPECT_TRUE(TestSupport::ChecksumMatches(packet));
  EXPECT_EQ(packet.Header().messageType, MessageType::Connect);
  EXPECT_EQ(packet.Header().clientID, 7u);
  EXPECT_EQ(packet.Body().playerUUID, 7u);
  EXPECT_EQ(packet.MessageText(), "hello");
  EXPECT_EQ(packet.Body().position.x, 1.5f);
  EXPECT_EQ(packet.Body().position.y, 2.5f);
  const std::uint32_t entityID = packet.Body().entityID;
  const std::uint32_t number = packet.Header().messageNumber;

  const Packet welcome = player.ReceivePacket();
  EXPECT_TRUE(TestSupport::ChecksumMatches(welcome));
  EXPECT_EQ(welcome.Header().messageType, MessageType::Welcome);
  EXPECT_EQ(welcome.Header().clientID, 0u);
  EXPECT_EQ(welcome.Header().messageNumber, number + 1);
  EXPECT_EQ(welcome.MessageText(), "welcome");
  EXPECT_EQ(welcome.Body().entityID, entityID);
  EXPECT_EQ(welcome.Body().playerUUID, 0u);
  EXPECT_EQ(welcome.Body().position.x, 0.0f);
  EXPECT_TRUE(player.Quiet());

  WaitForLog("Client connected.");
  const std::vector<std::string> lines = TestSupport::Lines(Log());
  const std::vector<std::string> expected = {
      "NetworkingComponent(): Message of size 1056 bytes received. ",
      "========= [RECEIVE] ========== ",
      "Checksum: " + std::to_string(sentChecksum),
      "From clientID: 7",
      "MessageNumber: 99",
      "MessageType: 1",
      "Message: hello",
      "PlayerUUID: 0",
      "EntityID: 0",
      "=================== ",
      "NetworkingComponentServer(): Client connected. ",
  };
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(expected.size()), lines.end()),
            expected);
}

TEST_F(ServerTest, ANewcomerIsAnnouncedToTheOthersOnlyOnceItsUpdateProvesItsAddress) {
  UdpPeer a, b, c;
  Register(a, 3, {});
  Register(b, 9, {&a});

  Send(c, MakePacket(5, MessageType::Connect, "newcomer", 0, Vec2(4, 2)));
  c.ReceivePacket();
  const Packet welcome = c.ReceivePacket();
  EXPECT_TRUE(a.Quiet());
  EXPECT_TRUE(b.Quiet());
  // The proof's text and position are its own; the others see those of the Connect.
  Send(c, MakePacket(5, MessageType::PlayerPositionUpdate, "moved", welcome.Body().entityID));
  WaitForLog("NetworkingComponentServer(): Client admitted. \n");
  const Packet toA = a.ReceivePacket();
  const Packet toB = b.ReceivePacket();
  EXPECT_EQ(toB.Header().messageNumber, toA.Header().messageNumber + 1);
  for (const Packet* packet : {&toA, &toB}) {
    EXPECT_EQ(packet->Header().messageType, MessageType::Connect);
    EXPECT_EQ(packet->Header().clientID, 5u);
    EXPECT_EQ(packet->Body().playerUUID, 5u);
    EXPECT_EQ(packet->Body().entityID, welcome.Body().entityID);
    EXPECT_EQ(packet->MessageText(), "newcomer");
    EXPECT_EQ(packet->Body().position.x, 4.0f);
  }
  for (const UdpPeer* peer : {&a, &c, &b}) {
    const Packet relayed = peer->ReceivePacket();
    EXPECT_EQ(relayed.Header().messageType, MessageType::PlayerPositionUpdate);
    EXPECT_EQ(relayed.MessageText(), "moved");
  }
  EXPECT_TRUE(c.Quiet()) << "the newcomer already had its own announcement";
}

TEST_F(ServerTest, TrustingSourcesAnnouncesToEveryPlayerInAscendingIdOrderBeforeTheWelcome) {
  NetworkingComponentServer::SetTrustSources(true);
  UdpPeer a, b, c;
  Send(a, MakePacket(3, MessageType::Connect));
  a.ReceivePacket();
  a.ReceivePacket();
  Send(b, MakePacket(9, MessageType::Connect));
  a.ReceivePacket();
  b.ReceivePacket();
  b.ReceivePacket();

  Send(c, MakePacket(5, MessageType::Connect, "newcomer"));
  const Packet toA = a.ReceivePacket();
  const Packet toC = c.ReceivePacket();
  const Packet toB = b.ReceivePacket();
  const Packet welcome = c.ReceivePacket();
  for (const Packet* packet : {&toA, &toC, &toB}) {
    EXPECT_EQ(packet->Header().messageType, MessageType::Connect);
    EXPECT_EQ(packet->Header().clientID, 5u);
    EXPECT_EQ(packet->Body().playerUUID, 5u);
    EXPECT_EQ(packet->Body().entityID, welcome.Body().entityID);
    EXPECT_EQ(packet->MessageText(), "newcomer");
  }
  // Message numbers are process-wide and consecutive, so they give the order of the sends.
  EXPECT_EQ(toC.Header().messageNumber, toA.Header().messageNumber + 1);
  EXPECT_EQ(toB.Header().messageNumber, toA.Header().messageNumber + 2);
  EXPECT_EQ(welcome.Header().messageNumber, toA.Header().messageNumber + 3);
  EXPECT_EQ(welcome.Header().messageType, MessageType::Welcome);
}

TEST_F(ServerTest, AnIdBelongsToItsAddressAndARepeatedConnectThereIsWelcomedAgain) {
  UdpPeer first, impostor;
  const Packet welcome = Register(first, 7, {});
  const std::uint32_t entityID = welcome.Body().entityID;
  Send(impostor, MakePacket(7, MessageType::Connect));
  WaitForLog("NetworkingComponentServer(): Client already connected. \n");
  // Even with the right entity id, the id's updates and its Disconnect count from its address only.
  Send(impostor, MakePacket(7, MessageType::PlayerPositionUpdate, "", entityID));
  Send(impostor, MakePacket(7, MessageType::Disconnect));
  WaitForLog("NetworkingComponentServer(): Dropped: the id belongs to another address. \n", 2);
  EXPECT_TRUE(impostor.Quiet());
  EXPECT_TRUE(first.Quiet());

  // A client whose Welcome was lost asks again: the same two packets, the same entity id.
  Send(first, MakePacket(7, MessageType::Connect));
  EXPECT_EQ(first.ReceivePacket().Body().entityID, entityID);
  const Packet again = first.ReceivePacket();
  EXPECT_EQ(again.Header().messageType, MessageType::Welcome);
  EXPECT_EQ(again.Body().entityID, entityID);
  Send(first, MakePacket(7, MessageType::PlayerPositionUpdate));
  EXPECT_EQ(first.ReceivePacket().Header().clientID, 7u);
  EXPECT_TRUE(impostor.Quiet());
}

TEST_F(ServerTest, OnlyTheWelcomedAddressCanProveItAndItsNewIdReplacesTheOld) {
  UdpPeer player, stranger, watcher;
  Register(watcher, 1, {});
  Send(player, MakePacket(4, MessageType::Connect));
  player.ReceivePacket();
  const std::uint32_t entityID = player.ReceivePacket().Body().entityID;
  Send(stranger, MakePacket(4, MessageType::PlayerPositionUpdate, "", entityID));
  Send(player, MakePacket(4, MessageType::PlayerPositionUpdate, "", entityID ^ 1));
  Send(stranger, MakePacket(50, MessageType::PlayerPositionUpdate, "", 77));
  WaitForLog("NetworkingComponentServer(): Dropped: the sender is not a registered player. \n", 3);
  EXPECT_TRUE(watcher.Quiet());
  EXPECT_TRUE(stranger.Quiet());

  Send(player, MakePacket(4, MessageType::PlayerPositionUpdate, "", entityID));
  EXPECT_EQ(watcher.ReceivePacket().Header().messageType, MessageType::Connect);
  EXPECT_EQ(watcher.ReceivePacket().Header().clientID, 4u);
  EXPECT_EQ(player.ReceivePacket().Header().clientID, 4u);
  // The same socket under a new id: the party restarted its client, the old id goes.
  Register(player, 6, {&watcher});
  Send(watcher, MakePacket(4, MessageType::Disconnect));
  WaitForLog("NetworkingComponentServer(): Client is not connected. \n");
}

TEST_F(ServerTest, WhatAForgedSourceGetsIsBounded) {
  UdpPeer victim, player;
  Register(player, 1, {});
  // Another server's announcement is never answered: two servers cannot bounce them.
  Send(victim, MakePacket(5, MessageType::Connect, "", 0, {}, 0));
  Packet announcement = MakePacket(5, MessageType::Connect);
  announcement.Body().playerUUID = 5;
  announcement.Body().entityID = 77;
  announcement.Seal();
  Send(victim, announcement);
  WaitForLog("NetworkingComponentServer(): Dropped: an announcement is not a Connect. \n");
  victim.ReceivePacket();
  victim.ReceivePacket();
  EXPECT_TRUE(victim.Quiet());
  // A burst of Connects from one address is answered a few times a second only.
  constexpr int kBurst = 100;
  for (int i = 0; i < kBurst; ++i) Send(victim, MakePacket(5, MessageType::Connect));
  WaitForLog("NetworkingComponentServer(): Dropped: too many Connects from the address. \n");
  // A Disconnect of an unknown id marks the burst's end. The burst may overflow the socket's
  // buffer on a busy machine, and the marker with it: it goes again until the server has seen it.
  for (int tries = 0; tries < 40 && Count(Log(), "Client is not connected.") == 0; ++tries) {
    Send(victim, MakePacket(404, MessageType::Disconnect));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  WaitForLog("Client is not connected.");
  int answers = 0;
  while (victim.Receive(200)) ++answers;
  EXPECT_LT(answers, 2 * kBurst);
  EXPECT_TRUE(player.Quiet()) << "nothing goes to the players before a proof";
}

TEST_F(ServerTest, ASilentPlayerIsForgottenAfterTheIdleTimeout) {
  NetworkingComponentServer::SetIdleTimeout(1);
  UdpPeer player;
  Register(player, 3, {});
  WaitForLog("NetworkingComponentServer(): Client timed out. \n");
  Send(player, MakePacket(3, MessageType::Disconnect));
  WaitForLog("NetworkingComponentServer(): Client is not connected. \n");
}

TEST_F(ServerTest, DisconnectForgetsARegisteredPlayerOnly) {
  UdpPeer stays, leaves;
  Register(stays, 3, {});
  Register(leaves, 4, {&stays});

  Send(leaves, MakePacket(4, MessageType::Disconnect));
  WaitForLog("NetworkingComponentServer(): Client disconnected. \n");
  Send(leaves, MakePacket(77, MessageType::Disconnect));
  WaitForLog("NetworkingComponentServer(): Client is not connected. \n");
  EXPECT_TRUE(leaves.Quiet()) << "nothing is sent for a Disconnect";

  Send(stays, MakePacket(3, MessageType::PlayerPositionUpdate));
  EXPECT_EQ(stays.ReceivePacket().Header().clientID, 3u);
  EXPECT_TRUE(leaves.Quiet());
}

TEST_F(ServerTest, PositionUpdatesAreRelayedUnchangedToEveryRegisteredPlayer) {
  UdpPeer low, high, stranger;
  Register(high, 9, {});
  Register(low, 3, {&high});

  Send(low, MakePacket(3, MessageType::PlayerPositionUpdate, "run", 77, Vec2(5, -6)));
  const Packet toLow = low.ReceivePacket();
  const Packet toHigh = high.ReceivePacket();
  EXPECT_EQ(toHigh.Header().messageNumber, toLow.Header().messageNumber + 1);
  for (const Packet* relayed : {&toLow, &toHigh}) {
    EXPECT_TRUE(TestSupport::ChecksumMatches(*relayed));
    EXPECT_EQ(relayed->Header().messageType, MessageType::PlayerPositionUpdate);
    EXPECT_EQ(relayed->Header().clientID, 3u);
    EXPECT_EQ(relayed->Body().playerUUID, 3u);
    EXPECT_EQ(relayed->Body().entityID, 77u);
    EXPECT_EQ(relayed->Body().position.x, 5.0f);
    EXPECT_EQ(relayed->Body().position.y, -6.0f);
    EXPECT_EQ(relayed->MessageText(), "run");
  }
  EXPECT_TRUE(stranger.Quiet());
}

TEST_F(ServerTest, OtherMessageTypesHitTheDefaultCaseAndSendNothing) {
  UdpPeer player;
  Register(player, 3, {});
  testing::internal::CaptureStderr();
  for (const int type : {2, 4, 200}) {
    Send(player, MakePacket(3, static_cast<MessageType>(type)));
  }
  Send(player, MakePacket(99, MessageType::Disconnect));  // handled after the three above
  WaitForLog("Client is not connected.");
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Count(errors, "NetworkingComponent(): Default case triggered.\n"), 3u) << errors;
  EXPECT_TRUE(player.Quiet());
  EXPECT_EQ(Count(Log(), "MessageType: 4\n"), 1u);
}

TEST_F(ServerTest, OnlyOneIntactPacketPerDatagramIsAcceptedAndServingGoesOn) {
  UdpPeer player, watcher;
  Register(watcher, 1, {});
  const Packet update = MakePacket(1, MessageType::PlayerPositionUpdate);
  std::vector<std::byte> wire(update.Bytes(), update.Bytes() + Packet::kSize);

  // A whole packet, then its first 500 bytes: the tail of the earlier datagram must not count.
  watcher.SendBytes(port_, wire.data(), wire.size());
  watcher.ReceivePacket();
  for (const std::size_t size : {0u, 500u, 1055u}) watcher.SendBytes(port_, wire.data(), size);
  std::vector<std::byte> longer(wire);
  longer.push_back(std::byte{0});
  watcher.SendBytes(port_, longer.data(), longer.size());
  std::vector<std::byte> flipped(wire);
  flipped[600] ^= std::byte{0x20};
  watcher.SendBytes(port_, flipped.data(), flipped.size());

  const std::string corrupted =
      "NetworkingComponent(): [CORRUPTED] The packet received generate a wrong checksum. \n";
  WaitForLog(corrupted, 5);
  const std::string log = Log();
  for (const char* size : {"0", "500", "1055", "1057"}) {
    EXPECT_EQ(
        Count(log, std::string("Message of size ") + size + " bytes received. \n" + corrupted), 1u)
        << size;
  }
  EXPECT_TRUE(watcher.Quiet()) << "a rejected datagram was dispatched";

  Register(player, 2, {&watcher});
}

TEST_F(ServerTest, AnOversizedDatagramIsAFailedReceive) {
  UdpPeer player;
  const std::vector<std::byte> oversized(2000, std::byte{1});
  testing::internal::CaptureStdout();
  player.SendBytes(port_, oversized.data(), oversized.size());
  Register(player, 2, {});
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_search(console, std::regex("(^|\n)error[1-9][0-9]*\n"))) << console;
  EXPECT_EQ(Count(console, "Message of size 2000"), 0u);
  EXPECT_EQ(Count(Log(), "bytes received."), 2u)
      << "only the Connect and the proof reached the log";
}

TEST_F(ServerTest, ControlCharactersOfTheTextCannotForgeLogLines) {
  UdpPeer player;
  const char* forged = "a\n========= [RECEIVE] ========== \nb\\c\t\x01\x7f \xc3\xa9t\xc3\xa9";
  Register(player, 0, {});
  Send(player, MakePacket(0, MessageType::PlayerPositionUpdate, forged));
  WaitForLog("From clientID: 0\n", 3);
  const std::string log = Log();
  EXPECT_EQ(Count(log, "\n========= [RECEIVE] ========== \n"), 3u);
  EXPECT_NE(log.find("Message: a\\n========= [RECEIVE] ========== \\nb\\\\c\\t\\x01\\x7f "
                     "\xc3\xa9t\xc3\xa9\n"),
            std::string::npos)
      << log;
}

TEST_F(ServerTest, AnUnterminatedTextIsLoggedWhole) {
  UdpPeer player;
  Packet packet = MakePacket(6, MessageType::Disconnect);
  std::memset(packet.Body().message, 'z', sizeof(packet.Body().message));
  packet.Seal();
  Send(player, packet);
  WaitForLog("Client is not connected.");
  EXPECT_NE(Log().find("Message: " + std::string(1000, 'z') + "\nPlayerUUID: 0\n"),
            std::string::npos);
}

TEST_F(ServerTest, RepliesLeaveNoDescriptorBehind) {
  if (Platform::kPathSeparator == '\\') {
    GTEST_SKIP() << "counts POSIX descriptors; under Wine /proc/self/fd lists Wine's own, which "
                    "come and go";
  }
  const std::filesystem::path descriptors("/proc/self/fd");
  if (!std::filesystem::exists(descriptors)) GTEST_SKIP() << "needs /proc to count descriptors";
  auto count = [&] {
    const auto entries = std::filesystem::directory_iterator(descriptors);
    return std::distance(std::filesystem::begin(entries), std::filesystem::end(entries));
  };
  UdpPeer first, second;
  // A reply arrives before its socket is closed; a Disconnect of nobody, once logged, shows that
  // the server has finished with everything sent before it.
  std::size_t settled = 0;
  auto settle = [&] {
    Send(first, MakePacket(404, MessageType::Disconnect));
    WaitForLog("Client is not connected.", ++settled);
  };
  Register(first, 1, {});
  Register(second, 2, {&first});
  settle();
  const auto before = count();
  for (int i = 0; i < 1500; ++i) {
    Send(first, MakePacket(1, MessageType::PlayerPositionUpdate));
    ASSERT_EQ(first.ReceivePacket().Header().clientID, 1u);
    ASSERT_EQ(second.ReceivePacket().Header().clientID, 1u);
  }
  settle();
  EXPECT_EQ(count(), before);
}

}  // namespace
