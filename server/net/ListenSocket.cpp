#include "ListenSocket.h"

#include "TextUtil.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

std::optional<uint16_t> ParsePortText(const QString& port) {
    const QByteArray service = port.left(31).toLatin1();
    if (service.isEmpty())
        return std::nullopt;
    if (servent* se = getservbyname(service.constData(), "tcp"))
        return ntohs(static_cast<uint16_t>(se->s_port));
    const std::optional<int32_t> number = StrToInt(service);
    if (!number || *number < 0 || *number > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(*number);
}

TListenResult OpenListenSocket(const QString& port, const QString& bindAddress, int& fd,
                               QString& bindError,
                               const std::function<void(int, const char*)>& report) {
    fd = -1;
    if (port.isEmpty())
        return TListenResult::NoPort;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (bindAddress == QLatin1String("<Any Connection>")) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, bindAddress.toLatin1().constData(), &addr.sin_addr) != 1) {
        return TListenResult::AddressNotLocal;
    }
    const std::optional<uint16_t> number = ParsePortText(port);
    if (!number)
        return TListenResult::BadPort;
    addr.sin_port = htons(*number);

    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (s < 0) {
        report(errno, "Socket");
        return TListenResult::SocketFailed;
    }
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(s);
        bindError = QString::fromLocal8Bit(strerror(err));
        if (err == EADDRINUSE)
            return TListenResult::PortInUse;
        if (err == EADDRNOTAVAIL)
            return TListenResult::AddressNotLocal;
        return TListenResult::BindFailed;
    }
    // A larger backlog than the classic 5: thousands of clients may connect at once.
    if (listen(s, 4096) != 0) {
        report(errno, "Listen");
        ::close(s);
        return TListenResult::ListenFailed;
    }
    fd = s;
    return TListenResult::Ok;
}

uint16_t BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

bool LookUpHost(QString& name, QString& ipv4) {
    name.clear();
    ipv4.clear();
    char host[1024];
    if (gethostname(host, sizeof host) != 0)
        return false;
    host[sizeof host - 1] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || !result)
        return false;
    name = QString::fromLocal8Bit(result->ai_canonname ? result->ai_canonname : host);
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            char dotted[INET_ADDRSTRLEN];
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            if (inet_ntop(AF_INET, &sin->sin_addr, dotted, sizeof dotted))
                ipv4 = QString::fromLatin1(dotted);
            break;
        }
    }
    freeaddrinfo(result);
    return true;
}

QStringList LocalIPv4Addresses() {
    QStringList out;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !out.contains(a.toString()))
            out << a.toString();
    return out;
}

} // namespace kelvra
