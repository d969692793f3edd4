#pragma once
// Models of the log windows: append-only tables that take rows cheaply and
// show them in batches, so a flood of records costs one view update per batch
// instead of one repaint per row. Each log keeps only its newest rows.
#include "DataPacket.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QIcon>
#include <QStringList>
#include <QTime>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

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
    // A batch of this many rows or more is a flood nobody reads row by row:
    // the next batch then waits a second, which spares the view a full
    // layout and a repaint three times in four.
    static constexpr int kFloodRows = 5000;
    static constexpr int kFloodBatchMs = 1000;

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
    void RowAdded(qsizetype count = 1);

    virtual qsizetype StoredRows() const = 0;
    virtual void EraseOldest(qsizetype count) = 0;
    virtual void EraseAll() = 0;
    virtual QString Text(int row, int column) const = 0;
    // Drops the oldest rows, shown or pending.
    void DropOldest(qsizetype count);

private:
    QStringList Headers;
    QIcon Icon;
    QTimer Batch;
    int Shown = 0;    // the first Shown stored rows are visible
    qint64 Added = 0; // rows added since the last batch was shown
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
    const std::deque<Row>& StoredRowList() const { return Rows; }

    qsizetype StoredRows() const override { return static_cast<qsizetype>(Rows.size()); }
    void EraseOldest(qsizetype count) override { Rows.erase(Rows.begin(), Rows.begin() + count); }
    void EraseAll() override { Rows.clear(); }

private:
    std::deque<Row> Rows;
};

// A row per record sent or received. A relayed record goes out to every member
// of a chat, one row per recipient, and those rows read alike: the log keeps
// runs of equal rows (one copy of the record's texts and a count). The texts
// are copied, cut to what a cell shows, into large blocks shared by many
// rows, so a row costs no allocation of its own and holds no reference to the
// server's buffers; logging a relay costs a comparison and an increment.
// A newcomer's user list, thousands of records already encoded in blocks, is
// one entry holding those blocks: its rows are decoded only when shown.
class TTrafficLogModel : public TLogModel {
public:
    // Longer texts are cut in the cell: painting a megabyte per row helps nobody.
    static constexpr int kMaxCellText = 2048;

    explicit TTrafficLogModel(const QIcon& icon, QObject* parent = nullptr);
    void AddPacket(const TDataPacket& packet, qsizetype count = 1);
    // Records sent end to end in encoded blocks (a newcomer's user list): one
    // entry that shares the blocks, whose rows are decoded when shown.
    void AddEncoded(const std::vector<QByteArray>& blocks, qsizetype records);
    // Copies of records held for the rows (a relay is held once).
    qsizetype StoredRecords() const { return static_cast<qsizetype>(RunCount); }

protected:
    qsizetype StoredRows() const override { return Count; }
    void EraseOldest(qsizetype count) override;
    void EraseAll() override;
    QString Text(int row, int column) const override;

private:
    struct TRun {
        qint64 FirstRow; // number of its first row, counted since the log began
        qint64 Rows;
        // The record's buffers, to tell a relay's rows from an equal record
        // sent again (no reference is held: the texts kept are compared too).
        const char* Buffer1;
        const char* Buffer2;
        const char* Text; // Param1's cut text, then Param2's
        qint64 Block;     // the text block that holds Text
        uint32_t Length1;
        uint32_t Length2;
        int32_t From;
        int32_t Code;
        bool Switch;
        qint64 List; // the encoded list whose records the rows are, or -1
    };
    struct TEncodedList {
        qint64 Number;
        qint64 EndRow; // number of the row after its last
        std::vector<QByteArray> Blocks;
        qsizetype Bytes;
        // Where each record starts (block, offset), found when a row of the
        // list is first shown.
        mutable std::vector<std::pair<uint32_t, uint32_t>> Starts;
    };
    struct TTextBlock {
        qint64 Number;
        std::unique_ptr<char[]> Bytes;
        size_t Used;
    };
    // Texts are stored in blocks of this size; a block goes with its last row.
    static constexpr size_t kBlockBytes = 256 * 1024;
    // Rows of long texts go sooner: the texts held stay within this many
    // blocks (16 MiB) whatever the records carry.
    static constexpr size_t kMaxBlocks = 64;
    // The encoded lists held stay within this many bytes (most of them are
    // shared with the server's own copy).
    static constexpr qsizetype kMaxListBytes = 32 * 1024 * 1024;

    static bool SameRow(const TRun& run, const TDataPacket& p);
    void AddRun(const TDataPacket& packet);
    const char* StoreText(const QByteArray& p1, uint32_t n1, const QByteArray& p2, uint32_t n2);
    TRun& NewRun();
    const TRun& RunAt(int row) const;
    static QString CellText(int32_t from, int32_t code, const QByteArray& param1,
                            const QByteArray& param2, bool on, int column);
    // The record of a list's row; false when the list holds no such record.
    bool ListRecord(const TRun& run, qint64 number, TDataPacket& out) const;
    // The runs are a ring (no allocation per run once it has grown): the
    // i-th oldest stored run.
    TRun& Run(size_t i) { return Ring[(RingHead + i) & (Ring.size() - 1)]; }
    const TRun& Run(size_t i) const { return Ring[(RingHead + i) & (Ring.size() - 1)]; }

    std::vector<TRun> Ring; // size a power of two
    size_t RingHead = 0;
    size_t RunCount = 0;
    std::deque<TTextBlock> Blocks;
    // Emptied blocks kept for reuse, so a busy log does not map and unmap
    // memory all the time.
    std::vector<std::unique_ptr<char[]>> SpareBlocks;
    qint64 NextBlock = 0;
    std::deque<TEncodedList> Lists;
    qint64 NextList = 0;
    qsizetype ListBytes = 0;
    qint64 FirstRow = 0; // number of the oldest stored row
    qsizetype Count = 0;
};

// A socket error log row as it happened; its texts are made when it is shown.
struct TErrorRow {
    enum TKind : uint8_t {
        Socket, // a failed call with its code: Text is the function
        NoCode, // a failure without a code: Text describes it
        Client  // a failure caused by client input: Text describes it
    };
    QTime Time;
    int32_t Code = 0;
    TKind Kind = Socket;
    QString Text;
};

class TErrorLogModel : public TLogModelOf<TErrorRow> {
public:
    // A text from a client can be long; the cell shows this much of it.
    static constexpr int kMaxText = 2048;
    // The texts held stay within this many characters (16 MiB): rows of long
    // texts go sooner.
    static constexpr qsizetype kMaxTextChars = 8 * 1024 * 1024;

    explicit TErrorLogModel(const QIcon& icon, QObject* parent = nullptr);
    void AddRow(TErrorRow row);

protected:
    QString Text(int row, int column) const override;
    void EraseOldest(qsizetype count) override;
    void EraseAll() override;

private:
    qsizetype TextChars = 0;
};

} // namespace kelvra
