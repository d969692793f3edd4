#pragma once
// The server's records as the control protocol shows them, and the protocol's
// arguments turned back into wire texts and ban fields.
#include "BanList.h"
#include "MailStore.h"
#include "Registry.h"

#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>

namespace kelvra {

using TLinkKindFn = std::function<QString(SocketHandle)>;

QJsonObject UserJson(const TConnection& user, const TLinkKindFn& linkKind);
QJsonObject ChatJson(const TChat& chat);
QJsonObject BanJson(const TBan& ban);
QJsonObject MailJson(const TMailItem& item);

// A JSON text as the single-byte wire text, nullopt when the code page cannot
// hold one of its characters (it would arrive as "?", and a "?" could name
// somebody else).
std::optional<QByteArray> WireText(const QString& text);

// Reads "nick" (a mask: string, on; null, off), "within", "ip" ("a.b.c.d", each
// 0..255 or "*" for an octet that is off) and "comment" into ban; fields not
// given stay. False with the reason on bad values.
bool ApplyBanFields(const QJsonObject& args, TBan& ban, QString* error);

} // namespace kelvra
