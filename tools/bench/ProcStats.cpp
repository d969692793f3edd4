#include "ProcStats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <linux/perf_event.h>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvra {

namespace {

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::optional<uint64_t> ReadResidentKiB(int pid) {
    const auto status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    if (!status)
        return std::nullopt;
    const size_t at = status->find("\nVmRSS:");
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtoull(status->c_str() + at + 7, nullptr, 10);
}

std::optional<uint64_t> ParseStatTicks(const std::string& statLine) {
    // The command name may hold blanks and parentheses: fields start after the last ')'.
    const size_t close = statLine.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(statLine.substr(close + 1));
    std::string field;
    uint64_t ticks = 0;
    for (int i = 1; i <= 13; ++i) {
        if (!(fields >> field))
            return std::nullopt;
        if (i >= 12) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
            if (!end || *end)
                return std::nullopt;
            ticks += value;
        }
    }
    return ticks;
}

std::optional<uint64_t> ReadStatCpuNs(int pid) {
    const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return std::nullopt;
    const auto ticks = ParseStatTicks(*stat);
    const long hz = sysconf(_SC_CLK_TCK);
    if (!ticks || hz <= 0)
        return std::nullopt;
    return *ticks * (1'000'000'000ull / static_cast<uint64_t>(hz));
}

std::optional<uint64_t> ParseSumExecRuntimeNs(const std::string& schedText) {
    const size_t at = schedText.find("se.sum_exec_runtime");
    if (at == std::string::npos)
        return std::nullopt;
    const size_t colon = schedText.find(':', at);
    if (colon == std::string::npos)
        return std::nullopt;
    // Milliseconds with six decimals; read the two parts as integers to keep every ns.
    char* end = nullptr;
    const unsigned long long ms = std::strtoull(schedText.c_str() + colon + 1, &end, 10);
    uint64_t ns = ms * 1'000'000ull;
    if (end && *end == '.') {
        uint64_t scale = 100'000;
        for (const char* p = end + 1; *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10)
            ns += static_cast<uint64_t>(*p - '0') * scale;
    }
    return ns;
}

std::optional<uint64_t> ReadCpuNs(int pid) {
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(taskDir.c_str())) {
        uint64_t total = 0;
        bool complete = true;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const auto sched = ReadFile(taskDir + "/" + entry->d_name + "/sched");
            if (!sched)
                continue; // the thread ended since readdir
            const auto ns = ParseSumExecRuntimeNs(*sched);
            if (!ns) {
                complete = false;
                break;
            }
            total += *ns;
        }
        closedir(dir);
        if (complete && total > 0)
            return total;
    }
    return ReadStatCpuNs(pid);
}

std::optional<uint64_t> ParseStatFaults(const std::string& statLine) {
    const size_t close = statLine.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(statLine.substr(close + 1));
    std::string field;
    uint64_t faults = 0;
    for (int i = 1; i <= 10; ++i) {
        if (!(fields >> field))
            return std::nullopt;
        if (i == 8 || i == 10) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
            if (!end || *end)
                return std::nullopt;
            faults += value;
        }
    }
    return faults;
}

std::optional<uint64_t> ReadPageFaults(int pid) {
    const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    return stat ? ParseStatFaults(*stat) : std::nullopt;
}

bool TSyscallCounter::Start(int pid) {
    Stop();
    std::optional<std::string> id;
    for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
        if ((id = ReadFile(std::string(root) + "/events/raw_syscalls/sys_enter/id")))
            break;
    }
    if (!id)
        return false;
    perf_event_attr attr{};
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.size = sizeof attr;
    attr.config = std::strtoull(id->c_str(), nullptr, 10);
    attr.exclude_kernel = 0;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (!dir)
        return false;
    bool ok = true;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const long fd = syscall(SYS_perf_event_open, &attr, std::atoi(entry->d_name), -1, -1,
                                PERF_FLAG_FD_CLOEXEC);
        if (fd < 0) {
            ok = false;
            break;
        }
        Fds.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    if (!ok || Fds.empty()) {
        Stop();
        return false;
    }
    return true;
}

std::optional<uint64_t> TSyscallCounter::Count() const {
    if (Fds.empty())
        return std::nullopt;
    uint64_t total = 0;
    for (int fd : Fds) {
        uint64_t value = 0;
        if (read(fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value))
            return std::nullopt;
        total += value;
    }
    return total;
}

void TSyscallCounter::Stop() {
    for (int fd : Fds)
        close(fd);
    Fds.clear();
}

} // namespace kelvra
