#pragma once
// What the attacks of kelvra-bench --hostile share: connecting, sending all
// of a buffer, and records.
#include "HostileLoad.h"
#include "PacketCodes.h"
#include "WireCodec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

// A connected socket, or -1. Without waiting, the connection may still be
// under way (it is, when connect said EINPROGRESS).
inline int ConnectTo(const THostileConfig& config, bool wait = true) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(config.Port));
    if (inet_pton(AF_INET, config.Host.c_str(), &addr.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        (wait || errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes all of bytes, waiting at most timeoutMs for the socket to take them.
inline bool SendAll(int fd, const char* bytes, size_t size, int timeoutMs) {
    while (size > 0) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

inline QByteArray Encode(int32_t code, const QByteArray& p1 = {}, const QByteArray& p2 = {}) {
    return EncodePacket(MakePacket(code, p1, p2));
}

} // namespace kelvra
