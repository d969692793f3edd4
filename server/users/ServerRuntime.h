#pragma once
// One running server: the core, the socket layer and the stores, with the
// start-up and shutdown steps that the console and the headless server share.
#include "ConnectionManager.h"
#include "Server.h"

#include <QString>

namespace kelvra {

class TRegLink;

class TServerRuntime {
public:
    TServerRuntime(IServerView& view, TRegLink& reg);
    ~TServerRuntime();

    TServer& Server() { return Core; }
    TConnectionManager& Connections() { return Manager; }
    TRegLink& Settings() { return Reg; }

    // "Logfile" and "Mailfile" from the settings (defaults in the program's
    // folder); the log file is created when missing.
    void ReadPaths();
    // The ban list from the settings and the mail store from the mail file.
    void LoadStores();

    // Takes the answers of the start-up dialog and opens the listener.
    TConnectionManager::ListenResult Start(const QByteArray& serverNick, const QString& port,
                                           const QByteArray& password, const QString& bindAddress);
    // "<title> - <nick> [<host>(<address>):<port>]", empty when the host
    // look-up failed.
    QString Caption(const QString& title) const;

    // Bans, "Logfile", "Mailfile", then the mail file; stops at the first
    // failure and returns its message.
    bool SaveState(QString* error);
    // Closes every socket.
    void Stop();

    static QString DefaultFile(const QString& name);

private:
    TRegLink& Reg;
    TConnectionManager Manager;
    TServer Core;
    QString Port;
};

} // namespace kelvra
