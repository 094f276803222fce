#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "snps_test_net.h"
#include "sockets/gax_snps_tcpsock.h"

namespace {

using namespace gax;
using snpstest::RawListener;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 23);
    return s;
}

TEST(BlockSocketSend, LargeBufferArrivesWholeInChunks) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.Connect(u"127.0.0.1", l.PortText());
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    std::vector<std::u16string> counts;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, std::u16string_view v) {
        if (r == HR_WriteCount) counts.emplace_back(v);
    };
    const std::string data = Pattern(100000);
    std::string got;
    std::thread reader([&] { got = snpstest::ReadExactly(peer, data.size()); });
    EXPECT_EQ(s.SendBuffer(data.data(), int(data.size())), 100000);
    reader.join();
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(counts, (std::vector<std::u16string>{u"65536", u"34464"}));
    ::close(peer);
}

// A non-blocking socket whose peer reads slowly takes each chunk in parts; the rest must
// follow, not be dropped.
TEST(BlockSocketSend, NonBlockingSendCompletesAgainstASlowReader) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.SetSizeSendBuffer(4096);
    s.Connect(u"127.0.0.1", l.PortText());
    ASSERT_EQ(s.LastError(), 0);
    s.SetNonBlockMode(true);
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    int small = 4096;
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string data = Pattern(100000);
    std::string got;
    std::thread reader([&] {
        char buf[1000];
        while (got.size() < data.size()) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            ssize_t k = ::recv(peer, buf, sizeof buf, 0);
            if (k <= 0) break;
            got.append(buf, size_t(k));
            ::usleep(50);
        }
    });
    EXPECT_EQ(s.SendBuffer(data.data(), int(data.size())), 100000);
    EXPECT_EQ(s.LastError(), 0);
    reader.join();
    EXPECT_TRUE(got == data);
    ::close(peer);
}

TEST(BlockSocketSend, NonBlockingSendTimesOutWhenThePeerNeverReads) {
    RawListener l;
    TTCPBlockSocket s;
    s.SetRaiseExcept(false);
    s.SetSizeSendBuffer(4096);
    s.Connect(u"127.0.0.1", l.PortText());
    s.SetNonBlockMode(true);
    s.SetNonblockSendTimeout(200);
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    const std::string data = Pattern(4 << 20);
    int sent = s.SendBuffer(data.data(), int(data.size()));
    EXPECT_EQ(s.LastError(), 10060);
    EXPECT_LT(sent, int(data.size()));
    ::close(peer);
}

}  // namespace
