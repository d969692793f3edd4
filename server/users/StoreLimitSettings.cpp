#include "StoreLimitSettings.h"

#include "LoginLog.h"
#include "RegLink.h"
#include "Server.h"

namespace kelvra {

namespace {

template <class T> T ReadLimit(const TRegLink& reg, const char* name, T def) {
    const int32_t value = reg.ReadInteger(QStringLiteral("Limits"), QString::fromLatin1(name), 0);
    return value > 0 ? static_cast<T>(value) : def;
}

} // namespace

TStoreLimits ReadStoreLimits(const TRegLink& reg) {
    TStoreLimits limits;
    limits.MailPerTarget = ReadLimit(reg, "MailPerTarget", limits.MailPerTarget);
    limits.MailBytesPerTarget = ReadLimit(reg, "MailBytesPerTarget", limits.MailBytesPerTarget);
    limits.MailTotal = ReadLimit(reg, "MailTotal", limits.MailTotal);
    limits.MailBytesTotal = ReadLimit(reg, "MailBytesTotal", limits.MailBytesTotal);
    limits.LogTextBytes = ReadLimit(reg, "LogTextBytes", limits.LogTextBytes);
    limits.ChatEntriesPerConnection =
        ReadLimit(reg, "ChatEntriesPerConnection", limits.ChatEntriesPerConnection);
    return limits;
}

void ApplyStoreLimits(TServer& server, const TRegLink& reg) {
    server.StoreLimits = ReadStoreLimits(reg);
    LoginLog::SetTextLimit(server.StoreLimits.LogTextBytes);
}

} // namespace kelvra
