// libFuzzer target for the client side's readers of what a server sends: the
// frame splitter (whole, and fed in two pieces at a point the input chooses),
// the handshake-answer parser and the readers of text and list frames. The
// measure is checked against itself: a frame's measured length lies inside
// the bytes, the frame measured alone gives the same length, and splitting
// the stream in pieces gives the same frames as splitting it whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/qor_client_proto.h"

using namespace qortool;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

std::vector<std::string> Split(const char* data, size_t size, size_t cut) {
    FrameReader reader;
    std::vector<std::string> frames;
    auto drain = [&] {
        std::string_view f;
        while (reader.Next(f) > 0) frames.emplace_back(f);
    };
    reader.Feed(data, cut);
    drain();
    reader.Feed(data + cut, size - cut);
    drain();
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact heap copy, so that AddressSanitizer sees any read past the end.
    auto buf = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(buf.get(), data, size);
    const char* p = buf.get();

    const long len = MeasureFrame(p, size);
    Check(len >= -1 && (len <= 0 || size_t(len) <= size));
    if (len > 0) {
        Check(MeasureFrame(p, size_t(len)) == len);
        std::string_view frame(p, size_t(len));
        TextMessage m;
        if (ParseTextFrame(frame, m)) Check(m.SenderId.size() + m.Text.size() < frame.size());
        ListCount(frame);
        SoundIndex(frame);
    }

    const size_t cut = size ? size_t(data[0]) * size / 256 : 0;
    const std::vector<std::string> whole = Split(p, size, size);
    Check(Split(p, size, cut) == whole);
    size_t total = 0;
    for (const std::string& f : whole) total += f.size();
    Check(total <= size);

    FrameReader lines;
    lines.Feed(p, size);
    std::string l1, l2;
    if (lines.NextLine(l1) > 0 && lines.NextLine(l2) > 0) {
        HandshakeAnswer a;
        if (ParseHandshakeAnswer(l1, l2, a)) Check(!a.Access().empty());
        a.GrantedFlags();
    }
    return 0;
}
