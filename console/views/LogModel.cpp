#include "LogModel.h"

#include "PacketCodes.h"
#include "TextUtil.h"

#include <algorithm>

namespace kelvra {

TLogModel::TLogModel(QStringList headers, QIcon icon, QObject* parent)
    : QAbstractTableModel(parent), Headers(std::move(headers)), Icon(std::move(icon)) {
    Batch.setSingleShot(true);
    Batch.setInterval(kBatchMs);
    connect(&Batch, &QTimer::timeout, this, &TLogModel::FlushPending);
}

int TLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Shown;
}

int TLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(Headers.size());
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Shown)
        return {};
    if (role == Qt::DisplayRole)
        return Text(index.row(), index.column());
    if (role == Qt::DecorationRole && index.column() == 0)
        return Icon;
    return {};
}

QVariant TLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < Headers.size())
        return Headers[section];
    return {};
}

Qt::ItemFlags TLogModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void TLogModel::RowAdded() {
    // Pending rows are bounded too, for a flood that keeps the loop from the timer.
    if (StoredRows() >= kMaxRows + kDropBlock)
        DropOldest(kDropBlock);
    if (!Batch.isActive())
        Batch.start();
}

void TLogModel::DropOldest(qsizetype count) {
    count = std::min(count, StoredRows());
    const int visible = static_cast<int>(std::min<qsizetype>(count, Shown));
    if (visible == 0) {
        EraseOldest(count);
        return;
    }
    beginRemoveRows(QModelIndex(), 0, visible - 1);
    EraseOldest(count);
    Shown -= visible;
    endRemoveRows();
}

void TLogModel::FlushPending() {
    Batch.stop();
    const qsizetype stored = StoredRows();
    if (stored == Shown)
        return;
    if (stored > kMaxRows)
        DropOldest(std::max<qsizetype>(stored - kMaxRows, kDropBlock));
    const int last = static_cast<int>(StoredRows()) - 1;
    if (last >= Shown) {
        beginInsertRows(QModelIndex(), Shown, last);
        Shown = last + 1;
        endInsertRows();
    }
    emit RowsAppended();
}

void TLogModel::Clear() {
    Batch.stop();
    beginResetModel();
    EraseAll();
    Shown = 0;
    endResetModel();
}

TTrafficLogModel::TTrafficLogModel(const QIcon& icon, QObject* parent)
    : TLogModel(QStringList{QStringLiteral("From"), QStringLiteral("Msg"), QStringLiteral("Param1"),
                            QStringLiteral("Param2"), QStringLiteral("Switch")},
                icon, parent) {}

namespace {

// The same row again: the record's texts are the very buffers held (a buffer
// the log still holds cannot have been reused for other text).
bool SameRow(const TDataPacket& held, const TDataPacket& p) {
    return held.From == p.From && held.Code == p.Code && held.Switch == p.Switch &&
           held.Param1.constData() == p.Param1.constData() &&
           held.Param1.size() == p.Param1.size() &&
           held.Param2.constData() == p.Param2.constData() && held.Param2.size() == p.Param2.size();
}

} // namespace

void TTrafficLogModel::AddPacket(const TDataPacket& packet) {
    if (!Runs.empty() && SameRow(Runs.back().Record, packet))
        ++Runs.back().Rows;
    else
        Runs.push_back(TRun{FirstRow + Count, 1, packet});
    ++Count;
    RowAdded();
}

const TDataPacket& TTrafficLogModel::RecordAt(int row) const {
    const qint64 number = FirstRow + row;
    // The last run that starts at or before the row.
    auto it = std::upper_bound(Runs.begin(), Runs.end(), number,
                               [](qint64 n, const TRun& run) { return n < run.FirstRow; });
    return std::prev(it)->Record;
}

void TTrafficLogModel::EraseOldest(qsizetype count) {
    count = std::min(count, Count);
    FirstRow += count;
    Count -= count;
    while (!Runs.empty() && Runs.front().FirstRow + Runs.front().Rows <= FirstRow)
        Runs.pop_front();
}

void TTrafficLogModel::EraseAll() {
    FirstRow += Count;
    Count = 0;
    Runs.clear();
}

QString TTrafficLogModel::Text(int row, int column) const {
    const TDataPacket& r = RecordAt(row);
    switch (column) {
    case 0:
        return QString::number(r.From);
    case 1: {
        // Codes without a name (11 and unknown ones) show as the number.
        const QByteArray name = PacketName(r.Code);
        return name.isEmpty() ? QString::number(r.Code) : FromBytes(name);
    }
    case 2:
        return FromBytes(r.Param1.left(kMaxCellText));
    case 3:
        return FromBytes(r.Param2.left(kMaxCellText));
    case 4:
        return r.Switch ? QStringLiteral("True") : QStringLiteral("False");
    default:
        return {};
    }
}

TErrorLogModel::TErrorLogModel(const QIcon& icon, QObject* parent)
    : TLogModelOf(QStringList{QStringLiteral("Time"), QStringLiteral("Code"),
                              QStringLiteral("Function"), QStringLiteral("Description")},
                  icon, parent) {}

QString TErrorLogModel::Text(int row, int column) const {
    const TErrorRow& r = At(row);
    switch (column) {
    case 0:
        return r.Time;
    case 1:
        return r.Code;
    case 2:
        return r.Function;
    case 3:
        return r.Description;
    default:
        return {};
    }
}

} // namespace kelvra
