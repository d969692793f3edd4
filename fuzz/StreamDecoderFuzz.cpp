// Feeds arbitrary bytes to the stream decoder in arbitrary pieces: it must
// never crash, never hold more than one record's worth of bytes, and give
// the same records whatever the piece sizes.
#include "WireCodec.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = static_cast<qsizetype>(size - 1);

    std::vector<kelvra::TDataPacket> whole, pieces;
    kelvra::TStreamDecoder a, b;
    a.Decode(bytes, n, whole);
    for (qsizetype i = 0; i < n; i += static_cast<qsizetype>(piece)) {
        const qsizetype len = std::min<qsizetype>(static_cast<qsizetype>(piece), n - i);
        // A few records per call, as the socket layer takes them.
        b.Decode(bytes + i, len, pieces, 3);
        while (b.HasBacklog())
            b.Decode(nullptr, 0, pieces, 3);
        if (b.PendingBytes() > kelvra::kMaxRecordSize + 16)
            abort();
    }
    if (whole.size() != pieces.size())
        abort();
    for (size_t i = 0; i < whole.size(); ++i)
        if (whole[i] != pieces[i])
            abort();
    for (const auto& p : whole) {
        const QByteArray again = kelvra::EncodePacket(p);
        kelvra::TDataPacket back;
        if (kelvra::DecodeRecord(again.constData(), again.size(), back).Status !=
                kelvra::DecodeStatus::Record ||
            back != p)
            abort();
    }
    return 0;
}
