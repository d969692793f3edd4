#include "ClientConnection.h"

#include <QEventLoop>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <vector>

namespace kelvra {

TClientConnection::TClientConnection(QObject* parent)
    : QObject(parent), Sock(new QTcpSocket(this)) {
    connect(Sock, &QTcpSocket::connected, this, [this] {
        WasConnected = true;
        // Small records, answered at once: no Nagle delay.
        Sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit Connected();
    });
    connect(Sock, &QTcpSocket::readyRead, this, &TClientConnection::OnReadyRead);
    connect(Sock, &QTcpSocket::disconnected, this, &TClientConnection::OnDisconnected);
    connect(Sock, &QTcpSocket::errorOccurred, this, &TClientConnection::OnError);
}

TClientConnection::~TClientConnection() {
    // The socket is destroyed after us; it must not call back into a half-gone object.
    Sock->disconnect(this);
}

void TClientConnection::ConnectToHost(const QString& host, quint16 port) {
    ++Generation;
    Sock->abort();
    Decoder = TStreamDecoder();
    TailSkipped = 0;
    WasConnected = false;
    Sock->connectToHost(host, port);
}

bool TClientConnection::WaitForConnected(int msecs) {
    if (IsConnected())
        return true;
    if (Sock->state() == QAbstractSocket::UnconnectedState)
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TClientConnection::Connected, &loop, &QEventLoop::quit);
    connect(this, &TClientConnection::ConnectFailed, &loop, &QEventLoop::quit);
    connect(Sock, &QTcpSocket::stateChanged, &loop, [&loop](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState)
            loop.quit();
    });
    timer.start(msecs);
    loop.exec();
    return IsConnected();
}

bool TClientConnection::IsConnected() const {
    return Sock->state() == QAbstractSocket::ConnectedState;
}

void TClientConnection::Send(const TDataPacket& packet) {
    QByteArray bytes;
    AppendPacket(bytes, packet);
    Sock->write(bytes);
}

void TClientConnection::SendRaw(const QByteArray& bytes) {
    Sock->write(bytes);
}

void TClientConnection::Close() {
    Sock->disconnectFromHost();
}

void TClientConnection::Abort() {
    ++Generation;
    Sock->abort();
}

quint64 TClientConnection::SkippedBytes() const {
    return Decoder.SkippedBytes() + TailSkipped;
}

void TClientConnection::OnReadyRead() {
    const QByteArray bytes = Sock->readAll();
    if (bytes.isEmpty())
        return;
    const quint64 skippedBefore = SkippedBytes();
    // Decode the whole read first: receivers may abort or delete us.
    std::vector<TDataPacket> packets;
    Decoder.Decode(bytes.constData(), bytes.size(), packets);
    const quint64 skipped = SkippedBytes();
    QPointer<TClientConnection> guard(this);
    const quint64 generation = Generation;
    for (const TDataPacket& p : packets) {
        emit PacketReceived(p);
        if (!guard || Generation != generation)
            return;
    }
    if (skipped != skippedBefore)
        emit GarbageReceived(skipped);
}

void TClientConnection::OnDisconnected() {
    QPointer<TClientConnection> guard(this);
    if (Sock->bytesAvailable() > 0)
        OnReadyRead();
    if (!guard)
        return;
    // An unfinished record can never be completed now.
    if (Decoder.PendingBytes() > 0) {
        const quint64 total = SkippedBytes() + static_cast<quint64>(Decoder.PendingBytes());
        Decoder = TStreamDecoder();
        TailSkipped = total;
        emit GarbageReceived(total);
        if (!guard)
            return;
    }
    if (WasConnected) {
        WasConnected = false;
        emit Disconnected();
    }
}

void TClientConnection::OnError(QAbstractSocket::SocketError error) {
    if (WasConnected)
        return; // the disconnected signal follows and tells the story
    emit ConnectFailed(error, Sock->errorString());
}

} // namespace kelvra
