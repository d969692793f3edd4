#include "WebSettings.h"

#include "RegLink.h"
#include "WebFront.h"

namespace kelvra {

TWebSettings ReadWebSettings(const TRegLink& reg) {
    const QString group = QStringLiteral("Web");
    TWebSettings s;
    s.Port = reg.ReadString(group, QStringLiteral("Port"), QString()).trimmed();
    for (const QString& origin :
         reg.ReadString(group, QStringLiteral("Origins"), QString()).split(QLatin1Char(',')))
        if (!origin.trimmed().isEmpty())
            s.Origins << origin.trimmed();
    return s;
}

TWebFront* OpenWebPort(TConnectionManager& manager, const TWebSettings& settings,
                       const QString& bindAddress, QString& error) {
    if (settings.Port.isEmpty())
        return nullptr;
    auto* front = new TWebFront(manager, &manager);
    front->SetAllowedOrigins(settings.Origins);
    if (!settings.Certificate.isEmpty()) {
        QString tlsError;
        if (!front->UseCertificate(settings.Certificate, settings.Key, &tlsError)) {
            error = QStringLiteral("no TLS on the web port: %1").arg(tlsError);
            delete front;
            return nullptr;
        }
    }
    switch (front->Listen(settings.Port, bindAddress)) {
    case TListenResult::Ok:
        return front;
    case TListenResult::BadPort:
        error = QStringLiteral("web port '%1' is neither a TCP service name nor a port number "
                               "from 0 to 65535")
                    .arg(settings.Port);
        break;
    case TListenResult::PortInUse:
        error = QStringLiteral("web port %1 is in use").arg(settings.Port);
        break;
    case TListenResult::AddressNotLocal:
        error = QStringLiteral("%1 is not an IPv4 address of this machine").arg(bindAddress);
        break;
    default:
        error = QStringLiteral("cannot open web port %1: %2")
                    .arg(settings.Port, front->BindErrorText());
        break;
    }
    delete front;
    return nullptr;
}

} // namespace kelvra
