// Drives whole connections through the socket layer's own read path: bytes
// written in arbitrary pieces into socket pairs that the connection manager
// reads with its per-pass limits and backlog, decodes and hands to the server
// core, with peers that close, stop reading or read again, and the
// operator's commands mixed in. None of it may crash, leak a record or leave
// a chat referring to an ended user.
#include "ConnectionManager.h"
#include "Server.h"

#include <QCoreApplication>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace kelvra;

constexpr int kConnections = 4;

struct TPeer {
    int Fd = -1;         // the client's end
    int ServerFd = -1;   // the manager's end (owned by its link)
    bool Reading = true; // the client takes what it is sent
};

// Every chat's member entries are live users.
void CheckRegistry(const TRegistry& registry) {
    for (const auto& chat : registry.Chats())
        for (TConnection* member : chat->Users)
            if (registry.FindUserBySocket(member->Socket) != member)
                abort();
}

void Drain(int fd) {
    char buffer[16384];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

bool Unread(const TConnectionManager& manager, const TPeer& peer) {
    int n = 0;
    return peer.ServerFd >= 0 && manager.LinkKind(static_cast<SocketHandle>(peer.ServerFd)) != "" &&
           ioctl(peer.ServerFd, FIONREAD, &n) == 0 && n > 0;
}

// Runs the event loop until the manager has dealt with everything it was given.
void Pump(TConnectionManager& manager, std::array<TPeer, kConnections>& peers) {
    for (int round = 0; round < 200; ++round) {
        for (TPeer& p : peers)
            if (p.Fd >= 0 && p.Reading)
                Drain(p.Fd);
        bool busy = !manager.Settled();
        for (const TPeer& p : peers)
            busy = busy || Unread(manager, p);
        if (!busy)
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void ClosePeer(TPeer& peer) {
    if (peer.Fd >= 0)
        close(peer.Fd);
    peer = TPeer{};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TQuietView view;
    TConnectionManager manager(view);
    TServer server(manager, view);
    server.ServerNick = "Admin";
    manager.SetEvents(&server);
    std::array<TPeer, kConnections> peers;

    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t op = data[pos++];
        TPeer& peer = peers[op % kConnections];
        switch ((op / kConnections) % 8) {
        case 0: { // a new connection in this slot (the old one's peer goes)
            ClosePeer(peer);
            int ends[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
                break;
            // Small buffers, so a peer that does not read makes the server queue.
            const int small = 4096;
            setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            peer.Fd = ends[1];
            peer.ServerFd = ends[0];
            manager.Adopt(std::make_unique<TPlainIo>(ends[0]), 0x7F000001u + (op % kConnections),
                          static_cast<uint16_t>(40000 + op % kConnections));
            break;
        }
        case 1: // the peer closes
            ClosePeer(peer);
            break;
        case 2: // the peer stops or starts reading
            peer.Reading = data[pos] & 1;
            break;
        case 3: { // operator commands on whatever the byte names
            const uint8_t what = data[pos];
            const auto socket = static_cast<SocketHandle>(peer.ServerFd);
            const TConnection* user =
                peer.ServerFd >= 0 ? server.Registry().FindUserBySocket(socket) : nullptr;
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
                server.Broadcast(QByteArray(what * 64, 'b'), what & 1);
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
        default: { // bytes from the peer
            const size_t len = std::min<size_t>(1 + data[pos] * 4u, size - pos - 1);
            if (peer.Fd >= 0)
                (void)send(peer.Fd, data + pos + 1, len, MSG_DONTWAIT | MSG_NOSIGNAL);
            pos += len;
            break;
        }
        }
        ++pos;
        Pump(manager, peers);
        CheckRegistry(server.Registry());
    }
    for (TPeer& p : peers)
        ClosePeer(p);
    for (int round = 0; round < 200 && manager.ConnectionCount() > 0; ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (manager.ConnectionCount() != 0 || server.Registry().UserCount() != 0 ||
        server.Registry().ChatCount() != 0)
        abort();
    manager.StopSockets();
    manager.SetEvents(nullptr);
    return 0;
}
