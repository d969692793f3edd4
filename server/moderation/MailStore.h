#pragma once
// The offline mail store: messages for nicknames that are not connected,
// delivered in list order and saved in the mail file's "Mail" section.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <list>
#include <memory>
#include <vector>

namespace kelvra {

// A mail record's stable id, the handle by which the console refers to it.
using TMailId = uint64_t;

struct TMailItem {
    TMailId Id = 0; // unique for the run, never reused
    QByteArray Target;
    QByteArray Sender;
    QByteArray Msg;
};

class TMailStore {
public:
    // Appends a record with these fields and returns it. A stored record's
    // Target is indexed: replace the record rather than change its Target.
    TMailItem* Append(const QByteArray& target, const QByteArray& sender, const QByteArray& msg);
    // Takes a record out and frees it; false when it is not in the store.
    bool Remove(TMailItem* item);
    // nullptr when no stored record has that id.
    TMailItem* FindById(TMailId id) const;
    // Records whose Target equals nickname (ASCII case ignored, equal length),
    // in list order. Cheap when there is none.
    std::vector<TMailItem*> MailFor(const QByteArray& nickname) const;
    std::vector<TMailItem*> Items() const;
    int Count() const { return static_cast<int>(List.size()); }
    void Clear();

    // Appends the records of the mail file; a missing file or "Mail" key gives
    // none. Returns the records added, in order.
    std::vector<TMailItem*> Load(const QString& path);
    // Writes every record and the count into the file (other content kept),
    // atomically. On failure: "Unable to write to <path>".
    bool Save(const QString& path, QString* error = nullptr) const;

private:
    std::list<std::unique_ptr<TMailItem>> List;
    QHash<QByteArray, int> CountByTarget; // lower-cased target -> records
    // Where each record sits and the target it was counted under, so removing
    // is cheap and keeps the counts right.
    struct Slot {
        std::list<std::unique_ptr<TMailItem>>::iterator It;
        QByteArray Key;
    };
    QHash<const TMailItem*, Slot> Positions;
    QHash<TMailId, TMailItem*> ById;
    TMailId NextId = 1;
};

} // namespace kelvra
