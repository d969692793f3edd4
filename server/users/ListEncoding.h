#pragma once
// The encoded records of an ordered list's elements (users, chats), concatenated
// in list order, as a newcomer is sent them. Kept in blocks, and for a prefix of
// the list only: a change cuts the encoding at the changed element, and the
// next newcomer re-encodes from there on, so a login near the end of the list
// costs the records after it, not the whole list. The blocks are shared with
// the send queues they were handed to (copy on write).
#include <QByteArray>
#include <cstddef>
#include <vector>

namespace kelvra {

class TListEncoding {
public:
    // Blocks grow to about this size; a full block is no longer written to, so
    // queues holding it keep sharing it.
    static constexpr qsizetype kBlockSize = 16 * 1024;

    // Where an element's record sits; kept by the element.
    struct TSlot {
        size_t Index = SIZE_MAX; // position in the list when encoded
        size_t Block = 0;
        qsizetype Offset = 0;
    };

    // Elements encoded: the first Count() of the list.
    size_t Count() const { return Encoded; }
    bool Holds(const TSlot& slot) const { return slot.Index < Encoded; }
    const std::vector<QByteArray>& Blocks() const { return Parts; }

    // Forgets the element's record and every record after it.
    void CutAt(const TSlot& slot) {
        if (!Holds(slot))
            return;
        Encoded = slot.Index;
        Parts.resize(slot.Block + 1);
        if (slot.Offset == 0)
            Parts.pop_back();
        else
            Parts.back().truncate(slot.Offset);
    }
    // The next element's record, at the end.
    void Add(TSlot& slot, const QByteArray& record) {
        if (Parts.empty() || Parts.back().size() >= kBlockSize) {
            Parts.emplace_back();
            Parts.back().reserve(kBlockSize + record.size());
        }
        slot.Index = Encoded++;
        slot.Block = Parts.size() - 1;
        slot.Offset = Parts.back().size();
        Parts.back().append(record);
    }

private:
    std::vector<QByteArray> Parts;
    size_t Encoded = 0;
};

} // namespace kelvra
