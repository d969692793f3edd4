#pragma once
// One running server: the core, the socket layer and the stores, with the
// start-up and shutdown steps that the console and the headless server share.
#include "ConnectionManager.h"
#include "HeapTrimmer.h"
#include "Server.h"

#include <QString>
#include <QTimer>
#include <memory>

class QThread;

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

    // Bans, "Logfile", "Mailfile", then the mail file. A failure of the
    // settings store ends their sequence but the mail file is still written;
    // error gets one line per failure.
    bool SaveState(QString* error);
    // Closes every socket.
    void Stop();

    static QString DefaultFile(const QString& name);

    // How long a change of the bans or the mail waits before it is saved:
    // what a kill loses at most.
    static constexpr int kSaveDelayMs = 1000;

private:
    void StoresChanged(TServer::TStoreKind kind);
    void SaveChanges();
    void StartMailWriter();
    // Waits for the mail writer, if one runs, and takes its result.
    void FinishMailWriter();
    // A failed background save, shown once in the socket error log until a
    // save of that store succeeds again.
    void ReportSaveResult(QString& last, const QString& error);

    TRegLink& Reg;
    THeapTrimmer Trimmer;
    TConnectionManager Manager;
    TServer Core;
    QString Port;

    QTimer SaveTimer;
    bool BansChanged = false;
    bool MailChanged = false;
    std::unique_ptr<QThread> MailWriter;
    std::shared_ptr<QString> MailWriterError;
    uint64_t MailWriterRun = 0; // tells a finished writer from a later one
    QString LastBansFailure, LastMailFailure;
};

} // namespace kelvra
