#include "RegLink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using kelvra::TRegLink;

namespace {

void WriteAll(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

} // namespace

TEST(RegLink, ConvertsIntegerText) {
    const struct {
        const char* text;
        int32_t expected;
    } rows[] = {
        {"42", 42},         {"-5", -5},   {"  7", 7},          {"+3", 3},
        {"0x1F", 31},       {"0X1f", 31}, {"0xFFFFFFFF", -1},  {"0x", 99},
        {"0xZZ", 99},       {"0x 1", 99}, {"0x100000000", 99}, {"12abc", 99},
        {"", 99},           {"7 ", 99},   {"$1F", 99},         {"2147483647", 2147483647},
        {"2147483648", 99},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TRegLink::ConvertInteger(QString::fromLatin1(row.text), 99), row.expected)
            << row.text;
}

TEST(RegLink, ReadsStoredTextWithDefaults) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.conf");
    WriteAll(path, "[General]\nLogfile=/var/log/k.dat\nEmpty=\n"
                   "[Main]\nHex=0x1F\nBad=12abc\nTwo=2\nYes=yes\nZero=0\nList=a,b,c\n");
    auto reg = TRegLink::AtPath(path);
    EXPECT_EQ(reg->ReadString("", "Logfile", "d"), "/var/log/k.dat");
    EXPECT_EQ(reg->ReadString("", "Empty", "d"), "");
    EXPECT_EQ(reg->ReadString("", "Missing", "d"), "d");
    EXPECT_EQ(reg->ReadString("Main", "Logfile", "d"), "d"); // sections are separate
    EXPECT_EQ(reg->ReadString("Main", "List", "d"), "a,b,c");
    EXPECT_EQ(reg->ReadInteger("Main", "Hex", 5), 31);
    EXPECT_EQ(reg->ReadInteger("Main", "Bad", 5), 5);
    EXPECT_EQ(reg->ReadInteger("Nowhere", "Hex", 5), 5);
    EXPECT_TRUE(reg->ReadBool("Main", "Two", false));
    EXPECT_TRUE(reg->ReadBool("Main", "Yes", true));
    EXPECT_FALSE(reg->ReadBool("Main", "Yes", false));
    EXPECT_FALSE(reg->ReadBool("Main", "Zero", true));
    EXPECT_TRUE(reg->ReadBool("Main", "Missing", true));
}

TEST(RegLink, WritesTextAndKeepsTheFileOwnerOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath("cfg/s.conf");
    {
        auto reg = TRegLink::AtPath(path);
        ASSERT_TRUE(reg->WriteString("", "Mailfile", "/tmp/a, b.dat"));
        ASSERT_TRUE(reg->WriteString("Main", "Password", "s3cret"));
        ASSERT_TRUE(reg->WriteInteger("Ports", "Num", -5));
        ASSERT_TRUE(reg->WriteBool("Ports", "On", true));
        ASSERT_TRUE(reg->Flush()) << reg->LastError().toStdString();
    }
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto reg = TRegLink::AtPath(path);
    EXPECT_EQ(reg->ReadString("", "Mailfile", ""), "/tmp/a, b.dat");
    EXPECT_EQ(reg->ReadString("Main", "Password", ""), "s3cret");
    EXPECT_EQ(reg->ReadString("Ports", "Num", ""), "-5");
    EXPECT_EQ(reg->ReadInteger("Ports", "Num", 0), -5);
    EXPECT_EQ(reg->ReadString("Ports", "On", ""), "1");
}

TEST(RegLink, ReportsStoresThatCannotBeWritten) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("plain"), "file");
    // A folder that is a regular file fails for root as well.
    auto blocked = TRegLink::AtPath(dir.filePath("plain/s.conf"));
    EXPECT_FALSE(blocked->WriteString("", "Logfile", "x"));
    EXPECT_EQ(blocked->LastError(), "Failed to set data for 'Logfile'");

    // The folder disappears between the writes and the flush.
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    auto reg = TRegLink::AtPath(dir.filePath("sub/s.conf"));
    ASSERT_TRUE(reg->WriteString("Bans", "1Nick", "bob"));
    ASSERT_TRUE(reg->WriteInteger("Bans", "Bans", 1));
    ASSERT_TRUE(QDir(dir.filePath("sub")).removeRecursively());
    WriteAll(dir.filePath("sub"), "file");
    EXPECT_FALSE(reg->Flush());
    EXPECT_EQ(reg->LastError(), "Failed to set data for '1Nick'");

    // The failure ended that sequence only: once the folder is back, writes work.
    ASSERT_TRUE(QFile::remove(dir.filePath("sub")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    ASSERT_TRUE(reg->WriteInteger("Bans", "Bans", 0));
    EXPECT_TRUE(reg->Flush()) << reg->LastError().toStdString();
    EXPECT_EQ(TRegLink::AtPath(dir.filePath("sub/s.conf"))->ReadInteger("Bans", "Bans", 7), 0);
}

TEST(RegLink, PerUserStoreLivesUnderTheCompanyFolder) {
    TRegLink reg;
    EXPECT_TRUE(reg.FilePath().endsWith("/Dravenholt/Kelvra Chat Server.conf"))
        << reg.FilePath().toStdString();
}
