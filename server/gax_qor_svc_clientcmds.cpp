#include "server/gax_qor_svc_clientcmds.h"

#include <array>
#include <cstring>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_clientfacts.h"
#include "server/gax_qor_svc_networks_list.h"

namespace gax {

using enum TQORServNetworkCommand;

namespace {

using Cause = TQORSVCDisconnectCause;
using Action = TQORClientCmdAction;

constexpr uint32_t kRightMute = 0x1;   // MC, UM, BC, UC
constexpr uint32_t kRightAdmin = 0x2;  // AA, DA
constexpr uint32_t kOwnerClassMask = 0x60000;
constexpr uint32_t kOwnerClass = 0x40000;
constexpr int32_t kTagCapacity = 10;
constexpr int32_t kTagCapacityTM = 8;

struct Line {
    char* p;
    int32_t len;
    std::string_view View() const { return {p, static_cast<size_t>(len)}; }
    bool StartsWith(std::string_view s) const {
        return static_cast<size_t>(len) >= s.size() && std::memcmp(p, s.data(), s.size()) == 0;
    }
};

std::u16string Escaped(const Line& aLine) { return EscapeCtrlBytesBuf(aLine.p, aLine.len); }

TQORClientCmdOutcome Fail(std::u16string aText, Cause aCause = Cause::fsdc_DisconnectWithoutAuth) {
    TQORClientCmdOutcome o;
    o.Action = Action::Fail;
    o.Cause = aCause;
    o.CmdErr = std::move(aText);
    return o;
}

TQORClientCmdOutcome FailText(std::u16string_view aPrefix, const Line& aLine,
                              Cause aCause = Cause::fsdc_DisconnectWithoutAuth) {
    std::u16string t(aPrefix);
    t += Escaped(aLine);
    return Fail(std::move(t), aCause);
}

// "prefix" + "\"" + line + "\"".
TQORClientCmdOutcome FailQuoted(std::u16string_view aPrefix, const Line& aLine,
                                Cause aCause = Cause::fsdc_DisconnectWithoutAuth) {
    std::u16string t(aPrefix);
    t += u'"';
    t += Escaped(aLine);
    t += u'"';
    return Fail(std::move(t), aCause);
}

TQORClientCmdOutcome Accept() {
    TQORClientCmdOutcome o;
    o.Action = Action::None;
    return o;
}

TQORClientCmdOutcome Post(const TQORClientCmdView& aView, TQORServNetworkCommand aCmd) {
    TQORClientCmdOutcome o;
    o.Action = Action::Post;
    o.Rec = std::make_unique<TQORSVCNetQueueRecord>();
    o.Rec->nqr_Cmd = aCmd;
    o.Rec->nqr_Context = aView.Self.Ctx;
    o.Rec->nqr_GlobalKey = aView.Self.Key;
    return o;
}

std::string_view Trimmed(std::string_view s) { return TrimBlanksViewA(s); }

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
    return s;
}

std::string_view CutBytes(std::string_view s, size_t n) { return s.substr(0, std::min(s.size(), n)); }

std::string_view CutChars(std::string_view s, int32_t aChars) {
    const int n = Utf8PrefixByteLen(s.data(), static_cast<int>(s.size()), aChars);
    return s.substr(0, static_cast<size_t>(n));
}

// A decimal integer >= 0 that fits in 31 bits.
bool ParseSeconds(std::string_view s, int32_t& aOut) {
    if (s.empty() || s.size() > 10) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > INT32_MAX) return false;
    aOut = static_cast<int32_t>(v);
    return true;
}

struct Tags {
    std::array<TQORTagItemRec, kTagCapacity> items{};
    TQORTagParseRec rec{};
    int result = 0;

    Tags(const Line& aLine, int32_t aFrom, int32_t aCapacity, bool aNoDuplicates) {
        rec.Items = items.data();
        rec.Data = aLine.p + aFrom;
        rec.DataLen = aLine.len - aFrom;
        rec.Flags = QOR_TAGPARSE_CTRL_ERROR | (aNoDuplicates ? QOR_TAGPARSE_NO_DUPLICATES : 0);
        rec.Capacity = aCapacity;
        result = ParseTagList(rec);
    }
    const TQORTagItemRec* Find(std::string_view aName) const { return FindTag(rec, aName); }
};

std::string BuildFrame(bool aUtf8, std::string_view aId, std::string_view aText, bool aPrivate) {
    return BuildTextMessageFrame(aUtf8, aId, aText, aPrivate);
}

// ---- TM / TME ---------------------------------------------------------------

TQORClientCmdOutcome CmdTM(const TQORClientCmdView& aView, const Line& aLine) {
    Tags tags(aLine, 3, kTagCapacityTM, true);
    auto fail = [&](int aCode) {
        std::u16string t(u"invalid message command: ");
        t += TagParseErrorText(aCode);
        t += u": ";
        t += Escaped(aLine);
        return Fail(std::move(t));
    };
    if (tags.result <= 0) return fail(tags.result);
    const TQORTagItemRec* ms = tags.Find("MS");
    if (ms == nullptr) return fail(tags.result);
    std::string_view to;
    if (const TQORTagItemRec* id = tags.Find("ID")) {
        to = Trimmed(id->Value());
        if (!to.empty() && !IsValidSourceIdStr(to)) return fail(tags.result);
    }
    if ((aView.Ctx2Flags & 0x04) != 0) return Accept();
    const std::string_view text = TrimRight(CutBytes(ms->Value(), kQORMaxMessageBytes));
    auto o = Post(aView, snc_MessageV0);
    if (!to.empty()) o.Rec->nqr_DataS1.assign(to);
    o.Rec->nqr_DataS2 = BuildFrame(false, aView.ClientId, text, !to.empty());
    o.Rec->nqr_DataI0 = static_cast<int32_t>(o.Rec->nqr_DataS2.size()) - 3;
    return o;
}

// Reads one hex-length field inside the line (false when it runs past the end).
bool ReadField(const char*& aCur, int32_t& aRemain, std::string_view& aOut) {
    int32_t n = 0;
    if (!ReadHexLen(aCur, aRemain, n)) return false;
    aOut = std::string_view(aCur, static_cast<size_t>(n));
    aCur += n;
    aRemain -= n;
    return true;
}

TQORClientCmdOutcome CmdTME(const TQORClientCmdView& aView, const Line& aLine) {
    constexpr std::u16string_view kText = u"invalid message(EXT) command: ";
    if (aLine.len < 10 || HasControlBytes(aLine.p, aLine.len))
        return FailQuoted(kText, aLine, Cause::fsdc_InvalidCharacter);
    const char* cur = aLine.p + 4;
    int32_t remain = aLine.len - 4;
    std::string_view id, textA, textU;
    if (!ReadField(cur, remain, id) || !ReadField(cur, remain, textA) ||
        !ReadField(cur, remain, textU))
        return FailQuoted(kText, aLine);
    id = Trimmed(id);
    textA = TrimRight(CutBytes(textA, kQORMaxMessageBytes));
    textU = TrimRight(CutChars(textU, kQORMaxMessageBytes));
    if ((aView.Ctx2Flags & 0x04) != 0) return Accept();
    const std::string frameA = BuildFrame(false, aView.ClientId, textA, !id.empty());
    const std::string frameU = BuildFrame(true, aView.ClientId, textU, !id.empty());
    const size_t offset = (frameA.size() + 3) & ~static_cast<size_t>(3);
    auto o = Post(aView, snc_MessageV1);
    std::string& buf = o.Rec->nqr_DataS2;
    buf.assign(offset + frameU.size(), '\0');
    std::memcpy(buf.data(), frameA.data(), frameA.size());
    std::memcpy(buf.data() + offset, frameU.data(), frameU.size());
    o.Rec->nqr_Socket = offset;
    o.Rec->nqr_DataI0 = static_cast<int32_t>(frameA.size()) - 3;
    o.Rec->nqr_DataI1 = static_cast<int32_t>(offset + frameU.size()) - 3;
    o.Rec->nqr_DataI2 = static_cast<int32_t>(frameA.size());
    if (!id.empty()) o.Rec->nqr_DataS1.assign(id);
    return o;
}

// ---- MC UM BC UC AA DA -------------------------------------------------------

struct IdCmd {
    std::string_view Word;     // two letters
    uint32_t Right;
    TQORServNetworkCommand Cmd;
    bool IdInS2;               // the id goes to nqr_DataS2 (else S1)
    bool HasTime;              // MC, BC
    std::u16string_view Text;  // failure text before the line
};

constexpr std::array<IdCmd, 6> kIdCmds{{
    {"MC", kRightMute, snc_MuteClient, true, true, u"Invalid mute client \"MC\" command: "},
    {"UM", kRightMute, snc_UnmuteClient, false, false, u"Invalid unmute client \"UM\" command: "},
    {"BC", kRightMute, snc_BlockClient, true, true, u"Invalid block client \"BC\" command: "},
    {"UC", kRightMute, snc_UnblockClient, false, false, u"Invalid unblock client \"UC\" command: "},
    {"AA", kRightAdmin, snc_MakeAdmin, true, false, u"Invalid assign admin \"AA\" command: "},
    {"DA", kRightAdmin, snc_DeleteAdmin, false, false, u"Invalid delete admin \"DA\" command: "},
}};

TQORClientCmdOutcome CmdId(const TQORClientCmdView& aView, const Line& aLine, const IdCmd& aCmd) {
    if ((QORRightsOf(aView.Privilege) & aCmd.Right) == 0) {
        std::u16string t(u"Client has no privilege for ");
        t += static_cast<char16_t>(aCmd.Word[0]);
        t += static_cast<char16_t>(aCmd.Word[1]);
        t += u" command";
        return Fail(std::move(t), Cause::fsdc_PrivilegeViolation);
    }
    Tags tags(aLine, 3, kTagCapacity, true);
    if (tags.result == QOR_PARSE_INVALID_CHARACTERS)
        return FailText(aCmd.Text, aLine, Cause::fsdc_InvalidCharacter);
    if (tags.result <= 0) return FailText(aCmd.Text, aLine);
    const TQORTagItemRec* ip = tags.Find("IP");
    if (ip == nullptr) return FailText(aCmd.Text, aLine);
    const std::string_view id = Trimmed(ip->Value());
    if (!IsValidSourceIdStr(id)) return FailText(aCmd.Text, aLine);
    int32_t seconds = 0;
    if (aCmd.HasTime && (aView.GrantedFlags & QOR_EXT_TEMP_MUTE_BLOCK) != 0) {
        if (const TQORTagItemRec* ti = tags.Find("TI")) {
            if (!ParseSeconds(Trimmed(ti->Value()), seconds)) return FailText(aCmd.Text, aLine);
        }
    }
    auto o = Post(aView, aCmd.Cmd);
    (aCmd.IdInS2 ? o.Rec->nqr_DataS2 : o.Rec->nqr_DataS1).assign(id);
    o.Rec->nqr_DataI0 = seconds;
    return o;
}

// ---- owner commands --------------------------------------------------------

bool IsOwner(const TQORClientCmdView& aView) {
    return (aView.CtxFlags & kOwnerClassMask) == kOwnerClass;
}

TQORClientCmdOutcome NotOwner() {
    return Fail(u"Client is not a network owner", Cause::fsdc_PrivilegeViolation);
}

TQORClientCmdOutcome CmdAI(const TQORClientCmdView& aView, const Line& aLine) {
    constexpr std::u16string_view kText = u"Invalid set access info \"AI\" command: ";
    Tags tags(aLine, 3, kTagCapacity, true);
    if (tags.result == QOR_PARSE_INVALID_CHARACTERS)
        return FailText(kText, aLine, Cause::fsdc_InvalidCharacter);
    if (tags.result == 0 || tags.result == QOR_PARSE_INVALID_FORMAT) return FailText(kText, aLine);
    const TQORTagItemRec* sms = tags.Find("SMS");
    if (sms == nullptr) return FailText(kText, aLine);
    auto o = Post(aView, snc_NetworkNotice);
    o.Rec->nqr_DataS1.assign(CutBytes(Trimmed(sms->Value()), kQORMaxMessageBytes));
    return o;
}

TQORClientCmdOutcome CmdAIU(const TQORClientCmdView& aView, const Line& aLine) {
    constexpr std::u16string_view kText = u"Invalid AIU(EXT) command: ";
    if (aLine.len <= 7) return FailText(kText, aLine);
    if (HasControlBytes(aLine.p + 4, aLine.len - 4))
        return FailText(kText, aLine, Cause::fsdc_InvalidCharacter);
    const char* cur = aLine.p + 4;
    int32_t remain = aLine.len - 4;
    std::string_view textA, textU;
    if (!ReadField(cur, remain, textA) || !ReadField(cur, remain, textU) || remain != 0)
        return FailText(kText, aLine);
    if (Utf8CharCount(textU.data(), static_cast<int>(textU.size())) !=
        static_cast<int>(textA.size()))
        return FailText(kText, aLine);
    auto o = Post(aView, snc_NetworkNoticeExt);
    o.Rec->nqr_DataS1.assign(Trimmed(CutBytes(Trimmed(textA), kQORMaxMessageBytes)));
    o.Rec->nqr_DataS2.assign(Trimmed(CutChars(Trimmed(textU), kQORMaxMessageBytes)));
    return o;
}

// AT, DT (aMark false) and ETX, RTX (aMark true).
TQORClientCmdOutcome CmdAccess(const TQORClientCmdView& aView, const Line& aLine,
                               TQORServNetworkCommand aCmd, std::u16string_view aText,
                               int32_t aFrom, bool aMark) {
    Tags tags(aLine, aFrom, kTagCapacity, !aMark);
    if (tags.result == QOR_PARSE_INVALID_CHARACTERS)
        return FailText(aText, aLine, Cause::fsdc_InvalidCharacter);
    if (aMark ? (tags.result == 0 || tags.result == QOR_PARSE_INVALID_FORMAT) : tags.result <= 0)
        return FailText(aText, aLine);
    const TQORTagItemRec* ea = tags.Find("EA");
    const std::string_view email = ea ? Trimmed(ea->Value()) : std::string_view{};
    if (email.empty()) return FailText(aText, aLine);
    std::string_view emailU;
    if (aView.Utf8) {
        if (const TQORTagItemRec* eau = tags.Find("EAU")) emailU = Trimmed(eau->Value());
    }
    auto o = Post(aView, aCmd);
    o.Rec->nqr_DataS1.assign(email);
    o.Rec->nqr_DataS2.assign(emailU);
    if (!aMark) o.Rec->nqr_DataI0 = -1;
    return o;
}

// ---- ST / MVU ----------------------------------------------------------------

TQORClientCmdOutcome CmdST(const TQORClientCmdView& aView, const Line& aLine) {
    constexpr std::u16string_view kText = u"Invalid status command: ";
    if (HasControlBytes(aLine.p, aLine.len))
        return FailQuoted(kText, aLine, Cause::fsdc_InvalidCharacter);
    if (aLine.len != 4 || aLine.p[3] < '0' || aLine.p[3] > '2') return FailQuoted(kText, aLine);
    auto o = Post(aView, snc_VisibleStatus);
    o.Rec->nqr_DataI0 = aLine.p[3] - '0';
    return o;
}

TQORClientCmdOutcome CmdMVU(const TQORClientCmdView& aView, const Line& aLine) {
    constexpr std::u16string_view kText = u"invalid \"move client\" command: ";
    if ((aView.GrantedFlags & QOR_EXT_MOVE_CLIENT) == 0)
        return Fail(u"Client has no privilege for MVU command", Cause::fsdc_PrivilegeViolation);
    if (aLine.len <= 11 || HasControlBytes(aLine.p, aLine.len))
        return FailQuoted(kText, aLine, Cause::fsdc_InvalidCharacter);
    const char* cur = aLine.p + 4;
    int32_t remain = aLine.len - 4;
    std::string_view id, name;
    uint32_t seconds = 0;
    if (!ReadField(cur, remain, id) || !ReadField(cur, remain, name) ||
        !ReadHexLenInt(cur, remain, seconds))
        return FailQuoted(kText, aLine);
    id = Trimmed(id);
    if (Trimmed(name).empty() || seconds > static_cast<uint32_t>(INT32_MAX) ||
        !IsValidSourceIdStr(id) || !IsValidUtf8Str(name))
        return FailQuoted(kText, aLine);
    // Network names are one name whatever the letter case, as in the
    // networks file.
    const std::u16string nameKey = TQORNetworksList::NameKey(Utf8StrToUnicode(name));
    const TQORSVCClientNetwork* target = nullptr;
    if (aView.Service != nullptr) {
        for (int32_t i = 0; i < aView.Service->NetworkCount() && target == nullptr; ++i) {
            const TQORSVCClientNetwork* net = aView.Service->NetworkAt(i);
            if (net != nullptr && TQORNetworksList::NameKey(net->NetNameU()) == nameKey)
                target = net;
        }
    }
    if (target == nullptr) return FailQuoted(kText, aLine);
    auto o = Post(aView, snc_ContextMoveClient);
    o.Rec->nqr_ReceiverObj = target;
    o.Rec->nqr_DataS1.assign(id);
    o.Rec->nqr_DataI0 = static_cast<int32_t>(seconds);
    return o;
}

TQORClientCmdOutcome Invalid(const Line& aLine) { return Fail(Escaped(aLine)); }

}  // namespace

std::string BuildTextMessageFrame(bool aUtf8, std::string_view aSenderId, std::string_view aText,
                                  bool aPrivate) {
    std::string f;
    f.reserve(aSenderId.size() + aText.size() + 11);
    f += static_cast<char>(aUtf8 ? 0x85 : 0x04);
    f += "3\r\n";
    f.append(aSenderId);
    f += "\r\n";
    f.append(aText);
    f += "\r\n";
    f += aPrivate ? 'P' : 'A';
    f += "\r\n";
    return f;
}

TQORClientCmdOutcome ParseClientCommand(const TQORClientCmdView& aView, char* aLine,
                                        int32_t aLen) {
    static char empty = 0;
    const Line line{aLine != nullptr ? aLine : &empty, aLen > 0 ? aLen : 0};
    const std::string_view v = line.View();
    if (line.len == 0 || line.len == 2) return Invalid(line);
    if (line.len == 1) return (v == "P" || v == "-") ? Accept() : Invalid(line);
    if (line.len == 3) {
        TQORClientCmdOutcome o;
        if (v == "TX1") o.Action = Action::SoundLong;
        else if (v == "TX8") o.Action = Action::SoundShort;
        else if (v == "RX0") o.Action = Action::RxRequest;
        else if (v == "TX0") o.Action = Action::TxRequest;
        if (o.Action != Action::Fail) return o;
    }
    for (const IdCmd& c : kIdCmds) {
        if (line.StartsWith(c.Word) && line.len >= 3 && line.p[2] == ':') return CmdId(aView, line, c);
    }
    if (line.StartsWith("ST:")) return CmdST(aView, line);
    if (line.StartsWith("TM:")) return CmdTM(aView, line);
    const bool owner = IsOwner(aView);
    if (line.StartsWith("AI:")) return owner ? CmdAI(aView, line) : NotOwner();
    if (line.StartsWith("AT:"))
        return owner ? CmdAccess(aView, line, snc_RightsAddClient,
                                 u"Invalid add client into access list \"AT\" command: ", 3, false)
                     : NotOwner();
    if (line.StartsWith("DT:"))
        return owner ? CmdAccess(aView, line, snc_RightsDeleteClient,
                                 u"Invalid delete client from access list \"DT\" command: ", 3,
                                 false)
                     : NotOwner();
    if (line.StartsWith("AIU:")) return owner ? CmdAIU(aView, line) : NotOwner();
    if (line.StartsWith("TME:")) return CmdTME(aView, line);
    if (line.StartsWith("MVU:")) return CmdMVU(aView, line);
    if (line.StartsWith("ETX:"))
        return owner ? CmdAccess(aView, line, snc_RightsMarkClient,
                                 u"Invalid enable transmit \"ETX\" command: ", 4, true)
                     : NotOwner();
    if (line.StartsWith("RTX:"))
        return owner ? CmdAccess(aView, line, snc_RightsUnmarkClient, u"Invalid RTX command: ", 4,
                                 true)
                     : NotOwner();
    const bool ena = line.StartsWith("ENA:");
    if (ena || line.StartsWith("TXR:")) {
        // The fifth byte selects; a line that ends before it is no command.
        if (line.len < 5 || (line.p[4] != '0' && line.p[4] != '1')) return Invalid(line);
        if (!owner) return NotOwner();
        const bool on = line.p[4] == '1';
        return Post(aView, ena ? (on ? snc_RightsEnableConnectListedOnly
                                     : snc_RightsDisableConnectListedOnly)
                               : (on ? snc_RightsEnableTalkMarkedOnly
                                     : snc_RightsDisableTalkMarkedOnly));
    }
    return Invalid(line);
}

}  // namespace gax
