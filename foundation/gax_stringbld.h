// A plain-value UTF-16 string builder for log lines and messages assembled
// piece by piece on hot paths. A builder kept by its owner stops allocating
// once it has grown; reset it by setting Len to 0. Not thread-safe: a builder
// belongs to the one thread that uses it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gax {

// Text holds Cap units; only the first Len are content. A value-initialised
// builder is a valid empty one.
struct TStringBldU {
    std::u16string Text;
    int32_t Len = 0;
    int32_t Cap = 0;
};

// Makes room for `extra` more units at once: Cap grows to
// (n + n / 2 + 63) rounded down to a multiple of 64, n being the needed length.
void StringBldReserve(TStringBldU& B, int64_t extra);

void AppendChar(TStringBldU& B, char16_t c);
void AppendSpace(TStringBldU& B);
void AppendColonSpace(TStringBldU& B);
void AppendStr(TStringBldU& B, std::u16string_view s);
// A blank, then the text (the blank also when the text is empty).
void AppendSpaceStr(TStringBldU& B, std::u16string_view s);
void AppendInt(TStringBldU& B, int32_t value);
// Each byte as the unit of the same value.
void AppendBytes(TStringBldU& B, const char* p, int len);
// Bytes below 32 and the backslash as \xHH, others as the unit of the same value.
void AppendEscapedStr(TStringBldU& B, std::string_view s);
void AppendEscapedBuf(TStringBldU& B, const char* p, int len);

// The content so far; the builder stays as it is and can go on growing.
std::u16string ToText(const TStringBldU& B);

}  // namespace gax
