#include "metrics/MetricsText.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "Version.h"
#include "logs/LogsManager.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "platform/platform.h"

namespace {

// Taken while the program is loaded, before the entry runs: the process's start, as near as a
// portable program can tell without reading the kernel's boot time.
const double processStartSeconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

// `instance="NAME",` with the name escaped as the exposition format wants; set before the
// endpoint's thread starts.
std::string instanceLabel;

std::uint64_t Read(const ServerCounters::Counter& counter) {
  return counter.load(std::memory_order_relaxed);
}

struct Sample {
  std::string_view labels;  // such as outcome="valid", or empty
  double value;
};

class Exposition {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help,
              std::initializer_list<Sample> samples) {
    Append({"# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"});
    for (const Sample& sample : samples) {
      text.append(name);
      if (!instanceLabel.empty() || !sample.labels.empty()) {
        std::string_view labels = instanceLabel;
        // The instance label's trailing comma only when more labels follow.
        if (sample.labels.empty()) labels.remove_suffix(1);
        Append({"{", labels, sample.labels, "}"});
      }
      text.push_back(' ');
      AppendNumber(sample.value);
      text.push_back('\n');
    }
  }
  void Family(std::string_view name, std::string_view type, std::string_view help, double value) {
    Family(name, type, help, {Sample{{}, value}});
  }

  std::string text;

 private:
  void Append(std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) text.append(piece);
  }
  // Whole numbers as integers, others as the shortest decimal text that reads back the same,
  // whatever the locale.
  void AppendNumber(double value) {
    char buffer[64];
    std::to_chars_result result{};
    if (value >= 0 && value < 9e15 &&
        value == static_cast<double>(static_cast<std::uint64_t>(value))) {
      result = std::to_chars(buffer, buffer + sizeof(buffer), static_cast<std::uint64_t>(value));
    } else {
      result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
      if (result.ec != std::errc()) result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    }
    text.append(buffer, result.ptr);
  }
};

double AsNumber(std::uint64_t count) { return static_cast<double>(count); }

}  // namespace

void SetMetricsInstance(const std::string& name) {
  instanceLabel.clear();
  if (name.empty()) return;
  instanceLabel = "instance=\"";
  for (const char c : name) {
    if (c == '\\' || c == '"') instanceLabel.push_back('\\');
    if (c == '\n') {
      instanceLabel.append("\\n");
    } else {
      instanceLabel.push_back(c);
    }
  }
  instanceLabel.append("\",");
}

std::string MetricsText() {
  ServerCounters& counters = Counters();
  Exposition out;
  out.text.reserve(4096);
  out.Family("velantis_build_info", "gauge", "The server's version, as a label; always 1.",
             {{"version=\"" VELANTIS_VERSION "\"", 1}});
  out.Family("velantis_registered_players", "gauge", "Players registered now.",
             AsNumber(Read(counters.registeredPlayers)));
  out.Family("velantis_datagrams_received_total", "counter",
             "Datagrams read from the game port by outcome; too_large were over the 1400-byte "
             "buffer, echoed repeated a packet just sent to their source, receive_error counts "
             "failed reads.",
             {{"outcome=\"valid\"", AsNumber(Read(counters.datagramsValid))},
              {"outcome=\"wrong_size\"", AsNumber(Read(counters.datagramsWrongSize))},
              {"outcome=\"too_large\"", AsNumber(Read(counters.datagramsTooLarge))},
              {"outcome=\"bad_checksum\"", AsNumber(Read(counters.datagramsBadChecksum))},
              {"outcome=\"echoed\"", AsNumber(Read(counters.datagramsEchoed))},
              {"outcome=\"receive_error\"", AsNumber(Read(counters.receiveErrors))}});
  out.Family("velantis_messages_received_total", "counter", "Valid packets by message type.",
             {{"type=\"connect\"", AsNumber(Read(counters.connectMessages))},
              {"type=\"disconnect\"", AsNumber(Read(counters.disconnectMessages))},
              {"type=\"position_update\"", AsNumber(Read(counters.positionMessages))},
              {"type=\"unknown\"", AsNumber(Read(counters.unknownMessages))}});
  out.Family("velantis_connects_refused_total", "counter",
             "Connects answered with nothing, by reason: an id already registered at another "
             "address (any address when sources are trusted), a source port no game client sends "
             "from, a new id when the registry is full (also a proof that finds it full), a "
             "server's announcement, more Connects from one address in a second than allowed, or "
             "a new id while the server is draining.",
             {{"reason=\"already_registered\"", AsNumber(Read(counters.connectsRefused))},
              {"reason=\"reserved_port\"", AsNumber(Read(counters.connectsFromReservedPort))},
              {"reason=\"full\"", AsNumber(Read(counters.connectsWhenFull))},
              {"reason=\"announcement\"", AsNumber(Read(counters.connectsAnnouncement))},
              {"reason=\"rate_limited\"", AsNumber(Read(counters.connectsRateLimited))},
              {"reason=\"draining\"", AsNumber(Read(counters.connectsWhenDraining))}});
  out.Family("velantis_draining", "gauge",
             "1 while the server drains on its way out: it admits no new player and serves the "
             "registered ones until they leave or the drain time is up; 0 otherwise.",
             NetworkingComponentServer::Admitting() ? 0.0 : 1.0);
  out.Family("velantis_messages_dropped_total", "counter",
             "Valid packets dropped unanswered, by reason: a position update from an address "
             "that is not registered and brings no valid proof, or a Connect, Disconnect or "
             "update of an id registered at another address.",
             {{"reason=\"unregistered_sender\"", AsNumber(Read(counters.updatesUnregistered))},
              {"reason=\"wrong_address\"", AsNumber(Read(counters.wrongAddress))}});
  out.Family("velantis_players_admitted_total", "counter",
             "Players registered by proving their address (a position update with the entity id "
             "of their Welcome).",
             AsNumber(Read(counters.admissions)));
  out.Family("velantis_players_timed_out_total", "counter",
             "Players forgotten after the idle timeout without a valid packet.",
             AsNumber(Read(counters.playersTimedOut)));
  out.Family("velantis_max_players", "gauge", "The most players registered at once.",
             AsNumber(NetworkingComponentServer::MaxPlayers()));
  out.Family("velantis_packets_sent_total", "counter",
             "Packets sent to players: announcements, welcomes and relayed position updates.",
             AsNumber(Read(counters.packetsSent)));
  out.Family("velantis_send_failures_total", "counter",
             "Packets that could not be sent (no socket, or the system refused the send).",
             AsNumber(Read(counters.sendFailures)));
  out.Family("velantis_log_writes_lost_total", "counter",
             "Log writes (a datagram's record each) dropped because the log file could not be "
             "opened or written.",
             AsNumber(LogsManager::LostWrites().load(std::memory_order_relaxed)));

  out.Family("velantis_receive_loop_progress_time_seconds", "gauge",
             "When the receive loop last finished with a datagram, in seconds since 1970 (the "
             "process's start before the first); stuck when datagrams wait meanwhile.",
             [&] {
               const std::uint64_t micros = Read(counters.receiveLoopProgressMicroseconds);
               return micros == 0 ? processStartSeconds : static_cast<double>(micros) / 1e6;
             }());
  const Platform::SocketHandle gameSocket = NetworkingComponentServer::GameSocket();
  if (const auto socket = gameSocket == Platform::kNoSocket
                              ? std::nullopt
                              : Platform::ReadSocketFigures(gameSocket)) {
    out.Family("velantis_socket_receive_buffer_bytes", "gauge",
               "The game socket's receive buffer as the system granted it.",
               AsNumber(socket->receiveBufferBytes));
    out.Family(
        "velantis_socket_receive_buffer_requested_bytes", "gauge",
        "The receive buffer asked for (--receive-buffer; 0: the system's default).",
        AsNumber(static_cast<std::uint64_t>(NetworkingComponentServer::ReceiveBufferRequest())));
    out.Family("velantis_socket_queued_bytes", "gauge",
               "Bytes received on the game socket and not yet read by the receive loop.",
               AsNumber(socket->queuedBytes));
    if (socket->drops) {
      out.Family("velantis_socket_drops_total", "counter",
                 "Datagrams the system dropped at the game socket for want of buffer room.",
                 AsNumber(*socket->drops));
    }
  }

  if (const auto process = Platform::ReadProcessStats()) {
    out.Family("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
               process->cpuSeconds);
    out.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               AsNumber(process->residentBytes));
    out.Family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
               AsNumber(process->virtualBytes));
    out.Family("process_open_fds", "gauge", "Number of open file descriptors.",
               AsNumber(process->openDescriptors));
    out.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.",
               AsNumber(process->maxDescriptors));
    out.Family("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.", processStartSeconds);
  }
  return out.text;
}
