#include "ServerdView.h"

#include "BanList.h"
#include "PacketCodes.h"
#include "Registry.h"
#include "SocketErrors.h"
#include "TextUtil.h"

#include <cstdio>

namespace kelvra {

namespace {

// Control characters and backslashes as \xHH and \\, so a line stays a line.
// (Not the login log's rule, which writes \r, \n and \t; whoever reads
// the journal may rely on this one.)
void AppendEscaped(QByteArray& line, const QByteArray& text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\\') {
            line += "\\\\";
        } else if (u < 32 || u == 127) {
            const char escaped[] = {'\\', 'x', kHex[u >> 4], kHex[u & 15]};
            line.append(escaped, 4);
        } else {
            line += c;
        }
    }
}

void WriteLine(const QByteArray& line) {
    // One write per line, so lines of concurrent writers do not interleave.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

// A client may send a megabyte of nickname; the journal gets enough to tell.
constexpr qsizetype kShownBytes = 64;

// Quoted and escaped, in UTF-8 for the journal (clients' texts are code page 1252).
QByteArray Shown(const QByteArray& text) {
    QByteArray out = "'";
    AppendEscaped(out, text.left(kShownBytes));
    out += text.size() > kShownBytes ? "...'" : "'";
    return FromBytes(out).toUtf8();
}

} // namespace

QByteArray TServerdView::FormatPacket(const TDataPacket& packet, bool outgoing) {
    QByteArray line;
    line.reserve(64 + packet.Param1.size() + packet.Param2.size());
    line += outgoing ? "out\t" : "in\t";
    line += QByteArray::number(packet.From);
    line += '\t';
    line += PacketDisplayName(packet.Code);
    line += '\t';
    AppendEscaped(line, packet.Param1);
    line += '\t';
    // KMS_USER carries the server password: a trace must not give it away.
    if (packet.Code == KMS_USER && !outgoing && !packet.Param2.isEmpty())
        line += "********";
    else
        AppendEscaped(line, packet.Param2);
    line += packet.Switch ? "\tTrue\n" : "\tFalse\n";
    return line;
}

void TServerdView::LogPacket(const TDataPacket& packet, bool outgoing) {
    if (Logging)
        WriteLine(FormatPacket(packet, outgoing));
}

void TServerdView::ReportSocketError(int code, const QString& function) {
    LastError = QStringLiteral("%1 failed: %2 (%3)").arg(function, SocketErrorText(code)).arg(code);
    if (Logging)
        WriteLine("socket error\t" + LastError.toLocal8Bit() + '\n');
}

void TServerdView::ReportClientFailure(const QString& text) {
    // A store that could not be saved is the operator's business, --log or not.
    if (text.startsWith(QLatin1String("Saving failed: ")))
        Journal(Error, text);
    else if (Logging)
        WriteLine("client failure\t" + text.toLocal8Bit() + '\n');
}

void TServerdView::JournalBytes(TPriority priority, const QByteArray& text) {
    if (Quiet && priority > Warning)
        return;
    QByteArray line = '<' + QByteArray::number(priority) + '>';
    line += text;
    line += '\n';
    WriteLine(line);
}

void TServerdView::Journal(TPriority priority, const QString& text) {
    QByteArray bytes;
    AppendEscaped(bytes, text.toUtf8());
    JournalBytes(priority, bytes);
}

QByteArray TServerdView::Who(const TConnection& user) {
    QByteArray who;
    if (!user.Nickname.isEmpty())
        who = Shown(user.Nickname) + ' ';
    return who + "from " + user.DottedAddress() + ':' + QByteArray::number(user.Port) +
           " (socket " + QByteArray::number(user.Socket) + ')';
}

QByteArray TServerdView::BanText(const TBan& ban) {
    QByteArray text = "nickname " + (ban.Nick_On ? Shown(ban.Nick) : QByteArray("any"));
    text += ban.InString ? " (anywhere in it)" : "";
    text += ", address " + TBanList::DisplayIP(ban).toLatin1();
    if (!ban.Comment.isEmpty())
        text += ", comment " + Shown(ban.Comment);
    return text;
}

void TServerdView::Connected(const TConnection& user) {
    JournalBytes(Info, "connect " + Who(user));
}

void TServerdView::LoggedIn(const TConnection& user) {
    JournalBytes(Info, "login " + Who(user));
}

void TServerdView::LoggedOn(const TConnection& user, const QByteArray& userName) {
    JournalBytes(Info, "logged on " + Who(user) + " as user " + Shown(userName));
}

void TServerdView::LoginRefused(const TConnection& user, const QByteArray& nickname,
                                const QString& reason) {
    QByteArray who = "from " + user.DottedAddress() + ':' + QByteArray::number(user.Port) +
                     " (socket " + QByteArray::number(user.Socket) + ')';
    JournalBytes(Warning,
                 "login refused " + who + " for " + Shown(nickname) + ": " + reason.toUtf8());
}

void TServerdView::LoginLogWritten(bool ok) {
    // Once per run of failures, not once per login.
    if (!ok && !LoginLogFailing)
        Journal(Error, QStringLiteral("cannot append to the login log %1: login blocks are lost "
                                      "until it can be written again")
                           .arg(LoginLogPath));
    else if (ok && LoginLogFailing)
        Journal(Notice, QStringLiteral("the login log %1 is written again").arg(LoginLogPath));
    LoginLogFailing = !ok;
}

void TServerdView::Disconnected(const TConnection& user) {
    JournalBytes(Info, "disconnect " + Who(user));
}

void TServerdView::Kicked(const TConnection& user) {
    JournalBytes(Notice, "kick " + Who(user));
}

void TServerdView::Removed(const TConnection& user) {
    JournalBytes(Notice, "remove " + Who(user));
}

void TServerdView::BanAdded(const TBan& ban) {
    JournalBytes(Notice, "ban added: " + BanText(ban));
}

void TServerdView::BanChanged(const TBan& ban) {
    JournalBytes(Notice, "ban changed: " + BanText(ban));
}

void TServerdView::BanRemoved(const TBan& ban) {
    JournalBytes(Notice, "ban removed: " + BanText(ban));
}

} // namespace kelvra
