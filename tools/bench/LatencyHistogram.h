#pragma once
// Delivery latencies in fixed buckets, so recording one costs an increment:
// 10 us buckets up to 2 s, then 10 ms buckets up to 1000 s, then one overflow.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

class TLatencyHistogram {
public:
    static constexpr uint64_t kFineNs = 10'000;
    static constexpr uint64_t kFineLimitNs = 2'000'000'000;
    static constexpr uint64_t kCoarseNs = 10'000'000;
    static constexpr uint64_t kCoarseLimitNs = 1'000'000'000'000;
    static constexpr size_t kFineBuckets = kFineLimitNs / kFineNs;
    static constexpr size_t kBuckets =
        kFineBuckets + (kCoarseLimitNs - kFineLimitNs) / kCoarseNs + 1;

    TLatencyHistogram() : Counts(kBuckets, 0) {}

    void Add(int64_t latencyNs) {
        const uint64_t ns = latencyNs < 0 ? 0 : static_cast<uint64_t>(latencyNs);
        ++Counts[BucketOf(ns)];
        ++Total;
    }

    uint64_t Count() const { return Total; }

    // The upper edge of the bucket holding the q-quantile (0 < q <= 1), in ns:
    // never below the true value, at most one bucket above it. 0 when empty.
    uint64_t QuantileNs(double q) const {
        if (Total == 0)
            return 0;
        uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(Total) + 0.999999);
        if (rank < 1)
            rank = 1;
        if (rank > Total)
            rank = Total;
        uint64_t seen = 0;
        for (size_t i = 0; i < Counts.size(); ++i) {
            seen += Counts[i];
            if (seen >= rank)
                return UpperEdge(i);
        }
        return UpperEdge(Counts.size() - 1);
    }

    static size_t BucketOf(uint64_t ns) {
        if (ns < kFineLimitNs)
            return static_cast<size_t>(ns / kFineNs);
        if (ns < kCoarseLimitNs)
            return kFineBuckets + static_cast<size_t>((ns - kFineLimitNs) / kCoarseNs);
        return kBuckets - 1;
    }

    static uint64_t UpperEdge(size_t bucket) {
        if (bucket < kFineBuckets)
            return (bucket + 1) * kFineNs;
        if (bucket < kBuckets - 1)
            return kFineLimitNs + (bucket - kFineBuckets + 1) * kCoarseNs;
        return kCoarseLimitNs;
    }

private:
    std::vector<uint64_t> Counts;
    uint64_t Total = 0;
};

} // namespace kelvra
