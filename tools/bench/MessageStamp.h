#pragma once
// The bench's chat text: the send time (CLOCK_MONOTONIC ns, 16 hex digits) and
// the sender's number (4 hex digits), padded with 'x' to the text size. The
// receiver needs nothing else to measure latency and to recognise its own echo.
#include <cstdint>

namespace kelvra {

inline constexpr int kStampSize = 20;

inline void WriteStamp(char* text, uint64_t sendNs, uint32_t sender) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, sendNs >>= 4)
        text[i] = kHex[sendNs & 15];
    for (int i = 19; i >= 16; --i, sender >>= 4)
        text[i] = kHex[sender & 15];
}

// Hex digit values, -1 for anything else: a table keeps the receive path
// free of branches (it runs once per delivery).
struct THexDigits {
    int8_t Value[256];
    constexpr THexDigits() : Value{} {
        for (int i = 0; i < 256; ++i)
            Value[i] = -1;
        for (int c = '0'; c <= '9'; ++c)
            Value[c] = static_cast<int8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            Value[c] = static_cast<int8_t>(c - 'a' + 10);
    }
};
inline constexpr THexDigits kHexDigits{};

inline bool ReadStamp(const char* text, uint64_t& sendNs, uint32_t& sender) {
    int8_t invalid = 0;
    uint64_t ns = 0;
    for (int i = 0; i < 16; ++i) {
        const int8_t d = kHexDigits.Value[static_cast<unsigned char>(text[i])];
        invalid |= d;
        ns = (ns << 4) | static_cast<uint64_t>(d & 15);
    }
    uint32_t who = 0;
    for (int i = 16; i < kStampSize; ++i) {
        const int8_t d = kHexDigits.Value[static_cast<unsigned char>(text[i])];
        invalid |= d;
        who = (who << 4) | static_cast<uint32_t>(d & 15);
    }
    if (invalid < 0)
        return false;
    sendNs = ns;
    sender = who;
    return true;
}

} // namespace kelvra
