// Test doubles of the command-context tests: a command host with a real
// poster whose queues the test reads, two networks by name, and a connection
// served by a real worker on one end of a socket pair, the test holding the
// other end as the console would.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/gax_qor_svc_command.h"
#include "foundation/gax_datetime.h"
#include "server/gax_qor_svc_cmdhost.h"
#include "server/gax_qor_svc_worker.h"

namespace cmd_test {

using namespace gax;
using Cmd = TQORServNetworkCommand;

struct NetTag {
    int id;
};

class FakeCmdHost final : public TQORSVCCommandHost {
  public:
    FakeCmdHost() {
        cfg.cfg_ConnectionsPerThread = 63;
        cfg.cfg_WorkerThreadCacheTime = 60;
        poster.SetTimerWaiter(&heartbeat);
        poster.SetServiceWaiter(&service);
    }
    const TQORServiceConfig& SvcConfig() const override { return cfg; }
    TQORSVCPoster& SvcPoster() override { return poster; }
    TQORGlobalKey GetNextUniqCounter() override { return ++keys; }
    void Fifo(std::u16string aText) override {
        std::lock_guard<std::mutex> l(m);
        log.push_back(std::move(aText));
    }
    int32_t LogClientLevel() const override { return clientLevel.load(); }
    int32_t LogCommandLevel() const override { return 0; }

    bool CmdFindNetwork(std::u16string_view aNameU, std::string_view,
                        TQORSVCCmdNetwork& aNet) override {
        for (auto& [name, tag] : nets) {
            std::u16string a(aNameU), b(name);
            for (auto* s : {&a, &b})
                for (auto& c : *s)
                    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            if (a == b) {
                aNet.Handle = &tag;
                return true;
            }
        }
        return false;
    }
    void CmdAbortService(std::u16string_view aText) override {
        {
            std::lock_guard<std::mutex> l(m);
            aborts.emplace_back(aText);
        }
        abortsCv.notify_all();
    }
    void CmdLogText(std::u16string_view, std::u16string_view aText) override {
        Fifo(std::u16string(aText));
    }
    void CmdSetLogClientLevel(int32_t aLevel) override { clientLevel.store(aLevel); }
    uint32_t CmdServerUptime() const override { return uptime.load(); }
    bool CmdManagerNewPasswordIdx(int32_t aIndex, std::string_view) override {
        return aIndex == activeManager;
    }
    TQORSVCCmdManagerMatch CmdManagerNewPasswordAddr(std::string_view aAddr, std::string_view,
                                                     bool, std::string_view) override {
        if (aAddr == "one") return TQORSVCCmdManagerMatch::One;
        if (aAddr == "two") return TQORSVCCmdManagerMatch::Many;
        return TQORSVCCmdManagerMatch::None;
    }
    bool CmdManagerNewEmailIdx(int32_t aIndex, std::string_view) override {
        return aIndex == activeManager;
    }

    std::vector<std::u16string> Log() {
        std::lock_guard<std::mutex> l(m);
        return log;
    }
    // The aborts asked for, once at least one came or ms passed.
    std::vector<std::u16string> Aborts(int ms = 5000) {
        std::unique_lock<std::mutex> l(m);
        abortsCv.wait_for(l, std::chrono::milliseconds(ms), [&] { return !aborts.empty(); });
        return aborts;
    }
    // Server-queue records until one with aCmd arrived or ms passed; all
    // pulled records stay in `records`.
    bool WaitRecord(Cmd aCmd, int ms = 5000) {
        const TGaxTick32 start = GetTick32();
        size_t seen = 0;
        for (;;) {
            while (auto rec = poster.ServQueue().Pull()) records.push_back(std::move(rec));
            for (; seen < records.size(); ++seen)
                if (records[seen]->nqr_Cmd == aCmd) return true;
            const uint32_t spent = TickDiff32(start, GetTick32());
            if (spent >= static_cast<uint32_t>(ms)) return false;
            heartbeat.WaitFor(static_cast<uint32_t>(ms) - spent);
        }
    }
    // Waits for the disconnect record of that context.
    bool WaitStopped(const TQORSVCWrkCtx* aCtx, int ms = 10000) {
        const TGaxTick32 start = GetTick32();
        for (;;) {
            for (const auto& r : records)
                if (r->nqr_Cmd == Cmd::snc_CommandDisconnected && r->nqr_Context.Is(aCtx))
                    return true;
            const uint32_t spent = TickDiff32(start, GetTick32());
            if (spent >= static_cast<uint32_t>(ms)) return false;
            if (auto rec = poster.ServQueue().Pull()) {
                records.push_back(std::move(rec));
                continue;
            }
            heartbeat.WaitFor(std::min<uint32_t>(100, static_cast<uint32_t>(ms) - spent));
        }
    }
    const TQORSVCNetQueueRecord* Find(Cmd aCmd) const {
        for (const auto& r : records)
            if (r->nqr_Cmd == aCmd) return r.get();
        return nullptr;
    }

    TQORServiceConfig cfg;
    TWaiter2Socket heartbeat{0};
    TWaiter2Socket service{0};
    TQORSVCPoster poster;
    std::atomic<TQORGlobalKey> keys{0};
    std::atomic<int32_t> clientLevel{2};
    std::atomic<uint32_t> uptime{0};
    int32_t activeManager = -1;
    std::map<std::u16string, NetTag> nets{{u"Net01", {1}}, {u"Test", {2}}};
    std::mutex m;
    std::condition_variable abortsCv;
    std::vector<std::u16string> log;
    std::vector<std::u16string> aborts;
    std::vector<TQORSVCPoster::RecordPtr> records;
};

// Reads from a blocking peer socket until the peer closes (true) or ms passed.
inline bool ReadUntilClose(int aFd, std::string& aOut, int ms = 5000) {
    const TGaxTick32 start = GetTick32();
    for (;;) {
        const uint32_t spent = TickDiff32(start, GetTick32());
        if (spent >= static_cast<uint32_t>(ms)) return false;
        pollfd p{aFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(ms - spent)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(aFd, buf, sizeof buf, 0);
        if (n <= 0) return true;
        aOut.append(buf, static_cast<size_t>(n));
    }
}

// Reads until aOut holds at least aBytes bytes (true) or ms passed or the peer closed.
inline bool ReadAtLeast(int aFd, std::string& aOut, size_t aBytes, int ms = 5000) {
    const TGaxTick32 start = GetTick32();
    while (aOut.size() < aBytes) {
        const uint32_t spent = TickDiff32(start, GetTick32());
        if (spent >= static_cast<uint32_t>(ms)) return false;
        pollfd p{aFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(ms - spent)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(aFd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        aOut.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// One command connection on a worker: the context gets one end of a socket
// pair, the test the other.
class Conn {
  public:
    Conn(FakeCmdHost& aHost, TQORSVCWorker& aWorker) : host(aHost), worker(aWorker) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        ctx = std::make_unique<TQORSVCCommandContext>(&host, sv[0], std::string("\x7f\x00\x00\x01", 4),
                                               5000);
        worker.WorkQueue_AddNewContext(ctx.get());
        if (worker.TakeWakeUpFlag()) worker.WorkerWakeUp();
    }
    // The worker must be done with the context before it is freed: the
    // peer's close ends it, and its disconnect record says so.
    ~Conn() {
        if (peer >= 0) ::close(peer);
        if (!stopped) {
            EXPECT_TRUE(host.WaitStopped(ctx.get()));
        }
    }
    void Send(std::string_view aBytes) {
        EXPECT_EQ(::send(peer, aBytes.data(), aBytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(aBytes.size()));
    }
    // As the heartbeat answers: append, flag, wake.
    void Answer(std::string_view aBytes) {
        ctx->PutStr(aBytes);
        ctx->WakeUpWorker();
        if (worker.TakeWakeUpFlag()) worker.WorkerWakeUp();
    }

    FakeCmdHost& host;
    TQORSVCWorker& worker;
    int peer = -1;
    bool stopped = false;  // its disconnect record was seen
    std::unique_ptr<TQORSVCCommandContext> ctx;
};

}  // namespace cmd_test
