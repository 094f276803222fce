#include "control/gax_qor_cmdclient.h"

#include <memory>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"

namespace gax {

namespace {

using C = TQORSVCCommand;

std::string F(std::u16string_view aText) {
    return HexLenStr(UnicodeToUtf8Str(aText));
}
std::string I(uint32_t aValue) {
    return HexLenUIntToStr(aValue);
}
std::u16string DecimalW(int64_t aValue) {
    const std::string s = std::to_string(aValue);
    return std::u16string(s.begin(), s.end());
}
std::string Digit(int32_t aValue) {
    return std::string(1, char('0' + aValue));
}
// F(seconds as decimal), or "00" (no time: permanent) for 0.
std::string SecondsField(int64_t aSeconds) {
    return aSeconds > 0 ? F(DecimalW(aSeconds)) : std::string("00");
}
std::u16string Quoted(std::u16string_view aTitle, std::u16string_view aName) {
    return std::u16string(aTitle) + u"\"" + std::u16string(aName) + u"\"";
}
// Trimmed, cut to 500 characters, trimmed again.
std::u16string NoticeText(std::u16string_view aText) {
    std::u16string t(TrimBlanksViewW(aText));
    if (t.size() > 500) t.resize(500);
    return std::u16string(TrimBlanksViewW(t));
}
// Trimmed, control characters other than TAB removed, cut to 500 characters.
std::u16string LogText(std::u16string_view aText) {
    std::u16string t;
    for (char16_t c : TrimBlanksViewW(aText))
        if (c >= 32 || c == u'\t') t.push_back(c);
    if (t.size() > 500) t.resize(500);
    return t;
}

struct TReread {
    C Direct, FromFile;
    char Code;
    std::u16string_view DirectTitle, FileTitle;
};
constexpr TReread kRereads[] = {
    {C::drereadadmins, C::frereadadmins, '3', u"ERROR: Reread default list of admins",
     u"ERROR: Reread list of admins "},
    {C::drereadmutes, C::frereadmutes, '4', u"ERROR: Reread default list of muted clients",
     u"ERROR: Reread list of muted clients: "},
    {C::drereadblocks, C::frereadblocks, '5', u"ERROR: Reread default list of blocked clients",
     u"ERROR: Read list of blocked clients: "},
    {C::drereadrights, C::frereadrights, '6', u"ERROR: Reread default list of rights",
     u"ERROR: Read list of rights: "},
    {C::drereadmodes, C::frereadmodes, '7', u"ERROR: Reread default list of modes",
     u"ERROR: Read list of modes: "},
    {C::drereadnotices, C::frereadnotices, '8', u"ERROR: Reread default list of notices",
     u"ERROR: Read list of notices: "},
    {C::drereadintflags, C::frereadintflags, 't', u"ERROR: Reread default internal flags file",
     u"ERROR: Reread internal flags file "},
};

// A converter for a name of the list; none for an empty name.
std::unique_ptr<TAnsiUnicodeConverter> MakeConverter(std::u16string_view aName,
                                                     const TCharsetsCodeList* aCodeList) {
    if (TrimBlanksViewW(aName).empty()) return nullptr;
    auto conv = std::make_unique<TAnsiUnicodeConverter>();
    conv->SetCharsetsCodeList(aCodeList);
    conv->SetCharsetName(aName);
    return conv;
}

std::string ToConsole(const TAnsiUnicodeConverter* aConv, std::u16string_view aText) {
    return aConv ? aConv->UnicodeToAnsi(aText) : UnicodeToSysAnsiStr(aText);
}

std::u16string Widen(std::string_view aBytes) {
    std::u16string t;
    t.reserve(aBytes.size());
    for (char c : aBytes) t.push_back(char16_t(uint8_t(c)));
    return t;
}

std::u16string Decode(std::string_view aBytes, bool aUtf8, const TAnsiUnicodeConverter* aConv) {
    if (aUtf8) return Utf8BufToUnicodeLenient(aBytes.data(), int(aBytes.size()));
    if (aConv) return aConv->AnsiToUnicode(aBytes);
    return Widen(aBytes);
}

[[noreturn]] void RaiseInvalidLine() {
    throw Exception(std::string_view("Invalid format client line"));
}

// Reads one F field of an answer line; false when it does not fit.
bool ReadField(std::string_view& aRest, std::string_view& aField) {
    const char* p = aRest.data();
    int32_t remain = int32_t(aRest.size());
    int32_t len = 0;
    if (!ReadHexLen(p, remain, len)) return false;
    aField = std::string_view(p, size_t(len));
    aRest = std::string_view(p + len, size_t(remain - len));
    return true;
}

bool ParseCount(std::string_view aLine, int32_t& aCount) {
    const std::string_view t = TrimBlanksViewA(aLine);
    if (t.empty() || t.size() > 9) return false;
    int32_t n = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    aCount = n;
    return true;
}

// One info line: the fields the printed line may show.
struct TInfo {
    char Privilege = '0';
    std::string_view Address, Email, Ext, IntFlags;
    std::vector<std::string_view> ManagerIds;
};

bool ParseInfo(std::string_view aLine, TInfo& aInfo) {
    if (aLine.empty() || aLine[0] < '0' || aLine[0] > '3') return false;
    aInfo.Privilege = aLine[0];
    std::string_view rest = aLine.substr(1);
    if (!ReadField(rest, aInfo.Address) || !ReadField(rest, aInfo.Email)) return false;
    const char* p = rest.data();
    int32_t remain = int32_t(rest.size());
    uint8_t m = 0;
    if (!ReadHexByte(p, remain, m)) return false;
    rest = std::string_view(p, size_t(remain));
    aInfo.ManagerIds.resize(m);
    for (auto& id : aInfo.ManagerIds)
        if (!ReadField(rest, id)) return false;
    return ReadField(rest, aInfo.Ext) && ReadField(rest, aInfo.IntFlags);
}

}  // namespace

bool BuildChannelRequest(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& o,
                         TQORChannelRequest& aRequest) {
    TQORChannelRequest r;
    const std::u16string& p2 = o.sclo_Par2;
    const std::u16string& p3 = o.sclo_Par3;
    const std::u16string& p4 = o.sclo_Par4;
    const std::u16string& p5 = o.sclo_Par5;
    auto set = [&](std::string aLine, std::u16string_view aTitle,
                   TQORChannelPrint aPrint = cpr_None, bool aList = false) {
        r.Line = "00" + aLine + "\r\n";
        r.Title = std::u16string(aTitle);
        r.Print = aPrint;
        r.List = aList || aPrint != cpr_None;
    };
    const std::string mode = "0" + Digit(int32_t(o.sclo_ManagerMode));
    switch (aCommand) {
        case C::managers: set("r:00", u"ERROR: get managers status", cpr_LinesSystem); break;
        case C::managerauthenable:
            set("s:" + Digit(o.sclo_ManagerIndex) + "1", u"ERROR: Enable manager auth by index");
            break;
        case C::managerauthdisable:
            set("s:" + Digit(o.sclo_ManagerIndex) + "0", u"ERROR: Disable manager auth by index");
            break;
        case C::dsetloglevelmanidx:
            set("p:" + I(uint32_t(o.sclo_ManagerIndex)) + I(uint32_t(o.sclo_LogLevel)),
                u"ERROR: Set manager log level");
            break;
        case C::dsetmanpassidx:
            set("1:" + F(DecimalW(o.sclo_ManagerIndex)) + F(p3),
                u"ERROR: Set password for manager by index");
            break;
        case C::dsetmanemailidx:
            set("d:" + F(DecimalW(o.sclo_ManagerIndex)) + F(p3),
                u"ERROR: Set email for manager by index");
            break;
        case C::dsetmanpassaddr:
            set("2:" + F(p2) + F(p3), u"ERROR: Set password for manager");
            break;
        case C::dsetmanpassaddremail:
            set("c:" + F(p2) + F(p3) + F(p4), u"ERROR: Set password for manager");
            break;
        case C::drereadall: set("9:00", u"ERROR: Reread all default files"); break;
        case C::memoryreport: set("A:0000", u"ERROR: Memory report", cpr_LinesConsole); break;
        case C::dservmanmode: set("N:" + mode, u"ERROR: server manager mode"); break;
        case C::dnetmanmode: set("O:" + F(p3) + mode, u"ERROR: network manager mode"); break;
        case C::flushdata: set("Q:00", u"ERROR: flush data"); break;
        case C::threads:
            set("P:00", u"ERROR: Number of client connections on worker threads", cpr_Threads);
            break;
        case C::list:
            // With -n the list of one network, reported as that command is.
            if (o.sclo_NetOpt)
                set("C:" + F(o.sclo_NetworkNameU), u"ERROR: List of clients for the network",
                    cpr_ClientList);
            else
                set("C:00", u"ERROR: List of clients for the whole server", cpr_ClientList);
            break;
        case C::listnet:
            set("C:" + F(p2), u"ERROR: List of clients for the network", cpr_ClientList);
            break;
        case C::disconnectmanidx:
            set("Y:0" + Digit(o.sclo_ManagerIndex), u"ERROR: disconnect manager by index");
            break;
        case C::disconnectmanaddr:
            set("Z:" + F(p2) + F(u"0"), u"ERROR: disconnect manager by address");
            break;
        case C::setloglevel: set("b:00" + F(DecimalW(o.sclo_LogLevel)), u"ERROR: log level"); break;
        case C::setnetloglevel:
            set("b:" + F(p3) + F(DecimalW(o.sclo_LogLevel)), u"ERROR: network log level");
            break;
        case C::disconnectall: set("T:0000", u"ERROR: disconnect all"); break;
        case C::disconnectnet: set("T:" + F(p2) + "00", u"ERROR: disconnect network"); break;
        case C::disconnectclient: set("T:" + F(p3) + F(p2), u"ERROR: disconnect client"); break;
        case C::setintflags:
        case C::clearintflags:
            set(std::string("i:") + (aCommand == C::setintflags ? "01" : "00") + F(p2) + F(p3) +
                    F(p4),
                u"ERROR: Set/clear internal client flags");
            break;
        case C::getintflags:
            set("i:02" + F(p2) + F(p3), u"ERROR: getintflags", cpr_LinesSystem);
            break;
        case C::listintflags: set("i:03", u"ERROR: listintflags", cpr_LinesSystem); break;
        case C::sendhugesound: set("m:" + F(p2) + F(p3), u"ERROR: send huge sound"); break;
        // Only the queries are list exchanges: the switches answer one word.
        case C::connenable: set("K:" + F(p2) + "1", u"ERROR: Enable to connect listed only"); break;
        case C::conndisable:
            set("K:" + F(p2) + "0", u"ERROR: Disable to connect listed only");
            break;
        case C::connstatus: set("K:" + F(p2) + "?", u"ERROR: conn status", cpr_LinesConsole); break;
        case C::talkenable: set("L:" + F(p2) + "1", u"ERROR: Enable to speak marked only"); break;
        case C::talkdisable: set("L:" + F(p2) + "0", u"ERROR: Disable to speak marked only"); break;
        case C::talkstatus: set("L:" + F(p2) + "?", u"ERROR: talk status", cpr_LinesConsole); break;
        case C::move:
            set("S:" + F(p2) + F(p3) + F(p4) +
                    I(o.sclo_TimeOpt ? uint32_t(o.sclo_TimeInterval) : 0u),
                u"ERROR: move client");
            break;
        case C::movetemp:
            set("S:" + F(p3) + F(p4) + F(p5) + I(uint32_t(o.sclo_TimeInterval)),
                u"ERROR: temp move client");
            break;
        case C::rightadd: set("G:" + F(p3) + F(p2) + "1", u"ERROR: Right add"); break;
        case C::rightdel: set("G:" + F(p3) + F(p2) + "0", u"ERROR: Right delete"); break;
        case C::rightmark: set("H:" + F(p3) + F(p2) + "1", u"ERROR: Right mark"); break;
        case C::rightunmark: set("H:" + F(p3) + F(p2) + "0", u"ERROR: Right unmark"); break;
        case C::adminadd: set("F:" + F(p3) + F(p2) + "1", u"ERROR: Admin add"); break;
        case C::admindel: set("F:" + F(p3) + F(p2) + "0", u"ERROR: Admin delete"); break;
        case C::mute:
            set("D:" + F(p3) + SecondsField(o.sclo_TimeOpt ? o.sclo_TimeInterval : 0) + F(p2) + "1",
                u"ERROR: Mute client");
            break;
        case C::mutetemp:
            set("D:" + F(p4) + SecondsField(o.sclo_TimeInterval) + F(p3) + "1",
                u"ERROR: Temporary mute client");
            break;
        case C::unmute: set("D:" + F(p3) + "00" + F(p2) + "0", u"ERROR: Unmute client"); break;
        // A block from the command line is always permanent; -t is not used.
        case C::block: set("E:" + F(p3) + "00" + F(p2) + "1", u"ERROR: Block client"); break;
        case C::blocktemp:
            set("E:" + F(p4) + SecondsField(o.sclo_TimeInterval) + F(p3) + "1",
                u"ERROR: Temporary block client");
            break;
        case C::unblock: set("E:" + F(p3) + "00" + F(p2) + "0", u"ERROR: Unblock client"); break;
        case C::noticeset:
            set("I:" + F(p3) + F(NoticeText(p2)), u"ERROR: set access info notice");
            break;
        case C::noticeclear: set("J:" + F(p2), u"ERROR: clear access info notice"); break;
        case C::dreopenlog: set("M:00", u"ERROR: reopen log"); break;
        case C::dstop: set("B:00", u"ERROR: stop"); break;
        case C::uptime: set("R:00", u"ERROR: uptime", cpr_LinesSystem); break;
        case C::logtext: set("W:" + F(LogText(p2)), u"ERROR: log text"); break;
        case C::dpid: set("X:00", u"ERROR: dpid", cpr_LinesSystem); break;
        default: {
            bool found = false;
            for (const TReread& rr : kRereads) {
                if (aCommand == rr.Direct) {
                    set(std::string(1, rr.Code) + ":00", rr.DirectTitle);
                } else if (aCommand == rr.FromFile) {
                    set(std::string(1, rr.Code) + ":" + F(p2), Quoted(rr.FileTitle, p2));
                } else {
                    continue;
                }
                found = true;
                break;
            }
            if (!found) return false;
        }
    }
    aRequest = std::move(r);
    return true;
}

void ParseClientListItem(std::string_view aLine, TQORClientRec& aRec,
                         const TAnsiUnicodeConverter* aConverter) {
    ClearClientRec(aRec);
    if (aLine.size() < 2) throw Exception(std::string_view("Data is too short"));
    const char* p = aLine.data();
    int32_t remain = int32_t(aLine.size());
    uint8_t status = 0;
    if (!ReadHexByte(p, remain, status) || (status & 0x03) == 3 || ((status >> 4) & 0x03) == 3)
        throw Exception(std::string_view("Invalid status"));
    aRec.cr_Status = TQORVisibleStatus(status & 0x03);
    aRec.cr_ListenOnly = (status & 0x04) != 0;
    aRec.cr_Muted = (status & 0x08) != 0;
    aRec.cr_ClientType = TQORClientType((status >> 4) & 0x03);
    aRec.cr_Unicode = (status & 0x80) != 0;
    while (remain > 0) {
        const char type = *p++;
        --remain;
        uint32_t len = 0;
        if (!ReadHexLenInt(p, remain, len)) throw Exception(std::string_view("Invalid TLV"));
        if (len > uint32_t(remain)) RaiseInvalidLine();
        const std::string_view bytes(p, len);
        p += len;
        remain -= int32_t(len);
        std::u16string* target = nullptr;
        switch (type) {
            case '2': target = &aRec.cr_CallsignOpname; break;
            case '3': target = &aRec.cr_BandChannel; break;
            case '4': target = &aRec.cr_Description; break;
            case '5': target = &aRec.cr_Country; break;
            case '6': target = &aRec.cr_CityCityPart; break;
            case '8': target = &aRec.cr_ClientIdU; break;
            default: break;
        }
        if (target) *target = Decode(bytes, aRec.cr_Unicode, aConverter);
    }
    if (remain != 0) RaiseInvalidLine();
}

int FormatClientList(const TQORChannelCommandAnswerList& aList,
                     const TQORSVCCommandLineOptions& o, std::u16string_view aConsoleCharset,
                     const TCharsetsCodeList* aCodeList, std::string& aOut,
                     std::u16string& aError) {
    static constexpr std::u16string_view kInvalid = u"Invalid format client line";
    try {
        const std::unique_ptr<TAnsiUnicodeConverter> console =
            MakeConverter(aConsoleCharset, aCodeList);
        std::unique_ptr<TAnsiUnicodeConverter> netConv;
        std::u16string prevCharset;
        const std::u16string delim(1, o.sclo_ListDelimiter);
        size_t i = 0;
        while (i < aList.size()) {
            std::string_view rest = aList[i];
            std::string_view fName, fCharset, fParrot;
            if (!ReadField(rest, fName) || !ReadField(rest, fCharset) ||
                !ReadField(rest, fParrot)) {
                aError = kInvalid;
                return 3;
            }
            const std::u16string netName = Utf8BufToUnicodeLenient(fName.data(), int(fName.size()));
            const std::u16string charset =
                Utf8BufToUnicodeLenient(fCharset.data(), int(fCharset.size()));
            const std::u16string parrot =
                Utf8BufToUnicodeLenient(fParrot.data(), int(fParrot.size()));
            int32_t n = 0;
            if (i + 1 >= aList.size() || !ParseCount(aList[i + 1], n) ||
                size_t(n) * 2 > aList.size() - i - 2) {
                aError = kInvalid;
                return 3;
            }
            const size_t items = i + 2;
            const size_t infos = items + size_t(n);
            i = infos + size_t(n);

            TQORClientRec rec;
            int32_t shown = 0;
            for (int32_t j = 0; j < n; ++j) {
                ParseClientListItem(aList[items + j], rec, nullptr);
                if (rec.cr_ClientIdU != parrot) ++shown;
            }
            if (shown == 0 && !o.sclo_Empty) continue;
            if (charset != prevCharset) {
                netConv = MakeConverter(charset, aCodeList);
                prevCharset = charset;
            }
            if (!o.sclo_Flat) aOut += ToConsole(console.get(), netName + u":") + "\r\n";
            for (int32_t j = 0; j < n; ++j) {
                ParseClientListItem(aList[items + j], rec, netConv.get());
                if (rec.cr_ClientIdU == parrot) continue;
                TInfo info;
                if (!ParseInfo(aList[infos + j], info)) {
                    aError = kInvalid;
                    return 3;
                }
                std::u16string line = o.sclo_Flat ? netName + delim : std::u16string(u"    ");
                line += rec.cr_CallsignOpname + delim + rec.cr_CityCityPart + delim +
                        rec.cr_BandChannel + delim + rec.cr_Description + delim + rec.cr_Country;
                if (o.sclo_Email) line += delim + Decode(info.Email, false, netConv.get());
                if (o.sclo_Ip) line += delim + Widen(info.Address);
                if (o.sclo_ServerId) line += delim + rec.cr_ClientIdU;
                if (o.sclo_ManagerId) {
                    line += delim;
                    bool first = true;
                    for (size_t k = 0; k < info.ManagerIds.size(); ++k) {
                        if (info.ManagerIds[k].empty()) continue;
                        if (!first) line += u",";
                        first = false;
                        line += DecimalW(int64_t(k)) + u"=" + Widen(info.ManagerIds[k]);
                    }
                }
                if (o.sclo_Proto) {
                    static constexpr char16_t kStatus[] = u"ang";
                    static constexpr char16_t kType[] = u"CGP";
                    static constexpr char16_t kPriv[] = u".ANS";
                    line += delim;
                    line += kStatus[rec.cr_Status];
                    line += kType[rec.cr_ClientType];
                    line += rec.cr_Muted ? u'M' : u'.';
                    line += rec.cr_ListenOnly ? u'L' : u'.';
                    line += kPriv[info.Privilege - '0'];
                    line += u"/" + Widen(info.Ext) + u"/" + Widen(info.IntFlags);
                }
                aOut += ToConsole(console.get(), line) + "\r\n";
            }
        }
    } catch (const Exception& e) {
        aError = e.Message();
        return 3;
    }
    return 0;
}

std::string FormatAnswerLines(const TQORChannelCommandAnswerList& aList,
                              const TCharsetsCodeList* aCodeList,
                              std::u16string_view aCharsetName) {
    std::unique_ptr<TAnsiUnicodeConverter> conv;
    try {
        conv = MakeConverter(aCharsetName, aCodeList);
    } catch (const Exception&) {
        // An unknown name prints in the default set: the answer still arrives.
    }
    std::string out;
    for (const std::string& line : aList)
        out += ToConsole(conv.get(), Utf8BufToUnicodeLenient(line.data(), int(line.size()))) +
               "\r\n";
    return out;
}

std::string FormatThreadsList(const TQORChannelCommandAnswerList& aList) {
    std::string out;
    for (size_t i = 0; i < aList.size(); ++i)
        out += "Working thread #" + std::to_string(i) + ": " + aList[i] + " connection(s)\r\n";
    return out;
}

int RunChannelCommand(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& aOptions,
                      const TQORCommandChannelParams& aChannel, const TQORConsoleOutput& aOutput) {
    TQORChannelRequest req;
    if (!BuildChannelRequest(aCommand, aOptions, req))
        throw Exception(std::string_view("Not a command-channel command"));
    TQORChannelCommandAnswer answer = fsca_NoAnswer;
    TQORChannelCommandAnswerList list;
    const int err = req.List ? ChannelSendCommandList(aChannel, req.Line, answer, list)
                             : ChannelSendCommand(aChannel, req.Line, answer);
    const int code = PrintChannelOutcome(err, answer, req.Title, aOutput.ConsoleCharset,
                                         aOutput.CodeList, aOutput.Err);
    if (code != 0 || req.Print == cpr_None) return code;
    std::string text;
    int result = 0;
    std::u16string error;
    switch (req.Print) {
        case cpr_LinesSystem:
            text = FormatAnswerLines(list, aOutput.CodeList, aOutput.SystemCharset);
            break;
        case cpr_LinesConsole:
            text = FormatAnswerLines(list, aOutput.CodeList, aOutput.ConsoleCharset);
            break;
        case cpr_Threads: text = FormatThreadsList(list); break;
        case cpr_ClientList:
            result = FormatClientList(list, aOptions, aOutput.ConsoleCharset, aOutput.CodeList,
                                      text, error);
            break;
        case cpr_None: break;
    }
    if (result != 0) text += UnicodeToOemStr(u"ERROR: " + error) + "\r\n";
    std::fwrite(text.data(), 1, text.size(), aOutput.Out);
    std::fflush(aOutput.Out);
    return result;
}

}  // namespace gax
