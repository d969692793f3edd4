#pragma once
// Base of the Users, Chats, Bans and Mail windows: a strip of flat tool
// buttons over a read-only report list, and a pop-up menu. A button and its
// menu item share one action, so both always run the same handler and are
// enabled together.
#include "MdiChild.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <unordered_map>
#include <vector>

class QAction;
class QHBoxLayout;
class QMenu;
class QMouseEvent;
class QTreeView;

namespace kelvra {

class TActiveButton;

// The rows of a list window: texts per column and one image per row.
class TRowModel : public QAbstractTableModel {
public:
    explicit TRowModel(QStringList headers, QObject* parent = nullptr)
        : QAbstractTableModel(parent), Headers(std::move(headers)) {}

    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(Headers.size());
    }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

protected:
    virtual QString Text(int row, int column) const = 0;
    virtual QIcon Image(int row) const = 0;

private:
    QStringList Headers;
};

// Rows in arrival order, found by key without walking them: each row takes an
// increasing sequence number, the rows stay sorted by it, and a hash maps the
// key to its number, so a row's position is a binary search away.
template <class Key, class Row> class TKeyedRows : public TRowModel {
public:
    using TRowModel::TRowModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(Entries.size());
    }

    // Appends a row; a row already held under that key goes first.
    void Append(const Key& key, Row row) {
        Remove(key);
        const int at = static_cast<int>(Entries.size());
        beginInsertRows(QModelIndex(), at, at);
        Entries.push_back({NextSeq, key, std::move(row)});
        SeqOf.emplace(key, NextSeq++);
        endInsertRows();
    }
    bool Remove(const Key& key) {
        const int at = RowOf(key);
        if (at < 0)
            return false;
        beginRemoveRows(QModelIndex(), at, at);
        SeqOf.erase(key);
        Entries.erase(Entries.begin() + at);
        endRemoveRows();
        return true;
    }
    // -1 when no row has that key.
    int RowOf(const Key& key) const {
        const auto found = SeqOf.find(key);
        if (found == SeqOf.end())
            return -1;
        const auto it = std::lower_bound(Entries.begin(), Entries.end(), found->second,
                                         [](const Entry& e, uint64_t seq) { return e.Seq < seq; });
        return static_cast<int>(it - Entries.begin());
    }
    Row* Find(const Key& key) {
        const int at = RowOf(key);
        return at < 0 ? nullptr : &Entries[static_cast<size_t>(at)].Value;
    }
    const Row& At(int row) const { return Entries[static_cast<size_t>(row)].Value; }
    const Key& KeyAt(int row) const { return Entries[static_cast<size_t>(row)].K; }
    // Repaints one cell of the keyed row.
    void CellChanged(const Key& key, int column) {
        const int at = RowOf(key);
        if (at >= 0)
            emit dataChanged(index(at, column), index(at, column));
    }

private:
    struct Entry {
        uint64_t Seq;
        Key K;
        Row Value;
    };
    std::vector<Entry> Entries; // sorted by Seq
    std::unordered_map<Key, uint64_t> SeqOf;
    uint64_t NextSeq = 1;
};

class TListWindow : public TMdiChild {
    Q_OBJECT
public:
    TListWindow(const QString& caption, const QIcon& icon, QWidget* parent = nullptr);

    // The selected row, -1 when none.
    int SelectedRow() const;
    // The tool button that shows the action.
    TActiveButton* ButtonOf(const QAction* action) const;

    QTreeView* ListView1 = nullptr;
    QMenu* PopupMenu1 = nullptr;

    // Rows change in bursts (thousands of logins a second); the list is
    // repainted at most this often, not once per pass of the event loop.
    static constexpr int kRepaintMs = 250;
    // Whether a repaint is being held back.
    bool RepaintHeld() const { return RepaintTimer.isActive(); }
    // Repaints now what changed since the last repaint.
    void ReleaseRepaint();

protected:
    // widths: one per column, 0 leaves the default; the last column fills the rest.
    void Attach(TRowModel* model, std::initializer_list<int> widths);
    // A command with a tool button (hint: its tooltip and status bar text)
    // and a pop-up menu item. needsRow: enabled only while a row is selected.
    template <class Owner>
    QAction* AddCommand(const QString& menuText, const QString& hint, const QIcon& icon,
                        bool needsRow, void (Owner::*handler)()) {
        QAction* action = NewCommand(menuText, hint, icon, needsRow);
        connect(action, &QAction::triggered, static_cast<Owner*>(this),
                [this, handler] { (static_cast<Owner*>(this)->*handler)(); });
        return action;
    }
    void AddButtonSeparator();
    void AddMenuSeparator();
    // The selection-bound commands are enabled exactly while a row is selected.
    void ListView1Change();
    // A right press selects the row under the pointer and opens the menu
    // while a row is selected (always, for a window whose menu has commands
    // that need no row: the others show disabled then).
    void ListView1MouseDown(QMouseEvent* event);
    void SetMenuWithoutRow(bool open) { MenuWithoutRow = open; }
    // No row selected, no current row: the row commands turn disabled.
    void ClearSelection();
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* NewCommand(const QString& menuText, const QString& hint, const QIcon& icon,
                        bool needsRow);
    void RowsAboutToGo(int first, int last);
    void HoldRepaint();

    QHBoxLayout* Strip = nullptr;
    std::vector<QAction*> RowCommands;
    std::vector<std::pair<const QAction*, TActiveButton*>> Buttons;
    bool MenuWithoutRow = false;
    QTimer RepaintTimer;
};

} // namespace kelvra
