#include "server/gax_qor_svc_queues.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "server/svc_test_support.h"

using namespace gax;
using namespace svc_test;

namespace {

std::unique_ptr<TQORSVCNetQueueRecord> Rec(TQORServNetworkCommand aCmd) {
    auto r = std::make_unique<TQORSVCNetQueueRecord>();
    r->nqr_Cmd = aCmd;
    return r;
}

// A list-update record with lists in slots 0 and 2 and none in slot 1.
std::unique_ptr<TQORSVCNetQueueRecord> ListRec(TQORServNetworkCommand aCmd, int& aFrees) {
    auto r = Rec(aCmd);
    r->nqr_ListArray = TwoCountedLists(aFrees);
    return r;
}

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0 && IsOpen(f)) ::close(f);
    }
};

}  // namespace

TEST(ServQueueRelease, DestroyingTheQueueFreesEveryNonNullListOnce) {
    using C = TQORServNetworkCommand;
    int frees = 0;
    {
        TQORSVCServQueue q;
        for (C cmd : {C::snc_UpdateAdminsList, C::snc_UpdateMutesList, C::snc_UpdateBlocksList,
                      C::snc_UpdateRightsList, C::snc_UpdateNoticesList})
            q.Push(ListRec(cmd, frees));
        auto modes = Rec(C::snc_UpdateModesList);
        modes->nqr_ListArray.resize(4);
        modes->nqr_ListArray[3].Number = 0x101;
        q.Push(std::move(modes));
        auto flags = Rec(C::snc_ApplyServIntFlags);
        flags->nqr_ListArray.resize(1);
        flags->nqr_ListArray[0].List = std::make_unique<CountedList>(frees);
        q.Push(std::move(flags));
        EXPECT_EQ(frees, 0);
    }
    EXPECT_EQ(frees, 5 * 2 + 1);
}

TEST(ServQueueRelease, AListTakenByItsNetworkIsNotFreedAgainWithTheRecord) {
    int frees = 0;
    TQORSVCServQueue q;
    q.Push(ListRec(TQORServNetworkCommand::snc_UpdateMutesList, frees));
    auto rec = q.Pull();
    ASSERT_TRUE(rec);

    // A payload of another class stays in its slot and goes with the record.
    EXPECT_EQ(TakeListAs<OtherList>(rec->nqr_ListArray[0]), nullptr);
    EXPECT_NE(rec->nqr_ListArray[0].List, nullptr);
    EXPECT_EQ(TakeListAs<CountedList>(rec->nqr_ListArray[1]), nullptr);  // the empty slot

    std::unique_ptr<CountedList> taken = TakeListAs<CountedList>(rec->nqr_ListArray[2]);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(rec->nqr_ListArray[2].List, nullptr);
    rec.reset();
    EXPECT_EQ(frees, 1);
    taken.reset();
    EXPECT_EQ(frees, 2);
}

TEST(ServQueueRelease, DiscardedConnectionsHaveTheirSocketClosedHandledOnesDoNot) {
    using C = TQORServNetworkCommand;
    Pipe a, b, c, d;
    {
        TQORSVCServQueue q;
        auto handled = Rec(C::snc_ServConnectClient);
        handled->nqr_DataI0 = d.fd[0];
        q.Push(std::move(handled));
        for (auto [cmd, fd] : {std::pair{C::snc_ServConnectClient, a.fd[0]},
                               std::pair{C::snc_ServConnectCommand, b.fd[0]},
                               std::pair{C::snc_ServConnectClient, c.fd[0]}}) {
            auto r = Rec(cmd);
            r->nqr_DataI0 = fd;
            q.Push(std::move(r));
        }
        // Another command whose number field happens to hold a descriptor.
        auto other = Rec(C::snc_ChannelManagerLogLevel);
        other->nqr_DataI0 = a.fd[1];
        q.Push(std::move(other));

        q.Pull().reset();  // handled: the consumer owns the socket now
        EXPECT_TRUE(IsOpen(d.fd[0]));
        q.Skip(1);
        EXPECT_FALSE(IsOpen(a.fd[0]));
        EXPECT_TRUE(IsOpen(b.fd[0]));
    }
    EXPECT_FALSE(IsOpen(b.fd[0]));
    EXPECT_FALSE(IsOpen(c.fd[0]));
    EXPECT_TRUE(IsOpen(a.fd[1]));
}

TEST(FlusherQueue, ItemsCarryHandleAndKeyAndNeverTouchTheirContext) {
    auto ctx = std::make_unique<FakeCtx>(FakeCtx{31});
    const FakeCtx* where = ctx.get();
    {
        TQORSVCFlusherQueue q;
        q.EnqueueCommandContext(CtxRefOf(ctx.get()));
        q.EnqueueCommandContext(CtxRefOf(ctx.get()));
        ctx.reset();  // the context ends while it waits for the flush
        auto item = q.Pull();
        ASSERT_TRUE(item);
        EXPECT_TRUE(item->Context.Is(where));
        EXPECT_EQ(item->GlobalKey, 31u);
    }  // the second item is discarded with the queue
}

TEST(WorkerQueue, ItemsKeepTheirOrderAndDiscardingNeverTouchesTheirObject) {
    auto ctx = std::make_unique<FakeCtx>(FakeCtx{7});
    const FakeCtx* where = ctx.get();
    TQORSVCWorkerQueue q;
    EXPECT_EQ(q.BlockCapacity(), 32);
    for (TQORSVCWorkCode code : {TQORSVCWorkCode::AddNewContext, TQORSVCWorkCode::MemoryReportRequest,
                                 TQORSVCWorkCode::AddOldContext})
        q.Push(std::make_unique<TQORSVCWorkItem>(TQORSVCWorkItem{code, where}));
    ctx.reset();  // the context may end while its item still waits
    auto first = q.Pull();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Code, TQORSVCWorkCode::AddNewContext);
    EXPECT_TRUE(first->Arg.Is(where));
    EXPECT_EQ(q.Pull()->Code, TQORSVCWorkCode::MemoryReportRequest);
    EXPECT_EQ(q.Count(), 1);
}  // the last item is discarded with the queue, freeing only itself

TEST(MainQueueRelease, DiscardedRecordsReleaseTheirStringsAndArrays) {
    TQORSVCMainQueue q(16);
    for (int i = 0; i < 40; ++i) {
        q.EnqueueData(TQORSVCMainQueueCmd::fsmqc_RightsChanged,
                      TQORSVCWriteArray(3, std::string(100, 'x')));
        q.EnqueueString(TQORSVCMainQueueCmd::fsmqc_IntFlagsChanged, std::u16string(100, u'y'));
    }
    q.KeepLast(5);
    EXPECT_EQ(q.Count(), 5);
}

TEST(RecordQueue, BatchesTakeAtMost32InPushOrderAndNullRecordsAreIgnored) {
    TQORSVCServQueue q;
    q.Push(nullptr);
    for (int i = 0; i < 40; ++i) {
        auto r = Rec(TQORServNetworkCommand::snc_MemoryReportAnswerLine);
        r->nqr_DataI0 = i;
        q.Push(std::move(r));
    }
    EXPECT_EQ(q.Count(), 40);
    TQORSVCServQueue::Batch batch;
    int next = 0;
    for (int32_t n; (n = q.PullBatch(batch)) > 0;) {
        EXPECT_LE(n, 32);
        for (int32_t i = 0; i < n; ++i) EXPECT_EQ(batch[i]->nqr_DataI0, next++);
    }
    EXPECT_EQ(next, 40);
    EXPECT_FALSE(q.Pull());
}
