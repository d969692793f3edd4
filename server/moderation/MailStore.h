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
    uint64_t DiskId = 0; // how the mail journal names it
};

// Told of every change of a store, as it happens.
class IMailChanges {
public:
    virtual ~IMailChanges() = default;
    virtual void MailAdded(TMailItem& item) = 0;
    // Before the record is freed.
    virtual void MailRemoved(const TMailItem& item) = 0;
};

class TMailStore {
public:
    // What a set of records holds: how many, and the bytes of their three texts.
    struct TUsage {
        int Count = 0;
        qint64 Bytes = 0;
    };

    // Appends a record with these fields and returns it. A stored record's
    // Target is indexed: replace the record rather than change its Target.
    TMailItem* Append(const QByteArray& target, const QByteArray& sender, const QByteArray& msg);
    // Takes a record out and frees it; false when it is not in the store.
    bool Remove(TMailItem* item);
    // nullptr when no stored record has that id.
    TMailItem* FindById(TMailId id) const;
    // Records whose Target equals nickname (ASCII case ignored, equal length),
    // in list order. Costs the number of those records, not of the store.
    std::vector<TMailItem*> MailFor(const QByteArray& nickname) const;
    // The first of them, nullptr when there is none.
    TMailItem* FirstFor(const QByteArray& nickname) const;
    std::vector<TMailItem*> Items() const;
    int Count() const { return static_cast<int>(List.size()); }
    void Clear();

    TUsage UsageFor(const QByteArray& target) const;
    TUsage Total() const { return TUsage{Count(), TotalBytes}; }
    static qint64 RecordBytes(const QByteArray& target, const QByteArray& sender,
                              const QByteArray& msg) {
        return target.size() + sender.size() + msg.size();
    }

    // Told of every later Append and Remove; nullptr for none.
    void SetListener(IMailChanges* listener) { Listener = listener; }

    // Appends the records of the mail file; a missing file or "Mail" key gives
    // none. Returns the records added, in order.
    std::vector<TMailItem*> Load(const QString& path);
    // Writes every record and the count into the file (other content kept),
    // atomically. On failure: "Unable to write to <path>".
    bool Save(const QString& path, QString* error = nullptr) const;

    // Copies of every record in list order, for a save on another thread: the
    // texts are shared with the store, not copied.
    std::vector<TMailItem> Snapshot() const;

private:
    using TItems = std::list<std::unique_ptr<TMailItem>>;
    // The records of one target (lower-cased), in list order.
    struct Target {
        std::list<TMailItem*> Items;
        qint64 Bytes = 0;
    };
    // Where each record sits, so removing is cheap and keeps the figures right.
    struct Slot {
        TItems::iterator It;
        std::list<TMailItem*>::iterator InTarget;
        QByteArray Key;
    };
    TItems List;
    QHash<QByteArray, Target> ByTarget;
    QHash<const TMailItem*, Slot> Positions;
    QHash<TMailId, TMailItem*> ById;
    qint64 TotalBytes = 0;
    TMailId NextId = 1;
    IMailChanges* Listener = nullptr;
};

} // namespace kelvra
