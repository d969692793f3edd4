#pragma once
// The client's side of a WebSocket, as small as the bench needs it: the
// upgrade request and the check of its answer, masked binary frames out, and
// the payloads of the server's frames taken out of a read buffer in place
// (so the record scanner runs on them as on a plain stream).
#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kelvra {

// The request for /ws. key is the base64 of 16 random bytes.
inline std::string WebSocketRequest(const std::string& host, int port, const std::string& key) {
    return "GET /ws HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
           "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// Whether head (the answer up to its empty line) accepts the upgrade asked for
// with key; otherwise error says what came instead.
inline bool WebSocketAccepted(const std::string& head, const std::string& key, std::string& error) {
    const size_t lineEnd = head.find("\r\n");
    const std::string status = head.substr(0, lineEnd);
    if (status.rfind("HTTP/1.1 101", 0) != 0) {
        error = "the web port answered \"" + status + "\" instead of switching to WebSocket";
        return false;
    }
    const QByteArray expected =
        QCryptographicHash::hash(
            QByteArray::fromStdString(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"),
            QCryptographicHash::Sha1)
            .toBase64();
    const QByteArray lower = QByteArray::fromStdString(head).toLower();
    const qsizetype at = lower.indexOf("\r\nsec-websocket-accept:");
    if (at >= 0) {
        const qsizetype from = at + 23;
        const qsizetype end = lower.indexOf("\r\n", from);
        if (QByteArray::fromStdString(head).mid(from, end < 0 ? -1 : end - from).trimmed() ==
            expected)
            return true;
    }
    error = "the web port's Sec-WebSocket-Accept does not answer the key";
    return false;
}

enum : uint8_t {
    kWsContinuation = 0x0,
    kWsText = 0x1,
    kWsBinary = 0x2,
    kWsClose = 0x8,
    kWsPing = 0x9,
    kWsPong = 0xA,
};

// Appends one final frame of payload, masked with mask as a client must.
inline void AppendWebSocketFrame(std::string& out, uint8_t opcode, const char* payload, size_t size,
                                 uint32_t mask) {
    char head[14];
    size_t n = 0;
    head[n++] = static_cast<char>(0x80 | opcode);
    if (size < 126) {
        head[n++] = static_cast<char>(0x80 | size);
    } else if (size <= 0xFFFF) {
        head[n++] = static_cast<char>(0x80 | 126);
        head[n++] = static_cast<char>(size >> 8);
        head[n++] = static_cast<char>(size);
    } else {
        head[n++] = static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            head[n++] = static_cast<char>(static_cast<uint64_t>(size) >> shift);
    }
    const unsigned char key[4] = {
        static_cast<unsigned char>(mask >> 24), static_cast<unsigned char>(mask >> 16),
        static_cast<unsigned char>(mask >> 8), static_cast<unsigned char>(mask)};
    std::memcpy(head + n, key, 4);
    n += 4;
    const size_t at = out.size() + n;
    out.append(head, n);
    out.append(payload, size);
    char* p = &out[at];
    for (size_t i = 0; i < size; ++i)
        p[i] = static_cast<char>(p[i] ^ key[i & 3]);
}

// The server's frames, cut anywhere by the reads.
class TWebSocketReader {
public:
    // Moves the payloads of the data frames in [data, data+size) to its front
    // and returns their length. Pings are kept for an answer, a close or a
    // frame no server may send ends the reading with Error set.
    size_t Unwrap(char* data, size_t size) {
        size_t in = 0;
        size_t out = 0;
        while (in < size && Error.empty()) {
            if (Left > 0) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(Left, size - in));
                std::memmove(data + out, data + in, n);
                out += n;
                in += n;
                Left -= n;
                continue;
            }
            // A frame's head (or a whole control frame) cut by the read waits in Head.
            const unsigned char* h;
            size_t avail;
            if (!Head.empty()) {
                while (Head.size() < Needed(Head.data(), Head.size()) && in < size)
                    Head.push_back(data[in++]);
                h = reinterpret_cast<const unsigned char*>(Head.data());
                avail = Head.size();
                if (avail < Needed(Head.data(), avail))
                    break;
            } else {
                h = reinterpret_cast<const unsigned char*>(data + in);
                avail = size - in;
                if (avail < Needed(data + in, avail)) {
                    Head.assign(data + in, size - in);
                    in = size;
                    break;
                }
            }
            const size_t headSize = HeadSize(h);
            const uint64_t length = PayloadSize(h);
            const uint8_t opcode = h[0] & 0x0F;
            if (h[1] & 0x80) {
                Error = "the server sent a masked frame";
                break;
            }
            size_t taken = headSize;
            if ((opcode & 0x08) && length > 125) {
                Error = "the server sent a control frame of " + std::to_string(length) + " bytes";
                break;
            }
            switch (opcode) {
            case kWsContinuation:
            case kWsBinary:
                Left = length;
                break;
            case kWsPing:
                Pings.emplace_back(reinterpret_cast<const char*>(h) + headSize, length);
                taken += length;
                break;
            case kWsPong:
                taken += length;
                break;
            case kWsClose:
                Error = "the server closed the WebSocket";
                break;
            default:
                Error = "the server sent a frame of opcode " + std::to_string(opcode);
                break;
            }
            if (Head.empty())
                in += taken;
            else
                Head.clear();
        }
        return out;
    }

    std::string Error;
    std::vector<std::string> Pings; // payloads still to be answered

private:
    static size_t HeadSize(const unsigned char* h) {
        const unsigned len7 = h[1] & 0x7F;
        return 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((h[1] & 0x80) ? 4 : 0);
    }
    static uint64_t PayloadSize(const unsigned char* h) {
        const unsigned len7 = h[1] & 0x7F;
        if (len7 < 126)
            return len7;
        uint64_t n = 0;
        for (int i = 0; i < (len7 == 126 ? 2 : 8); ++i)
            n = (n << 8) | h[2 + i];
        return n;
    }
    // Bytes to look at before the frame can be handled: its head, and for a
    // control frame its payload too (at most 125 bytes).
    static size_t Needed(const char* data, size_t size) {
        const auto* h = reinterpret_cast<const unsigned char*>(data);
        if (size < 2)
            return 2;
        const size_t head = HeadSize(h);
        if (size < head || (h[0] & 0x08) == 0)
            return head;
        return head + static_cast<size_t>(std::min<uint64_t>(PayloadSize(h), 125));
    }

    std::string Head;
    uint64_t Left = 0; // payload bytes of the current data frame still to come
};

} // namespace kelvra
