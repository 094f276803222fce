// libFuzzer target for a client's connect string: the reader that checks and
// stores it, and everything built from what it stored (transport block, list
// items, sort key, attribute decision, status patches, descriptions). The
// first input byte picks the server's situation (log level, default country
// and network, which lists hold the client); the rest is the line after
// "CT:", copied into a heap block of exactly its size so that
// AddressSanitizer catches any read past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../server/session_test_support.h"
#include "server/gax_qor_svc_clientdescr.h"
#include "server/gax_qor_svc_connectstr.h"

using namespace gax;
using namespace session_test;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t pick = data[0];
    World w;
    w.svc.level = pick & 7;
    if (pick & 0x08) w.svc.countryA.clear();
    if (pick & 0x10) w.svc.def = nullptr;
    if (pick & 0x20) w.svc.nets.clear(), w.svc.def = nullptr;
    TestSession s(w.svc);

    const size_t n = size - 1;
    std::unique_ptr<char[]> line(new char[n ? n : 1]);
    if (n) std::memcpy(line.get(), data + 1, n);
    s.TCP_QOR_ParseClientConnectStr(line.get(), static_cast<int32_t>(n));
    line.reset();  // nothing may point into the line afterwards

    if (s.ConnectError() != TClientErrorType::cet_OK) {
        Check(s.ConnectNetwork() == nullptr);
        return 0;
    }
    Check(s.ConnectNetwork() != nullptr);
    const std::string& block = s.CliTransportBlock();
    for (int i = 0; i < kQORTransportParts; ++i) {
        const auto part = static_cast<TQORTransportPart>(i);
        const std::string_view p = TransportBlockPart(block, part);
        Check(p.empty() || (p.data() >= block.data() &&
                            p.data() + p.size() <= block.data() + block.size()));
    }
    Check(TransportBlockPart(block, tbp_ConfirmEMail).ends_with("\r\n"));
    Check(s.CliVisualSortKey().size() == kQORVisualSortKeyLen);

    // From here on the heartbeat's part, as after the handshake record.
    TQORRoleScope role(kHeartbeat);
    s.tmTakeConnect();
    Check(s.CtxNetwork() == s.ConnectNetwork());
    if (pick & 0x40) s.ExceededConnectionsPerAddress = true;
    Check(s.ClientListItemV0().size() ==
          82 + s.CliCountryANSI().size() + s.CliCityCityPartANSI().size() +
              s.CliBandChannelANSI().size() + s.CliCallsignOpnameANSI().size() +
              s.CliHashA().size() + s.CtxDescriptionANSI().size());
    Check(s.ClientListItemV1U().ends_with("\r\n"));

    if (pick & 0x80) w.test.blocked.insert(s.CliHashA());
    s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect);
    s.SetMuted(true);
    s.SetTalkEnabled(false);
    s.SetVisibleStatus(vs_Absent);
    TStringBldU b;
    AppendClientDescription(b, s);
    const std::u16string text = ToText(b);
    for (char16_t c : text) Check(c >= 0x20);  // nothing a client sent can break a log line
    FastStringA f;
    QORAddInternalFlags(f, s);
    QORParseProtoExtFlags1C(f, s);
    Check(f.Len() == 19);
    return 0;
}
