// Raw loopback fixtures for the socket-object, proxy and listener tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace snpstest {

// A listening socket on 127.0.0.1 with a kernel-chosen port.
struct RawListener {
    int fd = -1;
    int port = 0;
    explicit RawListener(int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
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

// Reads exactly n bytes (or until the peer closes / ms pass).
inline std::string ReadExactly(int fd, size_t n, int ms = 5000) {
    std::string r;
    while (r.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) break;
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

}  // namespace snpstest
