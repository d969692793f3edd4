#include "IniFile.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using kelvra::TIniFile;
using kelvra::test::ReadAll;
using kelvra::test::WriteAll;

TEST(IniFile, LookupIgnoresCaseAndTakesFirstMatch) {
    TIniFile ini;
    // Mixed line endings, a preamble key that belongs to no section, a
    // duplicate key and a duplicate section.
    ini.Parse("Stray=1\n[Mail]\r\n Mail = 2 \r\n1Target=bob\nmail=9\n; note\n"
              "[Other]\nKey=x\n[MAIL]\n1Sender=late\nMail=7\n");
    EXPECT_EQ(ini.ReadString("mail", "MAIL"), "2");
    EXPECT_EQ(ini.ReadString("Mail", "1target"), "bob");
    EXPECT_EQ(ini.ReadString("other", "key"), "x");
    EXPECT_FALSE(ini.HasKey("Mail", "1Sender")); // only the first section counts
    EXPECT_FALSE(ini.HasKey("", "Stray"));
    EXPECT_FALSE(ini.HasKey("Mail", "; note"));
    EXPECT_EQ(ini.ReadString("Mail", "missing", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Nowhere", "Mail", "dflt"), "dflt");
}

TEST(IniFile, WritesReplaceInPlaceAppendAndCreateSections) {
    TIniFile ini;
    ini.Parse("; kept\n[Mail]\nMail=2\n1Target=bob\n\n[Other]\nX = y\n");
    ini.WriteString("MAIL", "mail", "3");      // replaced in place, stored key spelling kept
    ini.WriteString("Mail", "2Target", "eve"); // appended before the blank separator
    ini.WriteString("New", "K", "v");          // new section at the end
    EXPECT_EQ(ini.Serialize(), QByteArray("; kept\r\n[Mail]\r\nMail=3\r\n1Target=bob\r\n"
                                          "2Target=eve\r\n\r\n[Other]\r\nX=y\r\n[New]\r\nK=v\r\n"));
    EXPECT_EQ(ini.ReadString("mail", "2TARGET"), "eve");
    ini.WriteString("mail", "2target", "ann"); // an appended key is found again
    EXPECT_EQ(ini.ReadString("Mail", "2Target"), "ann");
}

TEST(IniFile, ValuesRoundTripExactly) {
    QByteArray allBytes;
    for (int c = 0; c < 256; ++c)
        allBytes += static_cast<char>(c);
    const QByteArray values[] = {
        "",
        "plain text",
        "  leading and trailing  ",
        "line one\r\nline two\nthree\r",
        "\"starts with a quote",
        "ends with a quote\"",
        "back\\slash\\",
        "\\n is not a line break",
        "\"quoted\"",
        "tab\tinside",
        "semi;colon = equals [brackets]",
        QByteArray(5000, 'x') + "\n" + QByteArray(5000, '\xE9'),
        allBytes,
    };
    TIniFile ini;
    int i = 0;
    for (const QByteArray& v : values)
        ini.WriteString("S", QByteArray::number(++i), v);
    TIniFile reread;
    reread.Parse(ini.Serialize());
    i = 0;
    for (const QByteArray& v : values)
        EXPECT_EQ(reread.ReadString("S", QByteArray::number(++i)), v) << "value " << i;
    // Every value stays on one line of the file.
    EXPECT_EQ(ini.Serialize().count('\n'), 1 + i);
}

TEST(IniFile, ReadsHandWrittenValues) {
    TIniFile ini;
    ini.Parse("[S]\na=  spaced  \nb=\"quoted\"\nc=\"unterminated\nd=\"C:\\dir\\\"\n"
              "e=\"a\"b\"\nf=\"\\q\\x4\"\n");
    EXPECT_EQ(ini.ReadString("S", "a"), "spaced");
    EXPECT_EQ(ini.ReadString("S", "b"), "quoted");
    EXPECT_EQ(ini.ReadString("S", "c"), "\"unterminated");
    EXPECT_EQ(ini.ReadString("S", "d"), "C:\\dir\\");
    EXPECT_EQ(ini.ReadString("S", "e"), "\"a\"b\"");
    EXPECT_EQ(ini.ReadString("S", "f"), "\\q\\x4");
}

TEST(IniFile, SaveAndLoadThroughAFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("mail.ini");
    TIniFile missing;
    EXPECT_TRUE(missing.Load(path)); // a missing file is an empty one
    EXPECT_TRUE(missing.Serialize().isEmpty());

    TIniFile ini;
    ini.WriteString("Mail", "1Msg", " two\r\nlines ");
    ASSERT_TRUE(ini.Save(path));
    TIniFile loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.ReadString("Mail", "1Msg"), " two\r\nlines ");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"mail.ini"}); // no temp left
}

TEST(IniFile, FailedSaveLeavesTheOldFile) {
    QTemporaryDir dir;
    TIniFile ini;
    ini.WriteString("S", "K", "v");
    QString error;
    EXPECT_FALSE(ini.Save(dir.filePath("no/such/folder/f.ini"), &error));
    EXPECT_FALSE(error.isEmpty());
    WriteAll(dir.filePath("plain"), "file");
    EXPECT_FALSE(ini.Save(dir.filePath("plain/f.ini")));

    // A write that fails part way (here: a file size limit, which binds root
    // too) must not touch the file being replaced.
    const QString path = dir.filePath("old.ini");
    WriteAll(path, "[S]\r\nK=old\r\n");
    TIniFile big;
    big.WriteString("S", "K", QByteArray(64 * 1024, 'n'));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool saved64k = big.Save(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved64k);
    EXPECT_EQ(ReadAll(path), "[S]\r\nK=old\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2); // plain, old.ini
}
