// The bench's in-place record scanner, its message stamp and its latency
// histogram: wrong counts here would make every measurement wrong.
#include "../../tools/bench/LatencyHistogram.h"
#include "../../tools/bench/MessageStamp.h"
#include "../../tools/bench/RecordScanner.h"
#include "../../tools/bench/WebSocketFrames.h"

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

TEST(WebSocketFrames, UpgradeAnswerIsCheckedAgainstTheKey) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string error;
    EXPECT_TRUE(WebSocketAccepted("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                  "sec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
                                  key, error));
    EXPECT_FALSE(WebSocketAccepted("HTTP/1.1 101 Switching Protocols\r\n"
                                   "Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n",
                                   key, error));
    EXPECT_FALSE(WebSocketAccepted("HTTP/1.1 403 Forbidden\r\n", key, error));
    EXPECT_NE(error.find("403 Forbidden"), std::string::npos);
}

TEST(WebSocketFrames, PayloadsComeOutOfServerFramesAtAnyCut) {
    // A server's frames are not masked: the client's framing with the mask
    // taken off again gives them.
    auto serverFrame = [](uint8_t opcode, const std::string& payload) {
        std::string f;
        AppendWebSocketFrame(f, opcode, payload.data(), payload.size(), 0);
        f[1] = static_cast<char>(f[1] & 0x7F);
        f.erase(f.size() - payload.size() - 4, 4);
        return f;
    };
    const std::string big(70000, 'b');
    const std::string stream = serverFrame(kWsBinary, "first") + serverFrame(kWsPing, "p!") +
                               serverFrame(kWsBinary, std::string(300, 'm')) +
                               serverFrame(kWsBinary, big);
    const std::string expected = "first" + std::string(300, 'm') + big;
    for (size_t cut : {size_t(1), size_t(3), size_t(7), size_t(4096), stream.size()}) {
        TWebSocketReader reader;
        std::string got;
        for (size_t at = 0; at < stream.size(); at += cut) {
            std::string piece = stream.substr(at, cut);
            got.append(piece.data(), reader.Unwrap(piece.data(), piece.size()));
        }
        EXPECT_EQ(got, expected) << cut;
        EXPECT_EQ(reader.Pings, std::vector<std::string>{"p!"}) << cut;
        EXPECT_TRUE(reader.Error.empty()) << reader.Error;
    }
    TWebSocketReader reader;
    std::string close = serverFrame(kWsClose, "");
    reader.Unwrap(close.data(), close.size());
    EXPECT_FALSE(reader.Error.empty());

    // What the client sends unmasks to what was given.
    std::string masked;
    AppendWebSocketFrame(masked, kWsBinary, big.data(), big.size(), 0x12345678);
    ASSERT_EQ(masked.size(), 2 + 8 + 4 + big.size());
    EXPECT_EQ(static_cast<unsigned char>(masked[1]), 0x80 | 127);
    const char* mask = masked.data() + 10;
    for (size_t i = 0; i < big.size(); ++i)
        ASSERT_EQ(masked[14 + i] ^ mask[i & 3], 'b');
}
