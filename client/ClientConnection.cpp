#include "ClientConnection.h"

#include <QEventLoop>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <vector>

namespace kelvra {

QStringList DescribeCertificateProblems(const QList<QSslError>& errors, const QString& host) {
    QStringList out;
    for (const QSslError& e : errors) {
        QString text;
        switch (e.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
            text = QStringLiteral("certificate not trusted (self-signed)");
            break;
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::InvalidCaCertificate:
        case QSslError::CertificateRejected:
            text = QStringLiteral("certificate not trusted (issuer unknown)");
            break;
        case QSslError::HostNameMismatch: {
            QStringList names = e.certificate().subjectInfo(QSslCertificate::CommonName);
            for (const QString& n : e.certificate().subjectAlternativeNames().values())
                if (!names.contains(n))
                    names << n;
            text = QStringLiteral("host name mismatch: the certificate is for %1, not %2")
                       .arg(names.isEmpty() ? QStringLiteral("no name")
                                            : names.join(QStringLiteral(", ")),
                            host);
            break;
        }
        case QSslError::CertificateExpired:
            text = QStringLiteral("certificate expired on %1")
                       .arg(e.certificate().expiryDate().toString(Qt::ISODate));
            break;
        case QSslError::CertificateNotYetValid:
            text = QStringLiteral("certificate not valid before %1")
                       .arg(e.certificate().effectiveDate().toString(Qt::ISODate));
            break;
        case QSslError::CertificateRevoked:
            text = QStringLiteral("certificate revoked");
            break;
        case QSslError::NoPeerCertificate:
            text = QStringLiteral("the server sent no certificate");
            break;
        default:
            text = e.errorString();
            break;
        }
        if (!out.contains(text))
            out << text;
    }
    return out;
}

TClientConnection::TClientConnection(QObject* parent)
    : QObject(parent), Sock(new QSslSocket(this)) {
    connect(Sock, &QSslSocket::connected, this, [this] {
        // Small records, answered at once: no Nagle delay.
        Sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        TcpUp = true;
        if (!Tls.Enabled)
            OnEstablished();
    });
    connect(Sock, &QSslSocket::encrypted, this, &TClientConnection::OnEstablished);
    connect(Sock, &QSslSocket::sslErrors, this, &TClientConnection::OnSslErrors);
    connect(Sock, &QSslSocket::readyRead, this, &TClientConnection::OnReadyRead);
    connect(Sock, &QSslSocket::disconnected, this, &TClientConnection::OnDisconnected);
    connect(Sock, &QSslSocket::errorOccurred, this, &TClientConnection::OnError);
}

QTcpSocket* TClientConnection::Socket() const {
    return Sock;
}

void TClientConnection::OnEstablished() {
    WasConnected = true;
    emit Connected();
}

void TClientConnection::OnSslErrors(const QList<QSslError>& errors) {
    CertProblems = DescribeCertificateProblems(errors, Host);
    if (!Tls.Insecure)
        return; // the handshake fails and ConnectFailed names the problems
    Sock->ignoreSslErrors();
    emit CertificateIgnored(CertProblems);
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
    TcpUp = false;
    Host = host;
    CertProblems.clear();
    if (!Tls.Enabled) {
        Sock->connectToHost(host, port);
        return;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!Tls.CaCertificates.isEmpty())
        config.setCaCertificates(Tls.CaCertificates);
    Sock->setSslConfiguration(config);
    // The host name as given is the name the certificate must carry.
    Sock->connectToHostEncrypted(host, port);
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
    return Sock->state() == QAbstractSocket::ConnectedState &&
           (!Tls.Enabled || Sock->isEncrypted());
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
    if (CertificateRefused())
        emit ConnectFailed(QAbstractSocket::SslHandshakeFailedError,
                           QStringLiteral("server certificate refused: ") +
                               CertProblems.join(QStringLiteral("; ")));
    else if (Tls.Enabled && TcpUp)
        emit ConnectFailed(QAbstractSocket::SslHandshakeFailedError,
                           QStringLiteral("TLS handshake failed: ") + Sock->errorString());
    else
        emit ConnectFailed(error, Sock->errorString());
}

} // namespace kelvra
