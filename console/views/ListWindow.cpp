#include "ListWindow.h"

#include "ActiveButton.h"
#include "ReportList.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QTreeView>
#include <QVBoxLayout>

namespace kelvra {

QVariant TRowModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole)
        return Text(index.row(), index.column());
    if (role == Qt::DecorationRole && index.column() == 0) {
        const QIcon image = Image(index.row());
        return image.isNull() ? QVariant() : QVariant(image);
    }
    return {};
}

QVariant TRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < Headers.size())
        return Headers[section];
    return {};
}

TListWindow::TListWindow(const QString& caption, const QIcon& icon, QWidget* parent)
    : TMdiChild(caption, icon, parent) {
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* strip = new QFrame;
    strip->setFixedHeight(25);
    Strip = new QHBoxLayout(strip);
    Strip->setContentsMargins(0, 0, 0, 0);
    Strip->setSpacing(0);
    Strip->addStretch();
    layout->addWidget(strip);

    ListView1 = NewReportList();
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->viewport()->installEventFilter(this);
    layout->addWidget(ListView1);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));

    RepaintTimer.setSingleShot(true);
    RepaintTimer.setInterval(kRepaintMs);
    connect(&RepaintTimer, &QTimer::timeout, this, &TListWindow::ReleaseRepaint);

    setWidget(body);
    resize(460, 220);
}

void TListWindow::Attach(TRowModel* model, std::initializer_list<int> widths) {
    // Connected before the view's own handler, which would move the selection
    // to the next row: a second click must never act on a bystander.
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { RowsAboutToGo(first, last); });
    ListView1->setModel(model);
    ListView1->header()->setStretchLastSection(true);
    int column = 0;
    for (int width : widths) {
        if (width > 0)
            ListView1->header()->resizeSection(column, width);
        ++column;
    }
    connect(ListView1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TListWindow::ListView1Change);
    // Removing the selected row does not always report a selection change.
    connect(model, &QAbstractItemModel::rowsRemoved, this, &TListWindow::ListView1Change);
    connect(model, &QAbstractItemModel::modelReset, this, &TListWindow::ListView1Change);
    ListView1Change();
    // The view's own layout still follows every change (geometry, selection
    // and hit tests stay exact); only the painting waits for the batch.
    connect(model, &QAbstractItemModel::rowsInserted, this, &TListWindow::HoldRepaint);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &TListWindow::HoldRepaint);
    connect(model, &QAbstractItemModel::dataChanged, this, &TListWindow::HoldRepaint);
}

void TListWindow::HoldRepaint() {
    if (RepaintTimer.isActive())
        return;
    ListView1->setUpdatesEnabled(false);
    RepaintTimer.start();
}

void TListWindow::ReleaseRepaint() {
    RepaintTimer.stop();
    // Turning updates back on repaints the whole list once.
    ListView1->setUpdatesEnabled(true);
}

QAction* TListWindow::NewCommand(const QString& menuText, const QString& hint, const QIcon& icon,
                                 bool needsRow) {
    auto* action = new QAction(icon, menuText, this);
    action->setToolTip(hint);
    action->setStatusTip(hint);
    action->setIconVisibleInMenu(false);
    auto* button = new TActiveButton(TButtonKind::Custom);
    button->setObjectName(QStringLiteral("ActiveButton%1").arg(Buttons.size() + 1));
    button->setFixedSize(25, 25);
    button->setDefaultAction(action);
    Strip->insertWidget(Strip->count() - 1, button);
    Buttons.emplace_back(action, button);
    PopupMenu1->addAction(action);
    if (needsRow) {
        RowCommands.push_back(action);
        action->setEnabled(SelectedRow() >= 0);
    }
    return action;
}

void TListWindow::AddButtonSeparator() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedWidth(8);
    Strip->insertWidget(Strip->count() - 1, line);
}

void TListWindow::AddMenuSeparator() {
    PopupMenu1->addSeparator();
}

TActiveButton* TListWindow::ButtonOf(const QAction* action) const {
    for (const auto& [a, button] : Buttons)
        if (a == action)
            return button;
    return nullptr;
}

int TListWindow::SelectedRow() const {
    if (!ListView1->selectionModel())
        return -1;
    const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TListWindow::RowsAboutToGo(int first, int last) {
    QItemSelectionModel* selection = ListView1->selectionModel();
    if (!selection)
        return;
    const auto going = [&](int row) { return row >= first && row <= last; };
    if (going(SelectedRow()))
        selection->clearSelection();
    if (selection->currentIndex().isValid() && going(selection->currentIndex().row()))
        selection->clearCurrentIndex();
}

void TListWindow::ClearSelection() {
    if (ListView1->selectionModel())
        ListView1->selectionModel()->clear();
}

void TListWindow::ListView1Change() {
    const bool selected = SelectedRow() >= 0;
    for (QAction* action : RowCommands)
        action->setEnabled(selected);
}

bool TListWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != ListView1->viewport() || event->type() != QEvent::MouseButtonPress)
        return TMdiChild::eventFilter(watched, event);
    auto* press = static_cast<QMouseEvent*>(event);
    if (press->button() != Qt::RightButton)
        return false;
    ListView1MouseDown(press);
    return true;
}

void TListWindow::ListView1MouseDown(QMouseEvent* event) {
    const QModelIndex under = ListView1->indexAt(event->position().toPoint());
    if (under.isValid())
        ListView1->setCurrentIndex(under);
    if (SelectedRow() >= 0 || MenuWithoutRow)
        PopupMenu1->popup(event->globalPosition().toPoint());
}

} // namespace kelvra
