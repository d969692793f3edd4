// Both send engines on socket pairs: results come back per send and in the
// order added, a full socket says so instead of waiting, a gone peer fails
// only its own send, and a batch larger than one submission is split.
#include "SendEngine.h"

#include <gtest/gtest.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

using namespace kelvra;

namespace {

struct TPair {
    int Ours = -1, Peer = -1;
    explicit TPair(int sendBuffer = 4096) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        Ours = ends[0];
        Peer = ends[1];
    }
    ~TPair() {
        ::close(Ours);
        if (Peer >= 0)
            ::close(Peer);
    }
    std::string Read() {
        std::string got;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(Peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            got.append(buffer, static_cast<size_t>(n));
        return got;
    }
};

class SendEngineTest : public ::testing::TestWithParam<TSendPath> {
protected:
    void SetUp() override {
        QString why;
        Engine = TSendEngine::Make(GetParam(), &why);
        if (GetParam() == TSendPath::Uring && Engine->Path() != TSendPath::Uring)
            GTEST_SKIP() << qPrintable(why);
    }
    void Add(int fd, const std::vector<std::string_view>& pieces, uint64_t tag) {
        iovec* parts = Engine->NextParts();
        ASSERT_NE(parts, nullptr);
        for (size_t i = 0; i < pieces.size(); ++i)
            parts[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
        Engine->Add(fd, static_cast<int>(pieces.size()), tag);
    }
    std::vector<std::pair<uint64_t, TIoResult>> Submit() {
        std::vector<std::pair<uint64_t, TIoResult>> results;
        Engine->Submit([&](uint64_t tag, TIoResult r) { results.push_back({tag, r}); });
        return results;
    }
    std::unique_ptr<TSendEngine> Engine;
};

TEST_P(SendEngineTest, EachSendGetsItsOwnResultInOrder) {
    TPair open, full, gone;
    const std::string filler(64 * 1024, 'x');
    Add(full.Ours, {filler}, 0);
    ASSERT_EQ(Submit().size(), 1u); // now nothing more fits
    ::close(gone.Peer);
    gone.Peer = -1;

    const std::vector<std::string_view> pieces = {"one", "-two-", "three"};
    Add(open.Ours, pieces, 7);
    Add(full.Ours, {"more"}, 8);
    Add(gone.Ours, {"lost"}, 9);
    const auto results = Submit();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].first, 7u);
    EXPECT_EQ(results[0].second.Status, TIoStatus::Ok);
    EXPECT_EQ(results[0].second.Bytes, 13);
    EXPECT_EQ(open.Read(), "one-two-three");
    EXPECT_EQ(results[1].first, 8u);
    EXPECT_EQ(results[1].second.Status, TIoStatus::WouldBlock);
    EXPECT_EQ(results[2].first, 9u);
    EXPECT_EQ(results[2].second.Status, TIoStatus::Failed);
    EXPECT_EQ(Engine->Size(), 0);
}

TEST_P(SendEngineTest, AFullBatchIsSubmittedBeforeMoreIsAdded) {
    constexpr int kPairs = 8;
    std::vector<std::unique_ptr<TPair>> pairs;
    for (int p = 0; p < kPairs; ++p)
        pairs.push_back(std::make_unique<TPair>(64 * 1024));
    std::vector<std::string> texts;
    for (int i = 0; i < TSendEngine::kBatch; ++i)
        texts.push_back(std::to_string(i) + ",");
    for (int i = 0; i < TSendEngine::kBatch; ++i)
        Add(pairs[static_cast<size_t>(i % kPairs)]->Ours, {texts[static_cast<size_t>(i)]},
            static_cast<uint64_t>(i));
    EXPECT_EQ(Engine->NextParts(), nullptr);
    const uint64_t calls = Engine->Calls();
    const auto results = Submit();
    ASSERT_EQ(results.size(), static_cast<size_t>(TSendEngine::kBatch));
    for (const auto& [tag, r] : results)
        EXPECT_EQ(r.Bytes, static_cast<qsizetype>(texts[tag].size()));
    // The ring hands the whole batch to the kernel at once.
    EXPECT_EQ(Engine->Calls() - calls,
              GetParam() == TSendPath::Uring ? 1u : static_cast<uint64_t>(TSendEngine::kBatch));
    // Sends to one socket are taken in the order added.
    for (int p = 0; p < kPairs; ++p) {
        std::string expected;
        for (int i = p; i < TSendEngine::kBatch; i += kPairs)
            expected += texts[static_cast<size_t>(i)];
        EXPECT_EQ(pairs[static_cast<size_t>(p)]->Read(), expected);
    }
    EXPECT_NE(Engine->NextParts(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Paths, SendEngineTest,
                         ::testing::Values(TSendPath::Plain, TSendPath::Uring),
                         [](const auto& info) { return SendPathName(info.param).toStdString(); });

TEST(SendPathTest, NamesAndUnknownValues) {
    bool ok = false;
    EXPECT_EQ(ParseSendPath(" URING ", &ok), TSendPath::Uring);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ParseSendPath("plain", &ok), TSendPath::Plain);
    EXPECT_EQ(ParseSendPath("", &ok), TSendPath::Auto);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ParseSendPath("fast", &ok), TSendPath::Auto);
    EXPECT_FALSE(ok);
}

} // namespace
