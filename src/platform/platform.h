// The few operating-system services the server needs, declared once.
//
// posix.cpp and windows.cpp implement them; each compiles to nothing on the other system. Callers
// above this layer never include an OS header and never read errno or WSAGetLastError themselves:
// every operation reports its outcome in the terms the caller needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Platform {

// A socket handle widened to 64 bits. 0 means "no socket": the layer never hands out a socket
// that reads as 0, even where the OS would (a POSIX descriptor is 0 when standard input is closed).
using SocketHandle = std::uint64_t;
inline constexpr SocketHandle kNoSocket = 0;

// The IPv4 socket address exactly as the OS lays it out: family, port and address in network byte
// order, then eight zero bytes. Kept byte-compatible so it can be handed to the OS with memcpy.
struct Ipv4Address {
  std::uint16_t family = 0;
  std::uint16_t port = 0;     // network byte order
  std::uint32_t address = 0;  // network byte order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(Ipv4Address) == 16);

inline constexpr std::uint16_t kAddressFamilyIpv4 = 2;

using ThreadHandle = void*;
using ThreadRoutine = std::uint32_t (*)(void* argument);

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Socket library: one successful start per use, one stop per closed socket (Winsock counts them;
// POSIX needs neither). Start returns false with LastSocketError() set on failure.
bool StartSocketLibrary();
void StopSocketLibrary();

// The error number of the last failed socket operation on this thread: errno on POSIX,
// WSAGetLastError() on Windows.
int LastSocketError();

enum class SocketKind { Datagram, Stream };

// Opens an IPv4 socket (UDP for Datagram, TCP for Stream); kNoSocket on failure.
SocketHandle OpenSocket(SocketKind kind);
void CloseSocket(SocketHandle socket);
bool Bind(SocketHandle socket, const Ipv4Address& address);
bool Listen(SocketHandle socket, int backlog);
bool Connect(SocketHandle socket, const Ipv4Address& address);
// Accepts one connection and leaves it open; false when accepting failed.
bool Accept(SocketHandle socket, Ipv4Address& peer, int& peerLength);

// Keeps the ICMP "port unreachable" that an earlier send from the socket drew from failing the
// socket's next receive: Windows reports it there as WSAECONNRESET unless told not to; POSIX never
// reports it on an unconnected socket. False when the system refused.
bool IgnorePortUnreachable(SocketHandle socket);

// Sends one datagram; returns the bytes sent or -1 on failure.
long SendTo(SocketHandle socket, const void* data, std::size_t size, const Ipv4Address& target);

// One datagram of a batch: its bytes and where it goes.
struct OutgoingDatagram {
  const void* data = nullptr;
  std::size_t size = 0;
  const Ipv4Address* target = nullptr;
};

// Sends the datagrams in order with as few system calls as the system allows (sendmmsg on Linux,
// one sendto each elsewhere). Returns how many went out before the first one that did not: `count`
// when all did, -1 with LastSocketError() set when the first failed. Whatever the platform, a
// caller learns of a failure at datagram k by sending again from k, which then fails first.
long SendBatch(SocketHandle socket, const OutgoingDatagram* datagrams, std::size_t count);

// One slot of a batch receive: the caller's buffer, and what arrived in it. `size` is -1 for a
// datagram larger than `capacity` (dropped, as ReceiveFrom fails on one).
struct IncomingDatagram {
  void* buffer = nullptr;
  std::size_t capacity = 0;
  long size = 0;
  Ipv4Address from;
};

// Receives, without waiting, up to `count` datagrams already queued on the socket (recvmmsg on
// Linux, a loop of ReceiveFrom elsewhere). Returns how many slots were filled, 0 when nothing was
// waiting, -1 on failure with LastSocketError() set.
long ReceiveWaiting(SocketHandle socket, IncomingDatagram* slots, std::size_t count);

// Receives one datagram. Returns its size, or -1 on failure with LastSocketError() set. A datagram
// larger than `capacity` is a failure with the system's "message too long" error on every
// platform (Windows reports it itself; POSIX would silently truncate, so this layer detects it).
// On a socket given a receive timeout, kReceiveTimedOut when none came in that time.
inline constexpr long kReceiveTimedOut = -2;
long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Ipv4Address& from,
                 int& fromLength);

// Makes every later ReceiveFrom on the socket give up after `milliseconds` without a datagram
// (kReceiveTimedOut), so that a receive loop also wakes when nothing arrives. False when refused.
bool SetReceiveTimeout(SocketHandle socket, int milliseconds);

// Asks the system for a receive buffer of `bytes` for the socket, before it is bound. The system
// may grant less (Linux: at most net.core.rmem_max, which it then doubles for its own bookkeeping);
// ReadSocketFigures tells what was granted. False when refused outright.
bool SetReceiveBuffer(SocketHandle socket, int bytes);

// What the system says of a socket's receiving side.
struct SocketFigures {
  std::uint64_t receiveBufferBytes = 0;  // as granted
  std::uint64_t queuedBytes = 0;         // received and not yet read (Linux; 0 elsewhere)
  std::optional<std::uint64_t> drops;    // datagrams dropped for want of room (Linux)
};
std::optional<SocketFigures> ReadSocketFigures(SocketHandle socket);

// Whether a failed receive's error number (LastSocketError()) is the "message too long" of a
// datagram larger than the buffer.
bool IsDatagramTooLarge(int socketError);

// Makes a thread blocked in ReceiveFrom on the socket return (POSIX: with 0 bytes, and so does
// every later receive). For stopping a receive loop; the socket stays open.
void StopReceiving(SocketHandle socket);

// Waits until a datagram (or a connection) can be read: true when one is ready, false when the
// time ran out or waiting failed. For tools and tests; the server itself blocks in ReceiveFrom.
bool WaitReadable(SocketHandle socket, int timeoutMilliseconds);

// The port the socket is bound to, in host byte order; 0 when it cannot be told.
std::uint16_t LocalPort(SocketHandle socket);

// Converts dotted IPv4 text: 1 converted, 0 not an IPv4 text, -1 error (LastSocketError() set).
int ParseIpv4(const char* text, std::uint32_t& networkOrderAddress);

std::uint16_t HostToNetwork16(std::uint16_t value);

// A UDP socket address of either family, IPv4 or IPv6, exactly as the OS lays it out: the bytes of
// a sockaddr_storage and how many of them count. Filled by ResolveAddress and by a receive; above
// this layer it is handed back, compared and asked about, never read field by field.
struct SocketAddress {
  alignas(8) std::uint8_t bytes[128] = {};
  int length = 0;
};

// Resolves a host name, a dotted IPv4 address or an IPv6 literal (getaddrinfo, every platform) to
// one UDP address with the port. Of several results it takes the first IPv4 one this machine has
// a route to, else the first IPv6 one it has a route to, else the first: the server serves IPv4,
// and a host on an IPv6-only network (NAT64) reaches it through the IPv6 address its resolver
// synthesized. Returns 0, or the resolver's error, which ResolveErrorText puts in words. Resolving
// may wait on the network; on Windows the socket library must have been started.
int ResolveAddress(const char* host, std::uint16_t hostOrderPort, SocketAddress& address);
std::string ResolveErrorText(int error);

bool IsIpv6(const SocketAddress& address);
bool IsLoopback(const SocketAddress& address);
// The same address family's loopback (`loopback`) or wildcard address, with the port: what a
// socket talking to `peer` binds to.
SocketAddress LocalAddressFor(const SocketAddress& peer, bool loopback,
                              std::uint16_t hostOrderPort);
// Same family and address; SameEndpoint also compares the port.
bool SameHost(const SocketAddress& first, const SocketAddress& second);
bool SameEndpoint(const SocketAddress& first, const SocketAddress& second);
std::uint16_t PortOf(const SocketAddress& address);  // host byte order
std::uint32_t Ipv4Of(const SocketAddress& address);  // network byte order; 0 for IPv6
// The address without the port as text ("127.0.0.1", "::1"); "" when it cannot be told.
std::string AddressText(const SocketAddress& address);

// A UDP socket of the address's family; kNoSocket on failure (LastSocketError() set).
SocketHandle OpenDatagramSocketFor(const SocketAddress& address);
bool Bind(SocketHandle socket, const SocketAddress& address);
long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& target);
// As the IPv4 ReceiveFrom above, for a socket of either family.
long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress& from);

inline Ipv4Address MakeIpv4Address(std::uint32_t networkOrderAddress, std::uint16_t hostOrderPort) {
  Ipv4Address record;
  record.family = kAddressFamilyIpv4;
  record.port = HostToNetwork16(hostOrderPort);
  record.address = networkOrderAddress;
  return record;
}

// 127.0.0.1 with the port: where tools, tests and benchmarks talk to a server on this machine.
inline Ipv4Address LoopbackAddress(std::uint16_t hostOrderPort) {
  std::uint32_t loopback = 0;
  ParseIpv4("127.0.0.1", loopback);
  return MakeIpv4Address(loopback, hostOrderPort);
}

// Starts a thread running routine(argument) at once; nullptr when it could not be started.
ThreadHandle StartThread(ThreadRoutine routine, void* argument);

// Gives a windowed process a console and re-opens standard output and input on it. POSIX
// processes keep the standard streams they were given; neither a closed reader of them nor a file
// size limit reached by the log ever ends the process.
void AttachConsole();

// Writes one whole console line (its line end included) to standard output or standard error and
// makes sure it has left the process. POSIX hands it to the descriptor in one write(2), after
// whatever the C library still buffered for the stream, so the order of lines is kept; elsewhere
// it goes through the C library and is flushed. A line nobody can take (a reader gone away) is
// dropped quietly.
void WriteConsoleLine(bool errorStream, const char* data, std::size_t size);

// The current user's local application-data folder as UTF-8, without a trailing separator.
std::optional<std::string> LocalAppDataFolder();

// What became of one WriteTextFile call.
enum class WriteResult {
  Written,
  // The file could not be opened (a missing folder, no permission); nothing was written.
  OpenFailed,
  // The file was opened but not every byte reached it, or closing it failed (a full disk, an I/O
  // error, a file size limit). Whatever part of the text a failed write had added is cut off
  // again, so the file never ends with a piece of the text. (When only closing fails, POSIX
  // cannot tell how much reached the file and leaves it as it is.)
  WriteFailed,
};

// Opens the file (creating it; appending or truncating), writes the bytes in the platform's text
// mode and closes it again.
WriteResult WriteTextFile(const std::string& utf8Path, const char* data, std::size_t size,
                          bool append);

// Writes the bytes to a new file beside the one named (its name and ".new") and puts it in that
// file's place once they have reached the disk: whoever reads the file, also after a crash, finds
// the old one or the whole new one. False when any step failed (the old file is then untouched).
bool ReplaceFileAtomically(const std::string& utf8Path, const char* data, std::size_t size);

// What became of one ReadPlainFile call.
enum class ReadResult {
  Read,
  Missing,
  // A link, a pipe, a device or a folder: never followed, never waited on.
  NotAPlainFile,
  TooLarge,
  Failed,
};

// Reads a whole plain file of at most `maxBytes` into `contents`, without following a link at its
// name (POSIX O_NOFOLLOW, Windows FILE_FLAG_OPEN_REPARSE_POINT) and without waiting on a pipe.
ReadResult ReadPlainFile(const std::string& utf8Path, std::size_t maxBytes, std::string& contents);

// Blocks the calling thread for ever without using the processor.
[[noreturn]] void BlockForever();

// Stop requests: on POSIX, SIGTERM and SIGINT. HoldStopRequests must run before any thread starts
// (threads inherit it): it keeps the signals for WaitForStopRequest instead of their default
// action, which also makes them reach a server that runs as PID 1, where the kernel drops a signal
// that has no handler. WaitForStopRequest returns once one has arrived, each request taken once;
// with a time limit it returns false when none came within it. RequestStop makes a request from
// inside the process, as a signal would. Windows keeps its own ways (Ctrl+C, closing the console
// window end the process), so there only RequestStop makes one.
void HoldStopRequests();
void WaitForStopRequest();
bool WaitForStopRequest(int timeoutMilliseconds);
void RequestStop();

// Whether standard error is the stream journald gave the service (JOURNAL_STREAM names it), so
// that a line may begin with a syslog priority such as "<3>"; false on Windows.
bool ErrorStreamIsJournal();

// Lets the calling thread yield the processor to the others of the process when they compete:
// for work that must never slow the game, such as answering metrics scrapes.
void LowerThreadPriority();

// Sets (or, for a null value, removes) an environment variable of this process: tools and tests
// point the data folder elsewhere.
bool SetEnvironment(const char* name, const char* value);

// The process id of the running process, for tools and tests.
long CurrentProcessId();

// What a process uses, as the kernel counts it.
struct ProcessStats {
  double cpuSeconds = 0.0;  // user and system time
  std::uint64_t residentBytes = 0;
  std::uint64_t peakResidentBytes = 0;
  std::uint64_t virtualBytes = 0;
  std::uint64_t openDescriptors = 0;
  std::uint64_t maxDescriptors = 0;  // the soft limit
};
// Of process `pid`, 0 for the running process. Read from /proc on Linux; nothing on other systems
// or when /proc cannot be read. Another user's process may not show its descriptors (0).
std::optional<ProcessStats> ReadProcessStats(long pid = 0);

}  // namespace Platform

// The program's own entry, called by the operating system's entry function (main on POSIX, the
// windowed WinMain on Windows) in entry.cpp with the command line as UTF-8 arguments, the
// program's name first.
int ProcessEntry(int argc, char** argv);

namespace Platform {}  // namespace Platform
