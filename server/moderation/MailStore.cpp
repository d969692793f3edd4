#include "MailStore.h"

#include "MailFile.h"
#include "TextUtil.h"

namespace kelvra {

TMailItem* TMailStore::Append(const QByteArray& target, const QByteArray& sender,
                              const QByteArray& msg) {
    List.push_back(std::make_unique<TMailItem>());
    TMailItem* item = List.back().get();
    item->Target = target;
    item->Sender = sender;
    item->Msg = msg;
    item->Id = NextId++;
    ById.insert(item->Id, item);
    const QByteArray key = AsciiLower(target);
    Target& forTarget = ByTarget[key];
    forTarget.Items.push_back(item);
    const qint64 bytes = RecordBytes(target, sender, msg);
    forTarget.Bytes += bytes;
    TotalBytes += bytes;
    Positions.insert(item, Slot{std::prev(List.end()), std::prev(forTarget.Items.end()), key});
    if (Listener)
        Listener->MailAdded(*item);
    return item;
}

bool TMailStore::Remove(TMailItem* item) {
    const auto found = Positions.constFind(item);
    if (found == Positions.cend())
        return false;
    if (Listener)
        Listener->MailRemoved(*item);
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
    std::vector<TMailItem> records;
    TFilePrint print;
    if (!MailFile::Read(path, &records, &print))
        return added;
    added.reserve(records.size());
    for (const TMailItem& r : records)
        added.push_back(Append(r.Target, r.Sender, r.Msg));
    return added;
}

bool TMailStore::Save(const QString& path, QString* error) const {
    return MailFile::Save(path, Snapshot(), nullptr, error);
}

std::vector<TMailItem> TMailStore::Snapshot() const {
    std::vector<TMailItem> records;
    records.reserve(List.size());
    for (const auto& item : List)
        records.push_back(*item);
    return records;
}

} // namespace kelvra
