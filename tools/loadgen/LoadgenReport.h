#pragma once

#include <string>
#include <vector>

#include "loadgen/LoadgenOptions.h"
#include "loadgen/LoadgenRun.h"

namespace Loadgen {

std::string Fixed(double value, int decimals);
std::string Json(const RunResult& r);
void PrintTable(const RunResult& r, const Options& options, const std::string& target);
void PrintSearchTable(const std::vector<RunResult>& runs, const RunResult* best, bool varyRate,
                      const std::string& target);

}  // namespace Loadgen
