#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Order matters: winsock2.h must come before windows.h, and the shell headers after both.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <io.h>
#include <share.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace Platform {
namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

std::wstring Widen(const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

// Cuts a file back to `length`. When even this fails there is nothing more to do: the write is
// reported as failed all the same.
void CutBack(HANDLE file, LARGE_INTEGER length) {
  if (SetFilePointerEx(file, length, nullptr, FILE_BEGIN) != 0) SetEndOfFile(file);
}

}  // namespace

bool StartSocketLibrary() {
  WSADATA data{};
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (result != 0) {
    // WSAStartup returns its error instead of setting the last error.
    WSASetLastError(result);
    return false;
  }
  // A Winsock older than 2.2 would still succeed, offering its own version; that is no use.
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    WSACleanup();
    WSASetLastError(WSAVERNOTSUPPORTED);
    return false;
  }
  return true;
}

void StopSocketLibrary() { WSACleanup(); }

int LastSocketError() { return WSAGetLastError(); }

SocketHandle OpenSocket(SocketKind kind) {
  const int type = kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_STREAM;
  const int protocol = kind == SocketKind::Datagram ? IPPROTO_UDP : IPPROTO_TCP;
  const SOCKET socket = ::socket(AF_INET, type, protocol);
  if (socket == INVALID_SOCKET) return kNoSocket;
  return static_cast<SocketHandle>(socket);
}

bool IgnorePortUnreachable(SocketHandle socket) {
  BOOL reportReset = FALSE;
  DWORD returned = 0;
  return WSAIoctl(Native(socket), SIO_UDP_CONNRESET, &reportReset, sizeof(reportReset), nullptr, 0,
                  &returned, nullptr, nullptr) == 0;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) closesocket(Native(socket));
}

bool Bind(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in native = ToSockaddr(address);
  return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(&native), sizeof(native)) == 0;
}

bool Listen(SocketHandle socket, int backlog) { return ::listen(Native(socket), backlog) == 0; }

bool Connect(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in native = ToSockaddr(address);
  return ::connect(Native(socket), reinterpret_cast<const sockaddr*>(&native), sizeof(native)) == 0;
}

bool Accept(SocketHandle socket, Ipv4Address& peer, int& peerLength) {
  sockaddr_in native{};
  int length = sizeof(native);
  const SOCKET accepted = ::accept(Native(socket), reinterpret_cast<sockaddr*>(&native), &length);
  if (accepted == INVALID_SOCKET) return false;
  peer = FromSockaddr(native);
  peerLength = length;
  return true;
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const Ipv4Address& target) {
  const sockaddr_in native = ToSockaddr(target);
  return ::sendto(Native(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<const sockaddr*>(&native), sizeof(native));
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Ipv4Address& from,
                 int& fromLength) {
  sockaddr_in native{};
  int length = sizeof(native);
  const int received =
      ::recvfrom(Native(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                 reinterpret_cast<sockaddr*>(&native), &length);
  fromLength = length;
  from = FromSockaddr(native);
  if (received != SOCKET_ERROR) return received;
  return WSAGetLastError() == WSAETIMEDOUT ? kReceiveTimedOut : -1;
}

bool SetReceiveTimeout(SocketHandle socket, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  return ::setsockopt(Native(socket), SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&timeout), sizeof(timeout)) == 0;
}

long SendBatch(SocketHandle socket, const OutgoingDatagram* datagrams, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (SendTo(socket, datagrams[i].data, datagrams[i].size, *datagrams[i].target) < 0) {
      return i == 0 ? -1 : static_cast<long>(i);
    }
  }
  return static_cast<long>(count);
}

long ReceiveWaiting(SocketHandle socket, IncomingDatagram* slots, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count && WaitReadable(socket, 0)) {
    int fromLength = sizeof(Ipv4Address);
    IncomingDatagram& slot = slots[filled];
    slot.size = ReceiveFrom(socket, slot.buffer, slot.capacity, slot.from, fromLength);
    // A datagram too large for its buffer is dropped like one received; anything else (an earlier
    // "port unreachable" among them) ends the batch.
    if (slot.size < 0 && WSAGetLastError() != WSAEMSGSIZE) {
      return filled == 0 ? -1 : static_cast<long>(filled);
    }
    ++filled;
  }
  return static_cast<long>(filled);
}

bool SetReceiveBuffer(SocketHandle socket, int bytes) {
  return ::setsockopt(Native(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof(bytes)) == 0;
}

std::optional<SocketFigures> ReadSocketFigures(SocketHandle socket) {
  int granted = 0;
  int length = sizeof(granted);
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted),
                   &length) != 0) {
    return std::nullopt;
  }
  SocketFigures figures;
  figures.receiveBufferBytes = static_cast<std::uint64_t>(granted);
  return figures;
}

bool IsDatagramTooLarge(int socketError) { return socketError == WSAEMSGSIZE; }

void StopReceiving(SocketHandle socket) { ::shutdown(Native(socket), SD_RECEIVE); }

bool WaitReadable(SocketHandle socket, int timeoutMilliseconds) {
  WSAPOLLFD entry{Native(socket), POLLRDNORM, 0};
  return WSAPoll(&entry, 1, timeoutMilliseconds) > 0;
}

std::uint16_t LocalPort(SocketHandle socket) {
  SocketAddress local;
  int length = sizeof(local.bytes);
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(local.bytes), &length) != 0) {
    return 0;
  }
  local.length = length;
  return PortOf(local);
}

std::string ResolveErrorText(int error) {
  char text[256] = {};
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, text, sizeof(text), nullptr) == 0) {
    std::snprintf(text, sizeof(text), "resolver error %d", error);
  }
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

SocketHandle OpenDatagramSocketFor(const SocketAddress& address) {
  const SOCKET socket = ::socket(IsIpv6(address) ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket == INVALID_SOCKET) return kNoSocket;
  return static_cast<SocketHandle>(socket);
}

bool Bind(SocketHandle socket, const SocketAddress& address) {
  return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(address.bytes), address.length) ==
         0;
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& target) {
  return ::sendto(Native(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<const sockaddr*>(target.bytes), target.length);
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress& from) {
  from = SocketAddress{};
  int length = sizeof(from.bytes);
  const int received =
      ::recvfrom(Native(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                 reinterpret_cast<sockaddr*>(from.bytes), &length);
  from.length = length;
  return received == SOCKET_ERROR ? -1 : received;
}

ThreadHandle StartThread(ThreadRoutine routine, void* argument) {
  struct Start {
    ThreadRoutine routine;
    void* argument;
  };
  auto* start = new Start{routine, argument};
  // Our routines return uint32_t; CreateThread wants DWORD WINAPI, so go through a thunk rather
  // than casting the function pointer.
  const LPTHREAD_START_ROUTINE thunk = [](LPVOID raw) -> DWORD {
    const Start copy = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    return copy.routine(copy.argument);
  };
  const HANDLE thread = CreateThread(nullptr, 0, thunk, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

void WriteConsoleLine(bool errorStream, const char* data, std::size_t size) {
  std::FILE* stream = errorStream ? stderr : stdout;
  std::fwrite(data, 1, size, stream);
  std::fflush(stream);
}

void AttachConsole() {
  AllocConsole();
  // Every text the server prints is UTF-8 (folder names included); a console left on the OEM
  // code page would show a non-ASCII user name as mojibake.
  SetConsoleOutputCP(CP_UTF8);
  FILE* reopened = nullptr;
  freopen_s(&reopened, "CONOUT$", "w", stdout);
  freopen_s(&reopened, "CONIN$", "r", stdin);
}

std::optional<std::string> LocalAppDataFolder() {
  PWSTR widePath = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &widePath);
  if (FAILED(result)) {
    CoTaskMemFree(widePath);
    return std::nullopt;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, widePath, -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
  const int converted = size > 0 ? WideCharToMultiByte(CP_UTF8, 0, widePath, -1, buffer.data(),
                                                       size, nullptr, nullptr)
                                 : 0;
  CoTaskMemFree(widePath);
  if (converted <= 0) return std::nullopt;
  return std::string(buffer.data());
}

WriteResult WriteTextFile(const std::string& utf8Path, const char* data, std::size_t size,
                          bool append) {
  const std::wstring widePath = Widen(utf8Path);
  FILE* file = _wfsopen(widePath.c_str(), append ? L"at" : L"wt", _SH_DENYNO);
  if (file == nullptr) return WriteResult::OpenFailed;
  // Unbuffered, so that a failing write shows in fwrite's count, and nothing is left in the
  // stream for fclose to write after the file has been cut back. The C library still turns each
  // line feed into a carriage return and a line feed on the way.
  std::setvbuf(file, nullptr, _IONBF, 0);
  // Nothing else appends to the file meanwhile, so its size now is where this call's bytes begin.
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  LARGE_INTEGER opened{};
  const bool cuttable = handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
                        GetFileSizeEx(handle, &opened) != 0;
  bool complete = std::fwrite(data, 1, size, file) == size;
  // A full disk may take part of the text before it refuses the rest; a line cut in the middle
  // would run into the next one, so the part is taken back.
  if (!complete && cuttable) CutBack(handle, opened);
  if (std::fclose(file) != 0 && complete) {
    complete = false;
    if (cuttable) {
      const HANDLE again = CreateFileW(widePath.c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (again != INVALID_HANDLE_VALUE) {
        CutBack(again, opened);
        CloseHandle(again);
      }
    }
  }
  return complete ? WriteResult::Written : WriteResult::WriteFailed;
}

ReadResult ReadPlainFile(const std::string& utf8Path, std::size_t maxBytes, std::string& contents) {
  contents.clear();
  // The reparse point itself is opened, never what a link or junction names.
  const HANDLE file = CreateFileW(Widen(utf8Path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                          : ReadResult::Failed;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  LARGE_INTEGER size{};
  ReadResult result = ReadResult::Read;
  if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &information) == 0 ||
      (information.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    result = ReadResult::NotAPlainFile;
  } else if (GetFileSizeEx(file, &size) == 0) {
    result = ReadResult::Failed;
  } else if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
    result = ReadResult::TooLarge;
  } else {
    contents.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD done = 0;
    if (!contents.empty() && (ReadFile(file, contents.data(), static_cast<DWORD>(contents.size()),
                                       &done, nullptr) == 0 ||
                              done != contents.size())) {
      result = ReadResult::Failed;
      contents.clear();
    }
  }
  CloseHandle(file);
  return result;
}

bool ReplaceFileAtomically(const std::string& utf8Path, const char* data, std::size_t size) {
  const std::wstring target = Widen(utf8Path);
  const std::wstring fresh = Widen(utf8Path + ".new");
  const HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  bool written = WriteFile(file, data, static_cast<DWORD>(size), &done, nullptr) != 0 &&
                 done == size && FlushFileBuffers(file) != 0;
  if (CloseHandle(file) == 0) written = false;
  if (!written || MoveFileExW(fresh.c_str(), target.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    DeleteFileW(fresh.c_str());
    return false;
  }
  return true;
}

void BlockForever() {
  for (;;) Sleep(INFINITE);
}

namespace {

// Set by RequestStop and taken by the wait that sees it (an auto-reset event).
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

}  // namespace

void HoldStopRequests() { StopEvent(); }

void WaitForStopRequest() { WaitForSingleObject(StopEvent(), INFINITE); }

bool WaitForStopRequest(int timeoutMilliseconds) {
  return WaitForSingleObject(StopEvent(), static_cast<DWORD>(timeoutMilliseconds)) == WAIT_OBJECT_0;
}

void RequestStop() { SetEvent(StopEvent()); }

bool ErrorStreamIsJournal() { return false; }

void LowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

bool SetEnvironment(const char* name, const char* value) {
  return _putenv_s(name, value == nullptr ? "" : value) == 0;
}

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

std::optional<ProcessStats> ReadProcessStats(long) { return std::nullopt; }

}  // namespace Platform

#endif
