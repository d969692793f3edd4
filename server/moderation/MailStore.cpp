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
    Target& forTarget = ByTarget[key];
    forTarget.Items.push_back(item);
    const qint64 bytes = RecordBytes(target, sender, msg);
    forTarget.Bytes += bytes;
    TotalBytes += bytes;
    Positions.insert(item, Slot{std::prev(List.end()), std::prev(forTarget.Items.end()), key});
    return item;
}

bool TMailStore::Remove(TMailItem* item) {
    const auto found = Positions.constFind(item);
    if (found == Positions.cend())
        return false;
    const qint64 bytes = RecordBytes(item->Target, item->Sender, item->Msg);
    TotalBytes -= bytes;
    const auto forTarget = ByTarget.find(found.value().Key);
    if (forTarget != ByTarget.end()) {
        forTarget.value().Items.erase(found.value().InTarget);
        forTarget.value().Bytes -= bytes;
        if (forTarget.value().Items.empty())
            ByTarget.erase(forTarget);
    }
    ById.remove(item->Id);
    List.erase(found.value().It);
    Positions.erase(found);
    return true;
}

TMailItem* TMailStore::FindById(TMailId id) const {
    return ById.value(id, nullptr);
}

std::vector<TMailItem*> TMailStore::MailFor(const QByteArray& nickname) const {
    const auto found = ByTarget.constFind(AsciiLower(nickname));
    if (found == ByTarget.cend())
        return {};
    return {found.value().Items.begin(), found.value().Items.end()};
}

TMailItem* TMailStore::FirstFor(const QByteArray& nickname) const {
    const auto found = ByTarget.constFind(AsciiLower(nickname));
    return found == ByTarget.cend() ? nullptr : found.value().Items.front();
}

TMailStore::TUsage TMailStore::UsageFor(const QByteArray& target) const {
    const auto found = ByTarget.constFind(AsciiLower(target));
    if (found == ByTarget.cend())
        return {};
    return TUsage{static_cast<int>(found.value().Items.size()), found.value().Bytes};
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
    ByTarget.clear();
    TotalBytes = 0;
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
    return SaveRecords(path, Snapshot(), error);
}

std::vector<TMailItem> TMailStore::Snapshot() const {
    std::vector<TMailItem> records;
    records.reserve(List.size());
    for (const auto& item : List)
        records.push_back(*item);
    return records;
}

bool TMailStore::SaveRecords(const QString& path, const std::vector<TMailItem>& records,
                             QString* error) {
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
    for (const TMailItem& item : records) {
        ++i;
        ini.WriteString(MailSection, ValueName(i, "Target"), item.Target);
        ini.WriteString(MailSection, ValueName(i, "Sender"), item.Sender);
        ini.WriteString(MailSection, ValueName(i, "Msg"), item.Msg);
    }
    ini.WriteString(MailSection, MailSection, QByteArray::number(static_cast<int>(records.size())));
    if (!ini.Save(path))
        return fail();
    return true;
}

} // namespace kelvra
