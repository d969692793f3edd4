#include "MailStore.h"
#include "IniFile.h"
#include "TestFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using kelvra::TIniFile;
using kelvra::TMailItem;
using kelvra::TMailStore;
using kelvra::test::ReadAll;
using kelvra::test::WriteAll;

TEST(MailStore, MailForMatchesWholeNicknamesInOrder) {
    TMailStore store;
    TMailItem* a1 = store.Append("alice", "bob", "one");
    TMailItem* b = store.Append("bob", "alice", "hi");
    TMailItem* a2 = store.Append("ALICE", "carol", "two");
    store.Append("alice ", "dave", "trailing blank");
    TMailItem* none = store.Append("", "x", "no nickname");

    EXPECT_EQ(store.MailFor("Alice"), (std::vector<TMailItem*>{a1, a2}));
    EXPECT_EQ(store.MailFor(""), std::vector<TMailItem*>{none});
    EXPECT_TRUE(store.MailFor("alic").empty());
    EXPECT_TRUE(store.MailFor("carol").empty());

    EXPECT_TRUE(store.Remove(a1));
    EXPECT_FALSE(store.Remove(a1));
    EXPECT_TRUE(store.Remove(a2));
    EXPECT_TRUE(store.MailFor("alice").empty());
    EXPECT_EQ(store.Items().front(), b); // the others keep their order
    EXPECT_EQ(store.Count(), 3);
    EXPECT_EQ(store.UsageFor("BOB").Count, 1);
    EXPECT_EQ(store.UsageFor("bob").Bytes, 3 + 5 + 2);
    EXPECT_EQ(store.UsageFor("alice").Bytes, 0);
    EXPECT_EQ(store.Total().Bytes, (3 + 5 + 2) + (6 + 4 + 14) + (0 + 1 + 11));

    TMailItem* again = store.Append("Alice", "eve", "later");
    EXPECT_EQ(store.MailFor("aLiCe"), std::vector<TMailItem*>{again});
    store.Clear();
    EXPECT_EQ(store.Count(), 0);
    EXPECT_TRUE(store.MailFor("alice").empty());
}

TEST(MailStore, SaveAndLoadRoundTripThroughTheFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("kmail.dat");
    // An earlier, longer list, a second section of the same name (which no
    // reader sees) and content that is not ours.
    WriteAll(path, "; operator notes\r\n[Mail]\r\nMail=3\r\n3Target=old\r\n3Msg=left\r\n"
                   "Note=mine\r\n[Other]\r\nKeep=me\r\n1Msg=theirs\r\n[MAIL]\r\n2Msg=stale\r\n");
    const QByteArray longMsg = QByteArray(3000, 'a') + "\r\n" + QByteArray(3000, 'b');
    TMailStore store;
    store.Append(" alice", "Anonymous", "  two\nlines  ");
    store.Append("bob", "\"q\" \\", longMsg);
    ASSERT_TRUE(store.Save(path));
    // Users' private words: the owner's eyes only.
    EXPECT_EQ(QFile::permissions(path) & 0x0077, 0) << "readable by group or others";

    TIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.ReadString("Mail", "Mail"), "2");
    EXPECT_EQ(ini.ReadString("Mail", "Note"), "mine");
    EXPECT_EQ(ini.ReadString("Other", "Keep"), "me");
    EXPECT_EQ(ini.ReadString("Other", "1Msg"), "theirs");
    const QByteArray file = ReadAll(path);
    EXPECT_TRUE(file.startsWith("; operator notes\r\n[Mail]\r\n1Target=\" alice\"\r\n"))
        << file.left(200).constData();
    // Mail that left the store leaves the file.
    EXPECT_FALSE(file.contains("left"));
    EXPECT_FALSE(file.contains("stale"));

    TMailStore loaded;
    const auto added = loaded.Load(path);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0]->Target, " alice");
    EXPECT_EQ(added[0]->Sender, "Anonymous");
    EXPECT_EQ(added[0]->Msg, "  two\nlines  ");
    EXPECT_EQ(added[1]->Sender, "\"q\" \\");
    EXPECT_EQ(added[1]->Msg, longMsg);
    EXPECT_EQ(loaded.MailFor(" ALICE").size(), 1u);
}

TEST(MailStore, LoadCountForms) {
    QTemporaryDir dir;
    const QString path = dir.filePath("m.dat");
    TMailStore store;
    EXPECT_TRUE(store.Load(path).empty()); // no file

    WriteAll(path, "[mail]\nMAIL=0x2\n1target=t\n2Msg=m\n");
    const auto added = store.Load(path);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0]->Target, "t");
    EXPECT_EQ(added[0]->Msg, "");
    EXPECT_EQ(added[1]->Target, "");
    EXPECT_EQ(added[1]->Msg, "m");

    for (const QByteArray count : {"abc", "0x", "-1", ""}) {
        WriteAll(path, "[Mail]\nMail=" + count + "\n1Target=t\n");
        EXPECT_TRUE(TMailStore().Load(path).empty()) << count.constData();
    }
}

TEST(MailStore, FailedSaveReportsThePath) {
    QTemporaryDir dir;
    TMailStore store;
    store.Append("a", "b", "c");
    const QString path = dir.filePath("missing/kmail.dat");
    QString error;
    EXPECT_FALSE(store.Save(path, &error));
    EXPECT_EQ(error, "Unable to write to " + path);
}
