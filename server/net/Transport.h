#pragma once
// The one way anything reaches a client, and what the socket layer tells the
// server core about its connections.
#include "DataPacket.h"
#include "WireCodec.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace kelvra {

// A connection's socket descriptor, the key by which records find their sender.
using SocketHandle = uint32_t;

// A record prepared for sending: Version and From zeroed, encoded once, so a
// relay to many members costs one encoding.
struct TPreparedPacket {
    explicit TPreparedPacket(TDataPacket p) : Packet(std::move(p)) {
        Packet.Version = 0;
        Packet.From = 0;
        Bytes = EncodePacket(Packet);
    }
    TDataPacket Packet;
    QByteArray Bytes;
};

class ITransport {
public:
    virtual ~ITransport() = default;
    virtual void SendPacket(SocketHandle socket, const TDataPacket& packet) {
        SendPrepared(socket, TPreparedPacket(packet));
    }
    virtual void SendPrepared(SocketHandle socket, const TPreparedPacket& packet) = 0;
    // Queues whole records already encoded (Version and From zeroed), block
    // after block, in order. The transport does not log them: where the
    // traffic is watched the caller logs the records. A transport that takes
    // no blocks returns false: the caller then sends record by record.
    virtual bool SendEncoded(SocketHandle, const std::vector<QByteArray>& /*blocks*/) {
        return false;
    }
    // How many more bytes the connection's send queue takes before the client
    // counts as not reading and is dropped; 0 for an unknown connection.
    virtual qsizetype SendRoom(SocketHandle) const { return 4 * 1024 * 1024; }
    // The record of this connection was ended by the server (the operator's
    // Remove): nothing more is read from it; it closes when the peer closes.
    virtual void StopReading(SocketHandle) {}

    // Write receipts. QueuedOffset is how many bytes were queued to the
    // connection since it was accepted (the stream offset at which the next
    // record starts). NotifyWhenWritten asks for
    // IConnectionEvents::OutputWritten(socket, offset) once the socket took
    // the first `offset` bytes; a connection that closes first never calls it.
    virtual uint64_t QueuedOffset(SocketHandle) const { return 0; }
    virtual void NotifyWhenWritten(SocketHandle, uint64_t) {}

    // Groups: connections that take the same records (everybody, the members
    // of a chat), named by the server core's key. A record sent to a group
    // reaches every member but `except`, in order with everything else sent
    // to each, at a cost that does not grow with the number of members.
    // Returns how many it went to, or -1 when the transport keeps no groups:
    // the caller then sends to each member itself. A notice that may wait
    // (mayWait) is written when it suits the transport, within a quarter of
    // a second; anything else goes out in the next pass.
    static constexpr SocketHandle kNoSocket = UINT32_MAX;
    virtual qsizetype SendToGroup(uint64_t /*group*/, const TPreparedPacket& /*packet*/,
                                  SocketHandle /*except*/, bool /*mayWait*/ = false) {
        return -1;
    }
    // The connection starts or stops taking the group's records.
    virtual void JoinGroup(uint64_t /*group*/, SocketHandle) {}
    virtual void LeaveGroup(uint64_t /*group*/, SocketHandle) {}
};

// What the socket layer shows the operator: the traffic logs and the socket
// error log.
class ITrafficLog {
public:
    virtual ~ITrafficLog() = default;
    // False when nobody watches the traffic: the socket layer then skips LogPacket.
    virtual bool LogsTraffic() const { return true; }
    virtual void LogPacket(const TDataPacket& packet, bool outgoing) = 0;
    // The same record to `count` recipients.
    virtual void LogPackets(const TDataPacket& packet, bool outgoing, qsizetype count) {
        for (qsizetype i = 0; i < count; ++i)
            LogPacket(packet, outgoing);
    }
    // `records` records sent end to end in encoded blocks (none split between
    // blocks), as SendEncoded takes them: a row for each.
    virtual void LogEncoded(const std::vector<QByteArray>& blocks, qsizetype records,
                            bool outgoing);
    // A failed socket call: code in the socket error numbering, 0 when unknown.
    virtual void ReportSocketError(int code, const QString& function) = 0;
    // A failure caused by client input: shown in the socket error log, never
    // in a modal box, and the server carries on.
    virtual void ReportClientFailure(const QString& text) = 0;
};

// The server core as the socket layer sees it.
class IConnectionEvents {
public:
    virtual ~IConnectionEvents() = default;
    // A connection was accepted: create its user record. ipv4 and port in host order.
    virtual void ConnectionAccepted(SocketHandle socket, uint32_t ipv4, uint16_t port) = 0;
    // Whether the connection still has a user record; records arriving on a
    // connection without one are discarded.
    virtual bool HasUser(SocketHandle socket) const = 0;
    // One decoded record, From already set to the socket.
    virtual void Dispatch(const TDataPacket& packet) = 0;
    // The peer closed the connection, or the server dropped it.
    virtual void ConnectionClosed(SocketHandle socket) = 0;
    // A connection that has logged on (KMS_USER accepted) gets the full
    // output share; others a small one.
    virtual bool IsLoggedOn(SocketHandle) const { return true; }
    // The first `offset` bytes queued to the connection were written to its
    // socket (asked for with ITransport::NotifyWhenWritten).
    virtual void OutputWritten(SocketHandle, uint64_t /*offset*/) {}
    // The connections that take the group's records now (ITransport::SendToGroup).
    virtual void GroupMembers(uint64_t /*group*/, std::vector<SocketHandle>& /*members*/) const {}
};

} // namespace kelvra
