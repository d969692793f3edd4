#pragma once
// One client connection as the socket layer holds it: its front end, the
// poller watching its descriptor, its input being decoded, its unsent output,
// its meters, and where it stands on each side.
#include "DataPacket.h"
#include "GroupLog.h"
#include "LinkIo.h"
#include "LinkPolicy.h"
#include "LinkPoller.h"
#include "OutBuffer.h"
#include "Transport.h"
#include "WireCodec.h"

#include <QString>
#include <memory>
#include <vector>

namespace kelvra {

// Whether the connection still counts.
enum class TLinkLife {
    Open,       // its records are read and handled
    Discarding, // its user record ended: what arrives is thrown away
    Closing,    // it goes at the next pass: nothing more is read or written
};

// The input side, one turn at a time.
enum class TReadState {
    Idle,        // waits for its descriptor to be readable
    Dispatching, // its records are being handled now
    Queued,      // has more to do without waiting: served in the next pass
    Paused,      // over its read rate or fan-out: a timer resumes it
    Backlogged,  // not logged on and holding its output share: read again
                 // once its peer takes the output
};

// The output side.
enum class TWriteState {
    Idle,    // nothing queued, or all of it written
    Queued,  // bytes wait for the next flush
    Waiting, // the socket took what it could: write readiness is watched
    Held,    // not logged on, and its share already sits in the socket: looked
             // at again by the share check or when the link is served
};

struct TLink {
    TLink(std::unique_ptr<ILinkIo> io, uint64_t serial) : Io(std::move(io)), Serial(serial) {}

    int Fd() const { return Io->Fd(); }
    SocketHandle Handle() const { return static_cast<SocketHandle>(Io->Fd()); }
    void EnableRead(bool on) {
        if (Poller)
            Poller->SetRead(Fd(), on);
    }
    void EnableWrite(bool on) {
        if (Poller)
            Poller->SetWrite(Fd(), on);
    }
    // Nothing more is reported for its descriptor (before it is closed).
    void Unwatch() {
        if (Poller)
            Poller->Forget(Fd());
        Poller = nullptr;
    }

    std::unique_ptr<ILinkIo> Io;
    uint64_t Serial;               // tells this link from a later one on the same descriptor
    TLinkPoller* Poller = nullptr; // while its descriptor is watched

    TLinkLife Life = TLinkLife::Open;
    TReadState Read = TReadState::Idle;
    TWriteState Write = TWriteState::Idle;

    TStreamDecoder Decoder;
    // Records decoded but not yet handled (a sender paused for its fan-out).
    std::vector<TDataPacket> Ready;
    qsizetype LastReadBytes = 0;
    // Place in the list of links the age check walks; -1 when not in it.
    int AgeSlot = -1;

    TOutBuffer Out;
    // Something was queued for it alone (an answer, a relay): written in the
    // next pass, never held back to gather more.
    bool Urgent = false;
    int64_t LastWriteUs = 0;
    // Its place in the logs of the groups that sent in this pass: records
    // not yet in Out.
    std::vector<TGroupCursor> Groups;
    // Stream offsets whose writing someone waits for, ascending.
    std::vector<uint64_t> Receipts;
    TLinkMeter Meter;
    // Shown in the socket error log when a Closing link goes; empty for none.
    QString CloseReason;
    // Ended in order (the peer closed, or a limit): the front end says goodbye.
    bool OrderlyClose = false;
};

// Links by descriptor: descriptors are small integers, so a plain array
// indexed by them is the cheapest lookup there is.
class TLinkTable {
public:
    TLink* Find(int fd) const {
        return fd >= 0 && static_cast<size_t>(fd) < Slots.size()
                   ? Slots[static_cast<size_t>(fd)].get()
                   : nullptr;
    }
    // The link on fd only if it is still the one with that serial.
    TLink* Find(int fd, uint64_t serial) const {
        TLink* link = Find(fd);
        return link && link->Serial == serial ? link : nullptr;
    }
    void Insert(std::unique_ptr<TLink> link);
    std::unique_ptr<TLink> Take(int fd);
    void Clear();
    int Count() const { return Live; }
    template <class F> void ForEach(F&& f) {
        for (auto& slot : Slots)
            if (slot)
                f(*slot);
    }

private:
    std::vector<std::unique_ptr<TLink>> Slots;
    int Live = 0;
};

// A link named across passes of the event loop.
struct TLinkRef {
    int Fd = -1;
    uint64_t Serial = 0;
};

} // namespace kelvra
