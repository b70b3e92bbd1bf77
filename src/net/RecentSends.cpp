#include "net/RecentSends.h"

#include "net/Packet.h"

void RecentSends::Record(const Packet& sent, const Orlin::Ipv4Address& to) {
  const PacketHeader& header = sent.Header();
  Entry& entry = entries[header.messageNumber & (kEntries - 1)];
  entry = Entry{header.checksum, header.messageNumber, to.address, to.port};
}

bool RecentSends::Repeats(const Packet& received, const Orlin::Ipv4Address& from) const {
  const PacketHeader& header = received.Header();
  const Entry& entry = entries[header.messageNumber & (kEntries - 1)];
  return entry.port != 0 && entry.number == header.messageNumber &&
         entry.checksum == header.checksum && entry.address == from.address &&
         entry.port == from.port;
}

RecentSends& RecentSends::OfThisThread() {
  thread_local RecentSends recent;
  return recent;
}
