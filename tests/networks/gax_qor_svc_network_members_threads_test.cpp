// What members of a running network receive, end to end: stations join the
// networked service on loopback and read their frames. The ping of a silent
// talk (silence in each listener's form, the sound-acknowledgement beats),
// the aggregate pseudo-client as aggregate-list members see and address it,
// the order of the client list, and a list switched off by the
// internal-flags file at admission and switched on again by the operator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/file_test_support.h"
#include "networks/gax_qor_svc_network_frames.h"
#include "networks/service_test_support.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_intflags.h"

namespace {

using namespace service_test;
using file_test::WriteFile;

const std::string kSilence(reinterpret_cast<const char*>(kQORSilenceBlock.data()),
                           kQORSilenceBlock.size());

// A station of aMail asking for the extension flags aExt (negative: none).
ConnectFields StationExt(const std::string& aMail, const std::string& aCall, int64_t aExt) {
    ConnectFields f = Station(aMail, aCall);
    f.ExtFlags = aExt;
    return f;
}

// Reads frames until aWanted of code aCode have come; every frame read is
// appended to aSeen. False once a read fails.
bool ReadUntil(QorConnection& aConn, uint8_t aCode, int aWanted, std::vector<std::string>& aSeen) {
    int got = 0;
    std::string frame;
    while (got < aWanted) {
        if (aConn.ReadFrame(frame, 20000) != ReadStatus::Ok) return false;
        aSeen.push_back(frame);
        if (static_cast<uint8_t>(frame[0]) == aCode) ++got;
    }
    return true;
}

int CountOf(const std::vector<std::string>& aFrames, uint8_t aCode) {
    int n = 0;
    for (const std::string& f : aFrames) n += static_cast<uint8_t>(f[0]) == aCode;
    return n;
}

// The values of one tag in the items of a V0 list, in list order.
std::vector<std::string> ItemValues(const std::string& aList, const std::string& aTag) {
    std::vector<std::string> out;
    const std::string open = "<" + aTag + ">", close = "</" + aTag + ">";
    for (size_t at = aList.find(open); at != std::string::npos; at = aList.find(open, at)) {
        at += open.size();
        out.push_back(aList.substr(at, aList.find(close, at) - at));
    }
    return out;
}

// Reads frames until the text aText has come (the Parrot greets newcomers
// with texts of its own).
bool WaitForText(QorConnection& aConn, const std::string& aText, TextMessage& aMsg) {
    std::string frame;
    for (int i = 0; i < 1000; ++i) {
        if (aConn.WaitForFrame(kFrameText, frame, 20000) != ReadStatus::Ok) return false;
        if (ParseTextFrame(frame, aMsg) && aMsg.Text == aText) return true;
    }
    return false;
}

// Reads frames until a V0 list of aCount members (or items) has come.
bool WaitForV0List(QorConnection& aConn, long aCount, std::string& aList) {
    for (int i = 0; i < 1000; ++i) {
        if (aConn.ReadFrame(aList, 20000) != ReadStatus::Ok) return false;
        if (static_cast<uint8_t>(aList[0]) == kFrameListV0 && ListCount(aList) == aCount) return true;
    }
    return false;
}

TEST(NetworkMembers, SilentTalkerGivesEachListenerSilenceOrBeatsAtThePing) {
    const file_test::ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    WriteFile(scratch.Path() + "/intflags.cfg", "aggr@example.org * AGGREGATELIST\n");
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.cfg_IntFlagsFileName = Utf8BufToUnicodeStd(scratch.Path() + "/intflags.cfg");
    LoopbackService srv(cfg);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    // The talker and one listener acknowledge sound (an extension of the
    // extended protocol, which a list format other than the 8-bit list
    // asks for); one listener takes the 8-bit list, one the extended
    // protocol without acknowledgements, long frames both.
    const int64_t kAck = QOR_EXT_SOUND_ACK | QOR_LIST_FORMAT_COUNT;
    // One more takes short frames, one the aggregate list (which hears every
    // talker as the pseudo-client of index 1).
    QorConnection talker, plain, ack, ext, shrt, aggr;
    ASSERT_TRUE(srv.Join(talker, StationExt("talker@example.org", "TALK", kAck)));
    ASSERT_TRUE(srv.Join(plain, Station("plain@example.org", "PLAIN")));
    ASSERT_TRUE(srv.Join(ack, StationExt("ack@example.org", "ACK", kAck)));
    ASSERT_TRUE(srv.Join(ext, StationExt("ext@example.org", "EXT", QOR_LIST_FORMAT_COUNT)));
    ASSERT_TRUE(srv.Join(
        shrt, StationExt("short@example.org", "SHORT", QOR_EXT_SHORT_FRAMES | QOR_LIST_FORMAT_COUNT)));
    ASSERT_TRUE(srv.Join(aggr, Station("aggr@example.org", "AGGR")));
    // Six stations and the Parrot.
    for (QorConnection* c : {&talker, &plain, &ack, &ext, &shrt}) ASSERT_TRUE(WaitForListOf(*c, 7));

    std::string frame;
    ASSERT_TRUE(talker.SendAll(CmdTx0(), 5000));
    ASSERT_EQ(talker.WaitForFrame(kFrameTxApproval, frame, 20000), ReadStatus::Ok);
    const unsigned index = SoundIndex(frame);
    ASSERT_GT(index, 0u);

    // The talker sends nothing: once a second the listeners hear silence
    // stamped with its index; the talker gets its beat at every ping.
    std::vector<std::string> seen;
    ASSERT_TRUE(ReadUntil(plain, kFrameSound, 2, seen));
    for (const std::string& f : seen) {
        // No keep-alive while the floor is taken.
        EXPECT_NE(static_cast<uint8_t>(f[0]), kFrameEndTx);
        if (static_cast<uint8_t>(f[0]) != kFrameSound) continue;
        EXPECT_EQ(SoundIndex(f), index);
        ASSERT_EQ(f.size(), kSoundFrame);
        for (int b = 0; b < 5; ++b) EXPECT_EQ(f.substr(3 + 65 * b, 65), kSilence) << b;
    }
    seen.clear();
    ASSERT_TRUE(ReadUntil(ext, kFrameSound, 2, seen));
    EXPECT_EQ(CountOf(seen, kFrameEndTx), 0);
    // Each listener gets its own form of the one silence of a ping.
    seen.clear();
    ASSERT_TRUE(ReadUntil(shrt, kFrameSoundShort, 2, seen));
    EXPECT_EQ(CountOf(seen, kFrameSound), 0);
    EXPECT_EQ(CountOf(seen, kFrameEndTx), 0);
    for (const std::string& f : seen) {
        if (static_cast<uint8_t>(f[0]) != kFrameSoundShort) continue;
        EXPECT_EQ(SoundIndex(f), index);
        ASSERT_EQ(f.size(), kShortFrame);
        EXPECT_EQ(f.substr(3), kSilence);
    }
    seen.clear();
    ASSERT_TRUE(ReadUntil(aggr, kFrameSound, 2, seen));
    EXPECT_EQ(CountOf(seen, kFrameEndTx), 0);
    for (const std::string& f : seen) {
        if (static_cast<uint8_t>(f[0]) != kFrameSound) continue;
        EXPECT_EQ(SoundIndex(f), 1u);
        ASSERT_EQ(f.size(), kSoundFrame);
        for (int b = 0; b < 5; ++b) EXPECT_EQ(f.substr(3 + 65 * b, 65), kSilence) << b;
    }
    // Whoever acknowledges sound gets a beat instead of the silence.
    seen.clear();
    ASSERT_TRUE(ReadUntil(ack, kFrameSoundAck, 2, seen));
    EXPECT_EQ(CountOf(seen, kFrameSound), 0);
    EXPECT_EQ(CountOf(seen, kFrameEndTx), 0);
    seen.clear();
    ASSERT_TRUE(ReadUntil(talker, kFrameSoundAck, 6, seen));  // three seconds of pings
    EXPECT_EQ(CountOf(seen, kFrameSound), 0);

    // The release: every listener learns that the floor is free.
    ASSERT_TRUE(talker.SendAll(CmdRx0(), 5000));
    for (QorConnection* c : {&plain, &ack, &ext, &shrt, &aggr})
        ASSERT_EQ(c->WaitForFrame(kFrameEndTx, frame, 20000), ReadStatus::Ok);
    for (QorConnection* c : {&talker, &plain, &ack, &ext, &shrt, &aggr}) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// The Parrot's key sorts ahead of every member; members sort by type,
// country, city, callsign and band as their bytes compare.
TEST(NetworkMembers, ClientListIsInTheOrderOfCountriesWithTheParrotFirst) {
    LoopbackService srv(LoopbackConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    ASSERT_TRUE(srv.Start());

    const char* countries[] = {"AB", "BA", "CA", "AC", "ZZ", "A"};
    QorConnection conn[6];
    for (int i = 0; i < 6; ++i) {
        ConnectFields f = Station("c" + std::to_string(i) + "@example.org", "C" + std::to_string(i));
        f.Country = countries[i];
        ASSERT_TRUE(srv.Join(conn[i], f)) << i;
    }
    std::string list;
    ASSERT_TRUE(WaitForV0List(conn[5], 7, list));
    const std::vector<std::string> want = {"The tree", "A", "AB", "AC", "BA", "CA", "ZZ"};
    EXPECT_EQ(ItemValues(list, "NN"), want);
    EXPECT_EQ(ItemValues(list, "ON")[0], "The Parrot");
    for (auto& c : conn) c.Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// The internal-flags file names one station for the aggregate list and one
// for no list. The aggregate station sees the service's pseudo-client in its
// list and as the sender of every broadcast, and its message to that id
// reaches everybody; the station without a list gets none until the
// operator clears the flag.
TEST(NetworkMembers, AggregateClientAndNoListFromTheInternalFlagsFile) {
    const file_test::ScratchDir scratch;
    const std::string& dir = scratch.Path();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/intflags.cfg",
              "aggr@example.org * AGGREGATELIST\nquiet@example.org * NOLIST\n");
    TQORServiceConfig cfg = LoopbackConfig();
    cfg.cfg_IntFlagsFileName = Utf8BufToUnicodeStd(dir + "/intflags.cfg");
    LoopbackService srv(cfg);
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv);
    TQORSVCCmdNetwork test;
    ASSERT_TRUE(srv.svc->CmdFindNetwork(u"Test", "Test", test));
    ASSERT_TRUE(srv.Start());

    QorConnection aggr, plain, quiet;
    ASSERT_TRUE(srv.Join(aggr, Station("aggr@example.org", "AGGR")));
    ASSERT_TRUE(srv.Join(quiet, Station("quiet@example.org", "QUIET")));
    ASSERT_TRUE(srv.Join(plain, Station("plain@example.org", "PLAIN")));
    ASSERT_TRUE(WaitForListOf(plain, 4));  // three stations and the Parrot

    // The aggregate list: the pseudo-client and the station itself.
    std::string list;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(WaitForV0List(aggr, 2, list));
        if (list.find("<DS>Count: 3</DS>") != std::string::npos) break;
    }
    const std::vector<std::string> ids = ItemValues(list, "ID");
    ASSERT_EQ(ids.size(), 2u);
    const std::string aggrId = ids[0];
    EXPECT_EQ(aggrId, MakeSourceId("  "));
    EXPECT_EQ(ids[1], MakeSourceId("aggr@example.org"));
    EXPECT_NE(list.find("<ON>All others</ON><ID>" + aggrId + "</ID><DS>Count: 3</DS>\r\n"),
              std::string::npos)
        << list;

    // A broadcast: the aggregate station sees it come from the pseudo-client.
    std::string frame;
    TextMessage m;
    ASSERT_TRUE(plain.SendAll(CmdText("hello all"), 5000));
    ASSERT_TRUE(WaitForText(aggr, "hello all", m));
    EXPECT_EQ(m.SenderId, aggrId);
    EXPECT_FALSE(m.Private);

    // The station without a list got none before that text (the list went
    // out when it joined, well before the broadcast).
    std::vector<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ReadUntil(quiet, kFrameText, 1, seen));
        if (ParseTextFrame(seen.back(), m) && m.Text == "hello all") break;
    }
    EXPECT_EQ(m.Text, "hello all");
    for (uint8_t code : {kFrameListV0, kFrameListV1, kFrameListDiff, kFrameCountList})
        EXPECT_EQ(CountOf(seen, code), 0) << int(code);

    // A message to the pseudo-client goes to everybody, as one to all.
    ASSERT_TRUE(aggr.SendAll(CmdText("to the room", aggrId), 5000));
    for (QorConnection* c : {&plain, &quiet}) {
        ASSERT_TRUE(WaitForText(*c, "to the room", m));
        EXPECT_EQ(m.SenderId, MakeSourceId("aggr@example.org"));
        EXPECT_FALSE(m.Private);
    }

    // The operator clears NOLIST: the full list comes at once.
    srv.svc->Poster().ServQueue_ChannelInternalFlags(test.Handle, MakeSourceId("quiet@example.org"),
                                                    TQORSVCInternalFlagsQueueCommand::fsifqc_InternalFlagsClear,
                                                    static_cast<int32_t>(QOR_IF_NOLIST), 0,
                                                    TQORSVCCtxRef{});
    ASSERT_TRUE(WaitForV0List(quiet, 4, list));
    EXPECT_EQ(ItemValues(list, "ID").size(), 4u);

    for (QorConnection* c : {&aggr, &plain, &quiet}) c->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

// A network that asks for managers but may use none runs standalone: the
// operator reads that once, under the network's numbered prefix. The level
// the operator sets for a network decides its handshake lines.
TEST(NetworkMembers, NetworkLogLinesFollowTheNumberedPrefixAndTheChannelsLevel) {
    const file_test::ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    WriteFile(scratch.Path() + "/networks.cfg", "Main\r\nTest|ManagerMode=LIGHT|ManagersMask=0\r\n");
    LoopbackService srv(LoopbackConfig());
    TQORServiceNetOptions serv;
    srv.svc->LoadNetworks(serv, Utf8BufToUnicodeStd(scratch.Path() + "/networks.cfg"));
    ASSERT_TRUE(srv.Start());
    const std::string warning =
        "WARNING: no active managers for the net(room); switching net(room) manager mode to "
        "STANDALONE";
    ASSERT_TRUE(WaitFor([&] { return srv.LogHas(warning); }));
    // Joined and listed: the start is long over.
    QorConnection c;
    ConnectFields f = Station("one@example.org", "ONE");
    f.Network = "Test";
    ASSERT_TRUE(srv.Join(c, f));
    ASSERT_TRUE(WaitForListOf(c, 1));
    EXPECT_EQ(srv.LogCount(warning), 1);
    EXPECT_TRUE(srv.LogHas("Net #1 \"Test\": " + warning));
    EXPECT_FALSE(srv.LogHas(" HANDSHAKE_ANSWER_OK: "));

    TQORSVCCmdNetwork test;
    ASSERT_TRUE(srv.svc->CmdFindNetwork(u"Test", "Test", test));
    srv.svc->Poster().ServQueue_ChannelNetworkLogLevel(test.Handle, 5);
    QorConnection d;
    f = Station("two@example.org", "TWO");
    f.Network = "Test";
    ASSERT_TRUE(srv.Join(d, f));
    EXPECT_TRUE(WaitFor([&] { return srv.LogHas(" HANDSHAKE_ANSWER_OK: "); }));
    for (QorConnection* x : {&c, &d}) x->Close();
    EXPECT_TRUE(srv.WaitForNoClients());
}

}  // namespace
