#include "NetLimitSettings.h"

#include "ConnectionManager.h"
#include "RegLink.h"

namespace kelvra {

void ApplyNetLimits(TConnectionManager&, const TRegLink&) {}

} // namespace kelvra
