// Raw loopback fixtures shared by the socket tests: a listening socket on a kernel-chosen
// port, a connected pair, and small blocking read/write helpers for fake peers; and the
// message of an expected exception.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace snpstest {

inline void SetNonBlocking(int fd) {
    const int fl = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
struct RawListener {
    int fd = -1;
    int port = 0;
    sockaddr_in addr{};
    explicit RawListener(int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~RawListener() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    // Waits at most ms for a connection; -1 when none came.
    int Accept(int ms = 5000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::u16string PortText() const {
        std::string s = std::to_string(port);
        return std::u16string(s.begin(), s.end());
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
};

// A connected pair: `a` is the side under test (non-blocking), `b` the peer (blocking).
struct Pair {
    int a = -1;
    int b = -1;
    // rcvBufB > 0 shrinks the peer's receive buffer (and a's send buffer) so
    // that a writer fills the connection quickly.
    explicit Pair(int rcvBufB = 0) {
        RawListener l;
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
};

inline int RawConnect(int family, int port) {
    int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(uint16_t(port));
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A port that nothing listens on (bound once, then released).
inline int ClosedPort() {
    RawListener l;
    int p = l.port;
    l.Close();
    return p;
}

// Loopback delivery is usually done when send returns, but a busy machine may defer it:
// a test that needs the bytes, the close or the reset at the other end waits for them.
inline bool WaitEvents(int fd, short events, int ms = 5000) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) == 1;
}
// Something to read: data, end of data or an error.
inline bool WaitReadable(int fd, int ms = 5000) {
    return WaitEvents(fd, POLLIN, ms);
}
// The peer's close (or reset) has arrived.
inline bool WaitPeerClosed(int fd, int ms = 5000) {
    return WaitEvents(fd, POLLRDHUP, ms);
}
// The peer's reset has arrived (errors and hang-ups are always reported).
inline bool WaitReset(int fd, int ms = 5000) {
    return WaitEvents(fd, 0, ms);
}

// Reads exactly n bytes (or until the peer closes / ms pass without data).
inline std::string ReadExactly(int fd, size_t n, int ms = 5000) {
    std::string r;
    while (r.size() < n) {
        if (!WaitReadable(fd, ms)) break;
        char buf[4096];
        ssize_t k = ::recv(fd, buf, std::min(sizeof buf, n - r.size()), 0);
        if (k <= 0) break;
        r.append(buf, size_t(k));
    }
    return r;
}

inline void WriteAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t k = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (k <= 0) return;
        off += size_t(k);
    }
}

inline std::u16string U(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The UTF-8 message of the E that f raises, or "<nothing raised>".
template <class E, class F>
std::string Raised(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing raised>";
}

}  // namespace snpstest
