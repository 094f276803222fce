// The session's flag word is written by the heartbeat thread while the worker
// (or an abort path) ORs in the leaving bit: no heartbeat write may lose it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

TEST(ContextThreads, LeavingBitSurvivesHeartbeatWrites) {
    for (int round = 0; round < 20; ++round) {
        World w;
        w.test.parrotMute = true;
        TestSession s(w.svc);
        {
            // The test thread stands in for the heartbeat until its own starts.
            TQORRoleScope role(kHeartbeat);
            s.Connect(BasicConnect());
            ASSERT_EQ(s.ClientError(), TClientErrorType::cet_OK);
        }
        std::atomic<int> passes{0};
        std::atomic<bool> left{false};
        std::thread heartbeat([&] {
            TQORRoleScope role(kHeartbeat);
            // Runs on until well after the bit was set, so writes overlap the OR.
            for (int i = 0; i < 4000 || (!left.load() && i < 1000000); ++i) {
                s.SetMuted(i & 1);
                s.SetVisibleStatus(static_cast<TQORVisibleStatus>(i % 3));
                s.tmRestoreInitialFlags();
                s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Move);
                passes.fetch_add(1, std::memory_order_relaxed);
            }
        });
        std::thread worker([&] {
            while (passes.load(std::memory_order_relaxed) < 50 + round * 50) {
            }
            s.DisconnectCauseW(TQORSVCDisconnectCause::fsdc_SocketError);
            s.SetAsNotWork();
            left.store(true);
            while (!(s.CtxFlags() & QOR_CF_LEAVING)) {
            }
        });
        s.DisconnectCauseW(TQORSVCDisconnectCause::fsdc_GracefullDisconnect);
        worker.join();
        heartbeat.join();
        EXPECT_TRUE(s.CtxFlags() & QOR_CF_LEAVING) << round;
        const auto cause = s.DisconnectCauseR();
        EXPECT_TRUE(cause == TQORSVCDisconnectCause::fsdc_SocketError ||
                    cause == TQORSVCDisconnectCause::fsdc_GracefullDisconnect);
    }
}
