#pragma once
// What a connection may make the server hold or do, apart from the sockets:
// incomplete input (a budget for all connections together and an age per
// connection), the read rate, the fan-out a sender causes, and unsent output
// (per connection and in all). The socket layer asks; this class counts.
// Time comes from an injected monotonic clock.
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelvra {

struct TLinkLimits {
    // Bytes of incomplete records held for all connections together.
    static constexpr qsizetype kDefaultPendingInputBudget = 64 * 1024 * 1024;
    // Seconds an incomplete record (or a handshake) may take.
    static constexpr int kDefaultRecordTimeLimitSeconds = 30;
    // Bytes per second read from one connection.
    static constexpr qsizetype kDefaultReadRate = 8 * 1024 * 1024;
    // Bytes per second one sender's records may queue to others (relayed
    // bytes times recipients).
    static constexpr qsizetype kDefaultFanOutRate = 32 * 1024 * 1024;
    // Unsent output of all connections together. Unless a budget is set
    // (OutputBudget 0), it is kDefaultOutputBudget or kOutputBudgetPerLink
    // for each open connection, whichever is more: a login storm of 20,000
    // keeps about a gigabyte counted as unsent (a newcomer's user list alone
    // is a megabyte, shared, not copied), and a fixed 256 MiB then makes the
    // server write a few bytes to every link at every record past it, or
    // drop clients that merely lag.
    static constexpr qsizetype kDefaultOutputBudget = 256 * 1024 * 1024;
    static constexpr qsizetype kOutputBudgetPerLink = 64 * 1024;

    qsizetype PendingInputBudget = kDefaultPendingInputBudget;
    int RecordTimeLimitSeconds = kDefaultRecordTimeLimitSeconds;
    qsizetype ReadRate = kDefaultReadRate;
    qsizetype FanOutRate = kDefaultFanOutRate;
    qsizetype OutputBudget = 0; // 0: the default, growing with the connections
};

// One connection's share of the counting.
struct TLinkMeter {
    // Token buckets, one second deep, refilled together.
    int64_t ReadTokens = 0;
    int64_t FanOutTokens = 0;
    int64_t TokensAt = 0; // us
    // Incomplete input counted in the total, and since when it waits (-1: none).
    qsizetype PendingCounted = 0;
    int64_t PendingSince = -1;
    // Since when its unsent output waits for the socket (or last moved).
    int64_t StallSince = 0;
};

class TLinkPolicy {
public:
    using TClock = std::function<int64_t()>; // monotonic microseconds

    // A client whose unsent output would grow past this is dropped.
    static constexpr qsizetype kMaxQueuedPerLink = 4 * 1024 * 1024;
    // What a connection that has not logged on may hold unsent while its
    // socket takes nothing for kStallUs.
    static constexpr qsizetype kUnloggedShare = 64 * 1024;
    static constexpr int64_t kStallUs = 2'000'000;

    explicit TLinkPolicy(TClock clock = SteadyClockUs);
    static int64_t SteadyClockUs();
    void SetClock(TClock clock) { Clock = std::move(clock); }

    // A value of 0 or less restores the default.
    void SetLimits(const TLinkLimits& limits);
    const TLinkLimits& Limits() const { return L; }
    int64_t Now() const { return Clock(); }

    void Open(TLinkMeter& m) const;

    // Read rate and fan-out.
    void ChargeRead(TLinkMeter& m, qsizetype bytes);
    void ChargeFanOut(TLinkMeter& m, qsizetype bytes);
    // How long the connection must wait before it is read or served again;
    // 0 when it may go on now.
    int64_t PauseUs(TLinkMeter& m);

    // Incomplete input: `pending` bytes wait now, of which the last read
    // brought `lastRead`. False when this connection's growth takes the total
    // past the budget.
    bool CountPending(TLinkMeter& m, qsizetype pending, qsizetype lastRead);
    void ForgetPending(TLinkMeter& m);
    // A handshake counts against the age limit like an incomplete record.
    void StartAgeClock(TLinkMeter& m) const;
    bool TooOld(const TLinkMeter& m) const;
    qsizetype PendingTotal() const { return PendingBytes; }
    // How often the connections holding input should be looked at.
    int AgeCheckIntervalMs() const;

    // Unsent output.
    void NoteQueued(qsizetype bytes) { QueuedBytes += bytes; }
    void NoteUnqueued(qsizetype bytes) { QueuedBytes -= bytes; }
    qsizetype QueuedTotal() const { return QueuedBytes; }
    // Every connection gone at once.
    void ResetTotals() { PendingBytes = QueuedBytes = 0; }
    bool OverOutputBudget(qsizetype adding) const { return QueuedBytes + adding > OutputBudget(); }
    // The budget now: the one set, or the default for this many connections.
    qsizetype OutputBudget() const;
    void SetOpenLinks(qsizetype count) { OpenLinks = count; }
    void NoteOutputWaits(TLinkMeter& m) const { m.StallSince = Clock(); }
    // A connection that has not logged on, holds more than its share and
    // whose socket took nothing for a while.
    bool OverShare(const TLinkMeter& m, qsizetype queued, bool loggedOn) const;

    struct THolder {
        int Fd = -1;
        qsizetype Queued = 0;
        bool LoggedOn = true;
    };
    // The connections to drop, in order, so that `adding` more bytes fit with
    // room to spare: those not logged on holding more than their share first,
    // then the largest holders.
    std::vector<int> PickVictims(std::vector<THolder> holders, qsizetype adding) const;

private:
    void Refill(TLinkMeter& m) const;

    TClock Clock;
    TLinkLimits L;
    qsizetype PendingBytes = 0;
    qsizetype QueuedBytes = 0;
    qsizetype OpenLinks = 0;
};

} // namespace kelvra
