#pragma once
// How the writes of one flush reach the kernel. The plain engine makes one
// sendmsg per link as it is added; the ring engine collects a batch of
// vectored sends and submits it with one system call (io_uring), for links
// whose front end writes straight to its descriptor. Either way every send
// is non-blocking and its result is known when Submit returns, so a link
// never has more than one write under way and its bytes stay in order.
#include "LinkIo.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <sys/uio.h>
#include <vector>

namespace kelvra {

enum class TSendPath {
    Auto,  // the ring where the kernel allows it, else plain
    Uring, // the ring (plain, with a note, where the kernel refuses it)
    Plain, // one sendmsg per link and pass
};

// "auto", "uring", "plain" (any case); nullopt-like Auto with ok=false otherwise.
TSendPath ParseSendPath(const QString& text, bool* ok = nullptr);
QString SendPathName(TSendPath path);

class TSendEngine {
public:
    // Gather entries of one send.
    static constexpr int kParts = 256;
    // Sends per submission.
    static constexpr int kBatch = 256;

    virtual ~TSendEngine() = default;
    // The engine for the path; why says why a ring was asked for and not made.
    static std::unique_ptr<TSendEngine> Make(TSendPath path, QString* why = nullptr);

    // Uring or Plain: what is in use.
    virtual TSendPath Path() const = 0;
    // Room for the next send's gather list (kParts entries); nullptr when the
    // batch is full and must be submitted first.
    iovec* NextParts() {
        return Count < kBatch ? &Parts[static_cast<size_t>(Count) * kParts] : nullptr;
    }
    // Queues a send of the first count entries of NextParts() on fd; tag
    // comes back with its result. The bytes must stay put until Submit returns.
    void Add(int fd, int count, uint64_t tag);
    int Size() const { return Count; }
    // Performs what was added and reports each result, in the order added.
    void Submit(const std::function<void(uint64_t tag, TIoResult result)>& done);
    // System calls the engine made for sends since it began.
    uint64_t Calls() const { return SendCalls; }
    // One send of the parts on fd, without waiting, again after a signal.
    static TIoResult SendNow(int fd, const iovec* parts, int count);

protected:
    TSendEngine();
    struct TEntry {
        int Fd = -1;
        int Count = 0;
        uint64_t Tag = 0;
        TIoResult Result;
    };
    // Fills Entries[i].Result for every entry.
    virtual void Run() = 0;
    const iovec* PartsOf(int i) const { return &Parts[static_cast<size_t>(i) * kParts]; }

    std::vector<iovec> Parts;
    std::vector<TEntry> Entries;
    int Count = 0;
    uint64_t SendCalls = 0;
};

} // namespace kelvra
