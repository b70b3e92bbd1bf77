// What one packet costs a game client through the client library, beside its floor: decoding a
// received packet into an event and sealing a position update beside the bare FNV-1a loop over
// the same 1056 bytes (the one piece of work neither can skip), and the whole receive and send
// calls of the C API beside the same system calls with nothing around them.
//
// Sockets are real loopback sockets. A datagram is queued on the client's socket before each
// timed receive (manual timing), so the figures hold only the client's own work for a packet.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <new>

#include "BenchSupport.h"
#include "Codec.h"
#include "net/Packet.h"
#include "platform/platform.h"
#include "velantis/client.h"

namespace {

using Clock = std::chrono::steady_clock;

Packet RelayedUpdate() {
  Packet packet;
  Velantis::BuildPacket(packet, 7, MessageType::PlayerPositionUpdate, "Player position update",
                        Vec2(1.5f, -2.0f), 42, 9);
  return packet;
}

void CountAllocations(benchmark::State& state, std::uint64_t before) {
  state.counters["allocs/packet"] = benchmark::Counter(static_cast<double>(Allocations() - before),
                                                       benchmark::Counter::kAvgIterations);
}

void BM_ReferenceFnv1aLoop(benchmark::State& state) {
  const Packet packet = RelayedUpdate();
  const auto* bytes = reinterpret_cast<const unsigned char*>(packet.Bytes());
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(ReferenceFnv1a(bytes, Packet::kSize));
  }
}
BENCHMARK(BM_ReferenceFnv1aLoop);

void BM_DecodeIntoEvent(benchmark::State& state) {
  const Packet sent = RelayedUpdate();
  Packet packet;
  velantis_event event{};
  Velantis::TextBuffer text;
  const std::uint64_t before = Allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(sent.Bytes());
    const Velantis::Verdict verdict =
        Velantis::DecodeDatagram(sent.Bytes(), static_cast<long>(Packet::kSize), packet);
    Velantis::ToEvent(verdict, packet, static_cast<long>(Packet::kSize), event, text);
    benchmark::DoNotOptimize(event);
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_DecodeIntoEvent);

void BM_SealPositionUpdate(benchmark::State& state) {
  Packet packet;
  std::uint32_t number = 1;
  const std::uint64_t before = Allocations();
  for (auto _ : state) {
    Velantis::BuildPacket(packet, 7, MessageType::PlayerPositionUpdate, "Player position update",
                          Vec2(1.5f, -2.0f), 42, number++);
    benchmark::DoNotOptimize(packet);
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_SealPositionUpdate);

// A client of the C API, welcomed by a stand-in server socket on loopback, plus a plain socket
// as the floor's receiver.
class ClientRig {
 public:
  ClientRig() {
    server_ = Bound();
    floor_ = Bound();
    velantis_config config;
    velantis_config_init(&config);
    config.server_port = Platform::LocalPort(server_);
    config.client_id = 7;
    char error[256];
    client_ = velantis_client_create(&config, error, sizeof(error));
    if (client_ == nullptr) {
      std::cerr << "velantis-client-bench: " << error << std::endl;
      std::exit(1);
    }
    velantis_client_connect(client_, "bench", 0.0f, 0.0f);
    std::byte buffer[Packet::kSize];
    Platform::Ipv4Address from;
    int fromLength = sizeof(from);
    Platform::ReceiveFrom(server_, buffer, sizeof(buffer), from, fromLength);
    Packet welcome;
    Velantis::BuildPacket(welcome, 0, MessageType::Welcome, "welcome", {}, 42, 1);
    Platform::SendTo(server_, welcome.Bytes(), Packet::kSize,
                     Platform::LoopbackAddress(velantis_client_local_port(client_)));
    velantis_event event;
    while (velantis_client_service(client_, &event, 1000) == 1 &&
           event.type != VELANTIS_EVENT_WELCOME) {
    }
    clientAddress_ = Platform::LoopbackAddress(velantis_client_local_port(client_));
    floorAddress_ = Platform::LoopbackAddress(Platform::LocalPort(floor_));
  }
  ~ClientRig() {
    velantis_client_destroy(client_);
    Platform::CloseSocket(server_);
    Platform::CloseSocket(floor_);
  }
  ClientRig(const ClientRig&) = delete;
  ClientRig& operator=(const ClientRig&) = delete;

  void QueueForClient() {
    Platform::SendTo(server_, update_.Bytes(), Packet::kSize, clientAddress_);
  }
  void QueueForFloor() { Platform::SendTo(server_, update_.Bytes(), Packet::kSize, floorAddress_); }
  // Keeps the stand-in server's receive queue from filling up with the client's sends.
  void DrainServer() {
    std::byte buffer[Packet::kSize];
    Platform::Ipv4Address from;
    int fromLength = sizeof(from);
    while (Platform::WaitReadable(server_, 0)) {
      Platform::ReceiveFrom(server_, buffer, sizeof(buffer), from, fromLength);
    }
  }

  velantis_client* Client() { return client_; }
  Platform::SocketHandle Floor() const { return floor_; }
  Platform::SocketHandle Server() const { return server_; }
  const Packet& Update() const { return update_; }

 private:
  static Platform::SocketHandle Bound() {
    const Platform::SocketHandle socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
    Platform::Bind(socket, Platform::LoopbackAddress(0));
    return socket;
  }

  Platform::SocketHandle server_ = Platform::kNoSocket;
  Platform::SocketHandle floor_ = Platform::kNoSocket;
  velantis_client* client_ = nullptr;
  Platform::Ipv4Address clientAddress_;
  Platform::Ipv4Address floorAddress_;
  Packet update_ = RelayedUpdate();
};

template <class Work>
void TimeOnce(benchmark::State& state, Work&& work) {
  const auto start = Clock::now();
  work();
  state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

// velantis_client_service with a datagram waiting: poll, receive, checks, event.
void BM_ServiceOneEvent(benchmark::State& state) {
  ClientRig rig;
  velantis_event event;
  const std::uint64_t before = Allocations();
  for (auto _ : state) {
    rig.QueueForClient();
    TimeOnce(state,
             [&] { benchmark::DoNotOptimize(velantis_client_service(rig.Client(), &event, 0)); });
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_ServiceOneEvent)->UseManualTime();

// The same system calls bare: one poll and one receive.
void BM_FloorReceive(benchmark::State& state) {
  ClientRig rig;
  std::byte buffer[Packet::kSize];
  for (auto _ : state) {
    rig.QueueForFloor();
    TimeOnce(state, [&] {
      Platform::Ipv4Address from;
      int fromLength = sizeof(from);
      benchmark::DoNotOptimize(Platform::WaitReadable(rig.Floor(), 0));
      benchmark::DoNotOptimize(
          Platform::ReceiveFrom(rig.Floor(), buffer, sizeof(buffer), from, fromLength));
    });
  }
}
BENCHMARK(BM_FloorReceive)->UseManualTime();

// velantis_client_send_position: build, seal, one send.
void BM_SendPosition(benchmark::State& state) {
  ClientRig rig;
  std::uint64_t count = 0;
  const std::uint64_t before = Allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(velantis_client_send_position(rig.Client(), 1.5f, -2.0f, 42));
    if (++count % 32 == 0) {
      state.PauseTiming();
      rig.DrainServer();
      state.ResumeTiming();
    }
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_SendPosition);

// The floor: one send of a packet sealed long before.
void BM_FloorSend(benchmark::State& state) {
  ClientRig rig;
  const Platform::Ipv4Address target = Platform::LoopbackAddress(Platform::LocalPort(rig.Server()));
  std::uint64_t count = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Platform::SendTo(rig.Floor(), rig.Update().Bytes(), Packet::kSize, target));
    if (++count % 32 == 0) {
      state.PauseTiming();
      rig.DrainServer();
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_FloorSend);

}  // namespace

BENCHMARK_MAIN();
