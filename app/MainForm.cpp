#include "MainForm.h"

#include "ConsoleIcons.h"
#include "DataIn.h"
#include "DataOut.h"
#include "MessageBoxes.h"
#include "ServerLoginForm.h"
#include "ViewErrors.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <cmath>

namespace kelvra {

namespace {

const QString kPlacementSection = QStringLiteral("MainForm");

// Show commands of the stored placement.
constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
constexpr int kMinimize = 6;
constexpr int kShowMinNoActive = 7;

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), ServerRuntime(View, RegLink1) {
    setWindowTitle(QStringLiteral("MDI Application"));
    setWindowIcon(ConsoleIcons::App());
    Mdi = new QMdiArea;
    Mdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Mdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(Mdi);
    CreateMenus();
    // One panel; QMainWindow puts the hint of the control under the mouse in it.
    statusBar()->setMinimumHeight(20);
    resize(960, 640);
}

TMainForm::~TMainForm() = default;

void TMainForm::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("E&xit"), this, &TMainForm::Exit1Click);

    Window1 = menuBar()->addMenu(QStringLiteral("&Window"));
    connect(Window1, &QMenu::aboutToShow, this, &TMainForm::FillWindowMenu);
    FillWindowMenu();
}

void TMainForm::FillWindowMenu() {
    Window1->clear();
    Window1->addAction(QStringLiteral("&Cascade"), this, &TMainForm::Cascade1Click);
    Window1->addAction(QStringLiteral("Tile &Vertically"), this, &TMainForm::Tile1Click);
    Window1->addAction(QStringLiteral("Tile &Horizontally"), this,
                       &TMainForm::TileHorizontally1Click);
    Window1->addAction(QStringLiteral("&Arrange Icons"), this, &TMainForm::ArrangeIcons1Click);
    const QList<QMdiSubWindow*> children = Mdi->subWindowList();
    if (children.isEmpty())
        return;
    Window1->addSeparator();
    int number = 1;
    for (QMdiSubWindow* child : children) {
        QAction* item =
            Window1->addAction(QStringLiteral("&%1 %2").arg(number++).arg(child->windowTitle()));
        item->setCheckable(true);
        item->setChecked(child == Mdi->activeSubWindow());
        connect(item, &QAction::triggered, this, [this, child] {
            if (child->isMinimized())
                child->showNormal();
            Mdi->setActiveSubWindow(child);
        });
    }
}

void TMainForm::AddChild(TMdiChild* child) {
    Mdi->addSubWindow(child);
    child->show();
}

bool TMainForm::AskServerLogin() {
    hide();
    TForm18 login(RegLink1);
    if (login.exec() != QDialog::Accepted)
        return false;
    ServerNick = login.Nickname();
    ServerPort = login.Port();
    ServerPassword = login.Password();
    BindAddress = login.BindAddress();
    return true;
}

bool TMainForm::Startup() {
    ServerRuntime.ReadPaths();
    // Exists before the listener, so that its failures are recorded; it joins
    // the frame after the other logs.
    Errors = new TviewErrors(this);
    Errors->hide();
    View.SetErrorLog(Errors);

    for (;;) {
        if (!AskServerLogin())
            return false;
        using Result = TConnectionManager::ListenResult;
        const Result result =
            ServerRuntime.Start(ServerNick, ServerPort, ServerPassword, BindAddress);
        if (result == Result::Ok)
            break;
        switch (result) {
        case Result::NoPort:
            NoPortBox(nullptr);
            return false;
        case Result::BindFailed:
            // Ask again rather than run a server that listens nowhere.
            PlainMessage(nullptr, QStringLiteral("Cannot bind to socket - Another instance of the "
                                                 "server may already be running on this port."));
            continue;
        case Result::BadPort:
            PlainMessage(nullptr, QStringLiteral("Invalid port: %1\nEnter a service name or a "
                                                 "number from 0 to 65535.")
                                      .arg(ServerPort));
            continue;
        default:
            // The failed call is in the Winsock Errors log.
            return false;
        }
    }

    const QString caption = ServerRuntime.Caption(AppTitle());
    if (!caption.isEmpty())
        setWindowTitle(caption);

    Out = new TdataOut;
    In = new TdataIn;
    AddChild(Out);
    AddChild(In);
    AddChild(Errors);
    View.SetTrafficLogs(In, Out);
    connect(Errors, &TviewErrors::FirstActivated, this, &TMainForm::Tile1Click);

    ServerRuntime.LoadStores();
    Running = true;
    RestorePlacementAndShow();
    // The error log is the last child created, and so the active one.
    QTimer::singleShot(0, this, [this] { Mdi->setActiveSubWindow(Errors); });
    return true;
}

void TMainForm::RestorePlacementAndShow() {
    auto read = [this](const char* name, int def) {
        return RegLink1.ReadInteger(kPlacementSection, QString::fromLatin1(name), def);
    };
    const int showCmd = read("PlaceShowCmd", kShowNormal);
    const int left = read("PlaceNormPosL", 0);
    const int top = read("PlaceNormPosT", 0);
    const int right = read("PlaceNormPosR", 0);
    const int bottom = read("PlaceNormPosB", 0);
    if (right <= left) {
        show();
        return;
    }
    QRect normal(left, top, right - left, std::max(1, bottom - top));
    // A place on a screen that is no longer there would leave the console unseen.
    if (!QGuiApplication::screenAt(normal.center()) && QGuiApplication::primaryScreen())
        normal.moveTopLeft(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
    setGeometry(normal);
    switch (showCmd) {
    case kShowMaximized:
        showMaximized();
        break;
    case kShowMinimized:
    case kMinimize:
    case kShowMinNoActive:
        showMinimized();
        break;
    default:
        showNormal();
        break;
    }
}

bool TMainForm::SavePlacement(QString* error) {
    const int showCmd =
        isMinimized() ? kShowMinimized : (isMaximized() ? kShowMaximized : kShowNormal);
    QRect normal = normalGeometry();
    if (!normal.isValid())
        normal = geometry();
    // Minimised and maximised positions are left to the window system (-1).
    const std::pair<const char*, int> values[] = {
        {"PlaceFlags", 0},
        {"PlaceShowCmd", showCmd},
        {"PlaceMinPosX", -1},
        {"PlaceMinPosY", -1},
        {"PlaceMaxPosX", -1},
        {"PlaceMaxPosY", -1},
        {"PlaceNormPosL", normal.left()},
        {"PlaceNormPosT", normal.top()},
        {"PlaceNormPosR", normal.left() + normal.width()},
        {"PlaceNormPosB", normal.top() + normal.height()},
    };
    for (const auto& [name, value] : values)
        if (!RegLink1.WriteInteger(kPlacementSection, QString::fromLatin1(name), value)) {
            *error = RegLink1.LastError();
            return false;
        }
    if (!RegLink1.Flush()) {
        *error = RegLink1.LastError();
        return false;
    }
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!Running) {
        event->accept();
        return;
    }
    TServer& server = ServerRuntime.Server();
    if (server.Registry().UserCount() > 0) {
        const auto answer = QMessageBox::question(
            this, AppTitle(),
            QStringLiteral(
                "Clients are still logged on to the server. Are you sure you wish to quit?"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        if (answer != QMessageBox::Ok) {
            event->ignore();
            return;
        }
        // To whoever is connected now: clients may have come and gone meanwhile.
        server.SendShutdownNotice();
    }
    QString error;
    if (!ServerRuntime.SaveState(&error)) {
        ErrorBox(this, error);
        event->ignore();
        return;
    }
    // The state is saved; a lost placement is reported but does not keep the
    // server running.
    if (!SavePlacement(&error))
        ErrorBox(this, error);
    ServerRuntime.Stop();
    Running = false;
    event->accept();
}

void TMainForm::Exit1Click() {
    close();
}

void TMainForm::Cascade1Click() {
    Mdi->cascadeSubWindows();
}

void TMainForm::Tile1Click() {
    TileChildren(true);
}

void TMainForm::TileHorizontally1Click() {
    TileChildren(false);
}

void TMainForm::TileChildren(bool vertical) {
    // Topmost first, minimised children stay as icons below the tiles.
    QList<QMdiSubWindow*> tiles;
    int iconHeight = 0;
    const QList<QMdiSubWindow*> stack = Mdi->subWindowList(QMdiArea::StackingOrder);
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        QMdiSubWindow* child = *it;
        if (!child->isVisible())
            continue;
        if (child->isMinimized())
            iconHeight = std::max(iconHeight, child->height());
        else
            tiles << child;
    }
    if (tiles.isEmpty())
        return;
    QRect area = Mdi->viewport()->rect();
    if (iconHeight > 0 && area.height() > 2 * iconHeight)
        area.setHeight(area.height() - iconHeight);

    // Columns side by side for vertical tiling, rows for horizontal; the last
    // column (row) takes what does not divide evenly.
    const int total = static_cast<int>(tiles.size());
    int rows = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(total))));
    int columns = total / rows;
    if (!vertical)
        std::swap(rows, columns);
    int index = 0;
    int x = area.left();
    for (int c = 1; c <= columns && index < total; ++c) {
        const int width = c == columns ? area.right() + 1 - x : area.width() / columns;
        if (c == columns)
            rows = total - index;
        int y = area.top();
        for (int r = 1; r <= rows && index < total; ++r, ++index) {
            const int height = r == rows ? area.bottom() + 1 - y : area.height() / rows;
            QMdiSubWindow* child = tiles[index];
            if (child->isMaximized())
                child->showNormal();
            child->setGeometry(x, y, width, height);
            y += height;
        }
        x += width;
    }
}

void TMainForm::ArrangeIcons1Click() {
    const QRect area = Mdi->viewport()->rect();
    int x = area.left();
    int y = area.bottom() + 1;
    int rowHeight = 0;
    for (QMdiSubWindow* child : Mdi->subWindowList(QMdiArea::CreationOrder)) {
        if (!child->isVisible() || !child->isMinimized())
            continue;
        const QSize size = child->size();
        if (x > area.left() && x + size.width() > area.right() + 1) {
            x = area.left();
            y -= rowHeight;
            rowHeight = 0;
        }
        if (rowHeight == 0)
            rowHeight = size.height();
        child->move(x, y - rowHeight);
        x += size.width();
    }
}

} // namespace kelvra
