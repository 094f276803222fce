#include "platform/plat_pages.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace plat {

namespace {

size_t PageRound(size_t aLen) {
    static const size_t page = [] {
        const long p = sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<size_t>(p) : size_t{4096};
    }();
    return (aLen + page - 1) / page * page;
}

// The calling thread's pipe through which pages reach a socket, and the
// sink that takes what a socket refused back out of it without a copy.
struct ThreadPipe {
    int Read = -1;
    int Write = -1;
    int Sink = -1;
    bool Refused = false;  // the pipe could not be made: this thread copies

    ~ThreadPipe() { Close(); }
    void Close() noexcept {
        for (int* fd : {&Read, &Write, &Sink}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
    bool Ready() noexcept {
        if (Read >= 0) return true;
        if (Refused) return false;
        int p[2];
        if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) {
            Refused = true;
            return false;
        }
        Read = p[0];
        Write = p[1];
        // A whole list in one pass where the system allows it; the default
        // size only takes it in more calls.
        (void)::fcntl(Write, F_SETPIPE_SZ, 1 << 20);
        Sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (Sink < 0) {
            Close();
            Refused = true;
            return false;
        }
        return true;
    }
};

thread_local ThreadPipe t_Pipe;
std::atomic<size_t> g_PagesSends{0};

bool IgnoresSigPipe() noexcept {
    struct sigaction now {};
    return ::sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

}  // namespace

void* PagesAlloc(size_t aLen) noexcept {
    if (aLen == 0) return nullptr;
    void* p = ::mmap(nullptr, PageRound(aLen), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void PagesFree(void* aPtr, size_t aLen) noexcept {
    if (aPtr != nullptr) ::munmap(aPtr, PageRound(aLen));
}

int SockSendPages(SocketHandle aSocket, const void* aData, size_t aLen, size_t& aSent) noexcept {
    aSent = 0;
    if (aLen == 0) return 0;
    // Asked once per thread: the service sets it before any thread starts.
    static thread_local const bool t_NoSigPipe = IgnoresSigPipe();
    if (!t_NoSigPipe) return kSockPagesUnsupported;
    const int fl = ::fcntl(aSocket, F_GETFL);
    if (fl < 0) return SockErrorFromErrno(errno);
    if ((fl & O_NONBLOCK) == 0) return kSockPagesUnsupported;
    if (!t_Pipe.Ready()) return kSockPagesUnsupported;

    // A pipe smaller than the bytes takes them in several passes while the
    // socket takes each pass whole.
    const char* at = static_cast<const char*>(aData);
    int err = 0;
    while (aSent < aLen) {
        iovec v{const_cast<char*>(at + aSent), aLen - aSent};
        const ssize_t in = ::vmsplice(t_Pipe.Write, &v, 1, 0);
        if (in <= 0) {
            if (aSent == 0) return kSockPagesUnsupported;
            break;
        }
        ssize_t out = ::splice(t_Pipe.Read, nullptr, aSocket, nullptr, static_cast<size_t>(in),
                               SPLICE_F_NONBLOCK);
        if (out < 0) {
            err = errno;
            out = 0;
        }
        aSent += static_cast<size_t>(out);
        // What the socket did not take leaves the pipe by reference too; a
        // pipe that cannot be emptied is replaced, never reused with stale
        // bytes.
        for (size_t left = static_cast<size_t>(in - out); left > 0;) {
            const ssize_t d =
                ::splice(t_Pipe.Read, nullptr, t_Pipe.Sink, nullptr, left, SPLICE_F_NONBLOCK);
            if (d <= 0) {
                t_Pipe.Close();
                break;
            }
            left -= static_cast<size_t>(d);
        }
        if (out < in || !t_Pipe.Ready()) break;
    }
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        if (aSent == 0) return kSockPagesUnsupported;
        err = 0;
    }
    g_PagesSends.fetch_add(1, std::memory_order_relaxed);
    if (err == 0 || err == EAGAIN || err == EWOULDBLOCK) return 0;
    aSent = 0;
    return SockErrorFromErrno(err);
}

size_t SockPagesSends() noexcept {
    return g_PagesSends.load(std::memory_order_relaxed);
}

}  // namespace plat
