#pragma once

#include <string>

// The server's counters, and on Linux the process's own figures, in Prometheus's text exposition
// format (version 0.0.4): counts only, never an address or an id.
std::string MetricsText();
