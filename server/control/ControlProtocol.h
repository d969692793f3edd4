#pragma once
// The control protocol's fixed points, shared by the server and its clients.
// Requests and responses are JSON objects, one per line (docs/control-protocol.md).
#include <QtGlobal>

namespace kelvra {

inline constexpr int kControlProtocolVersion = 1;

// A request line longer than this is refused and its connection closed: the
// longest text an operation sends is one record, at most 1 MiB.
inline constexpr qsizetype kControlMaxRequestBytes = 2 * 1024 * 1024;

// The "code" of a failed response; a client maps them onto its exit status.
namespace ControlError {
inline constexpr const char* BadRequest = "bad_request"; // malformed or missing arguments
inline constexpr const char* UnknownOp = "unknown_op";
inline constexpr const char* NotFound = "not_found"; // the named record is not there (any more)
inline constexpr const char* Refused = "refused";    // the server will not do it
inline constexpr const char* Unavailable = "unavailable"; // not in this server
inline constexpr const char* TooLarge = "too_large";
inline constexpr const char* Busy = "busy"; // too many control connections
} // namespace ControlError

} // namespace kelvra
