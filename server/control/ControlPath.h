#pragma once
// Where the control socket of kelvra-serverd lives when no path is given.
#include <QString>

namespace kelvra {

// The service's socket (systemd's RuntimeDirectory=kelvra).
inline constexpr const char* kServiceControlPath = "/run/kelvra/control";

// The daemon's default: $RUNTIME_DIRECTORY/control when systemd runs it, else
// $XDG_RUNTIME_DIR/kelvra/control. Empty, with the reason, when neither is set.
QString DefaultControlPath(QString* error = nullptr);

// kelvra-admin's default: the daemon's rule, but a socket that does not exist
// there gives way to the service's socket when that one exists. Empty, with
// the reason, when no candidate is known.
QString DefaultAdminSocketPath(QString* error = nullptr);

} // namespace kelvra
