#include "Transport.h"

namespace kelvra {

void ITrafficLog::LogEncoded(const std::vector<QByteArray>& blocks, qsizetype records,
                             bool outgoing) {
    TDataPacket packet;
    for (const QByteArray& block : blocks) {
        qsizetype at = 0;
        while (at < block.size()) {
            const DecodeResult r = DecodeRecord(block.constData() + at, block.size() - at, packet);
            if (r.Status != DecodeStatus::Record || records-- <= 0)
                break; // not written by an encoder: nothing more to show
            LogPacket(packet, outgoing);
            at += r.Consumed;
        }
    }
}

} // namespace kelvra
