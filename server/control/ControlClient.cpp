#include "ControlClient.h"

#include "ControlProtocol.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kelvra {

namespace {

QString SystemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

// Waits for the descriptor to be ready for `events` until the deadline; false
// with the reason on timeout or failure.
bool WaitFor(int fd, short events, const QDeadlineTimer& deadline, QString* error) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int left = static_cast<int>(qMax<qint64>(0, deadline.remainingTime()));
        const int n = ::poll(&p, 1, left);
        if (n > 0)
            return true;
        if (n == 0) {
            *error = QStringLiteral("no answer from the server in time");
            return false;
        }
        if (errno != EINTR) {
            *error = SystemError("poll");
            return false;
        }
    }
}

} // namespace

TControlClient::~TControlClient() {
    Close();
}

void TControlClient::Close() {
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
    Buffer.clear();
}

bool TControlClient::Connect(const QString& path, QString* error) {
    Close();
    const QByteArray native = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (native.isEmpty() || size_t(native.size()) >= sizeof(address.sun_path)) {
        *error = QStringLiteral("%1: not a usable socket path").arg(path);
        return false;
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) {
        *error = SystemError("socket");
        return false;
    }
    if (::connect(Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int err = errno;
        Close();
        QString why = QString::fromLocal8Bit(strerror(err));
        if (err == ENOENT || err == ECONNREFUSED)
            why += QStringLiteral(" (is kelvra-serverd running?)");
        else if (err == EACCES)
            why += QStringLiteral(" (run as the server's user or as root)");
        *error = QStringLiteral("cannot connect to %1: %2").arg(path, why);
        return false;
    }
    return true;
}

bool TControlClient::WriteAll(const QByteArray& bytes, const QDeadlineTimer& deadline,
                              QString* error) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(Fd, bytes.constData() + done, size_t(bytes.size() - done),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(Fd, POLLOUT, deadline, error))
                return false;
            continue;
        }
        *error = SystemError("send");
        return false;
    }
    return true;
}

std::optional<QByteArray> TControlClient::ReadLine(const QDeadlineTimer& deadline, QString* error) {
    for (;;) {
        const qsizetype newline = Buffer.indexOf('\n');
        if (newline >= 0) {
            QByteArray line = Buffer.left(newline);
            Buffer.remove(0, newline + 1);
            return line;
        }
        if (!WaitFor(Fd, POLLIN, deadline, error))
            return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::recv(Fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            Buffer.append(chunk, n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        *error = n == 0 ? QStringLiteral("the server closed the control connection")
                        : SystemError("recv");
        return std::nullopt;
    }
}

std::optional<QJsonObject> TControlClient::Call(const QString& op, const QJsonObject& args,
                                                int timeoutMs, QString* error) {
    if (Fd < 0) {
        *error = QStringLiteral("not connected");
        return std::nullopt;
    }
    const int id = NextId++;
    QJsonObject request{{QStringLiteral("id"), id}, {QStringLiteral("op"), op}};
    if (!args.isEmpty())
        request.insert(QStringLiteral("args"), args);
    QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact);
    line += '\n';
    if (line.size() > kControlMaxRequestBytes) {
        *error = QStringLiteral("the request is longer than %1 bytes").arg(kControlMaxRequestBytes);
        return std::nullopt;
    }
    const QDeadlineTimer deadline(timeoutMs);
    // A server that refuses the connection (too many) says why and closes at
    // once: its reason may be waiting even when the request could not go out.
    const bool written = WriteAll(line, deadline, error);
    for (;;) {
        QString readError;
        const std::optional<QByteArray> answer =
            ReadLine(written ? deadline : QDeadlineTimer(0), &readError);
        if (!answer) {
            if (written)
                *error = readError;
            return std::nullopt;
        }
        QJsonParseError parse{};
        const QJsonDocument doc = QJsonDocument::fromJson(*answer, &parse);
        if (!doc.isObject()) {
            *error =
                QStringLiteral("unreadable answer from the server: %1").arg(parse.errorString());
            return std::nullopt;
        }
        const QJsonObject response = doc.object();
        // A response to an earlier request (none is pending here) or a notice
        // without an id: not ours.
        const QJsonValue answeredId = response.value(QStringLiteral("id"));
        if (answeredId.isDouble() && answeredId.toInt() != id)
            continue;
        return response;
    }
}

} // namespace kelvra
