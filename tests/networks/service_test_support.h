// A whole networked service for the end-to-end tests: limits that let many
// stations in from one loopback address, the service started on a free
// loopback port with its main thread, its log kept and shown in the test's
// output, and stopped whatever the test did. Stations join it through
// station_test.
//
// Threads: the test's thread starts and stops the service; the log is
// written by whichever service thread empties the log queue and read by the
// test, under f_LogLock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_service.h"
#include "networks/station_test_support.h"

namespace service_test {

using namespace gax;
using namespace station_test;

// Polls aDone until it holds or aMs have passed: for state the tests cannot
// read as a frame (a bound port, the count of live contexts, a log line).
inline bool WaitFor(const std::function<bool()>& aDone, int aMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A server that lets a handful of stations in from 127.0.0.1 at once and
// gives them time to be slow under a sanitizer.
inline TQORServiceConfig LoopbackConfig() {
    TQORServiceConfig cfg;
    cfg.cfg_ServerEnabled = true;
    cfg.cfg_ConnectionsPerThread = 63;
    cfg.ClientHandshakeTimeout = 20;
    cfg.ClientActivityTimeout = 60;
    cfg.cfg_ServMaxClientConnectionsPerAddress = 8;
    cfg.cfg_ServMaxClientConnectionsTotal = 1000;
    cfg.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 150;
    cfg.cfg_ServMaxClientConnectionsPerAddressMeasureTime = 30;
    return cfg;
}

// The service of aCfg. The test loads its networks through svc, then calls
// Start(); the destructor stops the service if the test did not, so a failed
// assertion never leaves the main thread running.
class LoopbackService {
  public:
    explicit LoopbackService(const TQORServiceConfig& aCfg) : cfg(aCfg) {
        svc = std::make_unique<TQORNetworkedService>(cfg);
        svc->OnFifo = [this] {
            std::u16string l;
            // The log shows in the test's output when a step fails.
            while (svc->GetFifo(l)) {
                const std::string line = UnicodeToByteStr(l);
                std::fprintf(stderr, "%s\n", line.c_str());
                std::lock_guard<std::mutex> g(f_LogLock);
                f_Log.push_back(line);
            }
        };
    }
    ~LoopbackService() { Stop(); }
    LoopbackService(const LoopbackService&) = delete;
    LoopbackService& operator=(const LoopbackService&) = delete;

    // Listens on a free loopback port, runs the main thread and starts the
    // service; succeeds once the port is bound. REQUIRES: networks loaded.
    ::testing::AssertionResult Start() {
        svc->Start();
        svc->AddPortForLocalhost(
            u"Client", u"0", ipver_4,
            [this](TSocket s, const std::string& addr, int aPort, const std::string&, int,
                   const std::u16string&) { svc->evnt_Listener_ClientAcceptPeer(s, addr, aPort); });
        f_Main = std::thread([this] { svc->RunMainThread(); });
        svc->StartService();
        if (!WaitFor([this] { return svc->ListenerBoundPort(u"Client") > 0; }))
            return ::testing::AssertionFailure() << "the client port is not bound";
        port = static_cast<uint16_t>(svc->ListenerBoundPort(u"Client"));
        return ::testing::AssertionSuccess();
    }

    // Aborts the service and joins its main thread; a second call does nothing.
    void Stop() {
        if (!f_Main.joinable()) return;
        svc->ServiceAbortThread(u"CTRL-C");
        f_Main.join();
    }

    // A station of aFields joined on the service's port.
    ::testing::AssertionResult Join(QorConnection& aConn, const ConnectFields& aFields,
                                    ConnectForm aForm = ConnectForm::Ansi,
                                    HandshakeAnswer* aAnswer = nullptr) {
        return station_test::Join(aConn, port, aFields, aForm, aAnswer);
    }

    // True once every client context has been freed.
    bool WaitForNoClients() {
        return WaitFor([this] { return svc->tmClientContextCount.load() == 0; });
    }

    int LogCount(const std::string& aText) {
        std::lock_guard<std::mutex> g(f_LogLock);
        int n = 0;
        for (const std::string& l : f_Log) n += l.find(aText) != std::string::npos;
        return n;
    }
    bool LogHas(const std::string& aText) { return LogCount(aText) > 0; }

    const TQORServiceConfig cfg;  // the service keeps a reference
    std::unique_ptr<TQORNetworkedService> svc;
    uint16_t port = 0;

  private:
    std::thread f_Main;
    std::mutex f_LogLock;
    std::vector<std::string> f_Log;  // guarded by f_LogLock
};

}  // namespace service_test
