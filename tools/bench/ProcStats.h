#pragma once
// Resident memory and CPU time of another process, from /proc.
#include <cstdint>
#include <optional>
#include <string>

namespace kelvra {

// VmRSS of /proc/<pid>/status in KiB.
std::optional<uint64_t> ReadResidentKiB(int pid);

// CPU time of every thread of the process in ns: the scheduler's own sum
// (se.sum_exec_runtime of /proc/<pid>/task/*/sched) where the kernel shows it,
// else utime + stime of /proc/<pid>/stat, which has clock-tick resolution only.
std::optional<uint64_t> ReadCpuNs(int pid);

// se.sum_exec_runtime of a sched file ("<ms>.<6 decimals>") in ns.
std::optional<uint64_t> ParseSumExecRuntimeNs(const std::string& schedText);

// utime + stime of /proc/<pid>/stat in ns.
std::optional<uint64_t> ReadStatCpuNs(int pid);

// The field list after the command name of a /proc/<pid>/stat line: utime
// and stime are its 12th and 13th entries (fields 14 and 15 of the line).
std::optional<uint64_t> ParseStatTicks(const std::string& statLine);

} // namespace kelvra
