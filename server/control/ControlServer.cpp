#include "ControlServer.h"

#include "ControlProtocol.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kelvra {

namespace {

QString ErrnoText(int err = errno) {
    return QString::fromLocal8Bit(strerror(err));
}

QByteArray ErrorLine(const char* code, const QString& text) {
    const QJsonObject response{{QStringLiteral("id"), QJsonValue()},
                               {QStringLiteral("ok"), false},
                               {QStringLiteral("code"), QLatin1String(code)},
                               {QStringLiteral("error"), text}};
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

// Creates the missing folders of path, each readable by its owner only; folders
// that exist are left as they are.
bool EnsureFolder(const QString& folder, QString* error) {
    const QByteArray native = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        *error = QStringLiteral("%1 is not a folder").arg(folder);
        return false;
    }
    const QString parent = QFileInfo(folder).path();
    if (parent != folder && !EnsureFolder(parent, error))
        return false;
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create the folder %1: %2").arg(folder, ErrnoText());
        return false;
    }
    return true;
}

bool MakeAddress(const QString& path, sockaddr_un* address, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (native.isEmpty() || size_t(native.size()) >= sizeof(address->sun_path)) {
        *error = QStringLiteral("the control socket path must be 1 to %1 bytes long: %2")
                     .arg(sizeof(address->sun_path) - 1)
                     .arg(path);
        return false;
    }
    std::memcpy(address->sun_path, native.constData(), size_t(native.size()));
    return true;
}

// Whether a server answers on the socket file at address.
enum class TProbe { Nobody, Answers, Failed };
TProbe Probe(const sockaddr_un& address, int* err) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return TProbe::Failed;
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    *err = errno;
    ::close(fd);
    if (rc == 0 || *err == EAGAIN) // EAGAIN: a live listener with a full backlog
        return TProbe::Answers;
    return *err == ECONNREFUSED ? TProbe::Nobody : TProbe::Failed;
}

} // namespace

struct TControlServer::TPeer {
    int Fd = -1;
    uint64_t Serial = 0;
    // The notifiers and the timer; deleted later, since a peer may be dropped
    // from inside their own signals.
    QObject* Owner = nullptr;
    QSocketNotifier* Reader = nullptr;
    QSocketNotifier* Writer = nullptr;
    QTimer* Timer = nullptr;
    TWait Waiting = TWait::None;

    QByteArray In;
    qsizetype Scanned = 0; // bytes of In known to hold no newline
    bool InClosed = false; // the client sent its last byte
    QByteArray Out;
    qsizetype OutPos = 0;
    bool Closing = false; // close once Out is written
    bool ContinuationQueued = false;

    qsizetype Pending() const { return Out.size() - OutPos; }
};

TControlServer::TControlServer(THandler handler, QObject* parent)
    : QObject(parent), Handler(std::move(handler)) {}

TControlServer::~TControlServer() {
    Close();
}

bool TControlServer::Listen(const QString& path, QString* error) {
    Close();
    sockaddr_un address{};
    if (!MakeAddress(path, &address, error))
        return false;
    if (!EnsureFolder(QFileInfo(path).path(), error))
        return false;

    struct stat st {};
    if (::lstat(address.sun_path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = QStringLiteral("%1 exists and is not a socket; not replacing it").arg(path);
            return false;
        }
        int err = 0;
        switch (Probe(address, &err)) {
        case TProbe::Answers:
            *error = QStringLiteral("another server answers on the control socket %1").arg(path);
            return false;
        case TProbe::Failed:
            *error =
                QStringLiteral("cannot check the control socket %1: %2").arg(path, ErrnoText(err));
            return false;
        case TProbe::Nobody:
            // Left by a server that ended without removing it.
            if (::unlink(address.sun_path) != 0 && errno != ENOENT) {
                *error = QStringLiteral("cannot remove the stale control socket %1: %2")
                             .arg(path, ErrnoText());
                return false;
            }
            break;
        }
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("cannot create the control socket: %1").arg(ErrnoText());
        return false;
    }
    // The file is created with the owner's read and write bits only: no moment
    // in which another user could connect. Start-up runs no other thread that
    // creates files, so the process-wide mask may change for the call.
    const mode_t oldMask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindErr = errno;
    ::umask(oldMask);
    if (bound != 0) {
        ::close(fd);
        *error =
            QStringLiteral("cannot create the control socket %1: %2").arg(path, ErrnoText(bindErr));
        return false;
    }
    if (::listen(fd, kMaxConnections) != 0 || ::lstat(address.sun_path, &st) != 0) {
        const int err = errno;
        ::unlink(address.sun_path);
        ::close(fd);
        *error =
            QStringLiteral("cannot listen on the control socket %1: %2").arg(path, ErrnoText(err));
        return false;
    }
    ListenFd = fd;
    SocketPath = path;
    SocketDevice = st.st_dev;
    SocketInode = st.st_ino;
    AcceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(AcceptNotifier, &QSocketNotifier::activated, this, &TControlServer::OnAccept);
    return true;
}

void TControlServer::Close() {
    while (!Peers.empty())
        Drop(Peers.begin()->first);
    if (ListenFd < 0)
        return;
    delete AcceptNotifier;
    AcceptNotifier = nullptr;
    ::close(ListenFd);
    ListenFd = -1;
    // Another server may have taken the path over meanwhile: leave its socket.
    const QByteArray native = QFile::encodeName(SocketPath);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && uint64_t(st.st_dev) == SocketDevice &&
        uint64_t(st.st_ino) == SocketInode)
        ::unlink(native.constData());
}

void TControlServer::OnAccept() {
    // A few at a time, so that a stream of connections cannot hold the thread.
    for (int i = 0; i < kMaxConnections; ++i) {
        const int fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: try again later rather than spin.
                AcceptNotifier->setEnabled(false);
                QTimer::singleShot(1000, this, [this] {
                    if (AcceptNotifier)
                        AcceptNotifier->setEnabled(true);
                });
            }
            return;
        }
        // The file's mode already keeps other users out; this also covers a
        // path in a folder where the mode could be changed behind our back.
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
            (credentials.uid != ::geteuid() && credentials.uid != 0)) {
            ::close(fd);
            continue;
        }
        if (static_cast<int>(Peers.size()) >= kMaxConnections) {
            const QByteArray line =
                ErrorLine(ControlError::Busy, QStringLiteral("too many control connections")) +
                '\n';
            [[maybe_unused]] const ssize_t sent =
                ::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        auto peer = std::make_unique<TPeer>();
        peer->Fd = fd;
        peer->Serial = NextSerial++;
        peer->Owner = new QObject(this);
        peer->Reader = new QSocketNotifier(fd, QSocketNotifier::Read, peer->Owner);
        peer->Writer = new QSocketNotifier(fd, QSocketNotifier::Write, peer->Owner);
        peer->Writer->setEnabled(false);
        peer->Timer = new QTimer(peer->Owner);
        peer->Timer->setSingleShot(true);
        const uint64_t serial = peer->Serial;
        connect(peer->Reader, &QSocketNotifier::activated, this, [this, fd] { OnReadable(fd); });
        connect(peer->Writer, &QSocketNotifier::activated, this, [this, fd] { OnWritable(fd); });
        connect(peer->Timer, &QTimer::timeout, this, [this, fd, serial] { OnTimeout(fd, serial); });
        TPeer& ref = *peer;
        Peers[fd] = std::move(peer);
        Rearm(ref, false);
    }
}

TControlServer::TPeer* TControlServer::Find(int fd, uint64_t serial) const {
    auto it = Peers.find(fd);
    return it != Peers.end() && it->second->Serial == serial ? it->second.get() : nullptr;
}

void TControlServer::OnReadable(int fd) {
    auto it = Peers.find(fd);
    if (it == Peers.end())
        return;
    TPeer& peer = *it->second;
    // One read per notification: a busy client waits for the next pass.
    char chunk[64 * 1024];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Drop(fd);
        return;
    }
    if (n == 0)
        peer.InClosed = true;
    else
        peer.In.append(chunk, n);
    Serve(peer);
}

void TControlServer::Serve(TPeer& peer) {
    const int fd = peer.Fd;
    int handled = 0;
    while (!peer.Closing && peer.Pending() < kOutputHighWater) {
        qsizetype newline = peer.In.indexOf('\n', peer.Scanned);
        if (newline < 0)
            peer.Scanned = peer.In.size();
        if ((newline < 0 ? peer.In.size() : newline) > kControlMaxRequestBytes) {
            Queue(peer,
                  ErrorLine(
                      ControlError::TooLarge,
                      QStringLiteral("request longer than %1 bytes").arg(kControlMaxRequestBytes)));
            peer.Closing = true;
            peer.In.clear();
            break;
        }
        if (newline < 0) {
            if (!peer.InClosed || peer.In.isEmpty())
                break;
            newline = peer.In.size(); // the last request needs no newline
        }
        if (handled == kRequestsPerPass) {
            // The rest in a later pass, after other work of the thread.
            if (!peer.ContinuationQueued) {
                peer.ContinuationQueued = true;
                const uint64_t serial = peer.Serial;
                QTimer::singleShot(0, this, [this, fd, serial] {
                    if (TPeer* p = Find(fd, serial)) {
                        p->ContinuationQueued = false;
                        Serve(*p);
                    }
                });
            }
            break;
        }
        const QByteArray line = peer.In.left(newline);
        peer.In.remove(0, qMin(newline + 1, peer.In.size()));
        peer.Scanned = 0;
        if (line.trimmed().isEmpty())
            continue;
        ++handled;
        const QByteArray response = Handler(line);
        // The handler may have closed the server (a shutdown request).
        if (!Find(fd, peer.Serial))
            return;
        Queue(peer, response);
    }
    if (peer.InClosed && !peer.ContinuationQueued && (peer.In.isEmpty() || peer.Closing))
        peer.Closing = true;
    bool progress = false;
    if (!Flush(peer, &progress))
        return;
    Rearm(peer, progress);
}

void TControlServer::Queue(TPeer& peer, const QByteArray& line) {
    if (peer.OutPos > 0 && peer.OutPos >= peer.Out.size() / 2) {
        peer.Out.remove(0, peer.OutPos);
        peer.OutPos = 0;
    }
    peer.Out += line;
    peer.Out += '\n';
}

bool TControlServer::Flush(TPeer& peer, bool* progress) {
    while (peer.OutPos < peer.Out.size()) {
        const ssize_t n =
            ::send(peer.Fd, peer.Out.constData() + peer.OutPos,
                   size_t(peer.Out.size() - peer.OutPos), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            peer.OutPos += n;
            if (progress)
                *progress = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        Drop(peer.Fd); // the client went away
        return false;
    }
    peer.Out.clear();
    peer.OutPos = 0;
    if (peer.Closing) {
        Drop(peer.Fd);
        return false;
    }
    return true;
}

void TControlServer::OnWritable(int fd) {
    auto it = Peers.find(fd);
    if (it == Peers.end())
        return;
    TPeer& peer = *it->second;
    bool progress = false;
    if (!Flush(peer, &progress))
        return;
    // Requests held back while the output was long.
    if (peer.Pending() < kOutputHighWater && !peer.In.isEmpty())
        Serve(peer);
    else
        Rearm(peer, progress);
}

void TControlServer::Rearm(TPeer& peer, bool outputProgress) {
    const bool outputWaits = peer.Pending() > 0;
    peer.Writer->setEnabled(outputWaits);
    peer.Reader->setEnabled(!peer.InClosed && !peer.Closing && peer.Pending() < kOutputHighWater &&
                            peer.In.size() <= kControlMaxRequestBytes);
    TWait wait = TWait::Idle;
    int msecs = kIdleTimeoutMs;
    if (outputWaits) {
        wait = TWait::Output;
        msecs = kWriteStallMs;
    } else if (!peer.In.isEmpty()) {
        wait = TWait::Request;
        msecs = kRequestTimeoutMs;
    }
    // A request's time runs from its first byte, however slowly the rest comes;
    // output's from the last progress.
    const bool keep = wait == peer.Waiting && peer.Timer->isActive() &&
                      (wait == TWait::Request || (wait == TWait::Output && !outputProgress));
    if (!keep)
        peer.Timer->start(msecs);
    peer.Waiting = wait;
}

void TControlServer::OnTimeout(int fd, uint64_t serial) {
    TPeer* peer = Find(fd, serial);
    if (!peer)
        return;
    if (peer->Waiting != TWait::Request) {
        Drop(fd);
        return;
    }
    peer->In.clear();
    peer->Closing = true;
    Queue(*peer,
          ErrorLine(
              ControlError::BadRequest,
              QStringLiteral("request incomplete after %1 seconds").arg(kRequestTimeoutMs / 1000)));
    bool progress = false;
    if (Flush(*peer, &progress))
        Rearm(*peer, progress);
}

void TControlServer::Drop(int fd) {
    auto it = Peers.find(fd);
    if (it == Peers.end())
        return;
    std::unique_ptr<TPeer> peer = std::move(it->second);
    Peers.erase(it);
    peer->Reader->setEnabled(false);
    peer->Writer->setEnabled(false);
    peer->Timer->stop();
    peer->Owner->deleteLater();
    ::close(fd);
}

} // namespace kelvra
