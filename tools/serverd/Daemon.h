#pragma once
// The running kelvra-serverd between its start and its end: the journal's
// start and stop lines, the orderly close, and the reload that SIGHUP asks
// for. Other parts add their own steps to the reload with AddReloadHook.
#include "ServerdSettings.h"

#include <QStringList>
#include <functional>
#include <vector>

namespace kelvra {

class TServerRuntime;
class TServerdView;

// What a reload did, a line per step, with the journal's priority of each.
class TReloadReport {
public:
    void Note(const QString& text) { Add(6, text); }
    // Taken, but not everything: what waits for a restart, and the like.
    void Warn(const QString& text) { Add(4, text); }
    // A step failed; the reload as a whole counts as failed.
    void Fail(const QString& text) {
        Add(3, text);
        Failed = true;
    }
    bool HasFailed() const { return Failed; }
    struct TLine {
        int Priority;
        QString Text;
    };
    const std::vector<TLine>& Lines() const { return Items; }

private:
    void Add(int priority, const QString& text) { Items.push_back({priority, text}); }
    std::vector<TLine> Items;
    bool Failed = false;
};

class TDaemon {
public:
    TDaemon(TServerdSettings& settings, TServerRuntime& runtime, TServerdView& view,
            TServerdSettings::TValues started);

    // The journal's start line.
    void Started(quint16 listenPort);
    // The console's close: everybody warned, everything saved, every socket
    // closed. Returns the exit status: 1 when something could not be saved.
    int Close();

    // Re-reads the configuration and the state file and applies what can
    // change while the server runs: the password, the login log's path,
    // the limits and the bans (changes not yet saved are saved first). What
    // needs a restart (port, bind address, nickname, mail file) is reported.
    // When a file cannot be read nothing changes. Every step goes to the
    // journal; report, when given, gets the same lines without priorities.
    // False when any step failed.
    bool Reload(QString* report = nullptr);
    // A step of every later reload, run after the settings' own steps.
    using TReloadHook = std::function<void(TReloadReport& report)>;
    void AddReloadHook(TReloadHook hook) { Hooks.push_back(std::move(hook)); }

private:
    void ReloadSettings(TReloadReport& report);
    void ReloadBans(TReloadReport& report);

    TServerdSettings& Settings;
    TServerRuntime& Runtime;
    TServerdView& View;
    TServerdSettings::TValues Current;
    std::vector<TReloadHook> Hooks;
};

} // namespace kelvra
