// The server-queue dispatcher: the batch of 32, the alive test of command
// answers, one raising record among others, and where each kind of record
// goes (the service, the receiver network, the network of a context).
#include <gtest/gtest.h>

#include "server/admit_test_support.h"

namespace admit_test {
namespace {

class Dispatcher : public AdmitFixture {
  protected:
    void MakeWithNets() {
        Make(false);
        auto a = std::make_unique<KeepNetwork>(u"A");
        auto b = std::make_unique<KeepNetwork>(u"B");
        netA = a.get();
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
    static std::vector<Cmd> Cmds(const KeepNetwork* n) {
        std::vector<Cmd> v;
        for (const auto& r : n->got) v.push_back(r->nqr_Cmd);
        return v;
    }

    KeepNetwork* netA = nullptr;
    KeepNetwork* netB = nullptr;
};

TEST_F(Dispatcher, FortyRecordsAreHandledAs32Then8) {
    Make();
    for (int i = 0; i < 40; ++i) svc->Poster().ServQueue_MutesListChanged();
    Pass();
    EXPECT_EQ(svc->Poster().ServQueue().Count(), 8);
    Pass();
    EXPECT_EQ(svc->Poster().ServQueue().Count(), 0);
}

TEST_F(Dispatcher, AnswersReachOnlyTheLiveContextWithItsKey) {
    Make();
    TestCtx* c = CommandContext();
    const TQORGlobalKey key = c->CtxGlobalKey();
    svc->Poster().ServQueue_ChannelAnswerText(c, key + 1, "stale key\r\n");
    svc->Poster().ServQueue_ChannelAnswerText(c, key, "+OK\r\n");
    svc->Poster().ServQueue_ChannelManagersList({c, key});
    Pass();
    EXPECT_EQ(Answers(c), "+OK\r\n+0\r\n");

    // The context ends; an answer still on its way must not touch it.
    const int peer = peers.back();
    ::shutdown(peer, SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmCommandContextCount.load() == 0; }));
    svc->Poster().ServQueue_ChannelAnswerText(c, key, "late\r\n");
    svc->Poster().ServQueue_ChannelThreads({c, key});
    Pass();  // under ASan a write to the freed context fails here
    EXPECT_EQ(svc->tmCommandContextCount.load(), 0);
}

TEST_F(Dispatcher, ARaisingRecordIsLoggedAndTheBatchGoesOn) {
    Make();
    TestCtx* c = CommandContext();
    const TQORGlobalKey key = c->CtxGlobalKey();
    svc->Poster().ServQueue_ChannelAnswerText(c, key, "one\r\n");
    svc->Poster().ServQueue_ChannelAnswerText(c, key, "raise");
    svc->Poster().ServQueue_ChannelAnswerText(c, key, "two\r\n");
    Pass();
    EXPECT_EQ(Answers(c), "one\r\ntwo\r\n");
    EXPECT_TRUE(Logged("ERROR: Timer: Heartbeat loop: Exception: answer writer broke"));
}

TEST_F(Dispatcher, ThreadsAnswerCountsContextsLessTheAskingOne) {
    Make();
    Connect(kAddrA);
    Connect(kAddrA);
    TestCtx* c = CommandContext();  // on the second worker
    ASSERT_TRUE(PumpUntil([&] { return c->CtxWorker() != nullptr; }));
    svc->Poster().ServQueue_ChannelThreads({c, c->CtxGlobalKey()});
    Pass();
    EXPECT_EQ(Answers(c), "+2\r\n2\r\n0\r\n");
}

TEST_F(Dispatcher, RecordsGoToTheirNetworks) {
    MakeWithNets();
    auto& p = svc->Poster();
    p.ServQueue_ChannelAdmin("id1", netB, true);                  // receiver network
    p.ServQueue_ChannelNetworkLogLevel(netA, 3);                  // receiver network
    p.ServQueue_ChannelDisconnectNetworkClient(netA, "id2", {});  // with a client id
    p.ServQueue_ChannelDisconnectNetworkClient(netB, "", {});     // all of one network
    Pass();
    EXPECT_EQ(Cmds(netA), (std::vector<Cmd>{Cmd::snc_ChannelNetworkLogLevel,
                                           Cmd::snc_ChannelDisconnectNetworkClient}));
    EXPECT_EQ(Cmds(netB), (std::vector<Cmd>{Cmd::snc_ChannelAdmin, Cmd::snc_NetOwnerDisconnectAll}));
    netA->got.clear();
    netB->got.clear();

    // Without a network: undefined clients end, every network disconnects all.
    Connect(kAddrA);
    ASSERT_TRUE(PumpUntil([&] { return svc->clients[0]->started.load(); }));
    p.ServQueue_ChannelDisconnectNetworkClient(nullptr, "", {});
    Pass();
    EXPECT_EQ(Cmds(netA), std::vector<Cmd>{Cmd::snc_NetOwnerDisconnectAll});
    EXPECT_EQ(Cmds(netB), std::vector<Cmd>{Cmd::snc_NetOwnerDisconnectAll});
    EXPECT_EQ(svc->clients[0]->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ByOwner);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmClientContextCount.load() == 0; }));
}

TEST_F(Dispatcher, ListUpdatesSplitPerNetworkAndMarkTheSave) {
    MakeWithNets();
    for (const bool save : {false, true}) {
        netA->got.clear();
        netB->got.clear();
        TQORSVCListArray lists(2);
        lists[0].Number = 10;
        lists[1].Number = 11;
        svc->Poster().ServQueue_UpdateModesList(std::move(lists), save);
        Pass();
        ASSERT_EQ(netA->got.size(), 1u);
        ASSERT_EQ(netB->got.size(), 1u);
        EXPECT_EQ(netA->got[0]->nqr_ListArray[0].Number, 10);
        EXPECT_EQ(netB->got[0]->nqr_ListArray[0].Number, 11);
        EXPECT_EQ(netB->got[0]->nqr_DataI0, save ? 1 : 0);
        // A save shows as a modes snapshot in the main queue.
        EXPECT_EQ(svc->Poster().MainQueue().Count(), save ? 1 : 0) << save;
    }
}

TEST_F(Dispatcher, HandshakeHandsTheClientToItsNetworkWhichGetsItsCommands) {
    MakeWithNets();
    Connect(kAddrA);
    Connect(kAddrA);
    TestCtx* in = svc->clients[0];
    TestCtx* out = svc->clients[1];
    svc->handshakeNet = netB;
    svc->Poster().ServQueue_HandshakeClient(CtxRefOf(in));
    Pass();
    svc->handshakeNet = nullptr;
    svc->Poster().ServQueue_HandshakeClient(CtxRefOf(out));
    Pass();
    EXPECT_EQ(Cmds(netB), std::vector<Cmd>{Cmd::snc_HandshakeClient});
    EXPECT_EQ(out->DisconnectCauseR(), TQORSVCDisconnectCause::fsdc_ServerError);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmClientContextCount.load() == 1; }));
    // A network command of the adopted client goes to its network; its
    // disconnect too.
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = Cmd::snc_TxRequest;
    rec->nqr_Context = in;
    rec->nqr_GlobalKey = in->CtxGlobalKey();
    svc->Poster().ServQueue().Push(std::move(rec));
    Pass();
    ::shutdown(peers[0], SHUT_RDWR);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmClientContextCount.load() == 0; }));
    EXPECT_EQ(Cmds(netB), (std::vector<Cmd>{Cmd::snc_HandshakeClient, Cmd::snc_TxRequest,
                                           Cmd::snc_ClientDisconnected}));
}

// A context lent to the heartbeat goes back in the item its worker made for
// it, so a stop that sends it back while no work item can be made still has
// its worker end it, and the books empty.
TEST_F(Dispatcher, ALentContextGoesBackAtAStopWhenNoWorkItemCanBeMade) {
    Make();
    Connect(kAddrA);
    TestCtx* c = svc->clients[0];
    ASSERT_TRUE(PumpUntil([&] { return c->started.load(); }));
    c->lend.store(true);
    ASSERT_EQ(::send(peers[0], "x", 1, MSG_NOSIGNAL), 1);  // a step, after which it is lent
    ASSERT_TRUE(PumpUntil([&] { return svc->TalkersReadByHeartbeat() == 1; }));
    TQORSVCWorker::TestItemsFail.store(true);
    {
        TQORRoleScope role(kHeartbeat);
        svc->Poster().ServQueue_AbortAllWorkers();
    }
    const bool ended = PumpUntil(
        [&] { return svc->tmWorkerCount.load() == 0 && svc->tmClientContextCount.load() == 0; });
    TQORSVCWorker::TestItemsFail.store(false);
    EXPECT_TRUE(ended);
    EXPECT_EQ(svc->TalkersReadByHeartbeat(), 0);
    EXPECT_TRUE(ClosedWithoutByte(peers[0]));
}

// A lent context that the books do not hold (here a command context, which
// the client books never list) cannot be served in any network: its worker
// ends it, the peer sees the close and the worker's slot comes back.
TEST_F(Dispatcher, ALentContextTheBooksDoNotHoldIsEndedByItsWorker) {
    Make();
    TestCtx* c = CommandContext();
    ASSERT_TRUE(PumpUntil([&] { return c->started.load(); }));
    c->lend.store(true);
    ASSERT_EQ(::send(peers.back(), "x", 1, MSG_NOSIGNAL), 1);
    ASSERT_TRUE(PumpUntil([&] { return svc->tmCommandContextCount.load() == 0; }));
    EXPECT_TRUE(Logged("ERROR: talker hand-over: context not found"));
    EXPECT_TRUE(ClosedWithoutByte(peers.back()));
    EXPECT_EQ(Held(), std::vector<int>{0});
}

}  // namespace
}  // namespace admit_test
