#include "foundation/gax_punycode.h"

#include <cstdint>
#include <vector>

#include "foundation/gax_strutils.h"

namespace gax {

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr uint32_t kMaxInt = 0xFFFFFFFF;

uint32_t Adapt(uint32_t delta, uint32_t numPoints, bool firstTime) {
    delta = firstTime ? delta / kDamp : delta / 2;
    delta += delta / numPoints;
    uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

uint32_t Threshold(uint32_t k, uint32_t bias) {
    if (k <= bias) return kTMin;
    if (k >= bias + kTMax) return kTMax;
    return k - bias;
}

char EncodeDigit(uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

uint32_t DecodeDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0' + 26;
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= 'A' && c <= 'Z') return c - 'A';
    return kBase;
}

// Writes into the caller's room, or only counts when there is no output.
class Sink {
  public:
    Sink(char* out, size_t room) : out_(out), room_(room) {}
    bool Put(char c) {
        if (out_) {
            if (len_ >= room_) return false;
            out_[len_] = c;
        }
        ++len_;
        return true;
    }
    size_t Length() const { return len_; }

  private:
    char* out_;
    size_t room_;
    size_t len_ = 0;
};

}  // namespace

TPunycodeStatus PunycodeEncode(const char16_t* input, std::size_t count, std::size_t& outLen,
                               char* output) {
    std::vector<uint32_t> cps;
    cps.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = input[i];
        if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(input[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (input[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            return pc_BadInput;
        }
        cps.push_back(c);
    }
    if (cps.size() > kMaxInt - 1) return pc_Overflow;

    Sink out(output, outLen);
    for (uint32_t c : cps)
        if (c < 0x80 && !out.Put(static_cast<char>(c))) return pc_BigOutput;
    const uint32_t b = static_cast<uint32_t>(out.Length());
    uint32_t h = b;
    if (b > 0 && !out.Put(kDelimiter)) return pc_BigOutput;

    uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    const uint32_t total = static_cast<uint32_t>(cps.size());
    while (h < total) {
        uint32_t m = kMaxInt;
        for (uint32_t c : cps)
            if (c >= n && c < m) m = c;
        if (m - n > (kMaxInt - delta) / (h + 1)) return pc_Overflow;
        delta += (m - n) * (h + 1);
        n = m;
        for (uint32_t c : cps) {
            if (c < n && ++delta == 0) return pc_Overflow;
            if (c != n) continue;
            uint32_t q = delta;
            for (uint32_t k = kBase;; k += kBase) {
                const uint32_t t = Threshold(k, bias);
                if (q < t) break;
                if (!out.Put(EncodeDigit(t + (q - t) % (kBase - t)))) return pc_BigOutput;
                q = (q - t) / (kBase - t);
            }
            if (!out.Put(EncodeDigit(q))) return pc_BigOutput;
            bias = Adapt(delta, h + 1, h == b);
            delta = 0;
            ++h;
        }
        ++delta;
        ++n;
    }
    outLen = out.Length();
    return pc_Success;
}

TPunycodeStatus PunycodeDecode(const char* input, std::size_t count, std::size_t& outLen,
                               char16_t* output) {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    size_t b = 0;
    for (size_t j = 0; j < count; ++j)
        if (in[j] == kDelimiter) b = j;
    if (count > kMaxInt) return pc_Overflow;

    std::vector<uint32_t> cps;
    cps.reserve(count);
    for (size_t j = 0; j < b; ++j) {
        if (in[j] >= 0x80) return pc_BadInput;
        cps.push_back(in[j]);
    }

    uint32_t n = kInitialN, i = 0, bias = kInitialBias;
    for (size_t pos = b > 0 ? b + 1 : 0; pos < count;) {
        const uint32_t oldi = i;
        uint32_t w = 1;
        for (uint32_t k = kBase;; k += kBase) {
            if (pos >= count) return pc_BadInput;
            const uint32_t digit = DecodeDigit(in[pos++]);
            if (digit >= kBase) return pc_BadInput;
            if (digit > (kMaxInt - i) / w) return pc_Overflow;
            i += digit * w;
            const uint32_t t = Threshold(k, bias);
            if (digit < t) break;
            if (w > kMaxInt / (kBase - t)) return pc_Overflow;
            w *= kBase - t;
        }
        const uint32_t size = static_cast<uint32_t>(cps.size()) + 1;
        bias = Adapt(i - oldi, size, oldi == 0);
        if (i / size > kMaxInt - n) return pc_Overflow;
        n += i / size;
        i %= size;
        // UTF-16 cannot hold these; a label that decodes to them is not a name.
        if (n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) return pc_BadInput;
        cps.insert(cps.begin() + i, n);
        ++i;
    }

    size_t units = 0;
    for (uint32_t c : cps) units += c > 0xFFFF ? 2 : 1;
    if (output) {
        if (units > outLen) return pc_BigOutput;
        size_t o = 0;
        for (uint32_t c : cps) {
            if (c > 0xFFFF) {
                output[o++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                output[o++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                output[o++] = static_cast<char16_t>(c);
            }
        }
    }
    outLen = units;
    return pc_Success;
}

std::string IdnEncodeHostName(std::u16string_view name) {
    std::string out;
    size_t start = 0;
    while (true) {
        const size_t dot = name.find(u'.', start);
        const std::u16string_view label =
            name.substr(start, dot == std::u16string_view::npos ? dot : dot - start);
        bool basic = true;
        for (char16_t c : label)
            if (c >= 0x80) basic = false;
        if (basic) {
            out += UnicodeToByteStr(label);
        } else {
            size_t len = 0;
            if (PunycodeEncode(label.data(), label.size(), len, nullptr) != pc_Success) return {};
            std::string code(len, '\0');
            if (PunycodeEncode(label.data(), label.size(), len, code.data()) != pc_Success)
                return {};
            out += "xn--";
            out += code;
        }
        if (dot == std::u16string_view::npos) break;
        out += '.';
        start = dot + 1;
    }
    return out;
}

std::u16string IdnDecodeHostName(std::string_view name) {
    std::u16string out;
    size_t start = 0;
    while (true) {
        const size_t dot = name.find('.', start);
        const std::string_view label =
            name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        bool decoded = false;
        if (label.size() > 4 && label.substr(0, 4) == "xn--") {
            const std::string_view rest = label.substr(4);
            size_t len = 0;
            if (PunycodeDecode(rest.data(), rest.size(), len, nullptr) == pc_Success) {
                std::u16string text(len, u'\0');
                if (PunycodeDecode(rest.data(), rest.size(), len, text.data()) == pc_Success) {
                    out += text;
                    decoded = true;
                }
            }
        }
        if (!decoded) out += ByteStrToUnicode(label);
        if (dot == std::string_view::npos) break;
        out += u'.';
        start = dot + 1;
    }
    return out;
}

}  // namespace gax
