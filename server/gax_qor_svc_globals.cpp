#include "server/gax_qor_svc_globals.h"

#include <string>

#include "foundation/gax_strutils.h"

namespace gax {

bool ParseManagerModeText(std::u16string_view aText, TQORSystemManagerMode& aMode) {
    const std::u16string text = TrimSpaceW(aText);
    // The number parser stops at a NUL, which would let "3<NUL>junk" pass as 3;
    // no mode word holds one either, so such a text names no mode.
    if (text.find(u'\0') != std::u16string::npos) return false;
    int32_t number = 0;
    if (TryParseIntW(text, number)) {
        // No mode word is a number, so a decimal outside 0..3 can match nothing.
        if (number < smm_Standalone || number > smm_QOR) return false;
        aMode = static_cast<TQORSystemManagerMode>(number);
        return true;
    }
    const std::u16string upper = AsciiUpperCaseW(text);
    for (const auto& word : kSystemManagerModeWords) {
        if (upper == word.ModeName) {
            aMode = word.Mode;
            return true;
        }
    }
    return false;
}

}  // namespace gax
