#pragma once
// Records from a read buffer without allocating. Every record the server
// writes starts with the same 17 bytes except the code byte (Version and From
// are 0, every code fits the 8-bit form); such records are taken apart in
// place. Anything else goes through the codec's DecodeRecord, so the bench
// accepts whatever the server's own decoder would.
#include "WireCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvra {

// A record whose texts point into the buffer (or into Fallback after the codec).
struct TRecordView {
    int32_t Code = 0;
    const char* Param1 = nullptr;
    uint32_t Param1Size = 0;
    const char* Param2 = nullptr;
    uint32_t Param2Size = 0;
    bool Switch = false;

    bool Param1Is(const char* text, uint32_t size) const {
        return Param1Size == size && std::memcmp(Param1, text, size) == 0;
    }
};

enum class ScanStatus { Record, NeedMore, Garbage };

struct ScanResult {
    ScanStatus Status = ScanStatus::NeedMore;
    size_t Consumed = 0;
};

class TRecordScanner {
public:
    // Takes the record at the front of [data, data+size).
    ScanResult Next(const char* data, size_t size, TRecordView& view) {
        size_t consumed = 0;
        switch (CodecOnly ? Fast::Other : ScanCanonical(data, size, view, consumed)) {
        case Fast::Record:
            return {ScanStatus::Record, consumed};
        case Fast::NeedMore:
            return {ScanStatus::NeedMore, 0};
        case Fast::Other:
            break;
        }
        ++SlowRecords;
        const DecodeResult r = DecodeRecord(data, static_cast<qsizetype>(size), Fallback);
        ScanResult out;
        out.Consumed = static_cast<size_t>(r.Consumed);
        if (r.Status == DecodeStatus::NeedMore) {
            out.Status = ScanStatus::NeedMore;
        } else if (r.Status == DecodeStatus::Garbage) {
            out.Status = ScanStatus::Garbage;
        } else {
            out.Status = ScanStatus::Record;
            view.Code = Fallback.Code;
            view.Param1 = Fallback.Param1.constData();
            view.Param1Size = static_cast<uint32_t>(Fallback.Param1.size());
            view.Param2 = Fallback.Param2.constData();
            view.Param2Size = static_cast<uint32_t>(Fallback.Param2.size());
            view.Switch = Fallback.Switch;
        }
        return out;
    }

    // Records that needed the codec (not in the server's canonical form).
    uint64_t SlowRecords = 0;
    // Every record through the codec: to measure what the in-place path saves.
    bool CodecOnly = false;

private:
    enum class Fast { Record, NeedMore, Other };
    static constexpr size_t kHeadSize = 17;
    static constexpr size_t kCodeAt = 14;

    static Fast ScanCanonical(const char* d, size_t size, TRecordView& v, size_t& consumed) {
        static constexpr char kHead[kHeadSize] = {TagStartOfList,
                                                  TagShortText,
                                                  8,
                                                  'K',
                                                  'L',
                                                  'V',
                                                  'R',
                                                  '8',
                                                  '0',
                                                  '0',
                                                  '2',
                                                  TagInt8,
                                                  0,
                                                  TagInt8,
                                                  0 /* code */,
                                                  TagInt8,
                                                  0};
        if (size < kHeadSize) {
            // A cut head waits for more only when it is the canonical one so far.
            for (size_t i = 0; i < size; ++i)
                if (i != kCodeAt && d[i] != kHead[i])
                    return Fast::Other;
            return Fast::NeedMore;
        }
        if (std::memcmp(d, kHead, kCodeAt) != 0 || d[15] != kHead[15] || d[16] != kHead[16])
            return Fast::Other;
        size_t pos = kHeadSize;
        const Fast p1 = Text(d, size, pos, v.Param1, v.Param1Size);
        if (p1 != Fast::Record)
            return p1;
        const Fast p2 = Text(d, size, pos, v.Param2, v.Param2Size);
        if (p2 != Fast::Record)
            return p2;
        if (size - pos < 2)
            return Fast::NeedMore;
        const auto flag = static_cast<uint8_t>(d[pos]);
        if ((flag != TagTrue && flag != TagFalse) || d[pos + 1] != TagEndOfList)
            return Fast::Other;
        v.Code = static_cast<int8_t>(d[kCodeAt]);
        v.Switch = flag == TagTrue;
        consumed = pos + 2;
        return Fast::Record;
    }

    static Fast Text(const char* d, size_t size, size_t& pos, const char*& text, uint32_t& len) {
        if (pos + 2 > size)
            return Fast::NeedMore;
        const auto tag = static_cast<uint8_t>(d[pos]);
        size_t head = 0;
        if (tag == TagShortText) {
            len = static_cast<uint8_t>(d[pos + 1]);
            head = 2;
        } else if (tag == TagLongText) {
            if (pos + 5 > size)
                return Fast::NeedMore;
            const auto* p = reinterpret_cast<const uint8_t*>(d + pos + 1);
            len = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                  (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
            if (len > static_cast<uint32_t>(kMaxRecordSize))
                return Fast::Other;
            head = 5;
        } else {
            return Fast::Other;
        }
        if (size - pos - head < len)
            return Fast::NeedMore;
        text = d + pos + head;
        pos += head + len;
        return Fast::Record;
    }

    TDataPacket Fallback;
};

} // namespace kelvra
