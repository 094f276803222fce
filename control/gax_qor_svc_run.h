// The running server of the console program: the service with its log
// written by the main thread, and the signal thread that turns the operator's
// signals into the service's staged stop.
//
// Threads: TQORServiceRunner's InfoMessage/InfoFlush/ReopenLogFile run on the
// main thread only, inside the service's synchronous calls (OnFifo,
// OnReopenLog); producers on every other thread only push into the service's
// thread-safe log FIFO. TQORSignalThread's body only calls ServiceAbortThread
// and SignalReopenLogFile, which any thread may call.
#pragma once

#include <signal.h>

#include <atomic>
#include <string>
#include <string_view>

#include "platform/plat_thread.h"
#include "protocol/gax_qor_consts.h"
#include "networks/gax_qor_svc_network_service.h"

namespace gax {

class TQORServiceRunner : public TQORNetworkedService {
  public:
    // Fills OnFifo and OnReopenLog with the runner's drain and reopen.
    explicit TQORServiceRunner(const TQORServiceConfig& aConfig);

    // One log line; nothing flushed.
    virtual void InfoMessage(std::u16string_view aInfo) = 0;
    virtual void InfoFlush() = 0;
    virtual void ReopenLogFile() = 0;

    // The drain: at most kDrainBatch lines per call, the rest stay queued;
    // one flush when any line was written. Returns the number written.
    static constexpr int kDrainBatch = 128;
    int HandleFifo();
};

// The signals that stop the server and their abort texts; every other signal
// gives null.
const char16_t* AbortTextOfSignal(int aSignal);

// The signal number of the configured reopen-log signal.
int SignalOfReopenLog(TQORReopenLogSignal aSignal);

// Blocks the stop signals and aReopenSignal (0: none) in the calling thread:
// call it in main before any thread exists, so every later thread inherits
// the mask and only the signal thread receives them (never an asynchronous
// handler).
void BlockStopSignals(int aReopenSignal = 0);

// Waits for SIGINT, SIGQUIT, SIGHUP and SIGTERM and passes each one's abort
// text to the service; aReopenSignal (0: none) asks the service to reopen its
// log. Stop() ends it; REQUIRES: BlockStopSignals ran with the same
// aReopenSignal before any thread was created, and the service outlives the
// thread.
class TQORSignalThread final : public plat::Thread {
  public:
    explicit TQORSignalThread(TQORService& aService, int aReopenSignal = 0);
    ~TQORSignalThread() override;
    // Ends the wait and joins. REQUIRES: the owner's thread.
    void Stop();

  protected:
    void Execute() override;

  private:
    TQORService& e_Service;
    const int f_ReopenSignal;
    std::atomic<pthread_t> f_Native{};
    std::atomic<bool> f_Waiting{false};
};

}  // namespace gax
