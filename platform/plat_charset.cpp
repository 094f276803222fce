#include "platform/plat_charset.h"

#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <map>
#include <vector>

#include "platform/plat_mutex.h"

namespace plat {

namespace {

// Windows code page numbers are kept because they are the numbers operators
// and the client programs know these sets by.
constexpr CharsetInfo kTable[] = {
    {65001, "UTF-8", "Unicode (UTF-8)", "UTF-8"},
    {1250, "WINDOWS-1250", "Central European (Windows)", "CP1250"},
    {1251, "WINDOWS-1251", "Cyrillic (Windows)", "CP1251"},
    {1252, "WINDOWS-1252", "Western European (Windows)", "CP1252"},
    {1253, "WINDOWS-1253", "Greek (Windows)", "CP1253"},
    {1254, "WINDOWS-1254", "Turkish (Windows)", "CP1254"},
    {1255, "WINDOWS-1255", "Hebrew (Windows)", "CP1255"},
    {1256, "WINDOWS-1256", "Arabic (Windows)", "CP1256"},
    {1257, "WINDOWS-1257", "Baltic (Windows)", "CP1257"},
    {1258, "WINDOWS-1258", "Vietnamese (Windows)", "CP1258"},
    {874, "WINDOWS-874", "Thai (Windows)", "CP874"},
    {20866, "KOI8-R", "Cyrillic (KOI8-R)", "KOI8-R"},
    {21866, "KOI8-U", "Cyrillic (KOI8-U)", "KOI8-U"},
    {28591, "ISO-8859-1", "Western European (ISO)", "ISO-8859-1"},
    {28592, "ISO-8859-2", "Central European (ISO)", "ISO-8859-2"},
    {28593, "ISO-8859-3", "Latin 3 (ISO)", "ISO-8859-3"},
    {28594, "ISO-8859-4", "Baltic (ISO)", "ISO-8859-4"},
    {28595, "ISO-8859-5", "Cyrillic (ISO)", "ISO-8859-5"},
    {28596, "ISO-8859-6", "Arabic (ISO)", "ISO-8859-6"},
    {28597, "ISO-8859-7", "Greek (ISO)", "ISO-8859-7"},
    {28598, "ISO-8859-8", "Hebrew (ISO-Visual)", "ISO-8859-8"},
    {28599, "ISO-8859-9", "Turkish (ISO)", "ISO-8859-9"},
    {28600, "ISO-8859-10", "Nordic (ISO)", "ISO-8859-10"},
    {28601, "ISO-8859-11", "Thai (ISO)", "ISO-8859-11"},
    {28603, "ISO-8859-13", "Estonian (ISO)", "ISO-8859-13"},
    {28604, "ISO-8859-14", "Celtic (ISO)", "ISO-8859-14"},
    {28605, "ISO-8859-15", "Latin 9 (ISO)", "ISO-8859-15"},
    {28606, "ISO-8859-16", "South-Eastern European (ISO)", "ISO-8859-16"},
    {20127, "US-ASCII", "US-ASCII", "ANSI_X3.4-1968"},
    {866, "IBM866", "Cyrillic (DOS)", "CP866"},
    {866, "CP866", "Cyrillic (DOS)", "CP866"},
    {437, "IBM437", "OEM United States", "IBM437"},
    {737, "IBM737", "Greek (DOS)", "CP737"},
    {775, "IBM775", "Baltic (DOS)", "IBM775"},
    {850, "IBM850", "Western European (DOS)", "IBM850"},
    {852, "IBM852", "Central European (DOS)", "IBM852"},
    {855, "IBM855", "OEM Cyrillic", "IBM855"},
    {857, "IBM857", "Turkish (DOS)", "IBM857"},
    {858, "IBM00858", "OEM Multilingual Latin I", "IBM858"},
    {860, "IBM860", "Portuguese (DOS)", "IBM860"},
    {861, "IBM861", "Icelandic (DOS)", "IBM861"},
    {862, "IBM862", "Hebrew (DOS)", "IBM862"},
    {863, "IBM863", "French Canadian (DOS)", "IBM863"},
    {864, "IBM864", "Arabic (864)", "IBM864"},
    {865, "IBM865", "Nordic (DOS)", "IBM865"},
    {869, "IBM869", "Greek, Modern (DOS)", "IBM869"},
    {932, "SHIFT_JIS", "Japanese (Shift-JIS)", "CP932"},
    {936, "GB2312", "Chinese Simplified (GB2312)", "CP936"},
    {949, "KS_C_5601-1987", "Korean", "CP949"},
    {950, "BIG5", "Chinese Traditional (Big5)", "CP950"},
    {51932, "EUC-JP", "Japanese (EUC)", "EUC-JP"},
    {51949, "EUC-KR", "Korean (EUC)", "EUC-KR"},
    {54936, "GB18030", "Chinese Simplified (GB18030)", "GB18030"},
};

const iconv_t kBadCd = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));

// Descriptors are kept for reuse instead of being closed: opening one loads
// and closing the last one unloads the converter module, which is slow and
// runs the loader's own locks. All opens and closes are made under our lock,
// so they are ordered; a descriptor is used by one conversion at a time.
class DescriptorPool {
  public:
    ~DescriptorPool() {
        MutexLock lock(f_Lock);
        for (auto& [key, cds] : f_Free)
            for (iconv_t cd : cds) iconv_close(cd);
    }

    iconv_t Acquire(const char* to, const char* from) {
        MutexLock lock(f_Lock);
        auto& cds = f_Free[Key(to, from)];
        if (!cds.empty()) {
            iconv_t cd = cds.back();
            cds.pop_back();
            return cd;
        }
        return iconv_open(to, from);
    }

    void Release(const char* to, const char* from, iconv_t cd) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        MutexLock lock(f_Lock);
        f_Free[Key(to, from)].push_back(cd);
    }

  private:
    static std::string Key(const char* to, const char* from) {
        return std::string(to) + '\n' + from;
    }

    Mutex f_Lock;
    std::map<std::string, std::vector<iconv_t>> f_Free GAX_GUARDED_BY(f_Lock);
};

DescriptorPool& Pool() {
    static DescriptorPool pool;
    return pool;
}

// Holds one iconv descriptor for the length of one conversion.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : to_(to), from_(from), cd_(Pool().Acquire(to, from)) {}
    ~Iconv() {
        if (cd_ != kBadCd) Pool().Release(to_, from_, cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != kBadCd; }
    iconv_t get() const { return cd_; }

  private:
    const char* to_;
    const char* from_;
    iconv_t cd_;
};

bool IconvAvailable(const char* name) {
    Iconv a("UTF-16LE", name);
    Iconv b(name, "UTF-16LE");
    return a.ok() && b.ok();
}

// Upper case without '-', '_' and blanks, so "utf8", "UTF-8" and "utf_8" meet.
std::string Fold(std::string_view s) {
    std::string r;
    for (char c : s) {
        if (c == '-' || c == '_' || c == ' ') continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        r += c;
    }
    return r;
}

uint32_t CodePageOfCodeset(std::string_view codeset) {
    const std::string f = Fold(codeset);
    if (f.empty() || f == "ANSIX3.41968" || f == "ASCII" || f == "USASCII") return kCodePageUtf8;
    for (const CharsetInfo& e : kTable)
        if (Fold(e.name) == f || Fold(e.iconvName) == f) return e.codePage;
    return kCodePageUtf8;
}

// The '?' that stands for what cannot be converted, in each direction's output.
constexpr std::string_view kQuestionUtf16("?\0", 2);
constexpr std::string_view kQuestionByte("?");

// Room for `more` bytes beyond what was written.
void Grow(std::string& buf, char*& out, size_t& outLeft, size_t more) {
    const size_t used = buf.size() - outLeft;
    buf.resize(buf.size() + more);
    out = buf.data() + used;
    outLeft = buf.size() - used;
}

void Put(std::string& buf, char*& out, size_t& outLeft, std::string_view bytes) {
    if (outLeft < bytes.size()) Grow(buf, out, outLeft, 64);
    for (char c : bytes) *out++ = c;
    outLeft -= bytes.size();
}

// Writes out what a stateful converter still holds back.
void Finish(iconv_t cd, std::string& buf, char*& out, size_t& outLeft) {
    while (iconv(cd, nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1) && errno == E2BIG)
        Grow(buf, out, outLeft, 64);
}

}  // namespace

std::span<const CharsetInfo> KnownCharsets() {
    static const std::vector<CharsetInfo> available = [] {
        std::vector<CharsetInfo> v;
        for (const CharsetInfo& e : kTable)
            if (IconvAvailable(e.iconvName)) v.push_back(e);
        return v;
    }();
    return available;
}

std::string IconvNameForCodePage(uint32_t codePage) {
    for (const CharsetInfo& e : kTable)
        if (e.codePage == codePage) return e.iconvName;
    return "CP" + std::to_string(codePage);
}

uint32_t LocaleCodePage() {
    static const uint32_t cp = [] {
        // A private locale object: asking must not change the process's locale.
        locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr)) return kCodePageUtf8;
        const char* codeset = nl_langinfo_l(CODESET, loc);
        const uint32_t r = CodePageOfCodeset(codeset ? codeset : "");
        freelocale(loc);
        return r;
    }();
    return cp;
}

ByteTableResult IconvByteTable(const std::string& iconvName, std::array<int32_t, 256>& table) {
    Iconv cd("UTF-16LE", iconvName.c_str());
    if (!cd.ok()) return ByteTableResult::kUnavailable;
    for (int b = 0; b < 256; ++b) {
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(b);
        char* inp = &in;
        size_t inLeft = 1;
        char outBuf[16];
        char* out = outBuf;
        size_t outLeft = sizeof outBuf;
        if (iconv(cd.get(), &inp, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
            if (errno == EILSEQ) {
                table[b] = -1;
                continue;
            }
            return ByteTableResult::kMultiByte;
        }
        // Some decoders hold a character back to combine it with the next one.
        iconv(cd.get(), nullptr, nullptr, &out, &outLeft);
        if (out - outBuf != 2) return ByteTableResult::kMultiByte;
        const auto* u = reinterpret_cast<const unsigned char*>(outBuf);
        const int32_t unit = u[0] | (u[1] << 8);
        if (unit >= 0xD800 && unit <= 0xDFFF) return ByteTableResult::kMultiByte;
        table[b] = unit;
    }
    return ByteTableResult::kSingleByte;
}

bool IconvDecode(const std::string& iconvName, std::string_view bytes, std::u16string& out) {
    out.clear();
    Iconv cd("UTF-16LE", iconvName.c_str());
    if (!cd.ok()) return false;
    if (bytes.empty()) return true;
    std::string buf(bytes.size() * 2 + 16, '\0');
    char* inp = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* o = buf.data();
    size_t oLeft = buf.size();
    while (inLeft > 0) {
        if (iconv(cd.get(), &inp, &inLeft, &o, &oLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            Grow(buf, o, oLeft, buf.size());
        } else if (errno == EILSEQ) {
            Put(buf, o, oLeft, kQuestionUtf16);
            ++inp;
            --inLeft;
        } else {  // EINVAL: the input ends inside a sequence
            Put(buf, o, oLeft, kQuestionUtf16);
            break;
        }
    }
    Finish(cd.get(), buf, o, oLeft);
    const size_t n = (buf.size() - oLeft) / 2;
    out.resize(n);
    const auto* p = reinterpret_cast<const unsigned char*>(buf.data());
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return true;
}

bool IconvEncode(const std::string& iconvName, std::u16string_view text, std::string& out) {
    out.clear();
    Iconv cd(iconvName.c_str(), "UTF-16LE");
    if (!cd.ok()) return false;
    if (text.empty()) return true;
    std::string in(text.size() * 2, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        in[2 * i] = static_cast<char>(text[i] & 0xFF);
        in[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    std::string buf(text.size() * 2 + 16, '\0');
    char* inp = in.data();
    size_t inLeft = in.size();
    char* o = buf.data();
    size_t oLeft = buf.size();
    while (inLeft > 0) {
        if (iconv(cd.get(), &inp, &inLeft, &o, &oLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            Grow(buf, o, oLeft, buf.size());
        } else if (errno == EILSEQ) {
            // One '?' per character: a surrogate pair is one character.
            const size_t at = static_cast<size_t>(inp - in.data()) / 2;
            size_t skip = 1;
            if (text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size() &&
                text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF)
                skip = 2;
            Put(buf, o, oLeft, kQuestionByte);
            inp += 2 * skip;
            inLeft -= 2 * skip;
        } else {  // EINVAL: a high surrogate ends the text
            Put(buf, o, oLeft, kQuestionByte);
            break;
        }
    }
    Finish(cd.get(), buf, o, oLeft);
    buf.resize(buf.size() - oLeft);
    out = std::move(buf);
    return true;
}

}  // namespace plat
