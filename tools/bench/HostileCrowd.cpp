#include "HostileCrowd.h"

#include "HostileParts.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>

namespace kelvra {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Connections this process can hold besides the canary and its own files.
int DescriptorRoom() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1000;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - 64;
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

QByteArray Login(const QByteArray& nick) {
    return Encode(KMS_LOGIN, nick, "0") + Encode(KMS_USER, nick);
}

} // namespace

bool IsCrowdAttack(const std::string& mode) {
    return mode == "unread" || mode == "burst" || mode == "chat" || mode == "bigtext";
}

TCrowd::TCrowd(const THostileConfig& config, TCrowdFigures& figures)
    : Config(config), F(figures), Ep(epoll_create1(EPOLL_CLOEXEC)) {}

TCrowd::~TCrowd() {
    CloseAll();
    if (Ep >= 0)
        close(Ep);
}

void TCrowd::Add(int fd, TRole role, QByteArray out, bool connecting) {
    Conns.push_back({fd, role, connecting, 0, std::move(out), 0});
    if (!connecting)
        ++F.Opened;
    epoll_event ev{};
    ev.data.u64 = Conns.size() - 1;
    epoll_ctl(Ep, EPOLL_CTL_ADD, fd, &ev);
    Watch(Conns.back());
}

void TCrowd::Watch(TConn& c) {
    // Silent ones never read: only the server's close is noticed.
    uint32_t want = c.Role == TRole::Silent ? EPOLLRDHUP : EPOLLIN;
    if (c.Connecting || c.Sent < c.Out.size())
        want |= EPOLLOUT;
    if (want == c.Events)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = static_cast<uint64_t>(&c - Conns.data());
    epoll_ctl(Ep, EPOLL_CTL_MOD, c.Fd, &ev);
    c.Events = want;
}

void TCrowd::Drop(TConn& c) {
    close(c.Fd);
    c.Fd = -1;
    ++F.Dropped;
    if (c.Role == TRole::Member)
        ++F.MembersDropped;
}

uint64_t TCrowd::Step(int timeoutMs) {
    epoll_event events[512];
    const int n = epoll_wait(Ep, events, 512, timeoutMs);
    uint64_t read = 0;
    for (int i = 0; i < n; ++i) {
        TConn& c = Conns[events[i].data.u64];
        if (c.Fd >= 0)
            Serve(c, events[i].events, read);
    }
    return read;
}

void TCrowd::Serve(TConn& c, uint32_t events, uint64_t& read) {
    if (c.Connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (events & EPOLLHUP)) {
            close(c.Fd);
            c.Fd = -1;
            ++F.Failed;
            return;
        }
        c.Connecting = false;
        ++F.Opened;
    }
    if (c.Role == TRole::Silent && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        Drop(c);
        return;
    }
    if (c.Role != TRole::Silent && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        static char buffer[65536];
        for (;;) {
            const ssize_t got = recv(c.Fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                read += static_cast<uint64_t>(got);
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                Drop(c);
                return;
            }
            break;
        }
    }
    while (!c.Connecting && c.Sent < c.Out.size()) {
        const ssize_t sent =
            send(c.Fd, c.Out.constData() + c.Sent, static_cast<size_t>(c.Out.size() - c.Sent),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                Drop(c);
                return;
            }
            break;
        }
        c.Sent += sent;
        F.BytesSent += static_cast<uint64_t>(sent);
    }
    Watch(c);
}

void TCrowd::DrainUntilQuiet() {
    const auto start = Clock::now();
    auto lastRead = Clock::now();
    while (SecondsSince(lastRead) < 0.3 && SecondsSince(start) < 20)
        if (Step(50) > 0)
            lastRead = Clock::now();
}

bool TCrowd::OpenChat() {
    // The sender makes the chat and is told so before anybody joins it.
    const int fd = ConnectTo(Config);
    if (fd < 0)
        return false;
    const QByteArray hello = Login("sender") + Encode(KMS_CREATE, Room);
    if (!SendAll(fd, hello.constData(), static_cast<size_t>(hello.size()), 5000)) {
        close(fd);
        return false;
    }
    QByteArray in;
    const auto start = Clock::now();
    bool joined = false;
    while (!joined && SecondsSince(start) < 10) {
        pollfd p{fd, POLLIN, 0};
        char buffer[65536];
        if (poll(&p, 1, 100) > 0) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            in.append(buffer, n);
        }
        TDataPacket record;
        for (DecodeResult r;
             !joined && (r = DecodeRecord(in.constData(), in.size(), record)).Status !=
                            DecodeStatus::NeedMore;) {
            in.remove(0, r.Consumed);
            joined = r.Status == DecodeStatus::Record && record.Code == KMC_JOINED;
        }
    }
    if (!joined) {
        close(fd);
        return false;
    }
    SenderFd = fd;
    ++F.Opened;
    return true;
}

void TCrowd::Send() {
    // A thread of its own, so that the members' reading never holds it back.
    const QByteArray text =
        Encode(KMS_CHATDATA, Room, QByteArray(Config.Mode == "bigtext" ? 900 * 1000 : 1000, 't'));
    const QByteArray batch = Config.Mode == "chat" ? text.repeated(32) : text;
    const int every = Config.Mode == "chat" ? 0 : 1000; // ms between batches
    QByteArray out;
    qsizetype sent = 0;
    auto last = Clock::now() - std::chrono::seconds(1);
    char buffer[65536];
    while (!F.Stop) {
        if (sent == out.size() && SecondsSince(last) * 1000 >= every) {
            out = batch;
            sent = 0;
            last = Clock::now();
            F.Texts += Config.Mode == "chat" ? 32 : 1;
        }
        pollfd p{SenderFd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 10) < 0)
            break;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(SenderFd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ++F.Dropped;
                break;
            }
        }
        if (p.revents & POLLOUT) {
            const ssize_t n =
                send(SenderFd, out.constData() + sent, static_cast<size_t>(out.size() - sent),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += n;
                F.BytesSent += static_cast<uint64_t>(n);
            }
        }
    }
}

bool TCrowd::Prepare() {
    if (Config.Mode != "chat" && Config.Mode != "bigtext")
        return true;
    if (!OpenChat())
        return false;
    F.Members = Config.Mode == "chat" ? 50 : 100;
    for (int i = 0; i < F.Members; ++i) {
        const int fd = ConnectTo(Config);
        if (fd < 0) {
            ++F.Failed;
            continue;
        }
        SetNonBlocking(fd);
        Add(fd, TRole::Member, Login("m" + QByteArray::number(i)) + Encode(KMS_JOIN, Room), false);
        uint64_t read = 0;
        Serve(Conns.back(), EPOLLOUT, read);
    }
    DrainUntilQuiet();
    return F.MembersDropped == 0;
}

void TCrowd::Run() {
    if (Config.Mode == "unread") {
        QByteArray requests;
        const QByteArray one = Encode(KMS_SERVERNICK);
        while (requests.size() < 2 * 1000 * 1000)
            requests += one;
        for (int i = 0; i < Config.Connections && !F.Stop; ++i) {
            const int fd = ConnectTo(Config);
            if (fd < 0) {
                ++F.Failed;
                continue;
            }
            SetNonBlocking(fd);
            Add(fd, TRole::Silent, requests, false); // shared, not copied
            Step(0);
        }
    } else if (Config.Mode == "burst") {
        const int n = std::min(Config.Connections, DescriptorRoom());
        for (int i = 0; i < n && !F.Stop; ++i) {
            const int fd = ConnectTo(Config, false);
            if (fd < 0) {
                ++F.Failed;
                continue;
            }
            const bool member = i % 2 == 0;
            Add(fd, member ? TRole::Member : TRole::Silent,
                member ? Login("b" + QByteArray::number(i)) : QByteArray(), true);
            if (i % 256 == 255)
                Step(0);
        }
    }
    std::thread sender;
    if (SenderFd >= 0)
        sender = std::thread([this] { Send(); });
    while (!F.Stop)
        Step(20);
    if (sender.joinable())
        sender.join();
}

void TCrowd::CloseAll() {
    if (SenderFd >= 0)
        close(SenderFd);
    SenderFd = -1;
    for (TConn& c : Conns)
        if (c.Fd >= 0) {
            close(c.Fd);
            c.Fd = -1;
        }
}

} // namespace kelvra
