#pragma once
// A client on the other end of a socket pair, speaking raw records: a link
// the test adopts into the socket layer with buffers as small as it likes.
#include "WireCodec.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kelvra::test {

struct TPairPeer {
    int Fd = -1;
    int ServerFd = -1;
    explicit TPairPeer(int sendBuffer = 0) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        if (sendBuffer > 0)
            setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        ServerFd = ends[0];
        Fd = ends[1];
    }
    ~TPairPeer() { Close(); }
    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
    void Send(const TDataPacket& p) {
        const QByteArray bytes = EncodePacket(p);
        ASSERT_EQ(::send(Fd, bytes.constData(), static_cast<size_t>(bytes.size()), 0),
                  bytes.size());
    }
    // Reads what is there into Received.
    qsizetype Drain() {
        char buffer[65536];
        qsizetype total = 0;
        for (ssize_t n; (n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; total += n)
            Decoder.Decode(buffer, n, Received);
        return total;
    }
    TStreamDecoder Decoder;
    std::vector<TDataPacket> Received;
};

} // namespace kelvra::test
