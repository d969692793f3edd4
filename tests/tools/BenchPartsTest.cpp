// The bench's in-place record scanner, its message stamp and its latency
// histogram: wrong counts here would make every measurement wrong.
#include "../../tools/bench/LatencyHistogram.h"
#include "../../tools/bench/MessageStamp.h"
#include "../../tools/bench/RecordScanner.h"

#include "PacketCodes.h"

#include <gtest/gtest.h>

#include <string>

using namespace kelvra;

namespace {

std::string Bytes(const TDataPacket& p) {
    return EncodePacket(p).toStdString();
}

std::string Text(const char* data, uint32_t size) {
    return std::string(data, size);
}

} // namespace

TEST(RecordScanner, TakesServerRecordsApartInPlaceAtAnyCut) {
    TDataPacket sent = MakePacket(KMC_CHATDATA, "lobby", "Nhello", true);
    const std::string one = Bytes(sent);
    const std::string two = one + Bytes(MakePacket(KMC_PING));
    TRecordScanner scanner;
    TRecordView v;

    ScanResult r = scanner.Next(two.data(), two.size(), v);
    ASSERT_EQ(r.Status, ScanStatus::Record);
    EXPECT_EQ(r.Consumed, one.size());
    EXPECT_EQ(v.Code, KMC_CHATDATA);
    EXPECT_EQ(Text(v.Param1, v.Param1Size), "lobby");
    EXPECT_EQ(Text(v.Param2, v.Param2Size), "Nhello");
    EXPECT_TRUE(v.Switch);
    EXPECT_GE(v.Param1, two.data()); // points into the buffer: nothing was copied
    EXPECT_LT(v.Param1, two.data() + two.size());

    r = scanner.Next(two.data() + one.size(), two.size() - one.size(), v);
    ASSERT_EQ(r.Status, ScanStatus::Record);
    EXPECT_EQ(v.Code, KMC_PING);
    EXPECT_EQ(v.Param1Size, 0u);
    EXPECT_FALSE(v.Switch);

    for (size_t cut = 0; cut < one.size(); ++cut)
        EXPECT_EQ(scanner.Next(one.data(), cut, v).Status, ScanStatus::NeedMore) << cut;
    EXPECT_EQ(scanner.SlowRecords, 0u);

    // A long text (the who-is-here notice of a big chat) in its 4-byte form.
    const std::string longText(300, 'u');
    const std::string big =
        Bytes(MakePacket(KMC_CHATDATA, "lobby", QByteArray::fromStdString(longText)));
    r = scanner.Next(big.data(), big.size(), v);
    ASSERT_EQ(r.Status, ScanStatus::Record);
    EXPECT_EQ(r.Consumed, big.size());
    EXPECT_EQ(Text(v.Param2, v.Param2Size), longText);
    EXPECT_EQ(scanner.Next(big.data(), big.size() - 1, v).Status, ScanStatus::NeedMore);
}

TEST(RecordScanner, OtherFormsAndGarbageGoThroughTheCodec) {
    TRecordScanner scanner;
    TRecordView v;
    // Version and From other than 0 and a code in the 32-bit form are legal, just not canonical.
    TDataPacket odd = MakePacket(KMC_JOINED, "lobby");
    odd.Version = 300;
    odd.From = 7;
    std::string bytes = Bytes(odd);
    ScanResult r = scanner.Next(bytes.data(), bytes.size(), v);
    ASSERT_EQ(r.Status, ScanStatus::Record);
    EXPECT_EQ(v.Code, KMC_JOINED);
    EXPECT_EQ(Text(v.Param1, v.Param1Size), "lobby");
    EXPECT_EQ(scanner.SlowRecords, 1u);

    // Garbage before a record is skipped up to the record's start.
    const std::string ping = Bytes(MakePacket(KMC_PING));
    bytes = "junk" + ping;
    r = scanner.Next(bytes.data(), bytes.size(), v);
    ASSERT_EQ(r.Status, ScanStatus::Garbage);
    EXPECT_EQ(r.Consumed, 4u);
    r = scanner.Next(bytes.data() + 4, bytes.size() - 4, v);
    ASSERT_EQ(r.Status, ScanStatus::Record);
    EXPECT_EQ(v.Code, KMC_PING);

    // A wrong flag byte is not canonical; the codec decides (it reads as false).
    bytes = ping;
    bytes[bytes.size() - 2] = 0x01;
    r = scanner.Next(bytes.data(), bytes.size(), v);
    EXPECT_EQ(r.Status, ScanStatus::Record);
    EXPECT_FALSE(v.Switch);
}

TEST(MessageStamp, RoundTripsAndRejectsForeignText) {
    char text[kStampSize];
    WriteStamp(text, 0x0123456789abcdefull, 0xbeef);
    uint64_t ns = 0;
    uint32_t sender = 0;
    ASSERT_TRUE(ReadStamp(text, ns, sender));
    EXPECT_EQ(ns, 0x0123456789abcdefull);
    EXPECT_EQ(sender, 0xbeefu);

    WriteStamp(text, 5, 0);
    ASSERT_TRUE(ReadStamp(text, ns, sender));
    EXPECT_EQ(ns, 5u);
    EXPECT_EQ(sender, 0u);

    const char foreign[] = "hello everybody, hi!";
    EXPECT_FALSE(ReadStamp(foreign, ns, sender));
}

TEST(LatencyHistogram, QuantilesAreUpperBucketEdges) {
    TLatencyHistogram h;
    EXPECT_EQ(h.QuantileNs(0.5), 0u);
    for (int ms = 1; ms <= 100; ++ms)
        h.Add(static_cast<int64_t>(ms) * 1'000'000);
    EXPECT_EQ(h.Count(), 100u);
    EXPECT_EQ(h.QuantileNs(0.50), 50'010'000u);
    EXPECT_EQ(h.QuantileNs(0.99), 99'010'000u);
    EXPECT_EQ(h.QuantileNs(1.0), 100'010'000u);

    // Past two seconds the buckets are 10 ms wide; negative clock skew counts as 0.
    h.Add(3'004'000'000);
    h.Add(-5);
    EXPECT_EQ(h.QuantileNs(1.0), 3'010'000'000u);
    EXPECT_EQ(h.QuantileNs(0.001), 10'000u);
    h.Add(INT64_MAX);
    EXPECT_EQ(h.QuantileNs(1.0), TLatencyHistogram::kCoarseLimitNs);
}
