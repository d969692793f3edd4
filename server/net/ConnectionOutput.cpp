// The output side of the socket layer: queuing records, writing them as the
// sockets take them, the output budget and shares, and write receipts.
#include "ConnectionManager.h"

#include <QTimer>

#include <algorithm>
#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace kelvra {

namespace {

// Bytes written to all sockets together in one pass of the event loop: a
// relay of a large text to many members goes out over several passes, and
// the other clients are read in between.
constexpr qsizetype kWriteBytesPerPass = 1024 * 1024;
// ... or this much per link waiting, when more: a pass costs a look at every
// socket anyway, and a send costs about the same whatever its size, so a
// login storm (small records to thousands of links) otherwise takes
// thousands of passes of a few hundred bytes per send.
constexpr qsizetype kWriteBytesPerWaitingLink = 16 * 1024;
// Links with no more than this queued go first in a pass: an answer to one
// request does not wait behind bulk relays to others.
constexpr qsizetype kShortWrite = 16 * 1024;
constexpr int kGatherParts = TSendEngine::kParts;
// When this many links wait in one pass (a login storm: every newcomer is
// announced to everybody), a link with only group records queued, less than
// this many, and written less than kGatherMs ago, waits to gather more: a
// send costs about the same whatever its size up to 16 KiB (11 us here), and
// a pass of small sends to every link costs more than the records themselves.
// 64 KiB and 250 ms took a 10,000-user storm from 3.5 s to 2.7 s against
// 16 KiB and 100 ms; a link that was not written lately never waits.
constexpr size_t kGatherFromLinks = 1000;
constexpr qsizetype kGatherBytes = 64 * 1024;
constexpr int kGatherMs = 250;
constexpr int kShareCheckMs = 500;
// How soon a link held for its share is offered to its socket again; twice
// as late each time its socket took nothing meanwhile.
constexpr int kHeldRetryMs = 20;
constexpr int kHeldRetryMaxMs = 1000;

} // namespace

void TConnectionManager::SendPrepared(SocketHandle socket, const TPreparedPacket& packet) {
    QueueBytes(socket, packet.Bytes);
    // The record is logged whether or not it could be written.
    if (Log.LogsTraffic())
        Log.LogPacket(packet.Packet, true);
}

bool TConnectionManager::SendEncoded(SocketHandle socket, const std::vector<QByteArray>& blocks) {
    for (const QByteArray& block : blocks)
        QueueBytes(socket, block);
    return true;
}

void TConnectionManager::QueueBytes(SocketHandle socket, const QByteArray& bytes) {
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life == TLinkLife::Closing)
        return;
    // Group records sent before this one go first.
    if (!link->Groups.empty() && !TakeGroupShare(*link))
        return;
    const qsizetype n = bytes.size();
    if (link->Out.Pending() + n > kMaxQueuedBytes) {
        EndOverLimit(*link);
        return;
    }
    if (Policy.OverOutputBudget(n))
        ReclaimOutput(n);
    if (link->Life == TLinkLife::Closing)
        return;
    link->Out.Append(bytes);
    link->Urgent = true;
    Policy.NoteQueued(n);
    if (Sender.Link.Fd >= 0)
        Sender.Bytes += n;
    MarkDirty(*link);
}

void TConnectionManager::EndOverLimit(TLink& link) {
    EndLink(link,
            QStringLiteral("Connection %1 dropped: its unsent output passed %2 bytes")
                .arg(link.Fd())
                .arg(kMaxQueuedBytes),
            true);
}

void TConnectionManager::MarkDirty(TLink& link) {
    if (link.Write != TWriteState::Idle)
        return; // already waiting for the flush or for the socket
    link.Write = TWriteState::Queued;
    Dirty.push_back(link.Fd());
    ScheduleFlush();
}

void TConnectionManager::ScheduleFlush() {
    if (FlushScheduled)
        return;
    FlushScheduled = true;
    QMetaObject::invokeMethod(this, &TConnectionManager::Flush, Qt::QueuedConnection);
}

void TConnectionManager::Flush() {
    FlushScheduled = false;
    TakeAllGroupShares();
    std::vector<int> dirty;
    dirty.swap(Dirty);
    std::vector<int> gathering;
    const bool crowded = dirty.size() >= kGatherFromLinks;
    const int64_t now = Policy.Now();
    const bool batched = Engine->Path() == TSendPath::Uring;
    std::vector<TLink*> batch;
    qsizetype budget = std::max(kWriteBytesPerPass,
                                kWriteBytesPerWaitingLink * static_cast<qsizetype>(dirty.size()));
    // Short queues first, then the long ones in turn, as far as the pass's
    // share goes; those not reached go first in the next pass.
    for (const bool shortOnes : {true, false}) {
        for (int& fd : dirty) {
            TLink* link = Links.Find(fd);
            if (!link || link->Write != TWriteState::Queued) {
                fd = -1;
                continue;
            }
            if (shortOnes != (link->Out.Pending() <= kShortWrite) || budget <= 0)
                continue;
            if (crowded && !link->Urgent && link->Out.Pending() < kGatherBytes &&
                now - link->LastWriteUs < int64_t{kGatherMs} * 1000) {
                gathering.push_back(fd);
                fd = -1;
                continue;
            }
            fd = -1;
            if (batched && link->Io->WritesDirectly())
                batch.push_back(link);
            else
                WriteLink(*link, budget);
        }
        if (!batch.empty()) {
            WriteBatched(batch, budget);
            batch.clear();
        }
    }
    std::vector<int> rest;
    for (int fd : dirty)
        if (fd >= 0)
            rest.push_back(fd);
    Dirty.insert(Dirty.begin(), rest.begin(), rest.end());
    if (!Dirty.empty())
        ScheduleFlush();
    if (!gathering.empty()) {
        // Written by the next flush that is due anyway, at the latest when
        // the timer runs out.
        Dirty.insert(Dirty.end(), gathering.begin(), gathering.end());
        if (!GatherTimer->isActive())
            GatherTimer->start(kGatherMs);
    }
    DeliverReceipts();
}

qsizetype TConnectionManager::WriteAllowance(TLink& link, qsizetype budget) {
    if (link.Io->Handshaking()) {
        // Nothing flows before the handshake is done; the read that
        // finishes it queues the link again.
        SetWriteState(link, TWriteState::Idle);
        return -1;
    }
    // A link that has not logged on keeps no more than its share in the
    // socket either: the rest stays here, where the share check sees it.
    if (Events && !Events->IsLoggedOn(link.Handle()))
        return std::max<qsizetype>(0, std::min(budget, kUnloggedOutputShare - SocketQueued(link)));
    return budget;
}

void TConnectionManager::WriteLink(TLink& link, qsizetype& budget) {
    qsizetype allowance = WriteAllowance(link, budget);
    if (allowance < 0)
        return;
    const qsizetype before = budget;
    bool blocked = false;
    while (link.Out.Pending() > 0 && allowance > 0) {
        iovec parts[kGatherParts];
        const int count = link.Out.Gather(parts, kGatherParts, allowance);
        qsizetype offered = 0;
        for (int i = 0; i < count; ++i)
            offered += static_cast<qsizetype>(parts[i].iov_len);
        const TIoResult r = link.Io->Write(parts, count);
        if (r.Status == TIoStatus::Closed || r.Status == TIoStatus::Failed) {
            // The peer is gone; so is everything queued for it.
            EndLink(link, QString(), false);
            return;
        }
        if (r.Status == TIoStatus::WouldBlock || r.Bytes == 0) {
            blocked = true;
            break;
        }
        link.Out.Consume(r.Bytes);
        Policy.NoteUnqueued(r.Bytes);
        budget -= r.Bytes;
        allowance -= r.Bytes;
        link.Meter.StallSince = Policy.Now();
        if (r.Bytes < offered) {
            blocked = true; // the socket is full: no use asking again now
            break;
        }
    }
    AfterWrite(link, before - budget, blocked, budget);
}

void TConnectionManager::WriteBatched(const std::vector<TLink*>& links, qsizetype& budget) {
    struct TWork {
        TLink* Link;
        qsizetype Allowance;
        qsizetype Written = 0;
        qsizetype Offered = 0;
        bool Blocked = false;
        bool Gone = false;
    };
    std::vector<TWork> work;
    work.reserve(links.size());
    for (TLink* link : links) {
        const qsizetype allowance = WriteAllowance(*link, budget);
        if (allowance < 0)
            continue;
        work.push_back({link, allowance});
    }
    const auto done = [&](uint64_t tag, TIoResult r) {
        TWork& w = work[static_cast<size_t>(tag)];
        TLink& link = *w.Link;
        budget += w.Offered; // reserved when it was added
        if (r.Status == TIoStatus::Closed || r.Status == TIoStatus::Failed) {
            w.Gone = true;
            EndLink(link, QString(), false);
            return;
        }
        if (r.Status == TIoStatus::WouldBlock || r.Bytes == 0) {
            w.Blocked = true;
            return;
        }
        link.Out.Consume(r.Bytes);
        Policy.NoteUnqueued(r.Bytes);
        budget -= r.Bytes;
        w.Allowance -= r.Bytes;
        w.Written += r.Bytes;
        link.Meter.StallSince = Policy.Now();
        if (r.Bytes < w.Offered)
            w.Blocked = true; // the socket is full: no use asking again now
    };
    // Rounds: every link gets one send per round, so its bytes go in order;
    // a link whose socket took all it was offered goes again in the next.
    for (bool more = true; more;) {
        more = false;
        for (size_t i = 0; i < work.size(); ++i) {
            TWork& w = work[i];
            w.Offered = 0;
            if (w.Gone || w.Blocked || w.Link->Out.Pending() == 0 || w.Allowance <= 0 ||
                budget <= 0)
                continue;
            iovec* parts = Engine->NextParts();
            if (!parts) {
                Engine->Submit(done);
                parts = Engine->NextParts();
            }
            const int count =
                w.Link->Out.Gather(parts, TSendEngine::kParts, std::min(w.Allowance, budget));
            for (int p = 0; p < count; ++p)
                w.Offered += static_cast<qsizetype>(parts[p].iov_len);
            budget -= w.Offered;
            Engine->Add(w.Link->Fd(), count, i);
            more = true;
        }
        Engine->Submit(done);
    }
    for (TWork& w : work) {
        if (!w.Gone)
            AfterWrite(*w.Link, w.Written, w.Blocked, budget);
    }
}

void TConnectionManager::AfterWrite(TLink& link, qsizetype written, bool blocked,
                                    qsizetype budget) {
    CollectReceipts(link);
    Released(written);
    if (written > 0)
        link.LastWriteUs = Policy.Now();
    if (link.Out.Pending() == 0) {
        link.Urgent = false;
        SetWriteState(link, TWriteState::Idle);
    } else if (blocked)
        SetWriteState(link, TWriteState::Waiting);
    else if (budget > 0)
        SetWriteState(link, TWriteState::Held);
    else {
        SetWriteState(link, TWriteState::Queued); // out of this pass's share
        Dirty.push_back(link.Fd());
    }
    UpdateWriteInterest(link);
    if (link.Read == TReadState::Backlogged && !OutputBacklogged(link)) {
        link.Read = TReadState::Idle;
        Settle(link);
    }
    // Writing may have finished a handshake that took the peer's first
    // records in with it.
    if (link.Read == TReadState::Idle && link.Life != TLinkLife::Closing &&
        link.Io->HasPendingInput())
        QueueTurn(link);
}

void TConnectionManager::SetWriteState(TLink& link, TWriteState state) {
    const auto counted = [](TWriteState s) {
        return s == TWriteState::Waiting || s == TWriteState::Held;
    };
    WaitingLinks += (counted(state) ? 1 : 0) - (counted(link.Write) ? 1 : 0);
    if (state == TWriteState::Held && link.Write != TWriteState::Held) {
        HeldLinks.push_back(
            {{link.Fd(), link.Serial}, Policy.Now() + kHeldRetryMs * 1000, kHeldRetryMs});
        if (!HeldTimer->isActive() || HeldTimer->remainingTime() > kHeldRetryMs)
            HeldTimer->start(kHeldRetryMs);
    }
    link.Write = state;
    if (WaitingLinks > 0 && !ShareTimer->isActive())
        ShareTimer->start(kShareCheckMs);
    else if (WaitingLinks == 0)
        ShareTimer->stop();
}

qsizetype TConnectionManager::SocketQueued(const TLink& link) {
    int queued = 0;
    return ioctl(link.Fd(), SIOCOUTQ, &queued) == 0 ? queued : 0;
}

void TConnectionManager::UpdateWriteInterest(TLink& link) {
    const bool want = link.Life != TLinkLife::Closing &&
                      (link.Write == TWriteState::Waiting || link.Io->WantsWrite());
    link.EnableWrite(want);
}

void TConnectionManager::OnWriteReady(int fd) {
    TLink* link = Links.Find(fd);
    if (!link)
        return;
    if (link->Write == TWriteState::Waiting) {
        // Written with the others, within the pass's share.
        SetWriteState(*link, TWriteState::Queued);
        Dirty.push_back(fd);
        ScheduleFlush();
    } else if (link->Io->WantsWrite()) {
        // The front end's own progress (a handshake, its buffered output).
        const TIoResult r = link->Io->Write(nullptr, 0);
        if (r.Status == TIoStatus::Closed || r.Status == TIoStatus::Failed) {
            EndLink(*link, QString(), false);
            return;
        }
    }
    UpdateWriteInterest(*link);
    if (link->Read == TReadState::Idle && link->Io->HasPendingInput())
        QueueTurn(*link);
}

uint64_t TConnectionManager::QueuedOffset(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    return link ? link->Out.QueuedOffset() + static_cast<uint64_t>(GroupLogs.Pending(link->Groups))
                : 0;
}

void TConnectionManager::NotifyWhenWritten(SocketHandle socket, uint64_t offset) {
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life == TLinkLife::Closing)
        return;
    if (offset <= link->Out.WrittenOffset()) {
        DueReceipts.push_back({{link->Fd(), link->Serial}, offset});
        ScheduleFlush();
        return;
    }
    auto& r = link->Receipts;
    r.insert(std::upper_bound(r.begin(), r.end(), offset), offset);
}

void TConnectionManager::CollectReceipts(TLink& link) {
    auto& r = link.Receipts;
    const uint64_t written = link.Out.WrittenOffset();
    size_t n = 0;
    while (n < r.size() && r[n] <= written) {
        DueReceipts.push_back({{link.Fd(), link.Serial}, r[n]});
        ++n;
    }
    r.erase(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
}

void TConnectionManager::DeliverReceipts() {
    // After the writing, so the server may queue more from here.
    std::vector<std::pair<TLinkRef, uint64_t>> due;
    due.swap(DueReceipts);
    for (const auto& [ref, offset] : due) {
        const TLink* link = Links.Find(ref.Fd, ref.Serial);
        if (link && link->Life != TLinkLife::Closing && Events)
            Events->OutputWritten(link->Handle(), offset);
    }
}

qsizetype TConnectionManager::SendRoom(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life == TLinkLife::Closing)
        return 0;
    return std::max<qsizetype>(0, kMaxQueuedBytes - Unsent(*link));
}

qsizetype TConnectionManager::QueuedBytes(SocketHandle socket) const {
    const TLink* link = Links.Find(static_cast<int>(socket));
    return link ? Unsent(*link) : 0;
}

void TConnectionManager::ReclaimOutput(qsizetype adding) {
    TakeAllGroupShares(); // every queue as it stands
    // First what the sockets take now: a client that reads is no reason to
    // drop anybody.
    std::vector<int> dirty;
    dirty.swap(Dirty);
    qsizetype unlimited = kMaxQueuedBytes * 1024;
    for (int fd : dirty)
        if (TLink* link = Links.Find(fd); link && link->Write == TWriteState::Queued)
            WriteLink(*link, unlimited);
    if (!Policy.OverOutputBudget(adding))
        return;
    std::vector<TLinkPolicy::THolder> holders;
    Links.ForEach([&](TLink& link) {
        if (link.Life != TLinkLife::Closing && link.Out.Pending() > 0)
            holders.push_back(
                {link.Fd(), link.Out.Pending(), !Events || Events->IsLoggedOn(link.Handle())});
    });
    for (int fd : Policy.PickVictims(std::move(holders), adding)) {
        TLink& link = *Links.Find(fd);
        EndLink(link,
                QStringLiteral("Connection %1 dropped: %2 bytes unsent, over the output budget "
                               "of %3 bytes")
                    .arg(fd)
                    .arg(link.Out.Pending())
                    .arg(Policy.OutputBudget()),
                true);
    }
    if (!DueReceipts.empty())
        ScheduleFlush();
}

void TConnectionManager::CheckOutputShares() {
    std::vector<int> over;
    Links.ForEach([&](TLink& link) {
        if (link.Life == TLinkLife::Closing ||
            (link.Write != TWriteState::Waiting && link.Write != TWriteState::Held))
            return;
        const bool loggedOn = !Events || Events->IsLoggedOn(link.Handle());
        if (Policy.OverShare(link.Meter, Unsent(link) + SocketQueued(link), loggedOn)) {
            over.push_back(link.Fd());
        }
    });
    for (int fd : over) {
        TLink& link = *Links.Find(fd);
        EndLink(link,
                QStringLiteral("Connection %1 dropped: not logged on and not reading, %2 bytes "
                               "unsent")
                    .arg(fd)
                    .arg(Unsent(link) + SocketQueued(link)),
                true);
    }
}

void TConnectionManager::RetryHeld() {
    const int64_t now = Policy.Now();
    int64_t next = 0;
    std::vector<THeld> held;
    held.swap(HeldLinks);
    for (THeld& entry : held) {
        TLink* link = Links.Find(entry.Link.Fd, entry.Link.Serial);
        if (!link || link->Write != TWriteState::Held)
            continue;
        if (entry.DueUs <= now) {
            if (SocketQueued(*link) < kUnloggedOutputShare) {
                SetWriteState(*link, TWriteState::Queued);
                Dirty.push_back(entry.Link.Fd);
                ScheduleFlush();
                continue;
            }
            entry.IntervalMs = std::min(entry.IntervalMs * 2, kHeldRetryMaxMs);
            entry.DueUs = now + int64_t{entry.IntervalMs} * 1000;
        }
        next = next == 0 ? entry.DueUs : std::min(next, entry.DueUs);
        HeldLinks.push_back(entry);
    }
    if (next != 0)
        HeldTimer->start(static_cast<int>(std::max<int64_t>(1, (next - now + 999) / 1000)));
}

} // namespace kelvra
