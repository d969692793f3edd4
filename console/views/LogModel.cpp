#include "LogModel.h"

#include "PacketCodes.h"
#include "SocketErrors.h"
#include "TextUtil.h"
#include "WireCodec.h"

#include <algorithm>
#include <cstring>

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

void TLogModel::RowAdded(qsizetype count) {
    Added += count;
    // Pending rows are bounded too, for a flood that keeps the loop from the timer.
    if (StoredRows() >= kMaxRows + kDropBlock)
        DropOldest(std::max<qsizetype>(kDropBlock, StoredRows() - kMaxRows));
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
    Batch.setInterval(Added >= kFloodRows ? kFloodBatchMs : kBatchMs);
    Added = 0;
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

// The part of a text that a cell shows, and so the part kept.
uint32_t CutLength(const QByteArray& b) {
    return static_cast<uint32_t>(std::min<qsizetype>(b.size(), TTrafficLogModel::kMaxCellText));
}

} // namespace

bool TTrafficLogModel::SameRow(const TRun& run, const TDataPacket& p) {
    // The buffers alone could have been freed and reused for other text, so
    // the kept texts are compared as well: rows that pass read alike.
    return run.List < 0 && run.From == p.From && run.Code == p.Code && run.Switch == p.Switch &&
           run.Buffer1 == p.Param1.constData() && run.Length1 == CutLength(p.Param1) &&
           run.Buffer2 == p.Param2.constData() && run.Length2 == CutLength(p.Param2) &&
           std::memcmp(run.Text, p.Param1.constData(), run.Length1) == 0 &&
           std::memcmp(run.Text + run.Length1, p.Param2.constData(), run.Length2) == 0;
}

void TTrafficLogModel::AddPacket(const TDataPacket& packet, qsizetype count) {
    if (count <= 0)
        return;
    if (RunCount > 0 && SameRow(Run(RunCount - 1), packet)) {
        Run(RunCount - 1).Rows += count;
    } else {
        AddRun(packet);
        Run(RunCount - 1).Rows = count;
    }
    Count += count;
    RowAdded(count);
}

void TTrafficLogModel::AddRun(const TDataPacket& p) {
    const uint32_t n1 = CutLength(p.Param1);
    const uint32_t n2 = CutLength(p.Param2);
    const char* text = StoreText(p.Param1, n1, p.Param2, n2);
    NewRun() = TRun{FirstRow + Count,
                    1,
                    p.Param1.constData(),
                    p.Param2.constData(),
                    text,
                    Blocks.back().Number,
                    n1,
                    n2,
                    p.From,
                    p.Code,
                    p.Switch,
                    -1};
}

TTrafficLogModel::TRun& TTrafficLogModel::NewRun() {
    if (RunCount == Ring.size()) {
        std::vector<TRun> grown(std::max<size_t>(1024, Ring.size() * 2));
        for (size_t i = 0; i < RunCount; ++i)
            grown[i] = Run(i);
        Ring.swap(grown);
        RingHead = 0;
    }
    return Run(RunCount++);
}

void TTrafficLogModel::AddEncoded(const std::vector<QByteArray>& blocks, qsizetype records) {
    if (records <= 0)
        return;
    qsizetype bytes = 0;
    for (const QByteArray& block : blocks)
        bytes += block.size();
    while (ListBytes + bytes > kMaxListBytes && !Lists.empty() && Count > 0)
        DropOldest(std::max<qsizetype>(Count / 8, 1));
    // Texts before the newest block are not needed by this run.
    const qint64 block = Blocks.empty() ? NextBlock : Blocks.back().Number;
    NewRun() = TRun{FirstRow + Count, records, nullptr, nullptr, nullptr, block, 0, 0, 0, 0, false,
                    NextList};
    Lists.push_back(TEncodedList{NextList++, FirstRow + Count + records, blocks, bytes, {}});
    ListBytes += bytes;
    Count += records;
    RowAdded(records);
}

bool TTrafficLogModel::ListRecord(const TRun& run, qint64 number, TDataPacket& out) const {
    const TEncodedList& list = Lists[static_cast<size_t>(run.List - Lists.front().Number)];
    if (list.Starts.empty()) {
        for (size_t b = 0; b < list.Blocks.size(); ++b) {
            const QByteArray& block = list.Blocks[b];
            qsizetype at = 0;
            while (at < block.size()) {
                const DecodeResult r = DecodeRecord(block.constData() + at, block.size() - at, out);
                if (r.Status != DecodeStatus::Record)
                    break;
                list.Starts.emplace_back(static_cast<uint32_t>(b), static_cast<uint32_t>(at));
                at += r.Consumed;
            }
        }
    }
    const qint64 index = number - run.FirstRow;
    if (index < 0 || index >= static_cast<qint64>(list.Starts.size()))
        return false;
    const auto [b, at] = list.Starts[static_cast<size_t>(index)];
    const QByteArray& block = list.Blocks[b];
    return DecodeRecord(block.constData() + at, block.size() - at, out).Status ==
           DecodeStatus::Record;
}

const char* TTrafficLogModel::StoreText(const QByteArray& p1, uint32_t n1, const QByteArray& p2,
                                        uint32_t n2) {
    const size_t need = size_t{n1} + n2;
    if (Blocks.empty() || Blocks.back().Used + need > kBlockBytes) {
        // An eighth of the rows at a time: long texts need not empty the log.
        while (Blocks.size() >= kMaxBlocks)
            DropOldest(std::max<qsizetype>(Count / 8, 1));
        std::unique_ptr<char[]> bytes;
        if (SpareBlocks.empty()) {
            bytes.reset(new char[kBlockBytes]);
        } else {
            bytes = std::move(SpareBlocks.back());
            SpareBlocks.pop_back();
        }
        Blocks.push_back(TTextBlock{NextBlock++, std::move(bytes), 0});
    }
    TTextBlock& block = Blocks.back();
    char* at = block.Bytes.get() + block.Used;
    std::memcpy(at, p1.constData(), n1);
    std::memcpy(at + n1, p2.constData(), n2);
    block.Used += need;
    return at;
}

const TTrafficLogModel::TRun& TTrafficLogModel::RunAt(int row) const {
    const qint64 number = FirstRow + row;
    // The last run that starts at or before the row.
    size_t low = 0;
    size_t high = RunCount;
    while (high - low > 1) {
        const size_t mid = low + (high - low) / 2;
        if (Run(mid).FirstRow <= number)
            low = mid;
        else
            high = mid;
    }
    return Run(low);
}

void TTrafficLogModel::EraseOldest(qsizetype count) {
    count = std::min(count, Count);
    FirstRow += count;
    Count -= count;
    while (RunCount > 0 && Run(0).FirstRow + Run(0).Rows <= FirstRow) {
        RingHead = (RingHead + 1) & (Ring.size() - 1);
        --RunCount;
    }
    while (!Lists.empty() && Lists.front().EndRow <= FirstRow) {
        ListBytes -= Lists.front().Bytes;
        Lists.pop_front();
    }
    // Blocks before the oldest run's are no longer read; the newest one stays
    // to take the next texts.
    const qint64 oldest = RunCount > 0 ? Run(0).Block : Blocks.empty() ? 0 : Blocks.back().Number;
    while (!Blocks.empty() && Blocks.front().Number < oldest) {
        if (SpareBlocks.size() < 4)
            SpareBlocks.push_back(std::move(Blocks.front().Bytes));
        Blocks.pop_front();
    }
}

void TTrafficLogModel::EraseAll() {
    FirstRow += Count;
    Count = 0;
    RingHead = 0;
    RunCount = 0;
    Blocks.clear();
    Lists.clear();
    ListBytes = 0;
}

QString TTrafficLogModel::Text(int row, int column) const {
    const TRun& r = RunAt(row);
    if (r.List < 0)
        return CellText(r.From, r.Code, QByteArray::fromRawData(r.Text, r.Length1),
                        QByteArray::fromRawData(r.Text + r.Length1, r.Length2), r.Switch, column);
    TDataPacket p;
    if (!ListRecord(r, FirstRow + row, p))
        return {};
    return CellText(p.From, p.Code, p.Param1.left(CutLength(p.Param1)),
                    p.Param2.left(CutLength(p.Param2)), p.Switch, column);
}

QString TTrafficLogModel::CellText(int32_t from, int32_t code, const QByteArray& param1,
                                   const QByteArray& param2, bool on, int column) {
    switch (column) {
    case 0:
        return QString::number(from);
    case 1: {
        // Codes without a name (11 and unknown ones) show as the number.
        const QByteArray name = PacketName(code);
        return name.isEmpty() ? QString::number(code) : FromBytes(name);
    }
    case 2:
        return FromBytes(param1);
    case 3:
        return FromBytes(param2);
    case 4:
        return on ? QStringLiteral("True") : QStringLiteral("False");
    default:
        return {};
    }
}

TErrorLogModel::TErrorLogModel(const QIcon& icon, QObject* parent)
    : TLogModelOf(QStringList{QStringLiteral("Time"), QStringLiteral("Code"),
                              QStringLiteral("Function"), QStringLiteral("Description")},
                  icon, parent) {}

void TErrorLogModel::AddRow(TErrorRow row) {
    if (row.Text.size() > kMaxText)
        row.Text.truncate(kMaxText);
    while (TextChars + row.Text.size() > kMaxTextChars && StoredRows() > 0)
        DropOldest(std::max<qsizetype>(StoredRows() / 8, 1));
    TextChars += row.Text.size();
    Push(std::move(row));
}

void TErrorLogModel::EraseOldest(qsizetype count) {
    const auto& rows = StoredRowList();
    count = std::min<qsizetype>(count, static_cast<qsizetype>(rows.size()));
    for (qsizetype i = 0; i < count; ++i)
        TextChars -= rows[static_cast<size_t>(i)].Text.size();
    TLogModelOf::EraseOldest(count);
}

void TErrorLogModel::EraseAll() {
    TextChars = 0;
    TLogModelOf::EraseAll();
}

QString TErrorLogModel::Text(int row, int column) const {
    const TErrorRow& r = At(row);
    const QString na = QStringLiteral("NA");
    switch (column) {
    case 0:
        return LongTimeText(r.Time);
    case 1:
        return r.Kind == TErrorRow::Socket ? QString::number(r.Code) : na;
    case 2:
        return r.Kind == TErrorRow::Socket   ? r.Text
               : r.Kind == TErrorRow::Client ? QStringLiteral("Client")
                                             : na;
    case 3:
        return r.Kind == TErrorRow::Socket ? SocketErrorText(r.Code) : r.Text;
    default:
        return {};
    }
}

} // namespace kelvra
