// libFuzzer target for the Parrot as a receiver: whatever bytes the network
// hands it (sound frames, ends of transmission, approvals, text messages of
// any shape), interleaved with heartbeats and clock steps. Each chunk is
// copied into a heap block of exactly its size, so that AddressSanitizer
// catches a read past it; the parrot's counters must stay in their bounds.
//
// Input: the first byte picks the options; then records of one control byte
// (low 2 bits: 0 deliver a chunk, 1 heartbeat, 2 advance the clock, 3 a whole
// talker frame), a length byte and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../server/session_test_support.h"
#include "server/gax_qor_svc_parrot.h"

using namespace gax;
using namespace session_test;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

struct FuzzClock : TQORClock {
    uint32_t now = 0xFFFF0000;  // crosses the tick's wrap early
    uint32_t Tick() const override { return now; }
    int64_t UnixSeconds() const override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FakeService svc;
    FakeNetwork net("Test", "Test");
    FuzzClock clock;
    TQORSVCParrotOptions o;
    o.ParrotEnable = true;
    o.ParrotStartStopEnable = data[0] & 1;
    o.ParrotMessageDisable = data[0] & 2;
    o.ParrotMaxRecordTicks = (data[0] & 4) ? 10000 : 300000;
    o.ParrotPauseTicks = (data[0] & 8) ? 100 : 2000;
    o.po_ParrotRepeatCount = 1 + (data[0] >> 4);
    TQORSVCContextParrot parrot(&svc, svc, &net, o, (data[0] & 0x80) ? 3000 : 0, clock);

    size_t i = 1;
    while (i < size) {
        const uint8_t ctl = data[i++];
        const size_t len = i < size ? data[i++] : 0;
        const size_t n = std::min(len, size - i);
        switch (ctl & 3) {
            case 0: {
                std::unique_ptr<char[]> chunk(new char[n == 0 ? 1 : n]);
                if (n) std::memcpy(chunk.get(), data + i, n);
                parrot.vSendBytes(chunk.get(), static_cast<int32_t>(n));
                break;
            }
            case 1:
                if (parrot.Busy()) parrot.ParrotHeartBeat(clock.now);
                break;
            case 2:
                clock.now += static_cast<uint32_t>(len) * 100;
                break;
            default: {
                std::string f(kParrotFrameBytes, static_cast<char>(len));
                f[0] = '\x02';
                parrot.vSendBytes(f.data(), static_cast<int32_t>(f.size()));
                break;
            }
        }
        i += n;
        Check(parrot.UsedFrames() >= 0 && parrot.UsedFrames() <= kParrotMaxFrames);
        Check(parrot.UsedFrames() <= parrot.AllocatedFrames());
        Check(parrot.AllocatedFrames() % kParrotBlockFrames == 0);
        Check(parrot.AllocatedFrames() <= kParrotMaxFrames);
        while (svc.poster.ServQueue().Pull()) {
        }
    }
    return 0;
}
