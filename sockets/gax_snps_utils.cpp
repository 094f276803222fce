#include "sockets/gax_snps_utils.h"

#include <cstring>
#include <type_traits>

#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

template <class Ch>
std::basic_string_view<Ch> TrimBlank(std::basic_string_view<Ch> s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == Ch(' ')) ++b;
    while (e > b && s[e - 1] == Ch(' ')) --e;
    return s.substr(b, e - b);
}

template <class Ch>
bool IsByteTextT(std::basic_string_view<Ch> s) {
    if (s.empty()) return false;
    unsigned v = 0;
    for (Ch c : s) {
        if (c < Ch('0') || c > Ch('9')) return false;
        v = v * 10 + unsigned(c - Ch('0'));
        if (v > 255) return false;
    }
    return true;
}

template <class Ch>
bool IsIPv4TextT(std::basic_string_view<Ch> s) {
    for (int part = 0; part < 4; ++part) {
        std::basic_string_view<Ch> piece;
        if (part < 3) {
            size_t dot = s.find(Ch('.'));
            if (dot == s.npos) return false;
            piece = s.substr(0, dot);
            s.remove_prefix(dot + 1);
        } else {
            piece = s;
        }
        if (!IsByteTextT(TrimBlank(piece))) return false;
    }
    return true;
}

// Hexadecimal of at most FFFF; leading zeros do not count against it.
template <class Ch>
bool IsHexWord(std::basic_string_view<Ch> s, unsigned* out = nullptr) {
    if (s.empty()) return false;
    unsigned v = 0;
    for (Ch c : s) {
        int h = HexDigitValue(static_cast<std::make_unsigned_t<Ch>>(c));
        if (h < 0) return false;
        v = v * 16 + unsigned(h);
        if (v > 0xFFFF) return false;
    }
    if (out) *out = v;
    return true;
}

template <class Ch>
bool IsIPv6TextT(std::basic_string_view<Ch> s) {
    const Ch dbl[] = {Ch(':'), Ch(':')};
    if (s == std::basic_string_view<Ch>(dbl, 2)) return true;
    int index = 0, emptyAfterFirst = 0, nonEmpty = 0;
    bool lastEmpty = true;
    while (true) {
        size_t colon = s.find(Ch(':'));
        bool last = colon == s.npos;
        std::basic_string_view<Ch> part = TrimBlank(last ? s : s.substr(0, colon));
        if (part.empty()) {
            if (index > 0 && ++emptyAfterFirst > 1) return false;
        } else {
            if (last) {
                size_t pct = part.find(Ch('%'));
                if (pct != part.npos) {
                    if (!IsHexWord(part.substr(pct + 1))) return false;
                    part = part.substr(0, pct);
                }
            }
            if (!IsHexWord(part)) return false;
            if (++nonEmpty > 8) return false;
        }
        if (last) {
            lastEmpty = part.empty();
            break;
        }
        s.remove_prefix(colon + 1);
        ++index;
    }
    return !lastEmpty && index > 0;
}

template <class Ch>
std::string IPv4TextToBytesT(std::basic_string_view<Ch> s) {
    std::string out(4, '\0');
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? s.find(Ch('.')) : s.npos;
        std::basic_string_view<Ch> piece = TrimBlank(dot == s.npos ? s : s.substr(0, dot));
        unsigned v = 0;
        for (Ch c : piece) {
            if (c < Ch('0') || c > Ch('9')) break;
            v = (v * 10 + unsigned(c - Ch('0'))) & 0xFFFF;
        }
        out[part] = char(v & 0xFF);
        if (dot == s.npos) break;
        s.remove_prefix(dot + 1);
    }
    return out;
}

std::string Narrow(std::u16string_view s) {
    std::string r(s.size(), '\0');
    for (size_t i = 0; i < s.size(); ++i) r[i] = s[i] < 0x80 ? char(s[i]) : '\x7f';
    return r;
}

const uint8_t* Bytes(std::string_view s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// Writes the 8 groups; the longest run of zero groups of at least minRun (the first of
// equal runs) becomes "::".
std::u16string GroupsToText(std::string_view bin, int minRun) {
    uint16_t g[8];
    const uint8_t* b = Bytes(bin);
    for (int i = 0; i < 8; ++i) g[i] = uint16_t(b[2 * i] << 8 | b[2 * i + 1]);
    int bestStart = -1, bestLen = 0;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i >= minRun && j - i > bestLen) {
            bestStart = i;
            bestLen = j - i;
        }
        i = j;
    }
    std::u16string out;
    static const char16_t kHex[] = u"0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (bestStart >= 0 && i >= bestStart && i < bestStart + bestLen) {
            if (i == bestStart) out += u"::";
            continue;
        }
        char16_t buf[4];
        int n = 0;
        uint16_t v = g[i];
        do {
            buf[n++] = kHex[v & 0xF];
            v >>= 4;
        } while (v);
        while (n) out += buf[--n];
        if (i != 7 && i + 1 != bestStart) out += u':';
    }
    return out;
}

template <class Ch>
std::basic_string<Ch> ShortAnyT(std::basic_string_view<Ch> s) {
    static const Ch any0[] = {':', ':', '0'};
    static const Ch any0b[] = {'[', ':', ':', '0', ']'};
    if (s == std::basic_string_view<Ch>(any0, 3)) return std::basic_string<Ch>(any0, 2);
    if (s == std::basic_string_view<Ch>(any0b, 5)) {
        const Ch r[] = {'[', ':', ':', ']'};
        return std::basic_string<Ch>(r, 4);
    }
    return std::basic_string<Ch>(s);
}

template <class Ch>
std::basic_string<Ch> FormatHostPortT(std::basic_string_view<Ch> host,
                                      std::basic_string_view<Ch> port) {
    std::basic_string<Ch> r;
    if (host.find(Ch(':')) != host.npos) {
        if (host.find(Ch('[')) != host.npos) {
            r = ShortAnyT(host);
        } else {
            r += Ch('[');
            r += ShortAnyT(host);
            r += Ch(']');
        }
    } else {
        r = host;
    }
    r += Ch(':');
    r += port;
    return r;
}

}  // namespace

bool IsByteText(std::u16string_view text) {
    return IsByteTextT(text);
}
bool IsByteText(std::string_view text) {
    return IsByteTextT(text);
}
bool IsIPv4Text(std::u16string_view text) {
    return IsIPv4TextT(text);
}
bool IsIPv4Text(std::string_view text) {
    return IsIPv4TextT(text);
}
bool IsIPv6Text(std::u16string_view text) {
    return IsIPv6TextT(text);
}
bool IsIPv6Text(std::string_view text) {
    return IsIPv6TextT(text);
}

std::string IPv4TextToBytes(std::u16string_view text) {
    return IPv4TextToBytesT(text);
}
std::string IPv4TextToBytes(std::string_view text) {
    return IPv4TextToBytesT(text);
}

std::string ExpandIPv6Text(std::string_view text) {
    size_t colons = 0;
    for (char c : text)
        if (c == ':') ++colons;
    if (colons > 7) return {};
    std::string s(text);
    if (!s.empty() && s.front() == ':') s.insert(s.begin(), '0');
    if (!s.empty() && s.back() == ':') s.push_back('0');
    size_t dbl = s.find("::");
    if (dbl != s.npos) {
        std::string fill;
        for (size_t i = 0; i < 8 - colons; ++i) fill += ":0";
        fill += ':';
        s.replace(dbl, 2, fill);
    }
    return s;
}

std::string IPv6TextToBin(std::string_view text) {
    std::string out(16, '\0');
    // A zone names a local interface; it has no place in the 16 address bytes.
    size_t pct = text.find('%');
    if (pct != text.npos) text = text.substr(0, pct);
    std::string full = ExpandIPv6Text(text);
    std::string_view s = full;
    std::string bin(16, '\0');
    for (int i = 0; i < 8; ++i) {
        size_t colon = s.find(':');
        bool last = i == 7;
        if (last != (colon == s.npos)) return out;
        unsigned v = 0;
        if (!IsHexWord(TrimBlank(last ? s : s.substr(0, colon)), &v)) return out;
        bin[2 * i] = char(v >> 8);
        bin[2 * i + 1] = char(v & 0xFF);
        if (!last) s.remove_prefix(colon + 1);
    }
    return bin;
}

std::string IPv6TextToBin(std::u16string_view text) {
    return IPv6TextToBin(Narrow(text));
}

std::u16string IPv4BytesToText(std::string_view bytes) {
    std::u16string out;
    for (size_t i = 0; i < 4; ++i) {
        if (i) out += u'.';
        out += IntToDecStrW(i < bytes.size() ? uint8_t(bytes[i]) : 0);
    }
    return out;
}

std::u16string IPv6BinToText(std::string_view bin) {
    if (bin.size() != 16) return {};
    return GroupsToText(bin, 2);
}

std::u16string SocksIPv6Text(std::string_view bin) {
    if (bin.size() != 16) return {};
    if (bin.find_first_not_of('\0') == bin.npos) return u"::0";
    return GroupsToText(bin, 1);
}

std::u16string AddrBinToText(std::string_view bin) {
    if (bin.size() == 4) return IPv4BytesToText(bin);
    if (bin.size() == 16) return IPv6BinToText(bin);
    return {};
}

std::string SinToAddrBin(const plat::SockAddr& addr, bool keepMapped) {
    if (addr.Family() == plat::kAfInet)
        return std::string(reinterpret_cast<const char*>(&addr.sin.sin_addr), 4);
    if (addr.Family() == plat::kAfInet6) {
        std::string b(reinterpret_cast<const char*>(&addr.sin6.sin6_addr), 16);
        static const char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xff', '\xff'};
        if (!keepMapped && std::memcmp(b.data(), kMapped, 12) == 0) return b.substr(12);
        return b;
    }
    return {};
}

std::u16string ShortAnyAddress(std::u16string_view text) {
    return ShortAnyT(text);
}
std::string ShortAnyAddressA(std::string_view text) {
    return ShortAnyT(text);
}

std::u16string FormatHostPort(std::u16string_view host, std::u16string_view port) {
    return FormatHostPortT(host, port);
}
std::string FormatHostPortA(std::string_view host, std::string_view port) {
    return FormatHostPortT(host, port);
}

void AppendHostPort(TStringBldU& builder, std::u16string_view host, std::u16string_view port) {
    if (host.find(u':') != host.npos) {
        bool bracketed = host.find(u'[') != host.npos;
        if (!bracketed) AppendChar(builder, u'[');
        if (host == u"::0") {
            AppendStr(builder, u"::");
        } else if (host == u"[::0]") {
            AppendStr(builder, u"[::]");
        } else {
            AppendStr(builder, host);
        }
        if (!bracketed) AppendChar(builder, u']');
    } else {
        AppendStr(builder, host);
    }
    AppendChar(builder, u':');
    AppendStr(builder, port);
}

std::string WordToBytesBE(uint16_t value) {
    return std::string{char(value >> 8), char(value & 0xFF)};
}

uint16_t BytesBEToWord(std::string_view bytes, size_t index) {
    auto at = [&](size_t i) -> unsigned {
        return i >= 1 && i <= bytes.size() ? uint8_t(bytes[i - 1]) : 0;
    };
    return uint16_t(at(index) << 8 | at(index + 1));
}

std::string LongToBytesBE(uint32_t value) {
    return std::string{char(value >> 24), char((value >> 16) & 0xFF), char((value >> 8) & 0xFF),
                       char(value & 0xFF)};
}

uint32_t SwapLong(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

std::string TrimBlanks(std::string_view text) {
    return std::string(TrimBlank(text));
}

std::string TrimBlanksLeft(std::string_view text) {
    size_t b = text.find_first_not_of(' ');
    return b == text.npos ? std::string() : std::string(text.substr(b));
}

std::string TrimBlanksRight(std::string_view text) {
    size_t e = text.find_last_not_of(' ');
    return e == text.npos ? std::string() : std::string(text.substr(0, e + 1));
}

std::string TextBefore(std::string_view text, std::string_view delimiter) {
    size_t p = delimiter.empty() ? text.npos : text.find(delimiter);
    return std::string(p == text.npos ? text : text.substr(0, p));
}

std::string TextAfter(std::string_view text, std::string_view delimiter) {
    size_t p = delimiter.empty() ? text.npos : text.find(delimiter);
    return std::string(p == text.npos ? text : text.substr(p + delimiter.size()));
}

std::string FetchPart(std::string& text, std::string_view delimiter) {
    size_t p = delimiter.empty() ? text.npos : text.find(delimiter);
    std::string part;
    if (p == text.npos) {
        part.swap(text);
    } else {
        part = text.substr(0, p);
        text.erase(0, p + delimiter.size());
    }
    return part;
}

std::string FetchPartTrim(std::string& text, std::string_view delimiter) {
    std::string part = TrimBlanks(FetchPart(text, delimiter));
    text = TrimBlanks(text);
    return part;
}

std::string ReplaceAllA(std::string_view text, std::string_view oldPart, std::string_view newPart) {
    if (oldPart.empty()) return std::string(text);
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t p = text.find(oldPart, pos);
        if (p == text.npos) break;
        out.append(text.substr(pos, p - pos));
        out.append(newPart);
        pos = p + oldPart.size();
    }
    out.append(text.substr(pos));
    return out;
}

long FindLineEnd(std::string_view text, std::string& terminator) {
    size_t p = text.find_first_of("\r\n");
    if (p == text.npos) {
        terminator.clear();
        return -1;
    }
    char c = text[p];
    char other = c == '\r' ? '\n' : '\r';
    terminator.assign(1, c);
    if (p + 1 < text.size() && text[p + 1] == other) terminator += other;
    return static_cast<long>(p);
}

size_t CountCharW(std::u16string_view text, char16_t ch) {
    size_t n = 0;
    for (char16_t c : text)
        if (c == ch) ++n;
    return n;
}

}  // namespace gax
