// The runner's drain of the service's log FIFO and the signals' abort texts.
// The service is only constructed (no thread is started): lines are pushed
// into its FIFO and drained on this thread, as the main thread does.
#include "control/gax_qor_svc_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace gax;

namespace {

class RecordingRunner final : public TQORServiceRunner {
  public:
    explicit RecordingRunner(const TQORServiceConfig& aConfig) : TQORServiceRunner(aConfig) {}
    void InfoMessage(std::u16string_view aInfo) override { lines.emplace_back(aInfo); }
    void InfoFlush() override { ++flushes; }
    void ReopenLogFile() override { ++reopens; }
    std::vector<std::u16string> lines;
    int flushes = 0;
    int reopens = 0;
};

}  // namespace

TEST(ServiceRunner, DrainTakesAtMost128LinesPerCallAndLosesNone) {
    TQORServiceConfig cfg;
    RecordingRunner r(cfg);
    // An empty FIFO: nothing written, nothing flushed.
    r.OnFifo();
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.flushes, 0);

    for (int i = 0; i < 300; ++i) r.Fifo(u"line " + std::u16string(1, char16_t(u'A' + i % 26)));
    EXPECT_EQ(r.HandleFifo(), 128);
    EXPECT_EQ(r.flushes, 1);
    EXPECT_EQ(r.HandleFifo(), 128);
    r.OnFifo();  // the service's synchronous call reaches the same drain
    EXPECT_EQ(r.flushes, 3);
    ASSERT_EQ(r.lines.size(), 300u);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(r.lines[size_t(i)], u"line " + std::u16string(1, char16_t(u'A' + i % 26))) << i;
    EXPECT_EQ(r.HandleFifo(), 0);
    EXPECT_EQ(r.flushes, 3);

    r.OnReopenLog();
    EXPECT_EQ(r.reopens, 1);
}

TEST(ServiceRunner, StopSignalsAndTheirAbortTexts) {
    const std::pair<int, const char16_t*> cases[] = {
        {SIGINT, u"CTRL-C"}, {SIGQUIT, u"BREAK"}, {SIGHUP, u"CLOSE"}, {SIGTERM, u"SHUTDOWN"},
        {SIGUSR1, nullptr},  {SIGUSR2, nullptr},  {SIGPIPE, nullptr}, {0, nullptr}};
    for (const auto& [sig, text] : cases) {
        const char16_t* got = AbortTextOfSignal(sig);
        if (text == nullptr)
            EXPECT_EQ(got, nullptr) << sig;
        else
            EXPECT_EQ(std::u16string(got), text) << sig;
    }
}
