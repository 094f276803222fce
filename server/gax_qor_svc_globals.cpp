#include "server/gax_qor_svc_globals.h"

#include <string>

namespace gax {

namespace {

// Stand-ins for the foundation's text helpers with the same rules.
bool IsSpaceChar(char16_t c) {
    return c <= 0x20 || c == 0x85 || c == 0xA0 || c == 0x3000;
}

std::u16string_view TrimSpace(std::u16string_view s) {
    while (!s.empty() && IsSpaceChar(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpaceChar(s.back())) s.remove_suffix(1);
    return s;
}

// Strict decimal: optional sign directly followed by digits only, within 32 bits.
bool TryParseInt(std::u16string_view s, int32_t& value) {
    bool neg = false;
    if (!s.empty() && (s.front() == u'+' || s.front() == u'-')) {
        neg = s.front() == u'-';
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    int64_t v = 0;
    for (char16_t c : s) {
        if (c < u'0' || c > u'9') return false;
        v = v * 10 + (c - u'0');
        if (v > int64_t{2147483648}) return false;
    }
    if (neg) v = -v;
    if (v > int64_t{2147483647}) return false;
    value = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool ParseManagerModeText(std::u16string_view aText, TQORSystemManagerMode& aMode) {
    const std::u16string_view text = TrimSpace(aText);
    int32_t number = 0;
    if (TryParseInt(text, number)) {
        if (number < smm_Standalone || number > smm_QOR) return false;
        aMode = static_cast<TQORSystemManagerMode>(number);
        return true;
    }
    std::u16string upper(text);
    for (char16_t& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    for (const auto& word : kSystemManagerModeWords) {
        if (upper == word.ModeName) {
            aMode = word.Mode;
            return true;
        }
    }
    return false;
}

}  // namespace gax
