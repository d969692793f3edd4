#pragma once
// Socket error codes in the numbering the operator's code table uses, and their
// descriptions for the "Winsock Errors" window.
#include <QString>

namespace kelvra {

// Description of a socket error code; "Not a WinSock error" for codes not in the table.
QString SocketErrorText(int code);

// The socket error code of the same meaning as a POSIX errno value (EMFILE is
// 10024, ENOBUFS 10055, EADDRINUSE 10048, ...); 0 for 0, and errno + 10000 where
// the numbering has no counterpart.
int SocketErrorFromErrno(int err);

} // namespace kelvra
