// The service's channel handlers driven pass by pass: the memory report
// with its parts from the workers and the service thread, its "-BUSY", an
// asker that leaves and a part that never comes; the client listings of
// networks without client lists and of a network that is not the service's.
#include <gtest/gtest.h>

#include <algorithm>

#include "server/admit_test_support.h"

namespace admit_test {
namespace {

class ChanHandlers : public AdmitFixture {
  protected:
    void MakeWithNets() {
        Make(false);
        auto a = std::make_unique<KeepNetwork>(u"A");
        auto b = std::make_unique<KeepNetwork>(u"B");
        netB = b.get();
        svc->AddNetwork(std::move(a));
        svc->AddNetwork(std::move(b));
        Sync();
    }
    TestCtx* CommandContext() {
        Connect(std::string("\x7F\x00\x00\x01", 4), 50000, true);
        return svc->commands.back();
    }
    static std::string Answers(TestCtx* c) {
        std::lock_guard<std::mutex> l(c->answerLock);
        return c->answers;
    }
    static TQORSVCCtxRef Ref(TestCtx* c) { return {c, c->CtxGlobalKey()}; }
    // The service thread's turn: its part of a report goes into the server queue.
    void ServiceThreadTurn() {
        TQORRoleScope role(kServiceThread);
        svc->trMainQueueBatch();
    }
    static std::vector<std::string> Lines(const std::string& aText) {
        std::vector<std::string> out;
        size_t at = 0;
        while (at < aText.size()) {
            const size_t end = aText.find("\r\n", at);
            out.push_back(aText.substr(at, end - at));
            at = end == std::string::npos ? aText.size() : end + 2;
        }
        return out;
    }
    static bool Has(const std::vector<std::string>& aLines, const std::string& aPrefix) {
        return std::any_of(aLines.begin(), aLines.end(),
                           [&](const std::string& l) { return l.rfind(aPrefix, 0) == 0; });
    }

    KeepNetwork* netB = nullptr;
};

TEST_F(ChanHandlers, MemoryReportGathersEveryPartSortedAndASecondAskerIsBusy) {
    Make();
    TestCtx* c1 = CommandContext();
    TestCtx* c2 = CommandContext();
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c1));
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c2));
    Pass();
    EXPECT_EQ(Answers(c2), "-BUSY\r\n");
    // The workers answer by themselves; without the service thread's part
    // the report waits.
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(Answers(c1), "");

    ServiceThreadTurn();
    ASSERT_TRUE(PumpUntil([&] { return !Answers(c1).empty(); }));
    const std::vector<std::string> lines = Lines(Answers(c1));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "+" + std::to_string(lines.size() - 1)) << Answers(c1);
    EXPECT_TRUE(std::is_sorted(lines.begin() + 1, lines.end())) << Answers(c1);
    EXPECT_TRUE(Has(lines, "Global/timer: TotalContexts=2")) << Answers(c1);
    EXPECT_TRUE(Has(lines, "Global/main: f_MainQueue=")) << Answers(c1);
    EXPECT_TRUE(Has(lines, "Listener: lisBldU=")) << Answers(c1);
    for (size_t w = 0; w < Workers().size(); ++w)
        EXPECT_TRUE(Has(lines, "Worker[00" + std::to_string(w) + "]: f_WorkerQueue=")) << w;

    // Finished: the next asker gets a report of its own.
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c2));
    Pass();
    ServiceThreadTurn();
    ASSERT_TRUE(PumpUntil([&] { return Answers(c2).size() > 7; }));
    EXPECT_EQ(Answers(c2).substr(0, 8), "-BUSY\r\n+") << Answers(c2);
}

TEST_F(ChanHandlers, AskerThatLeftFreesTheReportAndAMissingPartEndsItAfterFiveSeconds) {
    Make();
    TestCtx* c1 = CommandContext();
    TestCtx* c2 = CommandContext();
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c1));
    Pass();
    // The asker leaves before the service thread's part came.
    ::shutdown(peers.front(), SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmCommandContextCount.load() == 1; }));
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c2));
    Pass();
    EXPECT_EQ(Answers(c2), "");  // not "-BUSY": the first report was forgotten

    // The service thread's parts for both requests arrive; only the running
    // report's generation counts, and each line is kept once.
    ServiceThreadTurn();
    ASSERT_TRUE(PumpUntil([&] { return !Answers(c2).empty(); }));
    const std::vector<std::string> lines = Lines(Answers(c2));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.rfind("Global/main: f_trSBU=", 0) == 0;
                            }),
              1)
        << Answers(c2);

    // A part that never comes (the service thread does not run): the report
    // ends at its time limit with what it has.
    TestCtx* c3 = CommandContext();
    svc->Poster().ServQueue_ChannelMemoryReportRequest(Ref(c3));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(Answers(c3), "");
    AdvanceSeconds(5);
    const std::vector<std::string> late = Lines(Answers(c3));
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(late[0], "+" + std::to_string(late.size() - 1));
    EXPECT_TRUE(Has(late, "Global/timer: TotalContexts="));
    EXPECT_FALSE(Has(late, "Global/main: "));
    ServiceThreadTurn();  // its late part is dropped
    Pass();
}

TEST_F(ChanHandlers, ListingsOfNetworksWithoutClientListsAndOfAForeignNetwork) {
    MakeWithNets();
    TestCtx* c = CommandContext();
    svc->Poster().ServQueue_ChannelListServer(Ref(c));
    Pass();
    EXPECT_EQ(Answers(c), "+4\r\n01A0000\r\n0\r\n01B0000\r\n0\r\n");

    const size_t whole = Answers(c).size();
    svc->Poster().ServQueue_ChannelListNet(netB, Ref(c));
    Pass();
    EXPECT_EQ(Answers(c).substr(whole), "+2\r\n01B0000\r\n0\r\n");
    const size_t both = Answers(c).size();

    KeepNetwork foreign(u"X");
    svc->Poster().ServQueue_ChannelListNet(&foreign, Ref(c));
    Pass();
    EXPECT_EQ(Answers(c).substr(both), "-NONET\r\n");
}

}  // namespace
}  // namespace admit_test
