// Hexadecimal codec (upper case out, either case in) and the CRC-16 and
// CRC-32 checksums. Stateless after the CRC-32 table is built on first use;
// safe from any thread.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "foundation/gax_types.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EInvalidHexError, EConvertError);
GAX_DECLARE_EXCEPTION(EInvalidHexCharacterError, EInvalidHexError);  // "Invalid HEX character"
GAX_DECLARE_EXCEPTION(EInvalidHexLengthError, EInvalidHexError);     // "Invalid HEX length"

// ---- Encoding: two upper-case digits per byte, high nibble first -----------

// dst must hold 2 * len units; returns the position after the digits.
char* BytesToHexBufA(char* dst, const void* src, int len);
char16_t* BytesToHexBufW(char16_t* dst, const void* src, int len);
std::string BytesToHexA(std::string_view bytes);
std::u16string BytesToHexW(std::string_view bytes);

// ---- Decoding --------------------------------------------------------------
// Value of a hex digit of either case, or -1 for any other unit.
inline int HexDigitValue(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}
// Decoders that write into a caller's buffer take its capacity; running out
// of room is a failure (-1) or raises "Buffer too small".

// Skips every byte <= 32 wherever it stands, also between the two digits of a
// byte. Returns the number of bytes written, or -1 on any other non-digit, on
// an odd number of digits or when dst is full (dst may be partly written).
int TryHexToBytesBuf(char* dst, int dstCap, const char* src, int len);
// Exactly count / 2 bytes; no blanks. Raises EInvalidHexLengthError on an odd
// count and EInvalidHexCharacterError on a non-digit.
char* HexToBytesBufW(char* dst, int dstCap, const char16_t* src, int count);
std::string HexToBytesW(const char16_t* src, int count);
std::string HexToBytesStr(std::u16string_view hex);
// Decodes in portions and writes each to the stream; errors as HexToBytesBufW.
void HexToStream(const char16_t* src, int count, std::ostream& out);
// Copies the hex digits (a..f made upper case), skipping units <= U+0020;
// raises EInvalidHexCharacterError on anything else. Returns the digits kept.
int CleanHexDigitsW(char16_t* dst, int dstCap, const char16_t* src, int count);
// Like HexToStream, but blanks may stand anywhere; an odd total of digits
// raises EInvalidHexLengthError.
void HexToStreamLenient(const char16_t* src, int count, std::ostream& out);
// Copies every unit that is not a space character (IsSpaceCharW).
char16_t* RemoveSpaceCharsW(char16_t* dst, int dstCap, const char16_t* src, int count);
// Leading units <= U+0020 skipped, then only hex digits (no prefix, no trailing
// blanks); at most 8 significant digits. Output untouched on failure.
bool TryParseHexCardinalW(std::u16string_view s, uint32_t& value);

// ---- Checksums -------------------------------------------------------------

// CRC-16/ARC (reflected polynomial 0xA001, no final XOR) continued from `crc`.
uint16_t Crc16Update(uint16_t crc, const void* data, int len);
// Standard CRC-32 (IEEE 802.3) continued from `crc`: 0 starts a new one, and
// the result of one call continues in the next.
uint32_t Crc32Update(uint32_t crc, const void* data, int len);
// CRC-32 over the UTF-16 bytes of the text, low byte first.
uint32_t Crc32UpdateText(uint32_t crc, std::u16string_view text);

}  // namespace gax
