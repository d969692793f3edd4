// The mail on disk: the journal beside the mail file, what a restart finds
// after a kill at any point, and the folds that replace the journal.
#include "MailSaver.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace kelvra;
using kelvra::test::ReadAll;
using kelvra::test::WriteAll;

namespace {

using TRecord = TMailJournal::TRecord;
using TKind = TMailJournal::TKind;

class MailSaverTest : public ::testing::Test {
protected:
    QString Path(const QString& name = "kmail.dat") const { return Dir.filePath(name); }
    QString Journal() const { return TMailJournal::PathFor(Path()); }

    // What a start after a kill would find: the messages in store order.
    std::vector<QByteArray> Restarted(TMailSaver::TStored* state = nullptr) const {
        TMailStore store;
        const TMailSaver::TStored s = TMailSaver::ReadStored(Path(), store);
        if (state)
            *state = s;
        std::vector<QByteArray> msgs;
        for (const TMailItem* item : store.Items())
            msgs.push_back(item->Msg);
        return msgs;
    }
    static std::vector<QByteArray> Msgs(std::initializer_list<const char*> list) {
        return {list.begin(), list.end()};
    }
    static QByteArray Record(TKind kind, quint64 number, const QByteArray& msg = {},
                             TFilePrint print = {}) {
        TRecord r;
        r.Kind = kind;
        r.Number = number;
        r.Msg = msg;
        r.Print = print;
        return TMailJournal::Encode(r);
    }

    QTemporaryDir Dir;
};

TEST_F(MailSaverTest, EveryChangeIsOnDiskAtOnceAndATornRecordCostsOnlyItself) {
    {
        TMailStore store;
        TMailSaver saver(store);
        QStringList notes;
        saver.Load(Path(), &notes);
        EXPECT_TRUE(notes.isEmpty());
        TMailItem* a = store.Append("bob", "eve", "a");
        store.Append("bob", "eve", "b");
        store.Remove(a);
        // No event loop has run: a kill now loses nothing.
        EXPECT_EQ(Restarted(), Msgs({"b"}));
        EXPECT_EQ(QFile::permissions(Journal()) & 0x0077, 0) << "readable by others";
        EXPECT_FALSE(QFile::exists(Path())); // the mail file is not rewritten per change
    }                                        // a kill: nothing is folded

    // A kill in the middle of an append.
    const qint64 whole = QFileInfo(Journal()).size();
    {
        QFile j(Journal());
        ASSERT_TRUE(j.open(QIODevice::Append));
        j.write(Record(TKind::Add, 9, QByteArray(5000, 'c')).left(3000));
    }
    EXPECT_EQ(Restarted(), Msgs({"b"}));

    // The next start cuts the torn record off and appends after the whole ones.
    TMailStore store;
    TMailSaver saver(store);
    QStringList notes;
    saver.Load(Path(), &notes);
    EXPECT_EQ(QFileInfo(Journal()).size(), whole);
    store.Append("carol", "eve", "d");
    EXPECT_EQ(Restarted(), Msgs({"b", "d"}));
}

TEST_F(MailSaverTest, SaveNowFoldsIntoTheFileAndLeavesNothingBehind) {
    WriteAll(Path(), "[Mail]\r\nMail=2\r\n1Target=bob\r\n1Msg=delivered\r\n2Target=ann\r\n"
                     "2Msg=kept\r\n");
    TMailStore store;
    TMailSaver saver(store);
    QStringList notes;
    saver.Load(Path(), &notes);
    store.Remove(store.FirstFor("bob"));
    store.Append("carol", "eve", "new");
    ASSERT_TRUE(QFile::exists(Journal()));

    QString error;
    ASSERT_TRUE(saver.SaveNow(Path(), &error)) << error.toStdString();
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{"kmail.dat"});
    const QByteArray file = ReadAll(Path());
    EXPECT_FALSE(file.contains("delivered")); // private text that left the store
    EXPECT_EQ(QFile::permissions(Path()) & 0x0077, 0);
    EXPECT_EQ(Restarted(), Msgs({"kept", "new"}));

    // The saver carries on: a new journal continues the new file.
    store.Remove(store.FirstFor("ann"));
    EXPECT_EQ(Restarted(), Msgs({"new"}));

    // The operator chose another file: it gets the store too.
    const QString other = Path("other.dat");
    ASSERT_TRUE(saver.SaveNow(other, &error));
    std::vector<TMailItem> records;
    TFilePrint print;
    ASSERT_TRUE(MailFile::Read(other, &records, &print));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Msg, "new");
    EXPECT_FALSE(QFile::exists(Journal()));
}

TEST_F(MailSaverTest, JournalOutgrowingTheStoreIsFoldedInTheBackground) {
    TMailStore store;
    TMailSaver saver(store);
    QStringList notes;
    saver.Load(Path(), &notes);
    const QByteArray big(700 * 1024, 'x');
    store.Remove(store.Append("bob", "eve", big + "1"));
    store.Append("ann", "eve", "small");
    store.Append("bob", "eve", big + "2"); // the journal is now past 1 MiB and the store
    ASSERT_TRUE(saver.Folding());
    // Changes made while the file is written go to the journal as usual.
    store.Remove(store.FirstFor("ann"));
    store.Append("dave", "eve", "late");
    EXPECT_EQ(Restarted(), Msgs({big + "2", "late"}));

    QStringList reports;
    saver.Report = [&](const QString& e) { reports << e; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !saver.Folding(); }, 20000));
    EXPECT_TRUE(reports.isEmpty()) << reports.join("|").toStdString();
    EXPECT_FALSE(QFile::exists(MailFile::TempPathFor(Path())));
    EXPECT_FALSE(ReadAll(Path()).contains(big + "1"));
    EXPECT_LT(saver.JournalBytes(), 1024); // the base and the two late changes
    TMailSaver::TStored state;
    EXPECT_EQ(Restarted(&state), Msgs({big + "2", "late"}));
    EXPECT_EQ(state.Applied, 2);
}

TEST_F(MailSaverTest, StartSortsOutWhatAKillLeftAtAnyPoint) {
    // A kill after a fold renamed the new file and before the journal was
    // replaced: the journal's records after that renumbering still apply.
    const std::vector<TMailItem> folded = {TMailItem{0, "ann", "eve", "x", 0}};
    TFilePrint print;
    ASSERT_TRUE(MailFile::Save(Path(), folded, &print));
    const TFilePrint older{123, 456};
    WriteAll(Journal(), TMailJournal::Magic() + Record(TKind::Base, 0, {}, older) +
                            Record(TKind::Add, 1, "gone") + Record(TKind::Remove, 1) +
                            Record(TKind::Add, 2, "x") + Record(TKind::Renumber, 7) +
                            Record(TKind::Add, 2, "y") + Record(TKind::Folded, 7, {}, print));
    // And a save that a kill interrupted.
    WriteAll(MailFile::TempPathFor(Path()), "[Mail]\r\nMail=1\r\n1Msg=half writ");
    WriteAll(MailFile::TempPathFor(Journal()), "KMAILJ1\n");
    {
        TMailStore store;
        TMailSaver saver(store);
        QStringList notes;
        saver.Load(Path(), &notes);
        EXPECT_TRUE(notes.isEmpty());
        ASSERT_EQ(store.Count(), 2);
        EXPECT_EQ(store.Items()[1]->Msg, "y");
        EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files),
                  (QStringList{"kmail.dat", "kmail.dat.journal"}));
        store.Remove(store.Items()[0]); // numbered as the journal numbered it
    }
    EXPECT_EQ(Restarted(), Msgs({"y"}));

    // A journal of another version of the file (replaced while the server was
    // down) is never applied, and kept once for the operator.
    WriteAll(Journal(), TMailJournal::Magic() + Record(TKind::Base, 0, {}, older) +
                            Record(TKind::Add, 2, "z"));
    TMailStore store;
    TMailSaver saver(store);
    QStringList notes;
    saver.Load(Path(), &notes);
    EXPECT_EQ(store.Count(), 1);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0].startsWith("The mail journal " + Journal() + " does not belong to"));
    EXPECT_TRUE(QFile::exists(Journal() + ".unmatched"));
    EXPECT_FALSE(QFile::exists(Journal()));
}

} // namespace
