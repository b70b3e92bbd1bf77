#if !defined(_WIN32)

#include <arpa/inet.h>
#if defined(__linux__)
#include <linux/sock_diag.h>
#endif
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace Platform {
namespace {

// Writes until every byte is out or the descriptor refuses; the number of bytes written.
std::size_t WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = ::write(fd, data + written, size - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  return written;
}

// Descriptor 0 is a real socket when standard input is closed, but 0 means "no socket" to the
// components; move such a socket to a descriptor above the standard streams.
int AvoidDescriptorZero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int savedErrno = errno;
  close(fd);
  errno = savedErrno;
  return moved;
}

// A write that failed part-way is cut off the file again. Nothing else writes to a log file, so
// its last `count` bytes are the ones the caller has just written; the file's size is only asked
// for then, which keeps a successful write at three system calls. Only a regular file is cut: a
// device such as /dev/full has no size. When even this fails there is nothing more to do, and the
// write is reported as failed all the same.
void TakeBack(int fd, std::size_t count) {
  struct stat now {};
  if (count == 0 || ::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) ||
      static_cast<std::size_t>(now.st_size) < count) {
    return;
  }
  const off_t length = now.st_size - static_cast<off_t>(count);
  while (::ftruncate(fd, length) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool StartSocketLibrary() { return true; }
void StopSocketLibrary() {}
int LastSocketError() { return errno; }

SocketHandle OpenSocket(SocketKind kind) {
  const int type = kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_STREAM;
  const int protocol = kind == SocketKind::Datagram ? IPPROTO_UDP : IPPROTO_TCP;
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return kNoSocket;
  fd = AvoidDescriptorZero(fd);
  return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) ::close(static_cast<int>(socket));
}

bool Bind(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in native = ToSockaddr(address);
  return ::bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&native),
                sizeof(native)) == 0;
}

bool Listen(SocketHandle socket, int backlog) {
  return ::listen(static_cast<int>(socket), backlog) == 0;
}

bool Connect(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in native = ToSockaddr(address);
  return ::connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&native),
                   sizeof(native)) == 0;
}

bool Accept(SocketHandle socket, Ipv4Address& peer, int& peerLength) {
  sockaddr_in native{};
  socklen_t length = sizeof(native);
  const int fd = ::accept4(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&native), &length,
                           SOCK_CLOEXEC);
  if (fd < 0) return false;
  peer = FromSockaddr(native);
  peerLength = static_cast<int>(length);
  return true;
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const Ipv4Address& target) {
  const sockaddr_in native = ToSockaddr(target);
  return static_cast<long>(::sendto(static_cast<int>(socket), data, size, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(&native), sizeof(native)));
}

long SendBatch(SocketHandle socket, const OutgoingDatagram* datagrams, std::size_t count) {
#if defined(__linux__)
  // A batch goes to the kernel in slices of this many, kept on the stack so that sending allocates
  // nothing; the kernel stops a slice at its first failure and reports how many went before it.
  constexpr std::size_t kSlice = 64;
  std::size_t sent = 0;
  while (sent < count) {
    const std::size_t slice = count - sent < kSlice ? count - sent : kSlice;
    mmsghdr messages[kSlice];
    iovec vectors[kSlice];
    sockaddr_in targets[kSlice];
    for (std::size_t i = 0; i < slice; ++i) {
      const OutgoingDatagram& datagram = datagrams[sent + i];
      targets[i] = ToSockaddr(*datagram.target);
      vectors[i] = iovec{const_cast<void*>(datagram.data), datagram.size};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &targets[i];
      messages[i].msg_hdr.msg_namelen = sizeof(targets[i]);
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int result = 0;
    do {
      result = ::sendmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(slice),
                          MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return sent == 0 ? -1 : static_cast<long>(sent);
    sent += static_cast<std::size_t>(result);
    if (static_cast<std::size_t>(result) < slice) break;
  }
  return static_cast<long>(sent);
#else
  for (std::size_t i = 0; i < count; ++i) {
    if (SendTo(socket, datagrams[i].data, datagrams[i].size, *datagrams[i].target) < 0) {
      return i == 0 ? -1 : static_cast<long>(i);
    }
  }
  return static_cast<long>(count);
#endif
}

long ReceiveWaiting(SocketHandle socket, IncomingDatagram* slots, std::size_t count) {
#if defined(__linux__)
  constexpr std::size_t kSlice = 64;
  const std::size_t slice = count < kSlice ? count : kSlice;
  mmsghdr messages[kSlice];
  iovec vectors[kSlice];
  sockaddr_in senders[kSlice];
  for (std::size_t i = 0; i < slice; ++i) {
    vectors[i] = iovec{slots[i].buffer, slots[i].capacity};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof(senders[i]);
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int received = ::recvmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(slice),
                                  MSG_DONTWAIT, nullptr);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  for (int i = 0; i < received; ++i) {
    const bool truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    slots[i].size = truncated ? -1 : static_cast<long>(messages[i].msg_len);
    slots[i].from = FromSockaddr(senders[i]);
  }
  return received;
#else
  std::size_t filled = 0;
  while (filled < count && WaitReadable(socket, 0)) {
    int fromLength = sizeof(Ipv4Address);
    IncomingDatagram& slot = slots[filled];
    slot.size = ReceiveFrom(socket, slot.buffer, slot.capacity, slot.from, fromLength);
    if (slot.size < 0 && errno != EMSGSIZE) return filled == 0 ? -1 : static_cast<long>(filled);
    ++filled;
  }
  return static_cast<long>(filled);
#endif
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Ipv4Address& from,
                 int& fromLength) {
  sockaddr_in native{};
  iovec vector{buffer, capacity};
  msghdr message{};
  message.msg_name = &native;
  message.msg_namelen = sizeof(native);
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  const ssize_t received = ::recvmsg(static_cast<int>(socket), &message, 0);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kReceiveTimedOut : -1;
  fromLength = static_cast<int>(message.msg_namelen);
  from = FromSockaddr(native);
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    errno = EMSGSIZE;
    return -1;
  }
  return static_cast<long>(received);
}

bool SetReceiveTimeout(SocketHandle socket, int milliseconds) {
  const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                      sizeof(timeout)) == 0;
}

bool SetReceiveBuffer(SocketHandle socket, int bytes) {
  return ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0;
}

std::optional<SocketFigures> ReadSocketFigures(SocketHandle socket) {
  const int fd = static_cast<int>(socket);
  int granted = 0;
  socklen_t length = sizeof(granted);
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return std::nullopt;
  SocketFigures figures;
  figures.receiveBufferBytes = static_cast<std::uint64_t>(granted);
#if defined(__linux__)
  // The kernel's own accounting of the socket, drops included (what the UDP table shows too).
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  length = sizeof(memory);
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
    figures.queuedBytes = memory[SK_MEMINFO_RMEM_ALLOC];
    figures.drops = memory[SK_MEMINFO_DROPS];
  }
#endif
  return figures;
}

bool IsDatagramTooLarge(int socketError) { return socketError == EMSGSIZE; }

void StopReceiving(SocketHandle socket) {
  // On an unconnected UDP socket Linux answers ENOTCONN but still marks the socket shut for
  // reading and wakes its readers, which is all that is wanted here.
  ::shutdown(static_cast<int>(socket), SHUT_RD);
}

bool WaitReadable(SocketHandle socket, int timeoutMilliseconds) {
  pollfd entry{static_cast<int>(socket), POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, timeoutMilliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool IgnorePortUnreachable(SocketHandle /*socket*/) { return true; }

std::uint16_t LocalPort(SocketHandle socket) {
  SocketAddress local;
  socklen_t length = sizeof(local.bytes);
  if (::getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(local.bytes), &length) !=
      0) {
    return 0;
  }
  local.length = static_cast<int>(length);
  return PortOf(local);
}

std::string ResolveErrorText(int error) {
  if (error == EAI_SYSTEM) return std::strerror(errno);
  return ::gai_strerror(error);
}

SocketHandle OpenDatagramSocketFor(const SocketAddress& address) {
  int fd = ::socket(IsIpv6(address) ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return kNoSocket;
  fd = AvoidDescriptorZero(fd);
  return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
}

bool Bind(SocketHandle socket, const SocketAddress& address) {
  return ::bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                static_cast<socklen_t>(address.length)) == 0;
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& target) {
  return static_cast<long>(::sendto(static_cast<int>(socket), data, size, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(target.bytes),
                                    static_cast<socklen_t>(target.length)));
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress& from) {
  from = SocketAddress{};
  iovec vector{buffer, capacity};
  msghdr message{};
  message.msg_name = from.bytes;
  message.msg_namelen = sizeof(from.bytes);
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  const ssize_t received = ::recvmsg(static_cast<int>(socket), &message, 0);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kReceiveTimedOut : -1;
  from.length = static_cast<int>(message.msg_namelen);
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    errno = EMSGSIZE;
    return -1;
  }
  return static_cast<long>(received);
}

ThreadHandle StartThread(ThreadRoutine routine, void* argument) {
  struct Start {
    ThreadRoutine routine;
    void* argument;
  };
  auto* start = new Start{routine, argument};
  pthread_t thread{};
  const auto trampoline = [](void* raw) -> void* {
    const Start copy = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    copy.routine(copy.argument);
    return nullptr;
  };
  if (pthread_create(&thread, nullptr, trampoline, start) != 0) {
    delete start;
    return nullptr;
  }
  // Nobody ever joins these threads; detaching lets a routine that returns free its resources.
  pthread_detach(thread);
  return reinterpret_cast<ThreadHandle>(thread);
}

void AttachConsole() {
  // A console line must never end the server: when whoever reads its output goes away (a closed
  // pipe), writes fail quietly instead of raising SIGPIPE, whose default is to kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Likewise a log that grows past the process's file size limit (RLIMIT_FSIZE): the write fails
  // with EFBIG and is reported like a full disk, instead of SIGXFSZ ending the server.
  std::signal(SIGXFSZ, SIG_IGN);
}

void WriteConsoleLine(bool errorStream, const char* data, std::size_t size) {
  std::FILE* stream = errorStream ? stderr : stdout;
  std::fflush(stream);
  WriteAll(fileno(stream), data, size);
}

std::optional<std::string> LocalAppDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/share";
  return std::nullopt;
}

WriteResult WriteTextFile(const std::string& utf8Path, const char* data, std::size_t size,
                          bool append) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  const int fd = ::open(utf8Path.c_str(), flags, 0644);
  if (fd < 0) return WriteResult::OpenFailed;
  const std::size_t written = WriteAll(fd, data, size);
  bool complete = written == size;
  // A full disk often takes part of the text before it refuses the rest; a line cut in the middle
  // would run into the next one, so the part is taken back. Cutting back needs no new space.
  if (!complete) TakeBack(fd, written);
  // Some file systems (NFS among them) only report a failed write when the file is closed. Then
  // nobody can tell how much of the text reached the file, and cutting off its length could take
  // earlier lines with it, so the file is left as the file system keeps it.
  if (::close(fd) != 0) complete = false;
  return complete ? WriteResult::Written : WriteResult::WriteFailed;
}

bool ReplaceFileAtomically(const std::string& utf8Path, const char* data, std::size_t size) {
  const std::string fresh = utf8Path + ".new";
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = WriteAll(fd, data, size) == size && ::fsync(fd) == 0;
  if (::close(fd) != 0) written = false;
  if (!written || ::rename(fresh.c_str(), utf8Path.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return false;
  }
  return true;
}

ReadResult ReadPlainFile(const std::string& utf8Path, std::size_t maxBytes, std::string& contents) {
  contents.clear();
  const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Missing;
    return errno == ELOOP || errno == ENXIO ? ReadResult::NotAPlainFile : ReadResult::Failed;
  }
  struct stat status {};
  ReadResult result = ReadResult::Read;
  if (::fstat(fd, &status) != 0) {
    result = ReadResult::Failed;
  } else if (!S_ISREG(status.st_mode)) {
    result = ReadResult::NotAPlainFile;
  } else if (static_cast<std::uint64_t>(status.st_size) > maxBytes) {
    result = ReadResult::TooLarge;
  } else {
    // One byte more than allowed tells a file that grew while it was read.
    contents.resize(maxBytes + 1);
    std::size_t filled = 0;
    for (;;) {
      const ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) result = ReadResult::Failed;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
      if (filled == contents.size()) {
        result = ReadResult::TooLarge;
        break;
      }
    }
    contents.resize(result == ReadResult::Read ? filled : 0);
  }
  ::close(fd);
  return result;
}

void BlockForever() {
  for (;;) pause();
}

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

void HoldStopRequests() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
}

bool WaitForStopRequest(int timeoutMilliseconds) {
  const sigset_t signals = StopSignals();
  const timespec limit{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000000L};
  int received = 0;
  do {
    received = ::sigtimedwait(&signals, nullptr, &limit);
  } while (received < 0 && errno == EINTR);
  return received > 0;
}

void RequestStop() {
  // Every thread holds the stop signals, so this one waits until WaitForStopRequest takes it.
  ::kill(getpid(), SIGTERM);
}

bool ErrorStreamIsJournal() {
  // "DEVICE:INODE" of the stream journald connected; standard error may since have been
  // redirected elsewhere, so it must still be that very file.
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat standardError {};
  return ::fstat(STDERR_FILENO, &standardError) == 0 && standardError.st_dev == device &&
         standardError.st_ino == inode;
}

void LowerThreadPriority() {
#if defined(__linux__)
  // Linux keeps a nice value per thread; any process may raise its own.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
#endif
}

bool SetEnvironment(const char* name, const char* value) {
  return value == nullptr ? ::unsetenv(name) == 0 : ::setenv(name, value, 1) == 0;
}

long CurrentProcessId() { return static_cast<long>(getpid()); }

std::optional<ProcessStats> ReadProcessStats(long pid) {
#if defined(__linux__)
  const std::string folder = pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid);
  // stat: the command name in parentheses may hold spaces, so fields are counted from the last
  // ')': state is field 3, utime 14, stime 15, vsize 23, rss (in pages) 24.
  std::ifstream statFile(folder + "/stat");
  std::string stat;
  if (!std::getline(statFile, stat)) return std::nullopt;
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0, vsize = 0, rssPages = 0;
  for (int number = 3; number <= 24 && fields >> field; ++number) {
    const unsigned long long value = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 14) utime = value;
    if (number == 15) stime = value;
    if (number == 23) vsize = value;
    if (number == 24) rssPages = value;
  }
  if (!fields) return std::nullopt;
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (ticksPerSecond <= 0 || pageSize <= 0) return std::nullopt;

  ProcessStats stats;
  stats.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(ticksPerSecond);
  stats.virtualBytes = vsize;
  stats.residentBytes = rssPages * static_cast<unsigned long long>(pageSize);
  std::ifstream statusFile(folder + "/status");
  for (std::string line; std::getline(statusFile, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      stats.peakResidentBytes = std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
  }
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder + "/fd", error), end;
       !error && entry != end; entry.increment(error)) {
    ++stats.openDescriptors;
  }
  // Reading its own, the process lists the iterator's descriptor too.
  if ((pid == 0 || pid == getpid()) && stats.openDescriptors > 0) --stats.openDescriptors;
  rlimit limit{};
  if (prlimit(static_cast<pid_t>(pid), RLIMIT_NOFILE, nullptr, &limit) == 0) {
    stats.maxDescriptors = limit.rlim_cur;
  }
  return stats;
#else
  return std::nullopt;
#endif
}

}  // namespace Platform

#endif
