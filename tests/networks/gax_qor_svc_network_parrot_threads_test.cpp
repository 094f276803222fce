// The Parrot end to end: a service with the built-in networks listens on
// loopback, a station joins "Test" over TCP, finds the Parrot in its client
// list and its greeting among the first frames, talks, and hears its own
// frames back from the Parrot's index, byte for byte and in order; the
// start/stop words reach the Parrot through the real text relay. The service
// stops with every context freed (ASan sees a leak or a double free).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "networks/service_test_support.h"
#include "server/gax_qor_svc_parrot.h"

namespace {

using namespace service_test;

// The 1-based position of the first item holding aText in a V0 list frame
// (0x03, speaker index, count line, one line per member), or 0.
unsigned ListPositionOf(std::string_view aFrame, std::string_view aText) {
    if (aFrame.size() < 3 || uint8_t(aFrame[0]) != kFrameListV0) return 0;
    size_t pos = aFrame.find("\r\n", 3);
    if (pos == std::string_view::npos) return 0;
    pos += 2;
    for (unsigned i = 1; pos < aFrame.size(); ++i) {
        const size_t end = aFrame.find("\r\n", pos);
        if (end == std::string_view::npos) return 0;
        if (aFrame.substr(pos, end - pos).find(aText) != std::string_view::npos) return i;
        pos = end + 2;
    }
    return 0;
}

// The service of the built-in networks on a free loopback port, stopped at
// the end of the test whatever happened.
class ParrotService : public ::testing::Test {
  protected:
    void SetUp() override {
        TQORServiceNetOptions serv;
        srv.svc->LoadNetworks(serv);
        ASSERT_TRUE(srv.svc->Networks().UsesTestSet());
        ASSERT_TRUE(srv.Start());
    }

    LoopbackService srv{LoopbackConfig()};
};

TEST_F(ParrotService, EchoesATransmissionFromItsOwnIndexAndAnswersTheStopWord) {
    QorConnection conn;
    ASSERT_TRUE(srv.Join(conn, Station("ST1@example.org", "ST1")));
    const std::string parrotId = ParrotClientId();

    // The greeting and a list of two: the Parrot stands in it from the start.
    std::string frame, list;
    bool greeted = false;
    unsigned parrotIndex = 0, ownIndex = 0;
    for (int i = 0; i < 1000 && !(greeted && parrotIndex != 0); ++i) {
        ASSERT_EQ(conn.ReadFrame(frame, 20000), ReadStatus::Ok);
        TextMessage m;
        if (ParseTextFrame(frame, m)) {
            EXPECT_EQ(m.SenderId, parrotId);
            EXPECT_EQ(m.Text, "Parrot is started. Type message \"stop\" to stop parrot.");
            EXPECT_FALSE(m.Private);
            greeted = true;
        } else if (ListCount(frame) == 2 && uint8_t(frame[0]) == kFrameListV0) {
            parrotIndex = ListPositionOf(frame, "The Parrot");
            ownIndex = ListPositionOf(frame, "ST1");
            list = frame;
        }
    }
    ASSERT_TRUE(greeted);
    ASSERT_NE(parrotIndex, 0u) << list;
    ASSERT_NE(ownIndex, 0u) << list;
    EXPECT_NE(list.find("Talkative bird"), std::string::npos);

    ASSERT_TRUE(conn.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(conn.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    std::vector<std::string> sent;
    for (int n = 0; n < 10; ++n) {
        std::string payload(kSoundPayload, '\0');
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(n * 37 + k);
        ASSERT_TRUE(conn.SendAll(CmdSound(payload), 5000));
        sent.push_back(payload);
    }
    ASSERT_TRUE(conn.SendAll(CmdRx0(), 5000));

    // After its pause the Parrot takes the floor and plays the ten frames
    // once, then gives the floor back.
    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(conn.WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok) << n;
        ASSERT_EQ(frame.size(), kSoundFrame);
        EXPECT_EQ(SoundIndex(frame), parrotIndex) << n;
        EXPECT_EQ(frame.substr(kSoundFrame - kSoundPayload), sent[n]) << n;
    }
    for (;;) {
        ASSERT_EQ(conn.ReadFrame(frame, 20000), ReadStatus::Ok);
        ASSERT_NE(uint8_t(frame[0]), kFrameSound) << "an eleventh frame";
        if (uint8_t(frame[0]) == kFrameEndTx && frame.size() == 1) break;
    }
    // The floor is free again: the station gets it at once.
    ASSERT_TRUE(conn.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(conn.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    ASSERT_TRUE(conn.SendAll(CmdRx0(), 5000));

    // " stop " to all: the Parrot answers everybody and its item changes.
    ASSERT_TRUE(conn.SendAll(CmdText(" stop "), 5000));
    bool answered = false, silent = false;
    for (int i = 0; i < 1000 && !(answered && silent); ++i) {
        ASSERT_EQ(conn.ReadFrame(frame, 20000), ReadStatus::Ok);
        TextMessage m;
        if (ParseTextFrame(frame, m) && m.SenderId == parrotId) {
            EXPECT_EQ(m.Text, "Parrot is stopped. Type message \"start\" to start parrot.");
            answered = true;
        } else if (frame.find("Silent bird") != std::string::npos) {
            silent = true;
        }
    }
    EXPECT_TRUE(answered);
    EXPECT_TRUE(silent);

    conn.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
    srv.Stop();
    EXPECT_TRUE(srv.svc->ServiceThreadFinished());
}

}  // namespace
