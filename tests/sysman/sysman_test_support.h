// Fixtures of the manager tests: a host that records what a manager thread
// reports and logs, a scripted fake manager on a loopback listener, and a
// builder of client transport blocks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/gax_strutils.h"
#include "sysman/gax_qor_svc_sysman.h"

namespace sysmantest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records every report and log line; waits for them with a deadline.
class RecordingHost : public gax::TQORSvcSysManHost {
  public:
    struct Rec {
        gax::TQORServNetworkCommand Cmd{};
        gax::TQORSVCHandle Context;
        gax::TQORGlobalKey Key = 0;
        int32_t I0 = 0, I1 = 0, I2 = 0;
        std::string S1, S2;
        uintptr_t Socket = 0;
    };

    void SysManPost(std::unique_ptr<gax::TQORSVCNetQueueRecord> r) override {
        std::lock_guard<std::mutex> g(m);
        recs.push_back({r->nqr_Cmd, r->nqr_Context, r->nqr_GlobalKey, r->nqr_DataI0, r->nqr_DataI1,
                        r->nqr_DataI2, r->nqr_DataS1, r->nqr_DataS2, r->nqr_Socket});
        cv.notify_all();
    }
    bool SysManLogExec() const override { return true; }
    void SysManLog(std::u16string line) override {
        std::lock_guard<std::mutex> g(m);
        std::string s;
        for (char16_t c : line) s += c < 0x80 ? char(c) : '?';
        logs.push_back(std::move(s));
        cv.notify_all();
    }

    // Waits until a log line contains the text; false after the limit.
    bool WaitLog(const std::string& text, std::chrono::milliseconds limit = 30s) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, [&] { return FindLogLocked(text) >= 0; });
    }
    bool HasLog(const std::string& text) {
        std::lock_guard<std::mutex> g(m);
        return FindLogLocked(text) >= 0;
    }
    std::vector<std::string> Logs() {
        std::lock_guard<std::mutex> g(m);
        return logs;
    }
    // Waits until n records of the command exist; returns them.
    std::vector<Rec> WaitRecs(gax::TQORServNetworkCommand cmd, size_t n,
                              std::chrono::milliseconds limit = 30s) {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, limit, [&] { return CountLocked(cmd) >= n; });
        std::vector<Rec> out;
        for (const Rec& r : recs)
            if (r.Cmd == cmd) out.push_back(r);
        return out;
    }
    size_t Count(gax::TQORServNetworkCommand cmd) {
        std::lock_guard<std::mutex> g(m);
        return CountLocked(cmd);
    }

  private:
    int FindLogLocked(const std::string& text) const {
        for (size_t i = 0; i < logs.size(); ++i)
            if (logs[i].find(text) != std::string::npos) return int(i);
        return -1;
    }
    size_t CountLocked(gax::TQORServNetworkCommand cmd) const {
        size_t n = 0;
        for (const Rec& r : recs) n += r.Cmd == cmd;
        return n;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Rec> recs;
    std::vector<std::string> logs;
};

// One connection of the fake manager: reads the server's lines, writes the script's.
class ManagerConn {
  public:
    explicit ManagerConn(int fd) : f_Fd(fd) {}
    ~ManagerConn() { Close(); }
    ManagerConn(const ManagerConn&) = delete;
    ManagerConn& operator=(const ManagerConn&) = delete;

    bool Valid() const { return f_Fd >= 0; }
    void Close() {
        if (f_Fd >= 0) ::close(f_Fd);
        f_Fd = -1;
    }
    void Send(const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            const ssize_t n = ::send(f_Fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += size_t(n);
        }
    }
    void SendLine(const std::string& s) { Send(s + "\r\n"); }
    // One line with its CR LF; empty after the limit or at the peer's close
    // (Closed() then tells which).
    std::string ReadLine(std::chrono::milliseconds limit = 30s) {
        const auto end = Clock::now() + limit;
        for (;;) {
            const size_t lf = f_Buf.find('\n');
            if (lf != std::string::npos) {
                std::string line = f_Buf.substr(0, lf + 1);
                f_Buf.erase(0, lf + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || f_Closed) return {};
            pollfd p{f_Fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) != 1) return {};
            char buf[4096];
            const ssize_t n = ::recv(f_Fd, buf, sizeof buf, 0);
            if (n <= 0) {
                f_Closed = true;
                return {};
            }
            f_Buf.append(buf, size_t(n));
        }
    }
    // Reads lines, answering every ping with "F", until one is not a ping.
    std::string ReadRequest(std::chrono::milliseconds limit = 30s) {
        const auto end = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return {};
            std::string l = ReadLine(left);
            if (l != "P\r\n") return l;
            SendLine("F");
        }
    }
    // True when the server closed the connection within the limit (pings are answered).
    bool WaitClosed(std::chrono::milliseconds limit = 30s) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            ReadRequest(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            if (f_Closed) return true;
        }
        return f_Closed;
    }
    bool Closed() const { return f_Closed; }

  private:
    int f_Fd = -1;
    bool f_Closed = false;
    std::string f_Buf;
};

// The fake manager's listener.
class FakeManager {
  public:
    FakeManager() {
        f_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(f_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(f_Fd, 8), 0);
        socklen_t len = sizeof a;
        ::getsockname(f_Fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~FakeManager() { ::close(f_Fd); }
    FakeManager(const FakeManager&) = delete;
    FakeManager& operator=(const FakeManager&) = delete;

    std::unique_ptr<ManagerConn> Accept(std::chrono::milliseconds limit = 30s) {
        pollfd p{f_Fd, POLLIN, 0};
        if (::poll(&p, 1, int(limit.count())) != 1) return std::make_unique<ManagerConn>(-1);
        return std::make_unique<ManagerConn>(::accept4(f_Fd, nullptr, nullptr, SOCK_CLOEXEC));
    }

    int port = 0;

  private:
    int f_Fd = -1;
};

// A manager section that reaches the fake manager at once and reconnects at once.
inline gax::TQORSvcSysmanParams Params(int port) {
    gax::TQORSvcSysmanParams p;
    p.ManagerAddress = u"127.0.0.1";
    p.ManagerPort = port;
    p.ManagerPresentServerAddr = u"qor.example.net";
    p.ManagerPresentServerPort = u"10024";
    p.ManagerAuthEMail = u"owner@example.net";
    p.ManagerAuthPassword = u"s3cret";
    p.ServerVersion = 7348;
    p.ManagerReconnectInterval = 0;
    p.ManagerLogErrors = true;
    p.ManagerLogDebug = 6;
    p.ssmp_ManagerEnabled = true;
    p.ssmp_ManagerAuthEnabled = true;
    p.Conn.ServerConnectTimeoutTicks = 5000;
    p.Conn.ReadTimeoutTicks = 4000;
    p.Conn.PreferIPv4 = true;
    return p;
}

// A client transport block: the header of nine (offset, length) pairs, then
// the parts in the order 0, 1, 6, 2, 3, 4, 7, 5, 8, each at a multiple of 4.
inline std::string TransportBlock(const std::array<std::string, 9>& parts) {
    std::string b(72, '\0');
    const int order[9] = {0, 1, 6, 2, 3, 4, 7, 5, 8};
    for (int i : order) {
        while (b.size() % 4) b += '\0';
        const uint32_t off = parts[size_t(i)].empty() ? 0 : uint32_t(b.size());
        const uint32_t len = uint32_t(parts[size_t(i)].size());
        for (int k = 0; k < 4; ++k) {
            b[size_t(i) * 8 + size_t(k)] = char((off >> (8 * k)) & 0xFF);
            b[size_t(i) * 8 + 4 + size_t(k)] = char((len >> (8 * k)) & 0xFF);
        }
        b += parts[size_t(i)];
    }
    return b;
}

}  // namespace sysmantest
