#pragma once
// What kelvra-admin prints for people: aligned tables for the lists, one
// sentence for a command, a few lines for the figures.
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace kelvra::admin {

// Columns padded to their widest cell, two blanks apart; the last column is
// not padded.
QString RenderTable(const QStringList& headers, const QList<QStringList>& rows);

// A text as one table cell: control characters escaped, so a row stays a row.
QString Cell(const QString& text);

QString UsersTable(const QJsonArray& users);
QString ChatsTable(const QJsonArray& chats);
QString BansTable(const QJsonArray& bans);
QString MailTable(const QJsonArray& mail);
QString StatsText(const QJsonObject& stats);

// "bob (id 3)", or "the connection with id 3" for one without a nickname.
QString UserName(const QJsonObject& user);
// A round trip as the console's Users view shows it: "42 ms", "0.25 s".
QString PingText(int ms);
// What a command did, in one line.
QString Outcome(const QString& op, const QJsonObject& result);

} // namespace kelvra::admin
