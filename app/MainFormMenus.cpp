// The main menu and the commands it runs.
#include "BanEditor.h"
#include "LoginLog.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "OperatorDialogs.h"
#include "SessionLogOff.h"
#include "TextUtil.h"
#include "ViewBans.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <cmath>

namespace kelvra {

void TMainForm::CreateMenus() {
    auto add = [this](QMenu* menu, const char* name, const QString& text,
                      void (TMainForm::*slot)()) {
        QAction* action = menu->addAction(text, this, slot);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, "LogOffwithoutExit1", QStringLiteral("Log Off Without Exit"),
        &TMainForm::LogOffwithoutExit1Click);
    file->addSeparator();
    add(file, "Exit1", QStringLiteral("E&xit"), &TMainForm::Exit1Click);

    QMenu* users = menuBar()->addMenu(QStringLiteral("&Users"));
    add(users, "BroadcastMessage1", QStringLiteral("&Broadcast Message..."),
        &TMainForm::BroadcastMessage1Click);
    users->addSeparator();
    add(users, "Kick1", QStringLiteral("&Kick..."), &TMainForm::Kick1Click);
    add(users, "KickandBan1", QStringLiteral("Kick and &Ban..."), &TMainForm::KickandBan1Click);
    // The Bans view's own Create command, under the menu's text.
    QAction* createBan = new QAction(QStringLiteral("Create Ban Mask..."), menuBar());
    createBan->setObjectName(QStringLiteral("CreateBanMask1"));
    connect(createBan, &QAction::triggered, Bans->CreateBanAction(), &QAction::trigger);
    users->addAction(createBan);

    QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
    add(options, "Logfile1", QStringLiteral("Log File..."), &TMainForm::Logfile1Click);
    add(options, "MailStorage1", QStringLiteral("Mail Storage..."), &TMainForm::MailStorage1Click);

    Window1 = menuBar()->addMenu(QStringLiteral("&Window"));
    connect(Window1, &QMenu::aboutToShow, this, &TMainForm::FillWindowMenu);
    FillWindowMenu();

    QAction* about =
        menuBar()->addAction(QStringLiteral("About..."), this, &TMainForm::About1Click);
    about->setObjectName(QStringLiteral("About1"));
}

QAction* TMainForm::MenuAction(const QString& name) const {
    return menuBar()->findChild<QAction*>(name);
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

void TMainForm::LogOffwithoutExit1Click() {
    RequestLogOff();
}

void TMainForm::Exit1Click() {
    close();
}

void TMainForm::BroadcastMessage1Click() {
    TForm7 dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    ServerRuntime.Server().Broadcast(dialog.Text(), dialog.Anonymous());
}

void TMainForm::Kick1Click() {
    TServer& server = ServerRuntime.Server();
    TForm8 dialog(server.Registry(), this);
    if (dialog.exec() == QDialog::Accepted)
        server.KickNickname(dialog.Nickname());
}

void TMainForm::KickandBan1Click() {
    TServer& server = ServerRuntime.Server();
    TForm8 dialog(server.Registry(), this);
    dialog.setWindowTitle(QStringLiteral("Kick and Ban"));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const TConnection* user = server.Registry().FindUserByNickname(dialog.Nickname());
    if (!user)
        return;
    const TUserHandle handle = user->Handle();
    server.Kick(handle);
    ShowBanEditor(server, handle, 0, this);
}

bool TMainForm::AskFile(const QString& current, QString* chosen) {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // An existing file is kept and written to, never replaced: no question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(
        {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")});
    dialog.selectFile(current);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    *chosen = dialog.selectedFiles().constFirst();
    return !chosen->isEmpty();
}

void TMainForm::Logfile1Click() {
    TServer& server = ServerRuntime.Server();
    QString path;
    if (!AskFile(server.LogFile, &path))
        return;
    // Used from the next login on; saved as "Logfile" at shutdown.
    server.LogFile = path;
    LoginLog::EnsureFile(path);
}

void TMainForm::MailStorage1Click() {
    TServer& server = ServerRuntime.Server();
    QString path;
    if (!AskFile(server.MailFile, &path))
        return;
    // The store is written there at shutdown; nothing is loaded from it now.
    server.MailFile = path;
    LoginLog::EnsureFile(path); // an empty file where none exists, as for the log
}

void TMainForm::About1Click() {
    TForm4 about(this);
    about.exec();
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
