#include "server/gax_qor_svc_handshake.h"

#include <stdexcept>

#include "protocol/gax_qor_fields.h"
#include "server/gax_qor_svc_context.h"

namespace gax {

namespace {

constexpr uint32_t kGrantUtf8 = 0x08;
constexpr uint32_t kPfBackupAlways = 0x04;
constexpr uint32_t kPfOldOwner = 0x08;

void AddDecimal(FastStringA& aF, int64_t aValue) {
    char buf[24];
    int n = 0;
    uint64_t v = aValue < 0 ? 0 : static_cast<uint64_t>(aValue);
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) aF.AppendChar(buf[--n]);
}

void AddTagNumber(FastStringA& aF, std::string_view aTag, int64_t aValue) {
    aF.AppendChar('<');
    aF.Append(aTag);
    aF.AppendChar('>');
    AddDecimal(aF, aValue);
    aF.Append("</");
    aF.Append(aTag);
    aF.AppendChar('>');
}

char ModeLetter(TQORSystemManagerMode aMode) {
    switch (aMode) {
        case smm_Notify: return 'N';
        case smm_Light: return 'L';
        case smm_QOR: return 'Q';
        default: return 'S';
    }
}

void AddNotice(FastStringA& aF, uint32_t aGranted, const TQORHandshakeNetwork& aNet) {
    if ((aGranted & kGrantUtf8) != 0 && !aNet.NoticeUTF8.empty())
        FastStrAddTag2(aF, "MTT", aNet.NoticeUTF8);
    else
        FastStrAddTag2(aF, "MT", aNet.NoticeA);
}

void AddEnd(FastStringA& aF, const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
            bool aServerInfo) {
    if (aServerInfo) {
        if (aNet.HasNetwork) {
            aF.Append("<EM>");
            aF.AppendChar(ModeLetter(aNet.EffManagerMode));
            aF.Append("</EM>");
        }
        AddTagNumber(aF, "UT", aSrv.UptimeSec);
        aF.Append("<AVR>r7348(2022-10-13)-Win32</AVR>");
    }
    aF.Append("\r\n");
}

}  // namespace

namespace {

// The fields the client sent: the same for either thread's answer.
TQORHandshakeClient ClientTextsOf(const TQORSVCContext& aCtx) {
    TQORHandshakeClient c;
    c.VersionText = aCtx.LastClientVersionA();
    c.LastClientVersion = aCtx.LastClientVersion();
    c.ActLikeServerVersion = aCtx.ActLikeServerVersion();
    c.ProtocolFlags = aCtx.ProtocolFlags();
    c.ClientId = aCtx.CliHashA();
    return c;
}

}  // namespace

TQORHandshakeClient HandshakeClientOf(const TQORSVCContext& aCtx) {
    TQORHandshakeClient c = ClientTextsOf(aCtx);
    c.GrantedFlags = aCtx.CliAnswerExtFlags();
    c.Privilege = aCtx.CliPrivilege;
    return c;
}

TQORHandshakeClient ConnectHandshakeClientOf(const TQORSVCContext& aCtx) {
    TQORHandshakeClient c = ClientTextsOf(aCtx);
    c.GrantedFlags = aCtx.ConnectExtFlags();
    c.Privilege = clpr_USER;
    return c;
}

std::string_view AccessWordOf(TQORClientPrivilege aPriv, uint32_t aProtocolFlags) {
    switch (aPriv) {
        case clpr_USER: return "OK";
        case clpr_ADMIN: return "ADMIN";
        case clpr_NETOWNER: return (aProtocolFlags & kPfOldOwner) != 0 ? "OWNER" : "NETOWNER";
        case clpr_SERVOWNER: return "OWNER";
    }
    return {};
}

void PrepareHandshakeAnswer(FastStringA& aF, const TQORHandshakeClient& aCli,
                            const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                            bool aPositive, std::string_view aAccessWord, bool aServerInfo) {
    aF.Clear();
    const uint32_t granted = aPositive ? aCli.GrantedFlags : (aCli.GrantedFlags & kGrantUtf8);
    // A client whose VX could not be read still gets a version line it parses.
    if (aCli.LastClientVersion == kQORNoClientVersion || aCli.VersionText.empty())
        aF.Append("2014004");
    else
        aF.Append(aCli.VersionText);
    aF.Append("\r\n");
    if (aNet.HasNetwork)
        AddNotice(aF, granted, aNet);
    else
        aF.Append("<MT></MT>");
    AddTagNumber(aF, "SV", aCli.ActLikeServerVersion);
    FastStrAddTag2(aF, "AL", aAccessWord);
    const bool backupAddr = (aCli.ProtocolFlags & kPfBackupAlways) != 0 || !aSrv.BackupAddr.empty();
    const bool backupPort = (aCli.ProtocolFlags & kPfBackupAlways) != 0 || !aSrv.BackupPort.empty();
    FastStrAddTag2(aF, "BN", backupAddr ? aSrv.BackupAddr : aSrv.PresentAddr);
    FastStrAddTag2(aF, "BP", backupPort ? aSrv.BackupPort : aSrv.PresentPort);
    if (granted != 0) AddTagNumber(aF, "SEF", granted);
    if (aPositive) {
        FastStrAddTag2(aF, "ID", aCli.ClientId);
        FastStrAddTag2(aF, "NT", (granted & kGrantUtf8) != 0 ? aNet.NameUTF8 : aNet.NameA);
        if ((granted & QOR_EXT_CACHE_LIST) != 0) aF.Append("<CZ>32</CZ>");
        if (aNet.SpeechLimitSec > 0) AddTagNumber(aF, "TT", aNet.SpeechLimitSec);
    }
    AddEnd(aF, aNet, aSrv, aServerInfo);
}

void PrepareHandshakeAnswerOK(FastStringA& aF, const TQORHandshakeClient& aCli,
                              const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                              bool aServerInfo) {
    const std::string_view word = AccessWordOf(aCli.Privilege, aCli.ProtocolFlags);
    if (word.empty()) throw std::logic_error("Undetected client mode");
    PrepareHandshakeAnswer(aF, aCli, aNet, aSrv, true, word, aServerInfo);
}

TQORRefusal RefusalOf(TClientErrorType aError, bool aDisableDUPL) {
    switch (aError) {
        case TClientErrorType::cet_ERROR:
            return {"BLOCK", TQORSVCDisconnectCause::fsdc_ServerError, true};
        case TClientErrorType::cet_WRONG:
            return {"WRONG", TQORSVCDisconnectCause::fsdc_ServerWrongPasssword, true};
        case TClientErrorType::cet_BLOCK:
            return {"BLOCK", TQORSVCDisconnectCause::fsdc_ServerBlock, true};
        case TClientErrorType::cet_DUPL:
            if (aDisableDUPL) return {"BLOCK", TQORSVCDisconnectCause::fsdc_ServerBlock, true};
            return {"DUPL", TQORSVCDisconnectCause::fsdc_ServerDuplicate, true};
        default:
            return {"BLOCK", TQORSVCDisconnectCause::fsdc_ServInternalError, false};
    }
}

void PrepareHandshakeAnswerError(FastStringA& aF, const TQORHandshakeClient& aCli,
                                 const TQORHandshakeNetwork& aNet,
                                 const TQORHandshakeServer& aSrv, bool aServerInfo,
                                 TClientErrorType aError, bool aDisableDUPL) {
    PrepareHandshakeAnswer(aF, aCli, aNet, aSrv, false, RefusalOf(aError, aDisableDUPL).Word,
                           aServerInfo);
}

void PrepareNetChangeInfo(FastStringA& aF, const TQORHandshakeClient& aCli,
                          const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                          bool aServerInfo) {
    aF.Clear();
    if (!aNet.HasNetwork) return;
    const uint32_t granted = aCli.GrantedFlags;
    aF.AppendChar(static_cast<char>(0x90));
    const std::string_view word = AccessWordOf(aCli.Privilege, aCli.ProtocolFlags);
    if (!word.empty()) FastStrAddTag2(aF, "AL", word);
    if (granted != 0) AddTagNumber(aF, "SEF", granted);
    FastStrAddTag2(aF, "NT", (granted & kGrantUtf8) != 0 ? aNet.NameUTF8 : aNet.NameA);
    FastStrAddTag2(aF, "ID", aCli.ClientId);
    AddNotice(aF, granted, aNet);
    if (aNet.SpeechLimitSec > 0) AddTagNumber(aF, "TT", aNet.SpeechLimitSec);
    AddEnd(aF, aNet, aSrv, aServerInfo);
}

}  // namespace gax
