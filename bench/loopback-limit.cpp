// How many bytes per second one process can write to many loopback
// connections while another process reads them all: the ceiling for a login
// storm, whose records the server must write whatever it does itself.
//
//   loopback-limit [connections] [seconds] [write size]...
//
// The writer accepts the connections and sends `write size` bytes to each in
// turn (one send per connection per round, as the server writes once per link
// per pass); a forked reader connects them and reads everything through one
// epoll loop. Prints one line per write size: the bytes the reader took per
// second, the sends that took bytes per second, and the writer's CPU per GB.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec +
           r.ru_stime.tv_usec / 1e6;
}

// Bytes the reader has taken so far, seen by the writer.
struct TShared {
    volatile long long ReadBytes;
};

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

// The reader: connects every socket, then reads until the writer closes them.
void Read(uint16_t port, int connections, int ready, TShared* shared) {
    const int ep = epoll_create1(0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < connections; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            Fail("reader connect");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    if (write(ready, "r", 1) != 1)
        Fail("reader ready");
    std::vector<char> buffer(1 << 20);
    std::vector<epoll_event> events(1024);
    int open = connections;
    while (open > 0) {
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 5000);
        if (n <= 0)
            break; // the writer is gone
        for (int i = 0; i < n; ++i) {
            const ssize_t got = recv(events[i].data.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0)
                shared->ReadBytes = shared->ReadBytes + got;
            if (got == 0) {
                close(events[i].data.fd);
                --open;
            }
        }
    }
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 10000;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3;
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {512, 4096, 16384, 65536};

    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    signal(SIGPIPE, SIG_IGN);

    for (const int size : sizes) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 4096) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            Fail("listen");
        int ready[2];
        if (pipe(ready) != 0)
            Fail("pipe");
        auto* shared = static_cast<TShared*>(mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE,
                                                  MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (shared == MAP_FAILED)
            Fail("mmap");
        shared->ReadBytes = 0;
        const pid_t reader = fork();
        if (reader == 0) {
            close(listener);
            Read(ntohs(addr.sin_port), connections, ready[1], shared);
        }
        std::vector<int> fds;
        while (static_cast<int>(fds.size()) < connections) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                Fail("accept");
            fds.push_back(fd);
        }
        char r;
        if (read(ready[0], &r, 1) != 1)
            Fail("reader");
        std::vector<char> data(static_cast<size_t>(size), 'x');
        long long sends = 0;
        const long long read0 = shared->ReadBytes;
        const double cpu0 = CpuSeconds();
        const double t0 = Now();
        double t = t0;
        while (t - t0 < seconds) {
            for (const int fd : fds) {
                const ssize_t n = send(fd, data.data(), data.size(), MSG_DONTWAIT);
                if (n > 0)
                    ++sends;
            }
            t = Now();
        }
        // What the reader took in the interval: buffered bytes do not count.
        const double bytes = static_cast<double>(shared->ReadBytes - read0);
        const double cpu = CpuSeconds() - cpu0;
        const double wall = t - t0;
        for (const int fd : fds)
            close(fd);
        close(listener);
        close(ready[0]);
        close(ready[1]);
        waitpid(reader, nullptr, 0);
        munmap(shared, sizeof(TShared));
        std::printf("connections %d  write size %6d  %8.1f MB/s  %9.0f sends/s  writer CPU %.2f "
                    "s per GB\n",
                    connections, size, bytes / wall / 1e6, sends / wall, cpu / (bytes / 1e9));
        std::fflush(stdout);
    }
    return 0;
}
