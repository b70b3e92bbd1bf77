#pragma once

#include <cstddef>
#include <cstdint>

#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"

// Snapshots, for the players who ask for them in their Connect: once per tick such a player gets
// the latest position of every player that moved lately, many to a datagram, instead of one
// 1056-byte relay per update. Everything here runs on the receive thread.
namespace Snapshots {

// The four bytes at the end of a Connect that ask for snapshots ("SNP1" little-endian), and of
// the Welcome that grants them. Clients of the original protocol leave them zero; a magic value
// rather than a bit keeps stray bytes from asking by accident.
inline constexpr std::uint32_t kCapability = 0x31504e53;
inline constexpr MessageType kMessageType = static_cast<MessageType>(6);
// Datagram layout: the packet's first 32 bytes (type 6, checksum over the whole datagram), then
// tick (u32), entry count (u16), part and parts (u8 each), the entries of player id (u64), entity
// id (u32), x, y (f32 each), and last the acknowledgement, ack and ack bits (u32 each).
inline constexpr std::size_t kEntriesAt = 40;
inline constexpr std::size_t kAckSize = 8;
inline constexpr std::size_t kEntrySize = 20;
inline constexpr std::size_t kEntriesPerDatagram =
    (Packet::kSize - kEntriesAt - kAckSize) / kEntrySize;
// A player that stops moving is sent in this many consecutive snapshots, so that one or two lost
// datagrams are mended by the next; and everyone is sent once a second whatever they did.
inline constexpr std::uint64_t kRepeats = 3;

bool Asks(const Packet& connect);
void Grant(Packet& welcome);
// Clears the ask, so that announcements carry the Connect as the original protocol has it.
void Strip(Packet& connect);

// Ticks a second; 0 grants no snapshots.
void SetTickRate(unsigned hz);
unsigned TickRate();

// With N (1 to kEntriesPerDatagram - 1) nearest players of interest, a world whose known
// positions fill more than one datagram sends each snapshot player one datagram a tick of its
// own: its N nearest, and the rest of the datagram taken in turn from everyone else. 0: off,
// every player that moved goes to everyone.
inline constexpr unsigned kMaxInterest = static_cast<unsigned>(kEntriesPerDatagram) - 1;
void SetInterest(unsigned nearest);
unsigned Interest();

// Counts the snapshot players after the registry changed; none costs the relay nothing.
void Recount(const NetworkingComponentServer::ClientRegistry& clients);
std::size_t Players();

// Whether the update's text differs from the sender's last one: only then do snapshot players
// get the update as a relay too.
bool TextChanged(const NetworkingComponentServer::Player& sender, const Packet& update);
// Takes a registered player's update into its snapshot state.
void Record(NetworkingComponentServer::Player& sender, const Packet& update);

// How long the receive loop may wait for a datagram: a slice of a tick while snapshot players
// exist.
int ReceiveTimeoutMs();
// Sends the next slice of the tick's snapshots when it is due.
void TickIfDue(std::uint64_t nowMicroseconds, Platform::SocketHandle serverSocket);

}  // namespace Snapshots
