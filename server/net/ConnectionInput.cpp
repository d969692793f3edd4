// Reading links and handing their records to the server, one turn per link
// and pass of the event loop, within each link's limits.
#include "ConnectionManager.h"

#include <QTimer>

#include <algorithm>

namespace kelvra {

namespace {

// At most so many records of a link handled in one pass (and one read of at
// most kReadChunk bytes): a busy client gets its turn like everyone else,
// and the others wait for one short turn of it at most. What a read brings
// beyond that is handled in the following passes.
constexpr size_t kRecordsPerPass = 64;

} // namespace

void TConnectionManager::OnReadReady(int fd) {
    TLink* link = Links.Find(fd);
    if (!link)
        return;
    // Level-triggered: a link that is handled otherwise (its records being
    // handled inside a modal loop, a turn queued, a pause) would fire again
    // at once. Settle turns it back on.
    if (link->Read != TReadState::Idle) {
        link->EnableRead(false);
        return;
    }
    Serve(*link);
}

void TConnectionManager::Serve(TLink& link) {
    // Each read is decoded before any of its records is handled, so a handler
    // that enters an event loop (a modal box) cannot pull the decoder, the
    // read buffer or the link away from under the decoding.
    const TLinkRef ref{link.Fd(), link.Serial};
    link.Read = TReadState::Idle;
    const TInput input = link.Ready.empty() ? TakeInput(link) : TInput::Ok;
    if (input == TInput::Gone)
        return;
    if (!DispatchReady(link))
        return;
    TLink* still = Links.Find(ref.Fd, ref.Serial);
    if (!still)
        return;
    if (input == TInput::OverBudget) {
        EndLink(*still,
                QStringLiteral("Connection %1 dropped: incomplete records over the budget of %2 "
                               "bytes")
                    .arg(ref.Fd)
                    .arg(Policy.Limits().PendingInputBudget),
                true);
        return;
    }
    Settle(*still);
    if (still->Write == TWriteState::Held) {
        // Held for its share: it may have logged on now.
        SetWriteState(*still, TWriteState::Queued);
        Dirty.push_back(ref.Fd);
    }
    if (!Dirty.empty())
        ScheduleFlush();
}

TConnectionManager::TInput TConnectionManager::TakeInput(TLink& link) {
    const auto stamp = [&link] {
        for (TDataPacket& record : link.Ready)
            record.From = static_cast<int32_t>(link.Fd());
    };
    if (link.Decoder.HasBacklog()) {
        // Whole records of an earlier read: handled even when the link no
        // longer counts, as the rest of that read.
        link.Decoder.Decode(nullptr, 0, link.Ready, kRecordsPerPass);
        stamp();
    } else {
        const TIoResult r = link.Io->Read(ReadBuffer.get(), kReadChunk);
        if (r.Status == TIoStatus::Closed || r.Status == TIoStatus::Failed) {
            // Plain speech on an encrypted port and the like: say why it went.
            const QString reason =
                r.Status == TIoStatus::Failed && link.Io->Handshaking()
                    ? QStringLiteral("Connection %1 dropped: its %2 handshake failed")
                          .arg(link.Fd())
                          .arg(link.Io->Kind().toUpper())
                    : QString();
            EndLink(link, reason, r.Status == TIoStatus::Closed);
            return TInput::Gone;
        }
        // A front end that must write to go on (a handshake's answer the
        // socket could not take) is woken by the descriptor turning writable;
        // output queued during a handshake goes once it is done.
        if (link.Io->WantsWrite())
            UpdateWriteInterest(link);
        if (link.Write == TWriteState::Idle && link.Out.Pending() > 0 && !link.Io->Handshaking())
            MarkDirty(link);
        link.LastReadBytes = r.Bytes;
        UpdateWriteInterest(link); // a front end may need to answer (a handshake)
        if (r.Bytes > 0) {
            Policy.ChargeRead(link.Meter, r.Bytes);
            // Data on a link whose record has ended is discarded. The records
            // of one read are all handled, even after a quit among them.
            if (link.Life == TLinkLife::Open && (!Events || !Events->HasUser(link.Handle())))
                link.Life = TLinkLife::Discarding;
            if (link.Life == TLinkLife::Open) {
                link.Decoder.Decode(ReadBuffer.get(), r.Bytes, link.Ready, kRecordsPerPass);
                stamp();
            }
        }
    }
    if (link.Decoder.HasBacklog())
        return TInput::Ok;
    if (link.Life != TLinkLife::Open) {
        link.Decoder.Reset(); // never read again: its incomplete record goes
        ForgetPending(link);
        return TInput::Ok;
    }
    if (AccountPending(link))
        return TInput::Ok;
    // Its incomplete record goes now; what it completed before is handled.
    link.Decoder.Reset();
    ForgetPending(link);
    link.Life = TLinkLife::Discarding;
    return TInput::OverBudget;
}

bool TConnectionManager::AccountPending(TLink& link) {
    bool fits = true;
    if (link.Io->Handshaking())
        Policy.StartAgeClock(link.Meter);
    else
        fits = Policy.CountPending(link.Meter, link.Decoder.PendingBytes(), link.LastReadBytes);
    if (link.Meter.PendingSince >= 0)
        JoinAgeList(link);
    else
        LeaveAgeList(link);
    return fits;
}

void TConnectionManager::ForgetPending(TLink& link) {
    const qsizetype counted = link.Meter.PendingCounted;
    Policy.ForgetPending(link.Meter);
    Released(counted);
    LeaveAgeList(link);
}

void TConnectionManager::JoinAgeList(TLink& link) {
    if (link.AgeSlot >= 0)
        return;
    link.AgeSlot = static_cast<int>(AgeLinks.size());
    AgeLinks.push_back(link.Fd());
    if (!AgeTimer->isActive())
        AgeTimer->start(Policy.AgeCheckIntervalMs());
}

void TConnectionManager::LeaveAgeList(TLink& link) {
    const int slot = link.AgeSlot;
    if (slot < 0)
        return;
    link.AgeSlot = -1;
    const int last = AgeLinks.back();
    AgeLinks.pop_back();
    if (static_cast<size_t>(slot) < AgeLinks.size()) {
        AgeLinks[static_cast<size_t>(slot)] = last;
        Links.Find(last)->AgeSlot = slot;
    }
    if (AgeLinks.empty())
        AgeTimer->stop();
}

void TConnectionManager::CheckAges() {
    std::vector<int> old;
    for (int fd : AgeLinks)
        if (Policy.TooOld(Links.Find(fd)->Meter))
            old.push_back(fd);
    const int limit = Policy.Limits().RecordTimeLimitSeconds;
    for (int fd : old) {
        TLink& link = *Links.Find(fd);
        const QString what = link.Io->Handshaking()
                                 ? QStringLiteral("handshake not finished within %2 s")
                                 : QStringLiteral("incomplete record older than %2 s");
        EndLink(link, QStringLiteral("Connection %1 dropped: ").arg(fd) + what.arg(limit), true);
    }
}

bool TConnectionManager::DispatchReady(TLink& link) {
    if (link.Ready.empty())
        return true;
    const TLinkRef ref{link.Fd(), link.Serial};
    std::vector<TDataPacket> records;
    records.swap(link.Ready);
    link.Read = TReadState::Dispatching;
    const TSender outer = Sender;
    const bool logging = Log.LogsTraffic();
    for (size_t i = 0; i < records.size(); ++i) {
        Sender = {ref, 0};
        if (logging)
            Log.LogPacket(records[i], false);
        if (Events)
            Events->Dispatch(records[i]);
        // Closed meanwhile: the rest belongs to nobody (a new link may
        // already have the descriptor).
        TLink* current = Links.Find(ref.Fd, ref.Serial);
        if (!current) {
            Sender = outer;
            return false;
        }
        Policy.ChargeFanOut(current->Meter, Sender.Bytes);
        // A sender past its fan-out waits with the rest, so that the members
        // can take what it made them.
        if (i + 1 < records.size() && current->Life != TLinkLife::Closing &&
            current->Meter.FanOutTokens < 0) {
            current->Ready.assign(std::make_move_iterator(records.begin() + i + 1),
                                  std::make_move_iterator(records.end()));
            break;
        }
    }
    Sender = outer;
    Links.Find(ref.Fd)->Read = TReadState::Idle;
    return true;
}

void TConnectionManager::Settle(TLink& link) {
    if (link.Life == TLinkLife::Closing || link.Read != TReadState::Idle)
        return;
    if (const int64_t waitUs = Policy.PauseUs(link.Meter); waitUs > 0) {
        Pause(link, waitUs);
        return;
    }
    if (OutputBacklogged(link)) {
        link.Read = TReadState::Backlogged; // WriteLink resumes it
        link.EnableRead(false);
        return;
    }
    if (!link.Ready.empty() || link.Decoder.HasBacklog() || link.Io->HasPendingInput()) {
        QueueTurn(link);
        return;
    }
    link.EnableRead(true);
}

bool TConnectionManager::OutputBacklogged(const TLink& link) const {
    return (link.Write == TWriteState::Held || Unsent(link) > kUnloggedOutputShare) && Events &&
           !Events->IsLoggedOn(link.Handle());
}

void TConnectionManager::Pause(TLink& link, int64_t waitUs) {
    link.Read = TReadState::Paused;
    link.EnableRead(false);
    ++Throttles;
    if (link.Meter.FanOutTokens < 0)
        ++FanOutPauses;
    const int64_t wakeAt = Policy.Now() + waitUs;
    PausedLinks.push_back({{link.Fd(), link.Serial}, wakeAt});
    const int waitMs = static_cast<int>((waitUs + 999) / 1000);
    if (!PauseTimer->isActive() || PauseTimer->remainingTime() > waitMs)
        PauseTimer->start(waitMs);
}

void TConnectionManager::WakePaused() {
    const int64_t now = Policy.Now();
    int64_t next = 0;
    std::vector<TLinkRef> due;
    auto keep = PausedLinks.begin();
    for (const auto& entry : PausedLinks) {
        const TLink* link = Links.Find(entry.first.Fd, entry.first.Serial);
        if (!link || link->Read != TReadState::Paused)
            continue;
        if (entry.second <= now) {
            due.push_back(entry.first);
            continue;
        }
        next = next == 0 ? entry.second : std::min(next, entry.second);
        *keep++ = entry;
    }
    PausedLinks.erase(keep, PausedLinks.end());
    if (next != 0)
        PauseTimer->start(static_cast<int>((next - now + 999) / 1000));
    for (const TLinkRef& ref : due)
        if (TLink* link = Links.Find(ref.Fd, ref.Serial);
            link && link->Read == TReadState::Paused) {
            link->Read = TReadState::Idle;
            Settle(*link);
        }
}

void TConnectionManager::QueueTurn(TLink& link) {
    link.Read = TReadState::Queued;
    link.EnableRead(false);
    Turns.push_back({link.Fd(), link.Serial});
    if (!TurnsScheduled) {
        TurnsScheduled = true;
        QMetaObject::invokeMethod(this, &TConnectionManager::ServeTurns, Qt::QueuedConnection);
    }
}

void TConnectionManager::ServeTurns() {
    TurnsScheduled = false;
    std::vector<TLinkRef> due;
    due.swap(Turns);
    for (const TLinkRef& ref : due)
        if (TLink* link = Links.Find(ref.Fd, ref.Serial); link && link->Read == TReadState::Queued)
            Serve(*link);
}

void TConnectionManager::StopReading(SocketHandle socket) {
    TLink* link = Links.Find(static_cast<int>(socket));
    if (!link || link->Life != TLinkLife::Open)
        return;
    link->Life = TLinkLife::Discarding;
    // Records of a read already taken are still handled; an incomplete one
    // will never be.
    if (!link->Decoder.HasBacklog()) {
        link->Decoder.Reset();
        ForgetPending(*link);
    }
}

} // namespace kelvra
