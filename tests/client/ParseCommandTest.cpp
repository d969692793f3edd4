#include "ClientCommand.h"
#include "PacketCodes.h"

#include <gtest/gtest.h>

using namespace kelvra;

namespace {

struct TParseCase {
    const char* Line;
    TCommandKind Kind;
    const char* Target;
    const char* Text;
    bool Flag;
};

TEST(clientParseCommand, EveryCommand) {
    const TParseCase cases[] = {
        TParseCase{"", TCommandKind::Empty, "", "", false},
        TParseCase{"   \t", TCommandKind::Empty, "", "", false},
        TParseCase{"hello  world ", TCommandKind::Text, "", "hello  world ", false},
        TParseCase{"  indented\r\n", TCommandKind::Text, "", "  indented", false},
        TParseCase{"//slash first", TCommandKind::Text, "", "/slash first", false},
        TParseCase{"/create Lobby", TCommandKind::Create, "Lobby", "", false},
        TParseCase{"/CREATE --secure  Big Room ", TCommandKind::Create, "Big Room", "", true},
        TParseCase{"/create -- --secure", TCommandKind::Create, "--secure", "", false},
        TParseCase{"/join Lobby", TCommandKind::Join, "Lobby", "", false},
        TParseCase{"/join --pass \"Big Room\"", TCommandKind::Join, "Big Room", "", true},
        TParseCase{"/part Lobby", TCommandKind::Part, "Lobby", "", false},
        TParseCase{"/part", TCommandKind::Part, "", "", false},
        TParseCase{"/say Lobby hi  there ", TCommandKind::Say, "Lobby", "hi  there ", false},
        TParseCase{"/say \"Big Room\" hi", TCommandKind::Say, "Big Room", "hi", false},
        TParseCase{"/emote Lobby waves", TCommandKind::Emote, "Lobby", "waves", false},
        TParseCase{"/me waves  at all", TCommandKind::Me, "", "waves  at all", false},
        TParseCase{"/msg bob see you", TCommandKind::Msg, "bob", "see you", false},
        TParseCase{"/msg \"\" to the nameless", TCommandKind::Msg, "", "to the nameless", false},
        TParseCase{"/anon bob guess who", TCommandKind::Anon, "bob", "guess who", false},
        TParseCase{"/invite bob", TCommandKind::Invite, "bob", "", false},
        TParseCase{"/invite bob Lobby", TCommandKind::Invite, "bob", "Lobby", false},
        TParseCase{"/mail", TCommandKind::Mail, "", "", false},
        TParseCase{"/servernick", TCommandKind::ServerNick, "", "", false},
        TParseCase{"/users ", TCommandKind::Users, "", "", false},
        TParseCase{"/rooms", TCommandKind::Rooms, "", "", false},
        TParseCase{"/quit", TCommandKind::Quit, "", "", false},
        TParseCase{"/help", TCommandKind::Help, "", "", false},
        TParseCase{"/log", TCommandKind::Log, "", "", false},
        TParseCase{"/log \"my chat.txt\"", TCommandKind::Log, "my chat.txt", "", false},
    };
    for (const TParseCase& t : cases) {
        const TCommand c = ParseCommand(QString::fromUtf8(t.Line));
        ASSERT_TRUE(c.IsValid()) << t.Line << ": " << c.Error.toStdString();
        EXPECT_EQ(c.Kind, t.Kind) << t.Line;
        EXPECT_EQ(c.Target.toStdString(), t.Target) << t.Line;
        EXPECT_EQ(c.Text.toStdString(), t.Text) << t.Line;
        EXPECT_EQ(c.Flag, t.Flag) << t.Line;
    }
}

TEST(clientParseCommandRaw, NumbersNamesAndDefaults) {
    TCommand c = ParseCommand("/raw 116");
    ASSERT_TRUE(c.IsValid()) << c.Error.toStdString();
    EXPECT_EQ(c.Kind, TCommandKind::Raw);
    EXPECT_EQ(c.Raw, MakePacket(KMC_PING));

    c = ParseCommand("/raw kms_servernick");
    ASSERT_TRUE(c.IsValid());
    EXPECT_EQ(c.Raw.Code, KMS_SERVERNICK);

    c = ParseCommand("/raw KMS_CHATDATA \"Big Room\" \"\" TRUE");
    ASSERT_TRUE(c.IsValid()) << c.Error.toStdString();
    EXPECT_EQ(c.Raw, MakePacket(KMS_CHATDATA, "Big Room", "", true));

    c = ParseCommand("/raw -5 a b 0");
    ASSERT_TRUE(c.IsValid());
    EXPECT_EQ(c.Raw, MakePacket(-5, "a", "b", false));

    c = ParseCommand("/raw $74 x");
    ASSERT_TRUE(c.IsValid());
    EXPECT_EQ(c.Raw, MakePacket(116, "x"));
}

TEST(clientParseCommandErrors, EveryBadLineSaysWhy) {
    const char* bad[] = {
        "/",                    // no command name
        "/frobnicate",          // unknown command
        "/create",              // missing room
        "/create --secure",     // missing room after the flag
        "/create --pass Lobby", // /join's flag on /create
        "/join --secure Lobby", // /create's flag on /join
        "/part --pass Lobby",   // no flags for /part
        "/join \"Big Room",     // unterminated quote
        "/join \"Big\" Room",   // text after a quoted name
        "/say Lobby",           // missing text
        "/say",                 // missing room
        "/emote Lobby   ",      // blanks are no text
        "/me",                  // missing text
        "/msg bob",             // missing text
        "/anon",                // missing nickname
        "/invite",              // missing nickname
        "/mail now",            // no arguments allowed
        "/quit please",         // no arguments allowed
        "/raw",                 // missing code
        "/raw KMS_NOTHING",     // unknown name
        "/raw 5 a b maybe",     // bad switch
        "/raw 5 a b 1 extra",   // too many
        "/raw 5 \"a",           // unterminated quote
        "/say \"Lobby\"x hi",   // quote glued to text
    };
    for (const char* line : bad) {
        const TCommand c = ParseCommand(QString::fromUtf8(line));
        EXPECT_EQ(c.Kind, TCommandKind::Invalid) << line;
        EXPECT_FALSE(c.Error.isEmpty()) << line;
    }
    EXPECT_TRUE(ParseCommand("/frobnicate").Error.contains("/help"));
}

TEST(clientParseCommandHelp, NamesEveryCommand) {
    const QString help = CommandHelpText();
    for (const char* name :
         {"/create", "/join", "/part", "/say", "/me", "/emote", "/msg", "/anon", "/invite", "/mail",
          "/servernick", "/users", "/rooms", "/raw", "/log", "/quit", "/help", "\"<NICK> TEXT\""})
        EXPECT_TRUE(help.contains(QLatin1String(name))) << name;
}

TEST(clientCompletion, CommandsRoomsAndNicknamesWhereEachBelongs) {
    const QStringList nicks{"bob", "Bea", "carol", ""};
    const QStringList rooms{"Lobby", "Big Room", "lounge"};
    const auto complete = [&](const QString& line) {
        const qsizetype start = line.lastIndexOf(QLatin1Char(' ')) + 1;
        return CompletionCandidates(line, start, nicks, rooms);
    };
    EXPECT_EQ(complete("/j"), QStringList{"/join"});
    EXPECT_TRUE(complete("/").contains("/quit"));
    EXPECT_EQ(complete("/JO"), QStringList{"/join"});
    EXPECT_EQ(complete("/join l"), (QStringList{"Lobby", "lounge"}));
    EXPECT_EQ(complete("/join --pass B"), QStringList{"\"Big Room\""});
    EXPECT_EQ(complete("/join \"Bi"), QStringList{"\"Big Room\""});
    EXPECT_EQ(complete("/join --p"), QStringList{"--pass"});
    EXPECT_EQ(complete("/create --s"), QStringList{"--secure"});
    EXPECT_EQ(complete("/say Lobby b"), (QStringList{"Bea", "bob"}));
    EXPECT_EQ(complete("/msg b"), (QStringList{"Bea", "bob"}));
    EXPECT_EQ(complete("hello c"), QStringList{"carol"});
    // At the start of a line a nickname addresses its owner.
    EXPECT_EQ(complete("b"), (QStringList{"Bea:", "bob:"}));
    EXPECT_EQ(complete("  car"), QStringList{"carol:"});
    // A new room name, a file or a record: nothing to guess from.
    EXPECT_TRUE(complete("/create L").isEmpty());
    EXPECT_TRUE(complete("/log b").isEmpty());
    EXPECT_TRUE(complete("/msg x").isEmpty());
}

} // namespace
