// libFuzzer target for what a system manager sends back: the handshake answer
// parser and the verdict of an answer line; and for the reader of a client
// transport block's header, whose offsets the manager client trusts. Input is
// copied into a heap block of exactly its size so that AddressSanitizer sees
// any read past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "sysman/gax_qor_svc_sysman.h"

using namespace gax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
    if (size) std::memcpy(copy.get(), data, size);
    const std::string_view in(copy.get(), size);

    int32_t code = 0, flags = 0;
    std::string bad;
    const TQORSysManAnswerParse r = ParseSysManHandshakeAnswer(in, code, flags, bad);
    if (r != TQORSysManAnswerParse::Ok && (code != 0 || flags != 0)) std::abort();
    if (r != TQORSysManAnswerParse::BadFlags && !bad.empty()) std::abort();
    if (code != 0 && flags != 0) std::abort();

    const TClientErrorType v = SysManVerdictOfLine(in);
    if (v == TClientErrorType::cet_OK) {
        if (in.empty()) std::abort();
        for (char c : in)
            if (uint8_t(c) < 0x20) std::abort();
    }

    for (int part = -1; part <= 9; ++part) {
        const std::string_view p = TransportBlockPart(in, part);
        if (!p.empty() && (p.data() < in.data() || p.data() + p.size() > in.data() + in.size()))
            std::abort();
    }
    return 0;
}
