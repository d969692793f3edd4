#include "ClientCommand.h"

#include "PacketCodes.h"
#include "TextUtil.h"

#include <optional>

namespace kelvra {

namespace {

bool IsBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

void SkipBlanks(const QString& s, qsizetype& pos) {
    while (pos < s.size() && IsBlank(s[pos]))
        ++pos;
}

// Cursor over the arguments of one command line.
class TArgReader {
public:
    TArgReader(const QString& s, qsizetype pos) : S(s), Pos(pos) {}

    bool AtEnd() {
        SkipBlanks(S, Pos);
        return Pos >= S.size();
    }

    bool PeekOption() {
        SkipBlanks(S, Pos);
        return S.mid(Pos, 2) == QLatin1String("--");
    }

    // One word, or a double-quoted text that may hold blanks (and be empty).
    bool TakeWord(QString& word, QString& error) {
        SkipBlanks(S, Pos);
        if (Pos >= S.size())
            return false;
        if (S[Pos] == QLatin1Char('"')) {
            const qsizetype close = S.indexOf(QLatin1Char('"'), Pos + 1);
            if (close < 0) {
                error = QStringLiteral("missing closing quote");
                return false;
            }
            word = S.mid(Pos + 1, close - Pos - 1);
            Pos = close + 1;
            if (Pos < S.size() && !IsBlank(S[Pos])) {
                error = QStringLiteral("a closing quote must be followed by a blank");
                return false;
            }
            return true;
        }
        const qsizetype start = Pos;
        while (Pos < S.size() && !IsBlank(S[Pos]))
            ++Pos;
        word = S.mid(start, Pos - start);
        return true;
    }

    // Everything after the blanks that follow the current position, as typed.
    QString Rest() {
        SkipBlanks(S, Pos);
        const QString rest = S.mid(Pos);
        Pos = S.size();
        return rest;
    }

    // A name that is the whole rest of the line: blanks around it removed,
    // or quoted.
    bool TakeName(QString& name, QString& error) {
        SkipBlanks(S, Pos);
        if (Pos < S.size() && S[Pos] == QLatin1Char('"')) {
            if (!TakeWord(name, error))
                return false;
            if (!AtEnd()) {
                error = QStringLiteral("unexpected text after the quoted name");
                return false;
            }
            return true;
        }
        name = Rest().trimmed();
        return true;
    }

private:
    const QString& S;
    qsizetype Pos;
};

TCommand Invalid(const QString& error) {
    TCommand c;
    c.Kind = TCommandKind::Invalid;
    c.Error = error;
    return c;
}

struct TCommandName {
    const char* Name;
    TCommandKind Kind;
};

constexpr TCommandName kCommands[] = {
    {"create", TCommandKind::Create},
    {"join", TCommandKind::Join},
    {"part", TCommandKind::Part},
    {"say", TCommandKind::Say},
    {"emote", TCommandKind::Emote},
    {"me", TCommandKind::Me},
    {"msg", TCommandKind::Msg},
    {"anon", TCommandKind::Anon},
    {"invite", TCommandKind::Invite},
    {"mail", TCommandKind::Mail},
    {"servernick", TCommandKind::ServerNick},
    {"users", TCommandKind::Users},
    {"rooms", TCommandKind::Rooms},
    {"raw", TCommandKind::Raw},
    {"log", TCommandKind::Log},
    {"quit", TCommandKind::Quit},
    {"help", TCommandKind::Help},
};

// /create and /join: one optional flag, then the room name.
TCommand ParseRoomCommand(TCommand c, TArgReader& args, const QString& command,
                          const char* flagName) {
    QString error;
    while (args.PeekOption()) {
        QString option;
        args.TakeWord(option, error);
        if (option == QLatin1String("--"))
            break;
        if (flagName && option == QLatin1String(flagName)) {
            c.Flag = true;
            continue;
        }
        return Invalid(QStringLiteral("/%1: unknown option %2").arg(command, option));
    }
    if (!args.TakeName(c.Target, error))
        return Invalid(QStringLiteral("/%1: %2").arg(command, error));
    if (c.Target.isEmpty() && c.Kind != TCommandKind::Part)
        return Invalid(QStringLiteral("/%1: missing room name").arg(command));
    return c;
}

// /say, /emote, /msg, /anon, /invite: a target word, then the text.
TCommand ParseTargetText(TCommand c, TArgReader& args, const QString& command, bool needsText) {
    QString error;
    if (!args.TakeWord(c.Target, error))
        return Invalid(QStringLiteral("/%1: %2").arg(
            command, error.isEmpty() ? QStringLiteral("missing room or nickname") : error));
    c.Text = args.Rest();
    if (needsText && c.Text.isEmpty())
        return Invalid(QStringLiteral("/%1: missing text").arg(command));
    return c;
}

std::optional<bool> ParseSwitch(const QString& word) {
    const QString w = word.toLower();
    if (w == QLatin1String("1") || w == QLatin1String("true"))
        return true;
    if (w == QLatin1String("0") || w == QLatin1String("false"))
        return false;
    return std::nullopt;
}

TCommand ParseRaw(TCommand c, TArgReader& args) {
    QString error;
    QString codeWord;
    if (!args.TakeWord(codeWord, error))
        return Invalid(QStringLiteral("/raw: %1")
                           .arg(error.isEmpty() ? QStringLiteral("missing code") : error));
    std::optional<int32_t> code = StrToInt(codeWord);
    if (!code) {
        const int32_t named = PacketCodeFromName(codeWord.toLatin1());
        if (named < 0)
            return Invalid(QStringLiteral("/raw: unknown code %1").arg(codeWord));
        code = named;
    }
    c.Raw.Code = *code;
    QString word;
    if (args.TakeWord(word, error)) {
        c.Raw.Param1 = ToBytes(word);
        if (args.TakeWord(word, error)) {
            c.Raw.Param2 = ToBytes(word);
            if (args.TakeWord(word, error)) {
                const std::optional<bool> sw = ParseSwitch(word);
                if (!sw)
                    return Invalid(
                        QStringLiteral("/raw: switch must be 0, 1, true or false, not %1")
                            .arg(word));
                c.Raw.Switch = *sw;
            }
        }
    }
    if (!error.isEmpty())
        return Invalid(QStringLiteral("/raw: %1").arg(error));
    if (!args.AtEnd())
        return Invalid(QStringLiteral("/raw: too many arguments"));
    return c;
}

} // namespace

TCommand ParseCommand(QString line) {
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    TCommand c;
    if (line.trimmed().isEmpty())
        return c;
    if (!line.startsWith(QLatin1Char('/')) || line.startsWith(QLatin1String("//"))) {
        c.Kind = TCommandKind::Text;
        c.Text = line.startsWith(QLatin1Char('/')) ? line.mid(1) : line;
        return c;
    }
    qsizetype pos = 1;
    while (pos < line.size() && !IsBlank(line[pos]))
        ++pos;
    const QString command = line.mid(1, pos - 1).toLower();
    if (command.isEmpty())
        return Invalid(QStringLiteral("missing command name after \"/\" (try /help)"));
    bool known = false;
    for (const TCommandName& n : kCommands)
        if (command == QLatin1String(n.Name)) {
            c.Kind = n.Kind;
            known = true;
        }
    if (!known)
        return Invalid(QStringLiteral("unknown command /%1 (try /help)").arg(command));

    TArgReader args(line, pos);
    switch (c.Kind) {
    case TCommandKind::Create:
        return ParseRoomCommand(c, args, command, "--secure");
    case TCommandKind::Join:
        return ParseRoomCommand(c, args, command, "--pass");
    case TCommandKind::Part:
        return ParseRoomCommand(c, args, command, nullptr);
    case TCommandKind::Say:
    case TCommandKind::Emote:
    case TCommandKind::Msg:
    case TCommandKind::Anon:
        return ParseTargetText(c, args, command, true);
    case TCommandKind::Invite:
        return ParseTargetText(c, args, command, false);
    case TCommandKind::Me:
        c.Text = args.Rest();
        if (c.Text.isEmpty())
            return Invalid(QStringLiteral("/me: missing text"));
        return c;
    case TCommandKind::Raw:
        return ParseRaw(c, args);
    case TCommandKind::Log: {
        QString error;
        if (!args.TakeName(c.Target, error))
            return Invalid(QStringLiteral("/log: %1").arg(error));
        return c;
    }
    default:
        if (!args.AtEnd())
            return Invalid(QStringLiteral("/%1 takes no arguments").arg(command));
        return c;
    }
}

QString CommandHelpText() {
    return QStringLiteral(
        "Commands:\n"
        "  TEXT                       say TEXT in the room joined last (\"//\" sends a leading "
        "\"/\")\n"
        "  /create [--secure] ROOM    create a room and join it; --secure refuses plain joins\n"
        "  /join [--pass] ROOM        join a room; --pass gets into a secure (private) room\n"
        "  /part [ROOM]               leave a room (default: the room joined last)\n"
        "  /say ROOM TEXT             say TEXT in ROOM\n"
        "  /me TEXT                   act TEXT in the room joined last: \"/me waves\" shows\n"
        "                             * NICK waves\n"
        "  /emote ROOM TEXT           act TEXT in ROOM\n"
        "  /msg NICK TEXT             private message; kept as mail when NICK is not online\n"
        "  /anon NICK TEXT            anonymous private message\n"
        "  /invite NICK [TEXT]        invite NICK; TEXT is passed on unchanged\n"
        "  /mail                      fetch the mail kept for your nickname (the client fetches\n"
        "                             it by itself at every login unless --no-mail is given)\n"
        "  /servernick                ask for the server's nickname\n"
        "  /users                     list the users the server announced\n"
        "  /rooms                     list the rooms the server announced\n"
        "  /log [FILE | off]          write a transcript to FILE (appended), stop it, or show it\n"
        "  /raw CODE [P1 [P2 [SW]]]   send any record; CODE a number or a name such as KMS_PING,\n"
        "                             SW 0, 1, true or false\n"
        "  /quit                      leave the server and exit\n"
        "  /help                      this list\n"
        "Names with blanks can be written in double quotes: /say \"Big Room\" hello\n"
        "Tab completes commands, room names and nicknames; at the start of a line a nickname\n"
        "becomes \"NICK: \" to address its owner.\n"
        "The server relays chat text without its sender, so the client writes your nickname\n"
        "into it: TEXT goes out as \"<NICK> TEXT\", an emote as \"NICK TEXT\". Private messages\n"
        "and invitations go out as typed. Texts travel in code page 1252; characters it\n"
        "cannot hold are sent as \"?\", and the client says so.");
}

namespace {

QString Quote(const QString& name) {
    return name.contains(QLatin1Char(' ')) || name.contains(QLatin1Char('\t'))
               ? QLatin1Char('"') + name + QLatin1Char('"')
               : name;
}

void AddMatches(QStringList& out, const QStringList& names, const QString& word) {
    const QString prefix = word.startsWith(QLatin1Char('"')) ? word.mid(1) : word;
    for (const QString& name : names)
        if (!name.isEmpty() && name.startsWith(prefix, Qt::CaseInsensitive))
            out << Quote(name);
}

} // namespace

QStringList CompletionCandidates(const QString& line, qsizetype wordStart,
                                 const QStringList& nicknames, const QStringList& rooms) {
    const QString word = line.mid(wordStart);
    const QString before = line.left(wordStart);
    QStringList out;
    if (before.trimmed().isEmpty()) {
        if (word.startsWith(QLatin1Char('/'))) {
            for (const TCommandName& n : kCommands) {
                const QString name = QLatin1Char('/') + QLatin1String(n.Name);
                if (name.startsWith(word, Qt::CaseInsensitive))
                    out << name;
            }
            return out;
        }
        // Chat text, not an argument: no quotes.
        for (const QString& name : nicknames)
            if (!name.isEmpty() && name.startsWith(word, Qt::CaseInsensitive))
                out << name + QLatin1Char(':');
        out.removeDuplicates();
        out.sort(Qt::CaseInsensitive);
        return out;
    }
    const QStringList words = before.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.isEmpty() ? QString() : words.first().toLower();
    const bool roomCommand = command == QLatin1String("/join") ||
                             command == QLatin1String("/part") ||
                             command == QLatin1String("/say") || command == QLatin1String("/emote");
    const bool optionsOnly =
        words.size() == 1 || (words.size() == 2 && words[1].startsWith(QLatin1String("--")));
    if (roomCommand && optionsOnly) {
        if (command == QLatin1String("/join") && word.startsWith(QLatin1Char('-')))
            AddMatches(out, {QStringLiteral("--pass")}, word);
        else
            AddMatches(out, rooms, word);
    } else if (command == QLatin1String("/create") && word.startsWith(QLatin1Char('-'))) {
        AddMatches(out, {QStringLiteral("--secure")}, word);
    } else if (command == QLatin1String("/create") || command == QLatin1String("/log") ||
               command == QLatin1String("/raw")) {
        // A new room name, a file name, a record: nothing to offer.
    } else {
        AddMatches(out, nicknames, word);
    }
    out.removeDuplicates();
    out.sort(Qt::CaseInsensitive);
    return out;
}

} // namespace kelvra
