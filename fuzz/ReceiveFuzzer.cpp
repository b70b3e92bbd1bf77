// Datagram bytes through the receive thread's whole path: size report, verification, logging and
// dispatch, with the replies going to a loopback socket nobody reads.
//
// The first byte picks the mode. Even: the rest is the datagram, as it would arrive (at most the
// receive buffer's 1400 bytes). Odd: the rest becomes the bytes of a packet (cut or zero-filled
// to 1056) that is sealed before it is handed over, so that mutations reach the dispatch instead
// of stopping at the checksum.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "logs/LogsManager.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kReceiveBufferSize = 1400;
// Every Connect of a new id adds an entry and a reply per entry; a bound keeps each input cheap.
constexpr std::size_t kMaxClients = 16;
// The log file is emptied now and then so that a long run does not fill the disk.
constexpr std::uint64_t kInputsPerLogTruncation = 4096;

struct Rig {
  std::filesystem::path dataHome;
  Platform::SocketHandle sink = Platform::kNoSocket;
  Orlin::Ipv4Address sinkAddress;
  std::unique_ptr<LogsManager> logs;
  std::uint64_t inputs = 0;
};

Rig* rig = nullptr;

void TearDown() {
  if (rig == nullptr) return;
  NetworkingComponentServer::Clients().clear();
  Platform::CloseSocket(rig->sink);
  std::error_code ignored;
  std::filesystem::remove_all(rig->dataHome, ignored);
  delete rig;
  rig = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The console lines of every input would drown the fuzzer's own report.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::fputs("stdout stays\n", stderr);

  rig = new Rig;
  rig->dataHome = std::filesystem::temp_directory_path() /
                  ("velantis-fuzz-" + std::to_string(Platform::CurrentProcessId()));
  std::filesystem::create_directories(rig->dataHome);
  Platform::SetEnvironment("XDG_DATA_HOME", rig->dataHome.string().c_str());

  // Never read: once its receive buffer is full the system drops further replies.
  Platform::StartSocketLibrary();
  rig->sink = Platform::OpenSocket(Platform::SocketKind::Datagram);
  Orlin::Ipv4Address loopback;
  loopback.family = Platform::kAddressFamilyIpv4;
  Platform::ParseIpv4("127.0.0.1", loopback.address);
  if (rig->sink == Platform::kNoSocket || !Platform::Bind(rig->sink, loopback)) {
    std::fputs("cannot bind the reply sink on 127.0.0.1\n", stderr);
    std::abort();
  }
  rig->sinkAddress = loopback;
  rig->sinkAddress.port = Platform::HostToNetwork16(Platform::LocalPort(rig->sink));

  rig->logs = std::make_unique<LogsManager>("Thread_0.logs", "ThreadsLogs");
  rig->logs->CreateDir();
  std::atexit(TearDown);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool sealed = (data[0] & 1) != 0;
  const auto* rest = reinterpret_cast<const std::byte*>(data + 1);
  const std::size_t restSize = size - 1;

  if (sealed) {
    std::array<std::byte, Packet::kSize> bytes{};
    std::memcpy(bytes.data(), rest, std::min(restSize, bytes.size()));
    Packet packet;
    packet.LoadBytes(bytes.data());
    packet.Seal();
    NetworkingComponentServer::HandleDatagram(packet.Bytes(), Packet::kSize, rig->sinkAddress,
                                              *rig->logs, rig->sink);
  } else {
    NetworkingComponentServer::HandleDatagram(rest, std::min(restSize, kReceiveBufferSize),
                                              rig->sinkAddress, *rig->logs, rig->sink);
  }

  if (NetworkingComponentServer::Clients().size() > kMaxClients) {
    NetworkingComponentServer::Clients().clear();
  }
  if (++rig->inputs % kInputsPerLogTruncation == 0) {
    Platform::WriteTextFile(rig->logs->FilePath(), "", 0, false);
  }
  return 0;
}
