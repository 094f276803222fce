// A session the service cannot build for want of memory: when the listener's
// build fails, the heartbeat builds it again; when that build fails too, the
// connection is refused and its socket closed exactly once. A second close
// would shut whatever descriptor another thread opened under the same number
// meanwhile (another client's connection, a list file). When the listener
// cannot even queue the connection, it closes it: the peer is not left
// connected to nothing.
//
// This executable replaces the global allocator so that chosen allocations
// fail; nothing else shares it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "networks/service_test_support.h"
#include "server/gax_qor_svc_server_snps.h"

namespace {

// ---- the failing allocator ---------------------------------------------------

constexpr std::size_t kSessionSize = sizeof(gax::TQORSVCContextSNPS);
constexpr std::size_t kRecordSize = sizeof(gax::TQORSVCNetQueueRecord);

enum Stage : int {
    Idle,
    FailListenerBuild,   // then FailHeartbeatBuild
    FailHeartbeatBuild,  // its last allocation, once the socket could be taken
    FailListenerPost,    // the listener's build, then its record
    Done
};
std::atomic<int> g_Stage{Idle};
std::atomic<int> g_PeerPort{0};      // the test client's port
std::atomic<int> g_SessionFd{-1};    // the service's end of it, seen as the build failed
std::atomic<int> g_Occupied{-1};     // a descriptor the test put in its place once closed
std::atomic<int> g_Placeholder{-1};  // what the test dups there
int g_AllocsPerBuild = 0;            // a session build's allocations, object first

thread_local bool t_Counting = false;
thread_local int t_Counted = 0;
thread_local int t_Left = 0;  // allocations of the watched build before the one that fails
thread_local void* t_Watched = nullptr;
thread_local bool t_FailRecord = false;

// The service's descriptor whose peer is the test client.
int FindSessionFd() {
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) continue;
        // (The client's own socket has the service's port as its peer.)
        if (a.sin_family == AF_INET && ntohs(a.sin_port) == g_PeerPort.load()) return fd;
    }
    return -1;
}

void* Allocate(std::size_t n) {
    if (t_Counting) ++t_Counted;
    if (t_Left > 0 && --t_Left == 0) {
        g_SessionFd.store(FindSessionFd());
        g_Stage.store(Done);
        throw std::bad_alloc();
    }
    if (t_FailRecord && n == kRecordSize) {
        t_FailRecord = false;
        g_Stage.store(Done);
        throw std::bad_alloc();
    }
    if (n == kSessionSize) {
        int post = FailListenerPost;
        if (g_Stage.compare_exchange_strong(post, Idle)) {
            t_FailRecord = true;
            throw std::bad_alloc();
        }
        int stage = FailListenerBuild;
        if (g_Stage.compare_exchange_strong(stage, FailHeartbeatBuild)) throw std::bad_alloc();
        if (stage == FailHeartbeatBuild) {
            // Fails the build's last allocation, made once the base holds the socket.
            t_Left = g_AllocsPerBuild - 1;
            void* p = std::malloc(n);
            if (p == nullptr) throw std::bad_alloc();
            t_Watched = p;
            return p;
        }
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void Release(void* p) noexcept {
    if (p != nullptr && p == t_Watched) {
        // The failed build is unwound: if its socket was closed by now, the
        // number is taken again, as another thread's open would.
        t_Watched = nullptr;
        const int fd = g_SessionFd.load();
        if (fd >= 0 && ::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            ::dup2(g_Placeholder.load(), fd) == fd)
            g_Occupied.store(fd);
    }
    std::free(p);
}

}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// The replaced pair allocates with malloc and frees with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace {

using namespace service_test;

// A client socket bound to a loopback port before it connects, so the
// allocator knows its port first.
int BoundClient() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        return -1;
    }
    g_PeerPort.store(ntohs(a.sin_port));
    return s;
}

bool ConnectTo(int aSocket, uint16_t aPort) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(aPort);
    return ::connect(aSocket, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

TEST(SessionOutOfMemory, BuildFailingOnBothThreadsRefusesAndClosesTheSocketOnce) {
    LoopbackService srv(LoopbackConfig());
    srv.svc->LoadNetworks(TQORServiceNetOptions{});
    ASSERT_TRUE(srv.Start());

    const int client = BoundClient();
    ASSERT_GE(client, 0);

    // How many allocations a build of this peer's session makes.
    {
        t_Counting = true;
        t_Counted = 0;
        auto probe = std::make_unique<TQORSVCContextSNPS>(
            srv.svc.get(), *srv.svc, INVALID_SOCKET_HANDLE, std::string("\x7f\x00\x00\x01", 4),
            g_PeerPort.load());
        t_Counting = false;
        g_AllocsPerBuild = t_Counted;
    }
    ASSERT_GE(g_AllocsPerBuild, 2);
    const int placeholder = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(placeholder, 0);
    g_Placeholder.store(placeholder);
    g_Stage.store(FailListenerBuild);

    ASSERT_TRUE(ConnectTo(client, srv.port));

    const std::string refusal =
        "Client: 127.0.0.1 " + std::to_string(g_PeerPort.load()) + " DISCONNECT_OUT_OF_MEMORY";
    ASSERT_TRUE(WaitFor([&] { return srv.LogHas(refusal); }));
    EXPECT_EQ(g_Stage.load(), Done);
    EXPECT_GE(g_SessionFd.load(), 0);
    // The peer sees the end of the connection.
    char c;
    EXPECT_EQ(::recv(client, &c, 1, 0), 0);
    // Whatever took the number after the one close is still open.
    const int occupied = g_Occupied.load();
    if (occupied >= 0) {
        EXPECT_NE(::fcntl(occupied, F_GETFD), -1) << "the refused socket was closed twice";
        ::close(occupied);
    }
    EXPECT_EQ(srv.svc->tmClientContextCount.load(), 0);
    ::close(placeholder);
    ::close(client);
}

TEST(SessionOutOfMemory, ConnectionTheListenerCannotQueueIsClosed) {
    LoopbackService srv(LoopbackConfig());
    srv.svc->LoadNetworks(TQORServiceNetOptions{});
    ASSERT_TRUE(srv.Start());
    const int client = BoundClient();
    ASSERT_GE(client, 0);
    // The wait for the close is bounded, so a socket left open fails the test.
    const timeval limit{20, 0};
    ASSERT_EQ(::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    g_Stage.store(FailListenerPost);

    ASSERT_TRUE(ConnectTo(client, srv.port));
    char c;
    EXPECT_EQ(::recv(client, &c, 1, 0), 0) << "the connection was left open";
    EXPECT_EQ(g_Stage.load(), Done);
    EXPECT_EQ(srv.svc->tmClientContextCount.load(), 0);
    ::close(client);
}

}  // namespace
