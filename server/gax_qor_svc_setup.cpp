#include "server/gax_qor_svc_setup.h"

#include <algorithm>
#include <limits>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_inifile_utf8.h"
#include "foundation/gax_punycode.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_textutils.h"

namespace gax {

namespace {

constexpr std::u16string_view kServer = u"Server";
constexpr std::u16string_view kSystem = u"System";
constexpr int32_t kDefaultServerVersion = 2014004;
// The managers' operator runs its service under this name; a section that
// names no address of its own reaches it.
constexpr std::u16string_view kDefaultManagerHost = u"sysman.qor-network.example";

std::u16string FieldText(std::u16string_view section, std::u16string_view key) {
    std::u16string s = u"[";
    s += section;
    s += u"].";
    s += key;
    return s;
}

bool AllBelow(std::u16string_view s, char16_t limit) {
    return std::all_of(s.begin(), s.end(), [limit](char16_t c) { return c < limit; });
}

// A time text ("1h30m", bare digits = seconds) in seconds; false for a missing,
// empty or unreadable value.
bool ReadTimeSeconds(const TIniFileUTF8& ini, std::u16string_view section, std::u16string_view key,
                     int64_t& seconds) {
    const std::u16string t = ini.ReadString(section, key, u"");
    if (t.empty()) return false;
    TTimeIntervalRec rec;
    if (!ParseTimeInterval(t, rec)) return false;
    seconds = TimeIntervalToSeconds(rec);
    return true;
}

// Every "xn--" label of the narrowed name must decode; a damaged one makes
// the whole name invalid rather than being shown as it stands.
bool XnLabelsDecode(std::string_view name) {
    size_t start = 0;
    while (true) {
        const size_t dot = name.find('.', start);
        const std::string_view label =
            name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (label.size() > 4 && label.substr(0, 4) == "xn--") {
            size_t len = 0;
            if (PunycodeDecode(label.data() + 4, label.size() - 4, len, nullptr) != pc_Success)
                return false;
        }
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

// The address checked and in its display form; an empty one stays empty.
std::u16string ReadPresentServerAddress(const TIniFileUTF8& ini, std::u16string_view section,
                                        std::u16string_view def, bool limitLength) {
    std::u16string v = ini.ReadString(section, u"PresentServerAddress", def);
    // A refused address is left as read, so the message shows the operator's text.
    if (!CheckPresentServerAddress(v, limitLength))
        throw Exception(u"Invalid present server address: " +
                        FieldText(section, u"PresentServerAddress") + u": " + v);
    return v;
}

void CheckCharsetSetting(std::u16string_view name, std::u16string_view section,
                         std::u16string_view key, const TCharsetsCodeList* codeList) {
    if (name.empty()) return;
    std::u16string context = u"Parameter ";
    context += FieldText(section, key);
    TAnsiUnicodeConverter::ValidateCharsetName(name, context, codeList);
}

// Owner ids reduce each character to its low byte, so an owner address with
// a character above ASCII would match an unrelated address.
void CheckOwnerEMail(std::u16string_view email, std::u16string_view section,
                     std::u16string_view key) {
    if (email.empty())
        throw EQORServiceInvalidServerOwnerEMail(
            u"Empty server owner email address in the parameter " + FieldText(section, key));
    if (!AllBelow(email, 0x80))
        throw EQORServiceInvalidServerOwnerEMail(
            u"Invalid server owner email address in the parameter " + FieldText(section, key) +
            u": " + std::u16string(email));
}

void ReadServerSection(const TIniFileUTF8& ini, TQORServiceConfig& c,
                       const TCharsetsCodeList* codeList) {
    TQORSrvServParams& sp = c.ServParams;

    sp.ssp_PresentServerAddr = ReadPresentServerAddress(ini, kServer, u"", true);

    {
        const std::u16string portText = ini.ReadString(kServer, u"PresentServerPort", u"");
        int32_t port;
        if (!TryParsePortText(portText, port))
            throw Exception(u"Invalid server port in the " +
                            FieldText(kServer, u"PresentServerPort") + u" parameter: " + portText);
        sp.PresentServerPort = IntToDecStrW(port);
    }

    if (!TryParseIPVersionText(ini.ReadString(kServer, u"IPVersion", u"46"), c.cfg_ClientIPVersion))
        c.cfg_ClientIPVersion = ipver_46;

    sp.ServerOwnerEMail = ini.ReadString(kServer, u"ServerOwnerEMail", u"");
    CheckOwnerEMail(sp.ServerOwnerEMail, kServer, u"ServerOwnerEMail");

    sp.ssp_PresentServerVersion = ini.ReadInteger(kServer, u"ServerVersion", -1);
    if (sp.ssp_PresentServerVersion < 1) sp.ssp_PresentServerVersion = kDefaultServerVersion;

    {
        const TSynapseListenerIPVersions defVer =
            c.cfg_SystemSupportsIP6 ? c.cfg_ClientIPVersion : ipver_4;
        const std::u16string def =
            sp.PresentServerPort + u"/" + std::u16string(QORWord(QORIPVersionNames, defVer));
        c.ListenServerPorts =
            ParseListenServerPorts(ini.ReadString(kServer, u"ListenServerPorts", def), defVer);
    }

    sp.BackupServerAddr = ini.ReadString(kServer, u"BackupServerAddress", u"");
    if (!sp.BackupServerAddr.empty() && AllBelow(sp.BackupServerAddr, 0x100)) {
        const std::string narrow = UnicodeToByteStr(sp.BackupServerAddr);
        if (XnLabelsDecode(narrow)) sp.BackupServerAddr = IdnDecodeHostName(narrow);
    }

    sp.ssp_BackupServerPort = ini.ReadString(kServer, u"BackupServerPort", u"");
    if (!sp.ssp_BackupServerPort.empty()) {
        int32_t port;
        if (!TryParsePortText(sp.ssp_BackupServerPort, port))
            throw Exception(u"Invalid backup server port on parameter " +
                            FieldText(kServer, u"BackupServerPort") + u": " +
                            sp.ssp_BackupServerPort);
    }

    c.cfg_QORServerCharsetName =
        ini.ReadString(kServer, u"ServerCharsetName", ByteStrToUnicode(DefaultAnsiCharsetName()));
    // "BIN" (raw bytes) is no entry of the list; the converter takes it in any case.
    if (AsciiUpperCaseW(c.cfg_QORServerCharsetName) != u"BIN")
        CheckCharsetSetting(c.cfg_QORServerCharsetName, kServer, u"ServerCharsetName", codeList);

    c.cfg_DefaultCountry = ini.ReadString(kServer, u"DefaultCountry", u"");
    c.LastClientVersion = ini.ReadInteger(kServer, u"LastClientVersion", 0);
    if (c.LastClientVersion < 1) c.LastClientVersion = kDefaultServerVersion;
    c.DisableDUPL = ini.ReadLogical(kServer, u"DisableDUPL", false);
    c.DefaultNetworkName = ini.ReadString(kServer, u"DefaultNetworkName", u"");

    int32_t v = ini.ReadInteger(kServer, u"ClientHandshakeTimeout", 2);
    c.ClientHandshakeTimeout = v <= 0 ? 2 : std::min(v, 20);

    v = ini.ReadInteger(kServer, u"ClientActivityTimeout", 8);
    c.ClientActivityTimeout = v <= 0 ? 8 : std::clamp(v, 3, 30);

    v = ini.ReadInteger(kServer, u"OutputBufferLimit", 131072);
    c.cfg_ServOutputBufferLimit = v <= 0 ? 131072 : std::clamp(v, 4096, 16777216);

    v = ini.ReadInteger(kServer, u"OutputBufferFactor", 3);
    c.cfg_ServOutputBufferFactor = v < 0 ? 3 : (v == 0 ? 1 : std::min(v, 10));

    // A level outside 0..7 would switch client logging off or on beyond its table.
    c.SystemLogClientLevel = std::clamp(ini.ReadInteger(kSystem, u"LogClientLevel", 2), 0, 7);

    c.cfg_ShortFrames = ini.ReadLogical(kServer, u"ShortFrames", true);

    if (!ParseManagerModeText(ini.ReadString(kServer, u"ManagerMode", u"STANDALONE"),
                              c.cfg_ServManagerMode))
        c.cfg_ServManagerMode = smm_Standalone;

    int64_t secs = 300;
    ReadTimeSeconds(ini, kServer, u"MaxSpeechTime", secs);
    c.cfg_ServMaxSpeechTime =
        secs <= 0 ? 300 : static_cast<int32_t>(std::clamp<int64_t>(secs, 10, 1800));

    c.cfg_ServServerInfo = ini.ReadLogical(kServer, u"ServerInfo", true);
    c.cfg_ServNetChangeInfo = ini.ReadLogical(kServer, u"NetChangeInfo", true);

    // Read wide: a value past 32 bits is still a number, clamped like any other.
    c.cfg_ServSpeechPauseTicks = static_cast<TGaxTick32>(
        std::clamp<int64_t>(ini.ReadInt64(kServer, u"SpeechPause", 0), 0, 10000));
    c.cfg_ServQuarantineTicks = static_cast<TGaxTick32>(
        std::clamp<int64_t>(ini.ReadInt64(kServer, u"QuarantineTime", 0), 0, 4000));

    c.cfg_ServSpeechLimit = ini.ReadLogical(kServer, u"SpeechLimit", true);
    c.cfg_ServAlwaysAllowServerOwner = ini.ReadLogical(kServer, u"AlwaysAllowServerOwner", true);
    c.cfg_ServAlwaysAllowNetworkOwner = ini.ReadLogical(kServer, u"AlwaysAllowNetworkOwner", false);
    c.cfg_ServAlwaysAllowAdmin = ini.ReadLogical(kServer, u"AlwaysAllowAdmin", false);
    sp.ssp_ManagerInvalidPasswordScript =
        ini.ReadString(kServer, u"ManagerInvalidPasswordScript", u"");
    sp.ssp_ManagerEmptyDescription = ini.ReadLogical(kServer, u"ManagerEmptyDescription", false);
    sp.ssp_ManagerUnicodeClient = ini.ReadLogical(kServer, u"ManagerUnicodeClient", true);
    sp.ssp_ManagerMultiple = ini.ReadLogical(kServer, u"ManagerMultiple", true);

    secs = 0;
    if (ReadTimeSeconds(ini, kServer, u"ClientSessionMaxTime", secs) && secs > 0)
        c.cfg_ServSessionMaxTime =
            static_cast<int32_t>(std::min<int64_t>(secs, std::numeric_limits<int32_t>::max()));
    else
        c.cfg_ServSessionMaxTime = 0;

    c.cfg_ServLogAdmin = ini.ReadLogical(kServer, u"LogAdmin", true);
    c.cfg_ServTempMuteBlock = ini.ReadLogical(kServer, u"TempMuteBlock", true);
    c.cfg_ServLevelMuteBlock = ini.ReadLogical(kServer, u"LevelMuteBlock", false);
    c.cfg_ServExactMuteBlock = ini.ReadLogical(kServer, u"ExactMuteBlock", false);
    c.cfg_ServUniqCallsign = ini.ReadLogical(kServer, u"UniqCallsign", false);

    v = ini.ReadInteger(kServer, u"MaxWaitConnections", 5);
    c.ServMaxWaitConnections = v <= 0 ? 5 : std::clamp(v, 2, 1000);

    c.cfg_ServCorrector1 = ini.ReadLogical(kServer, u"Corrector1", false);
    c.cfg_ServExplicitTxReject = ini.ReadLogical(kServer, u"ExplicitTxReject", false);
    c.cfg_ServConnectScript = ini.ReadString(kServer, u"ConnectScript", u"");

    v = ini.ReadInteger(kServer, u"MaxTotalConnections", 1000);
    c.cfg_ServMaxClientConnectionsTotal = v <= 0 ? 1000 : std::min(v, 1000000);

    v = ini.ReadInteger(kServer, u"LimitConnectionsOverhead", 3);
    c.cfg_LimitConnectionsOverhead = v < 0 ? 3 : std::min(v, 10);

    v = ini.ReadInteger(kServer, u"MaxConnectionsPerAddress", 8);
    c.cfg_ServMaxClientConnectionsPerAddress = v < 0 ? -1 : std::min(v, 100000);

    v = ini.ReadInteger(kServer, u"MaxConnectionsPerAddressPerMeasureTime", 150);
    c.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime =
        v < 0 ? 150 : (v == 0 ? 1 : std::min(v, 600));

    v = ini.ReadInteger(kServer, u"MaxConnectionsPerAddressMeasureTime", 30);
    c.cfg_ServMaxClientConnectionsPerAddressMeasureTime = v < 0 ? 30 : (v < 5 || v > 60 ? 60 : v);

    v = ini.ReadInteger(kServer, u"AddressCounterHashFactor", 6);
    c.cfg_ServAddressCounterHashFactor = v <= 0 ? 6 : std::clamp(v, 3, 12);
}

void ReadSystemFirst(const TIniFileUTF8& ini, TQORServiceConfig& c) {
    int32_t v = ini.ReadInteger(kSystem, u"ConnectionsPerThread", 500);
    c.cfg_ConnectionsPerThread = v <= 0 ? 1 : std::min(v, 5000);
    c.cfg_KeepHotWorkerThread = ini.ReadLogical(kSystem, u"KeepHotWorkerThread", false);

    int64_t secs = 60;
    ReadTimeSeconds(ini, kSystem, u"WorkerThreadCacheTime", secs);
    c.cfg_WorkerThreadCacheTime =
        secs <= 0 ? 60 : static_cast<int32_t>(std::clamp<int64_t>(secs, 5, 1800));

    c.ServParams.ssp_LogExec = ini.ReadLogical(kSystem, u"LogExec", true);
    c.ServParams.ssp_LogReopenLog = ini.ReadLogical(kSystem, u"LogReopenLog", true);
    c.ServParams.ssp_LogData = ini.ReadLogical(kSystem, u"LogData", true);
    c.cfg_SystemReopenLogSignal =
        ReopenLogSignalFromText(ini.ReadString(kSystem, u"ReopenLogSignal", u"SIGUSR1"));
}

void ReadManagerSection(const TIniFileUTF8& ini, TQORServiceConfig& c, int index,
                        const TCharsetsCodeList* codeList) {
    const std::u16string_view sec = kQORManagerSectionNames[index];
    const TQORSrvServParams& sp = c.ServParams;
    TQORSvcSysmanParams& m = c.ManagerParams[index];
    m = TQORSvcSysmanParams{};

    m.ssmp_ManagerEnabled = ini.ReadLogical(sec, u"ManagerEnabled", false);
    m.ServerVersion = ini.ReadInteger(sec, u"ServerVersion", sp.ssp_PresentServerVersion);

    m.ManagerPresentServerAddr =
        ReadPresentServerAddress(ini, sec, sp.ssp_PresentServerAddr, false);
    m.ManagerPresentServerPort = ini.ReadString(sec, u"PresentServerPort", sp.PresentServerPort);
    m.ManagerAddress = ini.ReadString(sec, u"ManagerAddress", kDefaultManagerHost);
    m.ManagerPort = IniReadPort(ini, sec, u"ManagerPort", 10025);
    m.ManagerAuthEMail = ini.ReadString(sec, u"ManagerAuthEMail", sp.ServerOwnerEMail);
    m.ManagerAuthPassword = ini.ReadString(sec, u"ManagerAuthPassword", u"");

    int64_t secs = 60;
    ReadTimeSeconds(ini, sec, u"ManagerReconnectInterval", secs);
    m.ManagerReconnectInterval =
        secs <= 0 ? 1 : static_cast<int32_t>(std::min<int64_t>(secs, 3600));

    int32_t v = ini.ReadInteger(sec, u"ManagerDelayAfterConnect", 10);
    m.ManagerDelayAfterConnect = v <= 0 ? 1 : std::min(v, 300);

    m.ManagerSubstituteSource = ini.ReadLogical(sec, u"SubstituteSource", true);
    m.ManagerLogErrors = ini.ReadLogical(sec, u"ManagerLogErrors", true);
    m.ManagerLogDebug = ini.ReadInteger(sec, u"ManagerLogDebug", 0);

    v = ini.ReadInteger(sec, u"ManagerConnectTimeout", 10);
    m.Conn.ServerConnectTimeoutTicks =
        static_cast<TGaxTick32>(v <= 0 ? 10 : std::min(v, 30)) * 1000;
    v = ini.ReadInteger(sec, u"ManagerActivityTimeout", 8);
    m.Conn.ReadTimeoutTicks = static_cast<TGaxTick32>(v <= 0 ? 10 : std::min(v, 30)) * 1000;
    m.Conn.ProxyType = QOR_PROXY_TYPE_NONE;
    m.Conn.CharsetsCodeList = codeList;
    m.Conn.PreferIPv4 = ini.ReadLogical(sec, u"ManagerPreferIPv4", true);

    m.ssmp_ManagerInvalidPasswordScript =
        ini.ReadString(sec, u"ManagerInvalidPasswordScript", sp.ssp_ManagerInvalidPasswordScript);
    m.ssmp_ManagerEmptyDescription =
        ini.ReadLogical(sec, u"ManagerEmptyDescription", sp.ssp_ManagerEmptyDescription);
    m.ssmp_ManagerSuccessAuthScript = ini.ReadString(sec, u"ManagerSuccessAuthScript", u"");
    m.ssmp_ManagerUnicodeClient =
        ini.ReadLogical(sec, u"ManagerUnicodeClient", sp.ssp_ManagerUnicodeClient);
    m.ssmp_ManagerMultiple = ini.ReadLogical(sec, u"ManagerMultiple", sp.ssp_ManagerMultiple);
    m.ssmp_ConfigFileName = sp.ssp_ConfigFileName;

    v = ini.ReadInteger(sec, u"ManagerDelayRequestsTicks", 0);
    m.ssmp_ManagerDelayRequestsTicks = static_cast<TGaxTick32>(std::clamp(v, 0, 20000));

    v = ini.ReadInteger(sec, u"ManagerSendBufferSize", 32768);
    v = v < 0 ? 32768 : std::clamp(v, 4096, 131072);
    m.ssmp_ManagerSendBufferSize = (v + 4095) / 4096 * 4096;

    v = ini.ReadInteger(sec, u"ManagerConfirmEmailToMask", 0);
    m.ssmp_ManagerConfirmEmailToMask = v & 0x0F & ~(1 << index);
    m.ssmp_ManagerConfirmEmailEnabled = ini.ReadLogical(sec, u"ManagerConfirmEmailEnabled", false);
    m.ssmp_ManagerAuthEnabled = ini.ReadLogical(sec, u"ManagerAuthEnabled", true);
}

void ReadSystemRest(const TIniFileUTF8& ini, TQORServiceConfig& c,
                    const TCharsetsCodeList* codeList) {
    c.cfg_TempDir = ini.ReadString(kSystem, u"TempDir", u"");
    c.cfg_DataDirName = ini.ReadString(kSystem, u"DataDir", u"");
    c.cfg_NetworksFileName = ini.ReadString(kSystem, u"NetworksFileName", u"networks.cfg");
    c.cfg_AdminsFileName = ini.ReadString(kSystem, u"AdminsFileName", u"admins.dat");
    c.cfg_MutesFileName = ini.ReadString(kSystem, u"MutesFileName", u"mutes.dat");
    c.cfg_BlocksFileName = ini.ReadString(kSystem, u"BlocksFileName", u"blocks.dat");
    c.cfg_ModesFileName = ini.ReadString(kSystem, u"ModesFileName", u"modes.dat");
    c.cfg_RightsFileName = ini.ReadString(kSystem, u"RightsFileName", u"rights.dat");
    c.cfg_NoticesFileName = ini.ReadString(kSystem, u"NoticesFileName", u"notices.dat");
    c.cfg_OwnerFileName = ini.ReadString(kSystem, u"OwnerFileName", u"owner.dat");
    c.cfg_IntFlagsFileName = ini.ReadString(kSystem, u"IntFlagsFileName", u"intflags.cfg");

    // The console and log of this platform speak UTF-8.
    c.SystemCharsetName = ini.ReadString(kSystem, u"SystemCharsetName", u"UTF-8");
    CheckCharsetSetting(c.SystemCharsetName, kSystem, u"SystemCharsetName", codeList);

    c.cfg_PidFileName = ini.ReadString(kSystem, u"PidFile", u"");
    c.LogFile = ini.ReadString(kSystem, u"LogFile", u"");
    c.cfg_SystemDataChangeScript = ini.ReadString(kSystem, u"DataChangeScript", u"");
    c.cfg_SystemListDelimiter =
        ParseDelimiterCharSpec(ini.ReadString(kSystem, u"ListDelimiter", u";"), u';');
    c.cfg_SystemRereadCompareAttr = ini.ReadLogical(kSystem, u"RereadCompareAttr", true);
}

template <class Match>
TQORSVCManagerSearchResult FindManager(const TQORServiceConfig& c, int32_t& aIndex, Match match) {
    int found = 0;
    int32_t idx = -1;
    for (int i = 0; i < kQORManagerCount; ++i) {
        const TQORSvcSysmanParams& m = c.ManagerParams[i];
        if (m.ssmp_ManagerEnabled && match(m)) {
            ++found;
            idx = i;
        }
    }
    if (found == 0) return TQORSVCManagerSearchResult::fsmsr_NotFound;
    if (found > 1) return TQORSVCManagerSearchResult::fsmsr_FoundTooMany;
    aIndex = idx;
    return TQORSVCManagerSearchResult::fsmsr_Found;
}

}  // namespace

bool CheckPresentServerAddress(std::u16string& aValue, bool aLimitLength) {
    if (aValue.empty()) return true;
    std::u16string candidate = aValue;
    // Only a name that survives narrowing to bytes is narrowed: anything with a
    // character of U+0100 or above would lose its high byte.
    if (AllBelow(aValue, 0x100)) {
        const std::string narrow = UnicodeToByteStr(aValue);
        if (!XnLabelsDecode(narrow)) return false;
        candidate = IdnDecodeHostName(narrow);
        if (AllBelow(candidate, 0x402)) {
            // The limit holds for the name, however it is spelled: its
            // "xn--" form must not pass where its display form is refused.
            if (aLimitLength) {
                const std::string asciiForm = IdnEncodeHostName(candidate);
                if (asciiForm.size() > 63) return false;
            }
            aValue = candidate;
            return true;
        }
    }
    const std::string ascii = IdnEncodeHostName(candidate);
    if (ascii.empty() || IdnDecodeHostName(ascii) != candidate) return false;
    if (aLimitLength && ascii.size() > 63) return false;
    aValue = candidate;
    return true;
}

TQORServiceListenerPortsArray ParseListenServerPorts(std::u16string_view aText,
                                                     TSynapseListenerIPVersions aDefaultVersion) {
    // Blanks around "/" and doubled "/" go, so "10024 / 4" is one entry: a
    // run of blanks, TABs and slashes becomes one "/" when it holds a slash,
    // else one blank. One pass, so a long value cannot stall the start-up.
    std::u16string t;
    t.reserve(aText.size());
    for (size_t k = 0; k < aText.size();) {
        const char16_t ch = aText[k];
        if (ch != u' ' && ch != u'\t' && ch != u'/') {
            t += ch;
            ++k;
            continue;
        }
        bool slash = false;
        for (; k < aText.size() && (aText[k] == u' ' || aText[k] == u'\t' || aText[k] == u'/'); ++k)
            slash = slash || aText[k] == u'/';
        t += slash ? u'/' : u' ';
    }
    TQORServiceListenerPortsArray out;
    size_t i = 0;
    while (i < t.size()) {
        while (i < t.size() && t[i] == u' ') ++i;
        size_t j = i;
        while (j < t.size() && t[j] != u' ') ++j;
        if (j > i) {
            const std::u16string_view entry(t.data() + i, j - i);
            const size_t slash = entry.find(u'/');
            const std::u16string_view portText = entry.substr(0, slash);
            int32_t port;
            TSynapseListenerIPVersions ver = aDefaultVersion;
            bool ok = TryParsePortText(portText, port);
            if (ok && slash != std::u16string_view::npos) {
                const std::u16string_view verText = entry.substr(slash + 1);
                if (!verText.empty()) ok = TryParseIPVersionText(verText, ver);
            }
            if (ok) out.push_back({IntToDecStrW(port), ver});
        }
        i = j;
    }
    return out;
}

void ReadServiceConfigFile(TQORServiceConfig& aConfig, std::u16string_view aFileName,
                           const TCharsetsCodeList* aCodeList) {
    TIniFileUTF8 ini(aFileName, true);
    TQORServiceConfig& c = aConfig;
    c = TQORServiceConfig{};
    // The real probe: without IPv6 the ports and the command channel fall back to IPv4.
    c.cfg_SystemSupportsIP6 = SystemSupportsIP6();
    c.ServParams.ssp_ConfigFileName = std::u16string(aFileName);
    c.cfg_ServerEnabled = true;

    ReadServerSection(ini, c, aCodeList);
    ReadSystemFirst(ini, c);
    for (int i = 0; i < kQORManagerCount; ++i) {
        try {
            ReadManagerSection(ini, c, i, aCodeList);
        } catch (const Exception& e) {
            throw Exception(u"Section [" + std::u16string(kQORManagerSectionNames[i]) + u"]: " +
                            e.Message());
        }
    }
    ReadSystemRest(ini, c, aCodeList);
    ReadCommandChannelParams(ini, u"Command", c.cfg_SystemSupportsIP6, c.cmd_channel);
}

void CheckManagerSections(TQORServiceConfig& aConfig, const TQORConfigLinePrinter& aPrinter) {
    for (int i = 0; i < kQORManagerCount; ++i) {
        TQORSvcSysmanParams& m = aConfig.ManagerParams[i];
        if (!m.ssmp_ManagerEnabled) continue;
        const std::u16string name(kQORManagerSectionNames[i]);
        bool bad = false;
        auto report = [&](std::u16string_view key, std::u16string_view what) {
            bad = true;
            if (aPrinter)
                aPrinter(u"ERROR: Parameter " + std::u16string(key) + u" in section [" + name +
                         u"] " + std::u16string(what));
        };
        if (m.ManagerAddress.empty()) report(u"ManagerAddress", u"is empty");
        if (m.ManagerPort <= 0) report(u"ManagerPort", u"is invalid");
        if (m.ManagerAuthEMail.empty()) report(u"ManagerAuthEMail", u"is empty");
        if (m.ManagerAuthPassword.empty()) report(u"ManagerAuthPassword", u"is empty");
        if (bad) {
            m.ssmp_ManagerEnabled = false;
            if (aPrinter)
                aPrinter(u"WARNING: Section [" + name +
                         u"] is disabled because of configuration errors");
        }
    }
}

TQORSVCManagerSearchResult FindManagerByAddress(const TQORServiceConfig& aConfig,
                                                std::u16string_view aAddress, int32_t& aIndex) {
    return FindManager(aConfig, aIndex, [&](const TQORSvcSysmanParams& m) {
        return SameTextAsciiW(m.ManagerAddress, aAddress);
    });
}

TQORSVCManagerSearchResult FindManagerByAddressEMail(const TQORServiceConfig& aConfig,
                                                     std::u16string_view aAddress,
                                                     std::u16string_view aEMail, int32_t& aIndex) {
    return FindManager(aConfig, aIndex, [&](const TQORSvcSysmanParams& m) {
        return SameTextAsciiW(m.ManagerAddress, aAddress) &&
               SameTextAsciiW(m.ManagerAuthEMail, aEMail);
    });
}

}  // namespace gax
