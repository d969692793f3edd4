#include "NetLimitSettings.h"

#include "ConnectionManager.h"
#include "RegLink.h"

namespace kelvra {

namespace {

const QString kLimits = QStringLiteral("Limits");

} // namespace

void ApplyNetLimits(TConnectionManager& manager, const TRegLink& reg) {
    // A missing or non-positive value leaves the manager's default.
    manager.SetPendingInputBudget(
        reg.ReadInteger(kLimits, QStringLiteral("PendingInputBudget"), 0));
    manager.SetRecordTimeLimit(reg.ReadInteger(kLimits, QStringLiteral("RecordTimeLimit"), 0));
    manager.SetReadRatePerConnection(
        reg.ReadInteger(kLimits, QStringLiteral("ReadRatePerConnection"), 0));
    manager.SetFanOutPerSecond(reg.ReadInteger(kLimits, QStringLiteral("FanOutPerSecond"), 0));
    manager.SetOutputBudget(reg.ReadInteger(kLimits, QStringLiteral("OutputBudget"), 0));
    manager.SetSendPath(
        ParseSendPath(reg.ReadString(kLimits, QStringLiteral("SendPath"), QString())));
}

} // namespace kelvra
