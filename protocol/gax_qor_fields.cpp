// Field codecs. Hex is written from a table of the 256 digit pairs and read
// digit by digit rather than with the C library's number parsers, whose
// locale, sign and blank handling would let hostile input through in forms the
// protocol does not have.
#include "protocol/gax_qor_fields.h"

#include <array>
#include <cassert>
#include <cstring>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

// byte -> its two upper-case digits
constexpr auto kHexPairs = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = {digits[b >> 4], digits[b & 15]};
    return t;
}();

inline char* PutHexByte(char* dst, uint8_t b) {
    dst[0] = kHexPairs[b][0];
    dst[1] = kHexPairs[b][1];
    return dst + 2;
}

// Two hex digits at p. The second byte is looked at only when the first is a
// digit, so a NUL-terminated text is never read past its NUL.
inline bool HexPair(const char* p, uint8_t& out) {
    const int hi = HexDigitValue(static_cast<uint8_t>(p[0]));
    if (hi < 0) return false;
    const int lo = HexDigitValue(static_cast<uint8_t>(p[1]));
    if (lo < 0) return false;
    out = uint8_t(hi << 4 | lo);
    return true;
}

// Header bytes 0x81..0x84 announce 1..4 length bytes; the writers never use
// more, and a longer run could not be held in 32 bits.
constexpr uint8_t kHeaderMax = 0x84;

// Reads the k length bytes after a long header. `avail` is the number of bytes
// that may be read, or -1 for a NUL-terminated text.
bool ReadLengthBytes(const char* p, int64_t avail, unsigned k, uint32_t& out) {
    if (avail >= 0 && avail < int64_t(2 * k)) return false;
    uint32_t v = 0;
    for (unsigned i = 0; i < k; ++i) {
        uint8_t b;
        if (!HexPair(p + 2 * i, b)) return false;
        v = v << 8 | b;
    }
    out = v;
    return true;
}

// Reads a header as a value: b <= 0x80 is the value itself. Returns the number
// of bytes taken, 0 on failure.
size_t ReadHeaderValue(const char* p, int64_t avail, uint32_t& out) {
    if (avail >= 0 && avail < 2) return 0;
    uint8_t b;
    if (!HexPair(p, b)) return 0;
    if (b <= 0x80) {
        out = b;
        return 2;
    }
    if (b > kHeaderMax) return 0;
    const unsigned k = b - 0x80u;
    if (!ReadLengthBytes(p + 2, avail < 0 ? -1 : avail - 2, k, out)) return 0;
    return 2 + 2 * k;
}

inline size_t PosLen(int32_t len) {
    return len > 0 ? size_t(len) : 0;
}

char* PutTagBuf(char* dst, std::string_view tag, const void* p, size_t len) {
    *dst++ = '<';
    dst = static_cast<char*>(std::memcpy(dst, tag.data(), tag.size())) + tag.size();
    *dst++ = '>';
    if (len > 0) dst = static_cast<char*>(std::memcpy(dst, p, len)) + len;
    *dst++ = '<';
    *dst++ = '/';
    dst = static_cast<char*>(std::memcpy(dst, tag.data(), tag.size())) + tag.size();
    *dst++ = '>';
    return dst;
}

void AddTagBuf(FastStringA& f, std::string_view tag, const void* p, int32_t len) {
    const size_t n = SizeTag(tag.size(), PosLen(len));
    char* at = f.Extend(n);
    [[maybe_unused]] char* end = PutTagBuf(at, tag, p, PosLen(len));
    assert(end == at + n);
}

inline bool IsControl(uint8_t c) {
    return c < 0x20 && c != '\t';
}

// Writes the decimal text of value into exactly n = SizeInt(value) bytes;
// callers that sized their room already pass n rather than count digits twice.
char* PutIntSized(char* dst, int32_t value, size_t n) {
    uint32_t u = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    char* end = dst + n;
    char* p = end;
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (value < 0) *--p = '-';
    return end;
}

// Not a power series: "4".."7" carry the bits 0x40, 0x100, 0x10, 0x80, and
// 0x20 and 0x200 are unused.
constexpr uint32_t kTypedFieldBits[QOR_TYPED_SLOTS] = {0x1,    0x2,    0x4,    0x8,    0x40,
                                                       0x100,  0x10,   0x80,   0x400,  0x800,
                                                       0x1000, 0x2000, 0x4000, 0x8000, 0x10000};

}  // namespace

// ---- typed-field type bytes ----

int QORTypedFieldSlot(char type) {
    if (type >= '0' && type <= '9') return type - '0';
    if (type >= 'A' && type <= 'E') return 10 + (type - 'A');
    return -1;
}

uint32_t QORTypedFieldBit(char type) {
    const int s = QORTypedFieldSlot(type);
    return s < 0 ? 0 : kTypedFieldBits[s];
}

// ---- sizes ----

size_t SizeHexLenInt(uint32_t value) {
    if (value <= 0x7F) return 2;
    if (value <= 0xFF) return 4;
    if (value <= 0xFFFF) return 6;
    if (value <= 0xFFFFFF) return 8;
    return 10;
}

size_t SizeHexLenStr(size_t len) {
    return SizeHexLenInt(uint32_t(len)) + len;
}
size_t SizeTypedField(size_t len) {
    return 1 + SizeHexLenStr(len);
}
size_t SizeTag(size_t tagLen, size_t valueLen) {
    return 2 * tagLen + 5 + valueLen;
}

size_t SizeInt(int32_t value) {
    uint32_t u = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    size_t n = value < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}

// ---- raw-buffer writers ----

char* PutBuf(char* dst, const void* p, int32_t len) {
    if (len <= 0) return dst;
    std::memcpy(dst, p, size_t(len));
    return dst + len;
}

char* PutStrLn(char* dst, std::string_view s) {
    if (!s.empty()) std::memcpy(dst, s.data(), s.size());
    dst += s.size();
    *dst++ = '\r';
    *dst++ = '\n';
    return dst;
}

char* PutBufLn(char* dst, const void* p, int32_t len) {
    dst = PutBuf(dst, p, len);
    *dst++ = '\r';
    *dst++ = '\n';
    return dst;
}

char* PutHexBytes(char* dst, const void* p, int32_t len) {
    const uint8_t* s = static_cast<const uint8_t*>(p);
    for (int32_t i = 0; i < len; ++i) dst = PutHexByte(dst, s[i]);
    return dst;
}

char* PutHexLenUInt(char* dst, uint32_t value) {
    if (value <= 0x7F) return PutHexByte(dst, uint8_t(value));
    const unsigned k = unsigned(SizeHexLenInt(value) / 2 - 1);
    dst = PutHexByte(dst, uint8_t(0x80 + k));
    for (unsigned i = k; i-- > 0;) dst = PutHexByte(dst, uint8_t(value >> (8 * i)));
    return dst;
}

char* PutHexLenInt(char* dst, int32_t value) {
    return value < 0 ? dst : PutHexLenUInt(dst, uint32_t(value));
}

char* PutHexLenBuf(char* dst, const void* p, int32_t len) {
    dst = PutHexLenUInt(dst, uint32_t(PosLen(len)));
    return PutBuf(dst, p, len);
}

char* PutHexLenStr(char* dst, std::string_view s) {
    dst = PutHexLenUInt(dst, uint32_t(s.size()));
    if (!s.empty()) std::memcpy(dst, s.data(), s.size());
    return dst + s.size();
}

char* PutHexLenTagValue(char* dst, const TQORTagItemRec& item) {
    return item.ValueLen < 0 ? dst : PutHexLenBuf(dst, item.ValuePtr, item.ValueLen);
}

char* PutHexLenTypedField(char* dst, const TQORTypedFieldRec& field) {
    return field.Len < 0 ? dst : PutHexLenBuf(dst, field.Ptr, field.Len);
}

char* PutTypedField(char* dst, char type, const void* p, int32_t len) {
    *dst++ = type;
    return PutHexLenBuf(dst, p, len);
}

char* PutTag2Str(char* dst, std::string_view tag, std::string_view value) {
    return PutTagBuf(dst, tag, value.data(), value.size());
}

char* PutTag2Buf(char* dst, std::string_view tag, const void* p, int32_t len) {
    return PutTagBuf(dst, tag, p, PosLen(len));
}

char* PutTag2Item(char* dst, std::string_view tag, const TQORTagItemRec& item) {
    return PutTagBuf(dst, tag, item.ValuePtr, PosLen(item.ValueLen));
}

char* PutTag2Char(char* dst, std::string_view tag, char c) {
    return PutTagBuf(dst, tag, &c, 1);
}

char* PutTag1Char(char* dst, char tag, char c) {
    return PutTagBuf(dst, std::string_view(&tag, 1), &c, 1);
}

char* PutHex4(char* dst, uint16_t value) {
    dst = PutHexByte(dst, uint8_t(value >> 8));
    return PutHexByte(dst, uint8_t(value));
}

char* PutInt(char* dst, int32_t value) {
    return PutIntSized(dst, value, SizeInt(value));
}

// ---- FastStringA appenders ----

void FastStrAddHexByte(FastStringA& f, uint8_t b) {
    PutHexByte(f.Extend(2), b);
}

void FastStrAddInt(FastStringA& f, int32_t value) {
    const size_t n = SizeInt(value);
    PutIntSized(f.Extend(n), value, n);
}

void FastStrAddIntLn(FastStringA& f, int32_t value) {
    const size_t n = SizeInt(value);
    char* end = PutIntSized(f.Extend(n + 2), value, n);
    end[0] = '\r';
    end[1] = '\n';
}

void FastStrAddHexLenStr(FastStringA& f, std::string_view s) {
    const size_t n = SizeHexLenStr(s.size());
    char* at = f.Extend(n);
    [[maybe_unused]] char* end = PutHexLenStr(at, s);
    assert(end == at + n);
}

void FastStrAddHexLenInt(FastStringA& f, uint32_t value) {
    const size_t n = SizeHexLenInt(value);
    char* at = f.Extend(n);
    [[maybe_unused]] char* end = PutHexLenUInt(at, value);
    assert(end == at + n);
}

void FastStrAddTag2(FastStringA& f, std::string_view tag, std::string_view value) {
    AddTagBuf(f, tag, value.data(), int32_t(value.size()));
}

void FastStrAddTag2Buf(FastStringA& f, std::string_view tag, const void* p, int32_t len) {
    AddTagBuf(f, tag, p, len);
}

void FastStrAddTag3Buf(FastStringA& f, std::string_view tag, const void* p, int32_t len) {
    AddTagBuf(f, tag, p, len);
}

// ---- text converters ----

std::string HexLenStr(std::string_view s) {
    std::string out(SizeHexLenStr(s.size()), '\0');
    [[maybe_unused]] char* end = PutHexLenStr(out.data(), s);
    assert(end == out.data() + out.size());
    return out;
}

std::string HexLenUIntToStr(uint32_t value) {
    std::string out(SizeHexLenInt(value), '\0');
    PutHexLenUInt(out.data(), value);
    return out;
}

std::string HexLenIntToStr(int32_t value) {
    return HexLenUIntToStr(uint32_t(value < 0 ? 0 : value));
}

std::string HexLenIntToStrOrEmpty(int32_t value) {
    return value < 0 ? std::string() : HexLenUIntToStr(uint32_t(value));
}

std::string TypedFieldStr(char type, std::string_view value) {
    if (value.empty()) return {};
    std::string out(SizeTypedField(value.size()), '\0');
    [[maybe_unused]] char* end =
        PutTypedField(out.data(), type, value.data(), int32_t(value.size()));
    assert(end == out.data() + out.size());
    return out;
}

std::string TypedFieldUTF8(char type, std::u16string_view text) {
    return TypedFieldStr(type, UnicodeToUtf8Str(text));
}

// ---- readers ----

bool ReadHexByte(const char*& cursor, int32_t& remaining, uint8_t& out) {
    if (remaining < 2) return false;
    uint8_t b;
    if (!HexPair(cursor, b)) return false;
    out = b;
    cursor += 2;
    remaining -= 2;
    return true;
}

bool ReadHexLen(const char*& cursor, int32_t& remaining, int32_t& outLen) {
    if (remaining < 2) return false;
    uint8_t b;
    if (!HexPair(cursor, b)) return false;
    // "80" would be a header announcing no length bytes: never written, refused.
    if (b == 0x80) return false;
    uint32_t len;
    const size_t used = ReadHeaderValue(cursor, remaining, len);
    if (used == 0) return false;
    // The comparison runs in unsigned arithmetic before the length becomes a
    // signed value, so a header of 84FFFFFFFF cannot turn into a negative length.
    const uint32_t left = uint32_t(remaining) - uint32_t(used);
    if (len > left) return false;
    cursor += used;
    remaining = int32_t(left);
    outLen = int32_t(len);
    return true;
}

bool ReadHexLenInt(const char*& cursor, int32_t& remaining, uint32_t& out) {
    if (remaining < 0) return false;
    uint32_t v;
    const size_t used = ReadHeaderValue(cursor, remaining, v);
    if (used == 0) return false;
    cursor += used;
    remaining -= int32_t(used);
    out = v;
    return true;
}

bool ReadHexLenUnchecked(const char*& cursor, uint32_t& out) {
    uint32_t v;
    const size_t used = ReadHeaderValue(cursor, -1, v);
    if (used == 0) return false;
    cursor += used;
    out = v;
    return true;
}

// ---- tag lists ----

int ParseTagList(TQORTagParseRec& r) {
    r.Count = 0;
    if (r.DataLen < 0 || (r.DataLen > 0 && r.Data == nullptr)) return QOR_PARSE_INVALID_FORMAT;
    char* const d = r.Data;
    const int32_t n = r.DataLen;
    const int32_t capacity = r.Items ? r.Capacity : 0;
    const bool ctrlError = r.Flags & QOR_TAGPARSE_CTRL_ERROR;
    const bool ctrlBlank = r.Flags & QOR_TAGPARSE_CTRL_TO_BLANK;
    const bool noDup = r.Flags & QOR_TAGPARSE_NO_DUPLICATES;
    int32_t i = 0;
    for (;;) {
        while (i < n && (d[i] == ' ' || d[i] == '\t')) ++i;
        if (i >= n) return r.Count;
        if (IsControl(uint8_t(d[i]))) return QOR_PARSE_INVALID_CHARACTERS;
        // "<A></A>" is the shortest element.
        if (n - i < 7 || d[i] != '<') return QOR_PARSE_INVALID_FORMAT;

        const int32_t nameStart = i + 1;
        int32_t j = nameStart;
        for (; j < n && d[j] != '>'; ++j) {
            const uint8_t c = uint8_t(d[j]);
            if (IsControl(c)) return QOR_PARSE_INVALID_CHARACTERS;
            if (c == ' ' || c == '\t' || c == '/' || c == '<') return QOR_PARSE_INVALID_FORMAT;
        }
        const int32_t nameLen = j - nameStart;
        if (j >= n - 1 || nameLen == 0) return QOR_PARSE_INVALID_FORMAT;
        const char* name = d + nameStart;

        if (noDup) {
            for (int32_t k = 0; k < r.Count; ++k) {
                const TQORTagItemRec& it = r.Items[k];
                if (it.NameLen == nameLen && std::memcmp(it.NamePtr, name, size_t(nameLen)) == 0) {
                    r.DupIndex = k;
                    return QOR_PARSE_DUPLICATE;
                }
            }
        }

        // The value ends only at its own closing tag; any other "<" (including
        // complete elements of other names) is a value byte.
        const int32_t valueStart = j + 1;
        int32_t k = valueStart;
        for (;; ++k) {
            if (k >= n) return QOR_PARSE_INVALID_FORMAT;
            const uint8_t c = uint8_t(d[k]);
            if (c == '<') {
                if (n - k - 1 < nameLen + 2) return QOR_PARSE_INVALID_FORMAT;
                if (d[k + 1] == '/' && d[k + 2 + nameLen] == '>' &&
                    std::memcmp(d + k + 2, name, size_t(nameLen)) == 0)
                    break;
            } else if (IsControl(c)) {
                if (ctrlError) return QOR_PARSE_INVALID_CHARACTERS;
                if (ctrlBlank) d[k] = ' ';
            }
        }

        if (r.Count < capacity) {
            TQORTagItemRec& it = r.Items[r.Count];
            it.NamePtr = name;
            it.NameLen = nameLen;
            it.ValuePtr = d + valueStart;
            it.ValueLen = k - valueStart;
            ++r.Count;
        }
        i = k + nameLen + 3;
    }
}

const TQORTagItemRec* FindTag(const TQORTagParseRec& r, const char* name, int32_t len) {
    if (len < 0 || r.Items == nullptr) return nullptr;
    for (int32_t k = 0; k < r.Count; ++k) {
        const TQORTagItemRec& it = r.Items[k];
        if (it.NameLen == len && std::memcmp(it.NamePtr, name, size_t(len)) == 0) return &it;
    }
    return nullptr;
}

const TQORTagItemRec* FindTag(const TQORTagParseRec& r, std::string_view name) {
    return FindTag(r, name.data(), int32_t(name.size()));
}

std::u16string_view TagParseErrorText(int code) {
    switch (code) {
        case 0:
            return u"No any tags";
        case QOR_PARSE_INVALID_FORMAT:
            return u"Invalid format";
        case QOR_PARSE_INVALID_CHARACTERS:
            return u"Invalid characters";
        case QOR_PARSE_DUPLICATE:
            return u"Duplicate tags";
        case QOR_PARSE_TOO_MANY:
            return u"Too many tags";
        default:
            return u"Parse unknown error";
    }
}

// ---- typed fields ----

int ParseTypedFields(TQORTypedFieldParseRec& r) {
    for (auto& s : r.Slots) s = nullptr;
    r.Count = 0;
    r.Mask = 0;
    if (r.DataLen < 0 || (r.DataLen > 0 && r.Data == nullptr)) return QOR_PARSE_INVALID_FORMAT;
    const int32_t maxItems = r.Items ? r.MaxItems : 0;
    const char* p = r.Data;
    int32_t remaining = r.DataLen;
    while (remaining > 0) {
        if (r.Count >= maxItems) return QOR_PARSE_TOO_MANY;
        const char type = *p;
        const char* q = p + 1;
        int32_t left = remaining - 1;
        int32_t len;
        if (!ReadHexLen(q, left, len)) return QOR_PARSE_INVALID_FORMAT;
        TQORTypedFieldRec& it = r.Items[r.Count];
        it.Ch = type;
        it.Ptr = q;
        it.Len = len;
        const int slot = QORTypedFieldSlot(type);
        if (slot >= 0) {
            if (r.Slots[slot] != nullptr) return QOR_PARSE_DUPLICATE;
            r.Slots[slot] = &it;
            r.Mask |= kTypedFieldBits[slot];
        }
        ++r.Count;
        p = q + len;
        remaining = left - len;
    }
    return r.Count;
}

// A negative length stays as it is: the span was never a value.
int32_t TrimTagValue(TQORTagItemRec& item) {
    if (item.ValueLen <= 0) return 0;
    const char* p = item.ValuePtr;
    TrimBlanksRange(p, item.ValueLen);
    item.ValuePtr += p - item.ValuePtr;
    return item.ValueLen;
}

int32_t TrimTypedFieldValue(TQORTypedFieldRec& field) {
    if (field.Len <= 0) return 0;
    return TrimBlanksRange(field.Ptr, field.Len);
}

}  // namespace gax
