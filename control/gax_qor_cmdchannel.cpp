#include "control/gax_qor_cmdchannel.h"

#include <limits>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

namespace {

struct AnswerInfo {
    std::string_view word;
    int exitCode;
    std::u16string_view message;
};

// In value order; the operators' scripts depend on these exit codes.
constexpr AnswerInfo kAnswers[kChannelAnswerCount] = {
    {"+OK", 0, u"OK"},
    {"", 24, u"No answer"},
    {"", 3, u"Unknown answer"},
    {"-NONET", 25, u"Wrong network"},
    {"", 1, u"Wrong parameter(s)"},
    {"-NOSUPPORT", 20, u"Not supported"},
    {"-NOCLIENT", 27, u"No client online"},
    {"-FAKE", 26, u"Fake"},
    {"-DENIED", 18, u"Operation denied"},
    {"-BUSY", 21, u"Busy"},
    {"-NOTCONNECTED", 19, u"Not connected"},
    {"", 28, u"Answer timed out"},
    {"-NOTADMIN", 18, u"Not admin"},
    {"-NOTOWNER", 18, u"Not owner"},
    {"-NOLIST", 29, u"No clients list mode"},
    {"-ERROR", 3, u"Operation error"},
    {"-NOMANAGER", 30, u"QOR System Manager not found"},
    {"-TOOMANYMANAGERS", 31, u"Found too many QOR System Managers"},
    {"-WRONGTEXT", 32, u"Wrong command parameters or text"},
    {"-WRONGEMAIL", 33, u"Wrong email"},
    {"-NOTREGISTERED", 34, u"Not registered"},
    {"-NOSPEAKER", 36, u"No speaker"},
};

const AnswerInfo& Info(TQORChannelCommandAnswer a) {
    // An out-of-range value (a corrupted byte from a queue record) reads as
    // the unknown answer rather than past the table.
    return a < kChannelAnswerCount ? kAnswers[a] : kAnswers[fsca_Unknown];
}

// One F field: header, the bytes it announces (which must fit), trimmed.
bool ReadRawField(const char*& p, int32_t& remain, const char*& fieldPtr, int& fieldLen) {
    int32_t len;
    if (!ReadHexLen(p, remain, len)) return false;
    fieldPtr = p;
    fieldLen = len;
    p += len;
    remain -= len;
    TrimBlanksRange(fieldPtr, fieldLen);
    return true;
}

// One text field into its three forms. Only text that is valid UTF-8 and
// decodes one sequence per UTF-16 unit is taken: anything looser would let
// two different byte strings stand for the same text.
bool ReadTextField(const char*& p, int32_t& remain, std::u16string& ucs2, std::string& utf8,
                   const char*& ptr, int32_t& len) {
    const char* fp;
    int fl;
    if (!ReadRawField(p, remain, fp, fl)) return false;
    ptr = fp;
    len = fl;
    ucs2.clear();
    utf8.clear();
    if (fl == 0) return true;
    const std::string_view bytes(fp, static_cast<size_t>(fl));
    if (!IsValidUtf8Str(bytes)) return false;
    std::u16string text = Utf8BufToUnicodeLenient(fp, fl);
    if (UnicodeUtf8ByteLen(text) != fl) return false;
    ucs2 = std::move(text);
    utf8.assign(bytes);
    return true;
}

bool ReadUInt32Field(const char*& p, int32_t& remain, const char*& ptr, int32_t& len,
                     uint32_t& value) {
    const char* fp;
    int fl;
    if (!ReadRawField(p, remain, fp, fl)) return false;
    ptr = fp;
    len = fl;
    uint64_t v = 0;
    for (int i = 0; i < fl; ++i) {
        const char c = fp[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > std::numeric_limits<uint32_t>::max()) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

// ------------------------------------------------------------ answers

std::string_view ChannelAnswerWord(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).word;
}

bool FindChannelAnswerWord(std::string_view aText, TQORChannelCommandAnswer& aAnswer) {
    for (int i = 0; i < kChannelAnswerCount; ++i) {
        if (!kAnswers[i].word.empty() && kAnswers[i].word == aText) {
            aAnswer = static_cast<TQORChannelCommandAnswer>(i);
            return true;
        }
    }
    return false;
}

int ChannelAnswerExitCode(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).exitCode;
}

std::u16string_view ChannelAnswerMessage(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).message;
}

std::string ChannelAnswerLine(TQORChannelCommandAnswer aAnswer) {
    const std::string_view w = ChannelAnswerWord(aAnswer);
    if (w.empty()) return {};
    std::string s(w);
    s += "\r\n";
    return s;
}

// ------------------------------------------------------------ console output

std::u16string ConsoleCharsetName(TQORConsoleCharset aConsoleCharset, std::u16string_view aName) {
    switch (aConsoleCharset) {
        case ccs_UTF8:
            return u"UTF-8";
        case ccs_ANSI:
            return ByteStrToUnicode(DefaultAnsiCharsetName());
        case ccs_OEM:
            return ByteStrToUnicode(DefaultOemCharsetName());
        default:
            return std::u16string(aName);
    }
}

int ChannelOutcomeExitCode(int aSocketError, TQORChannelCommandAnswer aAnswer) {
    return aSocketError != 0 ? 16 : ChannelAnswerExitCode(aAnswer);
}

std::u16string ChannelOutcomeText(int aSocketError, TQORChannelCommandAnswer aAnswer,
                                  std::u16string_view aTitle) {
    if (aSocketError == 0 && aAnswer == fsca_OK) return {};
    std::u16string line(aTitle);
    line += u": ";
    if (aSocketError != 0)
        line += FormatSocketSysError(aSocketError);
    else
        line += ChannelAnswerMessage(aAnswer);
    return line;
}

int PrintChannelOutcome(int aSocketError, TQORChannelCommandAnswer aAnswer,
                        std::u16string_view aTitle, std::u16string_view aCharsetName,
                        const TCharsetsCodeList* aCodeList, std::FILE* aOut) {
    const std::u16string line = ChannelOutcomeText(aSocketError, aAnswer, aTitle);
    if (!line.empty()) {
        TAnsiUnicodeConverter conv;
        try {
            if (aCodeList != nullptr && aCodeList->Count() > 0) conv.SetCharsetsCodeList(aCodeList);
            conv.SetCharsetName(aCharsetName);
        } catch (const Exception&) {
            // The converter is left on the default set; see the header.
        }
        std::string bytes = conv.UnicodeToAnsi(line);
        bytes += "\r\n";
        std::fwrite(bytes.data(), 1, bytes.size(), aOut);
        std::fflush(aOut);
    }
    return ChannelOutcomeExitCode(aSocketError, aAnswer);
}

// ------------------------------------------------------------ server-side decoders

bool ParseCommandStr(const char*& aCursor, int32_t& aRemain, TCommandParse_Str& aRec) {
    const char* p = aCursor;
    int32_t n = aRemain;
    if (!ReadTextField(p, n, aRec.cpn_Str1UCS2, aRec.cpn_Str1UTF8, aRec.cpn_str1_ptr,
                       aRec.cpn_str1_len))
        return false;
    aCursor = p;
    aRemain = n;
    return true;
}

bool ParseCommandStrStr(const char*& aCursor, int32_t& aRemain, TCommandParse_StrStr& aRec) {
    const char* p = aCursor;
    int32_t n = aRemain;
    if (!ReadTextField(p, n, aRec.cpne_Str1UCS2, aRec.cpne_Str1UTF8, aRec.cpne_str1_ptr,
                       aRec.cpne_str1_len) ||
        !ReadTextField(p, n, aRec.cpne_Str2UCS2, aRec.cpne_Str2UTF8, aRec.cpne_str2_ptr,
                       aRec.cpne_str2_len))
        return false;
    aCursor = p;
    aRemain = n;
    return true;
}

bool ParseCommandStrUInt32Str(const char*& aCursor, int32_t& aRemain,
                              TCommandParse_StrUInt32Str& aRec) {
    const char* p = aCursor;
    int32_t n = aRemain;
    aRec.cpntc_UInt32 = 0;
    if (!ReadTextField(p, n, aRec.cpntc_Str1UCS2, aRec.cpntc_Str1UTF8, aRec.cpntc_str1_ptr,
                       aRec.cpntc_str1_len) ||
        !ReadUInt32Field(p, n, aRec.cpntc_int32_ptr, aRec.cpntc_int32_len, aRec.cpntc_UInt32) ||
        !ReadTextField(p, n, aRec.cpntc_Str2UCS2, aRec.cpntc_Str2UTF8, aRec.cpntc_str2_ptr,
                       aRec.cpntc_str2_len))
        return false;
    aCursor = p;
    aRemain = n;
    return true;
}

bool ParseCommandStrStrStrInt32(const char*& aCursor, int32_t& aRemain,
                                TCommandParse_StrStrStrInt32& aRec) {
    const char* p = aCursor;
    int32_t n = aRemain;
    if (!ReadTextField(p, n, aRec.cpcnn_Str1UCS2, aRec.cpcnn_Str1UTF8, aRec.cpcnn_str1_ptr,
                       aRec.cpcnn_str1_len) ||
        !ReadTextField(p, n, aRec.cpcnn_Str2UCS2, aRec.cpcnn_Str2UTF8, aRec.cpcnn_str2_ptr,
                       aRec.cpcnn_str2_len) ||
        !ReadTextField(p, n, aRec.cpcnn_Str3UCS2, aRec.cpcnn_Str3UTF8, aRec.cpcnn_str3_ptr,
                       aRec.cpcnn_str3_len))
        return false;
    aRec.cpcnn_int32 = 0;
    if (n >= 2) {
        uint32_t v;
        if (!ReadHexLenInt(p, n, v)) return false;
        // A count of seconds beyond the signed range would turn negative
        // and read as "no time limit": refuse it instead.
        if (v > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return false;
        aRec.cpcnn_int32 = static_cast<int32_t>(v);
    }
    aCursor = p;
    aRemain = n;
    return true;
}

}  // namespace gax
