#pragma once
// The result of a run for people (an aligned table) and for scripts (JSON).
#include "BenchConfig.h"
#include "LoadGenerator.h"

#include <string>

namespace kelvra {

std::string FormatTable(const TBenchConfig& config, const TBenchResult& result);
std::string FormatJson(const TBenchConfig& config, const TBenchResult& result);

} // namespace kelvra
