// What one packet costs the server, beside the cheapest program that makes the same system calls.
//
// Every benchmark that touches a socket receives real datagrams on loopback and sends to sink
// sockets; refilling the receive queue and draining the sinks happens between timed stretches
// (manual timing), so the figures hold only the work the receive thread does for a packet.
//
// Standard output is re-opened on the null device before anything runs, because the server's
// console lines would otherwise flood it; the results go to standard error (and to
// --benchmark_out when given).
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if __has_include(<unistd.h>)
#include <unistd.h>
#define VELANTIS_BENCH_HAS_WRITE 1
#endif

#include "BenchSupport.h"
#include "FloorLines.h"
#include "logs/LogsManager.h"
#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "platform/platform.h"
#include "utils/Console.h"

namespace {

constexpr std::size_t kReceiveBufferSize = 1400;
// Datagrams queued on a socket between two drains: far below what a default receive buffer holds,
// so that nothing is dropped and every send reaches its sink.
constexpr int kBatch = 32;
constexpr std::uint64_t kSenderID = 42;

using Clock = std::chrono::steady_clock;

std::unique_ptr<LogsManager>& BenchLogs() {
  static std::unique_ptr<LogsManager> logs;
  return logs;
}

// A UDP socket bound to an ephemeral loopback port.
class BoundSocket {
 public:
  BoundSocket() : socket_(Platform::OpenSocket(Platform::SocketKind::Datagram)) {
    Platform::Bind(socket_, Platform::LoopbackAddress(0));
    address_ = Platform::LoopbackAddress(Platform::LocalPort(socket_));
  }
  ~BoundSocket() { Platform::CloseSocket(socket_); }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

  Platform::SocketHandle Handle() const { return socket_; }
  const Orlin::Ipv4Address& Address() const { return address_; }

  void Drain() const {
    std::array<std::byte, kReceiveBufferSize> buffer{};
    Orlin::Ipv4Address from{};
    int fromLength = sizeof(from);
    while (Platform::WaitReadable(socket_, 0)) {
      Platform::ReceiveFrom(socket_, buffer.data(), buffer.size(), from, fromLength);
    }
  }

 private:
  Platform::SocketHandle socket_;
  Orlin::Ipv4Address address_;
};

class Sinks {
 public:
  explicit Sinks(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) sockets_.push_back(std::make_unique<BoundSocket>());
  }
  const BoundSocket& operator[](std::size_t i) const { return *sockets_[i]; }
  std::size_t size() const { return sockets_.size(); }
  void Drain() const {
    for (const auto& sink : sockets_) sink->Drain();
  }

 private:
  std::vector<std::unique_ptr<BoundSocket>> sockets_;
};

Packet SealedPositionUpdate() {
  Packet packet;
  packet.Init(kSenderID, MessageType::PlayerPositionUpdate, "Player position update", 7);
  packet.Body().position = Vec2(12.5f, -3.25f);
  packet.Body().playerUUID = kSenderID;
  packet.Header().messageNumber = 1234;
  packet.Seal();
  return packet;
}

// The server's receive socket, fed by a client socket with the same sealed packet, kBatch at a
// time so that every timed receive finds a datagram waiting.
class Inbox {
 public:
  Inbox() {
    const Packet packet = SealedPositionUpdate();
    std::memcpy(datagram_.data(), packet.Bytes(), Packet::kSize);
  }
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // Refills the queue when it is empty; true when it did (the caller drains its sinks then too).
  bool Refill() {
    if (queued_ > 0) return false;
    for (int i = 0; i < kBatch; ++i) {
      Platform::SendTo(feeder_.Handle(), datagram_.data(), Packet::kSize, receiver_.Address());
    }
    queued_ = kBatch;
    return true;
  }

  // The server's socket: it receives the datagrams and sends every reply.
  Platform::SocketHandle Handle() const { return receiver_.Handle(); }
  // The sender's: a registered player, so that its updates are relayed.
  const BoundSocket& Feeder() const { return feeder_; }

  long Receive(std::array<std::byte, kReceiveBufferSize>& buffer, Orlin::Ipv4Address& from,
               int& fromLength) {
    --queued_;
    return Platform::ReceiveFrom(receiver_.Handle(), buffer.data(), buffer.size(), from,
                                 fromLength);
  }

 private:
  BoundSocket receiver_;
  BoundSocket feeder_;
  std::array<std::byte, Packet::kSize> datagram_{};
  int queued_ = 0;
};

// One console line as the cheapest program would print it: a single write(2) of the whole line on
// standard output, which this process has re-opened on the null device.
void ConsoleWrite(std::string_view line) {
#if defined(VELANTIS_BENCH_HAS_WRITE)
  benchmark::DoNotOptimize(::write(1, line.data(), line.size()));
#else
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
#endif
}

using FloorLines::kSentLine;
using FloorLines::kSizeLine;

template <class Work>
void TimeOnce(benchmark::State& state, Work&& work) {
  const auto start = Clock::now();
  work();
  state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

// The library reports rates per second only; the checksum's speed reads better per nanosecond.
void ReportBytesPerNanosecond(benchmark::State& state, Clock::duration elapsed) {
  const auto bytes = static_cast<double>(state.iterations()) * static_cast<double>(Packet::kSize);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  const auto nanoseconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
  state.counters["bytes/ns"] = nanoseconds > 0 ? bytes / nanoseconds : 0.0;
}

void BM_PacketChecksum(benchmark::State& state) {
  const Packet packet = SealedPositionUpdate();
  const std::byte* bytes = packet.Bytes();
  const auto start = Clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(
        Packet::ComputeChecksum(bytes, static_cast<std::int32_t>(Packet::kSize)));
  }
  ReportBytesPerNanosecond(state, Clock::now() - start);
}
BENCHMARK(BM_PacketChecksum);

void BM_ReferenceFnv1aLoop(benchmark::State& state) {
  const Packet packet = SealedPositionUpdate();
  const auto* bytes = reinterpret_cast<const unsigned char*>(packet.Bytes());
  const auto start = Clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(ReferenceFnv1a(bytes, Packet::kSize));
  }
  ReportBytesPerNanosecond(state, Clock::now() - start);
}
BENCHMARK(BM_ReferenceFnv1aLoop);

// Checksums of several packets in one interleaved pass, per packet; first checks on packets of
// random bytes that every count gives exactly what one ComputeChecksum per packet gives.
void BM_PacketChecksums(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<Packet> packets(count);
  std::vector<const Packet*> pointers;
  std::vector<std::uint64_t> checksums(count);
  std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
  for (int trial = 0; trial < 16; ++trial) {
    pointers.clear();
    for (Packet& packet : packets) {
      std::array<std::byte, Packet::kSize> bytes{};
      for (std::byte& byte : bytes) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        byte = static_cast<std::byte>(seed >> 56);
      }
      packet.LoadBytes(bytes.data());
      pointers.push_back(&packet);
    }
    Packet::ComputeChecksums(pointers.data(), count, checksums.data());
    for (std::size_t i = 0; i < count; ++i) {
      if (checksums[i] !=
          Packet::ComputeChecksum(packets[i].Bytes(), static_cast<std::int32_t>(Packet::kSize))) {
        state.SkipWithError("interleaved checksums differ from one-at-a-time checksums");
        return;
      }
    }
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(pointers.data());
    Packet::ComputeChecksums(pointers.data(), count, checksums.data());
    benchmark::DoNotOptimize(checksums.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}
BENCHMARK(BM_PacketChecksums)->Arg(1)->Arg(2)->Arg(4)->Arg(9)->Arg(65);

// One datagram's log record: its ten lines in one Write.
void BM_LogsManagerWrite(benchmark::State& state) {
  LogsManager& logs = *BenchLogs();
  const std::string record = FloorLines::LogRecord();
  for (auto _ : state) logs.Write(record, true);
}
BENCHMARK(BM_LogsManagerWrite);

void BM_FloorLogWrite(benchmark::State& state) {
  const std::string& path = BenchLogs()->FilePath();
  const std::string record = FloorLines::LogRecord();
  for (auto _ : state) Platform::WriteTextFile(path, record.data(), record.size(), true);
}
BENCHMARK(BM_FloorLogWrite);

void BM_ConsoleLine(benchmark::State& state) {
  for (auto _ : state) Console::Out("NetworkingComponent(): Message of size 1056 bytes sent.");
}
BENCHMARK(BM_ConsoleLine);

void BM_FloorConsoleLine(benchmark::State& state) {
  for (auto _ : state) ConsoleWrite(kSentLine);
}
BENCHMARK(BM_FloorConsoleLine);

// The server's per-recipient path: its client component, lent the server's own socket, stamps,
// seals and sends one packet.
void BM_ReplySend(benchmark::State& state) {
  const Sinks sinks(1);
  const BoundSocket serverSocket;
  NetworkingComponentClient toClient;
  toClient.Init(kSenderID, Orlin::Protocol::Udp);
  toClient.UseSocket(serverSocket.Handle());
  toClient.SetTargetAddress(sinks[0].Address());
  Packet packet = SealedPositionUpdate();
  int sent = 0;
  for (auto _ : state) {
    if (sent++ % kBatch == 0) sinks.Drain();
    TimeOnce(state, [&] { toClient.Send(packet); });
  }
}
BENCHMARK(BM_ReplySend)->UseManualTime();

void BM_FloorSend(benchmark::State& state) {
  const Sinks sinks(1);
  const BoundSocket serverSocket;
  const Packet packet = SealedPositionUpdate();
  int sent = 0;
  for (auto _ : state) {
    if (sent++ % kBatch == 0) sinks.Drain();
    TimeOnce(state, [&] {
      Platform::SendTo(serverSocket.Handle(), packet.Bytes(), Packet::kSize, sinks[0].Address());
      ConsoleWrite(kSentLine);
    });
  }
}
BENCHMARK(BM_FloorSend)->UseManualTime();

// Everything one relayed datagram needs: the server's inbox, the sinks of its recipients (also
// registered as its clients) and a receive buffer.
class RelayRig {
 public:
  explicit RelayRig(std::size_t fanOut)
      : sinks_(fanOut), logs_(*BenchLogs()), record_(FloorLines::LogRecord()) {
    auto& clients = NetworkingComponentServer::Clients();
    clients.clear();
    // The sender is one of the recipients, as in the game, where it gets its own copy.
    for (std::size_t i = 0; i < fanOut; ++i) {
      const Orlin::Ipv4Address& target = i == 0 ? inbox_.Feeder().Address() : sinks_[i].Address();
      clients.insert({i == 0 ? kSenderID : 1000 + i, target});
      batch_.push_back({buffer_.data(), Packet::kSize, &target});
    }
  }
  ~RelayRig() {
    NetworkingComponentServer::Clients().clear();
    sinks_.Drain();
  }
  RelayRig(const RelayRig&) = delete;
  RelayRig& operator=(const RelayRig&) = delete;

  // Untimed: keeps a datagram waiting and the sinks from filling up.
  void Prepare() {
    if (inbox_.Refill()) {
      sinks_.Drain();
      inbox_.Feeder().Drain();
    }
  }

  // One datagram from the receive call to the last relayed copy, through the server's own code.
  void Server() {
    const long received = inbox_.Receive(buffer_, from_, fromLength_);
    NetworkingComponentServer::HandleDatagram(buffer_.data(), static_cast<std::size_t>(received),
                                              from_, logs_, inbox_.Handle());
  }

  // The same system calls with nothing around them: one receive, one write(2) per console line
  // (1, and 1 per recipient), one open-append-close for the datagram's log record, and one batch
  // send (sendmmsg on Linux) of the datagram to every recipient from the server's own socket. No
  // checksum and no text formatting.
  void Floor() {
    benchmark::DoNotOptimize(inbox_.Receive(buffer_, from_, fromLength_));
    ConsoleWrite(kSizeLine);
    Platform::WriteTextFile(logs_.FilePath(), record_.data(), record_.size(), true);
    for (std::size_t next = 0; next < batch_.size();) {
      const long sent =
          Platform::SendBatch(inbox_.Handle(), batch_.data() + next, batch_.size() - next);
      for (long i = 0; i < sent; ++i) ConsoleWrite(kSentLine);
      next += sent > 0 ? static_cast<std::size_t>(sent) : 1;
    }
  }

 private:
  Sinks sinks_;
  LogsManager& logs_;
  const std::string record_;
  std::vector<Platform::OutgoingDatagram> batch_;
  Inbox inbox_;
  std::array<std::byte, kReceiveBufferSize> buffer_{};
  Orlin::Ipv4Address from_{};
  int fromLength_ = sizeof(from_);
};

void BM_ServerRelay(benchmark::State& state) {
  RelayRig rig(static_cast<std::size_t>(state.range(0)));
  std::uint64_t allocationsInPath = 0;
  for (auto _ : state) {
    rig.Prepare();
    const std::uint64_t before = Allocations();
    TimeOnce(state, [&] { rig.Server(); });
    allocationsInPath += Allocations() - before;
  }
  state.counters["allocs/packet"] = benchmark::Counter(static_cast<double>(allocationsInPath),
                                                       benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ServerRelay)->Arg(1)->Arg(8)->Arg(64)->UseManualTime();

void BM_FloorRelay(benchmark::State& state) {
  RelayRig rig(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    rig.Prepare();
    TimeOnce(state, [&] { rig.Floor(); });
  }
}
BENCHMARK(BM_FloorRelay)->Arg(1)->Arg(8)->Arg(64)->UseManualTime();

// Processor time of this thread, system calls included; unlike the wall clock it does not count
// the time other processes on a busy machine take from this one.
Clock::duration ThreadCpuTime() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(now.tv_sec) +
                                                     std::chrono::nanoseconds(now.tv_nsec));
#else
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(std::clock()) / CLOCKS_PER_SEC));
#endif
}

// Server and floor alternate packet by packet, so that both see the same load from whatever else
// runs on the machine; the ratios of the two sums are the figures to judge the server by.
void BM_ServerOverFloor(benchmark::State& state) {
  RelayRig rig(static_cast<std::size_t>(state.range(0)));
  struct Sums {
    Clock::duration wall{};
    Clock::duration cpu{};
  } server, floor;
  const auto timed = [&](Sums& sums, auto&& work) {
    rig.Prepare();
    const auto wallStart = Clock::now();
    const auto cpuStart = ThreadCpuTime();
    work();
    sums.cpu += ThreadCpuTime() - cpuStart;
    const auto wall = Clock::now() - wallStart;
    sums.wall += wall;
    return wall;
  };
  for (auto _ : state) {
    const auto serverWall = timed(server, [&] { rig.Server(); });
    const auto floorWall = timed(floor, [&] { rig.Floor(); });
    state.SetIterationTime(std::chrono::duration<double>(serverWall + floorWall).count());
  }
  const auto microseconds = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(state.iterations());
  };
  state.counters["server_cpu_us"] = microseconds(server.cpu);
  state.counters["floor_cpu_us"] = microseconds(floor.cpu);
  state.counters["cpu_ratio"] = microseconds(server.cpu) / microseconds(floor.cpu);
  state.counters["wall_ratio"] = microseconds(server.wall) / microseconds(floor.wall);
}
BENCHMARK(BM_ServerOverFloor)->Arg(1)->Arg(8)->Arg(64)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  const auto dataHome = std::filesystem::temp_directory_path() /
                        ("velantis-bench-" + std::to_string(Platform::CurrentProcessId()));
  std::filesystem::create_directories(dataHome);
  Platform::SetEnvironment("XDG_DATA_HOME", dataHome.string().c_str());

  // Results on standard error: standard output is about to become the sink for console lines.
  benchmark::ConsoleReporter display(benchmark::ConsoleReporter::OO_Tabular);
  display.SetOutputStream(&std::cerr);
  display.SetErrorStream(&std::cerr);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::cerr << "cannot re-open standard output on /dev/null\n";
    return 1;
  }

  BenchLogs() = std::make_unique<LogsManager>("Bench.logs", "ThreadsLogs");
  BenchLogs()->CreateDir();
  Platform::StartSocketLibrary();

  benchmark::RunSpecifiedBenchmarks(&display);
  benchmark::Shutdown();

  BenchLogs().reset();
  Platform::StopSocketLibrary();
  std::error_code ignored;
  std::filesystem::remove_all(dataHome, ignored);
  return 0;
}
