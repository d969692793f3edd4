#include "WebBridge.h"

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QWebSocket>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

namespace {

// Input held while the pair is full before the TCP socket is paused, and the
// level at which it is read again.
constexpr qsizetype kInHigh = 256 * 1024;
constexpr qsizetype kInLow = 64 * 1024;
// The TCP socket's own buffer: what a paused socket may still take in.
constexpr qint64 kTcpReadBuffer = 64 * 1024;
// Output waiting in the WebSocket before the pair is left unread.
constexpr qint64 kOutHigh = 1024 * 1024;
constexpr qint64 kOutLow = 256 * 1024;
constexpr qsizetype kOutChunk = 64 * 1024;
constexpr int kOutChunksPerEvent = 8;
// How long a closing handshake may take before the socket is aborted.
constexpr int kCloseWaitMs = 5000;

// The link's end of the pair: the plain descriptor calls, another name.
class TWebLinkIo final : public ILinkIo {
public:
    TWebLinkIo(int fd, bool secure) : Plain(fd), Secure(secure) {}
    int Fd() const override { return Plain.Fd(); }
    TIoResult Read(char* buffer, qsizetype size) override { return Plain.Read(buffer, size); }
    TIoResult Write(const iovec* parts, int count) override { return Plain.Write(parts, count); }
    QString Kind() const override { return Secure ? QStringLiteral("wss") : QStringLiteral("ws"); }

private:
    TPlainIo Plain;
    bool Secure;
};

} // namespace

TWebBridge* TWebBridge::Attach(QWebSocket* socket, QTcpSocket* tcp, TConnectionManager& manager,
                               bool secure, QObject* parent) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        socket->abort();
        socket->deleteLater();
        return nullptr;
    }
    auto* bridge = new TWebBridge(socket, tcp, pair[0]);
    bridge->setParent(parent);
    const QHostAddress peer = socket->peerAddress();
    bool isV4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isV4);
    bridge->LinkHandle = manager.Adopt(std::make_unique<TWebLinkIo>(pair[1], secure),
                                       isV4 ? ipv4 : 0, socket->peerPort());
    return bridge;
}

TWebBridge::TWebBridge(QWebSocket* socket, QTcpSocket* tcp, int fd)
    : Socket(socket), Tcp(tcp), Fd(fd) {
    Socket->setParent(this);
    if (Tcp)
        Tcp->setParent(this); // after the WebSocket, so it goes after it
    Socket->setMaxAllowedIncomingMessageSize(kMaxMessage);
    Socket->setMaxAllowedIncomingFrameSize(kMaxMessage);
    if (Tcp)
        Tcp->setReadBufferSize(kTcpReadBuffer);
    ReadNotifier = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Read);
    WriteNotifier = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Write);
    WriteNotifier->setEnabled(false);
    connect(ReadNotifier.get(), &QSocketNotifier::activated, this, &TWebBridge::PullOut);
    connect(WriteNotifier.get(), &QSocketNotifier::activated, this, &TWebBridge::PushIn);
    connect(Socket, &QWebSocket::binaryMessageReceived, this, &TWebBridge::OnMessage);
    // The protocol is bytes: a text message is a client that speaks something else.
    connect(Socket, &QWebSocket::textMessageReceived, this, [this] {
        Socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported,
                      QStringLiteral("binary messages only"));
        OnSocketGone();
    });
    connect(Socket, &QWebSocket::disconnected, this, &TWebBridge::OnSocketGone);
    connect(Socket, &QWebSocket::bytesWritten, this, [this] {
        if (!Closing && Socket->bytesToWrite() < kOutLow)
            ReadNotifier->setEnabled(true);
    });
    CloseTimer.setSingleShot(true);
    connect(&CloseTimer, &QTimer::timeout, this, [this] {
        Socket->abort();
        Finish();
    });
}

TWebBridge::~TWebBridge() {
    if (Tcp && Paused)
        Tcp->blockSignals(false);
    // The program ends: the socket layer wrote its last words (the shutdown
    // notice) into the pair, and nobody will serve this socket again.
    if (Fd >= 0 && !Closing && Socket->state() == QAbstractSocket::ConnectedState) {
        char buffer[kOutChunk];
        ssize_t n;
        while ((n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            Socket->sendBinaryMessage(QByteArray(buffer, static_cast<qsizetype>(n)));
        Socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        Socket->flush();
    }
    ReadNotifier.reset();
    WriteNotifier.reset();
    if (Fd >= 0)
        ::close(Fd);
}

void TWebBridge::OnMessage(const QByteArray& message) {
    if (Closing || Fd < 0)
        return;
    if (In.isEmpty() || InDone == In.size()) {
        In = message;
        InDone = 0;
    } else {
        In.append(message);
    }
    PushIn();
}

void TWebBridge::PushIn() {
    while (Fd >= 0 && InDone < In.size()) {
        const ssize_t n =
            ::send(Fd, In.constData() + InDone, static_cast<size_t>(In.size() - InDone),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            InDone += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        ServerClosed(); // the link ended: nobody reads the pair any more
        return;
    }
    const qsizetype held = In.size() - InDone;
    if (held == 0) {
        In.clear();
        InDone = 0;
    } else if (InDone > kInHigh) {
        In.remove(0, InDone);
        InDone = 0;
    }
    WriteNotifier->setEnabled(held > 0);
    if (!Paused && held > kInHigh)
        PauseSocket(true);
    else if (Paused && held < kInLow)
        PauseSocket(false);
}

// QWebSocket reads its TCP socket whenever that says readyRead, and offers no
// pause of its own. Holding back the TCP socket's signals stops it: the
// socket fills its bounded buffer, stops reading the descriptor, and the
// sender's window closes. On release, whatever happened meanwhile (data, a
// close) is looked at again.
void TWebBridge::PauseSocket(bool pause) {
    if (!Tcp || Paused == pause)
        return;
    Paused = pause;
    Tcp->blockSignals(pause);
    if (pause)
        return;
    if (Tcp->state() != QAbstractSocket::ConnectedState) {
        OnSocketGone();
        return;
    }
    if (Tcp->bytesAvailable() > 0)
        QMetaObject::invokeMethod(Tcp.data(), "readyRead", Qt::QueuedConnection);
}

void TWebBridge::PullOut() {
    if (Fd < 0)
        return;
    char buffer[kOutChunk];
    for (int i = 0; i < kOutChunksPerEvent; ++i) {
        const ssize_t n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            Socket->sendBinaryMessage(QByteArray(buffer, static_cast<qsizetype>(n)));
            if (Socket->bytesToWrite() > kOutHigh) {
                ReadNotifier->setEnabled(false); // bytesWritten turns it on again
                return;
            }
            // A short read took all there was: another would only say so.
            // Written now rather than on the socket's next write notice: one
            // pass of the event loop less for every flush of the link.
            if (n < static_cast<ssize_t>(sizeof buffer)) {
                Socket->flush();
                return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        ServerClosed();
        return;
    }
}

void TWebBridge::OnSocketGone() {
    // The browser went: the link ends as if its TCP connection had closed.
    // What the pair already holds is still read by the manager.
    Closing = true;
    Finish();
}

void TWebBridge::ServerClosed() {
    // The manager ended the link (a kick, a quit, a limit): a closing
    // handshake, bounded in time.
    if (Closing)
        return;
    Closing = true;
    ReadNotifier->setEnabled(false);
    WriteNotifier->setEnabled(false);
    if (Paused)
        PauseSocket(false);
    if (Socket->state() == QAbstractSocket::ConnectedState) {
        Socket->close(QWebSocketProtocol::CloseCodeNormal);
        CloseTimer.start(kCloseWaitMs);
    } else {
        Finish();
    }
}

void TWebBridge::Finish() {
    if (Fd < 0)
        return;
    ReadNotifier.reset();
    WriteNotifier.reset();
    ::close(Fd);
    Fd = -1;
    CloseTimer.stop();
    deleteLater();
}

} // namespace kelvra
