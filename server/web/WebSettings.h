#pragma once
// The web port as the settings store configures it: group "Web", values
//   Port     the web port (a number or a TCP service name); empty: no web port
//   Origins  further origins a WebSocket may come from, separated by commas
//            ("*": any); the page's own origin is always allowed
#include <QString>
#include <QStringList>

namespace kelvra {

class TRegLink;
class TWebFront;
class TConnectionManager;

struct TWebSettings {
    QString Port;
    QStringList Origins;
    // Set from the TLS port's settings when that port is on: the web port then
    // serves HTTPS and wss with the same certificate. Empty: plain HTTP.
    QString Certificate;
    QString Key;
};

TWebSettings ReadWebSettings(const TRegLink& reg);

// Opens the web port on the chat port's bind address; an empty port leaves it
// off and returns null. On failure returns null with the reason in error.
TWebFront* OpenWebPort(TConnectionManager& manager, const TWebSettings& settings,
                       const QString& bindAddress, QString& error);

} // namespace kelvra
