#pragma once
// The listening sockets and the host look-ups around them, as plain calls.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

namespace kelvra {

enum class TListenResult {
    Ok,
    NoPort,
    BadPort,         // neither a TCP service name nor 0..65535
    AddressNotLocal, // not an IPv4 address of this machine
    PortInUse,       // another socket listens on it
    SocketFailed,
    BindFailed, // any other refusal; the bind error text says why
    ListenFailed,
};

// A TCP service name or a decimal number from 0 to 65535; nullopt otherwise.
std::optional<uint16_t> ParsePortText(const QString& port);

// Creates, binds and listens. port: a TCP service name or a decimal number;
// bindAddress: "<Any Connection>" or a dotted IPv4 address. A failed socket or
// listen call goes to report (errno, call name); a failed bind leaves its
// system text in bindError.
TListenResult OpenListenSocket(const QString& port, const QString& bindAddress, int& fd,
                               QString& bindError,
                               const std::function<void(int, const char*)>& report);

// The port a bound socket listens on; 0 when unknown.
uint16_t BoundPort(int fd);

// This host's official name and its first IPv4 address; false when the
// look-up failed.
bool LookUpHost(QString& name, QString& ipv4);

// The machine's own IPv4 addresses in dotted form.
QStringList LocalIPv4Addresses();

} // namespace kelvra
