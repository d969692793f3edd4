#include "WebAssets.h"

#include <QCryptographicHash>
#include <QFile>

#include <array>

namespace kelvra {

namespace {

struct TAsset {
    const char* Path;
    const char* Resource;
    const char* Type;
};

constexpr std::array<TAsset, 6> kAssets = {{
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
    {"/codec.js", ":/web/codec.js", "text/javascript; charset=utf-8"},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
}};

// Scripts, styles and sockets from this origin only; no frames around the page.
const char* const kCommonHeaders =
    "Cache-Control: no-cache\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
    "form-action 'none'\r\n"
    "Connection: close\r\n";

QByteArray HeaderValue(const QByteArray& line) {
    return line.mid(line.indexOf(':') + 1).trimmed();
}

struct TLoaded {
    QByteArray Body;
    QByteArray ETag;
};

const TLoaded& Load(const TAsset& asset) {
    static std::array<TLoaded, kAssets.size()> cache;
    TLoaded& slot = cache[static_cast<size_t>(&asset - kAssets.data())];
    if (slot.ETag.isEmpty()) {
        QFile file(QString::fromLatin1(asset.Resource));
        if (file.open(QIODevice::ReadOnly))
            slot.Body = file.readAll();
        slot.ETag =
            '"' + QCryptographicHash::hash(slot.Body, QCryptographicHash::Sha1).toHex() + '"';
    }
    return slot;
}

} // namespace

bool ParseRequestHead(const QByteArray& block, THttpRequestHead& head) {
    const QList<QByteArray> lines = block.split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() != 3 || !first[2].startsWith("HTTP/1.") || first[0].isEmpty())
        return false;
    head.Method = first[0];
    head.Target =
        first[1].left(first[1].indexOf('?') < 0 ? first[1].size() : first[1].indexOf('?'));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "host")
            head.Host = HeaderValue(line);
        else if (name == "origin")
            head.Origin = HeaderValue(line);
        else if (name == "if-none-match")
            head.IfNoneMatch = HeaderValue(line);
        else if (name == "upgrade")
            head.Upgrade = HeaderValue(line).toLower() == "websocket";
    }
    return true;
}

QByteArray PlainResponse(int status, const char* reason) {
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Length: 0\r\n" +
           kCommonHeaders + "\r\n";
}

QByteArray AssetResponse(const THttpRequestHead& head) {
    const bool get = head.Method == "GET";
    if (!get && head.Method != "HEAD")
        return PlainResponse(405, "Method Not Allowed");
    for (const TAsset& asset : kAssets) {
        if (head.Target != asset.Path)
            continue;
        const TLoaded& loaded = Load(asset);
        if (!head.IfNoneMatch.isEmpty() && head.IfNoneMatch == loaded.ETag)
            return "HTTP/1.1 304 Not Modified\r\nETag: " + loaded.ETag + "\r\n" + kCommonHeaders +
                   "\r\n";
        QByteArray out = "HTTP/1.1 200 OK\r\nContent-Type: " + QByteArray(asset.Type) +
                         "\r\nContent-Length: " + QByteArray::number(loaded.Body.size()) +
                         "\r\nETag: " + loaded.ETag + "\r\n" + kCommonHeaders + "\r\n";
        if (get)
            out += loaded.Body;
        return out;
    }
    return PlainResponse(404, "Not Found");
}

} // namespace kelvra
