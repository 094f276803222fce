#include "server/gax_qor_svc_networks_list.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_textutils.h"
#include "sockets/gax_snps_collector.h"

namespace gax {

namespace {

constexpr int kFileBufferSize = 16384;
// Room for the longest line the buffer can hand over whole.
constexpr int kMaxLineBytes = kFileBufferSize - 128;

// The locale whose case mapping the name index uses; the C locale would fold
// only ASCII. Made once, never freed (it lives as long as the program).
locale_t CaseLocale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (l == static_cast<locale_t>(0))
            l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

// The first aMax characters; a surrogate pair counts as one and is never split.
std::u16string_view CutToChars(std::u16string_view s, size_t aMax) {
    size_t i = 0;
    for (size_t n = 0; i < s.size() && n < aMax; ++n) {
        if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) ++i;
        ++i;
    }
    return s.substr(0, i);
}

std::u16string DecodeUtf8Field(std::string_view aBytes) {
    if (!IsValidUtf8Str(aBytes)) throw EQORNetworksListError(u"Invalid UTF-8 text");
    return Utf8StrToUnicode(aBytes);
}

std::u16string Quoted(std::u16string_view s) {
    std::u16string q = u"\"";
    q += s;
    q += u'"';
    return q;
}

std::u16string LineMessage(int aLine, std::u16string_view aMessage) {
    return u"Line " + IntToDecStrW(aLine) + u": " + std::u16string(aMessage);
}

std::unique_ptr<TQORNetworkData> MakeDataOnly(const TQORServNetworkRec& aRec,
                                              const TQORServiceNetOptions& aServ,
                                              const TCharsetsCodeList* aCodeList) {
    return std::make_unique<TQORNetworkData>(aRec, aServ, aCodeList);
}

[[noreturn]] void RaiseDuplicate() {
    throw EQORNetworksListError(u"String list does not allow duplicates");
}

}  // namespace

// ---------------------------------------------------------------------------

TQORNetworkData::TQORNetworkData(const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ,
                                 const TCharsetsCodeList* aCodeList)
    : f_NetOpts(aRec.snr_Options) {
    f_NetworkName_UCS2 = TrimSpaceW(aRec.snr_NetworkNameUCS2);
    f_NetworkName_UTF8 = UnicodeToUtf8Str(f_NetworkName_UCS2);
    const std::u16string& charset = f_NetOpts.no_NetCharsetNameUCS2.empty()
                                        ? aServ.sno_CharsetName
                                        : f_NetOpts.no_NetCharsetNameUCS2;
    if (!charset.empty()) {
        TAnsiUnicodeConverter conv;
        if (AsciiUpperCaseW(TrimBlanksViewW(charset)) != u"BIN") conv.SetCharsetsCodeList(aCodeList);
        conv.SetCharsetName(charset);
        f_NetworkName_ANSI =
            UnicodeToAnsiMaxBytes(&conv, kQORNetworkNameAnsiMaxBytes, f_NetworkName_UCS2);
    } else {
        f_NetworkName_ANSI = UnicodeToByteStr(f_NetworkName_UCS2);
        if (f_NetworkName_ANSI.size() > kQORNetworkNameAnsiMaxBytes)
            f_NetworkName_ANSI.resize(kQORNetworkNameAnsiMaxBytes);
    }
}

TQORNetworkData::~TQORNetworkData() = default;

// ---------------------------------------------------------------------------

TQORNetworksList::TQORNetworksList(const TCharsetsCodeList* aCodeList, TQORNetworkFactory aFactory)
    : e_CodeList(aCodeList), f_Factory(aFactory ? std::move(aFactory) : MakeDataOnly) {}

TQORNetworksList::~TQORNetworksList() {
    Clear();
}

void TQORNetworksList::Clear() {
    f_NetsV0.clear();
    f_NetsV1U.clear();
    f_SortedUnicode.clear();
    f_SortedLocalHEX.clear();
    // First in file order first, as the networks were made.
    for (auto& n : f_Original) n.reset();
    f_Original.clear();
    f_TestSet = false;
}

std::u16string TQORNetworksList::NameKey(std::u16string_view aNameU) {
    std::u16string key(aNameU);
    const locale_t loc = CaseLocale();
    for (char16_t& c : key) {
        if (IsHighSurrogate(c) || IsLowSurrogate(c)) continue;
        wint_t u;
        if (loc != static_cast<locale_t>(0))
            u = towupper_l(static_cast<wint_t>(c), loc);
        else
            u = (c >= u'a' && c <= u'z') ? static_cast<wint_t>(c - 32) : static_cast<wint_t>(c);
        if (u <= 0xFFFF) c = static_cast<char16_t>(u);
    }
    return key;
}

void TQORNetworksList::AddNetworkFile(std::unique_ptr<TQORNetworkData> aNetwork) {
    TQORNetworkData* net = aNetwork.get();
    std::u16string key = NameKey(net->NetworkNameUCS2());
    auto u = std::lower_bound(f_SortedUnicode.begin(), f_SortedUnicode.end(), key,
                              [](const auto& e, const std::u16string& k) { return e.first < k; });
    if (u != f_SortedUnicode.end() && u->first == key) RaiseDuplicate();
    std::string hex = BytesToHexA(net->NetworkNameANSI());
    auto h = std::lower_bound(f_SortedLocalHEX.begin(), f_SortedLocalHEX.end(), hex,
                              [](const auto& e, const std::string& k) { return e.first < k; });
    // Two names that differ only in characters the 8-bit set lacks (or beyond
    // the 20-byte cut) would be one network to an 8-bit client.
    if (h != f_SortedLocalHEX.end() && h->first == hex) RaiseDuplicate();

    net->SetNetOriginalIndex(Count());
    f_SortedUnicode.insert(u, {std::move(key), net});
    f_Original.push_back(std::move(aNetwork));
    f_SortedLocalHEX.insert(h, {std::move(hex), net});
}

void TQORNetworksList::AddRecord(const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ) {
    std::unique_ptr<TQORNetworkData> net = f_Factory(aRec, aServ, e_CodeList);
    if (!net) throw EQORNetworksListError(u"Network not created");
    AddNetworkFile(std::move(net));
}

void TQORNetworksList::BuildNetListTexts() {
    // The list is complete: the log prefixes get their width ("Net #07: " of 12).
    int32_t width = 1;
    for (int32_t high = Count() - 1; high >= 10; high /= 10) ++width;
    for (int32_t i = Count(); i-- > 0;)
        f_Original[static_cast<size_t>(i)]->SetNetOriginalIndex(i, width);
    int32_t shown = 0;
    for (const auto& n : f_Original)
        if (!n->Hidden()) ++shown;
    std::string head = "\x05"
                       "0";
    head += UnicodeToByteStr(IntToDecStrW(shown));
    head += "\r\n";
    f_NetsV0 = head;
    f_NetsV1U = std::move(head);
    for (const auto& n : f_Original) {
        if (n->Hidden()) continue;
        f_NetsV0 += n->NetworkNameANSI();
        f_NetsV0 += "\r\n";
        f_NetsV1U += n->NetworkNameUTF8();
        f_NetsV1U += "\r\n";
    }
}

void TQORNetworksList::ReadLines(const TQORServiceNetOptions& aServ, std::u16string_view aFileName) {
    TCollectorFile file(std::u16string(aFileName), kFileBufferSize);
    file.Timeout = TCollectorBase::kNoTimeout;
    file.StringExceededLengthMode = ceslm_Exception;
    for (int lineNo = 1;; ++lineNo) {
        std::string_view line;
        try {
            TCollectorCheckResult r = file.StartBufStringAndCheck(kMaxLineBytes, 0);
            while (r == colr_NotReady) r = file.CheckCollectorWithTick(0);
            if (r == colr_EOF) break;
            if (r != colr_Ready) {
                const std::u16string& d = file.ErrorDesc();
                throw EQORNetworksListError(d.empty() ? u"Read error" : d);
            }
        } catch (const Exception& e) {
            throw EQORNetworksListError(LineMessage(lineNo, e.Message()));
        }
        line = file.BufData();
        if (lineNo == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        line = TrimBlanksViewA(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;

        TQORServNetworkRec rec;
        try {
            const size_t bar1 = line.find('|');
            rec.snr_NetworkNameUCS2 = std::u16string(
                CutToChars(TrimSpaceW(DecodeUtf8Field(line.substr(0, bar1))), kQORNetworkNameMaxChars));
            rec.snr_NetworkNameUCS2 = TrimSpaceW(rec.snr_NetworkNameUCS2);
            if (rec.snr_NetworkNameUCS2.empty()) continue;
            // A control character would travel in the networks-list frame
            // every client splits at CR LF, and into every log line.
            for (const char16_t c : rec.snr_NetworkNameUCS2)
                if (c < 0x20) throw EQORNetworksListError(u"Invalid character in the network name");
            InitNetworkOptionsFromDefaults(aServ, rec.snr_Options);
            if (bar1 != std::string_view::npos) {
                std::string_view rest = line.substr(bar1 + 1);
                rest = rest.substr(0, rest.find('|'));  // a third field and beyond are ignored
                try {
                    ParseNetworkOptionsText(aServ, DecodeUtf8Field(rest), rec.snr_Options, e_CodeList);
                } catch (const Exception& e) {
                    throw EQORNetworksListError(u"Network: " + Quoted(rec.snr_NetworkNameUCS2) +
                                                u": " + e.Message());
                }
            }
            AddRecord(rec, aServ);
        } catch (const Exception& e) {
            throw EQORNetworksListError(LineMessage(lineNo, e.Message()));
        }
    }
}

void TQORNetworksList::ReadNetworksListFromFile(const TQORServiceNetOptions& aServ,
                                                std::u16string_view aFileName) {
    Clear();
    try {
        ReadLines(aServ, aFileName);
    } catch (const Exception& e) {
        Clear();
        throw EQORNetworksListError(u"Network file " + Quoted(aFileName) + u": " + e.Message());
    } catch (...) {
        Clear();
        throw;
    }
    BuildNetListTexts();
}

void TQORNetworksList::MakeTestNetwork(const TQORServiceNetOptions& aServ) {
    Clear();
    TQORServNetworkRec test;
    test.snr_NetworkNameUCS2 = u"Test";
    InitNetworkOptionsFromDefaults(aServ, test.snr_Options);
    test.snr_Options.no_Parrot.ParrotEnable = true;
    test.snr_Options.no_Parrot.ParrotStartStopEnable = true;
    TQORServNetworkRec net01;
    net01.snr_NetworkNameUCS2 = u"Net01";
    InitNetworkOptionsFromDefaults(aServ, net01.snr_Options);
    try {
        AddRecord(test, aServ);
        AddRecord(net01, aServ);
    } catch (...) {
        Clear();
        throw;
    }
    BuildNetListTexts();
    f_TestSet = true;
}

TQORNetworkData* TQORNetworksList::GetNetworkOriginal(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= Count()) return nullptr;
    return f_Original[static_cast<size_t>(aIndex)].get();
}

TQORNetworkData* TQORNetworksList::GetNetworkSorted(int32_t aIndex) const {
    if (aIndex < 0 || static_cast<size_t>(aIndex) >= f_SortedUnicode.size()) return nullptr;
    return f_SortedUnicode[static_cast<size_t>(aIndex)].second;
}

int32_t TQORNetworksList::IndexInSorted(std::u16string_view aNameU) const {
    const std::u16string key = NameKey(aNameU);
    auto u = std::lower_bound(f_SortedUnicode.begin(), f_SortedUnicode.end(), key,
                              [](const auto& e, const std::u16string& k) { return e.first < k; });
    if (u == f_SortedUnicode.end() || u->first != key) return -1;
    return static_cast<int32_t>(u - f_SortedUnicode.begin());
}

TQORNetworkData* TQORNetworksList::FindNetwork(std::u16string_view aNameU) const {
    return GetNetworkSorted(IndexInSorted(aNameU));
}

TQORNetworkData* TQORNetworksList::FindNetworkAsciiUpper(std::u16string_view aNameU) const {
    const std::u16string wanted = AsciiUpperCaseW(aNameU);
    for (auto it = f_SortedUnicode.rbegin(); it != f_SortedUnicode.rend(); ++it)
        if (AsciiUpperCaseW(it->second->NetworkNameUCS2()) == wanted) return it->second;
    return nullptr;
}

TQORNetworkData* TQORNetworksList::FindNetworkLocal(std::string_view aNameLocal) const {
    const std::string hex = BytesToHexA(aNameLocal);
    auto h = std::lower_bound(f_SortedLocalHEX.begin(), f_SortedLocalHEX.end(), hex,
                              [](const auto& e, const std::string& k) { return e.first < k; });
    return (h != f_SortedLocalHEX.end() && h->first == hex) ? h->second : nullptr;
}

void VerifyNetworksListFile(const TQORServiceNetOptions& aServ, std::u16string_view aFileName,
                            const TCharsetsCodeList* aCodeList) {
    TQORNetworksList list(aCodeList);
    list.ReadNetworksListFromFile(aServ, aFileName);
}

}  // namespace gax
