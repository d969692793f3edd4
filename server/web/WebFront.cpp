#include "WebFront.h"

#include "WebAssets.h"
#include "WebBridge.h"
#include "WebTls.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

constexpr int kAcceptPerEvent = 64;
const char* const kTimerName = "kelvraRequestTimer";

QString PeerKey(const QHostAddress& address, quint16 port) {
    return address.toString() + QLatin1Char(' ') + QString::number(port);
}

bool IsEncrypted(const QTcpSocket* socket) {
    return qobject_cast<const QSslSocket*>(socket) != nullptr;
}

} // namespace

TWebFront::TWebFront(TConnectionManager& manager, QObject* parent)
    : QObject(parent), Manager(manager) {
    AcceptPause = new QTimer(this);
    AcceptPause->setSingleShot(true);
    connect(AcceptPause, &QTimer::timeout, this, [this] {
        if (Notifier)
            Notifier->setEnabled(true);
    });
    // Used only for the handshake and framing of sockets accepted here; it
    // never listens itself. The Origin was checked before the hand-over.
    Upgrader =
        new QWebSocketServer(QStringLiteral("Kelvra Chat"), QWebSocketServer::NonSecureMode, this);
    Upgrader->setHandshakeTimeout(kRequestTimeoutMs);
    connect(Upgrader, &QWebSocketServer::originAuthenticationRequired, this,
            [](QWebSocketCorsAuthenticator* a) { a->setAllowed(true); });
    connect(Upgrader, &QWebSocketServer::newConnection, this, &TWebFront::OnUpgraded);
}

TWebFront::~TWebFront() {
    Close();
}

TListenResult TWebFront::Listen(const QString& port, const QString& bindAddress) {
    Close();
    const TListenResult result =
        OpenListenSocket(port, bindAddress, ListenFd, BindError, [this](int err, const char*) {
            BindError = QString::fromLocal8Bit(strerror(err));
        });
    if (result != TListenResult::Ok)
        return result;
    Notifier = std::make_unique<QSocketNotifier>(ListenFd, QSocketNotifier::Read);
    connect(Notifier.get(), &QSocketNotifier::activated, this, &TWebFront::OnAccept);
    return result;
}

bool TWebFront::UseCertificate(const QString& certificateFile, const QString& keyFile,
                               QString* error) {
    QSslConfiguration loaded;
    if (!LoadWebTls(certificateFile, keyFile, loaded, error))
        return false;
    Tls = loaded;
    HasTls = true;
    return true;
}

int TWebFront::RequestTimeoutMs() const {
    const int limit = Manager.RecordTimeLimit();
    return limit > 0 ? std::min(kRequestTimeoutMs, limit * 1000) : kRequestTimeoutMs;
}

uint16_t TWebFront::Port() const {
    return ListenFd >= 0 ? BoundPort(ListenFd) : 0;
}

void TWebFront::Close() {
    Notifier.reset();
    if (ListenFd >= 0)
        ::close(ListenFd);
    ListenFd = -1;
}

void TWebFront::OnAccept() {
    for (int i = 0; i < kAcceptPerEvent; ++i) {
        const int fd = accept4(ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                // Out of descriptors: pause instead of spinning on the same failure.
                Notifier->setEnabled(false);
                AcceptPause->start(250);
            }
            return;
        }
        if (Unfinished >= kMaxUnfinished) {
            ::close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        QTcpSocket* socket = HasTls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
            tls->setSslConfiguration(Tls);
            tls->startServerEncryption();
        }
        Serve(socket);
    }
}

void TWebFront::Serve(QTcpSocket* socket) {
    ++Unfinished;
    auto* timer = new QTimer(socket);
    timer->setObjectName(QLatin1String(kTimerName));
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, socket, [this, socket] { Drop(socket); });
    timer->start(RequestTimeoutMs());
    // Plain HTTP to the HTTPS port, or a broken handshake: nothing to answer.
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::SslHandshakeFailedError ||
                    error == QAbstractSocket::SslInternalError ||
                    error == QAbstractSocket::SslInvalidUserDataError)
                    QTimer::singleShot(0, socket, [this, socket] { Drop(socket); });
            });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnRequestData(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        Forget(socket);
        socket->deleteLater();
    });
    if (socket->bytesAvailable() > 0)
        OnRequestData(socket);
}

void TWebFront::Forget(QTcpSocket* socket) {
    if (!socket->property("kelvraCounted").isValid()) {
        socket->setProperty("kelvraCounted", true);
        --Unfinished;
    }
}

void TWebFront::Drop(QTcpSocket* socket) {
    Forget(socket);
    socket->abort();
    socket->deleteLater();
}

void TWebFront::OnRequestData(QTcpSocket* socket) {
    // The request stays in the socket until it is complete: an upgrade hands
    // it, unread, to the WebSocket handshake.
    const QByteArray seen = socket->peek(kMaxHeader + 4);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() > kMaxHeader)
            Respond(socket, PlainResponse(431, "Request Header Fields Too Large"));
        return;
    }
    THttpRequestHead head;
    if (!ParseRequestHead(seen.left(end), head)) {
        Respond(socket, PlainResponse(400, "Bad Request"));
        return;
    }
    if (head.Target != "/ws") {
        Respond(socket, AssetResponse(head));
        return;
    }
    if (!head.Upgrade || head.Method != "GET") {
        Respond(socket, PlainResponse(426, "Upgrade Required"));
        return;
    }
    if (!OriginAllowed(head.Origin, head.Host, IsEncrypted(socket), Origins)) {
        Respond(socket, PlainResponse(403, "Forbidden"));
        return;
    }
    // From here the handshake is the WebSocket module's, with its own timeout.
    disconnect(socket, nullptr, this, nullptr);
    delete socket->findChild<QTimer*>(QLatin1String(kTimerName));
    Forget(socket);
    // The WebSocket keeps its TCP socket to itself; the bridge needs it to
    // pause reading, so it is found again by its peer. A failed handshake
    // ends in a close.
    const QString key = PeerKey(socket->peerAddress(), socket->peerPort());
    Upgrading.insert(key, socket);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, key] {
        if (Upgrading.value(key).isNull())
            Upgrading.remove(key);
    });
    Upgrader->setHandshakeTimeout(RequestTimeoutMs());
    Upgrader->handleConnection(socket);
}

void TWebFront::Respond(QTcpSocket* socket, const QByteArray& response) {
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->write(response);
    // Whatever else the client sends is not read; the close waits for the
    // response to be written, and the request timer bounds that too.
    socket->disconnectFromHost();
}

void TWebFront::OnUpgraded() {
    while (QWebSocket* ws = Upgrader->nextPendingConnection()) {
        const QPointer<QTcpSocket> tcp = Upgrading.take(PeerKey(ws->peerAddress(), ws->peerPort()));
        // Only this front's sockets come here, all of one kind while a
        // certificate is in use; a reload never turns TLS off.
        TWebBridge::Attach(ws, tcp.data(), Manager, tcp ? IsEncrypted(tcp.data()) : HasTls, this);
    }
}

bool TWebFront::OriginAllowed(const QByteArray& origin, const QByteArray& host, bool secure,
                              const QStringList& allowed) {
    if (origin.isEmpty())
        return true;
    const QString text = QString::fromLatin1(origin);
    for (const QString& entry : allowed) {
        const QString e = entry.trimmed();
        if (e == QLatin1String("*") || QString::compare(e, text, Qt::CaseInsensitive) == 0)
            return true;
    }
    const QString own = (secure ? QStringLiteral("https://") : QStringLiteral("http://")) +
                        QString::fromLatin1(host);
    return !host.isEmpty() && QString::compare(own, text, Qt::CaseInsensitive) == 0;
}

} // namespace kelvra
