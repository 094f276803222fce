// Pure helpers shared by the socket layer and the server: IPv4/IPv6 address texts and
// binary addresses, "host:port" texts, and the byte-order and small text helpers of the
// proxy messages. No state; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/gax_stringbld.h"
#include "platform/plat_socket.h"

namespace gax {

// ---- Address texts ------------------------------------------------------------------------
// Only digits, value 0..255; an empty text is not.
bool IsByteText(std::u16string_view text);
bool IsByteText(std::string_view text);
// Four dot-separated byte texts (blanks around each allowed).
bool IsIPv4Text(std::u16string_view text);
bool IsIPv4Text(std::string_view text);
// Groups of at most FFFF with one "::" run and an optional hex zone ("fe80::1%4").
bool IsIPv6Text(std::u16string_view text);
bool IsIPv6Text(std::string_view text);

// The four dot-separated decimal parts as 4 bytes.
std::string IPv4TextToBytes(std::u16string_view text);
std::string IPv4TextToBytes(std::string_view text);
// The eight-group form; empty when the text has more than 7 colons.
std::string ExpandIPv6Text(std::string_view text);
// 16 bytes, network order; all zero when a group is invalid.
std::string IPv6TextToBin(std::u16string_view text);
std::string IPv6TextToBin(std::string_view text);

// Binary addresses (4 or 16 bytes, network order) to texts.
std::u16string IPv4BytesToText(std::string_view bytes);
std::u16string IPv6BinToText(std::string_view bin);
std::u16string SocksIPv6Text(std::string_view bin);
std::u16string AddrBinToText(std::string_view bin);  // empty for any other length
// The binary address of a socket address; an IPv4-mapped IPv6 address gives its 4 IPv4
// bytes unless keepMapped; another family gives an empty string.
std::string SinToAddrBin(const plat::SockAddr& addr, bool keepMapped);

// "::0" -> "::", "[::0]" -> "[::]", anything else unchanged.
std::u16string ShortAnyAddress(std::u16string_view text);
std::string ShortAnyAddressA(std::string_view text);
// "host:port", with the host in brackets when it is an IPv6 text.
std::u16string FormatHostPort(std::u16string_view host, std::u16string_view port);
std::string FormatHostPortA(std::string_view host, std::string_view port);
// The same "host:port" appended to a string builder.
void AppendHostPort(TStringBldU& builder, std::u16string_view host, std::u16string_view port);

// ---- Byte order and text helpers ----------------------------------------------------------
std::string WordToBytesBE(uint16_t value);
// The 16-bit value at the 1-based index (high byte first); a missing byte counts as 0.
uint16_t BytesBEToWord(std::string_view bytes, size_t index);
std::string LongToBytesBE(uint32_t value);
uint32_t SwapLong(uint32_t value);

// Blanks are the character 32 only.
std::string TrimBlanks(std::string_view text);
std::string TrimBlanksLeft(std::string_view text);
std::string TrimBlanksRight(std::string_view text);
// The part before / after the first delimiter; the whole text when there is none.
std::string TextBefore(std::string_view text, std::string_view delimiter);
std::string TextAfter(std::string_view text, std::string_view delimiter);
// Takes the part before the first delimiter off the text (the text keeps what follows it,
// or becomes empty when there is no delimiter). FetchPartTrim also trims both.
std::string FetchPart(std::string& text, std::string_view delimiter);
std::string FetchPartTrim(std::string& text, std::string_view delimiter);
std::string ReplaceAllA(std::string_view text, std::string_view oldPart, std::string_view newPart);
// Index of the first CR or LF, with the terminator (CR LF or LF CR when the next character
// completes the pair); -1 and an empty terminator when there is none.
long FindLineEnd(std::string_view text, std::string& terminator);
size_t CountCharW(std::u16string_view text, char16_t ch);

}  // namespace gax
