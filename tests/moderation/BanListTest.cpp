#include "BanList.h"
#include "RegLink.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using kelvra::TBan;
using kelvra::TBanList;
using kelvra::TRegLink;

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

TBan* NickBan(TBanList& list, const QByteArray& nick, bool inString) {
    TBan* ban = list.NewBan();
    ban->Nick = nick;
    ban->Nick_On = true;
    ban->InString = inString;
    return ban;
}

} // namespace

TEST(BanList, AddressMasksAndListOrder) {
    TBanList list;
    EXPECT_EQ(list.FindBan("bob", Ip(1, 2, 3, 4)), nullptr);

    TBan* net = list.NewBan(); // 10.1.*.*, any nickname
    net->IP1 = 10;
    net->IP2 = 1;
    net->IP1_On = net->IP2_On = true;
    TBan* later = list.NewBan(); // everything off: matches all
    EXPECT_EQ(TBanList::DisplayIP(*net), "10.1.*.*");
    EXPECT_EQ(TBanList::DisplayNick(*net), "*");

    EXPECT_EQ(list.FindBan("anyone", Ip(10, 1, 200, 7)), net); // first match wins
    EXPECT_EQ(list.FindBan("", Ip(10, 2, 1, 0)), later);
    EXPECT_EQ(list.FindBan("x", Ip(1, 10, 0, 0)), later); // octet 1 is the high byte

    TBan* host = list.NewBan();
    host->IP4 = 4;
    host->IP4_On = true;
    EXPECT_TRUE(list.Remove(later));
    EXPECT_FALSE(list.Remove(later));
    EXPECT_EQ(list.FindBan("x", Ip(9, 9, 9, 4)), host);
    EXPECT_EQ(list.FindBan("x", Ip(9, 9, 9, 5)), nullptr);
    EXPECT_EQ(TBanList::DisplayIP(*host), "*.*.*.4");
}

TEST(BanList, NicknameTests) {
    TBanList list;
    const TBan& sub = *NickBan(list, "bob", true);
    EXPECT_TRUE(TBanList::NickMatches(sub, "Bobby"));
    EXPECT_TRUE(TBanList::NickMatches(sub, "XBOBX"));
    EXPECT_FALSE(TBanList::NickMatches(sub, "bo"));
    EXPECT_FALSE(TBanList::NickMatches(sub, ""));
    EXPECT_FALSE(TBanList::NickMatches(*NickBan(list, "", true), "anyone"));
    EXPECT_FALSE(TBanList::NickMatches(*NickBan(list, " bob", true), "bob")); // no trimming

    const TBan& whole = *NickBan(list, " Bob ", false);
    EXPECT_TRUE(TBanList::NickMatches(whole, "bob"));
    EXPECT_TRUE(TBanList::NickMatches(whole, "\tBOB "));
    EXPECT_FALSE(TBanList::NickMatches(whole, "bobby"));
    EXPECT_EQ(TBanList::DisplayNick(whole), "bob");
    EXPECT_EQ(TBanList::DisplayNick(sub), "*bob*");
    EXPECT_EQ(TBanList::DisplayNick(*NickBan(list, " Ann", true)), "* ann*");

    const TBan& star = *NickBan(list, "*", false); // not a wildcard
    EXPECT_TRUE(TBanList::NickMatches(star, "*"));
    EXPECT_FALSE(TBanList::NickMatches(star, "bob"));
    EXPECT_TRUE(TBanList::NickMatches(*NickBan(list, "", false), " "));

    const TBan& accented = *NickBan(list, "\xC9lise", false); // only ASCII folds
    EXPECT_TRUE(TBanList::NickMatches(accented, "\xC9LISE"));
    EXPECT_FALSE(TBanList::NickMatches(accented, "\xE9lise"));
}

TEST(BanList, SaveAndLoadKeepFieldsAndLeaveLeftovers) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.conf");
    TBanList five;
    for (int i = 0; i < 5; ++i)
        NickBan(five, "n" + QByteArray::number(i), i % 2 == 0);
    TBan* first = five.Bans()[0].get();
    first->Nick = "Caf\xE9, \"x\"";
    first->IP1 = 192;
    first->IP3 = 255;
    first->IP1_On = first->IP3_On = true;
    first->Hits = 12;
    first->Comment = "spam bot";
    {
        auto reg = TRegLink::AtPath(path);
        ASSERT_TRUE(five.Save(*reg));
        five.Remove(five.Bans()[4].get());
        five.Remove(five.Bans()[3].get());
        ASSERT_TRUE(five.Save(*reg));
        ASSERT_TRUE(reg->Flush());
    }
    auto reg = TRegLink::AtPath(path);
    EXPECT_EQ(reg->ReadString("Bans", "4Nick", ""), "n3"); // leftovers stay
    EXPECT_EQ(reg->ReadString("Bans", "1IP2_On", ""), "0");

    TBanList loaded;
    loaded.NewBan(); // loading appends
    const std::vector<TBan*> added = loaded.Load(*reg);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(loaded.Count(), 4);
    const TBan& b = *added[0];
    EXPECT_EQ(b.Nick, first->Nick);
    EXPECT_EQ(b.Comment, "spam bot");
    EXPECT_EQ(b.Hits, 0);
    EXPECT_TRUE(b.Nick_On && b.InString && b.IP1_On && b.IP3_On);
    EXPECT_FALSE(b.IP2_On || b.IP4_On);
    EXPECT_EQ(TBanList::DisplayIP(b), "192.*.255.*");
    EXPECT_EQ(added[1]->Nick, "n1");
    EXPECT_FALSE(added[1]->InString);
}

TEST(BanList, LoadDefaultsForMissingAndBadValues) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.conf");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Bans]\nBans=2\n1Nick_On=0\n1IP1=300\n1IP2=-1\n1IP3=x\n2Nick=\n");
    f.close();
    auto reg = TRegLink::AtPath(path);
    TBanList list;
    const auto added = list.Load(*reg);
    ASSERT_EQ(added.size(), 2u);
    const TBan& b = *added[0];
    EXPECT_EQ(b.Nick, "*");
    EXPECT_FALSE(b.Nick_On);
    EXPECT_TRUE(b.InString && b.IP1_On && b.IP2_On && b.IP3_On && b.IP4_On);
    EXPECT_EQ(b.IP1, 44); // low 8 bits
    EXPECT_EQ(b.IP2, 255);
    EXPECT_EQ(b.IP3, 0);
    EXPECT_EQ(added[1]->Nick, ""); // empty is not missing
    EXPECT_TRUE(added[1]->Nick_On);
}

TEST(BanList, SaveStopsAtTheFirstFailedWrite) {
    QTemporaryDir dir;
    QFile f(dir.filePath("plain"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    auto reg = TRegLink::AtPath(dir.filePath("plain/s.conf"));
    TBanList list;
    list.NewBan();
    QString error;
    EXPECT_FALSE(list.Save(*reg, &error));
    EXPECT_EQ(error, "Failed to set data for '1Nick'");
}
