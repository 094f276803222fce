// The manager thread against a scripted fake manager on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "sysman/sysman_test_support.h"

using namespace gax;
using namespace sysmantest;
using C = TQORServNetworkCommand;

namespace {

struct Rig {
    RecordingHost host;
    FakeManager fake;
    std::unique_ptr<TQORSvcSysMan> mgr;
    std::unique_ptr<ManagerConn> conn;

    void Start(const TQORSvcSysmanParams& p, std::string netsListZ = {}, int active = 0) {
        mgr = std::make_unique<TQORSvcSysMan>(host, 0, p);
        mgr->SetNetsListZ(std::move(netsListZ), active);
        mgr->SysMan_Start();
    }
    void Start() { Start(Params(fake.port)); }
    // Accepts the next connection and returns its handshake line.
    std::string AcceptHandshake() {
        conn = fake.Accept();
        EXPECT_TRUE(conn->Valid());
        return conn->ReadLine();
    }
    // Runs the handshake through to "Operating"; returns what came before the first ping.
    std::string MakeOperational(const std::string& answer = "<AL>0</AL>") {
        AcceptHandshake();
        conn->SendLine(answer);
        std::string before;
        for (std::string l = conn->ReadLine(); !l.empty() && l != "P\r\n"; l = conn->ReadLine())
            before += l;
        conn->SendLine("F");
        EXPECT_TRUE(WaitStatus(smst_Operational));
        return before;
    }
    bool WaitStatus(TQORSvcSysmanStatus s, std::chrono::milliseconds limit = 10s) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (mgr->ManagerStatus() == s) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    void Register(int key, int flags, std::string block = {}, int netIndex = 0) {
        if (block.empty()) block = TransportBlock({"CC:<EA>a@b</EA>", "<DS>d</DS>", "<IP>10.0.0.9</IP>"});
        TQORSVCCtxRef ref{reinterpret_cast<const TQORSVCNetQueueRecord*>(uintptr_t(key) * 16),
                          TQORGlobalKey(key)};
        mgr->SysMan_RegisterClient(ref, nullptr, netIndex, flags, std::move(block), "10.0.0.9",
                                   "cid");
    }
};

// The threads of this process that carry the name.
int ThreadsNamed(const std::string& name) {
    int n = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++n;
    }
    return n;
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

}  // namespace

TEST(SysManHandshake, LineIsByteExactForEachFlagSetAndThePasswordStaysOutOfTheLog) {
    struct Case {
        bool multiple, confirm, unicode;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {false, false, false, ""},
        {false, true, true, "<SEF>48</SEF>"},
        {true, false, false, "<SEF>8</SEF><U8TF>011owner@example.net106s3cret</U8TF>"},
    };
    for (const Case& c : cases) {
        Rig rig;
        TQORSvcSysmanParams p = Params(rig.fake.port);
        p.ssmp_ManagerMultiple = c.multiple;
        p.ssmp_ManagerConfirmEmailEnabled = c.confirm;
        p.ssmp_ManagerUnicodeClient = c.unicode;
        rig.Start(p);
        EXPECT_EQ(rig.AcceptHandshake(),
                  "SC:<VX>7348</VX><SN>qor.example.net</SN><PT>10024</PT>"
                  "<OW>owner@example.net</OW><PW>s3cret</PW>" +
                      c.tail + "\r\n");
        ASSERT_TRUE(rig.host.WaitLog("Handshake string: "));
        for (const std::string& l : rig.host.Logs()) EXPECT_EQ(l.find("s3cret"), std::string::npos) << l;
    }
}

TEST(SysManHandshake, RefusalsAndBadAnswersLogTheirTextAndPause) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<AL>-1</AL>", "Manager returned code [-1]: access denied (ip blocked)"},
        {"<AL>-2</AL>", "Manager returned code [-2]: sysman busy"},
        {"<AL>-3</AL>", "Manager returned code [-3]: no e-mail"},
        {"<AL>-4</AL>", "Manager returned code [-4]: invalid e-mail and/or password"},
        {"<AL>-5</AL>", "Manager returned code [-5]: no working QOR server at qor.example.net:10024"},
        {"<AL>-6</AL>", "Manager returned code [-6]: server version is too old"},
        {"<AL>-7</AL>", "Manager returned code [-7]: access denied"},
        {"<AL>-8</AL>", "Manager returned code [-8]: server address is already accupied"},
        {"<AL>-9</AL>", "Manager returned code [-9]: e-mail already used with other server"},
        {"<AL>-12</AL>", "Manager returned code [-12]: Unknown"},
        {"<XX>0</XX>", "ERROR: Manager[0]: Got invalid answer: <XX>0</XX>"},
        {"<AL>x</AL>", "Got invalid answer: <AL>x</AL>"},
        {"<AL> </AL>", "Got invalid answer: "},
        {"<AL>0</AL><AL>0</AL>", "Got invalid answer: "},
        {"<AL>0</AL><MEF>z</MEF>", "manager answered with wrong extention flag: \"z\""},
    };
    Rig rig;
    rig.Start();
    for (const auto& [answer, text] : cases) {
        SCOPED_TRACE(answer);
        ASSERT_NE(rig.AcceptHandshake(), "");
        rig.conn->SendLine(answer);
        EXPECT_TRUE(rig.host.WaitLog(text));
        EXPECT_TRUE(rig.conn->WaitClosed());
    }
    EXPECT_TRUE(rig.host.HasLog("Manager[0]: Pause for 0 seconds"));
    EXPECT_EQ(rig.host.Count(C::snc_ManagerOnOffLine), 0u);
}

TEST(SysManHandshake, AcknowledgementAndNetworksBlock) {
    {  // a wrong acknowledgement pauses
        Rig rig;
        rig.Start();
        for (const char* ack : {"FF", "OK"}) {
            rig.AcceptHandshake();
            rig.conn->SendLine("<AL>0</AL>");
            EXPECT_EQ(rig.conn->ReadLine(), "P\r\n");
            rig.conn->SendLine(ack);
            EXPECT_TRUE(rig.host.WaitLog(std::string("Got wrong ack: ") + ack));
            EXPECT_TRUE(rig.conn->WaitClosed());
        }
    }
    const std::string block = "ZN:02\r\n0000\r\n0341420341C3\r\n";
    {  // without 0x08 no block is sent
        Rig rig;
        rig.Start(Params(rig.fake.port), block, 1);
        EXPECT_EQ(rig.MakeOperational("<AL>0</AL>"), "");
        EXPECT_EQ(rig.mgr->ManagerAnsweredExtFlags(), 0);
    }
    {  // with it the block comes before the first ping
        Rig rig;
        rig.Start(Params(rig.fake.port), block, 1);
        EXPECT_EQ(rig.MakeOperational("<AL>0</AL><MEF>8</MEF>"), block);
        EXPECT_TRUE(rig.host.WaitLog("Put networks list: 1"));
        EXPECT_TRUE(rig.host.WaitLog("Kelvoran Manager-Server extended flags: Multiple"));
        auto on = rig.host.WaitRecs(C::snc_ManagerOnOffLine, 1);
        ASSERT_EQ(on.size(), 1u);
        EXPECT_EQ(on[0].I1, 1);
    }
}

TEST(SysManHandshake, DelayPingsEveryThreeSecondsThenOperates) {
    Rig rig;
    TQORSvcSysmanParams p = Params(rig.fake.port);
    p.ManagerDelayAfterConnect = 4;
    rig.Start(p);
    rig.AcceptHandshake();
    rig.conn->SendLine("<AL>0</AL>");
    ASSERT_EQ(rig.conn->ReadLine(), "P\r\n");
    const auto t0 = Clock::now();
    rig.conn->SendLine("F");
    ASSERT_TRUE(rig.host.WaitLog("Delaying for 4 sec(s)"));
    EXPECT_EQ(rig.mgr->ManagerStatus(), smst_Delay);
    EXPECT_EQ(rig.conn->ReadLine(), "P\r\n");  // the 3 s grid point, inside the delay
    const auto ping = Clock::now() - t0;
    EXPECT_GE(ping, 2500ms);
    EXPECT_EQ(rig.mgr->ManagerStatus(), smst_Delay);
    rig.conn->SendLine("F");
    ASSERT_TRUE(rig.WaitStatus(smst_Operational));
    EXPECT_TRUE(rig.host.WaitLog("Manager[0]: Operating"));
    EXPECT_EQ(rig.host.WaitRecs(C::snc_ManagerOnOffLine, 1).size(), 1u);
}

TEST(SysManOperation, AnswersFollowRequestOrderAndExtraAnswerBreaksTheLink) {
    Rig rig;
    rig.Start();
    rig.MakeOperational();
    rig.Register(1, 0x11);
    rig.Register(2, 0x22);
    const std::string classic = "CC:<EA>a@b</EA><DS>d</DS><IP>10.0.0.9</IP>\r\n";
    EXPECT_EQ(rig.conn->ReadRequest(), classic);
    EXPECT_EQ(rig.conn->ReadRequest(), classic);
    rig.conn->SendLine("OK");  // neither a keep-alive answer nor "OK" takes a request
    rig.conn->SendLine("F");
    rig.conn->SendLine("BLOCK");
    rig.conn->SendLine("id-7");
    auto ans = rig.host.WaitRecs(C::snc_ManagerAnswer, 2);
    ASSERT_EQ(ans.size(), 2u);
    EXPECT_EQ(ans[0].Key, 1u);
    EXPECT_EQ(ans[0].I0, int(TClientErrorType::cet_BLOCK));
    EXPECT_EQ(ans[0].S2, "");
    EXPECT_EQ(ans[0].I2, 0);
    EXPECT_EQ(ans[1].Key, 2u);
    EXPECT_EQ(ans[1].I0, int(TClientErrorType::cet_OK));
    EXPECT_EQ(ans[1].S2, "id-7");
    EXPECT_EQ(ans[1].I2, 0x22);

    rig.conn->SendLine("id-8");
    EXPECT_TRUE(rig.host.WaitLog("ERROR: Manager[0]: Got extra answer without request"));
    EXPECT_TRUE(rig.conn->WaitClosed());
    auto off = rig.host.WaitRecs(C::snc_ManagerOnOffLine, 2);
    ASSERT_EQ(off.size(), 2u);
    EXPECT_EQ(off[1].I1, 0);
}

TEST(SysManOperation, RegistrationFormsFollowTheAnsweredFlags) {
    const std::string utf8Block =
        TransportBlock({"CC:<EA>a@b</EA>", "<DS>d</DS>", "<IP>10.0.0.9</IP>", "05MAIN", "0810.0.0.9",
                        "02U8", "01d", "02du", "ZE:00\r\n"});
    const std::string plainBlock =
        TransportBlock({"CC:<EA>a@b</EA>", "<DS>d</DS>", "<IP>10.0.0.9</IP>", "05MAIN", "0810.0.0.9",
                        "", "01d", "", "ZE:00\r\n"});
    struct Case {
        std::string mef;
        bool subst, emptyDesc;
        std::string block;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"", true, false, plainBlock, "CC:<EA>a@b</EA><DS>d</DS><IP>127.0.0.1</IP>\r\n"},
        {"", false, true, plainBlock, "CC:<EA>a@b</EA><DS></DS><IP>10.0.0.9</IP>\r\n"},
        {"<MEF>8</MEF>", false, false, utf8Block, "ZC:0305MAIN01d0810.0.0.9\r\n"},
        {"<MEF>40</MEF>", false, false, utf8Block, "ZC:0305MAIN01d0810.0.0.902U802du\r\n"},
        {"<MEF>40</MEF>", true, true, utf8Block, "ZC:0305MAIN0009127.0.0.102U800\r\n"},
        {"<MEF>40</MEF>", false, false, plainBlock, "ZC:0305MAIN01d0810.0.0.9\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Rig rig;
        TQORSvcSysmanParams p = Params(rig.fake.port);
        p.ManagerSubstituteSource = c.subst;
        p.ssmp_ManagerEmptyDescription = c.emptyDesc;
        rig.Start(p, "ZN:00\r\n", 0);
        rig.MakeOperational("<AL>0</AL>" + c.mef);
        rig.Register(1, 0, c.block, 3);
        EXPECT_EQ(rig.conn->ReadRequest(), c.line);
    }
}

TEST(SysManOperation, UnregistrationCountsAndConfirmations) {
    Rig rig;
    rig.Start(Params(rig.fake.port), "ZN:00\r\n", 0);
    rig.MakeOperational("<AL>0</AL><MEF>24</MEF>");
    rig.mgr->SysMan_UnregisterClient("id-7", "cid", nullptr, 2);
    EXPECT_EQ(rig.conn->ReadRequest(), "ZD:0204id-7\r\n");
    rig.mgr->SysMan_NetClientCountChanged(nullptr, 2, 200);
    EXPECT_EQ(rig.conn->ReadRequest(), "ZT:0281C8\r\n");
    rig.mgr->SysMan_ConfirmEmail(TransportBlock({"CC:", "", "", "", "", "", "", "", "ZE:01a\r\n"}));
    EXPECT_EQ(rig.conn->ReadRequest(), "ZE:01a\r\n");

    Rig classic;
    classic.Start();
    classic.MakeOperational();
    classic.mgr->SysMan_UnregisterClient("id-7", "cid", nullptr, 2);
    classic.mgr->SysMan_NetClientCountChanged(nullptr, 2, 5);  // dropped without 0x08
    classic.mgr->SysMan_ConfirmEmail(TransportBlock({"CC:", "", "", "", "", "", "", "", "ZE:\r\n"}));
    classic.mgr->SysMan_UnregisterClient("id-9", "cid", nullptr, 2);
    EXPECT_EQ(classic.conn->ReadRequest(), "CD:<ID>id-7</ID>\r\n");
    EXPECT_EQ(classic.conn->ReadRequest(), "CD:<ID>id-9</ID>\r\n");
}

TEST(SysManOperation, BadVerdictLinesAreErrors) {
    Rig rig;
    rig.Start();
    rig.MakeOperational();
    rig.Register(1, 0);
    rig.Register(2, 0);
    rig.Register(3, 0);
    for (int i = 0; i < 3; ++i) rig.conn->ReadRequest();
    rig.conn->Send("\r\nab\x01" "c\r\nBLOCKED\r\n");
    auto ans = rig.host.WaitRecs(C::snc_ManagerAnswer, 3);
    ASSERT_EQ(ans.size(), 3u);
    EXPECT_EQ(ans[0].I0, int(TClientErrorType::cet_ERROR));
    EXPECT_EQ(ans[1].I0, int(TClientErrorType::cet_ERROR));
    EXPECT_EQ(ans[2].I0, int(TClientErrorType::cet_OK));
    EXPECT_EQ(ans[2].S2, "BLOCKED");
}

TEST(SysManOperation, UnansweredRequestDropsTheLinkAndEveryPendingRequestGetsNone) {
    Rig rig;
    TQORSvcSysmanParams p = Params(rig.fake.port);
    p.Conn.ReadTimeoutTicks = 1000;  // raised to 4000
    rig.Start(p);
    EXPECT_EQ(rig.mgr->EffectiveReadTimeoutTicks(), 4000u);
    EXPECT_TRUE(rig.host.HasLog("WARNING: Manager[0]: ManagerActivityTimeout"));
    rig.MakeOperational();
    const auto t0 = Clock::now();
    rig.Register(1, 0);
    rig.Register(2, 0);
    EXPECT_TRUE(rig.conn->WaitClosed(15s));  // pings are answered meanwhile
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 8000ms);
    EXPECT_TRUE(rig.host.HasLog("Detected request without answer on time of timeout"));
    auto ans = rig.host.WaitRecs(C::snc_ManagerAnswer, 2);
    ASSERT_EQ(ans.size(), 2u);
    for (const auto& a : ans) EXPECT_EQ(a.I0, int(TClientErrorType::cet_NONE));
}

TEST(SysManOperation, LinkErrors) {
    {  // silence
        Rig rig;
        rig.Start();
        rig.MakeOperational();
        EXPECT_TRUE(rig.host.WaitLog("ERROR: Manager[0]: Manager timed out", 10s));
    }
    {  // a line over 512 bytes
        Rig rig;
        rig.Start();
        rig.MakeOperational();
        rig.conn->SendLine(std::string(600, 'x'));
        EXPECT_TRUE(rig.host.WaitLog("Manager sent too long line: len="));
        EXPECT_TRUE(rig.conn->WaitClosed());
    }
    {  // the manager goes away; the thread comes back on its own
        Rig rig;
        rig.Start();
        rig.MakeOperational();
        rig.conn->Close();
        EXPECT_TRUE(rig.host.WaitLog("Manager disconnected"));
        rig.MakeOperational();
        EXPECT_EQ(rig.host.WaitRecs(C::snc_ManagerOnOffLine, 3).size(), 3u);
    }
}

TEST(SysManScripts, CommandLinesAreLoggedWithoutThePassword) {
    Rig rig;
    TQORSvcSysmanParams p = Params(rig.fake.port);
    p.ssmp_ManagerInvalidPasswordScript = u"/opt/hooks/bad pw.sh";
    p.ssmp_ManagerSuccessAuthScript = u"/opt/hooks/ok.sh";
    rig.Start(p);
    rig.AcceptHandshake();
    rig.conn->SendLine("<AL>-4</AL>");
    ASSERT_TRUE(rig.host.WaitLog("EXEC: "));
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(rig.host.HasLog("Manager[0]: EXEC: /opt/hooks/bad pw.sh 0 127.0.0.1 " +
                                std::to_string(rig.fake.port) +
                                " owner@example.net qor.example.net 10024 \"\" " + pid));
    EXPECT_TRUE(rig.conn->WaitClosed());
    rig.MakeOperational();
    std::vector<std::u16string> block(17);
    for (size_t i = 0; i < block.size(); ++i) block[i] = u"f" + gax::IntToDecStrW(int64_t(i));
    block[5] = u"AB1CD John";
    TQORSVCCtxRef ref{reinterpret_cast<const TQORSVCNetQueueRecord*>(uintptr_t(16)), 1};
    rig.mgr->SysMan_RegisterClient(ref, nullptr, 0, 0,
                                   TransportBlock({"CC:<EA>a@b</EA>", "<DS>d</DS>", "<IP>1</IP>"}),
                                   "10.0.0.9", "cid", &block, false);
    rig.conn->ReadRequest();
    rig.conn->SendLine("id\\7");
    ASSERT_TRUE(rig.host.WaitLog("EXEC: /opt/hooks/ok.sh"));
    EXPECT_TRUE(rig.host.HasLog("EXEC: /opt/hooks/ok.sh f0 \"AB1CD John\" ***** f3 f4 f7 10.0.0.9 id\\x5C7 0 "
                                "127.0.0.1 " + std::to_string(rig.fake.port) + " f15 f16"));
    for (const std::string& l : rig.host.Logs()) {
        EXPECT_EQ(l.find("s3cret"), std::string::npos) << l;
        EXPECT_EQ(l.find(" f2 "), std::string::npos) << l;  // the client's password
    }
}

TEST(SysManRequests, EveryRegistrationGetsExactlyOneAnswer) {
    Rig rig;
    rig.Start();
    rig.Register(1, 0);  // not operational: answered at once on this thread
    auto now = rig.host.WaitRecs(C::snc_ManagerAnswer, 1, 0ms);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].I0, int(TClientErrorType::cet_NONE));
    rig.MakeOperational();
    rig.mgr->ManagerQueue_ManagerAuthEnable(false);
    rig.Register(2, 0);
    EXPECT_EQ(rig.host.WaitRecs(C::snc_ManagerAnswer, 2).size(), 2u);
    rig.mgr->ManagerQueue_ManagerAuthEnable(true);
    for (int k = 3; k < 40; ++k) rig.Register(k, 0);
    rig.mgr.reset();  // pending and still queued requests alike
    auto all = rig.host.WaitRecs(C::snc_ManagerAnswer, 39, 0ms);
    ASSERT_EQ(all.size(), 39u);
    std::vector<int> seen(40, 0);
    for (const auto& a : all) {
        EXPECT_EQ(a.I0, int(TClientErrorType::cet_NONE));
        ++seen[a.Key];
    }
    for (int k = 1; k < 40; ++k) EXPECT_EQ(seen[size_t(k)], 1) << k;
    auto ends = rig.host.WaitRecs(C::snc_ManagerThreadStartStop, 2, 0ms);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].I1, 1);
    EXPECT_EQ(ends[1].I1, 0);
}

TEST(SysManCommands, DisconnectPasswordEmailAndReport) {
    Rig rig;
    TQORSvcSysmanParams p = Params(rig.fake.port);
    p.ManagerReconnectInterval = 60;
    rig.Start(p);
    rig.MakeOperational();
    TQORSVCCtxRef channel{reinterpret_cast<const TQORSVCNetQueueRecord*>(uintptr_t(64)), 9};

    rig.mgr->SysMan_NewPassword(u"s3cret");  // unchanged: the link stays
    rig.mgr->SysMan_DisconnectManager(channel, true);
    auto a = rig.host.WaitRecs(C::snc_ChannelCommandAnswer, 1);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].S1, "+OK\r\n");
    EXPECT_EQ(a[0].Key, 9u);
    EXPECT_TRUE(rig.conn->WaitClosed());
    EXPECT_TRUE(rig.WaitStatus(smst_PauseShort));
    // back after the short pause, not after the 60 s one
    const auto t0 = Clock::now();
    rig.MakeOperational();
    EXPECT_GE(Clock::now() - t0, 2500ms);

    rig.mgr->SysMan_NewPassword(u"n3wpass");
    EXPECT_TRUE(rig.conn->WaitClosed());
    ASSERT_TRUE(rig.host.WaitLog("Disconnect on new password"));
    EXPECT_NE(rig.AcceptHandshake().find("<PW>n3wpass</PW>"), std::string::npos);
    rig.conn->SendLine("<AL>-4</AL>");
    ASSERT_TRUE(rig.WaitStatus(smst_Pause));
    rig.mgr->SysMan_DisconnectManager(channel, true);
    a = rig.host.WaitRecs(C::snc_ChannelCommandAnswer, 2);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[1].S1, "-NOTCONNECTED\r\n");
    rig.mgr->SysMan_NewEmail(u"new@example.net");  // turns the long pause into a short one
    EXPECT_NE(rig.AcceptHandshake().find("<OW>new@example.net</OW>"), std::string::npos);
    for (const std::string& l : rig.host.Logs()) EXPECT_EQ(l.find("n3wpass"), std::string::npos) << l;

    rig.mgr->ManagerQueue_ManagerLogLevel(0);
    rig.mgr->SysMan_MemoryReport();
    auto lines = rig.host.WaitRecs(C::snc_MemoryReportAnswerLine, 5);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].S1.rfind("Manager[0]: f_Queue=", 0), 0u);
    EXPECT_EQ(lines[4].S1.rfind("Manager[0]: f_WR=", 0), 0u);
    EXPECT_EQ(rig.host.WaitRecs(C::snc_MemoryReportAnswerReadyEvent, 1).size(), 1u);
}

TEST(SysManConnect, HostNamesAreResolvedOffTheThread) {
    {
        Rig rig;
        TQORSvcSysmanParams p = Params(rig.fake.port);
        p.ManagerAddress = u"localhost";
        rig.Start(p);
        EXPECT_NE(rig.AcceptHandshake(), "");
        EXPECT_TRUE(rig.host.WaitLog("Connecting to: localhost:"));
    }
    {
        RecordingHost host;
        TQORSvcSysmanParams p = Params(1);
        p.ManagerAddress = u"manager.example.test";
        p.ManagerReconnectInterval = 60;
        // The resolver may outlive the manager: it shares what it touches.
        auto asked = std::make_shared<std::atomic<int>>(0);
        TQORSvcSysMan m(host, 2, p, [asked](const std::string& name) {
            if (name == "manager.example.test") ++*asked;
            return std::string();
        });
        m.SysMan_Start();
        EXPECT_TRUE(host.WaitLog("ERROR: Manager[2]: Connect error: Socket error (11001)"));
        EXPECT_EQ(asked->load(), 1);
    }
}

TEST(SysManConnect, AHangingLookupKeepsOneResolverThreadAcrossAttemptsAndItsLateAnswerIsUsed) {
    Rig rig;
    struct Calls {
        std::mutex m;
        std::vector<std::thread::id> threads;
    };
    auto calls = std::make_shared<Calls>();
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> gate = release->get_future().share();
    TQORSvcSysmanParams p = Params(rig.fake.port);
    p.ManagerAddress = u"manager.slow.test";
    p.Conn.ServerConnectTimeoutTicks = 20;  // each attempt gives up on the lookup at once
    rig.mgr = std::make_unique<TQORSvcSysMan>(
        rig.host, 1, p, [calls, gate](const std::string& name) {
            size_t n;
            {
                std::lock_guard<std::mutex> g(calls->m);
                calls->threads.push_back(std::this_thread::get_id());
                n = calls->threads.size();
            }
            if (n == 1) gate.wait();
            return name == "manager.slow.test" ? std::string("127.0.0.1") : std::string();
        });
    rig.mgr->SysMan_Start();
    auto timeouts = [&] {
        int n = 0;
        for (const std::string& l : rig.host.Logs())
            n += l.find("Manager[1]: Connection timed out") != std::string::npos;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return timeouts() >= 5; }));
    {
        std::lock_guard<std::mutex> g(calls->m);
        EXPECT_EQ(calls->threads.size(), 1u);
    }
    EXPECT_EQ(ThreadsNamed("QORSysMan1Res"), 1);

    release->set_value();
    EXPECT_NE(rig.AcceptHandshake(), "");
    // the next connection asks again, on the same thread
    rig.conn->Close();
    EXPECT_NE(rig.AcceptHandshake(), "");
    {
        std::lock_guard<std::mutex> g(calls->m);
        ASSERT_EQ(calls->threads.size(), 2u);
        EXPECT_EQ(calls->threads[0], calls->threads[1]);
    }
    EXPECT_EQ(ThreadsNamed("QORSysMan1Res"), 1);
    rig.mgr.reset();
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("QORSysMan1Res") == 0; }));
}

// Under the leak checker: the process ends while the lookup still hangs.
TEST(SysManStop, ALookupStillHangingAtExitLeaksNothing) {
    RecordingHost host;
    auto forever = std::make_shared<std::promise<void>>();
    auto asked = std::make_shared<std::atomic<bool>>(false);
    TQORSvcSysmanParams p = Params(1);
    p.ManagerAddress = u"manager.hung.test";
    auto m = std::make_unique<TQORSvcSysMan>(host, 0, p, [forever, asked](const std::string&) {
        asked->store(true);
        forever->get_future().wait();
        return std::string();
    });
    m->SysMan_Start();
    ASSERT_TRUE(WaitUntil([&] { return asked->load(); }));
    m.reset();
    EXPECT_EQ(host.WaitRecs(C::snc_ManagerThreadStartStop, 2, 0ms).size(), 2u);
    EXPECT_EQ(ThreadsNamed("QORSysMan0Res"), 1);
}

TEST(SysManStop, FourConnectedManagersAndAnUnresolvableOneStopAtOnce) {
    RecordingHost host;
    std::vector<std::unique_ptr<FakeManager>> fakes;
    std::vector<std::unique_ptr<ManagerConn>> conns;
    std::vector<std::unique_ptr<TQORSvcSysMan>> mgrs;
    for (int i = 0; i < 4; ++i) {
        fakes.push_back(std::make_unique<FakeManager>());
        mgrs.push_back(std::make_unique<TQORSvcSysMan>(host, i, Params(fakes.back()->port)));
        mgrs.back()->SysMan_Start();
        conns.push_back(fakes.back()->Accept());
        conns.back()->ReadLine();
        conns.back()->SendLine("<AL>0</AL>");
        conns.back()->ReadLine();
        conns.back()->SendLine("F");
    }
    for (auto& m : mgrs) {
        const auto end = Clock::now() + 10s;
        while (m->ManagerStatus() != smst_Operational && Clock::now() < end)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(m->ManagerStatus(), smst_Operational);
    }
    // a resolver that never answers in time
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> gate = release->get_future().share();
    TQORSvcSysmanParams p = Params(1);
    p.ManagerAddress = u"manager.unreachable.test";
    auto held = std::make_shared<int>(0);  // lives as long as the lookup's state
    auto stuck = std::make_unique<TQORSvcSysMan>(host, 3, p, [gate, held](const std::string&) {
        gate.wait();
        return std::string();
    });
    stuck->SysMan_Start();
    const auto end = Clock::now() + 5s;
    while (stuck->ManagerStatus() != smst_Connecting && Clock::now() < end)
        std::this_thread::sleep_for(2ms);

    const auto t0 = Clock::now();
    for (auto& m : mgrs) m->SysMan_AbortThread();
    stuck->SysMan_AbortThread();
    mgrs.clear();
    stuck.reset();
    EXPECT_LT(Clock::now() - t0, 1000ms);
    EXPECT_EQ(host.WaitRecs(C::snc_ManagerThreadStartStop, 10, 0ms).size(), 10u);
    // the abandoned lookup frees its state and ends its thread when it returns
    release->set_value();
    EXPECT_TRUE(WaitUntil([&] { return held.use_count() == 1; }));
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("QORSysMan3Res") == 0; }));
}
