#include "foundation/gax_ansi_unicode_converter.h"

#include <array>
#include <cstring>
#include <map>

#include "foundation/gax_strutils.h"
#include "platform/plat_charset.h"
#include "platform/plat_mutex.h"

namespace gax {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string UnicodeToUtf8Str(std::u16string_view text) {
    std::string out;
    if (text.empty()) return out;
    out.reserve(text.size() + text.size() / 2);
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = text[i];
        if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8BufToUnicodeStd(const char* bytes, std::ptrdiff_t len) {
    if (len <= 0 || bytes == nullptr) return {};
    return Utf8StrToUnicode(std::string_view(bytes, static_cast<size_t>(len)));
}

std::u16string Utf8BufToUnicodeStd(std::string_view bytes) {
    return Utf8BufToUnicodeStd(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()));
}

// ---------------------------------------------------------------------------
// Character-set codecs. Single-byte sets are turned into tables once, so their
// conversions take no lock and call nothing; multi-byte sets go through iconv
// with a descriptor per call, because a descriptor carries state.


class TCharsetCodec {
  public:
    explicit TCharsetCodec(uint32_t codePage) {
        if (codePage == plat::kCodePageUtf8) {
            f_Kind = Kind::kUtf8;
            return;
        }
        f_IconvName = plat::IconvNameForCodePage(codePage);
        std::array<int32_t, 256> table;
        switch (plat::IconvByteTable(f_IconvName, table)) {
            case plat::ByteTableResult::kSingleByte:
                f_Kind = Kind::kTable;
                BuildTables(table);
                break;
            case plat::ByteTableResult::kMultiByte:
                f_Kind = Kind::kIconv;
                break;
            case plat::ByteTableResult::kUnavailable:
                f_Kind = Kind::kNone;
                break;
        }
    }

    bool IsSingleByte() const { return f_Kind == Kind::kTable; }

    std::u16string Decode(std::string_view bytes) const {
        std::u16string out;
        if (bytes.empty()) return out;
        switch (f_Kind) {
            case Kind::kUtf8:
                return Utf8BufToUnicodeStd(bytes);
            case Kind::kTable:
                out.resize(bytes.size());
                for (size_t i = 0; i < bytes.size(); ++i)
                    out[i] = f_Decode[static_cast<unsigned char>(bytes[i])];
                return out;
            case Kind::kIconv:
                plat::IconvDecode(f_IconvName, bytes, out);
                return out;
            case Kind::kNone:
                break;
        }
        return out;
    }

    // perUnit: every UTF-16 unit gives one byte (console output keeps its
    // length); otherwise a surrogate pair is one character and one '?'.
    std::string Encode(std::u16string_view text, bool perUnit) const {
        std::string out;
        if (text.empty()) return out;
        switch (f_Kind) {
            case Kind::kUtf8:
                return UnicodeToUtf8Str(text);
            case Kind::kTable:
                out.reserve(text.size());
                for (size_t i = 0; i < text.size(); ++i) {
                    const char16_t u = text[i];
                    const auto& page = f_Encode[u >> 8];
                    const int16_t b = page ? (*page)[u & 0xFF] : int16_t{-1};
                    if (b >= 0) {
                        out += static_cast<char>(b);
                        continue;
                    }
                    if (!perUnit && IsHighSurrogate(u) && i + 1 < text.size() &&
                        IsLowSurrogate(text[i + 1]))
                        ++i;
                    out += '?';
                }
                return out;
            case Kind::kIconv:
                plat::IconvEncode(f_IconvName, text, out);
                return out;
            case Kind::kNone:
                break;
        }
        return out;
    }

  private:
    enum class Kind { kUtf8, kTable, kIconv, kNone };

    void BuildTables(const std::array<int32_t, 256>& table) {
        auto put = [this](char16_t u, int b) {
            auto& page = f_Encode[u >> 8];
            if (!page) {
                page = std::make_unique<std::array<int16_t, 256>>();
                page->fill(-1);
            }
            if ((*page)[u & 0xFF] < 0) (*page)[u & 0xFF] = static_cast<int16_t>(b);
        };
        for (int b = 0; b < 256; ++b) {
            // An undefined byte still decodes, to the unit of the same value.
            f_Decode[b] = static_cast<char16_t>(table[b] >= 0 ? table[b] : b);
            if (table[b] >= 0) put(static_cast<char16_t>(table[b]), b);
        }
        // The holes of the Windows sets lie in 0x80..0x9F; clients send those
        // bytes through as C1 controls, so they must come back unchanged.
        // Other undefined bytes are not characters of the set and encode as '?'.
        for (int b = 0x80; b <= 0x9F; ++b)
            if (table[b] < 0) put(static_cast<char16_t>(b), b);
    }

    Kind f_Kind = Kind::kNone;
    std::string f_IconvName;
    std::array<char16_t, 256> f_Decode{};
    std::array<std::unique_ptr<std::array<int16_t, 256>>, 256> f_Encode;
};

namespace {

// Codecs are built once per code page and shared by every converter.
class CodecRegistry {
  public:
    std::shared_ptr<const TCharsetCodec> Get(uint32_t codePage) {
        plat::MutexLock lock(f_Lock);
        auto& slot = f_Codecs[codePage];
        if (!slot) slot = std::make_shared<const TCharsetCodec>(codePage);
        return slot;
    }

  private:
    plat::Mutex f_Lock;
    std::map<uint32_t, std::shared_ptr<const TCharsetCodec>> f_Codecs GAX_GUARDED_BY(f_Lock);
};

CodecRegistry& Registry() {
    static CodecRegistry r;
    return r;
}

std::shared_ptr<const TCharsetCodec> CodecFor(uint32_t codePage) {
    if (codePage == kDefaultCodePage) codePage = plat::kDefaultAnsiCodePage;
    return Registry().Get(codePage);
}

struct DefaultSets {
    uint32_t oemCodePage = 0;
    uint32_t ansiCodePage = 0;
    std::string oemName;
    std::string ansiName;
    std::shared_ptr<const TCharsetCodec> oem;
    std::shared_ptr<const TCharsetCodec> ansi;
};

const DefaultSets& Defaults() {
    static const DefaultSets d = [] {
        DefaultSets r;
        r.oemCodePage = plat::LocaleCodePage();
        r.ansiCodePage = plat::kDefaultAnsiCodePage;
        TLangInfoArray list;
        EnumMLangCodePages(list);
        auto nameOf = [&list](uint32_t cp) {
            const int i = FindLangInfoByCodePage(list, cp);
            return i < 0 ? std::string() : UnicodeToByteStr(AsciiUpperCaseW(list[i].li_Charset));
        };
        r.oemName = nameOf(r.oemCodePage);
        r.ansiName = nameOf(r.ansiCodePage);
        r.oem = CodecFor(r.oemCodePage);
        r.ansi = CodecFor(r.ansiCodePage);
        return r;
    }();
    return d;
}

}  // namespace

uint32_t DefaultOemCodePage() {
    return Defaults().oemCodePage;
}
uint32_t DefaultAnsiCodePage() {
    return Defaults().ansiCodePage;
}
const std::string& DefaultOemCharsetName() {
    return Defaults().oemName;
}
const std::string& DefaultAnsiCharsetName() {
    return Defaults().ansiName;
}

std::string UnicodeToOemStr(std::u16string_view text) {
    return Defaults().oem->Encode(text, true);
}

char* UnicodeToOemBuf(char* dest, std::size_t capacity, const char16_t* src, std::ptrdiff_t count) {
    if (dest == nullptr || src == nullptr || count <= 0 || capacity == 0) return dest;
    const std::string s = UnicodeToOemStr(std::u16string_view(src, static_cast<size_t>(count)));
    const size_t n = s.size() < capacity ? s.size() : capacity;
    std::memcpy(dest, s.data(), n);
    return dest + n;
}

std::string UnicodeToSysAnsiStr(std::u16string_view text) {
    return Defaults().ansi->Encode(text, false);
}

std::u16string IdentityText(std::u16string_view text) {
    return std::u16string(text);
}

std::atomic<TTextFilter> ErrorTextHook{&IdentityText};
std::atomic<TTextFilter> NameTextHook{&IdentityText};
std::atomic<TConsoleTextFilter> ConsoleTextHook{&UnicodeToOemStr};

// ---------------------------------------------------------------------------

TAnsiUnicodeConverter::TAnsiUnicodeConverter() = default;

TAnsiUnicodeConverter::~TAnsiUnicodeConverter() {
    Close();
}

const TCharsetCodec& TAnsiUnicodeConverter::Codec() const {
    return f_Codec ? *f_Codec : *Defaults().ansi;
}

void TAnsiUnicodeConverter::SetCharsetsCodeList(const TCharsetsCodeList* list) {
    if (list == nullptr || list->Count() == 0)
        throw EAnsiUnicodeConverterEmptyCharsetList("Empty charset list");
    if (!f_Bin && !f_CharsetNameU.empty()) {
        const int i = list->IndexOfName(f_CharsetNameU);
        if (i < 0)
            throw EAnsiUnicodeConverterInvalidCharsetName(u"Invalid or unknown charset name: " +
                                                          f_CharsetNameU);
        const uint32_t cp = (*list)[static_cast<size_t>(i)].CodePage;
        if (cp != f_CodePage) {
            f_Codec = cp == kDefaultCodePage ? nullptr : CodecFor(cp);
            f_CodePage = cp;
        }
    }
    e_CharsetsCodeList = list;
}

void TAnsiUnicodeConverter::SetCharsetName(std::u16string_view name) {
    f_CharsetNameU.clear();
    f_CharsetNameA.clear();
    f_CodePage = kDefaultCodePage;
    f_Bin = false;
    f_Codec.reset();
    const std::u16string upper = AsciiUpperCaseW(TrimSpaceW(name));
    if (upper == u"BIN") {
        f_CharsetNameU = upper;
        f_CharsetNameA = "BIN";
        f_Bin = true;
        return;
    }
    int i = -1;
    if (!upper.empty()) {
        if (e_CharsetsCodeList == nullptr)
            throw EAnsiUnicodeConverterEmptyCharsetList("Empty charset list");
        i = e_CharsetsCodeList->IndexOfName(upper);
    }
    if (i < 0)
        throw EAnsiUnicodeConverterInvalidCharsetName(u"Invalid or unknown charset name: " +
                                                      std::u16string(name));
    const uint32_t cp = (*e_CharsetsCodeList)[static_cast<size_t>(i)].CodePage;
    f_Codec = cp == kDefaultCodePage ? nullptr : CodecFor(cp);
    f_CodePage = cp;
    f_CharsetNameU = upper;
    f_CharsetNameA = UnicodeToByteStr(upper);
}

std::u16string TAnsiUnicodeConverter::AnsiToUnicode(std::string_view bytes) const {
    if (bytes.empty()) return {};
    if (f_Bin) return ByteStrToUnicode(bytes);
    return Codec().Decode(bytes);
}

std::u16string TAnsiUnicodeConverter::AnsiBufToUnicode(const char* buf, std::ptrdiff_t len) const {
    if (buf == nullptr || len <= 0) return {};
    return AnsiToUnicode(std::string_view(buf, static_cast<size_t>(len)));
}

std::string TAnsiUnicodeConverter::UnicodeToAnsi(std::u16string_view text) const {
    if (text.empty()) return {};
    if (f_Bin) return UnicodeToByteStr(text);
    return Codec().Encode(text, false);
}

void TAnsiUnicodeConverter::ValidateCharsetName(std::u16string_view name,
                                                std::u16string_view context,
                                                const TCharsetsCodeList* list) {
    auto prefixed = [context](const Exception& e) {
        return std::u16string(context) + u": " + e.Message();
    };
    try {
        TAnsiUnicodeConverter c;
        c.SetCharsetsCodeList(list);
        c.SetCharsetName(name);
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        if (context.empty()) throw;
        throw EAnsiUnicodeConverterInvalidCharsetName(prefixed(e));
    } catch (const EAnsiUnicodeConverterEmptyCharsetList& e) {
        if (context.empty()) throw;
        throw EAnsiUnicodeConverterEmptyCharsetList(prefixed(e));
    }
}

}  // namespace gax
