#include "server/gax_qor_svc_memreport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace gax;

struct Obj {
    int id;
};

TEST(MemoryReport, SecondAskerIsBusyAndLinesComeSortedOnceWhenEveryPartIsIn) {
    Obj ctxA{1}, ctxB{2}, w1{3}, w2{4}, m1{5};
    TQORSVCMemoryReport r;
    const TQORSVCCtxRef a{&ctxA, 11};
    ASSERT_TRUE(r.Start(a, {&w1, &w2}, {&m1}, 1000));
    EXPECT_FALSE(r.Start({&ctxB, 12}, {}, {}, 1000));  // "-BUSY" for the second
    EXPECT_EQ(r.Generation(), 11u);

    r.AddLineBytes(11, "Global/main: f_Fifo=10");
    r.AddLineBytes(11, "Global/main: f_Fifo=10");  // a repeat is kept once
    r.AddLineBytes(12, "Stray=1");                 // another generation
    r.WorkerReady(11, &w1, {u"Worker[001]: b=2", u"Worker[001]: a=1"});
    r.WorkerReady(11, &w1, {u"Worker[001]: late=9"});  // answered already
    r.MainReady(11);
    EXPECT_FALSE(r.Complete());
    r.ManagerReady(11, &m1);
    EXPECT_FALSE(r.Complete());  // w2 still owes its part
    r.WorkerEnded(&w2);          // ...and never will
    ASSERT_TRUE(r.Complete());
    EXPECT_TRUE(r.Due(1001));

    TQORSVCCtxRef to;
    EXPECT_EQ(r.Finish(to),
              "+3\r\nGlobal/main: f_Fifo=10\r\nWorker[001]: a=1\r\nWorker[001]: b=2\r\n");
    EXPECT_TRUE(to.Ctx.Is(&ctxA));
    EXPECT_EQ(to.Key, 11u);
    EXPECT_FALSE(r.Running());
    EXPECT_TRUE(r.Start({&ctxB, 12}, {}, {}, 2000));
}

TEST(MemoryReport, AbandonedReportDropsItsLateParts) {
    Obj ctxA{1}, ctxB{2}, w1{3};
    TQORSVCMemoryReport r;
    ASSERT_TRUE(r.Start({&ctxA, 11}, {&w1}, {}, 0));
    r.AskerEnded({&ctxA, 11});
    EXPECT_FALSE(r.Running());
    ASSERT_TRUE(r.Start({&ctxB, 12}, {&w1}, {}, 0));
    r.WorkerReady(11, &w1, {u"old=1"});  // the first report's part
    r.AddLineBytes(11, "old=2");
    r.MainReady(11);
    EXPECT_FALSE(r.Complete());
    EXPECT_EQ(r.LineCount(), 0u);
}

TEST(MemoryReport, PartThatNeverComesEndsTheReportAfterFiveSeconds) {
    Obj ctxA{1}, m1{5};
    TQORSVCMemoryReport r;
    const TGaxTick32 start = 0xFFFFF000u;  // across the tick wrap
    ASSERT_TRUE(r.Start({&ctxA, 11}, {}, {&m1}, start));
    r.AddLineBytes(11, "Global/timer: TotalContexts=1");
    r.MainReady(11);
    EXPECT_FALSE(r.Due(start + kMemReportTimeoutMs - 1));
    EXPECT_TRUE(r.Due(start + kMemReportTimeoutMs));
    TQORSVCCtxRef to;
    EXPECT_EQ(r.Finish(to), "+1\r\nGlobal/timer: TotalContexts=1\r\n");
}

TEST(MemoryReport, LinesSortByCodeUnit) {
    Obj ctxA{1};
    TQORSVCMemoryReport r;
    ASSERT_TRUE(r.Start({&ctxA, 7}, {}, {}, 0));
    r.AddLine(7, u"b");
    r.AddLine(7, u"B");
    r.AddLine(7, u"a");
    r.MainReady(7);
    TQORSVCCtxRef to;
    EXPECT_EQ(r.Finish(to), "+3\r\nB\r\na\r\nb\r\n");
}

}  // namespace
