// Drives whole connections: arbitrary bytes, in arbitrary pieces, on a few
// connections that come and go, decoded and handed to the server core as the
// socket layer would, with the operator's commands mixed in. Every handler
// path is reachable; none may crash, leak a record or leave a chat referring
// to an ended user.
#include "Server.h"
#include "WireCodec.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

using namespace kelvra;

// Sends go nowhere; a connection's queue has room unless the input says not.
class TSink : public ITransport {
public:
    void SendPrepared(SocketHandle, const TPreparedPacket& packet) override {
        Sent += static_cast<size_t>(packet.Bytes.size());
    }
    qsizetype SendRoom(SocketHandle) const override { return Room; }
    size_t Sent = 0;
    qsizetype Room = 4 * 1024 * 1024;
};

constexpr int kConnections = 4;

struct TFuzzConnection {
    bool Open = false;
    TStreamDecoder Decoder;
};

// Every chat's member entries are live users.
void CheckRegistry(const TRegistry& registry) {
    for (const auto& chat : registry.Chats())
        for (TConnection* member : chat->Users)
            if (!registry.FindUserBySocket(member->Socket) ||
                registry.FindUserBySocket(member->Socket) != member)
                abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TSink sink;
    TQuietView view;
    TServer server(sink, view);
    server.ServerNick = "Admin";
    std::array<TFuzzConnection, kConnections> links;

    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t op = data[pos++];
        const int index = op % kConnections;
        const auto socket = static_cast<SocketHandle>(10 + index);
        TFuzzConnection& link = links[static_cast<size_t>(index)];
        switch ((op / kConnections) % 8) {
        case 0: // connect (or reconnect) the link
            if (link.Open)
                server.ConnectionClosed(socket);
            link = TFuzzConnection{};
            link.Open = true;
            server.ConnectionAccepted(socket, 0x7F000001u + static_cast<uint32_t>(index),
                                      static_cast<uint16_t>(40000 + index));
            break;
        case 1: // the peer closes
            if (link.Open)
                server.ConnectionClosed(socket);
            link.Open = false;
            break;
        case 2: // a queue that is nearly full
            sink.Room = data[pos] * 64;
            break;
        case 3: { // operator commands on whatever the byte names
            const uint8_t what = data[pos];
            const TConnection* user = server.Registry().FindUserBySocket(socket);
            const TUserHandle handle = user ? user->Handle() : TUserHandle{};
            switch (what % 6) {
            case 0:
                server.Kick(handle);
                break;
            case 1:
                server.RemoveUser(handle);
                break;
            case 2:
                server.KillChat(what / 6);
                break;
            case 3:
                server.Broadcast("hello", what & 1);
                break;
            case 4:
                server.RemoveMail(what / 6);
                break;
            default:
                server.DeliverOrStoreMail(user ? user->Nickname : QByteArray("x"), "op", "m");
                break;
            }
            break;
        }
        default: { // bytes on the link
            const size_t len = std::min<size_t>(1 + data[pos] * 4u, size - pos - 1);
            const char* bytes = reinterpret_cast<const char*>(data + pos + 1);
            if (link.Open && server.HasUser(socket))
                link.Decoder.Consume(bytes, static_cast<qsizetype>(len), [&](TDataPacket& p) {
                    p.From = static_cast<int32_t>(socket);
                    server.Dispatch(p);
                    return true;
                });
            pos += len;
            break;
        }
        }
        ++pos;
        CheckRegistry(server.Registry());
    }
    for (int i = 0; i < kConnections; ++i)
        if (links[static_cast<size_t>(i)].Open)
            server.ConnectionClosed(static_cast<SocketHandle>(10 + i));
    if (server.Registry().UserCount() != 0 || server.Registry().ChatCount() != 0)
        abort();
    return 0;
}
