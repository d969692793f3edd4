#pragma once
// The TLS port beside the plain one: its settings, its listener and the
// certificate it serves. Reload swaps the certificate for new connections;
// connections already made keep theirs.
#include "ConnectionManager.h"

#include <QString>
#include <memory>

namespace kelvra {

class TRegLink;
class TTlsContext;

struct TTlsSettings {
    QString Port; // empty: no TLS port
    QString Certificate;
    QString Key; // empty: the key is in the certificate file
};

// The [TLS] group: Port, Certificate, Key.
TTlsSettings ReadTlsSettings(const TRegLink& reg);

class TTlsFrontEnd {
public:
    TTlsFrontEnd();
    ~TTlsFrontEnd();

    // Nothing to do (true) when no TLS port is configured. Otherwise loads the
    // certificate and the key and opens the TLS listener on bindAddress.
    // False with a sentence for the operator when either fails: a server that
    // was asked for TLS never runs without it.
    bool Start(TConnectionManager& manager, const TTlsSettings& settings,
               const QString& bindAddress, QString* error);
    // Reads the certificate and the key files again. On failure the
    // certificate in use stays, and error says why.
    bool Reload(QString* error);

    bool IsActive() const { return Listener >= 0; }
    uint16_t Port() const;
    const TTlsSettings& Settings() const { return Current; }

    // Makes TLS links with the certificate loaded last.
    static TLinkIoFactory MakeFactory(std::shared_ptr<TTlsContext> context);

private:
    TConnectionManager* Manager = nullptr;
    int Listener = -1;
    TTlsSettings Current;
    std::shared_ptr<TTlsContext> Context;
};

} // namespace kelvra
