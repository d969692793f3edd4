#include "ServerdView.h"

#include "PacketCodes.h"
#include "SocketErrors.h"

#include <cstdio>

namespace kelvra {

namespace {

void AppendEscaped(QByteArray& line, const QByteArray& text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\\') {
            line += "\\\\";
        } else if (u < 32 || u == 127) {
            const char escaped[] = {'\\', 'x', kHex[u >> 4], kHex[u & 15]};
            line.append(escaped, 4);
        } else {
            line += c;
        }
    }
}

void WriteLine(const QByteArray& line) {
    // One write per line, so lines of concurrent writers do not interleave.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

} // namespace

QByteArray TServerdView::FormatPacket(const TDataPacket& packet, bool outgoing) {
    QByteArray line;
    line.reserve(64 + packet.Param1.size() + packet.Param2.size());
    line += outgoing ? "out\t" : "in\t";
    line += QByteArray::number(packet.From);
    line += '\t';
    line += PacketDisplayName(packet.Code);
    line += '\t';
    AppendEscaped(line, packet.Param1);
    line += '\t';
    AppendEscaped(line, packet.Param2);
    line += packet.Switch ? "\tTrue\n" : "\tFalse\n";
    return line;
}

void TServerdView::LogPacket(const TDataPacket& packet, bool outgoing) {
    if (Logging)
        WriteLine(FormatPacket(packet, outgoing));
}

void TServerdView::ReportSocketError(int code, const QString& function) {
    LastError = QStringLiteral("%1 failed: %2 (%3)").arg(function, SocketErrorText(code)).arg(code);
    if (Logging)
        WriteLine("socket error\t" + LastError.toLocal8Bit() + '\n');
}

void TServerdView::ReportClientFailure(const QString& text) {
    if (Logging)
        WriteLine("client failure\t" + text.toLocal8Bit() + '\n');
}

} // namespace kelvra
