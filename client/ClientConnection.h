#pragma once
// One client connection to a chat server: records out, records in. Used by the
// terminal client, the protocol tests and the load generator.
#include "DataPacket.h"
#include "WireCodec.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>

class QSslSocket;
class QTcpSocket;

namespace kelvra {

struct TTlsOptions {
    bool Enabled = false;
    // Trusted issuers; empty: the system's store.
    QList<QSslCertificate> CaCertificates;
    // Go on despite certificate problems (they are still reported).
    bool Insecure = false;
};

// The problems of a server certificate, one short text each, for a person:
// "certificate not trusted (self-signed)", "host name mismatch: ...".
QStringList DescribeCertificateProblems(const QList<QSslError>& errors, const QString& host);

class TClientConnection : public QObject {
    Q_OBJECT
public:
    explicit TClientConnection(QObject* parent = nullptr);
    ~TClientConnection() override;

    // Applies to the next ConnectToHost.
    void SetTls(const TTlsOptions& tls) { Tls = tls; }
    bool UsesTls() const { return Tls.Enabled; }
    void ConnectToHost(const QString& host, quint16 port);
    // Runs a local event loop until connected, failed or timed out; other
    // sockets of the thread keep being served meanwhile.
    bool WaitForConnected(int msecs);
    bool IsConnected() const;

    // Encodes the record as given (Version and From included) and queues it.
    void Send(const TDataPacket& packet);
    // Arbitrary bytes, for split or broken records.
    void SendRaw(const QByteArray& bytes);
    // Graceful: queued bytes are written before the socket closes.
    void Close();
    void Abort();

    QTcpSocket* Socket() const;
    // The last attempt failed on the server's certificate (not let pass).
    bool CertificateRefused() const { return !CertProblems.isEmpty() && !Tls.Insecure; }
    // Bytes the decoder skipped as not belonging to any record, including an
    // unfinished record left when the connection ended.
    quint64 SkippedBytes() const;

signals:
    void Connected();
    // Records of one read are delivered in order. A receiver may Abort() or
    // delete the connection; the rest of that read is then dropped.
    void PacketReceived(const kelvra::TDataPacket& packet);
    // Emitted after the records of a read in which the decoder skipped bytes.
    void GarbageReceived(quint64 skippedBytes);
    // Only for a connection that was established.
    void Disconnected();
    // The connection could not be established (lookup, refusal, ...).
    void ConnectFailed(QAbstractSocket::SocketError error, const QString& text);
    // With TLS and Insecure: the certificate's problems, which were let pass.
    void CertificateIgnored(const QStringList& problems);

private:
    void OnReadyRead();
    void OnDisconnected();
    void OnError(QAbstractSocket::SocketError error);
    void OnSslErrors(const QList<QSslError>& errors);
    void OnEstablished();

    QSslSocket* Sock;
    TTlsOptions Tls;
    QString Host;
    QStringList CertProblems;
    TStreamDecoder Decoder;
    quint64 TailSkipped = 0;
    // Bumped by Abort and ConnectToHost, so a delivery loop knows to stop.
    quint64 Generation = 0;
    bool WasConnected = false;
    bool TcpUp = false; // with TLS: the handshake is under way or done
};

} // namespace kelvra
