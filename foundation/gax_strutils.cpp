#include "foundation/gax_strutils.h"

#include <cstring>
#include <limits>
#include <utility>

#include "platform/plat_ipv6.h"

namespace gax {

namespace {

inline unsigned UnitValue(char c) {
    return static_cast<unsigned char>(c);
}
inline unsigned UnitValue(char16_t c) {
    return c;
}

inline bool IsBlankUnit(unsigned u) {
    return u <= 32;
}

template <class C>
inline C UpperAscii(C c) {
    return c >= C('a') && c <= C('z') ? static_cast<C>(c - 32) : c;
}

template <class C>
std::basic_string_view<C> CutAtNul(std::basic_string_view<C> s) {
    size_t z = s.find(C(0));
    return z == std::basic_string_view<C>::npos ? s : s.substr(0, z);
}

// Accumulates towards the negative side so that the minimum of the type is
// reachable without overflowing on the way.
template <class T, class C>
bool ParseDecimal(const C* p, size_t n, T& value) {
    size_t i = 0;
    while (i < n && IsBlankUnit(UnitValue(p[i]))) ++i;
    if (i == n) return false;
    bool neg = false;
    if (p[i] == C('+') || p[i] == C('-')) {
        neg = p[i] == C('-');
        ++i;
    }
    if (i == n) return false;
    const T limit = neg ? std::numeric_limits<T>::min() : -std::numeric_limits<T>::max();
    T acc = 0;
    for (; i < n; ++i) {
        unsigned u = UnitValue(p[i]);
        if (u < '0' || u > '9') return false;
        T d = static_cast<T>(u - '0');
        if (acc < limit / 10) return false;
        acc *= 10;
        if (acc < limit + d) return false;
        acc -= d;
    }
    value = neg ? acc : -acc;
    return true;
}

template <class C>
C* WriteIntTail(C* buf, int32_t value, int& len) {
    uint32_t mag = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    int digits = 1;
    for (uint32_t m = mag; m >= 10; m /= 10) ++digits;
    int need = digits + (value < 0 ? 1 : 0) + 1;
    if (buf == nullptr || len < need) RaiseBufferTooSmall();
    C* p = buf + len - 1;
    *p = C(0);
    do {
        *--p = static_cast<C>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (value < 0) *--p = C('-');
    len = need - 1;
    return p;
}

template <class C>
bool SepField(std::basic_string_view<C> s, C sep, int index, std::basic_string<C>& field) {
    field.clear();
    if (s.empty() || index <= 0) return false;
    size_t start = 0;
    for (int k = 1; k < index; ++k) {
        size_t z = s.find(sep, start);
        if (z == std::basic_string_view<C>::npos) return false;
        start = z + 1;
    }
    size_t z = s.find(sep, start);
    field.assign(s.substr(start, z == std::basic_string_view<C>::npos ? s.npos : z - start));
    return true;
}

constexpr char16_t kReplacementChar = 0xFFFD;

// Well-formed UTF-8 only; appends to out when given. Returns false at the first
// ill-formed sequence.
bool DecodeUtf8Strict(const unsigned char* p, size_t n, std::u16string* out) {
    size_t i = 0;
    while (i < n) {
        unsigned b = p[i];
        if (b < 0x80) {
            if (out) out->push_back(static_cast<char16_t>(b));
            ++i;
            continue;
        }
        size_t need;
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i - 1 < need) return false;
        for (size_t k = 1; k <= need; ++k) {
            unsigned c = p[i + k];
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
        if (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
        if (out) {
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                out->push_back(static_cast<char16_t>(cp));
            }
        }
        i += need + 1;
    }
    return true;
}

template <class C>
std::basic_string_view<C> TrimLeftRight(std::basic_string_view<C> s, bool (*isTrim)(unsigned),
                                        bool right) {
    size_t b = 0, e = s.size();
    while (b < e && isTrim(UnitValue(s[b]))) ++b;
    if (right)
        while (e > b && isTrim(UnitValue(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool IsSpaceUnit(unsigned u) {
    return u <= 0x20 || u == 0x85 || u == 0xA0 || u == 0x3000;
}

inline bool NeedsEscape(unsigned u) {
    return u < 32 || u == '\\';
}

}  // namespace

// ---- Widening, narrowing, ASCII case ---------------------------------------

std::string UnicodeToByteStr(std::u16string_view s) {
    std::string r(s.size(), '\0');
    if (!s.empty()) UnicodeToByteBuf(r.data(), s.data(), static_cast<int>(s.size()));
    return r;
}

char* UnicodeToByteBuf(char* dst, const char16_t* src, int count) {
    for (int i = 0; i < count; ++i) *dst++ = static_cast<char>(src[i] & 0xFF);
    return dst;
}

std::u16string ByteStrToUnicode(std::string_view s) {
    std::u16string r(s.size(), u'\0');
    if (!s.empty()) ByteBufToWideBuf(r.data(), s.data(), static_cast<int>(s.size()));
    return r;
}

std::u16string ByteBufToUnicode(const char* p, int len) {
    if (len <= 0) return {};
    return ByteStrToUnicode(std::string_view(p, static_cast<size_t>(len)));
}

char16_t* ByteBufToWideBuf(char16_t* dst, const char* src, int count) {
    for (int i = 0; i < count; ++i) *dst++ = static_cast<char16_t>(UnitValue(src[i]));
    return dst;
}

std::u16string AsciiUpperCaseW(std::u16string_view s) {
    std::u16string r(s);
    for (auto& c : r) c = UpperAscii(c);
    return r;
}

bool SameTextAsciiW(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

std::string AsciiUpperCaseA(std::string_view s) {
    std::string r(s);
    for (auto& c : r) c = UpperAscii(c);
    return r;
}

std::u16string AsciiLowerCaseW(std::u16string_view s) {
    std::u16string r(s);
    for (auto& c : r)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return r;
}

bool IsNarrowCharText(std::u16string_view s) {
    for (char16_t c : s)
        if (c >= 0x402) return false;
    return true;
}

// ---- Raw buffers -----------------------------------------------------------

bool MemEqual(const void* a, const void* b, int len) {
    return len <= 0 || std::memcmp(a, b, static_cast<size_t>(len)) == 0;
}

char* MoveBytesEnd(void* dst, const void* src, int len) {
    if (len <= 0) return static_cast<char*>(dst);
    std::memmove(dst, src, static_cast<size_t>(len));
    return static_cast<char*>(dst) + len;
}

int CompareBytes(const void* a, int lenA, const void* b, int lenB) {
    if (lenA < 0) lenA = 0;
    if (lenB < 0) lenB = 0;
    if (a == b && lenA == lenB) return 0;
    int common = lenA < lenB ? lenA : lenB;
    if (common > 0) {
        int c = std::memcmp(a, b, static_cast<size_t>(common));
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return lenA == lenB ? 0 : (lenA < lenB ? -1 : 1);
}

const char* FindByteInBuf(char b, const char* buf, int len) {
    if (len <= 0) return nullptr;
    return static_cast<const char*>(std::memchr(buf, static_cast<unsigned char>(b), len));
}

const char* FindLFInBuf(const char* buf, int len) {
    return FindByteInBuf('\n', buf, len);
}

const char16_t* FindWCharInBuf(const char16_t* p, char16_t c, int count) {
    for (int i = 0; i < count; ++i)
        if (p[i] == c) return p + i;
    return nullptr;
}

const char16_t* FindWCharInPChar(const char16_t* p, char16_t c) {
    if (p == nullptr || c == 0) return nullptr;
    for (; *p != 0; ++p)
        if (*p == c) return p;
    return nullptr;
}

int CountWCharInBuf(const char16_t* p, int count, char16_t c) {
    int n = 0;
    for (int i = 0; i < count; ++i) n += p[i] == c;
    return n;
}

char16_t* ReverseWideBuf(char16_t* dst, const char16_t* src, int count) {
    if (count <= 0) return dst;
    if (dst == src) {
        for (int i = 0, j = count - 1; i < j; ++i, --j) std::swap(dst[i], dst[j]);
    } else {
        std::u16string tmp(src, static_cast<size_t>(count));  // src may overlap dst partly
        for (int i = 0; i < count; ++i) dst[i] = tmp[static_cast<size_t>(count - 1 - i)];
    }
    return dst;
}

// ---- Decimal writers -------------------------------------------------------

char* IntToDecTailA(char* buf, int32_t value, int& len) {
    return WriteIntTail(buf, value, len);
}

char16_t* IntToDecTailW(char16_t* buf, int32_t value, int& len) {
    return WriteIntTail(buf, value, len);
}

// The shared writer checks the room of every call, so this form is the plain one.
char* IntToDecTailCheckedA(char* buf, int32_t value, int& len) {
    return WriteIntTail(buf, value, len);
}

char* Int64AbsToDecTailA(char* buf, int& len, int64_t value) {
    if (len <= 0) {
        len = 0;
        return buf;
    }
    uint64_t mag = value < 0 ? 0ull - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    int digits = 1;
    for (uint64_t m = mag; m >= 10; m /= 10) ++digits;
    int room = len;
    int n = digits <= room ? digits : room;
    char* p = buf + room;
    for (int i = 0; i < n; ++i) {
        *--p = static_cast<char>('0' + mag % 10);
        mag /= 10;
    }
    if (digits <= room) len = digits;
    return p;
}

char16_t* IntToDecFixedW(char16_t* dst, int64_t value, int count) {
    if (count <= 0) return dst;
    uint64_t mag = value < 0 ? 0ull - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    for (int i = count - 1; i >= 0; --i) {
        dst[i] = static_cast<char16_t>(u'0' + mag % 10);
        mag /= 10;
    }
    return dst + count;
}

std::u16string IntToDecStrW(int64_t value) {
    char buf[24];
    int len = sizeof buf;
    const char* p = Int64AbsToDecTailA(buf, len, value);
    std::u16string r;
    if (value < 0) r += u'-';
    for (; p < buf + sizeof buf; ++p) r += static_cast<char16_t>(*p);
    return r;
}

// ---- Decimal parsers -------------------------------------------------------

bool TryParseIntA(std::string_view s, int32_t& value) {
    s = CutAtNul(s);
    return ParseDecimal(s.data(), s.size(), value);
}

bool TryParseIntW(std::u16string_view s, int32_t& value) {
    s = CutAtNul(s);
    return ParseDecimal(s.data(), s.size(), value);
}

bool TryParseIntA(const char* s, int32_t& value) {
    return s != nullptr && TryParseIntA(std::string_view(s), value);
}

bool TryParseIntW(const char16_t* s, int32_t& value) {
    return s != nullptr && TryParseIntW(std::u16string_view(s), value);
}

bool TryParseIntBufA(const char* p, int len, int32_t& value) {
    if (len <= 0) return false;
    return ParseDecimal(p, static_cast<size_t>(len), value);
}

bool TryParseInt64W(std::u16string_view s, int64_t& value) {
    s = CutAtNul(s);
    return ParseDecimal(s.data(), s.size(), value);
}

bool TryParseInt64BufA(const char* p, int len, int64_t& value) {
    if (len <= 0) return false;
    return ParseDecimal(p, static_cast<size_t>(len), value);
}

bool TryParseBoolW(std::u16string_view s, bool& value) {
    int64_t n;
    if (TryParseInt64W(s, n)) {
        value = n != 0;
        return true;
    }
    for (const char16_t* t : {u"TRUE", u"YES", u"ON", u"T", u"Y"})
        if (SameTextAsciiW(s, t)) {
            value = true;
            return true;
        }
    for (const char16_t* f : {u"FALSE", u"NO", u"OFF", u"F", u"N"})
        if (SameTextAsciiW(s, f)) {
            value = false;
            return true;
        }
    return false;
}

// ---- Trims and spaces ------------------------------------------------------

bool IsSpaceCharW(char16_t c) {
    return IsSpaceUnit(c);
}

std::u16string TrimSpaceW(std::u16string_view s) {
    return std::u16string(TrimLeftRight(s, IsSpaceUnit, true));
}

std::string TrimBlanksA(std::string_view s) {
    return std::string(TrimBlanksViewA(s));
}

std::string_view TrimBlanksViewA(std::string_view s) {
    return TrimLeftRight(s, IsBlankUnit, true);
}

std::u16string_view TrimBlanksViewW(std::u16string_view s) {
    return TrimLeftRight(s, IsBlankUnit, true);
}

std::string_view TrimBlanksLeftViewA(std::string_view s) {
    return TrimLeftRight(s, IsBlankUnit, false);
}

std::u16string TrimBlanksLeftW(std::u16string_view s) {
    return std::u16string(TrimLeftRight(s, IsBlankUnit, false));
}

int TrimBlanksRangeLeft(const char*& p, int& len) {
    if (len <= 0) return len = 0;
    while (len > 0 && IsBlankUnit(UnitValue(*p))) {
        ++p;
        --len;
    }
    return len;
}

int TrimBlanksRangeRight(const char* p, int& len) {
    if (len <= 0) return len = 0;
    while (len > 0 && IsBlankUnit(UnitValue(p[len - 1]))) --len;
    return len;
}

int TrimBlanksRange(const char*& p, int& len) {
    TrimBlanksRangeLeft(p, len);
    return TrimBlanksRangeRight(p, len);
}

// ---- Search and replace ----------------------------------------------------

int FindCharPosW(char16_t c, std::u16string_view s) {
    size_t z = s.find(c);
    return z == s.npos ? 0 : static_cast<int>(z) + 1;
}

int FindSubstrPosW(std::u16string_view pattern, std::u16string_view s) {
    if (pattern.empty() || s.empty()) return 0;
    size_t z = s.find(pattern);
    return z == s.npos ? 0 : static_cast<int>(z) + 1;
}

std::u16string ReplaceSubstrW(std::u16string_view s, std::u16string_view oldPart,
                              std::u16string_view newPart, int flags) {
    if (s.empty()) return {};
    if (oldPart.empty()) return std::u16string(s);
    std::u16string r;
    std::u16string_view rest = s;
    for (;;) {
        int pos = FindSubstrPosW(oldPart, rest);
        if (pos == 0) break;
        r.append(rest.substr(0, static_cast<size_t>(pos - 1)));
        r.append(newPart);
        rest.remove_prefix(static_cast<size_t>(pos - 1) + oldPart.size());
        if ((flags & rsf_ReplaceAll) == 0) break;
    }
    r.append(rest);
    return r;
}

// ---- UTF-8 -----------------------------------------------------------------

bool IsValidUtf8Str(std::string_view s) {
    return DecodeUtf8Strict(reinterpret_cast<const unsigned char*>(s.data()), s.size(), nullptr);
}

std::u16string Utf8StrToUnicode(std::string_view s) {
    std::u16string r;
    r.reserve(s.size());
    if (!DecodeUtf8Strict(reinterpret_cast<const unsigned char*>(s.data()), s.size(), &r))
        return {};
    return r;
}

std::u16string Utf8BufToUnicodeLenient(const char* p, int len) {
    std::u16string r;
    if (len <= 0) return r;
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    const size_t n = static_cast<size_t>(len);
    r.reserve(n);
    size_t i = 0;
    while (i < n) {
        unsigned lead = b[i];
        if (lead < 0x80) {
            r.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        }
        size_t need = 0;
        uint32_t cp = 0;
        if ((lead & 0xE0) == 0xC0) {
            need = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            need = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            need = 3;
            cp = lead & 0x07;
        }
        if (need == 0) {
            r.push_back(kReplacementChar);
            ++i;
            continue;
        }
        size_t k = 1;
        while (k <= need && i + k < n && (b[i + k] & 0xC0) == 0x80) {
            cp = (cp << 6) | (b[i + k] & 0x3F);
            ++k;
        }
        r.push_back(k <= need ? kReplacementChar : static_cast<char16_t>(cp & 0xFFFF));
        i += k;
    }
    return r;
}

std::u16string Utf8StrToUnicodeLenient(std::string_view s) {
    return Utf8BufToUnicodeLenient(s.data(), static_cast<int>(s.size()));
}

int64_t UnicodeUtf8ByteLen(std::u16string_view s) {
    int64_t n = 0;
    for (char16_t c : s) n += c < 0x80 ? 1 : (c < 0x800 ? 2 : 3);
    return n;
}

int Utf8CharCount(const char* p, int len) {
    int n = 0;
    for (int i = 0; i < len; ++i) n += (UnitValue(p[i]) & 0xC0) != 0x80;
    return n;
}

int Utf8PrefixByteLen(const char* p, int len, int count) {
    if (count <= 0 || len <= 0) return 0;
    int leads = 0;
    for (int i = 0; i < len; ++i) {
        if ((UnitValue(p[i]) & 0xC0) != 0x80 && ++leads > count) return i;
    }
    return len;
}

// ---- Control bytes and escapes ---------------------------------------------

bool HasControlBytes(const char* p, int len) {
    for (int i = 0; i < len; ++i) {
        unsigned u = UnitValue(p[i]);
        if (u < 32 && u != 9) return true;
    }
    return false;
}

int64_t EscapedCtrlBytesLen(const char* p, int len) {
    int64_t n = len > 0 ? len : 0;
    for (int i = 0; i < len; ++i) n += NeedsEscape(UnitValue(p[i])) ? 3 : 0;
    return n;
}

char16_t* EscapeCtrlBytesTo(char16_t* dst, const char* p, int len) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (int i = 0; i < len; ++i) {
        unsigned u = UnitValue(p[i]);
        if (NeedsEscape(u)) {
            *dst++ = u'\\';
            *dst++ = u'x';
            *dst++ = kHex[u >> 4];
            *dst++ = kHex[u & 15];
        } else {
            *dst++ = static_cast<char16_t>(u);
        }
    }
    return dst;
}

std::u16string EscapeCtrlBytesBuf(const char* p, int len) {
    if (len <= 0) return {};
    std::u16string r(static_cast<size_t>(EscapedCtrlBytesLen(p, len)), u'\0');
    EscapeCtrlBytesTo(r.data(), p, len);
    return r;
}

std::u16string EscapeCtrlBytesStr(std::string_view s) {
    return EscapeCtrlBytesBuf(s.data(), static_cast<int>(s.size()));
}

// ---- Fields and words ------------------------------------------------------

bool GetSepFieldA(std::string_view s, char sep, int index, std::string& field) {
    return SepField(s, sep, index, field);
}

bool GetSepFieldW(std::u16string_view s, char16_t sep, int index, std::u16string& field) {
    return SepField(s, sep, index, field);
}

int CountSepFieldsW(std::u16string_view s, char16_t sep) {
    if (s.empty()) return 0;
    int n = 1;
    for (char16_t c : s) n += c == sep;
    return n;
}

std::string CopyFromPosA(std::string_view s, int pos) {
    if (pos <= 0) return std::string(s);
    if (static_cast<size_t>(pos) > s.size()) return {};
    return std::string(s.substr(static_cast<size_t>(pos - 1)));
}

std::u16string CopyFromPosW(std::u16string_view s, int pos) {
    if (pos <= 0) return std::u16string(s);
    if (static_cast<size_t>(pos) > s.size()) return {};
    return std::u16string(s.substr(static_cast<size_t>(pos - 1)));
}

std::u16string ReverseStrW(std::u16string_view s) {
    return std::u16string(s.rbegin(), s.rend());
}

bool IsWhiteSpaceW(char16_t c) {
    return c == u'\r' || c == u'\n' || c == u'\t' || c == u'\f' || c == u' ';
}

const char16_t* SkipWhiteSpaceW(const char16_t* p, int count) {
    const char16_t* e = count > 0 ? p + count : p;
    while (p < e && IsWhiteSpaceW(*p)) ++p;
    return p;
}

const char16_t* SkipToWhiteSpaceW(const char16_t* p, int count) {
    const char16_t* e = count > 0 ? p + count : p;
    while (p < e && !IsWhiteSpaceW(*p)) ++p;
    return p;
}

bool CharInSetW(char16_t c, std::u16string_view set) {
    return set.find(c) != set.npos;
}

void SplitStringPieceW(TSplitStringInfoW& info) {
    info.ResPtr = info.SrcPtr;
    info.ResLen = 0;
    // A window of no units could never advance; there is no piece to give.
    if (info.SrcPtr == nullptr || info.SrcLen <= 0 || info.MaxLen <= 0 || info.Index <= 0) return;
    const char16_t* src = info.SrcPtr;
    const int len = info.SrcLen;
    auto dropped = [&](char16_t c) { return CharInSetW(c, info.DeletedTerminators); };
    auto kept = [&](char16_t c) { return CharInSetW(c, info.UndeletedTerminators); };
    int pos = 0;
    for (int piece = 1;; ++piece) {
        while (pos < len && dropped(src[pos])) ++pos;
        if (pos >= len) return;
        const int rest = len - pos;
        const int window = rest < info.MaxLen ? rest : info.MaxLen;
        int end = pos + window;
        if (!(rest > window && dropped(src[pos + window]))) {
            for (int i = pos + window - 1; i >= pos; --i) {
                if (kept(src[i])) {
                    end = i + 1;
                    break;
                }
                if (dropped(src[i])) {
                    // src[pos] is never dropped, so the run stops short of it.
                    while (i > pos && dropped(src[i - 1])) --i;
                    end = i;
                    break;
                }
            }
        }
        int pieceEnd = end;
        while (pieceEnd > pos && dropped(src[pieceEnd - 1])) --pieceEnd;
        if (piece == info.Index) {
            info.ResPtr = src + pos;
            info.ResLen = pieceEnd - pos;
            return;
        }
        pos = end;
    }
}

std::u16string GetSplitPieceW(std::u16string_view s, std::u16string_view keptTerminators,
                              std::u16string_view droppedTerminators, int maxLen, int index) {
    TSplitStringInfoW info;
    info.SrcPtr = s.data();
    info.SrcLen = static_cast<int>(s.size());
    info.UndeletedTerminators = keptTerminators;
    info.DeletedTerminators = droppedTerminators;
    info.MaxLen = maxLen;
    info.Index = index;
    SplitStringPieceW(info);
    return std::u16string(info.ResPtr ? info.ResPtr : u"", static_cast<size_t>(info.ResLen));
}

// ---- Other -----------------------------------------------------------------

bool SystemSupportsIP6() {
    return plat::CanCreateIp6TcpSocket();
}

}  // namespace gax
