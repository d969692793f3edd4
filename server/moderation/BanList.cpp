#include "BanList.h"

#include "RegLink.h"
#include "TextUtil.h"

#include <QStringList>

namespace kelvra {

namespace {

const QString BansSection = QStringLiteral("Bans");

QString ValueName(int index, const char* suffix) {
    return QString::number(index) + QLatin1String(suffix);
}

} // namespace

TBan* TBanList::NewBan() {
    List.push_back(std::make_unique<TBan>());
    List.back()->Id = NextId++;
    return List.back().get();
}

TBan* TBanList::FindById(TBanId id) const {
    for (const auto& ban : List)
        if (ban->Id == id)
            return ban.get();
    return nullptr;
}

bool TBanList::Remove(TBan* ban) {
    for (auto it = List.begin(); it != List.end(); ++it) {
        if (it->get() == ban) {
            List.erase(it);
            return true;
        }
    }
    return false;
}

bool TBanList::NickMatches(const TBan& ban, const QByteArray& nick) {
    if (!ban.Nick_On)
        return true;
    if (ban.InString) {
        if (ban.Nick.isEmpty() || nick.isEmpty())
            return false;
        return AsciiLower(nick).contains(AsciiLower(ban.Nick));
    }
    return AsciiLower(TrimText(ban.Nick)) == AsciiLower(TrimText(nick));
}

TBan* TBanList::FindBan(const QByteArray& nick, uint32_t ipv4) const {
    const uint8_t o1 = static_cast<uint8_t>(ipv4 >> 24);
    const uint8_t o2 = static_cast<uint8_t>(ipv4 >> 16);
    const uint8_t o3 = static_cast<uint8_t>(ipv4 >> 8);
    const uint8_t o4 = static_cast<uint8_t>(ipv4);
    for (const auto& ban : List) {
        if (ban->IP1_On && ban->IP1 != o1)
            continue;
        if (ban->IP2_On && ban->IP2 != o2)
            continue;
        if (ban->IP3_On && ban->IP3 != o3)
            continue;
        if (ban->IP4_On && ban->IP4 != o4)
            continue;
        if (NickMatches(*ban, nick))
            return ban.get();
    }
    return nullptr;
}

std::vector<TBan*> TBanList::Load(const TRegLink& reg) {
    std::vector<TBan*> added;
    const int32_t count = reg.ReadInteger(BansSection, BansSection, 0);
    for (int32_t i = 1; i <= count; ++i) {
        TBan* ban = NewBan();
        ban->Hits = 0;
        const auto readBool = [&](const char* suffix, bool def) {
            return reg.ReadBool(BansSection, ValueName(i, suffix), def);
        };
        const auto readOctet = [&](const char* suffix) {
            return static_cast<uint8_t>(reg.ReadInteger(BansSection, ValueName(i, suffix), 0));
        };
        ban->Nick = ToBytes(reg.ReadString(BansSection, ValueName(i, "Nick"), QStringLiteral("*")));
        ban->Nick_On = readBool("Nick_On", true);
        ban->InString = readBool("InString", true);
        ban->IP1 = readOctet("IP1");
        ban->IP1_On = readBool("IP1_On", true);
        ban->IP2 = readOctet("IP2");
        ban->IP2_On = readBool("IP2_On", true);
        ban->IP3 = readOctet("IP3");
        ban->IP3_On = readBool("IP3_On", true);
        ban->IP4 = readOctet("IP4");
        ban->IP4_On = readBool("IP4_On", true);
        ban->Comment = ToBytes(reg.ReadString(BansSection, ValueName(i, "Comment"), QString()));
        added.push_back(ban);
    }
    return added;
}

bool TBanList::Save(TRegLink& reg, QString* error) const {
    const auto fail = [&] {
        if (error)
            *error = reg.LastError();
        return false;
    };
    int i = 0;
    for (const auto& ban : List) {
        ++i;
        const auto writeBool = [&](const char* suffix, bool value) {
            return reg.WriteBool(BansSection, ValueName(i, suffix), value);
        };
        const auto writeInt = [&](const char* suffix, int32_t value) {
            return reg.WriteInteger(BansSection, ValueName(i, suffix), value);
        };
        const bool ok =
            reg.WriteString(BansSection, ValueName(i, "Nick"), FromBytes(ban->Nick)) &&
            writeBool("Nick_On", ban->Nick_On) && writeBool("InString", ban->InString) &&
            writeInt("IP1", ban->IP1) && writeBool("IP1_On", ban->IP1_On) &&
            writeInt("IP2", ban->IP2) && writeBool("IP2_On", ban->IP2_On) &&
            writeInt("IP3", ban->IP3) && writeBool("IP3_On", ban->IP3_On) &&
            writeInt("IP4", ban->IP4) && writeBool("IP4_On", ban->IP4_On) &&
            reg.WriteString(BansSection, ValueName(i, "Comment"), FromBytes(ban->Comment));
        if (!ok)
            return fail();
    }
    if (!reg.WriteInteger(BansSection, BansSection, Count()))
        return fail();
    return true;
}

QString TBanList::DisplayNick(const TBan& ban) {
    if (!ban.Nick_On)
        return QStringLiteral("*");
    const QByteArray shown = ban.InString ? QByteArray("*") + ban.Nick + "*" : ban.Nick;
    return FromBytes(TrimText(AsciiLower(shown)));
}

QString TBanList::DisplayIP(const TBan& ban) {
    const auto octet = [](bool on, uint8_t value) {
        return on ? QString::number(value) : QStringLiteral("*");
    };
    return QStringList{octet(ban.IP1_On, ban.IP1), octet(ban.IP2_On, ban.IP2),
                       octet(ban.IP3_On, ban.IP3), octet(ban.IP4_On, ban.IP4)}
        .join(QLatin1Char('.'));
}

} // namespace kelvra
