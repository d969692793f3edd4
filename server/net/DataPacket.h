#pragma once
// The message record: the only unit of the client protocol, in both directions.
#include <QByteArray>
#include <cstdint>

namespace kelvra {

struct TDataPacket {
    int32_t Version = 0;
    int32_t Code = 0;
    int32_t From = 0; // on receipt: the socket the record arrived on
    QByteArray Param1;
    QByteArray Param2;
    bool Switch = false;

    bool operator==(const TDataPacket& o) const {
        return Version == o.Version && Code == o.Code && From == o.From && Param1 == o.Param1 &&
               Param2 == o.Param2 && Switch == o.Switch;
    }
    bool operator!=(const TDataPacket& o) const { return !(*this == o); }
};

// Convenience for building records to send.
inline TDataPacket MakePacket(int32_t code, QByteArray p1 = {}, QByteArray p2 = {},
                              bool sw = false) {
    TDataPacket p;
    p.Code = code;
    p.Param1 = std::move(p1);
    p.Param2 = std::move(p2);
    p.Switch = sw;
    return p;
}

} // namespace kelvra
