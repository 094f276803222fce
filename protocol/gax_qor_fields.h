// Byte-exact field codecs of the protocol: the hex-length field F(s) and the
// integer header I(n), typed fields, tag elements and count lines; their
// writers (into a FastStringA or into a raw buffer sized beforehand with the
// Size* functions beside each writer), their readers, and the tag-list and
// typed-field parsers. Upper-case hex is written, both cases are read.
//
// Parsers and readers copy nothing: every span they return (pointer and length,
// or the string_view accessors) points into the caller's buffer and must not
// outlive it. All input is treated as hostile: no reader or parser looks past
// the length it is given, and no length it returns is negative.
// Stateless; every buffer belongs to the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/gax_faststring.h"

namespace gax {

// ---- records of the parsers ----

// One parsed tag element "<name>value</name>".
struct TQORTagItemRec {
    const char* NamePtr = nullptr;
    char* ValuePtr = nullptr;
    int32_t NameLen = 0;
    int32_t ValueLen = 0;

    std::string_view Name() const { return {NamePtr, NameLen > 0 ? size_t(NameLen) : 0}; }
    std::string_view Value() const { return {ValuePtr, ValueLen > 0 ? size_t(ValueLen) : 0}; }
};

// Tag-list parser flags.
inline constexpr uint32_t QOR_TAGPARSE_CTRL_ERROR = 0x1;     // a control byte is error -2
inline constexpr uint32_t QOR_TAGPARSE_CTRL_TO_BLANK = 0x2;  // ... or, in a value, becomes a blank
inline constexpr uint32_t QOR_TAGPARSE_NO_DUPLICATES = 0x4;  // a repeated name is error -3

// Parser results besides a count.
inline constexpr int QOR_PARSE_INVALID_FORMAT = -1;
inline constexpr int QOR_PARSE_INVALID_CHARACTERS = -2;
inline constexpr int QOR_PARSE_DUPLICATE = -3;
inline constexpr int QOR_PARSE_TOO_MANY = -4;

struct TQORTagParseRec {
    TQORTagItemRec* Items = nullptr;  // caller's array of Capacity entries
    char* Data = nullptr;             // may be written to with QOR_TAGPARSE_CTRL_TO_BLANK
    int32_t DataLen = 0;
    uint32_t Flags = 0;
    int32_t Capacity = 0;
    int32_t Count = 0;     // out: elements stored
    int32_t DupIndex = 0;  // out: with result -3, the earlier element of that name
};

// One parsed typed field: type byte, then F(value).
struct TQORTypedFieldRec {
    char Ch = 0;
    const char* Ptr = nullptr;
    int32_t Len = 0;

    std::string_view Value() const { return {Ptr, Len > 0 ? size_t(Len) : 0}; }
};

inline constexpr int QOR_TYPED_SLOTS = 15;  // type bytes "0".."9", "A".."E"

struct TQORTypedFieldParseRec {
    TQORTypedFieldRec* Items = nullptr;  // caller's array of MaxItems entries
    const char* Data = nullptr;
    int32_t DataLen = 0;
    int32_t MaxItems = 0;
    const TQORTypedFieldRec* Slots[QOR_TYPED_SLOTS] = {};  // out: per type byte, or null
    int32_t Count = 0;                                     // out
    uint32_t Mask = 0;                                     // out: QORTypedFieldBit per type seen
};

// The slot index of a type byte ("0".."9" -> 0..9, "A".."E" -> 10..14), or -1.
int QORTypedFieldSlot(char type);
// The Mask bit of a type byte, or 0 for one without a slot.
uint32_t QORTypedFieldBit(char type);

// ---- sizes of what the writers produce ----

size_t SizeHexLenInt(uint32_t value);            // I(value): 2, 4, 6, 8 or 10
size_t SizeHexLenStr(size_t len);                // F of len bytes
size_t SizeTypedField(size_t len);               // type byte + F
size_t SizeTag(size_t tagLen, size_t valueLen);  // "<t>" value "</t>"
inline size_t SizeHexBytes(size_t len) {
    return 2 * len;
}
inline size_t SizeBufLn(size_t len) {
    return len + 2;
}
inline constexpr size_t SizeHex4 = 4;
size_t SizeInt(int32_t value);  // signed decimal text

// ---- raw-buffer writers: each returns the position after what it wrote ----
// The caller sizes dst with the Size* functions above; nothing writes a NUL.

char* PutBuf(char* dst, const void* p, int32_t len);  // nothing for len <= 0
char* PutStrLn(char* dst, std::string_view s);
char* PutBufLn(char* dst, const void* p, int32_t len);  // no bytes for len < 0, CR LF always
char* PutHexBytes(char* dst, const void* p, int32_t len);
char* PutHexLenStr(char* dst, std::string_view s);
char* PutHexLenBuf(char* dst, const void* p, int32_t len);  // F; a negative length counts as 0
char* PutHexLenUInt(char* dst, uint32_t value);
char* PutHexLenInt(char* dst, int32_t value);                          // nothing for value < 0
char* PutHexLenTagValue(char* dst, const TQORTagItemRec& item);        // nothing when len < 0
char* PutHexLenTypedField(char* dst, const TQORTypedFieldRec& field);  // nothing when len < 0
// Type byte, I(length), bytes; an empty value still gives the type byte and "00".
char* PutTypedField(char* dst, char type, const void* p, int32_t len);
char* PutTag2Str(char* dst, std::string_view tag, std::string_view value);
char* PutTag2Buf(char* dst, std::string_view tag, const void* p, int32_t len);
char* PutTag2Item(char* dst, std::string_view tag, const TQORTagItemRec& item);
char* PutTag2Char(char* dst, std::string_view tag, char c);
char* PutTag1Char(char* dst, char tag, char c);
char* PutHex4(char* dst, uint16_t value);
char* PutInt(char* dst, int32_t value);

// ---- FastStringA appenders ----

void FastStrAddHexByte(FastStringA& f, uint8_t b);
void FastStrAddInt(FastStringA& f, int32_t value);
void FastStrAddIntLn(FastStringA& f, int32_t value);  // the count line
void FastStrAddHexLenStr(FastStringA& f, std::string_view s);
void FastStrAddHexLenInt(FastStringA& f, uint32_t value);
void FastStrAddTag2(FastStringA& f, std::string_view tag, std::string_view value);
void FastStrAddTag2Buf(FastStringA& f, std::string_view tag, const void* p, int32_t len);
void FastStrAddTag3Buf(FastStringA& f, std::string_view tag, const void* p, int32_t len);

// ---- text converters ----

std::string HexLenStr(std::string_view s);
std::string HexLenUIntToStr(uint32_t value);
std::string HexLenIntToStr(int32_t value);                     // a negative value counts as 0
std::string HexLenIntToStrOrEmpty(int32_t value);              // empty for a negative value
std::string TypedFieldStr(char type, std::string_view value);  // empty for an empty value
std::string TypedFieldUTF8(char type, std::u16string_view text);

// ---- readers: on failure cursor and remaining are left unchanged ----

bool ReadHexByte(const char*& cursor, int32_t& remaining, uint8_t& out);
// Header of a hex-length field; succeeds only when the value also fits in
// what remains after the header. The cursor ends after the header only.
bool ReadHexLen(const char*& cursor, int32_t& remaining, int32_t& outLen);
// An integer in header form ("80" reads as 128); checks only that the header fits.
bool ReadHexLenInt(const char*& cursor, int32_t& remaining, uint32_t& out);
// The same for a NUL-terminated text: stops at the first non-hex byte, the NUL
// included, so it never reads past the terminator.
bool ReadHexLenUnchecked(const char*& cursor, uint32_t& out);

// ---- parsers ----

// Result: the number of elements stored, or -1 (format), -2 (control byte),
// -3 (duplicate name). Elements beyond Capacity are checked but not stored.
int ParseTagList(TQORTagParseRec& rec);
// The first stored element named exactly `name`, or null.
const TQORTagItemRec* FindTag(const TQORTagParseRec& rec, std::string_view name);
const TQORTagItemRec* FindTag(const TQORTagParseRec& rec, const char* name, int32_t len);
// The log text of a parser result.
std::u16string_view TagParseErrorText(int code);

// Result: the number of fields, or -1 (format), -3 (type repeated), -4 (more
// fields than MaxItems).
int ParseTypedFields(TQORTypedFieldParseRec& rec);

// Narrow a value span past leading and trailing bytes <= 32; returns the new
// length (0 for an empty or negative span).
int32_t TrimTagValue(TQORTagItemRec& item);
int32_t TrimTypedFieldValue(TQORTypedFieldRec& field);

}  // namespace gax
