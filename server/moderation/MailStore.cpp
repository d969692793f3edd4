#include "MailStore.h"

#include "IniFile.h"
#include "RegLink.h"
#include "TextUtil.h"

namespace kelvra {

namespace {

const QByteArray MailSection = QByteArrayLiteral("Mail");

QByteArray ValueName(int index, const char* suffix) {
    return QByteArray::number(index) + suffix;
}

} // namespace

TMailItem* TMailStore::Append(const QByteArray& target, const QByteArray& sender,
                              const QByteArray& msg) {
    List.push_back(std::make_unique<TMailItem>(TMailItem{0, target, sender, msg}));
    TMailItem* item = List.back().get();
    item->Id = NextId++;
    ById.insert(item->Id, item);
    const QByteArray key = AsciiLower(target);
    Positions.insert(item, Slot{std::prev(List.end()), key});
    ++CountByTarget[key];
    return item;
}

bool TMailStore::Remove(TMailItem* item) {
    const auto found = Positions.constFind(item);
    if (found == Positions.cend())
        return false;
    const auto count = CountByTarget.find(found.value().Key);
    if (count != CountByTarget.end() && --count.value() <= 0)
        CountByTarget.erase(count);
    ById.remove(item->Id);
    List.erase(found.value().It);
    Positions.erase(found);
    return true;
}

TMailItem* TMailStore::FindById(TMailId id) const {
    return ById.value(id, nullptr);
}

std::vector<TMailItem*> TMailStore::MailFor(const QByteArray& nickname) const {
    std::vector<TMailItem*> result;
    const int expected = CountByTarget.value(AsciiLower(nickname), 0);
    if (expected == 0)
        return result;
    result.reserve(static_cast<size_t>(expected));
    for (const auto& item : List) {
        if (SameTextAscii(item->Target, nickname)) {
            result.push_back(item.get());
            if (static_cast<int>(result.size()) == expected)
                break;
        }
    }
    return result;
}

std::vector<TMailItem*> TMailStore::Items() const {
    std::vector<TMailItem*> result;
    result.reserve(List.size());
    for (const auto& item : List)
        result.push_back(item.get());
    return result;
}

void TMailStore::Clear() {
    List.clear();
    Positions.clear();
    ById.clear();
    CountByTarget.clear();
}

std::vector<TMailItem*> TMailStore::Load(const QString& path) {
    std::vector<TMailItem*> added;
    TIniFile ini;
    if (!ini.Load(path))
        return added;
    const QByteArray countText = ini.ReadString(MailSection, MailSection);
    const int32_t count = TRegLink::ConvertInteger(FromBytes(countText), 0);
    for (int32_t i = 1; i <= count; ++i) {
        const QByteArray sender = ini.ReadString(MailSection, ValueName(i, "Sender"));
        const QByteArray target = ini.ReadString(MailSection, ValueName(i, "Target"));
        const QByteArray msg = ini.ReadString(MailSection, ValueName(i, "Msg"));
        added.push_back(Append(target, sender, msg));
    }
    return added;
}

bool TMailStore::Save(const QString& path, QString* error) const {
    const auto fail = [&] {
        if (error)
            *error = QStringLiteral("Unable to write to %1").arg(path);
        return false;
    };
    // Start from what is there so other content and leftovers of a longer
    // list survive; refuse rather than overwrite a file that cannot be read.
    TIniFile ini;
    if (!ini.Load(path))
        return fail();
    int i = 0;
    for (const auto& item : List) {
        ++i;
        ini.WriteString(MailSection, ValueName(i, "Target"), item->Target);
        ini.WriteString(MailSection, ValueName(i, "Sender"), item->Sender);
        ini.WriteString(MailSection, ValueName(i, "Msg"), item->Msg);
    }
    ini.WriteString(MailSection, MailSection, QByteArray::number(Count()));
    if (!ini.Save(path))
        return fail();
    return true;
}

} // namespace kelvra
