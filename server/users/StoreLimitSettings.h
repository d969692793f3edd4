#pragma once
// Bounds on what the server stores for clients (mail, the login log, chat
// entries), as the settings store adjusts them in section "Limits".
#include <QtGlobal>

namespace kelvra {

class TRegLink;
class TServer;

struct TStoreLimits {
    // Mail kept for one target nickname (ASCII case ignored): enough for a
    // person's backlog, too little for one sender to fill the store.
    static constexpr int kMailPerTarget = 100;
    static constexpr qint64 kMailBytesPerTarget = 4 * 1024 * 1024;
    // Mail kept in all: what the server holds in memory and rewrites on a save.
    static constexpr int kMailTotal = 100'000;
    static constexpr qint64 kMailBytesTotal = 256 * 1024 * 1024;
    // Longest user name or nickname written whole into the login log.
    static constexpr qsizetype kLogTextBytes = 256;
    // Entries one connection may hold in all chats together (a user may join
    // one chat many times). Far above any person's use; it bounds what one
    // client makes the others wait for when it leaves or is relayed to.
    static constexpr int kChatEntriesPerConnection = 10'000;

    int MailPerTarget = kMailPerTarget;
    qint64 MailBytesPerTarget = kMailBytesPerTarget;
    int MailTotal = kMailTotal;
    qint64 MailBytesTotal = kMailBytesTotal;
    qsizetype LogTextBytes = kLogTextBytes;
    int ChatEntriesPerConnection = kChatEntriesPerConnection;
};

// The limits from section "Limits"; a missing, non-numeric or non-positive
// value gives the default.
TStoreLimits ReadStoreLimits(const TRegLink& reg);
// Reads them and hands them to the server core and the login log.
void ApplyStoreLimits(TServer& server, const TRegLink& reg);

} // namespace kelvra
