#pragma once

#include <array>
#include <string>
#include <string_view>

// The console lines and log texts the server writes for one relayed position update, at their
// real lengths: what the floor writes in its place, in the benchmarks and in the floor server.
// The server writes the ten log lines of a datagram as one record, with one open-append-close.
namespace FloorLines {

constexpr std::string_view kSizeLine =
    "NetworkingComponentServer(): Message of size 1056 bytes received.\n";
constexpr std::string_view kSocketLine = "NetworkingComponent(): Socket initialized successfully\n";
constexpr std::string_view kSentLine = "NetworkingComponent(): Message of size 1056 bytes sent.\n";
constexpr std::array<std::string_view, 10> kLogLines = {
    "NetworkingComponent(): Message of size 1056 bytes received. \n",
    "========= [RECEIVE] ========== \n",
    "Checksum: 13446081536183484551\n",
    "From clientID: 1000000\n",
    "MessageNumber: 1234\n",
    "MessageType: 5\n",
    "Message: lg 123456789 1234567890\n",
    "PlayerUUID: 1000000\n",
    "EntityID: 0\n",
    "=================== \n",
};

inline std::string LogRecord() {
  std::string record;
  for (const std::string_view line : kLogLines) record.append(line);
  return record;
}

}  // namespace FloorLines
