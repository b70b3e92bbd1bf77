#include "net/NetworkingComponentServer.h"
#include "platform/platform.h"

int ProcessEntry() {
  Platform::AttachConsole();
  // Lives for the rest of the process: the receive thread uses it until the process is ended.
  static NetworkingComponentServer server;
  server.Init(Orlin::Protocol::Udp);
  server.Start("127.0.0.1", 15000);
  // Nothing more to do on this thread, and no exit path: wait without using the processor.
  Platform::BlockForever();
}
