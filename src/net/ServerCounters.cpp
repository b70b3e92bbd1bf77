#include "net/ServerCounters.h"

ServerCounters& Counters() {
  // Constant-initialised and trivially destroyed: no first-call guard on the receive thread, and
  // nothing torn down while the endpoint may still read it at exit.
  static constinit ServerCounters counters;
  return counters;
}
