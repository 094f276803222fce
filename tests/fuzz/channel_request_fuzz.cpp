// libFuzzer target for the server's command-channel request decoder: any
// line is either blank, refused (with one of the words a refusal may carry)
// or a request whose fields keep the ranges the handlers rely on.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/gax_qor_svc_command.h"
#include "protocol/gax_qor_sourceid.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    TQORCmdRequest q;
    switch (DecodeChannelRequest(line, q)) {
        case TQORCmdDecodeResult::Empty:
            for (char c : line) Check(static_cast<unsigned char>(c) <= 32);
            break;
        case TQORCmdDecodeResult::Refuse:
            Check(q.Word == fsca_NoAnswer || q.Word == fsca_NotSupported ||
                  q.Word == fsca_WrongText);
            break;
        case TQORCmdDecodeResult::Request:
            Check(!q.ClientId.empty() == IsValidSourceIdStr(q.ClientId) || q.ClientId.empty());
            switch (q.Code) {
                case '1':
                case 'd':
                case 'N':
                case 'Y':
                case 's':
                    Check(q.Num1 >= 0 && q.Num1 <= 3);
                    break;
                case 'b':
                    Check(q.Num1 >= 0 && q.Num1 <= 7);
                    break;
                case 'p':
                    Check(q.Num1 >= 0 && q.Num1 <= 3 && q.Num2 >= 0 && q.Num2 <= 7);
                    break;
                case 'Z':
                    Check(q.Num1 >= 0 && q.Num1 <= 65535 && !q.Text1.empty());
                    break;
                case 'D':
                case 'E':
                case 'S':
                    Check(q.Num1 >= 0 && !q.Net1.empty() && !q.ClientId.empty());
                    break;
                case 'K':
                case 'L':
                    Check(q.Num1 >= -1 && q.Num1 <= 1);
                    break;
                default:
                    break;
            }
            break;
    }
    return 0;
}
