// Client and server ids: 24 characters made of the first 22 Base64 characters
// of the MD5 digest of a text (as a rule an e-mail address) and two check
// characters from a CRC-16 over those 22, so that a damaged id is recognised.
// Also the check, the repair of the old bracket spelling and the normalisation
// of ids read back from data files. Stateless; safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace gax {

inline constexpr size_t QOR_SOURCE_ID_LEN = 24;
inline constexpr size_t QOR_SOURCE_ID_BODY_LEN = 22;

using TQORDigest = std::array<uint8_t, 16>;  // the MD5 digest

// Id of the bytes of an 8-bit text; the first form also gives the raw digest.
std::string MakeSourceIdFromText(std::string_view text, TQORDigest& digest);
std::string MakeSourceId(std::string_view text);
std::string MakeSourceIdFromBuffer(const void* p, int32_t len);  // len <= 0: the empty text
// Id of a configured owner e-mail: each UTF-16 unit reduced to its low byte,
// which is exact for ASCII (the loader refuses owner e-mails beyond ASCII).
std::string MakeSourceIdFromUnicodeLowBytes(std::u16string_view text);

// The first 22 characters of the text followed by their check characters.
// Raises Exception "Invalid source id length" for a shorter text.
std::string AddSourceIdCheckChars(std::string_view text);

// True for exactly 24 characters of the id alphabet whose last two are the
// check characters of the first 22. A text holding "@" (an e-mail) is never an id.
bool IsValidSourceIdStr(std::string_view text);
bool IsValidSourceId(const char* p, int32_t len);

bool HasSourceIdBrackets(const char* p, int32_t len);
// Replaces in place the old spelling: "[" by "+" and "]" by "/".
void RepairSourceIdBrackets(char* p, int32_t len);

// Repairs an id read back from a data file: a bare 22-character body or a
// padded Base64 digest gets its check characters, the bracket spelling is
// repaired. True when the result is a usable id; `changed` is set when the id
// was rewritten (the file is then saved again) and left alone otherwise.
bool NormalizeSourceId(std::string& id, bool& changed);

}  // namespace gax
