#include "sockets/gax_snps_outchunks.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// This binary counts the unmaps it makes and can refuse its next allocation:
// a frame's pages must go back to the system exactly once, also when the
// frame cannot be made. An unmap too many frees whatever another thread was
// given at that address in between.
namespace {

std::atomic<bool> g_FailNextNew{false};
std::atomic<int> g_Unmaps{0};

}  // namespace

extern "C" int munmap(void* aAddr, size_t aLen) noexcept {
    g_Unmaps.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(::syscall(SYS_munmap, aAddr, aLen));
}

void* operator new(size_t aLen) {
    if (g_FailNextNew.exchange(false)) throw std::bad_alloc();
    if (void* p = std::malloc(aLen == 0 ? 1 : aLen)) return p;
    throw std::bad_alloc();
}
// Replaced with the new above, so that a sanitizer sees malloc and free paired.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* aPtr) noexcept { std::free(aPtr); }
void operator delete(void* aPtr, size_t) noexcept { std::free(aPtr); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using gax::kSharedFramePagedFrom;
using gax::TSharedFrame;

TEST(SharedFrame, PagesAreUnmappedOnceByTheLastUser) {
    const std::string bytes(kSharedFramePagedFrom + 1, 'p');

    // The last of several users gives the pages back, once.
    TSharedFrame a = TSharedFrame::Make(bytes);
    ASSERT_TRUE(a.Paged());
    TSharedFrame b = a;
    g_Unmaps = 0;
    a.Reset();
    EXPECT_EQ(g_Unmaps.load(), 0);
    EXPECT_TRUE(b.View() == bytes);
    b.Reset();
    EXPECT_EQ(g_Unmaps.load(), 1);

    // No room for the count: the pages go back once and the caller sees
    // the failure.
    g_Unmaps = 0;
    bool threw = false;
    try {
        g_FailNextNew = true;
        (void)TSharedFrame::Make(bytes);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    g_FailNextNew = false;
    EXPECT_TRUE(threw);
    EXPECT_EQ(g_Unmaps.load(), 1);
}

// A frame handed on by a move leaves an empty frame behind, never a length
// with no bytes behind it (a later send would read through a null pointer).
TEST(SharedFrame, AFrameMovedFromIsEmpty) {
    for (size_t len : {size_t{40}, kSharedFramePagedFrom + 1}) {
        const std::string bytes(len, 'm');
        TSharedFrame a = TSharedFrame::Make(bytes);
        TSharedFrame b = std::move(a);
        EXPECT_TRUE(a.Empty()) << len;  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(a.Len(), 0u) << len;  // NOLINT(bugprone-use-after-move)
        EXPECT_FALSE(a.Paged()) << len;  // NOLINT(bugprone-use-after-move)
        EXPECT_TRUE(b.View() == bytes) << len;
        TSharedFrame c;
        c = std::move(b);
        EXPECT_TRUE(b.Empty()) << len;  // NOLINT(bugprone-use-after-move)
        EXPECT_TRUE(c.View() == bytes) << len;
        EXPECT_EQ(c.Paged(), len > kSharedFramePagedFrom) << len;
    }
}

}  // namespace
