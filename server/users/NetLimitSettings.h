#pragma once
// The socket layer's limits as the settings store adjusts them.
namespace kelvra {

class TConnectionManager;
class TRegLink;

// Reads the limits of incoming data from the settings (defaults where a value
// is missing) and hands them to the connection manager.
void ApplyNetLimits(TConnectionManager& manager, const TRegLink& reg);

} // namespace kelvra
