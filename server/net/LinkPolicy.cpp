#include "LinkPolicy.h"

#include <algorithm>
#include <chrono>

namespace kelvra {

namespace {

constexpr int64_t kUsPerSecond = 1'000'000;

template <class T> T OrDefault(T value, T fallback) {
    return value > 0 ? value : fallback;
}

} // namespace

int64_t TLinkPolicy::SteadyClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TLinkPolicy::TLinkPolicy(TClock clock) : Clock(std::move(clock)) {}

void TLinkPolicy::SetLimits(const TLinkLimits& limits) {
    const TLinkLimits d;
    L.PendingInputBudget = OrDefault(limits.PendingInputBudget, d.PendingInputBudget);
    L.RecordTimeLimitSeconds = OrDefault(limits.RecordTimeLimitSeconds, d.RecordTimeLimitSeconds);
    L.ReadRate = OrDefault(limits.ReadRate, d.ReadRate);
    L.FanOutRate = OrDefault(limits.FanOutRate, d.FanOutRate);
    L.OutputBudget = std::max<qsizetype>(limits.OutputBudget, 0);
}

qsizetype TLinkPolicy::OutputBudget() const {
    if (L.OutputBudget > 0)
        return L.OutputBudget;
    return std::max(TLinkLimits::kDefaultOutputBudget,
                    OpenLinks * TLinkLimits::kOutputBudgetPerLink);
}

void TLinkPolicy::Open(TLinkMeter& m) const {
    m.ReadTokens = L.ReadRate;
    m.FanOutTokens = L.FanOutRate;
    m.TokensAt = Clock();
    m.StallSince = m.TokensAt;
}

void TLinkPolicy::Refill(TLinkMeter& m) const {
    const int64_t now = Clock();
    // A long pause fills the buckets; the cap also keeps the products in range.
    const int64_t elapsed = std::clamp<int64_t>(now - m.TokensAt, 0, 2 * kUsPerSecond);
    m.ReadTokens =
        std::min<int64_t>(L.ReadRate, m.ReadTokens + elapsed * L.ReadRate / kUsPerSecond);
    m.FanOutTokens =
        std::min<int64_t>(L.FanOutRate, m.FanOutTokens + elapsed * L.FanOutRate / kUsPerSecond);
    m.TokensAt = now;
}

void TLinkPolicy::ChargeRead(TLinkMeter& m, qsizetype bytes) {
    Refill(m);
    m.ReadTokens -= bytes;
}

void TLinkPolicy::ChargeFanOut(TLinkMeter& m, qsizetype bytes) {
    Refill(m);
    m.FanOutTokens -= bytes;
}

int64_t TLinkPolicy::PauseUs(TLinkMeter& m) {
    Refill(m);
    auto wait = [](int64_t tokens, qsizetype rate) -> int64_t {
        return tokens >= 0 ? 0 : (-tokens) * kUsPerSecond / rate + 1;
    };
    return std::max(wait(m.ReadTokens, L.ReadRate), wait(m.FanOutTokens, L.FanOutRate));
}

bool TLinkPolicy::CountPending(TLinkMeter& m, qsizetype pending, qsizetype lastRead) {
    if (pending == 0) {
        ForgetPending(m);
        return true;
    }
    // The record began with the read that brought its first byte: now, when
    // all of it came with the last read; otherwise the clock stays.
    if (m.PendingSince < 0 || pending <= lastRead)
        m.PendingSince = Clock();
    const qsizetype before = m.PendingCounted;
    PendingBytes += pending - before;
    m.PendingCounted = pending;
    return pending <= before || PendingBytes <= L.PendingInputBudget;
}

void TLinkPolicy::ForgetPending(TLinkMeter& m) {
    PendingBytes -= m.PendingCounted;
    m.PendingCounted = 0;
    m.PendingSince = -1;
}

void TLinkPolicy::StartAgeClock(TLinkMeter& m) const {
    if (m.PendingSince < 0)
        m.PendingSince = Clock();
}

bool TLinkPolicy::TooOld(const TLinkMeter& m) const {
    return m.PendingSince >= 0 &&
           Clock() - m.PendingSince > int64_t{L.RecordTimeLimitSeconds} * kUsPerSecond;
}

int TLinkPolicy::AgeCheckIntervalMs() const {
    // Often enough that a connection goes within an eighth of the limit after it.
    return std::clamp(L.RecordTimeLimitSeconds * 1000 / 8, 50, 1000);
}

bool TLinkPolicy::OverShare(const TLinkMeter& m, qsizetype queued, bool loggedOn) const {
    return !loggedOn && queued > kUnloggedShare && Clock() - m.StallSince >= kStallUs;
}

std::vector<int> TLinkPolicy::PickVictims(std::vector<THolder> holders, qsizetype adding) const {
    // Down to seven eighths of the budget, so that the next drops are not
    // needed at the very next record.
    const qsizetype budget = OutputBudget();
    const qsizetype target = budget - budget / 8;
    qsizetype total = QueuedBytes + adding;
    auto rank = [](const THolder& h) { return !h.LoggedOn && h.Queued > kUnloggedShare ? 0 : 1; };
    std::sort(holders.begin(), holders.end(), [&](const THolder& a, const THolder& b) {
        return rank(a) != rank(b) ? rank(a) < rank(b) : a.Queued > b.Queued;
    });
    std::vector<int> victims;
    for (const THolder& h : holders) {
        if (total <= target)
            break;
        victims.push_back(h.Fd);
        total -= h.Queued;
    }
    return victims;
}

} // namespace kelvra
