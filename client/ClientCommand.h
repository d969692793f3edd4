#pragma once
// What a line typed at the chat client means. Pure parsing: nothing is sent here.
#include "DataPacket.h"

#include <QString>
#include <QStringList>

namespace kelvra {

enum class TCommandKind {
    Empty,      // blank line: nothing to do
    Text,       // plain text for the room last joined
    Create,     // /create [--secure] ROOM
    Join,       // /join [--pass] ROOM
    Part,       // /part [ROOM]
    Say,        // /say ROOM TEXT
    Emote,      // /emote ROOM TEXT
    Me,         // /me TEXT: an emote in the room joined last
    Msg,        // /msg NICK TEXT
    Anon,       // /anon NICK TEXT
    Invite,     // /invite NICK [TEXT]
    Mail,       // /mail
    ServerNick, // /servernick
    Users,      // /users
    Rooms,      // /rooms
    Raw,        // /raw CODE [P1 [P2 [SWITCH]]]
    Log,        // /log [FILE | off]
    Quit,       // /quit
    Help,       // /help
    Invalid,    // see Error
};

struct TCommand {
    TCommandKind Kind = TCommandKind::Empty;
    QString Target;    // room or nickname
    QString Text;      // chat, message or invitation text, as typed
    bool Flag = false; // --secure for /create, --pass for /join
    TDataPacket Raw;   // the record of /raw
    QString Error;     // why the line is Invalid

    bool IsValid() const { return Kind != TCommandKind::Invalid; }
};

// Parses one input line (a trailing CR or LF is ignored). A line that does
// not start with "/" is chat text; "//" at the start sends text beginning
// with a single "/". Arguments may be double-quoted to hold blanks; the text
// at the end of a command is taken as typed.
TCommand ParseCommand(QString line);

// The /help text: one command per line.
QString CommandHelpText();

// Tab completion: the candidates for the word that starts at wordStart in
// line (the text before the cursor). Commands at the start of a line, room
// names where a command takes a room, nicknames elsewhere; names with blanks
// come quoted. A nickname at the start of a line addresses its owner and
// comes as "nick:" (the editor adds the blank). Case is ignored when matching.
QStringList CompletionCandidates(const QString& line, qsizetype wordStart,
                                 const QStringList& nicknames, const QStringList& rooms);

} // namespace kelvra
