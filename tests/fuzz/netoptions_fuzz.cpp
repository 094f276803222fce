// libFuzzer target for the per-network option text: any UTF-16 text parses
// without a crash, raises nothing but the character-set error, keeps every
// value inside its bounds, and its rendering reads back to the same options.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "server/gax_qor_svc_netoptions.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// What the rendering cannot carry: the Parrot's mute switch, whether a mode
// equal to the server's was written, the case of a character-set name equal
// to the server's, and session times beyond what a time text can hold.
void Normalise(TQORSVCNetworkOptions& o) {
    o.no_Parrot.ParrotMuteEnable = false;
    o.no_NetManagerModeSpecific = false;
    for (char16_t& c : o.no_NetCharsetNameUCS2)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    o.no_NetCharsetNameUTF8 = UnicodeToUtf8Str(o.no_NetCharsetNameUCS2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TCharsetsCodeList* codes = CreateCharsetsCodeList().release();
    if (size < 1) return 0;
    TQORServiceNetOptions serv;
    serv.sno_CharsetName = u"WINDOWS-1252";
    serv.sno_ManagerMode = static_cast<TQORSystemManagerMode>(data[0] & 3);
    serv.sno_ShortFrames = data[0] & 4;
    serv.sno_QuarantineTicks = (data[0] & 8) ? 500 : 0;
    ++data;
    --size;
    // Bytes as Latin-1 units, and pairs as wider units when the input asks.
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text += static_cast<char16_t>(data[i + 1] << 8 | data[i + 2]);
            i += 2;
        } else {
            text += static_cast<char16_t>(data[i]);
        }
    }

    TQORSVCNetworkOptions o;
    try {
        ParseNetworkOptionsText(serv, text, o, codes);
    } catch (const EAnsiUnicodeConverterError& e) {
        Check(e.Message().rfind(u"Network option \"CharsetName\": ", 0) == 0);
        return 0;
    }
    Check(o.no_NetMaxClients >= 1 && o.no_NetMaxClients <= 65533);
    Check(o.no_MaxSpeechTicks >= 10000 && o.no_MaxSpeechTicks <= 1800000);
    Check(o.no_SpeechPauseTicks <= 10000 && o.no_QuarantineTicks <= 4000);
    Check(o.no_OutputBufferLimit >= 4096 && o.no_OutputBufferLimit <= 16777216);
    Check(o.no_OutputBufferFactor >= 1 && o.no_OutputBufferFactor <= 10);
    Check(o.no_LogClientLevel >= 0 && o.no_LogClientLevel <= 7);
    Check(o.no_ManagersMask >= 0 && o.no_ManagersMask <= 15);
    Check(o.no_SessionMaxTime >= 0);
    Check(o.no_Parrot.po_ParrotRepeatCount >= 1 && o.no_Parrot.po_ParrotRepeatCount <= 50);
    Check(o.no_Parrot.ParrotPrefixMaxTime >= 0 && o.no_Parrot.ParrotPrefixMaxTime <= 30);
    Check(o.no_Parrot.ParrotPauseTicks >= 100 && o.no_Parrot.ParrotPauseTicks <= 10000);
    Check(o.no_Parrot.ParrotMaxRecordTicks >= 10000 && o.no_Parrot.ParrotMaxRecordTicks <= 300000);
    Check(!o.no_AdminMoveClient);
    for (const std::u16string& e : o.no_NetOwnersEMails) Check(!e.empty());

    const std::u16string rendered = FormatNetworkOptionsText(serv, o);
    if (o.no_SessionMaxTime > 999999999) return 0;
    TQORSVCNetworkOptions again;
    ParseNetworkOptionsText(serv, rendered, again, codes);
    Normalise(o);
    Normalise(again);
    Check(again == o);
    return 0;
}
