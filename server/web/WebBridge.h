#pragma once
// A WebSocket user as an ordinary link of the socket layer.
//
// The socket layer drives every link by the readiness of one descriptor, and
// its limits (input budget, record age, read rate, fan-out, output queue) are
// all applied there. So a WebSocket is not served beside it but behind a
// socket pair: the link's end goes to the connection manager like an accepted
// socket, and this bridge moves bytes between the other end and the
// QWebSocket, which does the framing. Binary messages go into the pair as a
// byte stream (a message may hold any part of a record); what the server
// writes goes out as binary messages. Back pressure runs both ways: when the
// manager reads slowly (its read rate) the pair fills and the bridge stops
// reading the TCP socket; when the browser reads slowly the bridge stops
// reading the pair, the link's queue grows, and its limit applies.
#include "ConnectionManager.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <memory>

class QSocketNotifier;
class QTcpSocket;
class QWebSocket;

namespace kelvra {

class TWebBridge : public QObject {
    Q_OBJECT
public:
    // Largest message (and frame) taken from a browser; a larger one closes
    // the connection.
    static constexpr qint64 kMaxMessage = 2 * 1024 * 1024;

    // Takes ownership of the upgraded socket; tcp is its transport (paused
    // while the pair is full). Null when no socket pair could be made.
    static TWebBridge* Attach(QWebSocket* socket, QTcpSocket* tcp, TConnectionManager& manager,
                              bool secure, QObject* parent);
    ~TWebBridge() override;

    SocketHandle Handle() const { return LinkHandle; }

private:
    TWebBridge(QWebSocket* socket, QTcpSocket* tcp, int fd);
    void OnMessage(const QByteArray& message);
    void PushIn();
    void PullOut();
    void PauseSocket(bool pause);
    void OnSocketGone();
    void ServerClosed();
    void Finish();

    QWebSocket* Socket;
    QPointer<QTcpSocket> Tcp;
    int Fd; // the bridge's end of the pair
    SocketHandle LinkHandle = -1;
    std::unique_ptr<QSocketNotifier> ReadNotifier;
    std::unique_ptr<QSocketNotifier> WriteNotifier;
    QByteArray In; // from the browser, not yet taken by the pair
    qsizetype InDone = 0;
    bool Paused = false;
    bool Closing = false;
    QTimer CloseTimer;
};

} // namespace kelvra
