#pragma once
// The socket layer's limits as the settings store adjusts them.
namespace kelvra {

class TConnectionManager;
class TRegLink;

// Reads the socket layer's limits from the settings section "Limits" and
// hands them to the connection manager; defaults where a value is missing or
// not positive:
//   PendingInputBudget     bytes of incomplete records for all connections
//   RecordTimeLimit        seconds an incomplete record may take to arrive
//   ReadRatePerConnection  bytes per second a connection is read at most
//   FanOutPerSecond        bytes per second one sender's records may queue
//                          to others (relayed bytes times recipients)
//   OutputBudget           bytes of unsent output for all connections (by
//                          default 256 MiB or 64 KiB per open connection)
//   SendPath               auto, uring or plain: how plain links' writes
//                          reach the kernel (batched through io_uring, or one
//                          sendmsg per connection and pass); auto when missing
//                          or not one of those
void ApplyNetLimits(TConnectionManager& manager, const TRegLink& reg);

} // namespace kelvra
