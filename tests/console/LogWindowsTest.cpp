// The traffic and socket error logs: what each row reads, batching, the row
// limit, Clear, and closing a log window.
#include "ActiveButton.h"
#include "ConsoleTestSupport.h"
#include "ConsoleView.h"
#include "DataIn.h"
#include "DataOut.h"
#include "LogModel.h"
#include "PacketCodes.h"
#include "Transport.h"
#include "ViewErrors.h"

#include <QMdiArea>
#include <QSignalSpy>
#include <QTreeView>

namespace kelvra {
namespace {

using test::WaitUntil;

QStringList Row(const TLogWindow& w, int row) {
    w.Model()->FlushPending();
    QStringList texts;
    for (int c = 0; c < w.Model()->columnCount(); ++c)
        texts << w.Model()->index(row, c).data().toString();
    return texts;
}

TDataPacket Incoming(int32_t from, int32_t code, QByteArray p1 = {}, QByteArray p2 = {},
                     bool sw = false) {
    TDataPacket p = MakePacket(code, std::move(p1), std::move(p2), sw);
    p.From = from;
    return p;
}

struct Logs {
    Logs() {
        View.SetErrorLog(&Errors);
        View.SetTrafficLogs(&In, &Out);
    }
    TdataIn In;
    TdataOut Out;
    TviewErrors Errors;
    TConsoleView View;
};

TEST(LogWindowsTest, TrafficRowsShowTheRecordAndGoToTheirOwnLog) {
    Logs logs;
    logs.View.LogPacket(Incoming(140, KMS_PING), false);
    logs.View.LogPacket(Incoming(140, KMS_LOGIN, "alice", "3", true), false);
    logs.View.LogPacket(MakePacket(KMC_PING), true);
    logs.View.LogPacket(MakePacket(KMC_STATUS, "Server is shuting down..."), true);

    EXPECT_EQ(Row(logs.In, 0), (QStringList{"140", "KMS_PING", "", "", "False"}));
    EXPECT_EQ(Row(logs.In, 1), (QStringList{"140", "KMS_LOGIN", "alice", "3", "True"}));
    EXPECT_EQ(Row(logs.Out, 0), (QStringList{"0", "KMC_PING", "", "", "False"}));
    EXPECT_EQ(Row(logs.Out, 1)[2], "Server is shuting down...");
    EXPECT_EQ(logs.In.Model()->rowCount(), 2);
    EXPECT_EQ(logs.Out.Model()->rowCount(), 2);
    EXPECT_FALSE(logs.In.Model()->index(0, 0).data(Qt::DecorationRole).isNull());

    // Codes without a name show their number.
    logs.View.LogPacket(Incoming(7, KMS_SERVERNICK), false);
    logs.View.LogPacket(Incoming(7, -3), false);
    EXPECT_EQ(Row(logs.In, 2)[1], "11");
    EXPECT_EQ(Row(logs.In, 3)[1], "-3");
}

TEST(LogWindowsTest, SocketErrorRows) {
    Logs logs;
    logs.View.ReportSocketError(10055, "Accept");
    logs.View.ReportSocketError(0, "Listen");
    logs.View.ReportSocketError(10000, "Socket");
    logs.View.ReportClientFailure("'x' is not a valid integer value");

    const QStringList accept = Row(logs.Errors, 0);
    EXPECT_FALSE(accept[0].isEmpty());
    EXPECT_EQ(accept.mid(1), (QStringList{"10055", "Accept", "No buffer space available"}));
    EXPECT_EQ(Row(logs.Errors, 1).mid(1), (QStringList{"NA", "NA", "Listen"}));
    EXPECT_EQ(Row(logs.Errors, 2).mid(1), (QStringList{"10000", "Socket", "Not a WinSock error"}));
    EXPECT_EQ(Row(logs.Errors, 3).mid(1),
              (QStringList{"NA", "Client", "'x' is not a valid integer value"}));
    EXPECT_EQ(logs.In.Model()->rowCount(), 0);

    // A client's long text is cut, and such rows go sooner than short ones.
    const QString longText(3 * TErrorLogModel::kMaxText, QLatin1Char('y'));
    const int total = TErrorLogModel::kMaxTextChars / TErrorLogModel::kMaxText + 100;
    for (int i = 0; i < total; ++i)
        logs.View.ReportClientFailure(QString::number(i) + longText);
    logs.Errors.Model()->FlushPending();
    const int rows = logs.Errors.Model()->rowCount();
    EXPECT_LT(rows, total);
    EXPECT_GT(rows, total / 2);
    const QStringList last = Row(logs.Errors, rows - 1);
    EXPECT_EQ(last[3].size(), TErrorLogModel::kMaxText);
    EXPECT_TRUE(last[3].startsWith(QString::number(total - 1) + "y"));
}

TEST(LogWindowsTest, RowsReachTheViewInOneBatchAndScrollTheTrafficLog) {
    Logs logs;
    QSignalSpy inserted(logs.In.Model(), &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 500; ++i)
        logs.View.LogPacket(Incoming(9, KMS_PING), false);
    EXPECT_EQ(logs.In.Model()->rowCount(), 0);
    EXPECT_EQ(logs.In.Model()->PendingRows(), 500);
    ASSERT_TRUE(WaitUntil([&] { return logs.In.Model()->rowCount() == 500; }, 2000));
    EXPECT_EQ(inserted.count(), 1);

    logs.In.resize(400, 200);
    logs.In.show();
    logs.View.LogPacket(Incoming(9, KMS_QUIT), false);
    ASSERT_TRUE(WaitUntil([&] { return logs.In.Model()->rowCount() == 501; }, 2000));
    QTreeView* list = logs.In.ListView1;
    const QRect last = list->visualRect(logs.In.Model()->index(500, 0));
    EXPECT_TRUE(list->viewport()->rect().contains(last)) << "newest row not scrolled into view";
}

TEST(LogWindowsTest, ALogKeepsOnlyItsNewestRows) {
    Logs logs;
    const int total = TLogModel::kMaxRows + TLogModel::kDropBlock + 123;
    for (int i = 0; i < total; ++i)
        logs.View.LogPacket(Incoming(i, KMS_PING), false);
    logs.In.Model()->FlushPending();
    const int rows = logs.In.Model()->rowCount();
    EXPECT_LE(rows, TLogModel::kMaxRows);
    EXPECT_GE(rows, TLogModel::kMaxRows - TLogModel::kDropBlock);
    EXPECT_EQ(Row(logs.In, rows - 1)[0], QString::number(total - 1));
    EXPECT_EQ(Row(logs.In, 0)[0], QString::number(total - rows));

    // Still appends in order once full.
    logs.View.LogPacket(Incoming(-1, KMS_QUIT), false);
    logs.In.Model()->FlushPending();
    EXPECT_EQ(Row(logs.In, logs.In.Model()->rowCount() - 1)[1], "KMS_QUIT");
    EXPECT_LE(logs.In.Model()->rowCount(), TLogModel::kMaxRows);
}

TEST(LogWindowsTest, ARelayIsStoredOnceAndReadsRightAcrossTheRowLimit) {
    Logs logs;
    auto* model = static_cast<TTrafficLogModel*>(logs.Out.Model());
    // One record to many recipients, the way the server relays chat text.
    const TPreparedPacket relay(MakePacket(KMC_CHATDATA, "Lobby", "N5 \x80 each"));
    const int recipients = TLogModel::kMaxRows + TLogModel::kDropBlock / 2;
    for (int i = 0; i < recipients; ++i)
        logs.View.LogPacket(relay.Packet, true);
    // An equal record in other buffers is another record.
    logs.View.LogPacket(MakePacket(KMC_CHATDATA, "Lobby", "N5 \x80 each"), true);
    for (int i = 0; i < TLogModel::kDropBlock; ++i)
        logs.View.LogPacket(MakePacket(KMC_PING), true);
    // Rows without texts are alike too.
    EXPECT_EQ(model->StoredRecords(), 3);

    // The oldest rows went from the middle of the relay's run.
    model->FlushPending();
    const int rows = model->rowCount();
    EXPECT_LE(rows, TLogModel::kMaxRows);
    const QStringList relayed = {"0", "KMC_CHATDATA", "Lobby", QString::fromUtf8("N5 \u20ac each"),
                                 "False"};
    EXPECT_EQ(Row(logs.Out, 0), relayed);
    EXPECT_EQ(Row(logs.Out, rows - TLogModel::kDropBlock - 1), relayed);
    EXPECT_EQ(Row(logs.Out, rows - 1)[1], "KMC_PING");
}

TEST(LogWindowsTest, AnEncodedListReadsAsItsRecordsAmongOtherRowsAndAcrossTheRowLimit) {
    Logs logs;
    const QByteArray longNick(TTrafficLogModel::kMaxCellText + 10, 'n');
    // Three blocks, the way a newcomer's user list is sent.
    std::vector<QByteArray> blocks(3);
    const int users = 300;
    for (int i = 0; i < users; ++i)
        AppendPacket(blocks[static_cast<size_t>(i / 100)],
                     MakePacket(KMC_ADDUSER, i == 150 ? longNick : "u" + QByteArray::number(i),
                                QByteArray::number(i % 7)));
    logs.View.LogPacket(MakePacket(KMC_OKAY), true);
    logs.View.LogEncoded(blocks, users, true);
    logs.View.LogPacket(MakePacket(KMC_PING), true);

    EXPECT_EQ(Row(logs.Out, 0)[1], "KMC_OKAY");
    EXPECT_EQ(Row(logs.Out, 1), (QStringList{"0", "KMC_ADDUSER", "u0", "0", "False"}));
    EXPECT_EQ(Row(logs.Out, 101)[2], "u100");
    EXPECT_EQ(Row(logs.Out, 151)[2].size(), TTrafficLogModel::kMaxCellText);
    EXPECT_EQ(Row(logs.Out, 300), (QStringList{"0", "KMC_ADDUSER", "u299", "5", "False"}));
    EXPECT_EQ(Row(logs.Out, 301)[1], "KMC_PING");

    // Lists logged past the row limit: the oldest left is cut from the front.
    const int lists = TLogModel::kMaxRows / users + 20;
    for (int i = 0; i < lists; ++i)
        logs.View.LogEncoded(blocks, users, true);
    logs.Out.Model()->FlushPending();
    const int rows = logs.Out.Model()->rowCount();
    EXPECT_LE(rows, TLogModel::kMaxRows);
    EXPECT_EQ(Row(logs.Out, 0)[2], "u" + QString::number((users - rows % users) % users));
    EXPECT_EQ(Row(logs.Out, rows - 1)[2], "u299");

    // The incoming log takes such blocks record by record, as many as told.
    logs.View.LogEncoded(blocks, 2, false);
    EXPECT_EQ(logs.In.Model()->PendingRows(), 2);
    EXPECT_EQ(Row(logs.In, 1)[2], "u1");
}

TEST(LogWindowsTest, LongTextsAreCutAndBoundTheLogSooner) {
    Logs logs;
    auto* model = logs.Out.Model();
    const QByteArray longText(TTrafficLogModel::kMaxCellText + 100, 'x');
    // Each record its own buffers: no two rows share a copy.
    const int total = TLogModel::kMaxRows;
    for (int i = 0; i < total; ++i)
        logs.View.LogPacket(MakePacket(KMC_CHATDATA, QByteArray::number(i), longText + ""), true);
    model->FlushPending();
    const int rows = model->rowCount();
    // 4 KiB a row: the texts' bound drops rows long before the row limit.
    EXPECT_LT(rows, TLogModel::kMaxRows / 2);
    EXPECT_EQ(Row(logs.Out, rows - 1)[2], QString::number(total - 1));
    EXPECT_EQ(Row(logs.Out, 0)[2], QString::number(total - rows));
    EXPECT_EQ(Row(logs.Out, 0)[3].size(), TTrafficLogModel::kMaxCellText);
}

TEST(LogWindowsTest, ClearEmptiesOnlyItsOwnLog) {
    Logs logs;
    logs.View.LogPacket(Incoming(1, KMS_PING), false);
    logs.View.LogPacket(MakePacket(KMC_PING), true);
    logs.View.ReportSocketError(10048, "Listen");
    logs.In.Model()->FlushPending();
    logs.View.LogPacket(Incoming(1, KMS_QUIT), false); // still pending when cleared

    QTest::mouseClick(logs.In.ActiveButton1, Qt::LeftButton);
    EXPECT_EQ(logs.In.Model()->rowCount(), 0);
    EXPECT_EQ(logs.In.Model()->PendingRows(), 0);
    logs.Out.Model()->FlushPending();
    logs.Errors.Model()->FlushPending();
    EXPECT_EQ(logs.Out.Model()->rowCount(), 1);
    EXPECT_EQ(logs.Errors.Model()->rowCount(), 1);
}

TEST(LogWindowsTest, ClosingALogWindowMinimisesItAndKeepsItsRows) {
    QMdiArea area;
    auto* in = new TdataIn;
    area.addSubWindow(in);
    area.resize(600, 400);
    area.show();
    in->show();
    in->AddPacket(Incoming(3, KMS_PING));
    in->Model()->FlushPending();

    EXPECT_FALSE(in->close());
    EXPECT_TRUE(in->isMinimized());
    EXPECT_TRUE(in->isVisible());
    EXPECT_EQ(area.subWindowList().size(), 1);
    EXPECT_EQ(in->Model()->rowCount(), 1);
}

} // namespace
} // namespace kelvra
