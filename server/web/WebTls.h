#pragma once
// HTTPS and wss on the web port: the TLS port's certificate and key, read into
// Qt's TLS backend (the web port's sockets are Qt sockets).
#include <QSslConfiguration>
#include <QString>

namespace kelvra {

// Reads the PEM certificate chain and the PEM key (an empty key file: the key
// is in the certificate file) into a server configuration, TLS 1.2 and 1.3
// only. False with a sentence for the operator in error.
bool LoadWebTls(const QString& certificateFile, const QString& keyFile, QSslConfiguration& out,
                QString* error);

} // namespace kelvra
