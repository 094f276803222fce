#include "platform/plat_sendbatch.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {

namespace {

// A ring this size takes a full worker's sockets in one call; larger batches
// go in chunks of it.
constexpr unsigned kRingEntries = 64;

// Result slots of entries the ring has not answered yet.
constexpr long kNotSubmitted = LONG_MIN;   // never reached the kernel: send it plainly
constexpr long kLostInFlight = LONG_MIN + 1;  // submitted, completion never seen

constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;

long ResultOfErrno(int err) {
    int code = SockErrorFromErrno(err);
    if (code == 0) code = kSockErrInvalidArg;
    return -static_cast<long>(code);
}

int UringSetup(unsigned aEntries, io_uring_params* aPar) {
    return static_cast<int>(::syscall(__NR_io_uring_setup, aEntries, aPar));
}
int UringEnter(int aFd, unsigned aSubmit, unsigned aMinComplete, unsigned aFlags) {
    return static_cast<int>(
        ::syscall(__NR_io_uring_enter, aFd, aSubmit, aMinComplete, aFlags, nullptr, 0));
}
int UringRegister(int aFd, unsigned aOpcode, void* aArg, unsigned aCount) {
    return static_cast<int>(::syscall(__NR_io_uring_register, aFd, aOpcode, aArg, aCount));
}

}  // namespace

// A submission and a completion ring on the raw system calls: a batch of sends
// and their results is all this needs, not a library.
class SendBatch::Ring {
  public:
    Ring() = default;
    ~Ring() {
        // Closing the ring cancels whatever it still holds; Send never
        // returns with a request in flight unless the kernel refused to wait.
        if (f_Sqes) ::munmap(f_Sqes, f_SqesLen);
        if (f_Cq != MAP_FAILED && f_Cq != f_Sq) ::munmap(f_Cq, f_CqLen);
        if (f_Sq != MAP_FAILED) ::munmap(f_Sq, f_SqLen);
        if (f_Fd >= 0) ::close(f_Fd);
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // 0, or the errno of the step that failed.
    int Setup() {
        io_uring_params p{};
#ifdef IORING_SETUP_SUBMIT_ALL
        // Without it the kernel stops a submission at the first entry it
        // refuses (a closed descriptor), and the rest need another call.
        p.flags = IORING_SETUP_SUBMIT_ALL;
        f_Fd = UringSetup(kRingEntries, &p);
        if (f_Fd < 0 && errno == EINVAL) p = io_uring_params{};
#endif
        if (f_Fd < 0) f_Fd = UringSetup(kRingEntries, &p);
        if (f_Fd < 0) return errno != 0 ? errno : ENOSYS;
        if (const int e = ProbeSendMsg(); e != 0) return e;
        f_SqLen = p.sq_off.array + p.sq_entries * sizeof(unsigned);
        f_CqLen = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
        const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
        if (single) f_SqLen = f_CqLen = std::max(f_SqLen, f_CqLen);
        f_Sq = Map(f_SqLen, IORING_OFF_SQ_RING);
        if (f_Sq == MAP_FAILED) return errno;
        f_Cq = single ? f_Sq : Map(f_CqLen, IORING_OFF_CQ_RING);
        if (f_Cq == MAP_FAILED) return errno;
        f_SqesLen = p.sq_entries * sizeof(io_uring_sqe);
        void* sqes = Map(f_SqesLen, IORING_OFF_SQES);
        if (sqes == MAP_FAILED) return errno;
        f_Sqes = static_cast<io_uring_sqe*>(sqes);
        auto* sq = static_cast<char*>(f_Sq);
        auto* cq = static_cast<char*>(f_Cq);
        f_SqHead = reinterpret_cast<unsigned*>(sq + p.sq_off.head);
        f_SqTail = reinterpret_cast<unsigned*>(sq + p.sq_off.tail);
        f_SqMask = *reinterpret_cast<unsigned*>(sq + p.sq_off.ring_mask);
        f_SqArray = reinterpret_cast<unsigned*>(sq + p.sq_off.array);
        f_CqHead = reinterpret_cast<unsigned*>(cq + p.cq_off.head);
        f_CqTail = reinterpret_cast<unsigned*>(cq + p.cq_off.tail);
        f_CqMask = *reinterpret_cast<unsigned*>(cq + p.cq_off.ring_mask);
        f_Cqes = reinterpret_cast<io_uring_cqe*>(cq + p.cq_off.cqes);
        // The completion ring is at least as large as the submission ring, so
        // a chunk's completions always fit.
        f_Entries = std::min(p.sq_entries, p.cq_entries);
        return 0;
    }

    unsigned Entries() const { return f_Entries; }

    // Sends aMsgs[0..aCount) (aCount <= Entries()) to aSockets and fills
    // aResults. Returns 0 when every entry has its result; else the errno of
    // the enter that failed, with kNotSubmitted in the entries the kernel never
    // took and kLostInFlight in those it took but did not answer.
    int Send(const SocketHandle* aSockets, msghdr* aMsgs, long* aResults, unsigned aCount) {
        const unsigned firstTail = *f_SqTail;
        unsigned tail = firstTail;
        for (unsigned i = 0; i < aCount; ++i, ++tail) {
            const unsigned idx = tail & f_SqMask;
            io_uring_sqe& e = f_Sqes[idx];
            std::memset(&e, 0, sizeof e);
            e.opcode = IORING_OP_SENDMSG;
            e.fd = aSockets[i];
            e.addr = reinterpret_cast<uint64_t>(&aMsgs[i]);
            e.len = 1;
            // The ring would otherwise park a send on a full socket until room
            // comes; a fan-out keeps the rest for later instead.
            e.msg_flags = kSendFlags;
            e.user_data = i;
            f_SqArray[idx] = idx;
            aResults[i] = kNotSubmitted;
        }
        __atomic_store_n(f_SqTail, tail, __ATOMIC_RELEASE);

        unsigned toSubmit = aCount;
        unsigned reaped = 0;
        while (reaped < aCount) {
            // One call submits and waits for every completion; a kernel that
            // takes only part of the submission returns without waiting, and
            // the loop submits the rest.
            const int r = UringEnter(f_Fd, toSubmit, aCount - reaped, IORING_ENTER_GETEVENTS);
            if (r < 0) {
                const int err = errno;
                if (err == EINTR) {
                    reaped += Reap(aResults);
                    continue;
                }
                return Abandon(aResults, firstTail, aCount, reaped, err);
            }
            toSubmit -= std::min(toSubmit, static_cast<unsigned>(r));
            reaped += Reap(aResults);
        }
        return 0;
    }

  private:
    void* Map(size_t aLen, off_t aOffset) {
        return ::mmap(nullptr, aLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, f_Fd,
                      aOffset);
    }

    // Kernels from before the send operation accept the ring and fail every
    // send with EINVAL; ask first.
    int ProbeSendMsg() {
        constexpr unsigned kOps = 256;
        std::vector<unsigned char> buf(sizeof(io_uring_probe) + kOps * sizeof(io_uring_probe_op));
        auto* probe = reinterpret_cast<io_uring_probe*>(buf.data());
        if (UringRegister(f_Fd, IORING_REGISTER_PROBE, probe, kOps) != 0) return errno;
        if (probe->last_op < IORING_OP_SENDMSG ||
            !(probe->ops[IORING_OP_SENDMSG].flags & IO_URING_OP_SUPPORTED))
            return EOPNOTSUPP;
        return 0;
    }

    unsigned Reap(long* aResults) {
        unsigned head = *f_CqHead;
        const unsigned tail = __atomic_load_n(f_CqTail, __ATOMIC_ACQUIRE);
        unsigned n = 0;
        for (; head != tail; ++head, ++n) {
            const io_uring_cqe& c = f_Cqes[head & f_CqMask];
            aResults[c.user_data] = c.res >= 0 ? static_cast<long>(c.res) : ResultOfErrno(-c.res);
        }
        __atomic_store_n(f_CqHead, head, __ATOMIC_RELEASE);
        return n;
    }

    // The kernel refused the call. Entries it never read are taken back (it
    // reads the submission ring only inside io_uring_enter; the caller sends
    // them plainly), those it read are waited for; what still has no answer
    // is marked lost.
    int Abandon(long* aResults, unsigned aFirstTail, unsigned aCount, unsigned aReaped, int aErr) {
        const unsigned head = __atomic_load_n(f_SqHead, __ATOMIC_ACQUIRE);
        __atomic_store_n(f_SqTail, head, __ATOMIC_RELEASE);
        const unsigned taken = std::min(aCount, head - aFirstTail);
        while (aReaped < taken) {
            const int r = UringEnter(f_Fd, 0, taken - aReaped, IORING_ENTER_GETEVENTS);
            aReaped += Reap(aResults);
            if (r < 0 && errno != EINTR) break;
        }
        for (unsigned i = 0; i < taken; ++i)
            if (aResults[i] == kNotSubmitted) aResults[i] = kLostInFlight;
        return aErr;
    }

    int f_Fd = -1;
    void* f_Sq = MAP_FAILED;
    void* f_Cq = MAP_FAILED;
    size_t f_SqLen = 0, f_CqLen = 0, f_SqesLen = 0;
    unsigned* f_SqHead = nullptr;
    unsigned* f_SqTail = nullptr;
    unsigned* f_SqArray = nullptr;
    unsigned f_SqMask = 0;
    io_uring_sqe* f_Sqes = nullptr;
    unsigned* f_CqHead = nullptr;
    unsigned* f_CqTail = nullptr;
    unsigned f_CqMask = 0;
    io_uring_cqe* f_Cqes = nullptr;
    unsigned f_Entries = 0;
};

SendBatch::SendBatch(Mode aMode) : f_Mode(aMode) {
    if (f_Mode == Mode::kPlainSends || std::getenv("QOR_NO_IO_URING") != nullptr)
        f_RingFailed = true;
    // Room for a full worker's sockets with a few pieces each, so that the
    // usual batch never grows anything.
    f_Sockets.resize(kRingEntries);
    f_First.resize(kRingEntries);
    f_Len.resize(kRingEntries);
    f_Results.resize(kRingEntries);
    f_Msgs.resize(kRingEntries);
    f_Pieces.resize(4 * kRingEntries);
}

SendBatch::~SendBatch() = default;

bool SendBatch::RingInUse() const { return f_Ring != nullptr; }

void SendBatch::Reset() {
    f_Count = 0;
    f_PieceCount = 0;
    f_Submitted = false;
}

size_t SendBatch::Add(SocketHandle s, const SockIoPiece* pieces, size_t count) {
    assert(count <= kSockMaxPieces);
    count = std::min(count, kSockMaxPieces);
    if (f_Submitted) Reset();
    // No check that s is new to the batch: the trees keep assertions on, and
    // a search per entry would make a fan-out to N listeners cost N*N on the
    // heartbeat. The fan-out's send ownership already gives one entry per
    // socket.
    const size_t idx = f_Count;
    if (idx == f_Sockets.size()) {
        const size_t n = 2 * idx;
        f_Sockets.resize(n);
        f_First.resize(n);
        f_Len.resize(n);
        f_Results.resize(n);
        f_Msgs.resize(n);
    }
    if (f_PieceCount + count > f_Pieces.size())
        f_Pieces.resize(std::max(2 * f_Pieces.size(), f_PieceCount + count));
    for (size_t i = 0; i < count; ++i) {
        f_Pieces[f_PieceCount + i].iov_base = const_cast<void*>(pieces[i].Data);
        f_Pieces[f_PieceCount + i].iov_len = pieces[i].Len;
    }
    f_Sockets[idx] = s;
    f_First[idx] = f_PieceCount;
    f_Len[idx] = count;
    f_PieceCount += count;
    ++f_Count;
    return idx;
}

bool SendBatch::RingUsable() {
    if (f_Ring) return true;
    if (f_RingFailed) return false;
    auto ring = std::make_unique<Ring>();
    if (ring->Setup() != 0) {
        f_RingFailed = true;
        return false;
    }
    f_Ring = std::move(ring);
    return true;
}

void SendBatch::SendPlain(size_t aFrom, size_t aTo) {
    for (size_t i = aFrom; i < aTo; ++i) {
        ssize_t r;
        do r = ::sendmsg(f_Sockets[i], &f_Msgs[i], kSendFlags);
        while (r < 0 && errno == EINTR);
        f_Results[i] = r >= 0 ? static_cast<long>(r) : ResultOfErrno(errno);
    }
}

void SendBatch::Submit() {
    if (f_Submitted) return;
    f_Submitted = true;
    // The piece storage may have moved while entries were added; the headers
    // point into it only from here on.
    for (size_t i = 0; i < f_Count; ++i) {
        msghdr& m = f_Msgs[i];
        m = msghdr{};
        m.msg_iov = f_Pieces.data() + f_First[i];
        m.msg_iovlen = f_Len[i];
    }
    // A single send gains nothing from the ring.
    if (f_Count < 2 || !RingUsable()) {
        SendPlain(0, f_Count);
        return;
    }
    const size_t chunk = f_Ring->Entries();
    for (size_t from = 0; from < f_Count; from += chunk) {
        const size_t n = std::min(chunk, f_Count - from);
        if (!f_Ring) {
            SendPlain(from, from + n);
            continue;
        }
        long* results = f_Results.data() + from;
        if (f_Ring->Send(f_Sockets.data() + from, f_Msgs.data() + from, results,
                         static_cast<unsigned>(n)) == 0)
            continue;
        // The ring broke in use: plain sends from here on, for good.
        f_Ring.reset();
        f_RingFailed = true;
        for (size_t i = from; i < from + n; ++i) {
            if (f_Results[i] == kNotSubmitted)
                SendPlain(i, i + 1);
            else if (f_Results[i] == kLostInFlight)
                // Whether any of it reached the socket is unknown, so the
                // stream cannot go on.
                f_Results[i] = -static_cast<long>(kSockErrConnAborted);
        }
    }
}

long SendBatch::Result(size_t i) const {
    assert(f_Submitted && i < f_Count);
    return f_Results[i] >= 0 ? f_Results[i] : -1;
}

int SendBatch::Error(size_t i) const {
    assert(f_Submitted && i < f_Count);
    return f_Results[i] >= 0 ? 0 : static_cast<int>(-f_Results[i]);
}

}  // namespace plat
