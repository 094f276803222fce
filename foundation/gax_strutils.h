// Text and number helpers shared by every module: widening and narrowing
// without a code page, ASCII case, trims, strict decimal parsers, decimal
// writers that fill a buffer from its end, UTF-8 counting and decoding, escapes
// for logs and field splitting. All functions are stateless and thread-safe.
//
// Conventions: a "text" is UTF-16 (std::u16string), a byte string is
// std::string. Counted buffers take a pointer and a length; a length <= 0
// always means "nothing" and the pointer is then never read. Positions in texts
// are 1-based, 0 meaning "not found".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/gax_types.h"

namespace gax {

// ---- Widening, narrowing, ASCII case ---------------------------------------

// Keeps the low 8 bits of every unit.
std::string UnicodeToByteStr(std::u16string_view s);
char* UnicodeToByteBuf(char* dst, const char16_t* src, int count);
// Latin-1 reading: every byte becomes the unit of the same value.
std::u16string ByteStrToUnicode(std::string_view s);
std::u16string ByteBufToUnicode(const char* p, int len);
char16_t* ByteBufToWideBuf(char16_t* dst, const char* src, int count);

std::u16string AsciiUpperCaseW(std::u16string_view s);
std::string AsciiUpperCaseA(std::string_view s);
std::u16string AsciiLowerCaseW(std::u16string_view s);
// Equal when only 'a'..'z' and 'A'..'Z' are taken as the same letter.
bool SameTextAsciiW(std::u16string_view a, std::u16string_view b);
// True when every unit is below U+0402 (the range an 8-bit name can carry).
bool IsNarrowCharText(std::u16string_view s);

// ---- Raw buffers -----------------------------------------------------------

bool MemEqual(const void* a, const void* b, int len);
// Overlap allowed; returns dst + len.
char* MoveBytesEnd(void* dst, const void* src, int len);
// -1, 0 or +1: unsigned bytes of the common prefix decide, then the shorter is smaller.
int CompareBytes(const void* a, int lenA, const void* b, int lenB);
const char* FindByteInBuf(char b, const char* buf, int len);
inline char* FindByteInBuf(char b, char* buf, int len) {
    return const_cast<char*>(FindByteInBuf(b, static_cast<const char*>(buf), len));
}
const char* FindLFInBuf(const char* buf, int len);
inline char* FindLFInBuf(char* buf, int len) {
    return const_cast<char*>(FindLFInBuf(static_cast<const char*>(buf), len));
}
const char16_t* FindWCharInBuf(const char16_t* p, char16_t c, int count);
// Searches up to the NUL terminator; searching for NUL itself finds nothing.
const char16_t* FindWCharInPChar(const char16_t* p, char16_t c);
int CountWCharInBuf(const char16_t* p, int count, char16_t c);
// dst and src may be the same buffer (in-place reversal).
char16_t* ReverseWideBuf(char16_t* dst, const char16_t* src, int count);

// ---- Decimal writers -------------------------------------------------------
// The writers fill the buffer from its end and return the first character.
// `len` comes in as the buffer's size and goes out as the text's length
// (without the terminating 0 they place in the buffer's last slot). Room is
// always checked: a text that does not fit raises "Buffer too small".

char* IntToDecTailA(char* buf, int32_t value, int& len);
char16_t* IntToDecTailW(char16_t* buf, int32_t value, int& len);
char* IntToDecTailCheckedA(char* buf, int32_t value, int& len);
// Digits of |value| only, no sign and no terminator, last digit in the last
// slot. Too few slots: the lowest digits, `len` unchanged, result = buf.
char* Int64AbsToDecTailA(char* buf, int& len, int64_t value);
// |value| in exactly `count` digits, zero-padded, higher digits dropped.
char16_t* IntToDecFixedW(char16_t* dst, int64_t value, int count);
// The decimal text of a number ("-" for negatives), for messages and settings.
std::u16string IntToDecStrW(int64_t value);

// ---- Decimal parsers -------------------------------------------------------
// Strict: leading blanks (<= 32) are skipped, then an optional sign glued to the
// first digit, then digits to the end; the output is untouched on failure.
// The text forms end at the view's end or at a NUL unit, whichever is first,
// so a view over a NUL-terminated buffer parses like the terminated string.

bool TryParseIntA(std::string_view s, int32_t& value);
bool TryParseIntW(std::u16string_view s, int32_t& value);
// NUL-terminated forms; a null pointer fails.
bool TryParseIntA(const char* s, int32_t& value);
bool TryParseIntW(const char16_t* s, int32_t& value);
bool TryParseIntBufA(const char* p, int len, int32_t& value);
bool TryParseInt64W(std::u16string_view s, int64_t& value);
bool TryParseInt64BufA(const char* p, int len, int64_t& value);
// A number (non-zero = true) or TRUE/YES/ON/T/Y, FALSE/NO/OFF/F/N in any ASCII case.
bool TryParseBoolW(std::u16string_view s, bool& value);

// ---- Trims and spaces ------------------------------------------------------

// U+0000..U+0020, U+0085, U+00A0 and U+3000.
bool IsSpaceCharW(char16_t c);
std::u16string TrimSpaceW(std::u16string_view s);
std::string TrimBlanksA(std::string_view s);
// The same without a copy: views into the caller's bytes (or text, for the
// W form; blanks are units <= U+0020 there too).
std::string_view TrimBlanksViewA(std::string_view s);
std::string_view TrimBlanksLeftViewA(std::string_view s);
std::u16string_view TrimBlanksViewW(std::u16string_view s);
std::u16string TrimBlanksLeftW(std::u16string_view s);
int TrimBlanksRange(const char*& p, int& len);
int TrimBlanksRangeLeft(const char*& p, int& len);
int TrimBlanksRangeRight(const char* p, int& len);

// ---- Search and replace ----------------------------------------------------

int FindCharPosW(char16_t c, std::u16string_view s);
int FindSubstrPosW(std::u16string_view pattern, std::u16string_view s);
// Bit 0 of flags: replace every non-overlapping occurrence, else only the first.
constexpr int rsf_ReplaceAll = 1;
std::u16string ReplaceSubstrW(std::u16string_view s, std::u16string_view oldPart,
                              std::u16string_view newPart, int flags);

// ---- UTF-8 -----------------------------------------------------------------

// True when the bytes are well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no stray or missing continuation bytes).
bool IsValidUtf8Str(std::string_view s);
// Strict decoding with surrogate pairs above U+FFFF; ill-formed input gives an
// empty text, so a damaged file line never yields a half-read value.
std::u16string Utf8StrToUnicode(std::string_view s);
// The lenient decoder for client data: overlong forms are accepted, a 4-byte
// sequence keeps only the low 16 bits of its code point, and every ill-formed
// sequence (a byte that cannot start one, a missing continuation byte, a cut
// sequence at the end) becomes one U+FFFD and decoding goes on after it.
std::u16string Utf8BufToUnicodeLenient(const char* p, int len);
std::u16string Utf8StrToUnicodeLenient(std::string_view s);
// UTF-8 length counted per unit (1, 2 or 3 bytes; a surrogate unit counts 3).
// Compared with the input length after a lenient decode it shows input that
// did not decode one-to-one; it is no proof of validity (a cut 4-byte sequence
// of 3 bytes becomes one U+FFFD of 3), so validation uses IsValidUtf8Str.
int64_t UnicodeUtf8ByteLen(std::u16string_view s);
inline bool IsHighSurrogate(uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool IsLowSurrogate(uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}
// Number of bytes that are not continuation bytes; no validation.
int Utf8CharCount(const char* p, int len);
// Byte length of the first `count` characters (never cuts inside one).
int Utf8PrefixByteLen(const char* p, int len, int count);

// ---- Control bytes and escapes ---------------------------------------------

// A byte below 32 other than TAB.
bool HasControlBytes(const char* p, int len);
// Bytes below 32 and the backslash become \xHH, others the unit of the same value.
std::u16string EscapeCtrlBytesStr(std::string_view s);
std::u16string EscapeCtrlBytesBuf(const char* p, int len);
// The two steps of that escape, for writers that make the room themselves:
// the units it takes, then the writing (returns the position after it).
int64_t EscapedCtrlBytesLen(const char* p, int len);
char16_t* EscapeCtrlBytesTo(char16_t* dst, const char* p, int len);

// ---- Fields and words ------------------------------------------------------

// Field `index` (from 1) between single separators; false (and an empty field)
// for an empty input or an index out of range.
bool GetSepFieldA(std::string_view s, char sep, int index, std::string& field);
bool GetSepFieldW(std::u16string_view s, char16_t sep, int index, std::u16string& field);
int CountSepFieldsW(std::u16string_view s, char16_t sep);
std::string CopyFromPosA(std::string_view s, int pos);
std::u16string CopyFromPosW(std::u16string_view s, int pos);
std::u16string ReverseStrW(std::u16string_view s);

// CR, LF, TAB, form feed or blank.
bool IsWhiteSpaceW(char16_t c);
const char16_t* SkipWhiteSpaceW(const char16_t* p, int count);
const char16_t* SkipToWhiteSpaceW(const char16_t* p, int count);
bool CharInSetW(char16_t c, std::u16string_view set);

// One split of a text into pieces of at most MaxLen units, broken after a
// kept terminator or at a run of dropped terminators where possible.
struct TSplitStringInfoW {
    const char16_t* SrcPtr = nullptr;
    int SrcLen = 0;
    std::u16string_view UndeletedTerminators;
    std::u16string_view DeletedTerminators;
    int MaxLen = 0;
    int Index = 0;
    const char16_t* ResPtr = nullptr;
    int ResLen = 0;
};
// Fills ResPtr/ResLen with piece number Index; ResLen 0 when there is none.
void SplitStringPieceW(TSplitStringInfoW& info);
std::u16string GetSplitPieceW(std::u16string_view s, std::u16string_view keptTerminators,
                              std::u16string_view droppedTerminators, int maxLen, int index);

// ---- Other -----------------------------------------------------------------

// True when the system can create an IPv6 TCP socket.
bool SystemSupportsIP6();

}  // namespace gax
