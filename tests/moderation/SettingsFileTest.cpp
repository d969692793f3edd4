// The settings file edited in place: what is not ours survives, what is not a
// settings file is never written, and the escapes stay those QSettings reads.
#include "SettingsFile.h"
#include "RegLink.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

using kelvra::TRegLink;
using kelvra::TSettingsFile;

namespace {

void WriteAll(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

const QString kAwkward[] = {
    "a, b",
    "x;y",
    "k=v",
    " lead",
    "trail ",
    "say \"hi\"",
    "back\\slash",
    "tab\tnl\n",
    "@at",
    "@@two",
    "",
    "\x01"
    "1f",
    "é ü €",
    "C:\\dir\\f.dat",
    "@Invalid()",
    "\"q\"",
    "a,\"b\"",
};

} // namespace

TEST(SettingsFile, SavesKeepEveryLineThatIsNotOurs) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.conf");
    const QByteArray before = "# written by hand\r\n"
                              "[General]\r\n"
                              "Logfile=/old/klog.dat\r\n"
                              "Unknown=kept ; with its note\r\n"
                              "\r\n"
                              "; the bans\r\n"
                              "[Bans]\r\n"
                              "Bans=0\r\n"
                              "\r\n"
                              "[Somebody Else]\r\n"
                              "key = value\r\n";
    WriteAll(path, before);
    {
        auto reg = TRegLink::AtPath(path);
        QString message;
        ASSERT_EQ(reg->Open(&message), TRegLink::TOpenResult::Ok) << message.toStdString();
        EXPECT_EQ(reg->ReadString("", "Unknown", "d"), "kept");
        EXPECT_EQ(reg->ReadString("somebody else", "KEY", "d"), "value"); // case is ignored
        ASSERT_TRUE(reg->WriteString("", "Logfile", "/new/klog.dat"));
        ASSERT_TRUE(reg->WriteInteger("Bans", "Bans", 1));
        ASSERT_TRUE(reg->WriteString("Bans", "1Nick", "bob"));
        ASSERT_TRUE(reg->WriteString("Main", "Home", "<Any Connection>"));
        ASSERT_TRUE(reg->Flush());
        // A hand edit while the store is in use is kept by the next save.
        QByteArray edited = ReadAll(path);
        edited.replace("key = value", "key = changed");
        WriteAll(path, edited);
        ASSERT_TRUE(reg->WriteString("Bans", "1Comment", "c"));
        ASSERT_TRUE(reg->Flush());
    }
    EXPECT_EQ(ReadAll(path), "# written by hand\r\n"
                             "[General]\r\n"
                             "Logfile=/new/klog.dat\r\n"
                             "Unknown=kept ; with its note\r\n"
                             "\r\n"
                             "; the bans\r\n"
                             "[Bans]\r\n"
                             "Bans=1\r\n"
                             "1Nick=bob\r\n"
                             "1Comment=c\r\n"
                             "\r\n"
                             "[Somebody Else]\r\n"
                             "key = changed\r\n"
                             "\r\n"
                             "[Main]\r\n"
                             "Home=<Any Connection>\r\n");
}

TEST(SettingsFile, ValuesAndNamesReadTheSameAsQSettingsWroteThem) {
    QTemporaryDir dir;
    const QString ours = dir.filePath("ours.conf"), theirs = dir.filePath("theirs.conf");
    {
        QSettings q(theirs, QSettings::IniFormat);
        auto reg = TRegLink::AtPath(ours);
        int i = 0;
        for (const QString& value : kAwkward) {
            const QString name = QStringLiteral("Value %1").arg(++i);
            q.setValue("Group/" + name, value);
            q.setValue(name, value);
            ASSERT_TRUE(reg->WriteString("Group", name, value));
            ASSERT_TRUE(reg->WriteString("", name, value));
        }
        ASSERT_TRUE(reg->Flush());
    }
    // Line for line what QSettings writes (its groups and names come sorted),
    // and each side reads the other's file.
    const auto sortedLines = [](const QString& path) {
        QList<QByteArray> lines = ReadAll(path).split('\n');
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    EXPECT_EQ(sortedLines(ours), sortedLines(theirs));
    auto fromTheirs = TRegLink::AtPath(theirs);
    QSettings q(ours, QSettings::IniFormat);
    int i = 0;
    for (const QString& value : kAwkward) {
        const QString name = QStringLiteral("Value %1").arg(++i);
        EXPECT_EQ(fromTheirs->ReadString("Group", name, "<none>"), value) << i;
        EXPECT_EQ(fromTheirs->ReadString("", name, "<none>"), value) << i;
        EXPECT_EQ(q.value("Group/" + name).toString(), value) << i;
    }
}

TEST(SettingsFile, WhatIsNotASettingsFileIsRefusedAndLeftUntouched) {
    QTemporaryDir dir;
    QByteArray binary(4096, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 7919) & 0xFF);
    const std::pair<QByteArray, const char*> files[] = {
        {"#!/bin/sh\necho hello\n", "line 2 is neither a group header, a value nor a comment"},
        {"PATH=/usr/bin\nHOME=/root\n", "no group header"},
        {"[General]\nLogfile=x\n[Main\n", "line 3 opens a group"},
        {binary, "binary data"},
    };
    for (const auto& [content, why] : files) {
        const QString path = dir.filePath("not-settings");
        WriteAll(path, content);
        auto reg = TRegLink::AtPath(path);
        QString message;
        EXPECT_EQ(reg->Open(&message), TRegLink::TOpenResult::Refused) << why;
        EXPECT_TRUE(message.contains(path)) << message.toStdString();
        EXPECT_TRUE(message.contains(why)) << message.toStdString();
        EXPECT_EQ(reg->ReadString("", "Logfile", "d"), "d");
        EXPECT_FALSE(reg->WriteString("", "Logfile", "/x"));
        EXPECT_FALSE(reg->Flush() && reg->WriteString("Bans", "Bans", "0"));
        reg.reset();
        EXPECT_EQ(ReadAll(path), content) << why;
    }

    // A folder in place of the file is reported when the store is opened.
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.conf"));
    auto reg = TRegLink::AtPath(dir.filePath("folder.conf"));
    QString message;
    EXPECT_EQ(reg->Open(&message), TRegLink::TOpenResult::NotWritable);
    EXPECT_TRUE(message.contains("is a folder")) << message.toStdString();
}

TEST(SettingsFile, ConfigurationDecidesItsSectionsAndTheStoreTheRest) {
    QTemporaryDir dir;
    const QString path = dir.filePath("state.conf");
    WriteAll(path, "[General]\nLogfile=/state/klog.dat\nMailfile=/state/kmail.dat\n"
                   "[Main]\nPassword=old\n[Limits]\nMailTotal=5\n[Bans]\nBans=1\n1Nick=bob\n");
    auto config = std::make_shared<TSettingsFile>();
    ASSERT_TRUE(config->Parse("[Server]\nPassword=secret\n[Files]\nLoginLog=/log/klog.dat\n"
                              "[Limits]\nMailPerTarget=7\n[Bans]\nBans=9\n",
                              nullptr));
    auto reg = TRegLink::AtPath(path);
    reg->SetConfiguration(config);
    EXPECT_EQ(reg->ReadString("Main", "Password", ""), "secret");
    EXPECT_EQ(reg->ReadString("", "Logfile", ""), "/log/klog.dat");
    // Not in the configuration: the default, never the store's value.
    EXPECT_EQ(reg->ReadString("", "Mailfile", "default"), "default");
    EXPECT_EQ(reg->ReadInteger("Limits", "MailTotal", 0), 0);
    EXPECT_EQ(reg->ReadInteger("Limits", "MailPerTarget", 0), 7);
    // Bans are the store's alone.
    EXPECT_EQ(reg->ReadInteger("Bans", "Bans", 0), 1);
    EXPECT_EQ(reg->ReadString("Bans", "1Nick", ""), "bob");
}
