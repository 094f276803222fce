// The running service with a manager-mode network and a real manager thread
// against the scripted fake manager: a station is held until the manager
// answers, then joins or gets the manager's refusal; the stop with the
// manager connected ends without waiting for the time limit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "foundation/gax_fileutils.h"
#include "networks/gax_qor_svc_network_service.h"
#include "networks/service_test_support.h"
#include "sysman/sysman_test_support.h"
#include "tools/qor_client_proto.h"

namespace {

using namespace gax;
using namespace qortool;
using namespace sysmantest;

using service_test::WaitFor;

struct Station {
    QorConnection conn;
    std::future<HandshakeAnswer> answer;

    // Connects and sends its connect string; the answer is awaited aside.
    void Join(uint16_t aPort, const std::string& aMail, const std::string& aNetwork = "Mgr") {
        ConnectFields f;
        f.Email = aMail;
        f.Callsign = "ST";
        f.Password = "secret";
        f.City = "Town";
        f.Country = "Land";
        f.Network = aNetwork;
        const BuildResult b = BuildConnectString(f, ConnectForm::Ansi);
        ASSERT_TRUE(b.Ok()) << b.Error;
        ASSERT_TRUE(conn.Connect("127.0.0.1", aPort, "", 5000)) << conn.Error();
        answer = std::async(std::launch::async, [this, line = b.Line] {
            HandshakeAnswer a;
            conn.Handshake(line, a, 20000);
            return a;
        });
    }
};

class ServiceWithManager : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = "sysman_service_test_" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        netFile = dir + "/networks.cfg";
        FILE* f = std::fopen(netFile.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(NetworksFile(), f);
        std::fclose(f);

        cfg = service_test::LoopbackConfig();
        ConfigureManagers();

        svc = std::make_unique<TQORNetworkedService>(cfg);
        svc->OnFifo = [this] {
            std::u16string l;
            std::lock_guard<std::mutex> g(logLock);
            while (svc->GetFifo(l)) {
                log.push_back(UnicodeToByteStr(l));
                std::fprintf(stderr, "%s\n", log.back().c_str());
            }
        };
        svc->SetManagerFactory([](TQORSvcSysManHost& aHost, int32_t aIndex,
                                  const TQORSvcSysmanParams& aParams) {
            return std::unique_ptr<TQORSVCManagerThread>(
                std::make_unique<TQORSvcSysMan>(aHost, aIndex, aParams));
        });
        TQORServiceNetOptions serv;
        svc->LoadNetworks(serv, Utf8StrToUnicodeLenient(netFile));
        svc->Start();
        svc->AddPortForLocalhost(u"Client", u"0", ipver_4,
                                 [this](TSocket s, const std::string& addr, int port,
                                        const std::string&, int, const std::u16string&) {
                                     svc->evnt_Listener_ClientAcceptPeer(s, addr, port);
                                 });
        mainThread = std::thread([this] { svc->RunMainThread(); });
        svc->StartService();
        ASSERT_TRUE(WaitFor([&] { return svc->ListenerBoundPort(u"Client") > 0; }));
        port = static_cast<uint16_t>(svc->ListenerBoundPort(u"Client"));
    }
    virtual const char* NetworksFile() const { return "Mgr|ManagerMode=QOR|ManagersMask=1\nFree\n"; }
    virtual void ConfigureManagers() {
        cfg.ManagerParams[0] = Params(fake.port);
        cfg.ManagerParams[0].ManagerLogDebug = 4;
    }
    void TearDown() override {
        if (mainThread.joinable()) {
            svc->ServiceAbortThread(u"CTRL-C");
            mainThread.join();
        }
        svc.reset();
        std::remove(netFile.c_str());
        ::rmdir(dir.c_str());
    }
    // The manager's side up to "Operating": handshake, answer, ping.
    void ManagerOperational() {
        mgr = fake.Accept();
        ASSERT_TRUE(mgr->Valid());
        ASSERT_EQ(mgr->ReadLine().substr(0, 3), "SC:");
        mgr->SendLine("<AL>0</AL>");
        ASSERT_EQ(mgr->ReadLine(), "P\r\n");
        mgr->SendLine("F");
        ASSERT_TRUE(WaitLog("Operating"));
    }
    bool WaitLog(const std::string& aText) {
        return WaitFor([&] {
            std::lock_guard<std::mutex> g(logLock);
            for (const std::string& l : log)
                if (l.find(aText) != std::string::npos) return true;
            return false;
        });
    }
    bool HasLog(const std::string& aText) {
        std::lock_guard<std::mutex> g(logLock);
        for (const std::string& l : log)
            if (l.find(aText) != std::string::npos) return true;
        return false;
    }

    FakeManager fake;
    std::unique_ptr<ManagerConn> mgr;
    std::string dir, netFile;
    TQORServiceConfig cfg;
    std::unique_ptr<TQORNetworkedService> svc;
    std::thread mainThread;
    uint16_t port = 0;
    std::mutex logLock;
    std::vector<std::string> log;
};

TEST_F(ServiceWithManager, StationIsHeldUntilTheManagerAnswersThenJoinsOrIsRefused) {
    ManagerOperational();
    EXPECT_EQ(svc->SysMansMask(), 1u);

    Station ok;
    ok.Join(port, "good@example.org");
    // The registration reaches the manager while the station still waits.
    const std::string reg = mgr->ReadRequest();
    ASSERT_EQ(reg.substr(0, 3), "CC:") << reg;
    EXPECT_NE(reg.find("good@example.org"), std::string::npos);
    EXPECT_EQ(ok.answer.wait_for(0s), std::future_status::timeout);
    mgr->SendLine("MGR-ID-1");
    const HandshakeAnswer a = ok.answer.get();
    EXPECT_TRUE(a.Positive()) << a.Access();
    EXPECT_EQ(a.Network(), "Mgr");

    Station bad;
    bad.Join(port, "bad@example.org");
    ASSERT_EQ(mgr->ReadRequest().substr(0, 3), "CC:");
    mgr->SendLine("WRONG");
    EXPECT_EQ(bad.answer.get().Access(), "WRONG");

    // The stop with the manager connected ends the thread at once.
    svc->ServiceAbortThread(u"CTRL-C");
    mainThread.join();
    EXPECT_TRUE(svc->ServiceThreadFinished());
    EXPECT_FALSE(HasLog("Can not termimate server on time"));
    EXPECT_TRUE(mgr->WaitClosed(10s));
}

TEST_F(ServiceWithManager, ManagerOfflineAnswersAtOnceAndTheManagerModeLetsTheStationIn) {
    // No connection accepted yet: the thread is connecting, so the
    // registration is answered NONE on the spot, which approves in QOR mode.
    Station s;
    s.Join(port, "early@example.org");
    const HandshakeAnswer a = s.answer.get();
    EXPECT_TRUE(a.Positive()) << a.Access();
}

// A manager that speaks the per-network forms ("Multiple"), against a network
// with the Parrot and one that holds its newcomers in quarantine: the Parrot
// is neither counted nor registered, and a station that leaves is
// unregistered (a station still waiting in ATTACH is not: its worker learns
// of the close only once an answer is written, see the network's tests).
class ManagerSeesLeaving : public ServiceWithManager {
  protected:
    const char* NetworksFile() const override {
        return "Mgr|ManagerMode=QOR;ManagersMask=1;ParrotEnable=1;LogClientLevel=5\n"
               "Slow|ManagerMode=QOR;ManagersMask=1;QuarantineTime=4000;LogClientLevel=5\n";
    }
    // Up to "Operating", then the counts of both networks as the manager
    // comes on line.
    void MultipleOperational() {
        mgr = fake.Accept();
        ASSERT_TRUE(mgr->Valid());
        ASSERT_EQ(mgr->ReadLine().substr(0, 3), "SC:");
        mgr->SendLine("<AL>0</AL><MEF>8</MEF>");
        ASSERT_EQ(mgr->ReadLine().substr(0, 3), "ZN:");
        for (std::string l = mgr->ReadLine(); l != "P\r\n"; l = mgr->ReadLine())
            ASSERT_FALSE(l.empty());
        mgr->SendLine("F");
        ASSERT_TRUE(WaitLog("Operating"));
    }
    // The next line that is not a count; the counts on the way are kept.
    std::string NextNotCount() {
        for (;;) {
            std::string l = mgr->ReadRequest();
            if (l.substr(0, 3) != "ZT:") return l;
            counts.push_back(l);
        }
    }
    std::vector<std::string> counts;
};

TEST_F(ManagerSeesLeaving, ParrotIsNotToldAndVisibleAndQuarantinedLeaversAreUnregistered) {
    MultipleOperational();
    // On line: "Mgr" (index 0) counts nobody although the Parrot is visible,
    // and nothing is registered for it.
    std::string count;
    do {
        count = mgr->ReadRequest();
        ASSERT_EQ(count.substr(0, 3), "ZT:") << count;
    } while (count.substr(0, 5) != "ZT:00");
    EXPECT_EQ(count, "ZT:0000\r\n");

    // Visible: joins "Mgr", becomes a listed member, then leaves.
    Station vis;
    vis.Join(port, "visible@example.org");
    std::string reg = mgr->ReadRequest();
    ASSERT_EQ(reg.substr(0, 5), "ZC:00") << reg;  // the station, not the Parrot
    EXPECT_NE(reg.find("visible@example.org"), std::string::npos) << reg;
    mgr->SendLine("MGR-ID-1");
    ASSERT_TRUE(vis.answer.get().Positive());
    std::string frame;
    ASSERT_EQ(vis.conn.WaitForFrame(kFrameNetworks, frame, 20000), ReadStatus::Ok);
    for (std::string l = mgr->ReadRequest(); l != "ZT:0001\r\n"; l = mgr->ReadRequest())
        ASSERT_EQ(l.substr(0, 3), "ZT:") << l;  // one member: the Parrot is not counted
    vis.conn.Close();
    EXPECT_EQ(NextNotCount(), "ZD:0008MGR-ID-1\r\n");

    // QUARANTINE: "Slow" holds it for 4 s after its positive answer.
    Station held;
    held.Join(port, "held@example.org", "Slow");
    reg = NextNotCount();
    ASSERT_EQ(reg.substr(0, 5), "ZC:01") << reg;
    mgr->SendLine("MGR-ID-2");
    ASSERT_TRUE(held.answer.get().Positive());
    held.conn.Close();
    EXPECT_EQ(NextNotCount(), "ZD:0108MGR-ID-2\r\n");

    for (const std::string& c : counts) EXPECT_NE(c, "ZT:0002\r\n") << "the Parrot was counted";
}

// Four managers: three answer, the fourth's host name cannot be resolved.
class FourManagers : public ServiceWithManager {
  protected:
    const char* NetworksFile() const override { return "Mgr|ManagerMode=QOR|ManagersMask=15\n"; }
    void ConfigureManagers() override {
        for (int i = 0; i < 3; ++i) cfg.ManagerParams[size_t(i)] = Params(more[i].port);
        cfg.ManagerParams[3] = Params(1);
        cfg.ManagerParams[3].ManagerAddress = u"manager-that-does-not-exist.invalid";
    }
    FakeManager more[3];
};

TEST_F(FourManagers, StopWithThreeConnectedAndOneUnresolvedEndsWithoutTheTimeLimit) {
    EXPECT_EQ(svc->SysMansMask(), 0xFu);
    std::unique_ptr<ManagerConn> conns[3];
    for (int i = 0; i < 3; ++i) {
        conns[i] = more[i].Accept();
        ASSERT_TRUE(conns[i]->Valid()) << i;
        ASSERT_EQ(conns[i]->ReadLine().substr(0, 3), "SC:") << i;
        conns[i]->SendLine("<AL>0</AL>");
        ASSERT_EQ(conns[i]->ReadLine(), "P\r\n") << i;
        conns[i]->SendLine("F");
    }
    ASSERT_TRUE(WaitLog("Manager[2]: Operating"));
    ASSERT_TRUE(WaitLog("Manager[0]: Operating"));
    ASSERT_TRUE(WaitLog("Manager[1]: Operating"));
    svc->ServiceAbortThread(u"CTRL-C");
    mainThread.join();
    EXPECT_TRUE(svc->ServiceThreadFinished());
    EXPECT_FALSE(HasLog("Can not termimate server on time"));
    for (auto& c : conns) EXPECT_TRUE(c->WaitClosed(10s));
}

}  // namespace
