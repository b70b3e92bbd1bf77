#pragma once

#include <string>

// The server's counters, and on Linux the process's own figures, in Prometheus's text exposition
// format (version 0.0.4): counts only, never an address or an id.
std::string MetricsText();

// Puts instance="NAME" on every sample from now on (--instance): which server of several on a
// host, or which pod, the figures are. An empty name puts none.
void SetMetricsInstance(const std::string& name);
