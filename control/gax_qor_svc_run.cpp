#include "control/gax_qor_svc_run.h"

#include <pthread.h>

#include <cerrno>

namespace gax {

TQORServiceRunner::TQORServiceRunner(const TQORServiceConfig& aConfig) : TQORNetworkedService(aConfig) {
    OnFifo = [this] { HandleFifo(); };
    OnReopenLog = [this] { ReopenLogFile(); };
}

int TQORServiceRunner::HandleFifo() {
    int n = 0;
    std::u16string line;
    // The count is tested before a line is pulled: no line is taken that
    // would not be written in this call.
    while (n < kDrainBatch && GetFifo(line)) {
        InfoMessage(line);
        ++n;
    }
    if (n > 0) InfoFlush();
    return n;
}

const char16_t* AbortTextOfSignal(int aSignal) {
    switch (aSignal) {
        case SIGINT: return u"CTRL-C";
        case SIGQUIT: return u"BREAK";
        case SIGHUP: return u"CLOSE";
        case SIGTERM: return u"SHUTDOWN";
        default: return nullptr;
    }
}

namespace {

// SIGUSR2 wakes the signal thread for its end. It may be the reopen-log
// signal as well: the thread tells them apart by its terminate flag, which
// Stop() sets before it sends the first wake-up.
constexpr int kWakeSignal = SIGUSR2;

sigset_t WaitedSignals(int aReopenSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kWakeSignal);
    if (aReopenSignal > 0) sigaddset(&set, aReopenSignal);
    return set;
}

}  // namespace

int SignalOfReopenLog(TQORReopenLogSignal aSignal) {
    return aSignal == rls_SIGUSR2 ? SIGUSR2 : SIGUSR1;
}

void BlockStopSignals(int aReopenSignal) {
    const sigset_t set = WaitedSignals(aReopenSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TQORSignalThread::TQORSignalThread(TQORService& aService, int aReopenSignal)
    : plat::Thread("qor-signals"), e_Service(aService), f_ReopenSignal(aReopenSignal) {}

TQORSignalThread::~TQORSignalThread() { Stop(); }

void TQORSignalThread::Stop() {
    if (!Started()) return;
    Terminate();
    // The body may not have reached sigwait yet: the wake-up stays pending
    // (it is blocked) and ends the first wait at once.
    while (!Finished()) {
        if (f_Waiting.load(std::memory_order_acquire))
            pthread_kill(f_Native.load(std::memory_order_acquire), kWakeSignal);
        if (Finished()) break;
        struct timespec ts{0, 2'000'000};
        nanosleep(&ts, nullptr);
    }
    Join();
}

void TQORSignalThread::Execute() {
    f_Native.store(pthread_self(), std::memory_order_release);
    f_Waiting.store(true, std::memory_order_release);
    const sigset_t set = WaitedSignals(f_ReopenSignal);
    while (!Terminated()) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (Terminated()) break;
        if (sig == f_ReopenSignal)
            e_Service.SignalReopenLogFile();
        else if (const char16_t* text = AbortTextOfSignal(sig))
            e_Service.ServiceAbortThread(text);
    }
}

}  // namespace gax
