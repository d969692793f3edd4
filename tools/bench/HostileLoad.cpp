#include "HostileLoad.h"

#include "HostileCrowd.h"
#include "HostileParts.h"

#include "PacketCodes.h"
#include "ProcStats.h"
#include "WireCodec.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kelvra {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The healthy client: asks for the server nickname again and again.
class TCanary {
public:
    bool Start(const THostileConfig& config) {
        Fd = ConnectTo(config);
        if (Fd < 0)
            return false;
        const QByteArray login = Encode(KMS_LOGIN, "canary", "0") + Encode(KMS_USER, "canary");
        return SendAll(Fd, login.constData(), static_cast<size_t>(login.size()), 2000) &&
               AskOnce() >= 0;
    }
    // Round trip in ms, -1 when no answer came within 5 s.
    double AskOnce() {
        const QByteArray ask = Encode(KMS_SERVERNICK);
        const auto start = Clock::now();
        if (!SendAll(Fd, ask.constData(), static_cast<size_t>(ask.size()), 5000))
            return -1;
        for (;;) {
            TDataPacket p;
            while (!In.isEmpty()) {
                const DecodeResult r = DecodeRecord(In.constData(), In.size(), p);
                if (r.Status == DecodeStatus::NeedMore)
                    break;
                In.remove(0, r.Consumed);
                if (r.Status == DecodeStatus::Record && p.Code == KMC_SERVERNICK)
                    return SecondsSince(start) * 1000;
            }
            const int left = 5000 - static_cast<int>(SecondsSince(start) * 1000);
            pollfd pf{Fd, POLLIN, 0};
            if (left <= 0 || poll(&pf, 1, left) <= 0)
                return -1;
            char buffer[65536];
            const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return -1;
            In.append(buffer, n);
        }
    }
    ~TCanary() {
        if (Fd >= 0)
            close(Fd);
    }

private:
    int Fd = -1;
    QByteArray In;
};

struct TAttackFigures {
    std::atomic<uint64_t> BytesSent{0};
    std::atomic<int> Dropped{0}; // attacking connections the server closed
    std::atomic<bool> Stop{false};
};

// Reads and throws away what the server sends; false once it closed.
bool Drain(int fd) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

// Sends `unit` over and over on one connection, reading what comes back.
void Stream(const THostileConfig& config, const QByteArray& unit, TAttackFigures& figures) {
    const int fd = ConnectTo(config);
    if (fd < 0) {
        ++figures.Dropped;
        return;
    }
    QByteArray batch;
    while (batch.size() < 64 * 1024)
        batch += unit;
    while (!figures.Stop) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 100) < 0)
            break;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && !Drain(fd)) {
            ++figures.Dropped;
            break;
        }
        if (p.revents & POLLOUT) {
            const ssize_t n = send(fd, batch.constData(), static_cast<size_t>(batch.size()),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                figures.BytesSent += static_cast<uint64_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                ++figures.Dropped;
                break;
            }
            // Keep unit boundaries: resend the cut unit's tail next time.
            if (n > 0 && n < batch.size())
                batch = batch.mid(n) + batch.left(n);
        }
    }
    close(fd);
}

// Many connections each send most of a 1 MB record and then say nothing.
void Pin(const THostileConfig& config, TAttackFigures& figures, std::vector<int>& fds) {
    const QByteArray record = Encode(KMS_SERVERNICK, QByteArray(1'048'000 - 17 - 5 - 2 - 2, 'p'));
    const QByteArray part = record.left(1'040'000);
    for (int i = 0; i < config.Connections && !figures.Stop; ++i) {
        const int fd = ConnectTo(config);
        if (fd < 0) {
            ++figures.Dropped;
            continue;
        }
        fds.push_back(fd);
        if (SendAll(fd, part.constData(), static_cast<size_t>(part.size()), 5000))
            figures.BytesSent += static_cast<uint64_t>(part.size());
        else
            ++figures.Dropped;
    }
}

struct TSample {
    std::vector<double> Rtt;
    int Lost = 0;
};

double Percentile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// Bytes queued in the kernel on the server's side of its connections, sent
// and not yet taken by the peer plus received and not yet read
// (/proc/net/tcp): what the server makes the kernel hold for its clients.
uint64_t ServerSocketBytes(int port) {
    FILE* f = std::fopen("/proc/net/tcp", "r");
    if (!f)
        return 0;
    char line[512];
    uint64_t total = 0;
    while (std::fgets(line, sizeof line, f)) {
        unsigned localPort = 0;
        unsigned long tx = 0, rx = 0;
        if (std::sscanf(line, " %*d: %*8x:%x %*8x:%*x %*x %lx:%lx", &localPort, &tx, &rx) == 3 &&
            static_cast<int>(localPort) == port)
            total += tx + rx;
    }
    std::fclose(f);
    return total;
}

uint64_t PeakSocketBytes = 0;
int WatchedPort = 0;

void Watch(TCanary& canary, double seconds, int everyMs, TSample& sample, int pid,
           uint64_t& peakRss) {
    const auto start = Clock::now();
    while (SecondsSince(start) < seconds) {
        const double ms = canary.AskOnce();
        if (ms < 0)
            ++sample.Lost;
        else
            sample.Rtt.push_back(ms);
        if (pid > 0)
            if (const auto rss = ReadResidentKiB(pid))
                peakRss = std::max(peakRss, *rss);
        if (sample.Rtt.size() % 50 == 0) // the table is long with thousands of connections
            PeakSocketBytes = std::max(PeakSocketBytes, ServerSocketBytes(WatchedPort));
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
    }
}

std::string Mib(uint64_t kib) {
    return kib ? std::to_string(kib / 1024) + " MiB" : std::string("-");
}

// 0 when unknown: keeps the report free of optionals.
uint64_t RssKiB(int pid) {
    return pid > 0 ? ReadResidentKiB(pid).value_or(0) : 0;
}
uint64_t CpuNs(int pid) {
    return pid > 0 ? ReadCpuNs(pid).value_or(0) : 0;
}

} // namespace

int RunHostile(const THostileConfig& config) {
    const bool pinned = config.Mode == "pinned";
    const bool crowd = IsCrowdAttack(config.Mode);
    const double seconds = config.Seconds > 0        ? config.Seconds
                           : pinned                  ? 45
                           : config.Mode == "burst"  ? 60
                           : config.Mode == "unread" ? 20
                                                     : 10;
    TCanary canary;
    if (!canary.Start(config)) {
        std::fprintf(stderr, "kelvra-bench: the canary cannot reach the server\n");
        return 1;
    }
    TCrowdFigures crowdFigures;
    TCrowd crowdAttack(config, crowdFigures);
    if (crowd && !crowdAttack.Prepare()) {
        std::fprintf(stderr, "kelvra-bench: the chat members could not log in and join\n");
        return 1;
    }
    const int pid = config.ServerPid;
    WatchedPort = config.Port;
    TSample quiet;
    uint64_t ignored = 0;
    Watch(canary, 1.0, config.CanaryEveryMs, quiet, pid, ignored);
    const uint64_t rssBefore = RssKiB(pid);
    const uint64_t cpuBefore = CpuNs(pid);

    TAttackFigures figures;
    std::vector<int> pinnedFds;
    std::thread attacker;
    if (config.Mode == "nested") {
        const QByteArray unit =
            Encode(KMS_LOGIN).left(17) + QByteArray::fromHex("0c40420f00"); // declares 1,000,000
        attacker = std::thread([&, unit] { Stream(config, unit, figures); });
    } else if (config.Mode == "flood") {
        attacker = std::thread([&] { Stream(config, Encode(KMS_SERVERNICK), figures); });
    } else if (pinned) {
        attacker = std::thread([&] { Pin(config, figures, pinnedFds); });
    } else if (crowd) {
        attacker = std::thread([&] { crowdAttack.Run(); });
    } else {
        std::fprintf(stderr, "kelvra-bench: unknown attack %s\n", config.Mode.c_str());
        return 1;
    }
    const auto attackStart = Clock::now();
    TSample during;
    uint64_t peakRss = rssBefore;
    Watch(canary, seconds, config.CanaryEveryMs, during, pid, peakRss);
    const uint64_t rssEnd = RssKiB(pid);
    const uint64_t cpuEnd = CpuNs(pid);
    const double attackSeconds = SecondsSince(attackStart);
    figures.Stop = true;
    crowdFigures.Stop = true;
    attacker.join();
    crowdAttack.CloseAll(); // at once: the mass close is watched below
    int pinnedOpen = 0;
    for (int fd : pinnedFds) {
        pollfd p{fd, POLLIN, 0};
        pinnedOpen += poll(&p, 1, 0) == 0 || Drain(fd);
        close(fd);
    }
    TSample after;
    Watch(canary, config.Mode == "burst" ? 10.0 : 2.0, config.CanaryEveryMs, after, pid, ignored);
    const uint64_t rssAfter = RssKiB(pid);

    std::printf("attack                 %s (%.1f s)\n", config.Mode.c_str(), attackSeconds);
    const double sentMib =
        static_cast<double>(figures.BytesSent + crowdFigures.BytesSent) / 1048576.0;
    std::printf("attack bytes sent      %.1f MiB (%.2f MiB/s)\n", sentMib, sentMib / attackSeconds);
    if (crowd)
        std::printf("attack connections     %d opened, %d failed to connect\n",
                    crowdFigures.Opened.load(), crowdFigures.Failed.load());
    if (crowdFigures.Members > 0)
        std::printf("chat                   %d texts sent, %d of %d members dropped\n",
                    crowdFigures.Texts.load(), crowdFigures.MembersDropped.load(),
                    crowdFigures.Members);
    std::printf("attack connections     %d dropped by the server",
                figures.Dropped.load() + crowdFigures.Dropped.load());
    if (pinned)
        std::printf(", %d of %zu still open at the end", pinnedOpen, pinnedFds.size());
    std::printf("\n");
    std::printf("canary before          p50 %.2f ms  p99 %.2f ms  (%zu asks)\n",
                Percentile(quiet.Rtt, 0.5), Percentile(quiet.Rtt, 0.99), quiet.Rtt.size());
    std::printf("canary during          p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu asks, %d "
                "unanswered)\n",
                Percentile(during.Rtt, 0.5), Percentile(during.Rtt, 0.99),
                Percentile(during.Rtt, 1.0), during.Rtt.size(), during.Lost);
    std::printf("canary after           p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu asks, %d "
                "unanswered)\n",
                Percentile(after.Rtt, 0.5), Percentile(after.Rtt, 0.99), Percentile(after.Rtt, 1.0),
                after.Rtt.size(), after.Lost);
    if (pid > 0) {
        std::printf("server RSS             before %s, peak during %s, end of attack %s, after "
                    "%s\n",
                    Mib(rssBefore).c_str(), Mib(peakRss).c_str(), Mib(rssEnd).c_str(),
                    Mib(rssAfter).c_str());
        std::printf("server socket queues   peak %s (kernel, server side, sampled)\n",
                    Mib(PeakSocketBytes / 1024).c_str());
        const double cpu = static_cast<double>(cpuEnd - cpuBefore) / 1e9;
        std::printf("server CPU during      %.2f s (%.0f%% of the attack's time)\n", cpu,
                    cpu / attackSeconds * 100);
    }
    std::fflush(stdout);
    return during.Lost == 0 && after.Lost == 0 ? 0 : 1;
}

} // namespace kelvra
