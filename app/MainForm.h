#pragma once
// The console's frame: a multiple-document window that owns the settings
// store, the server and the console windows, and runs start-up and shutdown.
#include "ConsoleView.h"
#include "RegLink.h"
#include "ServerRuntime.h"

#include <QMainWindow>

class QMdiArea;
class QMenu;

namespace kelvra {

class TMdiChild;
class TdataIn;
class TdataOut;
class TviewErrors;

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Reads the settings, asks for the login answers, starts listening and
    // shows the console. False when the program should end instead.
    bool Startup();
    bool IsRunning() const { return Running; }

    TServerRuntime& Runtime() { return ServerRuntime; }
    TRegLink& Settings() { return RegLink1; }
    QMdiArea* MdiArea() const { return Mdi; }
    TdataIn* DataIn() const { return In; }
    TdataOut* DataOut() const { return Out; }
    TviewErrors* ViewErrors() const { return Errors; }

    void Exit1Click();
    void Cascade1Click();
    void Tile1Click();
    void TileHorizontally1Click();
    void ArrangeIcons1Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool AskServerLogin();
    void CreateMenus();
    void FillWindowMenu();
    void AddChild(TMdiChild* child);
    void TileChildren(bool vertical);
    void RestorePlacementAndShow();
    bool SavePlacement(QString* error);

    // Declared before the runtime, which refers to both.
    TRegLink RegLink1;
    TConsoleView View;
    TServerRuntime ServerRuntime;

    QMdiArea* Mdi = nullptr;
    QMenu* Window1 = nullptr;
    TdataIn* In = nullptr;
    TdataOut* Out = nullptr;
    TviewErrors* Errors = nullptr;
    bool Running = false;

    // The Server Login answers of this run.
    QByteArray ServerNick;
    QString ServerPort;
    QByteArray ServerPassword;
    QString BindAddress;
};

} // namespace kelvra
