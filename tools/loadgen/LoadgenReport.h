#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "loadgen/LoadgenOptions.h"
#include "loadgen/LoadgenRun.h"

namespace Loadgen {

std::string Fixed(double value, int decimals);
// The figures of one run, in the order the table shows them.
nlohmann::ordered_json Json(const RunResult& r);
void PrintTable(const RunResult& r, const Options& options, const std::string& target);
void PrintSearchTable(const std::vector<RunResult>& runs, const RunResult* best, bool varyRate,
                      const std::string& target);

}  // namespace Loadgen
