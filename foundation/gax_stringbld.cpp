#include "foundation/gax_stringbld.h"

#include <algorithm>
#include <limits>

#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"

namespace gax {

namespace {

inline void CopyUnits(char16_t* dst, const char16_t* src, size_t n) {
    std::copy_n(src, n, dst);
}

}  // namespace

void StringBldReserve(TStringBldU& B, int64_t extra) {
    if (extra <= 0) return;
    const int64_t n = static_cast<int64_t>(B.Len) + extra;
    if (n <= B.Cap) return;
    int64_t cap = (n + n / 2 + 63) & ~int64_t{63};
    if (cap > std::numeric_limits<int32_t>::max()) {
        // The growth rule overshoots by half; only refuse when the content itself is too long.
        if (n > std::numeric_limits<int32_t>::max()) throw Exception("String builder too long");
        cap = std::numeric_limits<int32_t>::max();
    }
    B.Text.resize(static_cast<size_t>(cap));
    B.Cap = static_cast<int32_t>(cap);
}

void AppendChar(TStringBldU& B, char16_t c) {
    StringBldReserve(B, 1);
    B.Text[static_cast<size_t>(B.Len++)] = c;
}

void AppendSpace(TStringBldU& B) {
    AppendChar(B, u' ');
}

void AppendColonSpace(TStringBldU& B) {
    AppendStr(B, u": ");
}

void AppendStr(TStringBldU& B, std::u16string_view s) {
    if (s.empty()) return;
    StringBldReserve(B, static_cast<int64_t>(s.size()));
    CopyUnits(B.Text.data() + B.Len, s.data(), s.size());
    B.Len += static_cast<int32_t>(s.size());
}

void AppendSpaceStr(TStringBldU& B, std::u16string_view s) {
    StringBldReserve(B, static_cast<int64_t>(s.size()) + 1);
    B.Text[static_cast<size_t>(B.Len++)] = u' ';
    AppendStr(B, s);
}

void AppendInt(TStringBldU& B, int32_t value) {
    char16_t buf[32];
    int len = 32;
    const char16_t* p = IntToDecTailW(buf, value, len);
    AppendStr(B, std::u16string_view(p, static_cast<size_t>(len)));
}

void AppendBytes(TStringBldU& B, const char* p, int len) {
    if (len <= 0) return;
    StringBldReserve(B, len);
    ByteBufToWideBuf(B.Text.data() + B.Len, p, len);
    B.Len += len;
}

void AppendEscapedBuf(TStringBldU& B, const char* p, int len) {
    if (len <= 0) return;
    // Sized in one step, so a line of many control bytes grows the builder once.
    const int64_t n = EscapedCtrlBytesLen(p, len);
    StringBldReserve(B, n);
    EscapeCtrlBytesTo(B.Text.data() + B.Len, p, len);
    B.Len += static_cast<int32_t>(n);
}

void AppendEscapedStr(TStringBldU& B, std::string_view s) {
    if (s.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw Exception("String builder too long");
    AppendEscapedBuf(B, s.data(), static_cast<int>(s.size()));
}

std::u16string ToText(const TStringBldU& B) {
    return std::u16string(B.Text.data(), static_cast<size_t>(B.Len > 0 ? B.Len : 0));
}

}  // namespace gax
