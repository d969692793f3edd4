// kelvra-admin: the operator's commands for a running kelvra-serverd, sent
// over its local control socket.
#include "AdminCommands.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <cstdio>

using namespace kelvra::admin;

namespace {

const char* const kFooter =
    R"(The socket is --socket PATH, else $RUNTIME_DIRECTORY/control, else
$XDG_RUNTIME_DIR/kelvra/control, else /run/kelvra/control (the service's),
the same rule by which kelvra-serverd chose it. The socket is its owner's
only: run as the server's user, or as root for the service.

A user is named by NICK (ASCII case ignored, as in the console) or by --id
from `users`; it is looked up when the command runs, and one that has gone
is an error. Texts go out with CR LF between their lines, as from the
console's dialogs; several words are joined by blanks.

Exit status: 0 done, 1 refused or not found (the reason on stderr, also when
the server cannot be reached), 2 wrong usage.)";

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i ? " " : "") + words[i];
    return out;
}

QString Q(const std::string& s) {
    return QString::fromLocal8Bit(s.c_str(), qsizetype(s.size()));
}

// A user named by NICK or by --id.
struct TUserArg {
    std::string Nick;
    uint64_t Id = 0;
    CLI::Option* NickOption = nullptr;
    CLI::Option* IdOption = nullptr;

    void AddTo(CLI::App* command, bool positionalNick = true) {
        if (positionalNick)
            NickOption = command->add_option("NICK", Nick, "the user's nickname");
        IdOption = command->add_option("--id", Id, "the user's id (from `users`) instead of NICK")
                       ->check(CLI::PositiveNumber);
    }
    bool Given() const { return IdOption->count() > 0 || (NickOption && NickOption->count() > 0); }
    QJsonObject Json() const {
        if (IdOption->count() > 0)
            return {{QStringLiteral("id"), double(Id)}};
        return {{QStringLiteral("nick"), Q(Nick)}};
    }
};

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"The operator's commands for a running kelvra-serverd.", "kelvra-admin"};
    cli.require_subcommand(1);
    cli.fallthrough(); // global options may follow the command
    TGlobalOptions global;
    cli.add_option("--socket", global.Socket, "control socket of the server (default: see below)");
    cli.add_flag("--json", global.Json, "print the answer as JSON, for scripts");
    cli.add_option("--timeout", global.Timeout, "seconds to wait for the server's answer")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cli.set_version_flag("--version", "kelvra-admin " KELVRA_VERSION);

    TRequest request;
    // Created first, in the order --help lists them.
    auto* users = cli.add_subcommand("users", "list every connection and its user");
    auto* chats = cli.add_subcommand("chats", "list the chats");
    auto* bans = cli.add_subcommand("bans", "list the bans");
    auto* mail = cli.add_subcommand("mail", "list the stored mail, or add, change or delete some");
    auto* stats =
        cli.add_subcommand("stats", "connections, users, chats, mail, deliveries, memory");
    auto* kick =
        cli.add_subcommand("kick", "send the user a kick (it stays connected until it quits)");
    auto* kickBan =
        cli.add_subcommand("kick-ban", "kick the user and ban its nickname and address");
    auto* ban = cli.add_subcommand("ban", "add, change or remove a ban");
    auto* broadcast = cli.add_subcommand("broadcast", "send a message to every connection");
    auto* send = cli.add_subcommand("send", "send the user a message from the server's nickname");
    auto* ping = cli.add_subcommand("ping", "ping the user and show the round trip");
    auto* remove = cli.add_subcommand(
        "remove", "forget the user without telling anybody; its socket is no longer read");
    auto* killChat = cli.add_subcommand("kill-chat", "ask every member of the chat to leave it");
    auto* reload = cli.add_subcommand("reload", "re-read the server's configuration");
    cli.footer(kFooter);

    TUserArg kickUser, kickBanUser, pingUser, removeUser, sendUser;
    kickUser.AddTo(kick);
    kickBanUser.AddTo(kickBan);
    std::string kickBanComment;
    auto* kickBanCommentOption =
        kickBan->add_option("--comment", kickBanComment, "the ban's comment");

    pingUser.AddTo(ping);
    double pingWait = 5;
    ping->add_option("--wait", pingWait, "seconds to wait for the answer; 0: do not wait")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    removeUser.AddTo(remove);

    sendUser.AddTo(send, false);
    std::vector<std::string> sendWords;
    send->add_option("NICK TEXT", sendWords, "the nickname (unless --id), then the message")
        ->required();

    bool anonymous = false;
    broadcast->add_flag("--anonymous", anonymous, "flag the message as anonymous");
    std::vector<std::string> broadcastWords;
    broadcast->add_option("TEXT", broadcastWords, "the message")->required();

    std::string chatName;
    uint64_t chatId = 0;
    auto* chatNameOption = killChat->add_option("NAME", chatName, "the chat's name");
    auto* chatIdOption = killChat->add_option("--id", chatId, "the chat's id instead of NAME")
                             ->check(CLI::PositiveNumber);

    // Bans.
    ban->require_subcommand(1);
    std::string banNick, banIp, banComment;
    bool banWithin = false, banWhole = false, banNoNick = false;
    uint64_t banId = 0;
    auto* banAdd = ban->add_subcommand("add", "add a ban (saved like the console's)");
    auto* banEdit = ban->add_subcommand("edit", "change a ban; what is not given stays");
    auto* banRemove = ban->add_subcommand("remove", "remove a ban");
    CLI::Option *addNick, *addIp, *addComment, *editNick, *editNoNick, *editWithin, *editWhole,
        *editIp, *editComment;
    addNick = banAdd->add_option("--nick", banNick, "nickname mask (default: any nickname)");
    banAdd->add_flag("--within", banWithin, "the mask matches within a nickname, not the whole");
    addIp = banAdd->add_option("--ip", banIp, "address mask such as 192.168.*.* (default: any)");
    addComment = banAdd->add_option("--comment", banComment, "free text for the operator");
    banEdit->add_option("ID", banId, "the ban's id (from `bans`)")
        ->required()
        ->check(CLI::PositiveNumber);
    editNick = banEdit->add_option("--nick", banNick, "new nickname mask");
    editNoNick =
        banEdit->add_flag("--no-nick", banNoNick, "match any nickname")->excludes(editNick);
    editWithin = banEdit->add_flag("--within", banWithin, "match within a nickname");
    editWhole =
        banEdit->add_flag("--whole", banWhole, "match the whole nickname")->excludes(editWithin);
    editIp = banEdit->add_option("--ip", banIp, "new address mask, * for an octet that is off");
    editComment = banEdit->add_option("--comment", banComment, "new comment");
    banRemove->add_option("ID", banId, "the ban's id (from `bans`)")
        ->required()
        ->check(CLI::PositiveNumber);

    // Mail: `mail` alone lists it.
    mail->require_subcommand(0, 1);
    std::string mailTo, mailFrom, mailText;
    std::vector<std::string> mailWords;
    uint64_t mailId = 0;
    auto* mailAdd = mail->add_subcommand("add", "deliver a message now, or store it as mail");
    mailAdd->add_option("--to", mailTo, "the recipient's nickname")->required();
    auto* addFrom = mailAdd->add_option("--from", mailFrom,
                                        "the sender shown (default: the server's nickname)");
    mailAdd->add_option("TEXT", mailWords, "the message")->required();
    auto* mailEdit = mail->add_subcommand(
        "edit",
        "change a stored mail; it is delivered if the target is connected, else stored anew");
    mailEdit->add_option("ID", mailId, "the mail's id (from `mail`)")
        ->required()
        ->check(CLI::PositiveNumber);
    auto* editTo = mailEdit->add_option("--to", mailTo, "new recipient");
    auto* editFrom = mailEdit->add_option("--from", mailFrom, "new sender");
    auto* editText = mailEdit->add_option("--text", mailText, "new message");
    auto* mailDelete = mail->add_subcommand("delete", "delete a stored mail");
    mailDelete->add_option("ID", mailId, "the mail's id (from `mail`)")
        ->required()
        ->check(CLI::PositiveNumber);

    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) // --help, --version
            return cli.exit(e);
        std::fprintf(stderr, "kelvra-admin: %s (see --help)\n", e.what());
        return ExitUsage;
    }
    auto usage = [](const char* text) {
        std::fprintf(stderr, "kelvra-admin: %s (see --help)\n", text);
        return ExitUsage;
    };
    auto userRequest = [&](const char* op, const TUserArg& user) -> bool {
        if (user.IdOption->count() > 0 && user.NickOption && user.NickOption->count() > 0)
            return false;
        if (!user.Given())
            return false;
        request.Op = QLatin1String(op);
        request.Args.insert(QStringLiteral("user"), user.Json());
        return true;
    };
    const auto text = [](const std::vector<std::string>& words) {
        return ConsoleLines(Join(words));
    };

    if (cli.got_subcommand(users))
        request.Op = QStringLiteral("users");
    else if (cli.got_subcommand(chats))
        request.Op = QStringLiteral("chats");
    else if (cli.got_subcommand(stats))
        request.Op = QStringLiteral("stats");
    else if (cli.got_subcommand(reload))
        request.Op = QStringLiteral("reload");
    else if (cli.got_subcommand(bans))
        request.Op = QStringLiteral("bans");
    else if (cli.got_subcommand(kick)) {
        if (!userRequest("kick", kickUser))
            return usage("kick needs NICK or --id, not both");
    } else if (cli.got_subcommand(kickBan)) {
        if (!userRequest("kick-ban", kickBanUser))
            return usage("kick-ban needs NICK or --id, not both");
        if (kickBanCommentOption->count() > 0)
            request.Args.insert(QStringLiteral("comment"), Q(kickBanComment));
    } else if (cli.got_subcommand(ping)) {
        if (!userRequest("ping", pingUser))
            return usage("ping needs NICK or --id, not both");
        request.PingWait = pingWait;
    } else if (cli.got_subcommand(remove)) {
        if (!userRequest("remove", removeUser))
            return usage("remove needs NICK or --id, not both");
    } else if (cli.got_subcommand(send)) {
        const bool byId = sendUser.IdOption->count() > 0;
        if (!byId && sendWords.size() < 2)
            return usage("send needs NICK and TEXT (or --id ID TEXT)");
        if (!byId)
            sendUser.Nick = sendWords.front();
        request.Op = QStringLiteral("send");
        request.Args.insert(QStringLiteral("user"), sendUser.Json());
        request.Args.insert(QStringLiteral("text"),
                            text({sendWords.begin() + (byId ? 0 : 1), sendWords.end()}));
    } else if (cli.got_subcommand(broadcast)) {
        request.Op = QStringLiteral("broadcast");
        request.Args = {{QStringLiteral("text"), text(broadcastWords)},
                        {QStringLiteral("anonymous"), anonymous}};
    } else if (cli.got_subcommand(killChat)) {
        if ((chatNameOption->count() > 0) == (chatIdOption->count() > 0))
            return usage("kill-chat needs NAME or --id, not both");
        request.Op = QStringLiteral("kill-chat");
        request.Args.insert(QStringLiteral("chat"),
                            chatIdOption->count() > 0
                                ? QJsonObject{{QStringLiteral("id"), double(chatId)}}
                                : QJsonObject{{QStringLiteral("name"), Q(chatName)}});
    } else if (cli.got_subcommand(ban)) {
        if (ban->got_subcommand(banAdd)) {
            if (addNick->count() == 0 && addIp->count() == 0)
                return usage("ban add needs --nick or --ip (--ip '*.*.*.*' alone bans everybody)");
            request.Op = QStringLiteral("ban-add");
            if (addNick->count() > 0)
                request.Args.insert(QStringLiteral("nick"), Q(banNick));
            request.Args.insert(QStringLiteral("within"), banWithin);
            if (addIp->count() > 0)
                request.Args.insert(QStringLiteral("ip"), Q(banIp));
            if (addComment->count() > 0)
                request.Args.insert(QStringLiteral("comment"), Q(banComment));
        } else if (ban->got_subcommand(banEdit)) {
            request.Op = QStringLiteral("ban-edit");
            request.Args.insert(QStringLiteral("id"), double(banId));
            if (editNick->count() > 0)
                request.Args.insert(QStringLiteral("nick"), Q(banNick));
            if (editNoNick->count() > 0)
                request.Args.insert(QStringLiteral("nick"), QJsonValue());
            if (editWithin->count() > 0 || editWhole->count() > 0)
                request.Args.insert(QStringLiteral("within"), editWithin->count() > 0);
            if (editIp->count() > 0)
                request.Args.insert(QStringLiteral("ip"), Q(banIp));
            if (editComment->count() > 0)
                request.Args.insert(QStringLiteral("comment"), Q(banComment));
            if (request.Args.size() == 1)
                return usage("ban edit needs something to change");
        } else {
            request.Op = QStringLiteral("ban-remove");
            request.Args.insert(QStringLiteral("id"), double(banId));
        }
    } else if (cli.got_subcommand(mail)) {
        if (mail->got_subcommand(mailAdd)) {
            request.Op = QStringLiteral("mail-add");
            request.Args = {{QStringLiteral("target"), Q(mailTo)},
                            {QStringLiteral("text"), text(mailWords)}};
            if (addFrom->count() > 0)
                request.Args.insert(QStringLiteral("sender"), Q(mailFrom));
        } else if (mail->got_subcommand(mailEdit)) {
            request.Op = QStringLiteral("mail-edit");
            request.Args.insert(QStringLiteral("id"), double(mailId));
            if (editTo->count() > 0)
                request.Args.insert(QStringLiteral("target"), Q(mailTo));
            if (editFrom->count() > 0)
                request.Args.insert(QStringLiteral("sender"), Q(mailFrom));
            if (editText->count() > 0)
                request.Args.insert(QStringLiteral("text"), ConsoleLines(mailText));
            if (request.Args.size() == 1)
                return usage("mail edit needs --to, --from or --text");
        } else if (mail->got_subcommand(mailDelete)) {
            request.Op = QStringLiteral("mail-delete");
            request.Args.insert(QStringLiteral("id"), double(mailId));
        } else {
            request.Op = QStringLiteral("mail");
        }
    }
    return Execute(global, request);
}
