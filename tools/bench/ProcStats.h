#pragma once
// Resident memory and CPU time of another process, from /proc.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Minor plus major page faults of the whole process (/proc/<pid>/stat fields
// 10 and 12).
std::optional<uint64_t> ReadPageFaults(int pid);
// The same from a stat line's fields after the command name (entries 8 and 10).
std::optional<uint64_t> ParseStatFaults(const std::string& statLine);

// System calls made by the threads a process has when Start is called,
// counted by the kernel's syscall-entry tracepoint (needs perf events: root
// or CAP_PERFMON). Count is empty when counting is not possible here.
class TSyscallCounter {
public:
    TSyscallCounter() = default;
    TSyscallCounter(const TSyscallCounter&) = delete;
    TSyscallCounter& operator=(const TSyscallCounter&) = delete;
    ~TSyscallCounter() { Stop(); }
    bool Start(int pid);
    std::optional<uint64_t> Count() const;
    void Stop();

private:
    std::vector<int> Fds;
};

} // namespace kelvra
