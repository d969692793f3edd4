#pragma once
// The desktop session as the console meets it: a plain (not forced) log-out
// request, and the session manager's question before the session ends.

class QSessionManager;
class QWidget;

namespace kelvra {

// Asks the desktop's session manager over D-Bus to log the user out. No
// session manager, or a refusal, has no visible effect.
void RequestLogOff();

// The session is about to end while the server runs: tell the operator and
// refuse, where the session lets us ask.
void RefuseSessionEnd(QSessionManager& manager, QWidget* parent);

} // namespace kelvra
