#include "server/gax_qor_svc_intflags.h"

#include <algorithm>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_networks_list.h"
#include "sockets/gax_snps_collector.h"

namespace gax {

namespace {

struct IntFlagWord {
    std::string_view Word;
    size_t MinLen;
    TQORSVCInternalClientFlags Bits;
};

// The search order matters: the first word that matches wins.
constexpr IntFlagWord kIntFlagWords[] = {
    {"IGNORECLIENTMESSAGES", 13, 0x08},
    {"IGNORECLIENTSOUNDS", 13, 0x04},
    {"IGNORECLIENTDATA", 13, 0x0C},
    {"NOSERVERMESSAGES", 9, 0x01},
    {"NOSERVERSOUNDS", 9, 0x02},
    {"NOSERVERDATA", 9, 0x03},
    {"AGGREGATELIST", 2, 0x10},
    {"NOLIST", 3, 0x20},
    {"DUMMY", 2, 0x0F},
    {"SVX", 2, 0x21},
};

constexpr int kLineMaxBytes = 2048;
constexpr int kFileBufferSize = 4096;
constexpr size_t kNetworkNameMaxBytes = 96;

const char16_t kInvalidLineFormat[] = u"Invalid line format";
const char16_t kInvalidFlags[] = u"Invalid flag(s)";

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}
bool IsControl(unsigned char c) {
    return c < 0x20;
}
bool IsAsciiLetter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A byte an unquoted network name may hold: "!", 0x22 and 0x24..0x3A, 0x3C..0xFF.
bool IsNameByte(unsigned char c) {
    return c == '!' || c == '"' || (c >= 0x24 && c <= 0x3A) || c >= 0x3C;
}

[[noreturn]] void Fail(std::u16string aReason) {
    throw EQORIntFlagsError(std::move(aReason));
}

struct CfgRec {
    std::string fsifcr_ClientId;
    const TQORNetworkData* fsifcr_Network = nullptr;  // null: all networks
    TQORSVCInternalClientFlags fsifcr_Flags = 0;
    TQORSVCInternalClientFlags fsifcr_Inverted = 0;
};

// One line that is not blank or a comment; raises the line's reason.
CfgRec ParseLine(std::string_view s, const TQORNetworksList& aNetworks) {
    CfgRec rec;
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) > 0x20 && s[i] != '#' && s[i] != ';')
        ++i;
    const std::string_view client = s.substr(0, i);
    if (i >= s.size() || !IsBlankOrTab(s[i])) Fail(kInvalidLineFormat);
    rec.fsifcr_ClientId = IsValidSourceIdStr(client) ? std::string(client) : MakeSourceId(client);

    while (i < s.size() && IsBlankOrTab(s[i])) ++i;
    if (i >= s.size() || IsControl(static_cast<unsigned char>(s[i]))) Fail(kInvalidLineFormat);

    std::string name;
    bool all = false;
    if (s[i] == '"') {
        ++i;
        for (;;) {
            if (i >= s.size()) Fail(kInvalidLineFormat);  // unclosed
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"') {
                if (i + 1 < s.size() && s[i + 1] == '"') {
                    name += '"';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            if (!IsBlankOrTab(static_cast<char>(c)) && (IsControl(c) || !IsNameByte(c)))
                Fail(kInvalidLineFormat);
            name += static_cast<char>(c);
            ++i;
            if (name.size() > kNetworkNameMaxBytes) Fail(kInvalidLineFormat);
        }
        if (i >= s.size() || !IsBlankOrTab(s[i])) Fail(kInvalidLineFormat);
    } else {
        while (i < s.size() && !IsBlankOrTab(s[i])) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (IsControl(c) || !IsNameByte(c)) Fail(kInvalidLineFormat);
            name += static_cast<char>(c);
            ++i;
            if (name.size() > kNetworkNameMaxBytes) Fail(kInvalidLineFormat);
        }
        all = name == "*";  // quoted, "*" is the name of a network
        if (i >= s.size()) Fail(kInvalidLineFormat);  // nothing after the network
    }
    if (name.empty()) Fail(kInvalidLineFormat);

    if (!all) {
        if (!IsValidUtf8Str(name)) Fail(kInvalidLineFormat);
        const std::u16string nameU = Utf8StrToUnicode(name);
        rec.fsifcr_Network = FindNetworkForIntFlags(aNetworks, nameU);
        if (rec.fsifcr_Network == nullptr) Fail(u"Unknown network: " + nameU);
    }

    TQORIntFlagsWordsRec words;
    ParseIntFlagsWords(s.substr(i), words);
    if (words.iwr_Known == 0 || words.iwr_Unknown != 0) Fail(kInvalidFlags);
    rec.fsifcr_Flags = words.iwr_Flags;
    rec.fsifcr_Inverted = words.iwr_Inverted;
    return rec;
}

}  // namespace

bool FindIntFlagWord(std::string_view aWord, TQORSVCInternalClientFlags& aBits) {
    for (const IntFlagWord& w : kIntFlagWords) {
        if (aWord.size() < w.MinLen) continue;
        if (aWord.substr(0, w.MinLen) == w.Word.substr(0, w.MinLen)) {
            aBits = w.Bits;
            return true;
        }
    }
    return false;
}

void ParseIntFlagsWords(std::string_view aText, TQORIntFlagsWordsRec& aWords) {
    aWords = TQORIntFlagsWordsRec{};
    std::string word;
    bool inverted = false;
    auto endWord = [&] {
        if (word.empty()) return;
        ++aWords.iwr_Words;
        TQORSVCInternalClientFlags bits = 0;
        if (FindIntFlagWord(word, bits)) {
            ++aWords.iwr_Known;
            aWords.iwr_Flags |= bits;
            if (inverted) aWords.iwr_Inverted |= bits;
        } else {
            ++aWords.iwr_Unknown;
        }
        word.clear();
        inverted = false;
    };
    for (const char ch : aText) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '#' || c == ';') break;
        if (IsAsciiLetter(c) || IsDigit(c)) {
            word += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        } else if (c == '!') {
            endWord();
            inverted = true;
        } else {
            endWord();
        }
    }
    endWord();
}

// ---------------------------------------------------------------------------

TQORSVCIntFlagsCfgObject::TQORSVCIntFlagsCfgObject(std::u16string aFileName, int32_t aNetworkCount)
    : f_ServList(std::make_unique<TQORSVCIntFlagsList>()), f_FileName(std::move(aFileName)) {
    f_NetList.resize(static_cast<size_t>(std::max(aNetworkCount, 0)));
    for (auto& l : f_NetList) l = std::make_unique<TQORSVCIntFlagsList>();
}

const TQORSVCIntFlagsList* TQORSVCIntFlagsCfgObject::NetList(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= NetCount()) return nullptr;
    return f_NetList[static_cast<size_t>(aIndex)].get();
}

std::unique_ptr<TQORSVCIntFlagsList> TQORSVCIntFlagsCfgObject::PullNetList(int32_t aIndex) {
    if (aIndex < 0 || aIndex >= NetCount()) return nullptr;
    return std::move(f_NetList[static_cast<size_t>(aIndex)]);
}

TQORSVCIntFlagsList& TQORSVCIntFlagsCfgObject::ListFor(const TQORNetworkData* aNetwork) {
    std::unique_ptr<TQORSVCIntFlagsList>* slot = &f_ServList;
    if (aNetwork != nullptr) {
        const int32_t i = aNetwork->NetOriginalIndex();
        if (i < 0 || i >= NetCount()) throw EQORIntFlagsError(u"Network index out of range");
        slot = &f_NetList[static_cast<size_t>(i)];
    }
    if (!*slot) *slot = std::make_unique<TQORSVCIntFlagsList>();
    return **slot;
}

const TQORNetworkData* FindNetworkForIntFlags(const TQORNetworksList& aNetworks,
                                              std::u16string_view aNameU) {
    for (int32_t i = 0; i < aNetworks.Count(); ++i)
        if (aNetworks.GetNetworkOriginal(i)->NetworkNameUCS2() == aNameU)
            return aNetworks.GetNetworkOriginal(i);
    return aNetworks.FindNetworkAsciiUpper(aNameU);
}

std::unique_ptr<TQORSVCIntFlagsCfgObject> ReadIntFlagsFile(const TQORNetworksList& aNetworks,
                                                           std::u16string_view aFileName) {
    auto obj = std::make_unique<TQORSVCIntFlagsCfgObject>(std::u16string(aFileName), aNetworks.Count());
    TCollectorFile file(std::u16string(aFileName), kFileBufferSize);
    file.Timeout = TCollectorBase::kNoTimeout;
    file.StringExceededLengthMode = ceslm_Exception;
    for (int lineNo = 1;; ++lineNo) {
        try {
            TCollectorCheckResult r = file.StartBufStringAndCheck(kLineMaxBytes, 0);
            while (r == colr_NotReady) r = file.CheckCollectorWithTick(0);
            if (r == colr_EOF) break;
            if (r != colr_Ready) {
                const std::u16string& d = file.ErrorDesc();
                throw EQORIntFlagsError(d.empty() ? u"Read error" : d);
            }
            std::string_view line = file.BufData();
            if (lineNo == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            size_t start = 0;
            while (start < line.size() && IsBlankOrTab(line[start])) ++start;
            line.remove_prefix(start);
            if (line.empty() || line.front() == '#' || line.front() == ';') continue;

            CfgRec rec = ParseLine(line, aNetworks);
            TQORSVCIntFlagsList& list = obj->ListFor(rec.fsifcr_Network);
            TQORSVCInternalFlagsStore& e = list[rec.fsifcr_ClientId];  // a later line replaces
            e.fsifwr_ClientId = rec.fsifcr_ClientId;
            e.fsifwr_Flags = rec.fsifcr_Flags;
            e.fsifwr_Inverted = rec.fsifcr_Inverted;
        } catch (const Exception& e) {
            throw EQORIntFlagsError(u"line " + IntToDecStrW(lineNo) + u": " + e.Message());
        }
    }
    return obj;
}

void DiffIntFlagsLists(const TQORSVCIntFlagsList* aNew, const TQORSVCIntFlagsList* aOld,
                       std::vector<std::string>& aChanged) {
    static const TQORSVCIntFlagsList kEmpty;
    const TQORSVCIntFlagsList& n = aNew ? *aNew : kEmpty;
    const TQORSVCIntFlagsList& o = aOld ? *aOld : kEmpty;
    auto a = n.begin();
    auto b = o.begin();
    while (a != n.end() || b != o.end()) {
        if (b == o.end() || (a != n.end() && a->first < b->first)) {
            aChanged.push_back(a->first);
            ++a;
        } else if (a == n.end() || b->first < a->first) {
            aChanged.push_back(b->first);
            ++b;
        } else {
            if (a->second.fsifwr_Flags != b->second.fsifwr_Flags ||
                a->second.fsifwr_Inverted != b->second.fsifwr_Inverted)
                aChanged.push_back(a->first);
            ++a;
            ++b;
        }
    }
}

std::vector<std::vector<std::string>> ApplyIntFlagsReading(
    TQORSVCIntFlagsCfgObject& aNew, std::unique_ptr<TQORSVCIntFlagsList>& aServIntFlags,
    const TQORIntFlagsNetSlot& aNetSlot) {
    const int32_t count = aNew.NetCount();
    std::vector<std::vector<std::string>> changes(static_cast<size_t>(count));

    std::vector<std::string> servChanged;
    DiffIntFlagsLists(aNew.ServList(), aServIntFlags.get(), servChanged);
    if (!servChanged.empty()) {
        aServIntFlags = aNew.PullServList();
        if (!aServIntFlags) aServIntFlags = std::make_unique<TQORSVCIntFlagsList>();
        for (auto& c : changes) c = servChanged;
    }
    for (int32_t i = 0; i < count; ++i) {
        std::unique_ptr<TQORSVCIntFlagsList>& slot = aNetSlot(i);
        std::vector<std::string> netChanged;
        DiffIntFlagsLists(aNew.NetList(i), slot.get(), netChanged);
        if (netChanged.empty()) continue;
        slot = aNew.PullNetList(i);
        if (!slot) slot = std::make_unique<TQORSVCIntFlagsList>();
        std::vector<std::string>& c = changes[static_cast<size_t>(i)];
        // A client changed both server-wide and here is disconnected once.
        for (std::string& id : netChanged)
            if (std::find(servChanged.begin(), servChanged.end(), id) == servChanged.end())
                c.push_back(std::move(id));
    }
    return changes;
}

const TQORSVCInternalFlagsStore* FindIntFlagsEntry(const TQORSVCIntFlagsList* aNetList,
                                                   const TQORSVCIntFlagsList* aServList,
                                                   std::string_view aClientId) {
    const std::string key(aClientId);
    if (aNetList) {
        auto it = aNetList->find(key);
        if (it != aNetList->end()) return &it->second;
    }
    if (aServList) {
        auto it = aServList->find(key);
        if (it != aServList->end()) return &it->second;
    }
    return nullptr;
}

}  // namespace gax
