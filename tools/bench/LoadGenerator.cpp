#include "LoadGenerator.h"

#include "MessageStamp.h"
#include "PacketCodes.h"
#include "ProcStats.h"
#include "WebSocketFrames.h"
#include "WireCodec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

constexpr size_t kReadBufferSize = 1 << 20;
// A read that fills the buffer is followed by at most this many more before
// the next socket gets its turn.
constexpr int kReadsPerEvent = 4;
constexpr int kMaxEvents = 1024;
constexpr uint64_t kProgressEveryNs = 500'000'000;
// Settling ends early when nothing has arrived for this long (a server with
// other users sends notices the bench cannot count on).
constexpr uint64_t kSettleQuietNs = 500'000'000;
// Idle means idle for a while: the server may give memory back shortly after
// a burst, and the figure is about connections at rest.
constexpr uint64_t kIdleBeforeMeasureNs = 300'000'000;
// The answer to the WebSocket upgrade is a few hundred bytes.
constexpr size_t kMaxUpgradeAnswer = 16 * 1024;

uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double CpuSecondsOfSelf() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Encode(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {},
                   bool sw = false) {
    return EncodePacket(MakePacket(code, p1, p2, sw)).toStdString();
}

const char* RefusalName(int32_t code) {
    switch (code) {
    case KMC_BADNICK:
        return "KMC_BADNICK";
    case KMC_NICKINUSE:
        return "KMC_NICKINUSE";
    case KMC_BANNED:
        return "KMC_BANNED";
    case KMC_BADPASS:
        return "KMC_BADPASS";
    case KMC_KICK:
        return "KMC_KICK";
    default:
        return nullptr;
    }
}

} // namespace

struct TLoadGenerator::TClient {
    int Fd = -1;
    SSL* Tls = nullptr;
    bool Handshaking = false;
    size_t TlsRetry = 0; // bytes of a TLS write that waits for the socket
    int Index = 0;
    bool Connecting = false;
    bool Answered = false; // the login got KMC_OKAY
    bool JoinSent = false;
    bool Joined = false;
    bool WatchingOut = false;
    std::string Pending; // the start of a record cut by the end of a read
    std::string Out;
    // WebSocket: records not yet framed (one frame per flush), the upgrade
    // until it is answered, and the server's frames.
    std::string Unframed;
    bool Upgrading = false;
    std::string UpgradeKey;
    std::string UpgradeAnswer;
    TWebSocketReader Frames;
    size_t OutAt = 0;
    int Sent = 0;   // messages, senders only
    int Echoed = 0; // own messages delivered back
};

TLoadGenerator::TLoadGenerator(const TBenchConfig& config, const std::string& room)
    : Config(config), Room(room), Clients(static_cast<size_t>(config.Clients)),
      Buffer(kReadBufferSize) {
    for (size_t i = 0; i < Clients.size(); ++i)
        Clients[i].Index = static_cast<int>(i);
    Scanner.CodecOnly = config.CodecOnly;
    const QByteArray roomBytes = QByteArray::fromStdString(room);
    MessageTemplate = Encode(KMS_CHATDATA, roomBytes, QByteArray(config.TextSize, 'x'));
    // The text is the last value before the flag and the end of the list.
    MessageTextAt = MessageTemplate.size() - 2 - static_cast<size_t>(config.TextSize);
    PingBytes = Encode(KMS_PING);
    JoinBytes = Encode(KMS_JOIN, roomBytes);
    if (config.Tls) {
        // A measuring client: the server's certificate is not checked.
        TlsContext = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(TlsContext, TLS1_2_VERSION);
        SSL_CTX_set_mode(TlsContext, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                                         SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_read_ahead(TlsContext, 1);
    }
}

TLoadGenerator::~TLoadGenerator() {
    CloseAll();
    if (Epoll >= 0)
        close(Epoll);
    SSL_CTX_free(TlsContext);
}

void TLoadGenerator::CloseAll() {
    for (TClient& c : Clients) {
        SSL_free(c.Tls);
        c.Tls = nullptr;
        if (c.Fd >= 0) {
            close(c.Fd);
            c.Fd = -1;
        }
    }
}

void TLoadGenerator::Fail(const std::string& error) {
    if (Error.empty())
        Error = error;
}

bool TLoadGenerator::Connect(TClient& c) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(Config.Port));
    if (inet_pton(AF_INET, Config.Host.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(Config.Host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            Fail("cannot resolve host " + Config.Host);
            return false;
        }
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    c.Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.Fd < 0) {
        Fail(std::string("socket: ") + std::strerror(errno));
        return false;
    }
    const int one = 1;
    setsockopt(c.Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(c.Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        Fail("connect to " + Config.Host + ":" + std::to_string(Config.Port) + ": " +
             std::strerror(errno));
        return false;
    }
    c.Connecting = true;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u32 = static_cast<uint32_t>(c.Index);
    if (epoll_ctl(Epoll, EPOLL_CTL_ADD, c.Fd, &ev) != 0) {
        Fail(std::string("epoll_ctl: ") + std::strerror(errno));
        return false;
    }
    c.WatchingOut = true;
    ++Unanswered;
    return true;
}

void TLoadGenerator::StartConnects() {
    // Client 0 creates the chat; the others join once they hear of it.
    while (Error.empty() && NextToConnect < Config.Clients && Unanswered < Config.ConnectWindow)
        Connect(Clients[static_cast<size_t>(NextToConnect++)]);
}

void TLoadGenerator::OnConnected(TClient& c) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
        Fail("connect to " + Config.Host + ":" + std::to_string(Config.Port) + ": " +
             std::strerror(err));
        return;
    }
    c.Connecting = false;
    ++Connected;
    WatchWritable(c, false);
    if (TlsContext) {
        c.Tls = SSL_new(TlsContext);
        if (!c.Tls || SSL_set_fd(c.Tls, c.Fd) != 1) {
            Fail("cannot make a TLS session");
            return;
        }
        SSL_set_connect_state(c.Tls);
        c.Handshaking = true;
        ContinueHandshake(c);
        return;
    }
    Begin(c);
}

void TLoadGenerator::Begin(TClient& c) {
    if (!Config.Web) {
        SendLogin(c);
        return;
    }
    unsigned char nonce[16];
    if (RAND_bytes(nonce, sizeof nonce) != 1) {
        Fail("no random bytes for the WebSocket key");
        return;
    }
    c.UpgradeKey =
        QByteArray(reinterpret_cast<const char*>(nonce), sizeof nonce).toBase64().toStdString();
    c.Out += WebSocketRequest(Config.Host, Config.Port, c.UpgradeKey);
    c.Upgrading = true;
}

uint32_t TLoadGenerator::NextMask() {
    // xorshift: masks need not be secret here, only varied.
    MaskState ^= MaskState << 13;
    MaskState ^= MaskState >> 17;
    MaskState ^= MaskState << 5;
    return MaskState;
}

size_t TLoadGenerator::Unframe(TClient& c, char* data, size_t size) {
    size_t skip = 0;
    if (c.Upgrading) {
        const size_t before = c.UpgradeAnswer.size();
        c.UpgradeAnswer.append(data, std::min(size, kMaxUpgradeAnswer));
        const size_t end = c.UpgradeAnswer.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (c.UpgradeAnswer.size() >= kMaxUpgradeAnswer)
                Fail("the web port's answer to b" + std::to_string(c.Index) + " has no end");
            return 0;
        }
        std::string error;
        if (!WebSocketAccepted(c.UpgradeAnswer.substr(0, end + 2), c.UpgradeKey, error)) {
            Fail(error);
            return 0;
        }
        skip = end + 4 - before; // frames may follow the answer in the same read
        c.Upgrading = false;
        ++Upgraded;
        c.UpgradeAnswer = std::string();
        c.UpgradeKey = std::string();
        SendLogin(c);
    }
    const size_t got = c.Frames.Unwrap(data + skip, size - skip);
    if (skip > 0)
        std::memmove(data, data + skip, got);
    for (const std::string& ping : c.Frames.Pings)
        AppendWebSocketFrame(c.Out, kWsPong, ping.data(), ping.size(), NextMask());
    c.Frames.Pings.clear();
    if (!c.Frames.Error.empty())
        Fail(c.Frames.Error + " (b" + std::to_string(c.Index) + ")");
    return got;
}

bool TLoadGenerator::ContinueHandshake(TClient& c) {
    const int ret = SSL_do_handshake(c.Tls);
    if (ret == 1) {
        c.Handshaking = false;
        WatchWritable(c, false);
        Begin(c);
        return true;
    }
    switch (SSL_get_error(c.Tls, ret)) {
    case SSL_ERROR_WANT_READ:
        WatchWritable(c, false);
        break;
    case SSL_ERROR_WANT_WRITE:
        WatchWritable(c, true);
        break;
    default: {
        const unsigned long code = ERR_get_error();
        ERR_clear_error();
        Fail("TLS handshake failed for b" + std::to_string(c.Index) + ": " +
             (code ? ERR_reason_error_string(code) : "the connection ended"));
        break;
    }
    }
    return false;
}

ssize_t TLoadGenerator::Receive(TClient& c, char* data, size_t size) {
    if (!c.Tls)
        return recv(c.Fd, data, size, 0);
    // Every record that has arrived, as one plain read would take it.
    size_t got = 0;
    while (got < size) {
        size_t n = 0;
        if (SSL_read_ex(c.Tls, data + got, size - got, &n) == 1) {
            got += n;
            // No receive that would only say "nothing more".
            if (!SSL_has_pending(c.Tls))
                break;
            continue;
        }
        const int error = SSL_get_error(c.Tls, 0);
        if (got > 0)
            break;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            errno = EAGAIN;
            return -1;
        }
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        ERR_clear_error();
        errno = EPROTO;
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t TLoadGenerator::Transmit(TClient& c, const char* data, size_t size) {
    if (!c.Tls)
        return send(c.Fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    // A write that had to wait is offered again exactly as it was.
    const size_t offer = c.TlsRetry > 0 ? c.TlsRetry : size;
    size_t n = 0;
    if (SSL_write_ex(c.Tls, data, offer, &n) == 1) {
        c.TlsRetry = 0;
        return static_cast<ssize_t>(n);
    }
    c.TlsRetry = offer;
    const int error = SSL_get_error(c.Tls, 0);
    ERR_clear_error();
    errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPROTO;
    return -1;
}

void TLoadGenerator::SendLogin(TClient& c) {
    const QByteArray nick = "b" + QByteArray::number(c.Index);
    std::string login = Encode(KMS_LOGIN, nick, "0") +
                        Encode(KMS_USER, nick, QByteArray::fromStdString(Config.Password));
    if (c.Index == 0) {
        login += Encode(KMS_CREATE, QByteArray::fromStdString(Room));
        c.JoinSent = true;
    }
    Queue(c, login);
}

void TLoadGenerator::WatchWritable(TClient& c, bool on) {
    if (c.WatchingOut == on)
        return;
    epoll_event ev{};
    ev.events = on ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(c.Index);
    epoll_ctl(Epoll, EPOLL_CTL_MOD, c.Fd, &ev);
    c.WatchingOut = on;
}

std::string& TLoadGenerator::OutgoingRecords(TClient& c) {
    return Config.Web ? c.Unframed : c.Out;
}

void TLoadGenerator::Queue(TClient& c, const std::string& bytes) {
    OutgoingRecords(c) += bytes;
}

void TLoadGenerator::QueueMessages(TClient& c) {
    std::string& out = OutgoingRecords(c);
    while (c.Sent < Config.Messages && c.Sent - c.Echoed < Config.Window) {
        const size_t at = out.size();
        out += MessageTemplate;
        WriteStamp(&out[at + MessageTextAt], MonotonicNs(), static_cast<uint32_t>(c.Index));
        ++c.Sent;
    }
}

void TLoadGenerator::Flush(TClient& c) {
    if (!c.Unframed.empty() && !c.Upgrading) {
        AppendWebSocketFrame(c.Out, kWsBinary, c.Unframed.data(), c.Unframed.size(), NextMask());
        c.Unframed.clear();
    }
    while (c.OutAt < c.Out.size()) {
        const ssize_t n = Transmit(c, c.Out.data() + c.OutAt, c.Out.size() - c.OutAt);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WatchWritable(c, true);
                return;
            }
            Fail("send to the server failed for b" + std::to_string(c.Index) + ": " +
                 std::strerror(errno));
            return;
        }
        c.OutAt += static_cast<size_t>(n);
    }
    c.Out.clear();
    c.OutAt = 0;
    if (!c.Connecting)
        WatchWritable(c, false);
}

void TLoadGenerator::OnEvent(TClient& c, uint32_t events) {
    if (c.Fd < 0)
        return;
    if (c.Connecting) {
        OnConnected(c);
        if (!Error.empty())
            return;
    }
    if (c.Handshaking) {
        if (!ContinueHandshake(c))
            return;
        // Records the handshake took in with it are not announced again.
        if (SSL_has_pending(c.Tls))
            events |= EPOLLIN;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        OnReadable(c);
    if (!Error.empty() || c.Fd < 0)
        return;
    if (!c.Out.empty() || !c.Unframed.empty())
        Flush(c);
}

void TLoadGenerator::OnReadable(TClient& c) {
    for (int round = 0; round < kReadsPerEvent; ++round) {
        const size_t carry = c.Pending.size();
        if (carry + kReadBufferSize / 2 > Buffer.size())
            Buffer.resize(carry + kReadBufferSize);
        if (carry > 0)
            std::memcpy(Buffer.data(), c.Pending.data(), carry);
        const size_t room = Buffer.size() - carry;
        const ssize_t n = Receive(c, Buffer.data() + carry, room);
        if (n == 0) {
            Fail("the server closed the connection of b" + std::to_string(c.Index) +
                 (c.Upgrading ? " before answering the WebSocket upgrade (is --port the web "
                                "port?)"
                              : ""));
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Fail("receive failed for b" + std::to_string(c.Index) + ": " +
                     std::strerror(errno));
            return;
        }
        size_t fresh = static_cast<size_t>(n);
        if (Config.Web) {
            fresh = Unframe(c, Buffer.data() + carry, fresh);
            if (!Error.empty())
                return;
        }
        // One clock reading per read: every record in it arrived by now.
        NowNs = MonotonicNs();
        LastRecordNs = NowNs;
        const size_t size = carry + fresh;
        const size_t used = Parse(c, Buffer.data(), size);
        if (used < size) {
            c.Pending.assign(Buffer.data() + used, size - used);
        } else {
            c.Pending.clear();
            if (c.Pending.capacity() > 65536)
                c.Pending.shrink_to_fit();
        }
        if (!Error.empty() || static_cast<size_t>(n) < room)
            return;
    }
}

size_t TLoadGenerator::Parse(TClient& c, char* data, size_t size) {
    size_t pos = 0;
    TRecordView record;
    while (pos < size) {
        const ScanResult r = Scanner.Next(data + pos, size - pos, record);
        if (r.Status == ScanStatus::NeedMore)
            break;
        pos += r.Consumed;
        if (r.Status == ScanStatus::Garbage)
            continue;
        ++Records;
        OnRecord(c, record);
        if (!Error.empty())
            break;
    }
    return pos;
}

void TLoadGenerator::OnRecord(TClient& c, const TRecordView& r) {
    const auto roomSize = static_cast<uint32_t>(Room.size());
    switch (r.Code) {
    case KMC_CHATDATA:
        if (!r.Param1Is(Room.data(), roomSize) || r.Param2Size == 0)
            return;
        if (r.Param2[0] == 'N')
            OnDelivery(c, r);
        else if (r.Param2[0] == 'S')
            ++Notices;
        return;
    case KMC_PING:
        Queue(c, PingBytes);
        return;
    case KMC_OKAY:
        if (!c.Answered) {
            c.Answered = true;
            --Unanswered;
        }
        return;
    case KMC_ADDCHAT:
        if (!c.JoinSent && r.Param1Is(Room.data(), roomSize)) {
            Queue(c, JoinBytes);
            c.JoinSent = true;
        }
        return;
    case KMC_JOINED:
        if (!c.Joined && r.Param1Is(Room.data(), roomSize)) {
            c.Joined = true;
            ++Joined;
        }
        return;
    case KMC_MESSAGE:
    case KMC_STATUS: {
        const std::string text = r.Code == KMC_MESSAGE ? std::string(r.Param2, r.Param2Size)
                                                       : std::string(r.Param1, r.Param1Size);
        // Notices that mean the run cannot go on; anything else (a broadcast) is ignored.
        if (text == "The chat does not exist" || text == "This is a private chat" ||
            text == "Invalid Chat Name" || text.rfind("Server is shuting down", 0) == 0)
            Fail("b" + std::to_string(c.Index) + " was told: " + text);
        return;
    }
    default:
        if (const char* refusal = RefusalName(r.Code))
            Fail("the server answered b" + std::to_string(c.Index) + " with " + refusal);
        return;
    }
}

void TLoadGenerator::OnDelivery(TClient& c, const TRecordView& r) {
    // "N" followed by the bench's text; other clients' chat text is not counted.
    if (r.Param2Size != static_cast<uint32_t>(Config.TextSize) + 1)
        return;
    uint64_t sendNs = 0;
    uint32_t sender = 0;
    if (!ReadStamp(r.Param2 + 1, sendNs, sender))
        return;
    ++Deliveries;
    LastDeliveryNs = NowNs;
    Latency.Add(static_cast<int64_t>(NowNs - sendNs));
    if (sender == static_cast<uint32_t>(c.Index) && c.Index < Config.Senders) {
        ++c.Echoed;
        QueueMessages(c);
    }
}

void TLoadGenerator::PrintProgress(bool final) {
    if (!Config.Progress)
        return;
    char line[200];
    switch (Current) {
    case Phase::Login:
        std::snprintf(line, sizeof line, "login: %d connected, %d joined of %d", Connected, Joined,
                      Config.Clients);
        break;
    case Phase::Settle:
        std::snprintf(line, sizeof line, "settling: %llu join notices",
                      static_cast<unsigned long long>(Notices));
        break;
    case Phase::Messaging:
    case Phase::Done: {
        const uint64_t expected = static_cast<uint64_t>(Config.Senders) *
                                  static_cast<uint64_t>(Config.Messages) *
                                  static_cast<uint64_t>(Config.Clients);
        std::snprintf(line, sizeof line, "messaging: %llu of %llu deliveries (%.0f%%)",
                      static_cast<unsigned long long>(Deliveries),
                      static_cast<unsigned long long>(expected),
                      expected ? 100.0 * static_cast<double>(Deliveries) / expected : 0.0);
        break;
    }
    }
    // On a terminal the line is rewritten in place; elsewhere it is a log line.
    if (isatty(STDERR_FILENO))
        std::fprintf(stderr, "\r\033[K%s%s", line, final ? "\n" : "");
    else
        std::fprintf(stderr, "%s\n", line);
    ProgressShown = true;
}

TBenchResult TLoadGenerator::Run(int serverPid) {
    TBenchResult result;
    const double cpuAtStart = CpuSecondsOfSelf();
    const uint64_t startNs = MonotonicNs();
    const uint64_t deadlineNs = startNs + static_cast<uint64_t>(Config.TimeoutSeconds * 1e9);
    const uint64_t n = static_cast<uint64_t>(Config.Clients);
    const uint64_t expectedNotices = n * (n - 1) / 2 + n;
    result.ExpectedDeliveries =
        static_cast<uint64_t>(Config.Senders) * static_cast<uint64_t>(Config.Messages) * n;

    std::optional<uint64_t> cpuLoginStart;
    std::optional<uint64_t> cpuMessagingStart;
    std::optional<uint64_t> faultsMessagingStart;
    TSyscallCounter syscalls;
    if (serverPid > 0) {
        result.ServerRssBeforeKiB = ReadResidentKiB(serverPid);
        cpuLoginStart = ReadCpuNs(serverPid);
        if (!result.ServerRssBeforeKiB || !cpuLoginStart)
            Fail("cannot read /proc/" + std::to_string(serverPid) + " (is the server running?)");
    }

    Epoll = epoll_create1(EPOLL_CLOEXEC);
    if (Epoll < 0)
        Fail(std::string("epoll_create1: ") + std::strerror(errno));

    uint64_t loginStartNs = MonotonicNs();
    uint64_t firstSendNs = 0;
    double benchCpuMessagingStart = 0;
    uint64_t settledNs = 0;
    LastRecordNs = loginStartNs;
    LastProgressNs = loginStartNs;
    if (Error.empty())
        StartConnects();

    std::vector<epoll_event> events(kMaxEvents);
    while (Error.empty() && Current != Phase::Done) {
        NowNs = MonotonicNs();
        if (NowNs >= deadlineNs) {
            result.TimedOut = true;
            Fail("timed out after " + std::to_string(Config.TimeoutSeconds) + " s" +
                 (Config.Web && Upgraded == 0
                      ? ": no WebSocket upgrade was answered (is --port the web port?)"
                      : ""));
            break;
        }
        const int waitMs =
            static_cast<int>(std::min<uint64_t>((deadlineNs - NowNs) / 1'000'000 + 1, 100));
        const int ready = epoll_wait(Epoll, events.data(), kMaxEvents, waitMs);
        if (ready < 0 && errno != EINTR) {
            Fail(std::string("epoll_wait: ") + std::strerror(errno));
            break;
        }
        for (int i = 0; i < ready && Error.empty(); ++i)
            OnEvent(Clients[events[static_cast<size_t>(i)].data.u32],
                    events[static_cast<size_t>(i)].events);
        if (!Error.empty())
            break;
        NowNs = MonotonicNs();

        if (Current == Phase::Login) {
            StartConnects();
            if (Joined == Config.Clients) {
                result.LoginSeconds = static_cast<double>(NowNs - loginStartNs) / 1e9;
                Current = Phase::Settle;
            }
        }
        if (Current == Phase::Settle && settledNs == 0 &&
            (Notices >= expectedNotices || NowNs - LastRecordNs >= kSettleQuietNs))
            settledNs = NowNs;
        if (Current == Phase::Settle && settledNs > 0 &&
            (serverPid <= 0 || NowNs - settledNs >= kIdleBeforeMeasureNs)) {
            // Every client is logged in, joined and idle: the memory they cost now.
            if (serverPid > 0) {
                result.ServerRssIdleKiB = ReadResidentKiB(serverPid);
                cpuMessagingStart = ReadCpuNs(serverPid);
                faultsMessagingStart = ReadPageFaults(serverPid);
                syscalls.Start(serverPid);
                if (cpuLoginStart && cpuMessagingStart)
                    result.ServerCpuLoginMs =
                        static_cast<double>(*cpuMessagingStart - *cpuLoginStart) / 1e6;
            }
            Current = Phase::Messaging;
            benchCpuMessagingStart = CpuSecondsOfSelf();
            firstSendNs = MonotonicNs();
            for (int s = 0; s < Config.Senders && Error.empty(); ++s) {
                TClient& c = Clients[static_cast<size_t>(s)];
                QueueMessages(c);
                Flush(c);
            }
        }
        if (Current == Phase::Messaging && Deliveries >= result.ExpectedDeliveries) {
            Current = Phase::Done;
            result.BenchCpuUsPerDelivery = (CpuSecondsOfSelf() - benchCpuMessagingStart) * 1e6 /
                                           static_cast<double>(std::max<uint64_t>(Deliveries, 1));
            const double deliveries = static_cast<double>(std::max<uint64_t>(Deliveries, 1));
            if (serverPid > 0 && cpuMessagingStart) {
                if (const auto cpuEnd = ReadCpuNs(serverPid))
                    result.ServerCpuUsPerDelivery =
                        static_cast<double>(*cpuEnd - *cpuMessagingStart) / 1e3 / deliveries;
            }
            if (const auto calls = syscalls.Count())
                result.ServerSyscallsPerDelivery = static_cast<double>(*calls) / deliveries;
            syscalls.Stop();
            if (serverPid > 0 && faultsMessagingStart) {
                if (const auto faults = ReadPageFaults(serverPid))
                    result.ServerFaultsPerDelivery =
                        static_cast<double>(*faults - *faultsMessagingStart) / deliveries;
            }
        }
        if (NowNs - LastProgressNs >= kProgressEveryNs) {
            LastProgressNs = NowNs;
            PrintProgress(false);
        }
    }
    if (ProgressShown)
        PrintProgress(true);

    switch (Current) {
    case Phase::Login:
        result.Phase = "login";
        break;
    case Phase::Settle:
        result.Phase = "settle";
        break;
    case Phase::Messaging:
        result.Phase = "messaging";
        break;
    case Phase::Done:
        result.Phase = "done";
        break;
    }
    result.Completed = Current == Phase::Done && Error.empty();
    result.Error = Error;
    result.Connected = Connected;
    result.Joined = Joined;
    if (Current == Phase::Login)
        result.LoginSeconds = static_cast<double>(NowNs - loginStartNs) / 1e9;
    if (result.LoginSeconds > 0)
        result.LoginsPerSecond = Joined / result.LoginSeconds;
    result.Deliveries = Deliveries;
    if (firstSendNs > 0) {
        const uint64_t endNs = Current == Phase::Done ? LastDeliveryNs : NowNs;
        result.MessagingSeconds = static_cast<double>(endNs - firstSendNs) / 1e9;
        if (result.MessagingSeconds > 0)
            result.DeliveriesPerSecond = static_cast<double>(Deliveries) / result.MessagingSeconds;
    }
    result.P50Ms = static_cast<double>(Latency.QuantileNs(0.50)) / 1e6;
    result.P99Ms = static_cast<double>(Latency.QuantileNs(0.99)) / 1e6;
    result.MaxMs = static_cast<double>(Latency.QuantileNs(1.0)) / 1e6;
    if (result.ServerRssBeforeKiB && result.ServerRssIdleKiB && Config.Clients > 0)
        result.ServerRssPerConnectionKiB = (static_cast<double>(*result.ServerRssIdleKiB) -
                                            static_cast<double>(*result.ServerRssBeforeKiB)) /
                                           Config.Clients;
    result.RecordsReceived = Records;
    result.SlowRecords = Scanner.SlowRecords;
    result.BenchCpuSeconds = CpuSecondsOfSelf() - cpuAtStart;
    return result;
}

} // namespace kelvra
