#pragma once
// The web port: serves the chat page and upgrades /ws to a WebSocket whose
// user becomes an ordinary link of the connection manager (WebBridge.h).
// HTTP stays minimal: one request per connection, the page's assets only.
// With a certificate the port serves HTTPS and wss instead (Qt's TLS backend).
#include "ConnectionManager.h"
#include "ListenSocket.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <memory>

class QSocketNotifier;
class QTcpSocket;
class QTimer;
class QWebSocketServer;

namespace kelvra {

class TWebFront : public QObject {
    Q_OBJECT
public:
    // Request headers larger than this are refused.
    static constexpr qsizetype kMaxHeader = 8 * 1024;
    // Connections that have not finished their request (or handshake) at once;
    // further ones are closed at accept.
    static constexpr int kMaxUnfinished = 512;
    // Time for a request or a WebSocket handshake (and before them the TLS
    // handshake) to arrive in full, at most; a shorter record time limit of
    // the chat port applies here too.
    static constexpr int kRequestTimeoutMs = 10000;

    explicit TWebFront(TConnectionManager& manager, QObject* parent = nullptr);
    ~TWebFront() override;

    // Origins a WebSocket may come from besides the page's own ("*": any).
    void SetAllowedOrigins(const QStringList& origins) { Origins = origins; }
    // From now on new connections speak TLS with this certificate and key
    // (an empty key file: the key is in the certificate file); connections
    // already made keep theirs. On failure nothing changes and error says why.
    bool UseCertificate(const QString& certificateFile, const QString& keyFile, QString* error);
    bool Secure() const { return HasTls; }
    // port: a TCP service name or a decimal number; bindAddress as for the
    // chat port.
    TListenResult Listen(const QString& port, const QString& bindAddress);
    QString BindErrorText() const { return BindError; }
    uint16_t Port() const;
    void Close();
    int UnfinishedCount() const { return Unfinished; }

    // Whether a WebSocket from this Origin may use the chat: the page's own
    // origin (scheme and Host of the request), a listed one, or none at all
    // (not a browser).
    static bool OriginAllowed(const QByteArray& origin, const QByteArray& host, bool secure,
                              const QStringList& allowed);

private:
    void OnAccept();
    void Serve(QTcpSocket* socket);
    void OnRequestData(QTcpSocket* socket);
    void Respond(QTcpSocket* socket, const QByteArray& response);
    void Forget(QTcpSocket* socket);
    void Drop(QTcpSocket* socket);
    int RequestTimeoutMs() const;
    void OnUpgraded();

    TConnectionManager& Manager;
    QStringList Origins;
    int ListenFd = -1;
    std::unique_ptr<QSocketNotifier> Notifier;
    QTimer* AcceptPause = nullptr;
    QWebSocketServer* Upgrader = nullptr;
    QString BindError;
    QSslConfiguration Tls;
    bool HasTls = false;
    int Unfinished = 0;
    QHash<QString, QPointer<QTcpSocket>> Upgrading; // by peer, while the handshake runs
};

} // namespace kelvra
