// Records to groups of connections: kept once per pass in the group's log,
// taken by each member when its queue is next touched or when the pass ends.
#include "ConnectionManager.h"

namespace kelvra {

qsizetype TConnectionManager::SendToGroup(uint64_t group, const TPreparedPacket& packet,
                                          SocketHandle except, bool mayWait) {
    uint32_t index = 0;
    bool made = false;
    GroupLogs.Open(group, &index, &made);
    if (made)
        ScheduleFlush(); // where the members take their shares
    if (made && Events) {
        // The group's first record in this pass: its members get a place in
        // the log, and their queues are looked at when the pass ends.
        GroupMembers.clear();
        Events->GroupMembers(group, GroupMembers);
        for (SocketHandle socket : GroupMembers) {
            TLink* link = Links.Find(static_cast<int>(socket));
            if (!link || link->Life == TLinkLife::Closing)
                continue;
            link->Groups.push_back({index, 0});
            ++GroupLogs.At(index).Takers;
            GroupTakers.push_back({link->Fd(), link->Serial});
            MarkDirty(*link);
        }
    }
    // The one left out takes what came before, then steps over this record.
    TLink* left = except == kNoSocket ? nullptr : Links.Find(static_cast<int>(except));
    TGroupCursor* leftCursor = nullptr;
    if (left && !left->Groups.empty() && TakeGroupShare(*left))
        leftCursor = CursorIn(*left, index);
    const qsizetype n = packet.Bytes.size();
    qsizetype takers = GroupLogs.At(index).Takers - (leftCursor ? 1 : 0);
    if (takers <= 0 || n == 0)
        return 0;
    if (Policy.OverOutputBudget(n * takers)) {
        TakeAllGroupShares();
        ReclaimOutput(n * takers);
        // The logs started again: whoever is left of the group takes the
        // record one by one.
        GroupMembers.clear();
        if (Events)
            Events->GroupMembers(group, GroupMembers);
        qsizetype sent = 0;
        for (SocketHandle socket : GroupMembers) {
            if (socket == except)
                continue;
            QueueBytes(socket, packet.Bytes);
            ++sent;
        }
        if (Log.LogsTraffic())
            Log.LogPackets(packet.Packet, true, sent);
        return sent;
    }
    GroupLogs.Append(index, packet.Bytes, !mayWait);
    if (leftCursor)
        leftCursor->Next = static_cast<uint32_t>(GroupLogs.At(index).Count());
    Policy.NoteQueued(n * takers);
    if (Sender.Link.Fd >= 0)
        Sender.Bytes += n * takers;
    if (Log.LogsTraffic())
        Log.LogPackets(packet.Packet, true, takers);
    return takers;
}

void TConnectionManager::JoinGroup(uint64_t group, SocketHandle socket) {
    uint32_t index = 0;
    if (!GroupLogs.Find(group, &index))
        return; // members are asked for when the group first sends in a pass
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life == TLinkLife::Closing)
        return;
    if (CursorIn(*link, index))
        return;
    TGroupLog& log = GroupLogs.At(index);
    link->Groups.push_back({index, static_cast<uint32_t>(log.Count())});
    ++log.Takers;
    GroupTakers.push_back({link->Fd(), link->Serial});
    MarkDirty(*link);
}

void TConnectionManager::LeaveGroup(uint64_t group, SocketHandle socket) {
    uint32_t index = 0;
    if (!GroupLogs.Find(group, &index))
        return;
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || !CursorIn(*link, index))
        return;
    // What it was sent while a member stays, in order.
    if (!TakeGroupShare(*link))
        return;
    --GroupLogs.At(index).Takers;
    link->Groups.erase(link->Groups.begin() + (CursorIn(*link, index) - link->Groups.data()));
}

TGroupCursor* TConnectionManager::CursorIn(TLink& link, uint32_t index) {
    for (TGroupCursor& c : link.Groups)
        if (c.Group == index)
            return &c;
    return nullptr;
}

bool TConnectionManager::TakeGroupShare(TLink& link) {
    const qsizetype share = GroupLogs.Pending(link.Groups);
    if (share == 0)
        return true;
    if (link.Out.Pending() + share > kMaxQueuedBytes) {
        DropGroupShare(link);
        EndOverLimit(link);
        return false;
    }
    if (GroupLogs.TakeShare(link.Groups, link.Out))
        link.Urgent = true;
    return true;
}

void TConnectionManager::DropGroupShare(TLink& link) {
    if (link.Groups.empty())
        return;
    const qsizetype share = GroupLogs.Pending(link.Groups);
    Policy.NoteUnqueued(share);
    for (const TGroupCursor& c : link.Groups)
        --GroupLogs.At(c.Group).Takers;
    link.Groups.clear();
}

void TConnectionManager::TakeAllGroupShares() {
    if (GroupLogs.Empty())
        return;
    GroupLogs.Compact();
    std::vector<TLinkRef> takers;
    takers.swap(GroupTakers);
    for (const TLinkRef& ref : takers) {
        TLink* link = Links.Find(ref.Fd, ref.Serial);
        if (!link || link->Groups.empty())
            continue;
        if (TakeGroupShare(*link))
            link->Groups.clear();
    }
    GroupLogs.Clear();
}

} // namespace kelvra
