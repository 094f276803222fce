// The built console program on the sample networks: a station joins "Test" over TCP
// as an operator's first test would, talks, hears its own transmission back
// from the Parrot, and the program then stops on SIGINT with exit code 0.
// The test waits for the program's own lines and frames, never for delays.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "control/console_program_test_support.h"
#include "foundation/file_test_support.h"
#include "networks/station_test_support.h"

using file_test::ReadAll;
using file_test::WriteFile;
using namespace qortool;

namespace {

// The sample configuration's networks file in the source tree.
std::string SampleNetworks() {
    std::string dir = __FILE__;
    dir.resize(dir.rfind("/tests/"));
    return dir + "/examples/networks.cfg";
}

class ParrotProgramTest : public console_test::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        // The networks `make run` starts with.
        const std::string sample = ReadAll(SampleNetworks());
        ASSERT_FALSE(sample.empty()) << SampleNetworks();
        WriteFile(P("networks.cfg"), sample);
    }

    // Starts `debug` from the root directory until its client port listens.
    bool LaunchListening() {
        return StartListening([this] { WriteServerIni(false); }, {"debug"}, false);
    }
};

}  // namespace

TEST_F(ParrotProgramTest, StationHearsItsTransmissionEchoedThenTheProgramStops) {
    ASSERT_TRUE(LaunchListening()) << out;
    EXPECT_NE(out.find(" Net: \"Test\", options: ParrotEnable=Yes; ParrotStartStopEnable=Yes\r\n"),
              std::string::npos)
        << out;

    QorConnection conn;
    ASSERT_TRUE(station_test::Join(conn, uint16_t(clientPort),
                                   station_test::Station("first@example.org", "FIRST")));

    // The newcomer's greeting shows the station is admitted among the
    // Parrot's listeners.
    std::string frame;
    ASSERT_EQ(conn.WaitForFrame(kFrameText, frame, 20000), ReadStatus::Ok);
    TextMessage m;
    ASSERT_TRUE(ParseTextFrame(frame, m)) << frame;
    EXPECT_EQ(m.Text, "Parrot is started. Type message \"stop\" to stop parrot.");

    ASSERT_TRUE(conn.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(conn.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    std::vector<std::string> sent;
    for (int n = 0; n < 10; ++n) {
        std::string payload(kSoundPayload, '\0');
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(n * 13 + k);
        ASSERT_TRUE(conn.SendAll(CmdSound(payload), 5000));
        sent.push_back(payload);
    }
    ASSERT_TRUE(conn.SendAll(CmdRx0(), 5000));

    unsigned index = 0;
    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(conn.WaitForFrame(kFrameSound, frame, 20000), ReadStatus::Ok) << n;
        ASSERT_EQ(frame.size(), kSoundFrame);
        if (n == 0) index = SoundIndex(frame);
        EXPECT_EQ(SoundIndex(frame), index) << n;
        EXPECT_EQ(frame.substr(kSoundFrame - kSoundPayload), sent[n]) << n;
    }
    EXPECT_NE(index, 0u);

    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(Finish(), 0) << out;
    EXPECT_EQ(out.find("ERROR:"), std::string::npos) << out;
    EXPECT_NE(out.find(": Aborted: [CTRL-C]\r\n"), std::string::npos) << out;
    conn.Close();
}
