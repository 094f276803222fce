// A scripted command-channel server for the console-side tests: a thread
// that listens on a free 127.0.0.1 port, takes one connection, records the
// request line and answers with canned bytes.
//
// Threads: the server thread owns the connection; the test reads the request
// only after Request() has joined it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace chan_test {

// Accepts one connection, reads the request line, writes the scripted reply,
// then either closes at once or stays silent until the client hangs up.
class ScriptedServer {
  public:
    // aRepeat is sent aTimes after the reply, for answers too big to hold.
    ScriptedServer(std::string reply, bool closeAfterReply, std::string aRepeat = {},
                   int aTimes = 0)
        : f_Reply(std::move(reply)),
          f_Close(closeAfterReply),
          f_Repeat(std::move(aRepeat)),
          f_Times(aTimes) {
        f_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(f_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(f_Listen, 4), 0);
        socklen_t len = sizeof a;
        ::getsockname(f_Listen, reinterpret_cast<sockaddr*>(&a), &len);
        f_Port = ntohs(a.sin_port);
        f_Thread = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        if (f_Thread.joinable()) f_Thread.join();
        ::close(f_Listen);
    }
    int Port() const { return f_Port; }
    // The bytes the client sent, complete once the server thread is done.
    const std::string& Request() {
        if (f_Thread.joinable()) f_Thread.join();
        return f_Request;
    }

  private:
    void Run() {
        pollfd p{f_Listen, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;
        const int s = ::accept4(f_Listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) return;
        char buf[512];
        while (f_Request.find("\r\n") == std::string::npos) {
            pollfd q{s, POLLIN, 0};
            if (::poll(&q, 1, 5000) != 1) break;
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            f_Request.append(buf, size_t(n));
        }
        if (!f_Reply.empty()) ::send(s, f_Reply.data(), f_Reply.size(), MSG_NOSIGNAL);
        for (int i = 0; i < f_Times; ++i)
            if (::send(s, f_Repeat.data(), f_Repeat.size(), MSG_NOSIGNAL) < 0) break;
        if (!f_Close) {
            // Silence: keep the line open until the client gives up.
            for (;;) {
                pollfd q{s, POLLIN, 0};
                if (::poll(&q, 1, 10000) != 1) break;
                if (::recv(s, buf, sizeof buf, 0) <= 0) break;
            }
        }
        ::close(s);
    }

    std::string f_Reply;
    bool f_Close;
    std::string f_Repeat;
    int f_Times;
    int f_Listen = -1;
    int f_Port = 0;
    std::string f_Request;
    std::thread f_Thread;
};

}  // namespace chan_test
