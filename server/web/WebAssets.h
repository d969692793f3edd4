#pragma once
// The page and its assets, compiled into the program. Requests name an asset
// by its exact path in a fixed table, so nothing else (least of all a file on
// disk) can be reached.
#include <QByteArray>

namespace kelvra {

struct THttpRequestHead {
    QByteArray Method;
    QByteArray Target; // path without the query
    QByteArray Host;
    QByteArray Origin;
    QByteArray IfNoneMatch;
    bool Upgrade = false; // asks for a WebSocket
};

// The request line and the few headers the front end looks at, from a
// complete header block; false when it is not an HTTP/1.x request.
bool ParseRequestHead(const QByteArray& block, THttpRequestHead& head);

// The whole response to a request for a page or an asset (also 304, 404, 405).
QByteArray AssetResponse(const THttpRequestHead& head);

// A short response without a body, and the connection closes.
QByteArray PlainResponse(int status, const char* reason);

} // namespace kelvra
