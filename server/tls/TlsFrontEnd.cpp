#include "TlsFrontEnd.h"

#include "RegLink.h"
#include "TlsContext.h"
#include "TlsIo.h"

namespace kelvra {

namespace {

const QString kTlsSection = QStringLiteral("TLS");

QString ListenFailure(TConnectionManager::ListenResult result, const QString& port,
                      const QString& bind, const QString& bindError) {
    using R = TConnectionManager::ListenResult;
    const QString prefix = QStringLiteral("cannot listen for TLS on port %1: ").arg(port);
    switch (result) {
    case R::NoPort:
    case R::BadPort:
        return QStringLiteral("the TLS port '%1' is neither a TCP service name nor a port number "
                              "from 0 to 65535")
            .arg(port);
    case R::PortInUse:
        return prefix + QStringLiteral("the port is in use (by another server, or by the plain "
                                       "port of this one)");
    case R::AddressNotLocal:
        return prefix + QStringLiteral("%1 is not an IPv4 address of this machine").arg(bind);
    case R::BindFailed:
        return prefix + bindError;
    case R::SocketFailed:
    case R::ListenFailed:
        return prefix + QStringLiteral("the socket call failed (see the socket errors)");
    case R::Ok:
        break;
    }
    return QString();
}

} // namespace

TTlsSettings ReadTlsSettings(const TRegLink& reg) {
    TTlsSettings s;
    s.Port = reg.ReadString(kTlsSection, QStringLiteral("Port"), QString()).trimmed();
    s.Certificate = reg.ReadString(kTlsSection, QStringLiteral("Certificate"), QString());
    s.Key = reg.ReadString(kTlsSection, QStringLiteral("Key"), QString());
    return s;
}

TTlsFrontEnd::TTlsFrontEnd() = default;
TTlsFrontEnd::~TTlsFrontEnd() = default;

TLinkIoFactory TTlsFrontEnd::MakeFactory(std::shared_ptr<TTlsContext> context) {
    return [context = std::move(context)](int fd) -> std::unique_ptr<ILinkIo> {
        auto io = std::make_unique<TTlsIo>(fd, context->Get());
        if (!io->Valid())
            return nullptr;
        return io;
    };
}

bool TTlsFrontEnd::Start(TConnectionManager& manager, const TTlsSettings& settings,
                         const QString& bindAddress, QString* error) {
    QString ignored;
    if (!error)
        error = &ignored;
    if (settings.Port.isEmpty()) {
        if (settings.Certificate.isEmpty() && settings.Key.isEmpty())
            return true;
        *error = QStringLiteral("a TLS certificate is configured but no TLS port");
        return false;
    }
    if (settings.Certificate.isEmpty()) {
        *error =
            QStringLiteral("the TLS port %1 is configured but no certificate").arg(settings.Port);
        return false;
    }
    auto context = std::make_shared<TTlsContext>();
    if (!TTlsContext::Load(settings.Certificate, settings.Key, *context, error))
        return false;
    const int listener = manager.ListenerCount();
    const auto result = manager.OpenListener(settings.Port, bindAddress, MakeFactory(context));
    if (result != TConnectionManager::ListenResult::Ok) {
        *error = ListenFailure(result, settings.Port, bindAddress, manager.BindErrorText());
        return false;
    }
    Manager = &manager;
    Listener = listener;
    Current = settings;
    Context = std::move(context);
    return true;
}

bool TTlsFrontEnd::Reload(QString* error) {
    QString ignored;
    if (!error)
        error = &ignored;
    if (!IsActive())
        return true;
    TTlsContext fresh;
    if (!TTlsContext::Load(Current.Certificate, Current.Key, fresh, error)) {
        *error += QStringLiteral("; the certificate loaded before stays in use");
        return false;
    }
    // The factory holds the same object: new connections get the new context,
    // while each session made before keeps a reference to its own.
    *Context = std::move(fresh);
    return true;
}

uint16_t TTlsFrontEnd::Port() const {
    return IsActive() ? Manager->ListenPort(Listener) : 0;
}

} // namespace kelvra
