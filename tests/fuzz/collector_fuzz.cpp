// libFuzzer target for the input collectors, the server's length guard on
// every byte a peer sends: the input decides the mode, the line limit, the
// length policy, the buffer size and how the bytes are cut into reads (with
// pauses and an end), and whether a short read means the source is empty.
// Every unit handed out must lie inside the collector's buffer (or the
// caller's memory) and respect its limit, and a run must end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "foundation/gax_faststring.h"
#include "sockets/gax_snps_collector.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

class ScriptCollector : public TCollectorBase {
  public:
    explicit ScriptCollector(int aSize) : TCollectorBase(aSize) {}
    std::deque<std::string> chunks;  // an empty chunk is a read that finds nothing
    bool drains = false;             // a short read means empty, as on a socket

  protected:
    bool ShortReadDrainsSource() const override { return drains; }
    uint8_t ReadSource(char* aBuf, int aMax, int& aGot) override {
        aGot = 0;
        if (chunks.empty()) return kReadEof;
        if (aMax == 0) return kReadData;
        std::string& c = chunks.front();
        if (c.empty()) {
            chunks.pop_front();
            return kReadData;
        }
        const size_t n = std::min(c.size(), static_cast<size_t>(aMax));
        std::memcpy(aBuf, c.data(), n);
        c.erase(0, n);
        if (c.empty()) chunks.pop_front();
        aGot = static_cast<int>(n);
        return kReadData;
    }
};

void Run(ScriptCollector& c, TCollectorMode mode, int limit, FastStringA& fast,
         std::vector<char>& bin);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const TCollectorMode kModes[] = {colm_String, colm_FastStr, colm_BufString, colm_Binary,
                                            colm_BufBinary};
    const TCollectorMode mode = kModes[data[0] % 5];
    const auto policy = static_cast<TCollectorExceedStringLengthMode>(data[1] % 2);
    const bool drains = (data[1] & 2) != 0;
    const int limit = 1 + data[2] % 200;
    const int bufSize = 1 + (data[3] % 4) * 100;
    data += 4;
    size -= 4;

    ScriptCollector c(bufSize);
    c.StringExceededLengthMode = policy;
    c.drains = drains;
    c.Timeout = TCollectorBase::kNoTimeout;
    // Byte 0xFF cuts the input into reads; two in a row make a pause.
    std::string chunk;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF) {
            c.chunks.push_back(chunk);
            chunk.clear();
        } else {
            chunk.push_back(static_cast<char>(data[i]));
        }
    }
    c.chunks.push_back(chunk);

    FastStringA fast;
    std::vector<char> bin(static_cast<size_t>(limit));
    // A unit larger than the buffer a buffered mode needs is a usage error the
    // collector refuses with its own exception, before reading anything.
    try {
        Run(c, mode, limit, fast, bin);
    } catch (const ECollectorError&) {
    }
    return 0;
}

namespace {

void Run(ScriptCollector& c, TCollectorMode mode, int limit, FastStringA& fast,
         std::vector<char>& bin) {
    for (int guard = 0; guard < 100000; ++guard) {
        if (c.CollectorMode() == colm_None) {
            switch (mode) {
                case colm_String:
                    c.StartStringFromTick(limit, 0);
                    break;
                case colm_FastStr:
                    c.StartFastStringFromTick(fast, limit, 0);
                    break;
                case colm_BufString:
                    c.StartBufStringFromTick(limit, 0);
                    break;
                case colm_Binary:
                    c.StartBinaryFromTick(bin.data(), limit, 0);
                    break;
                default:
                    c.StartBufBinaryFromTick(limit, 0);
                    break;
            }
        }
        const uint64_t before = c.CollectorReadCounter;
        const TCollectorCheckResult r = c.CheckCollectorWithTick(0);
        // One check reads at most about one buffer.
        Check(c.CollectorReadCounter - before <= static_cast<uint64_t>(c.BufferSize()) * 2);
        if (r == colr_EOF || r == colr_Error || r == colr_ExceededStringLength) break;
        if (r != colr_Ready) {
            if (c.chunks.empty() && c.CollectorReadCounter == before) break;
            continue;
        }
        switch (mode) {
            case colm_String:
                Check(c.CollectedString().size() <= static_cast<size_t>(limit));
                break;
            case colm_FastStr:
                Check(fast.Len() <= static_cast<size_t>(limit));
                break;
            case colm_BufString:
            case colm_BufBinary:
                Check(c.BufDataLen() >= 0 && c.BufDataLen() <= limit);
                // The buffer comes with the first read, so its bounds are
                // taken here rather than before the run.
                Check(c.BufDataLen() == 0 ||
                      (c.Buffer() != nullptr && c.BufDataPtr() >= c.Buffer() &&
                       c.BufDataPtr() + c.BufDataLen() <= c.Buffer() + c.BufferSize()));
                break;
            default:
                Check(c.BinSize() >= 0 && c.BinSize() <= limit);
                break;
        }
    }
}

}  // namespace
