// The service's side of the command channel, without threads.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/gax_qor_svc_roles.h"
#include "server/gax_qor_svc_server_id.h"

namespace {

using namespace gax;

class NamedNet final : public TQORSVCNetwork {
  public:
    explicit NamedNet(std::u16string aName) : f_Name(std::move(aName)) {}
    std::u16string NetName() const override { return f_Name; }
    uint32_t PingBase() const override { return 0; }
    void SetPingBase(uint32_t) override {}
    bool HasCommands() const override { return false; }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>&) override { return false; }
    bool NetHeartBeat(bool, uint32_t) override { return false; }
    bool SpeechPauseOn() const override { return false; }
    uint32_t SpeechPauseStartTick() const override { return 0; }
    uint32_t SpeechPauseTicks() const override { return 0; }
    void EndSpeechPause() override {}
    bool ParrotBusy() const override { return false; }
    void ParrotHeartBeat(uint32_t) override {}
    void AppendSnapshot(TQORSVCListKind, TQORSVCWriteArray&) const override {}

  private:
    std::u16string f_Name;
};

class ServiceCmd : public ::testing::Test {
  protected:
    ServiceCmd() {
        svc = std::make_unique<TQORService>(cfg);
        auto a = std::make_unique<NamedNet>(u"Net01");
        auto b = std::make_unique<NamedNet>(u"Zürich");
        net01 = a.get();
        zurich = b.get();
        svc->AddNetwork(std::move(a));
        svc->AddNetwork(std::move(b));
    }
    TQORServiceConfig cfg;
    std::unique_ptr<TQORService> svc;
    NamedNet* net01 = nullptr;
    NamedNet* zurich = nullptr;
};

TEST_F(ServiceCmd, NetworksAreFoundExactlyOrIgnoringAsciiCase) {
    TQORSVCCmdNetwork n;
    ASSERT_TRUE(svc->CmdFindNetwork(u"Net01", "Net01", n));
    EXPECT_TRUE(n.Handle.Is(static_cast<const TQORSVCNetwork*>(net01)));
    ASSERT_TRUE(svc->CmdFindNetwork(u"nET01", "nET01", n));
    EXPECT_TRUE(n.Handle.Is(static_cast<const TQORSVCNetwork*>(net01)));
    ASSERT_TRUE(svc->CmdFindNetwork(u"ZüRICH", "Z\xC3\xBCRICH", n));
    EXPECT_TRUE(n.Handle.Is(static_cast<const TQORSVCNetwork*>(zurich)));
    EXPECT_FALSE(svc->CmdFindNetwork(u"ZÜrich", "Z\xC3\x9Crich", n));  // only ASCII folds
    EXPECT_FALSE(svc->CmdFindNetwork(u"Net0", "Net0", n));
}

TEST_F(ServiceCmd, LevelsCountersAndTheContextFactory) {
    svc->CmdSetLogClientLevel(6);
    EXPECT_EQ(svc->LogClientLevel(), 6);

    // No managers yet: every manager look-up finds none.
    EXPECT_FALSE(svc->CmdManagerNewPasswordIdx(0, "pw"));
    EXPECT_EQ(svc->CmdManagerNewPasswordAddr("a", "", false, "pw"), TQORSVCCmdManagerMatch::None);

    // Without a factory the accepted socket is closed, not leaked.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    {
        TQORRoleScope role(kHeartbeat);
        EXPECT_EQ(svc->tmMakeCommandContext(sv[0], std::string(4, '\0'), 1), nullptr);
    }
    char c;
    EXPECT_EQ(::recv(sv[1], &c, 1, 0), 0);  // the other end sees the close
    ::close(sv[1]);
}

}  // namespace
