// Text helpers and the registry's lookups with their first-match rules.
#include "Registry.h"
#include "SocketErrors.h"
#include "TextUtil.h"

#include <gtest/gtest.h>

using namespace kelvra;

namespace {

TEST(TextUtilTest, TrimAndCase) {
    EXPECT_EQ(TrimText("  \t bob \r\n"), "bob");
    EXPECT_EQ(TrimText(QByteArray("\x01\x1f x \x20", 6)), "x");
    EXPECT_EQ(TrimText("   "), "");
    EXPECT_TRUE(SameTextAscii("Lobby", "LOBBY"));
    EXPECT_FALSE(SameTextAscii("\xc9t\xe9", "\xe9t\xe9")); // accented letters compare by code
    EXPECT_FALSE(SameTextAscii("bob", "bob "));
    EXPECT_EQ(AsciiLower("A\xc4Z"), "a\xc4z");
}

TEST(TextUtilTest, StrToInt) {
    EXPECT_EQ(StrToInt(QByteArray("42")), 42);
    EXPECT_EQ(StrToInt(QByteArray("  -7")), -7);
    EXPECT_EQ(StrToInt(QByteArray("+3")), 3);
    EXPECT_EQ(StrToInt(QByteArray("$1F")), 31);
    EXPECT_EQ(StrToInt(QByteArray("$FFFFFFFF")), -1);
    EXPECT_EQ(StrToInt(QByteArray("2147483647")), INT32_MAX);
    EXPECT_EQ(StrToInt(QByteArray("-2147483648")), INT32_MIN);
    for (const char* bad :
         {"", " ", "12x", "2147483648", "$", "$1G", "-$1", "1 ", "0x10", "--1", "$100000000"})
        EXPECT_FALSE(StrToInt(QByteArray(bad)).has_value()) << bad;
}

TEST(TextUtilTest, ProtocolTextIsCodePage1252) {
    EXPECT_EQ(FromBytes("\x80 \x93q\x94 \xe9"), QString::fromUtf8("\u20ac \u201cq\u201d \u00e9"));
    EXPECT_EQ(ToBytes(QString::fromUtf8("h\u00e9llo w\u00f6rld \u2122")), "h\xe9llo w\xf6rld \x99");
    // What the code page cannot hold shows as one "?" per character.
    EXPECT_EQ(ToBytes(QString::fromUtf8("a\u65e5\U0001F600b")), "a??b");
    QByteArray every;
    for (int b = 0; b < 256; ++b)
        every.append(static_cast<char>(b));
    EXPECT_EQ(ToBytes(FromBytes(every)), every);
}

// Reads an escaped log text back: the escapes must leave exactly one reading.
QByteArray Unescape(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\' || !QByteArray("\\rntx").contains(next)) {
            out += text[i];
            continue;
        }
        ++i;
        if (next == 'x') {
            out += static_cast<char>(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
        }
    }
    return out;
}

TEST(TextUtilTest, LogTextsKeepOneLineAndOneReading) {
    EXPECT_EQ(EscapeControls("eve\r\nNickname : admin"), "eve\\r\\nNickname : admin");
    EXPECT_EQ(EscapeControls(QByteArray("a\0b\x1b[2J\x7f\t", 9)), "a\\x00b\\x1B[2J\\x7F\\t");
    EXPECT_EQ(EscapeControls("C:\\dir\\file \xe9\x80"), "C:\\dir\\file \xe9\x80"); // as typed
    EXPECT_EQ(EscapeControls("\\n \\x41 \\\\"), "\\\\n \\\\x41 \\\\\\");
    EXPECT_EQ(LogText(QByteArray(100, 'n') + "\n"), QString(64, 'n') + "...");
    // Every pair of the bytes that matter reads back as itself.
    const QByteArray parts("\\\r\n\tx0rA\x01\x7f\xe9", 11);
    for (char a : parts)
        for (char b : parts)
            for (char c : parts) {
                const QByteArray text = QByteArray(1, a) + b + c;
                const QByteArray escaped = EscapeControls(text);
                EXPECT_FALSE(escaped.contains('\r') || escaped.contains('\n'));
                EXPECT_EQ(Unescape(escaped), text) << escaped.toStdString();
            }
}

TEST(SocketErrorsTest, TextsAndErrnoMapping) {
    EXPECT_EQ(SocketErrorText(10055), "No buffer space available");
    EXPECT_EQ(SocketErrorText(10000), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
    EXPECT_EQ(SocketErrorFromErrno(EMFILE), 10024);
    EXPECT_EQ(SocketErrorFromErrno(ENOBUFS), 10055);
    EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SocketErrorFromErrno(0), 0);
}

TEST(RegistryTest, NicknameLookupsFollowListOrderAndDoNotTrim) {
    TRegistry reg;
    TConnection* a = reg.NewUser(10);
    TConnection* b = reg.NewUser(11);
    TConnection* c = reg.NewUser(12);
    reg.SetNickname(b, "Bob");
    EXPECT_EQ(reg.FindUserByNickname("BOB"), b);
    EXPECT_EQ(reg.FindUserByNickname(" bob"), nullptr);
    EXPECT_EQ(reg.FindUserByNickname(""), a); // the first record without a nickname
    reg.SetNickname(a, "Al");
    EXPECT_EQ(reg.FindUserByNickname(""), c);
    reg.SetNickname(a, "Alf"); // renaming frees the old name
    EXPECT_EQ(reg.FindUserByNickname("al"), nullptr);
    EXPECT_EQ(reg.FindUserByNickname("ALF"), a);
    reg.RemoveUser(a);
    EXPECT_EQ(reg.FindUserByNickname("alf"), nullptr);
    EXPECT_EQ(reg.FindUserBySocket(10), nullptr);
    EXPECT_EQ(reg.FindUserBySocket(12), c);
    EXPECT_EQ(reg.UserCount(), 2);
}

TEST(RegistryTest, ChatsByNameAndMembership) {
    TRegistry reg;
    TConnection* u = reg.NewUser(1);
    TConnection* v = reg.NewUser(2);
    TChat* first = reg.NewChat("Lobby", false);
    TChat* second = reg.NewChat("lobby", true);
    EXPECT_EQ(reg.FindChatByName("LOBBY"), first);
    reg.AddEntry(first, v);
    reg.AddEntry(first, u);
    reg.AddEntry(first, v);
    EXPECT_EQ(first->MemberCount(), 3);
    // Members by accept order, entries by join order.
    ASSERT_EQ(first->MembersByOrder.size(), 2u);
    EXPECT_EQ(first->MembersByOrder.front(), u);
    EXPECT_EQ(first->Users.front(), v);
    EXPECT_TRUE(reg.RemoveFirstEntry(first, v));
    EXPECT_EQ(first->Users.front(), u);
    EXPECT_TRUE(TRegistry::IsMember(first, v));
    reg.RemoveChat(first);
    EXPECT_EQ(reg.FindChatByName("Lobby"), second);
    EXPECT_TRUE(v->Chats.empty());
    reg.AddEntry(second, u);
    reg.AddEntry(second, v);
    reg.AddEntry(second, u);
    reg.AddEntry(second, v);
    EXPECT_EQ(reg.RemoveAllEntries(second, v), 2);
    EXPECT_EQ(v->ChatEntries, 0);
    EXPECT_EQ(u->ChatEntries, 2);
    EXPECT_FALSE(TRegistry::IsMember(second, v));
    reg.RemoveUser(u); // leaves no entry behind
    EXPECT_EQ(second->MemberCount(), 0);
}

TEST(RegistryTest, MemberNamesFollowJoinsLeavesAndRenamesAnywhereInTheList) {
    TRegistry reg;
    std::vector<TConnection*> users;
    for (int i = 0; i < 5; ++i) {
        users.push_back(reg.NewUser(static_cast<SocketHandle>(i + 1)));
        reg.SetNickname(users.back(), "u" + QByteArray::number(i));
    }
    TChat* chat = reg.NewChat("Lobby", false);
    const auto names = [&] { return reg.MemberNames(chat); };
    reg.AddEntry(chat, users[1]);
    reg.AddEntry(chat, users[3]);
    EXPECT_EQ(names(), "u1, u3");
    reg.AddEntry(chat, users[0]); // an earlier connection goes in front
    reg.AddEntry(chat, users[2]);
    EXPECT_EQ(names(), "u0, u1, u2, u3");
    reg.SetNickname(users[1], "renamed");
    EXPECT_EQ(names(), "u0, renamed, u2, u3");
    reg.RemoveAllEntries(chat, users[2]);
    reg.AddEntry(chat, users[4]);
    EXPECT_EQ(names(), "u0, renamed, u3, u4");
    reg.RemoveAllEntries(chat, users[0]);
    EXPECT_EQ(names(), "renamed, u3, u4");
}

} // namespace
