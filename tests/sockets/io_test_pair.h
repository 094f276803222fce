// Loopback TCP connections for the waiter, collector and output-buffer tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace iotest {

inline void SetNonBlocking(int fd) {
    const int fl = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    int fd = -1;
    sockaddr_in addr{};
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd, 16), 0);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
};

// A connected pair: `a` is the side under test (non-blocking), `b` the peer.
struct Pair {
    int a = -1;
    int b = -1;
    // rcvBufB > 0 shrinks the peer's receive buffer (and a's send buffer) so
    // that a writer fills the connection quickly.
    explicit Pair(int rcvBufB = 0) {
        Listener l;
        b = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvBufB > 0) ::setsockopt(b, SOL_SOCKET, SO_RCVBUF, &rcvBufB, sizeof rcvBufB);
        EXPECT_EQ(::connect(b, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr), 0);
        a = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(a, 0);
        if (rcvBufB > 0) ::setsockopt(a, SOL_SOCKET, SO_SNDBUF, &rcvBufB, sizeof rcvBufB);
        SetNonBlocking(a);
    }
    ~Pair() {
        CloseA();
        CloseB();
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    void CloseA() {
        if (a >= 0) ::close(a);
        a = -1;
    }
    void CloseB() {
        if (b >= 0) ::close(b);
        b = -1;
    }
    // Closes the peer with a reset instead of an orderly close.
    void ResetB() {
        linger lg{1, 0};
        ::setsockopt(b, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        CloseB();
    }
    void SendB(const std::string& s) {
        ASSERT_EQ(::send(b, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    // Blocking read of exactly n bytes on the peer side.
    std::string RecvB(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(b, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
};

}  // namespace iotest
