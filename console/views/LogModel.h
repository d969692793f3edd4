#pragma once
// Models of the log windows: append-only tables that take rows cheaply and
// show them in batches, so a flood of records costs one view update per batch
// instead of one repaint per row. Each log keeps only its newest rows.
#include "DataPacket.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <deque>

namespace kelvra {

class TLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // A long run must not exhaust memory: older rows go, newest stay.
    static constexpr int kMaxRows = 100000;
    // Rows are dropped this many at a time, so a full log is not trimmed on
    // every batch.
    static constexpr int kDropBlock = 5000;
    // Rows added within this many milliseconds reach the view together.
    // A view of many rows lays all of them out again for each batch, so a
    // flood is shown four times a second, no more.
    static constexpr int kBatchMs = 250;

    TLogModel(QStringList headers, QIcon icon, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Rows added but not yet shown.
    int PendingRows() const { return static_cast<int>(StoredRows()) - Shown; }
    // Shows the pending rows now.
    void FlushPending();
    void Clear();

signals:
    // A batch of rows was appended to the visible ones.
    void RowsAppended();

protected:
    // Derived models store a row, then call this.
    void RowAdded();

    virtual qsizetype StoredRows() const = 0;
    virtual void EraseOldest(qsizetype count) = 0;
    virtual void EraseAll() = 0;
    virtual QString Text(int row, int column) const = 0;

private:
    void DropOldest(qsizetype count);

    QStringList Headers;
    QIcon Icon;
    QTimer Batch;
    int Shown = 0; // the first Shown stored rows are visible
};

// Row storage for a log model.
template <class Row> class TLogModelOf : public TLogModel {
public:
    using TLogModel::TLogModel;

protected:
    void Push(Row row) {
        Rows.push_back(std::move(row));
        RowAdded();
    }
    const Row& At(int row) const { return Rows[static_cast<size_t>(row)]; }

    qsizetype StoredRows() const override { return static_cast<qsizetype>(Rows.size()); }
    void EraseOldest(qsizetype count) override { Rows.erase(Rows.begin(), Rows.begin() + count); }
    void EraseAll() override { Rows.clear(); }

private:
    std::deque<Row> Rows;
};

// A row per record sent or received. A relayed record goes out to every member
// of a chat, one row per recipient, and those rows read alike: the log keeps
// runs of equal rows (one copy of the record and a count), so logging a relay
// costs no allocation and no reference count per recipient.
class TTrafficLogModel : public TLogModel {
public:
    // Longer texts are cut in the cell: painting a megabyte per row helps nobody.
    static constexpr int kMaxCellText = 2048;

    explicit TTrafficLogModel(const QIcon& icon, QObject* parent = nullptr);
    void AddPacket(const TDataPacket& packet);
    // Copies of records held for the rows (a relay is held once).
    qsizetype StoredRecords() const { return static_cast<qsizetype>(Runs.size()); }

protected:
    qsizetype StoredRows() const override { return Count; }
    void EraseOldest(qsizetype count) override;
    void EraseAll() override;
    QString Text(int row, int column) const override;

private:
    struct TRun {
        qint64 FirstRow; // number of its first row, counted since the log began
        qint64 Rows;
        TDataPacket Record;
    };
    const TDataPacket& RecordAt(int row) const;

    std::deque<TRun> Runs;
    qint64 FirstRow = 0; // number of the oldest stored row
    qsizetype Count = 0;
};

struct TErrorRow {
    QString Time;
    QString Code;
    QString Function;
    QString Description;
};

class TErrorLogModel : public TLogModelOf<TErrorRow> {
public:
    explicit TErrorLogModel(const QIcon& icon, QObject* parent = nullptr);
    void AddRow(TErrorRow row) { Push(std::move(row)); }

protected:
    QString Text(int row, int column) const override;
};

} // namespace kelvra
