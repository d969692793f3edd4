#pragma once
// A stand-in chat server for the client tests: one listener on 127.0.0.1 in
// the test process, records in and out through the real codec, and a
// responder the test chooses.
#include "ClientSession.h"
#include "DataPacket.h"
#include "PacketCodes.h"
#include "WireCodec.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

namespace kelvra::clienttest {

class TFakeServer {
public:
    using TResponder = std::function<void(TFakeServer&, const TDataPacket&)>;

    TFakeServer() {
        Listener.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&Listener, &QTcpServer::newConnection, [this] { OnConnection(); });
    }
    ~TFakeServer() {
        if (Peer)
            Peer->abort();
    }

    quint16 Port() const { return Listener.serverPort(); }
    void SetResponder(TResponder responder) { Responder = std::move(responder); }

    void Send(const TDataPacket& p) { Peer->write(EncodePacket(p)); }
    void Send(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {}, bool sw = false) {
        Send(MakePacket(code, p1, p2, sw));
    }
    void SendRaw(const QByteArray& bytes) { Peer->write(bytes); }
    void CloseClient() { Peer->disconnectFromHost(); }

    // What the client sent, without its ping answers (which may come at any point).
    std::vector<TDataPacket> WithoutPings() const {
        std::vector<TDataPacket> out;
        for (const TDataPacket& p : Received)
            if (p.Code != KMS_PING)
                out.push_back(p);
        return out;
    }
    int Count(int32_t code) const {
        int n = 0;
        for (const TDataPacket& p : Received)
            n += p.Code == code;
        return n;
    }

    std::vector<TDataPacket> Received;
    bool PeerClosed = false;
    quint64 Garbage = 0;

private:
    void OnConnection() {
        QTcpSocket* s = Listener.nextPendingConnection();
        if (Peer) { // one client at a time
            s->abort();
            s->deleteLater();
            return;
        }
        Peer = s;
        QObject::connect(s, &QTcpSocket::readyRead, [this, s] {
            const QByteArray bytes = s->readAll();
            std::vector<TDataPacket> batch;
            Decoder.Decode(bytes.constData(), bytes.size(), batch);
            Garbage = Decoder.SkippedBytes();
            for (const TDataPacket& p : batch) {
                Received.push_back(p);
                if (Responder && Peer)
                    Responder(*this, p);
            }
        });
        QObject::connect(s, &QTcpSocket::disconnected, [this] { PeerClosed = true; });
    }

    QTcpServer Listener;
    QPointer<QTcpSocket> Peer;
    TStreamDecoder Decoder;
    TResponder Responder;
};

// Records as comparable, readable texts.
inline std::vector<std::string> Texts(const std::vector<TDataPacket>& packets) {
    std::vector<std::string> out;
    for (const TDataPacket& p : packets)
        out.push_back(DescribePacket(p).toStdString());
    return out;
}
inline std::string Text(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {},
                        bool sw = false) {
    return DescribePacket(MakePacket(code, p1, p2, sw)).toStdString();
}

} // namespace kelvra::clienttest
