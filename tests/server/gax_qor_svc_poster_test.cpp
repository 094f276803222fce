#include "server/gax_qor_svc_poster.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "server/svc_test_support.h"

using namespace gax;
using namespace svc_test;

namespace {

struct World {
    FakeCtx ctx{7001};
    FakeCtx cmd{7002};
    FakeNet net1{1};
    FakeNet net2{2};
    FakeWorker wrk1{1};
    FakeWorker wrk2{2};
    int frees = 0;

    std::string Name(TQORSVCHandle h) const {
        const std::map<std::string, TQORSVCHandle> known = {{"ctx", &ctx},   {"cmd", &cmd},
                                                            {"net1", &net1}, {"net2", &net2},
                                                            {"wrk1", &wrk1}, {"wrk2", &wrk2}};
        for (const auto& [name, handle] : known)
            if (handle == h) return name;
        return "?";
    }

    // Every field that is not empty, null or 0, so an expectation names the
    // fields that were set and implies that all others stayed clear.
    std::string Describe(const TQORSVCNetQueueRecord& r) const {
        std::string s(ServNetworkCommandInfo(r.nqr_Cmd).Name.begin(),
                      ServNetworkCommandInfo(r.nqr_Cmd).Name.end());
        if (r.nqr_Context) s += " ctx=" + Name(r.nqr_Context);
        if (r.nqr_SenderObj) s += " sender=" + Name(r.nqr_SenderObj);
        if (r.nqr_ReceiverObj) s += " recv=" + Name(r.nqr_ReceiverObj);
        if (!r.nqr_ListArray.empty()) s += " lists=" + std::to_string(r.nqr_ListArray.size());
        if (!r.nqr_DataS1.empty()) s += " S1=" + r.nqr_DataS1;
        if (!r.nqr_DataS2.empty()) s += " S2=" + r.nqr_DataS2;
        if (!r.nqr_DataS3.empty()) s += " S3=" + r.nqr_DataS3;
        if (r.nqr_GlobalKey) s += " key=" + std::to_string(r.nqr_GlobalKey);
        if (r.nqr_Socket) s += " sock=" + std::to_string(r.nqr_Socket);
        if (r.nqr_DataI0) s += " I0=" + std::to_string(r.nqr_DataI0);
        if (r.nqr_DataI1) s += " I1=" + std::to_string(r.nqr_DataI1);
        if (r.nqr_DataI2) s += " I2=" + std::to_string(r.nqr_DataI2);
        return s;
    }

    TQORSVCListArray TwoLists() { return TwoCountedLists(frees); }
};

struct PostCase {
    const char* expected;
    int interrupts;
    std::function<void(TQORSVCPoster&, World&)> post;
};

using Mode = TQORSVCMemoryReportReadyEvent;
using IFC = TQORSVCInternalFlagsQueueCommand;

// Distinct values per argument, so a value in the wrong field shows.
const PostCase kPostCases[] = {
    {"snc_UpdateAdminsList lists=3 I0=1", 0,
     [](auto& p, auto& w) { p.ServQueue_UpdateAdminsList(w.TwoLists(), true); }},
    {"snc_UpdateMutesList lists=3", 0,
     [](auto& p, auto& w) { p.ServQueue_UpdateMutesList(w.TwoLists(), false); }},
    {"snc_UpdateBlocksList lists=3 I0=1", 0,
     [](auto& p, auto& w) { p.ServQueue_UpdateBlocksList(w.TwoLists(), true); }},
    {"snc_UpdateRightsList lists=3 I0=1", 0,
     [](auto& p, auto& w) { p.ServQueue_UpdateRightsList(w.TwoLists(), true); }},
    {"snc_UpdateModesList lists=2 I0=1", 0,
     [](auto& p, auto&) {
         TQORSVCListArray a(2);
         a[1].Number = 0x101;
         p.ServQueue_UpdateModesList(std::move(a), true);
     }},
    {"snc_UpdateNoticesList lists=3 I0=1", 0,
     [](auto& p, auto& w) { p.ServQueue_UpdateNoticesList(w.TwoLists(), true); }},
    {"snc_AdminsListChanged", 1, [](auto& p, auto&) { p.ServQueue_AdminsListChanged(); }},
    {"snc_MutesListChanged", 1, [](auto& p, auto&) { p.ServQueue_MutesListChanged(); }},
    {"snc_BlocksListChanged", 1, [](auto& p, auto&) { p.ServQueue_BlocksListChanged(); }},
    {"snc_RightsListChanged", 1, [](auto& p, auto&) { p.ServQueue_RightsListChanged(); }},
    {"snc_ModesListChanged", 1, [](auto& p, auto&) { p.ServQueue_ModesListChanged(); }},
    {"snc_NoticesListChanged", 1, [](auto& p, auto&) { p.ServQueue_NoticesListChanged(); }},
    {"snc_OwnerInfoChanged", 1, [](auto& p, auto&) { p.ServQueue_OwnerInfoChanged(); }},
    {"snc_ChannelMute recv=net1 S2=id-a I0=30 I1=1", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelMute("id-a", &w.net1, 30, true); }},
    {"snc_ChannelBlock recv=net2 S2=id-b I0=40", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelBlock("id-b", &w.net2, 40, false); }},
    {"snc_ChannelAdmin recv=net1 S1=id-c I0=1", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelAdmin("id-c", &w.net1, true); }},
    {"snc_ChannelRight recv=net2 S1=a@b I0=1", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelRightAddDel("a@b", &w.net2, true); }},
    {"snc_ChannelRightMark recv=net1 S1=c@d I0=1", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelRightMarkUnmark("c@d", &w.net1, true); }},
    {"snc_ChannelRightNoticeSet recv=net1 S1=ansi S2=utf8", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelRightNoticeSet("ansi", "utf8", &w.net1); }},
    {"snc_ChannelRightNoticeSet recv=net2", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelRightNoticeClear(&w.net2); }},
    // Clearing a notice is the same record as setting two empty texts.
    {"snc_ChannelRightNoticeSet recv=net2", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelRightNoticeSet("", "", &w.net2); }},
    {"snc_ChannelConnectListedOnly ctx=cmd recv=net1 key=7002 I0=2", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelConnectListedOnly(&w.net1, 2, CtxRefOf(&w.cmd)); }},
    {"snc_ChannelTalkMarkedOnly ctx=cmd recv=net2 key=7002 I0=3", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelTalkMarkedOnly(&w.net2, 3, CtxRefOf(&w.cmd)); }},
    {"snc_ChannelListNet ctx=cmd recv=net1 key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelListNet(&w.net1, CtxRefOf(&w.cmd)); }},
    {"snc_ChannelListServer ctx=cmd key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelListServer(CtxRefOf(&w.cmd)); }},
    {"snc_ChannelThreads ctx=cmd key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelThreads(CtxRefOf(&w.cmd)); }},
    {"snc_ChannelFlushData ctx=cmd key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelFlushData(CtxRefOf(&w.cmd)); }},
    {"snc_ChannelManagersList ctx=cmd key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelManagersList(CtxRefOf(&w.cmd)); }},
    {"snc_ChannelMemoryReportRequest ctx=cmd key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelMemoryReportRequest(CtxRefOf(&w.cmd)); }},
    {"snc_ChannelServerManagerMode I0=2", 1,
     [](auto& p, auto&) { p.ServQueue_ChannelServerManagerMode(smm_Light); }},
    {"snc_ChannelNetworkManagerMode recv=net2 I0=3", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelNetworkManagerMode(&w.net2, smm_QOR); }},
    {"snc_ChannelNetworkLogLevel recv=net1 I0=6", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelNetworkLogLevel(&w.net1, 6); }},
    {"snc_ContextMoveClient ctx=ctx recv=net2 S1=id-d key=7001 I0=90", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ContextMoveClient(CtxRefOf(&w.ctx), &w.net2, "id-d", 90);
     }},
    {"snc_ChannelMoveClient ctx=cmd sender=net1 recv=net2 S1=id-e key=7002 I0=120", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelMoveClient(CtxRefOf(&w.cmd), &w.net1, &w.net2, "id-e", 120);
     }},
    {"snc_MoveClientAutoBack ctx=ctx sender=net2 recv=net1 key=7001", 1,
     [](auto& p, auto& w) { p.ServQueue_MoveClientAutoBack(CtxRefOf(&w.ctx), &w.net2, &w.net1); }},
    {"snc_ChannelCommandAnswer ctx=cmd S1=+OK\r\n key=4242", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelAnswerText(&w.cmd, 4242, "+OK\r\n"); }},
    {"snc_ChannelDisconnectManagerIdx ctx=cmd key=7002 I0=3", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelDisconnectManagerIdx(3, CtxRefOf(&w.cmd)); }},
    {"snc_ChannelDisconnectManagerAddrPort ctx=cmd S1=mgr.example key=7002 I0=10025", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelDisconnectManagerAddrPort("mgr.example", 10025, CtxRefOf(&w.cmd));
     }},
    {"snc_ChannelDisconnectNetworkClient ctx=cmd recv=net1 S1=id-f key=7002", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelDisconnectNetworkClient(&w.net1, "id-f", CtxRefOf(&w.cmd));
     }},
    {"snc_ChannelDisconnectNetworkClient ctx=cmd key=7002", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelDisconnectNetworkClient(nullptr, "", CtxRefOf(&w.cmd));
     }},
    {"snc_ChannelInternalFlags ctx=cmd recv=net2 S1=id-g key=7002 I0=1 I1=12 I2=4", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelInternalFlags(&w.net2, "id-g", IFC::fsifqc_InternalFlagsSet, 12, 4,
                                          CtxRefOf(&w.cmd));
     }},
    {"snc_ChannelManagerLogLevel ctx=cmd key=7002 I0=2 I1=5", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelManagerLogLevel(2, 5, CtxRefOf(&w.cmd)); }},
    {"snc_ChannelManagerAuthEnableDisable ctx=cmd key=7002 I0=1 I1=1", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ChannelManagerAuthEnableDisable(1, true, CtxRefOf(&w.cmd));
     }},
    {"snc_ChannelSendHugeSound ctx=cmd recv=net1 S1=id-h key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_ChannelSendHugeSound(CtxRefOf(&w.cmd), &w.net1, "id-h"); }},
    // A negative socket keeps the discard of the record from closing anything here.
    {"snc_ServConnectCommand S1=\x7f\x01 I0=-5 I1=50000", 1,
     [](auto& p, auto&) { p.ServQueue_ConnectCommand(-5, "\x7f\x01", 50000); }},
    {"snc_ServConnectClient S1=\x0a\x02 I0=-6 I1=60000", 1,
     [](auto& p, auto&) { p.ServQueue_ConnectClient(-6, "\x0a\x02", 60000); }},
    {"snc_HandshakeClient ctx=ctx key=7001", 1,
     [](auto& p, auto& w) { p.ServQueue_HandshakeClient(CtxRefOf(&w.ctx)); }},
    {"snc_HandshakeError ctx=ctx S1=BLOCK key=7001", 1,
     [](auto& p, auto& w) { p.ServQueue_HandshakeError(CtxRefOf(&w.ctx), "BLOCK"); }},
    {"snc_ClientDisconnected ctx=ctx sender=wrk1 key=7001", 1,
     [](auto& p, auto& w) { p.ServQueue_ClientContextDisconnected(CtxRefOf(&w.ctx), &w.wrk1); }},
    {"snc_CommandDisconnected ctx=cmd sender=wrk2 key=7002", 1,
     [](auto& p, auto& w) { p.ServQueue_CommandContextDisconnected(CtxRefOf(&w.cmd), &w.wrk2); }},
    {"snc_ManagerAnswer ctx=ctx recv=net2 S2=mgr-id key=9009 sock=5 I0=1 I1=2 I2=17", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ManagerAnswer(&w.net2, &w.ctx, 9009, TClientErrorType::cet_OK, 2, "mgr-id", 17,
                                   5);
     }},
    {"snc_ManagerConfirmEmail S1=CC:block I0=6", 1,
     [](auto& p, auto&) { p.ServQueue_ManagerConfirmEmail("CC:block", 6); }},
    {"snc_ManagerOnOffLine I0=3 I1=1", 1,
     [](auto& p, auto&) { p.ServQueue_ManagerChangeActive(3, true); }},
    {"snc_ManagerThreadStartStop sender=wrk2 I0=2 I1=1", 1,
     [](auto& p, auto& w) { p.ServQueue_ManagerThreadStartStop(&w.wrk2, 2, true); }},
    {"snc_ServWorkerStartHot", 1, [](auto& p, auto&) { p.ServQueue_WorkerStartHot(); }},
    {"snc_ServWorkerRejectedContex recv=wrk2", 1,
     [](auto& p, auto& w) { p.ServQueue_WorkerRejectedContex(&w.wrk2); }},
    {"snc_ServWorkerWillAcceptContext ctx=ctx sender=wrk1 recv=wrk2 key=7001", 1,
     [](auto& p, auto& w) {
         p.ServQueue_WorkerWillAcceptContext(&w.wrk1, &w.wrk2, CtxRefOf(&w.ctx));
     }},
    {"snc_ServWorkerIdle sender=wrk1", 1,
     [](auto& p, auto& w) { p.ServQueue_WorkerIdle(&w.wrk1); }},
    {"snc_ServWorkerTerminated sender=wrk2", 1,
     [](auto& p, auto& w) { p.ServQueue_WorkerTerminated(&w.wrk2); }},
    {"snc_ServStopDisconnectAll", 1, [](auto& p, auto&) { p.ServQueue_ServerStopDisconnectAll(); }},
    {"snc_ApplyServIntFlags lists=1", 1,
     [](auto& p, auto& w) {
         p.ServQueue_ApplyServIntFlags(std::make_unique<CountedList>(w.frees));
     }},
    {"snc_MemoryReportAnswerLine S1=f_Queue=88", 1,
     [](auto& p, auto&) { p.ServQueue_MemoryReportAnswerLine("f_Queue=88"); }},
    {"snc_MemoryReportAnswerReadyEvent sender=wrk1 I0=2", 1,
     [](auto& p, auto& w) { p.ServQueue_MemoryReportAnswerReady(Mode::fsmre_Listener, &w.wrk1); }},
    {"snc_ServAbortAllWorkers", 1, [](auto& p, auto&) { p.ServQueue_AbortAllWorkers(); }},
};

}  // namespace

TEST(ServQueuePosting, EachOperationFillsExactlyItsFieldsAndInterruptsUnlessAListUpdate) {
    for (const PostCase& c : kPostCases) {
        SCOPED_TRACE(c.expected);
        World w;
        CountingWaiter timer, service;
        TQORSVCPoster poster(&timer, &service);
        c.post(poster, w);
        EXPECT_EQ(timer.interrupts.load(), c.interrupts);
        EXPECT_EQ(service.interrupts.load(), 0);
        ASSERT_EQ(poster.ServQueue().Count(), 1);
        auto rec = poster.ServQueue().Pull();
        ASSERT_TRUE(rec);
        EXPECT_EQ(w.Describe(*rec), c.expected);
    }
}

TEST(ServQueuePosting, ListPayloadsArriveInTheirSlots) {
    World w;
    TQORSVCPoster poster;
    poster.ServQueue_UpdateAdminsList(w.TwoLists(), false);
    TQORSVCListArray modes(3);
    modes[0].Number = 0x100;
    modes[2].Number = 0x001;
    poster.ServQueue_UpdateModesList(std::move(modes), false);

    auto admins = poster.ServQueue().Pull();
    ASSERT_EQ(admins->nqr_ListArray.size(), 3u);
    EXPECT_NE(admins->nqr_ListArray[0].List, nullptr);
    EXPECT_EQ(admins->nqr_ListArray[1].List, nullptr);
    EXPECT_NE(admins->nqr_ListArray[2].List, nullptr);
    auto m = poster.ServQueue().Pull();
    EXPECT_EQ(m->nqr_ListArray[0].Number, 0x100);
    EXPECT_EQ(m->nqr_ListArray[1].Number, 0);
    EXPECT_EQ(m->nqr_ListArray[2].Number, 0x001);
    EXPECT_EQ(w.frees, 0);
}

TEST(ServQueuePosting, RecordKeepsTheKeyTheContextHadWhenPosted) {
    World w;
    TQORSVCPoster poster;
    poster.ServQueue_MoveClientAutoBack(CtxRefOf(&w.ctx), &w.net2, &w.net1);
    w.ctx.key = 7777;  // the context ended and its memory now holds another one
    auto rec = poster.ServQueue().Pull();
    EXPECT_TRUE(rec->nqr_Context.Is(&w.ctx));
    EXPECT_EQ(rec->nqr_GlobalKey, 7001u);
    EXPECT_NE(rec->nqr_GlobalKey, w.ctx.CtxGlobalKey());
}

TEST(ServQueuePosting, WithoutAWaiterRecordsAreStillQueued) {
    World w;
    TQORSVCPoster poster;
    poster.ServQueue_OwnerInfoChanged();
    CountingWaiter timer;
    poster.SetTimerWaiter(&timer);
    poster.ServQueue_WorkerIdle(&w.wrk1);
    EXPECT_EQ(timer.interrupts.load(), 1);
    EXPECT_EQ(poster.ServQueue().Count(), 2);
}

TEST(MainQueuePosting, RereadsCarryFileAndContextAndWakeTheServiceThread) {
    using M = TQORSVCMainQueueCmd;
    struct Case {
        M cmd;
        void (TQORSVCPoster::*post)(std::u16string, TQORSVCCtxRef);
    };
    const Case cases[] = {
        {M::fsmqc_RereadAdmins, &TQORSVCPoster::MainQueue_RereadAdmins},
        {M::fsmqc_RereadMutes, &TQORSVCPoster::MainQueue_RereadMutes},
        {M::fsmqc_RereadBlocks, &TQORSVCPoster::MainQueue_RereadBlocks},
        {M::fsmqc_RereadRights, &TQORSVCPoster::MainQueue_RereadRights},
        {M::fsmqc_RereadModes, &TQORSVCPoster::MainQueue_RereadModes},
        {M::fsmqc_RereadNotices, &TQORSVCPoster::MainQueue_RereadNotices},
        {M::fsmqc_RereadIntFlags, &TQORSVCPoster::MainQueue_RereadIntFlags},
    };
    World w;
    CountingWaiter timer, service;
    TQORSVCPoster poster(&timer, &service);
    for (const Case& c : cases) (poster.*c.post)(u"x.dat", CtxRefOf(&w.cmd));
    poster.MainQueue_RereadALL();
    poster.MainQueue_MemoryReportRequest();
    EXPECT_EQ(service.interrupts.load(), 9);
    EXPECT_EQ(timer.interrupts.load(), 0);

    for (const Case& c : cases) {
        auto rec = poster.MainQueue().Pull();
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->fsmqr_Cmd, c.cmd);
        EXPECT_EQ(rec->fsmqr_Str, u"x.dat");
        EXPECT_TRUE(rec->fsmqr_Obj1.Is(&w.cmd));
        EXPECT_EQ(rec->fsmqr_GlobalKey, 7002u);
        EXPECT_TRUE(rec->fsmqr_Data.empty());
    }
    for (M cmd : {M::fsmqc_RereadALL, M::fsmqc_MemRepRequest}) {
        auto rec = poster.MainQueue().Pull();
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->fsmqr_Cmd, cmd);
        EXPECT_TRUE(rec->fsmqr_Str.empty());
        EXPECT_FALSE(rec->fsmqr_Obj1);
        EXPECT_EQ(rec->fsmqr_GlobalKey, 0u);
    }
    EXPECT_FALSE(poster.MainQueue().Pull());
}

TEST(MainQueue, EnqueueOperationsFillTheirFieldsAndWakeNobody) {
    World w;
    TQORSVCMainQueue q;
    using M = TQORSVCMainQueueCmd;
    q.EnqueueCmd(M::fsmqc_FlushData);
    q.EnqueueData(M::fsmqc_MutesChanged, {"line1", "line2"});
    q.EnqueueString(M::fsmqc_IntFlagsChanged, u"intflags.cfg");
    q.EnqueueWrkCtx(M::fsmqc_RereadALL, CtxRefOf(&w.cmd));

    auto r = q.Pull();
    EXPECT_EQ(r->fsmqr_Cmd, M::fsmqc_FlushData);
    EXPECT_TRUE(r->fsmqr_Data.empty() && r->fsmqr_Str.empty() && !r->fsmqr_Obj1);
    r = q.Pull();
    EXPECT_EQ(r->fsmqr_Cmd, M::fsmqc_MutesChanged);
    EXPECT_EQ(r->fsmqr_Data, (TQORSVCWriteArray{"line1", "line2"}));
    EXPECT_TRUE(r->fsmqr_Str.empty() && !r->fsmqr_Obj1 && r->fsmqr_GlobalKey == 0);
    r = q.Pull();
    EXPECT_EQ(r->fsmqr_Str, u"intflags.cfg");
    EXPECT_TRUE(r->fsmqr_Data.empty() && !r->fsmqr_Obj1);
    r = q.Pull();
    EXPECT_TRUE(r->fsmqr_Obj1.Is(&w.cmd));
    EXPECT_EQ(r->fsmqr_GlobalKey, 7002u);
    EXPECT_TRUE(r->fsmqr_Str.empty());
}

// The consumer resets its interrupt before it drains. A record pushed after the
// drain found the queue empty but before the wait still ends the wait at once.
TEST(ServQueueConsumer, PushBetweenDrainAndWaitStillWakesTheConsumer) {
    TWaiter2Socket waiter(0);
    TQORSVCPoster poster(&waiter);
    TQORSVCServQueue::Batch batch;

    waiter.Reset();
    EXPECT_EQ(poster.ServQueue().PullBatch(batch), 0);
    poster.ServQueue_WorkerStartHot();  // lands before the consumer waits
    EXPECT_EQ(waiter.WaitFor(5000), wr_Interrupt);
    waiter.Reset();
    ASSERT_EQ(poster.ServQueue().PullBatch(batch), 1);
    EXPECT_EQ(batch[0]->nqr_Cmd, TQORServNetworkCommand::snc_ServWorkerStartHot);
    EXPECT_EQ(waiter.WaitFor(0), wr_Timeout);
}
