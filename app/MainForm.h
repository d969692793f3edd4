#pragma once
// The console's frame: a multiple-document window that owns the settings
// store, the server and the console windows, wires them together and runs
// start-up and shutdown. Commands reach the server core through its operator
// operations; no protocol logic lives here.
#include "ConsoleView.h"
#include "PicClip.h"
#include "RegLink.h"
#include "ServerRuntime.h"
#include "TlsFrontEnd.h"

#include <QMainWindow>

class QAction;
class QMdiArea;
class QMenu;
class QSessionManager;

namespace kelvra {

class TForm5;
class TMdiChild;
class TdataIn;
class TdataOut;
class TviewBans;
class TviewChats;
class TviewErrors;
class TviewMail;
class TviewUsers;

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Reads the settings, asks for the login answers, starts listening and
    // shows the console. False when the program should end instead.
    bool Startup();
    bool IsRunning() const { return Running; }
    // Startup ended because the settings file is not one: exit status 1.
    bool SettingsRefused() const { return Refused; }

    TServerRuntime& Runtime() { return ServerRuntime; }
    TServer& Server() { return ServerRuntime.Server(); }
    TRegLink& Settings() { return RegLink1; }
    QMdiArea* MdiArea() const { return Mdi; }
    TdataIn* DataIn() const { return In; }
    TdataOut* DataOut() const { return Out; }
    TviewErrors* ViewErrors() const { return Errors; }
    TviewUsers* ViewUsers() const { return Users; }
    TviewChats* ViewChats() const { return Chats; }
    TviewBans* ViewBans() const { return Bans; }
    TviewMail* ViewMail() const { return Mail; }
    TForm5* TrayForm() const { return Tray; }
    const TPicClip& IconSheet() const { return PicClip1; }

    // File
    void LogOffwithoutExit1Click();
    void Exit1Click();
    // Users
    void BroadcastMessage1Click();
    void Kick1Click();
    void KickandBan1Click();
    // Options
    void Logfile1Click();
    void MailStorage1Click();
    // Window
    void Cascade1Click();
    void Tile1Click();
    void TileHorizontally1Click();
    void ArrangeIcons1Click();
    void About1Click();

    // The tray: minimising hides the console where a notification area exists.
    void AppEvents1Minimize();
    void AppEvents1Restore();

    // SIGTERM, SIGINT, SIGHUP: the close without the question. Returns the
    // program's exit status: 0, or 1 when the state could not be saved.
    int CloseForSignal();
    // The desktop session asks whether it may end.
    void CommitDataRequest(QSessionManager& manager);

    // The main menu's items, by their handler's name ("Kick1", "Logfile1", ...).
    QAction* MenuAction(const QString& name) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool AskServerLogin();
    // What a failed bind tells the operator, naming the port or the address.
    QString BindFailureText(TConnectionManager::ListenResult result);
    void CreateMenus();
    void FillWindowMenu();
    void CreateChildren();
    void AddChild(TMdiChild* child);
    void TileChildren(bool vertical);
    void RestorePlacementAndShow();
    bool SavePlacement(QString* error);
    // Everything the close does after the question: notice, saves, sockets.
    bool ShutDown(QString* error);
    // The save dialog of "Log File..." and "Mail Storage...": false on Cancel.
    bool AskFile(const QString& current, QString* chosen);

    // Declared before the runtime, which refers to both.
    TRegLink RegLink1;
    TConsoleView View;
    TServerRuntime ServerRuntime;
    // The TLS port of the settings' [TLS] group, beside the plain one.
    TTlsFrontEnd Tls;
    TPicClip PicClip1;

    QMdiArea* Mdi = nullptr;
    QMenu* Window1 = nullptr;
    TdataIn* In = nullptr;
    TdataOut* Out = nullptr;
    TviewErrors* Errors = nullptr;
    TviewUsers* Users = nullptr;
    TviewChats* Chats = nullptr;
    TviewBans* Bans = nullptr;
    TviewMail* Mail = nullptr;
    TForm5* Tray = nullptr;
    bool Refused = false;
    bool Running = false;
    bool WasMaximized = false;

    // The Server Login answers of this run.
    QByteArray ServerNick;
    QString ServerPort;
    QByteArray ServerPassword;
    QString BindAddress;
};

} // namespace kelvra
