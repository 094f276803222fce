#include "server/gax_qor_svc_setup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_punycode.h"

using namespace gax;

namespace {

const char kMinimal[] = "[Server]\nPresentServerPort=10024\nServerOwnerEMail=owner@example.org\n";

// The minimal file with one more key under its own section header.
std::string WithKey(const std::string& section, const std::string& key, const std::string& value) {
    return std::string(kMinimal) + "[" + section + "]\n" + key + "=" + value + "\n";
}

class ConfigTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() {
        delete s_Codes;
        s_Codes = nullptr;
    }
    void SetUp() override {
        char tmpl[] = "/tmp/qor_setup_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        f_Dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + f_Dir).c_str()), 0); }

    std::u16string Write(const std::string& text) {
        const std::string path = f_Dir + "/server.ini";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return std::u16string(path.begin(), path.end());
    }
    TQORServiceConfig Load(const std::string& text) {
        TQORServiceConfig c;
        ReadServiceConfigFile(c, Write(text), s_Codes);
        return c;
    }
    // The message of the exception the file raises, with its class name.
    std::string LoadError(const std::string& text, std::string* cls = nullptr) {
        try {
            Load(text);
        } catch (const Exception& e) {
            if (cls) *cls = std::string(e.ClassName().begin(), e.ClassName().end());
            return e.what();
        }
        return "(no error)";
    }

    static TCharsetsCodeList* s_Codes;
    std::string f_Dir;
};
TCharsetsCodeList* ConfigTest::s_Codes = nullptr;

TEST_F(ConfigTest, MinimalFileLoadsWithDefaults) {
    const TQORServiceConfig c = Load(kMinimal);
    EXPECT_TRUE(c.cfg_SystemSupportsIP6);
    EXPECT_TRUE(c.cfg_ServerEnabled);
    ASSERT_EQ(c.ListenServerPorts.size(), 1u);
    EXPECT_EQ(c.ListenServerPorts[0].fslpr_Port, u"10024");
    EXPECT_EQ(c.ListenServerPorts[0].fslpr_IpVer, ipver_46);
    EXPECT_EQ(c.ServParams.PresentServerPort, u"10024");
    EXPECT_EQ(c.ServParams.ServerOwnerEMail, u"owner@example.org");
    EXPECT_EQ(c.ServParams.ssp_PresentServerVersion, 2014004);
    EXPECT_EQ(c.LastClientVersion, 2014004);
    EXPECT_EQ(c.cfg_QORServerCharsetName, u"WINDOWS-1252");
    EXPECT_EQ(c.SystemCharsetName, u"UTF-8");
    EXPECT_EQ(c.cfg_NetworksFileName, u"networks.cfg");
    EXPECT_EQ(c.cfg_IntFlagsFileName, u"intflags.cfg");
    EXPECT_EQ(c.cfg_OwnerFileName, u"owner.dat");
    EXPECT_EQ(c.cfg_SystemListDelimiter, u';');
    EXPECT_EQ(c.cfg_SystemReopenLogSignal, rls_SIGUSR1);
    EXPECT_EQ(c.cfg_ServManagerMode, smm_Standalone);
    EXPECT_EQ(c.cfg_ServAggregateQOR, afm_NO);
    EXPECT_EQ(c.ServParams.ssp_ConfigFileName.substr(c.ServParams.ssp_ConfigFileName.size() - 10),
              u"server.ini");
    EXPECT_TRUE(c.ServParams.ssp_ManagerUnicodeClient);
    EXPECT_TRUE(c.ServParams.ssp_LogExec);
    EXPECT_FALSE(c.cmd_channel.cfg_CmdEnabled);
    EXPECT_EQ(c.cmd_channel.cfg_CmdPort, 10023);
    // Manager sections exist with their defaults, all disabled.
    for (int i = 0; i < kQORManagerCount; ++i) {
        const TQORSvcSysmanParams& m = c.ManagerParams[i];
        EXPECT_FALSE(m.ssmp_ManagerEnabled);
        EXPECT_EQ(m.ManagerPort, 10025);
        EXPECT_EQ(m.ManagerAuthEMail, u"owner@example.org");
        EXPECT_EQ(m.ManagerPresentServerPort, u"10024");
        EXPECT_FALSE(m.ManagerAddress.empty());
        EXPECT_EQ(m.ManagerReconnectInterval, 60);
        EXPECT_EQ(m.Conn.ServerConnectTimeoutTicks, 10000u);
        EXPECT_EQ(m.Conn.ReadTimeoutTicks, 8000u);
        EXPECT_TRUE(m.Conn.PreferIPv4);
        EXPECT_EQ(m.ssmp_ManagerSendBufferSize, 32768);
        EXPECT_TRUE(m.ssmp_ManagerAuthEnabled);
    }
}

struct KeyCase {
    const char* section;
    const char* key;
    const char* value;  // nullptr: key absent (the default)
    std::function<int64_t(const TQORServiceConfig&)> field;
    int64_t expected;
};

#define F(expr) [](const TQORServiceConfig& c) -> int64_t { return static_cast<int64_t>(c.expr); }

TEST_F(ConfigTest, KeyDefaultsClampsAndFallbacks) {
    const std::vector<KeyCase> cases = {
        {"Server", "ClientHandshakeTimeout", nullptr, F(ClientHandshakeTimeout), 2},
        {"Server", "ClientHandshakeTimeout", "0", F(ClientHandshakeTimeout), 2},
        {"Server", "ClientHandshakeTimeout", "50", F(ClientHandshakeTimeout), 20},
        {"Server", "ClientActivityTimeout", nullptr, F(ClientActivityTimeout), 8},
        {"Server", "ClientActivityTimeout", "1", F(ClientActivityTimeout), 3},
        {"Server", "ClientActivityTimeout", "0", F(ClientActivityTimeout), 8},
        {"Server", "ClientActivityTimeout", "31", F(ClientActivityTimeout), 30},
        {"Server", "ClientActivityTimeout", "x", F(ClientActivityTimeout), 8},
        {"Server", "OutputBufferLimit", nullptr, F(cfg_ServOutputBufferLimit), 131072},
        {"Server", "OutputBufferLimit", "1000", F(cfg_ServOutputBufferLimit), 4096},
        {"Server", "OutputBufferLimit", "-5", F(cfg_ServOutputBufferLimit), 131072},
        {"Server", "OutputBufferLimit", "99999999", F(cfg_ServOutputBufferLimit), 16777216},
        {"Server", "OutputBufferFactor", nullptr, F(cfg_ServOutputBufferFactor), 3},
        {"Server", "OutputBufferFactor", "0", F(cfg_ServOutputBufferFactor), 1},
        {"Server", "OutputBufferFactor", "-1", F(cfg_ServOutputBufferFactor), 3},
        {"Server", "OutputBufferFactor", "11", F(cfg_ServOutputBufferFactor), 10},
        {"System", "LogClientLevel", nullptr, F(SystemLogClientLevel), 2},
        {"System", "LogClientLevel", "9", F(SystemLogClientLevel), 7},
        {"System", "LogClientLevel", "-1", F(SystemLogClientLevel), 0},
        {"Server", "ShortFrames", "no", F(cfg_ShortFrames), 0},
        {"Server", "ShortFrames", "maybe", F(cfg_ShortFrames), 1},
        {"Server", "ManagerMode", "q", F(cfg_ServManagerMode), smm_QOR},
        {"Server", "ManagerMode", "2", F(cfg_ServManagerMode), smm_Light},
        {"Server", "ManagerMode", "x", F(cfg_ServManagerMode), smm_Standalone},
        {"Server", "MaxSpeechTime", nullptr, F(cfg_ServMaxSpeechTime), 300},
        {"Server", "MaxSpeechTime", "5m", F(cfg_ServMaxSpeechTime), 300},
        {"Server", "MaxSpeechTime", "1h", F(cfg_ServMaxSpeechTime), 1800},
        {"Server", "MaxSpeechTime", "3", F(cfg_ServMaxSpeechTime), 10},
        {"Server", "MaxSpeechTime", "0", F(cfg_ServMaxSpeechTime), 300},
        {"Server", "MaxSpeechTime", "junk", F(cfg_ServMaxSpeechTime), 300},
        {"Server", "SpeechPause", "20000", F(cfg_ServSpeechPauseTicks), 10000},
        {"Server", "SpeechPause", "-3", F(cfg_ServSpeechPauseTicks), 0},
        {"Server", "SpeechPause", "4294967296", F(cfg_ServSpeechPauseTicks), 10000},
        {"Server", "QuarantineTime", "5000", F(cfg_ServQuarantineTicks), 4000},
        {"Server", "QuarantineTime", "4294967296", F(cfg_ServQuarantineTicks), 4000},
        {"Server", "ClientSessionMaxTime", nullptr, F(cfg_ServSessionMaxTime), 0},
        {"Server", "ClientSessionMaxTime", "1d", F(cfg_ServSessionMaxTime), 86400},
        {"Server", "ClientSessionMaxTime", "100y", F(cfg_ServSessionMaxTime), 2147483647},
        {"Server", "ClientSessionMaxTime", "x", F(cfg_ServSessionMaxTime), 0},
        {"Server", "MaxWaitConnections", nullptr, F(ServMaxWaitConnections), 5},
        {"Server", "MaxWaitConnections", "1", F(ServMaxWaitConnections), 2},
        {"Server", "MaxWaitConnections", "100", F(ServMaxWaitConnections), 100},
        {"Server", "MaxWaitConnections", "0", F(ServMaxWaitConnections), 5},
        {"Server", "MaxWaitConnections", "5000", F(ServMaxWaitConnections), 1000},
        {"Server", "MaxTotalConnections", "0", F(cfg_ServMaxClientConnectionsTotal), 1000},
        {"Server", "MaxTotalConnections", "2000000", F(cfg_ServMaxClientConnectionsTotal), 1000000},
        {"Server", "LimitConnectionsOverhead", "-1", F(cfg_LimitConnectionsOverhead), 3},
        {"Server", "LimitConnectionsOverhead", "20", F(cfg_LimitConnectionsOverhead), 10},
        {"Server", "MaxConnectionsPerAddress", nullptr, F(cfg_ServMaxClientConnectionsPerAddress),
         8},
        {"Server", "MaxConnectionsPerAddress", "-7", F(cfg_ServMaxClientConnectionsPerAddress), -1},
        {"Server", "MaxConnectionsPerAddressPerMeasureTime", "0",
         F(cfg_ServMaxClientConnectionsPerAddressPerMeasureTime), 1},
        {"Server", "MaxConnectionsPerAddressPerMeasureTime", "-1",
         F(cfg_ServMaxClientConnectionsPerAddressPerMeasureTime), 150},
        {"Server", "MaxConnectionsPerAddressMeasureTime", "4",
         F(cfg_ServMaxClientConnectionsPerAddressMeasureTime), 60},
        {"Server", "MaxConnectionsPerAddressMeasureTime", "5",
         F(cfg_ServMaxClientConnectionsPerAddressMeasureTime), 5},
        {"Server", "MaxConnectionsPerAddressMeasureTime", "-1",
         F(cfg_ServMaxClientConnectionsPerAddressMeasureTime), 30},
        {"Server", "AddressCounterHashFactor", "1", F(cfg_ServAddressCounterHashFactor), 3},
        {"Server", "AddressCounterHashFactor", "0", F(cfg_ServAddressCounterHashFactor), 6},
        {"Server", "AddressCounterHashFactor", "13", F(cfg_ServAddressCounterHashFactor), 12},
        {"Server", "ServerVersion", "0", F(ServParams.ssp_PresentServerVersion), 2014004},
        {"Server", "ServerVersion", "2020001", F(ServParams.ssp_PresentServerVersion), 2020001},
        {"Server", "IPVersion", "64", F(cfg_ClientIPVersion), ipver_46},
        {"Server", "IPVersion", "6", F(cfg_ClientIPVersion), ipver_6},
        {"Server", "IPVersion", "5", F(cfg_ClientIPVersion), ipver_46},
        {"System", "ConnectionsPerThread", "0", F(cfg_ConnectionsPerThread), 1},
        {"System", "ConnectionsPerThread", "9000", F(cfg_ConnectionsPerThread), 5000},
        {"System", "WorkerThreadCacheTime", "2", F(cfg_WorkerThreadCacheTime), 5},
        {"System", "WorkerThreadCacheTime", "1h", F(cfg_WorkerThreadCacheTime), 1800},
        {"System", "WorkerThreadCacheTime", "x", F(cfg_WorkerThreadCacheTime), 60},
        {"System", "ReopenLogSignal", "usr2", F(cfg_SystemReopenLogSignal), rls_SIGUSR2},
        {"System", "ListDelimiter", "\\t", F(cfg_SystemListDelimiter), u'\t'},
        {"System", "RereadCompareAttr", "0", F(cfg_SystemRereadCompareAttr), 0},
        {"Manager", "ManagerSendBufferSize", "5000", F(ManagerParams[0].ssmp_ManagerSendBufferSize),
         8192},
        {"Manager", "ManagerSendBufferSize", "-1", F(ManagerParams[0].ssmp_ManagerSendBufferSize),
         32768},
        {"Manager", "ManagerSendBufferSize", "100", F(ManagerParams[0].ssmp_ManagerSendBufferSize),
         4096},
        {"Manager", "ManagerSendBufferSize", "999999",
         F(ManagerParams[0].ssmp_ManagerSendBufferSize), 131072},
        {"Manager2", "ManagerConfirmEmailToMask", "15",
         F(ManagerParams[2].ssmp_ManagerConfirmEmailToMask), 11},
        {"Manager", "ManagerPort", "70000", F(ManagerParams[0].ManagerPort), 10025},
        {"Manager", "ManagerReconnectInterval", "2h", F(ManagerParams[0].ManagerReconnectInterval),
         3600},
        {"Manager", "ManagerReconnectInterval", "0", F(ManagerParams[0].ManagerReconnectInterval),
         1},
        {"Manager", "ManagerDelayAfterConnect", "0", F(ManagerParams[0].ManagerDelayAfterConnect),
         1},
        {"Manager", "ManagerDelayAfterConnect", "999", F(ManagerParams[0].ManagerDelayAfterConnect),
         300},
        {"Manager", "ManagerConnectTimeout", "99",
         F(ManagerParams[0].Conn.ServerConnectTimeoutTicks), 30000},
        {"Manager", "ManagerActivityTimeout", "0", F(ManagerParams[0].Conn.ReadTimeoutTicks),
         10000},
        {"Manager", "ManagerDelayRequestsTicks", "30000",
         F(ManagerParams[0].ssmp_ManagerDelayRequestsTicks), 20000},
        {"Manager3", "ServerVersion", "-4", F(ManagerParams[3].ServerVersion), -4},
    };
    for (const KeyCase& k : cases) {
        const std::string text = k.value ? WithKey(k.section, k.key, k.value) : kMinimal;
        SCOPED_TRACE(std::string(k.section) + "." + k.key + "=" + (k.value ? k.value : "(none)"));
        EXPECT_EQ(k.field(Load(text)), k.expected);
    }
}

// Every logical and text key: its default, and that the value written under
// its own name and section is the one that lands in its field.
TEST_F(ConfigTest, LogicalAndTextKeysReadUnderTheirNames) {
    struct BoolCase {
        const char* section;
        const char* key;
        std::function<bool(const TQORServiceConfig&)> field;
        bool def;
    };
#define B(expr) [](const TQORServiceConfig& c) { return bool(c.expr); }
    const std::vector<BoolCase> bools = {
        {"Server", "DisableDUPL", B(DisableDUPL), false},
        {"Server", "ShortFrames", B(cfg_ShortFrames), true},
        {"Server", "ServerInfo", B(cfg_ServServerInfo), true},
        {"Server", "NetChangeInfo", B(cfg_ServNetChangeInfo), true},
        {"Server", "SpeechLimit", B(cfg_ServSpeechLimit), true},
        {"Server", "AlwaysAllowServerOwner", B(cfg_ServAlwaysAllowServerOwner), true},
        {"Server", "AlwaysAllowNetworkOwner", B(cfg_ServAlwaysAllowNetworkOwner), false},
        {"Server", "AlwaysAllowAdmin", B(cfg_ServAlwaysAllowAdmin), false},
        {"Server", "ManagerEmptyDescription", B(ServParams.ssp_ManagerEmptyDescription), false},
        {"Server", "ManagerUnicodeClient", B(ServParams.ssp_ManagerUnicodeClient), true},
        {"Server", "ManagerMultiple", B(ServParams.ssp_ManagerMultiple), true},
        {"Server", "LogAdmin", B(cfg_ServLogAdmin), true},
        {"Server", "TempMuteBlock", B(cfg_ServTempMuteBlock), true},
        {"Server", "LevelMuteBlock", B(cfg_ServLevelMuteBlock), false},
        {"Server", "ExactMuteBlock", B(cfg_ServExactMuteBlock), false},
        {"Server", "UniqCallsign", B(cfg_ServUniqCallsign), false},
        {"Server", "Corrector1", B(cfg_ServCorrector1), false},
        {"Server", "ExplicitTxReject", B(cfg_ServExplicitTxReject), false},
        {"System", "KeepHotWorkerThread", B(cfg_KeepHotWorkerThread), false},
        {"System", "LogExec", B(ServParams.ssp_LogExec), true},
        {"System", "LogReopenLog", B(ServParams.ssp_LogReopenLog), true},
        {"System", "LogData", B(ServParams.ssp_LogData), true},
        {"System", "RereadCompareAttr", B(cfg_SystemRereadCompareAttr), true},
        {"Manager1", "ManagerEnabled", B(ManagerParams[1].ssmp_ManagerEnabled), false},
        {"Manager1", "SubstituteSource", B(ManagerParams[1].ManagerSubstituteSource), true},
        {"Manager1", "ManagerLogErrors", B(ManagerParams[1].ManagerLogErrors), true},
        {"Manager1", "ManagerPreferIPv4", B(ManagerParams[1].Conn.PreferIPv4), true},
        {"Manager1", "ManagerEmptyDescription", B(ManagerParams[1].ssmp_ManagerEmptyDescription),
         false},
        {"Manager1", "ManagerUnicodeClient", B(ManagerParams[1].ssmp_ManagerUnicodeClient), true},
        {"Manager1", "ManagerMultiple", B(ManagerParams[1].ssmp_ManagerMultiple), true},
        {"Manager1", "ManagerConfirmEmailEnabled",
         B(ManagerParams[1].ssmp_ManagerConfirmEmailEnabled), false},
        {"Manager1", "ManagerAuthEnabled", B(ManagerParams[1].ssmp_ManagerAuthEnabled), true},
    };
#undef B
    const TQORServiceConfig d = Load(kMinimal);
    for (const BoolCase& b : bools) {
        SCOPED_TRACE(std::string(b.section) + "." + b.key);
        EXPECT_EQ(b.field(d), b.def);
        const std::string flipped = WithKey(b.section, b.key, b.def ? "no" : "yes");
        EXPECT_EQ(b.field(Load(flipped)), !b.def);
    }

    struct TextCase {
        const char* section;
        const char* key;
        std::function<std::u16string(const TQORServiceConfig&)> field;
        std::u16string def;
        const char* value;
        std::u16string read;
    };
#define T(expr) [](const TQORServiceConfig& c) { return c.expr; }
    const std::vector<TextCase> texts = {
        {"Server", "DefaultCountry", T(cfg_DefaultCountry), u"", "DE", u"DE"},
        {"Server", "DefaultNetworkName", T(DefaultNetworkName), u"", " Main ", u"Main"},
        {"Server", "ConnectScript", T(cfg_ServConnectScript), u"", "c.sh", u"c.sh"},
        {"Server", "ManagerInvalidPasswordScript", T(ServParams.ssp_ManagerInvalidPasswordScript),
         u"", "p.sh", u"p.sh"},
        {"Server", "BackupServerAddress", T(ServParams.BackupServerAddr), u"", "xn--mnchen-3ya.de",
         u"m\u00FCnchen.de"},
        {"Server", "BackupServerAddress", T(ServParams.BackupServerAddr), u"", "xn--a!b.org",
         u"xn--a!b.org"},
        {"Server", "BackupServerPort", T(ServParams.ssp_BackupServerPort), u"", "0100", u"0100"},
        {"System", "TempDir", T(cfg_TempDir), u"", "/t", u"/t"},
        {"System", "DataDir", T(cfg_DataDirName), u"", "d", u"d"},
        {"System", "NetworksFileName", T(cfg_NetworksFileName), u"networks.cfg", "n", u"n"},
        {"System", "AdminsFileName", T(cfg_AdminsFileName), u"admins.dat", "a", u"a"},
        {"System", "MutesFileName", T(cfg_MutesFileName), u"mutes.dat", "m", u"m"},
        {"System", "BlocksFileName", T(cfg_BlocksFileName), u"blocks.dat", "b", u"b"},
        {"System", "ModesFileName", T(cfg_ModesFileName), u"modes.dat", "o", u"o"},
        {"System", "RightsFileName", T(cfg_RightsFileName), u"rights.dat", "r", u"r"},
        {"System", "NoticesFileName", T(cfg_NoticesFileName), u"notices.dat", "t", u"t"},
        {"System", "OwnerFileName", T(cfg_OwnerFileName), u"owner.dat", "w", u"w"},
        {"System", "IntFlagsFileName", T(cfg_IntFlagsFileName), u"intflags.cfg", "i", u"i"},
        {"System", "SystemCharsetName", T(SystemCharsetName), u"UTF-8", "KOI8-R", u"KOI8-R"},
        {"System", "PidFile", T(cfg_PidFileName), u"", "q.pid", u"q.pid"},
        {"System", "LogFile", T(LogFile), u"", "q.log", u"q.log"},
        {"System", "DataChangeScript", T(cfg_SystemDataChangeScript), u"", "x.sh", u"x.sh"},
        {"Manager3", "PresentServerAddress", T(ManagerParams[3].ManagerPresentServerAddr), u"",
         "m.example.org", u"m.example.org"},
        {"Manager3", "PresentServerPort", T(ManagerParams[3].ManagerPresentServerPort), u"10024",
         "x", u"x"},
        {"Manager3", "ManagerAuthEMail", T(ManagerParams[3].ManagerAuthEMail), u"owner@example.org",
         "m@x.org", u"m@x.org"},
        {"Manager3", "ManagerAuthPassword", T(ManagerParams[3].ManagerAuthPassword), u"", "pw",
         u"pw"},
        {"Manager3", "ManagerAddress", T(ManagerParams[3].ManagerAddress),
         d.ManagerParams[3].ManagerAddress, "h.example.org", u"h.example.org"},
        {"Manager3", "ManagerInvalidPasswordScript",
         T(ManagerParams[3].ssmp_ManagerInvalidPasswordScript), u"", "i.sh", u"i.sh"},
        {"Manager3", "ManagerSuccessAuthScript", T(ManagerParams[3].ssmp_ManagerSuccessAuthScript),
         u"", "s.sh", u"s.sh"},
    };
#undef T
    for (const TextCase& t : texts) {
        SCOPED_TRACE(std::string(t.section) + "." + t.key);
        EXPECT_TRUE(t.field(d) == t.def);
        const std::string set = WithKey(t.section, t.key, t.value);
        EXPECT_TRUE(t.field(Load(set)) == t.read);
    }

    // A manager section takes the [Server] values it does not set itself.
    const TQORServiceConfig m = Load(std::string(kMinimal) +
                                     "ServerVersion=2020001\nManagerInvalidPasswordScript=p.sh\n"
                                     "ManagerUnicodeClient=no\nManagerEmptyDescription=yes\n"
                                     "PresentServerAddress=xn--mnchen-3ya.de\n");
    for (const TQORSvcSysmanParams& s : m.ManagerParams) {
        EXPECT_EQ(s.ServerVersion, 2020001);
        EXPECT_TRUE(s.ssmp_ManagerInvalidPasswordScript == u"p.sh");
        EXPECT_FALSE(s.ssmp_ManagerUnicodeClient);
        EXPECT_TRUE(s.ssmp_ManagerEmptyDescription);
        EXPECT_TRUE(s.ManagerPresentServerAddr == u"m\u00FCnchen.de");
        EXPECT_TRUE(s.ssmp_ConfigFileName == m.ServParams.ssp_ConfigFileName);
    }
}

TEST_F(ConfigTest, FatalErrorsWithTheirTexts) {
    struct ErrCase {
        std::string text;
        const char* message;
        const char* cls;
    };
    const std::string port = "PresentServerPort=10024\n";
    const std::string owner = "ServerOwnerEMail=o@x.org\n";
    const ErrCase cases[] = {
        // Port before owner: the first bad value in reading order wins.
        {"[Server]\n",
         "Invalid server port in the [Server].PresentServerPort parameter: ", "Exception"},
        {"[Server]\n" + owner,
         "Invalid server port in the [Server].PresentServerPort parameter: ", "Exception"},
        {"[Server]\nPresentServerPort=0\n" + owner,
         "Invalid server port in the [Server].PresentServerPort parameter: 0", "Exception"},
        // The address comes first, so its error wins over the missing port.
        {"[Server]\nPresentServerAddress=xn--a!b.org\n",
         "Invalid present server address: [Server].PresentServerAddress: xn--a!b.org", "Exception"},
        {"[Server]\n" + port,
         "Empty server owner email address in the parameter [Server].ServerOwnerEMail",
         "EQORServiceInvalidServerOwnerEMail"},
        {"[Server]\n" + port + "ServerOwnerEMail=\xC3\xA4@x.org\n",
         "Invalid server owner email address in the parameter [Server].ServerOwnerEMail: "
         "\xC3\xA4@x.org",
         "EQORServiceInvalidServerOwnerEMail"},
        {"[Server]\n" + port + owner + "BackupServerPort=99999\n",
         "Invalid backup server port on parameter [Server].BackupServerPort: 99999", "Exception"},
        {"[Server]\n" + port + owner + "ServerCharsetName=NO-SUCH\n",
         "Parameter [Server].ServerCharsetName: Invalid or unknown charset name: NO-SUCH",
         "EAnsiUnicodeConverterInvalidCharsetName"},
        {"[Server]\n" + port + owner + "[System]\nSystemCharsetName=NO-SUCH\n",
         "Parameter [System].SystemCharsetName: Invalid or unknown charset name: NO-SUCH",
         "EAnsiUnicodeConverterInvalidCharsetName"},
        {"[Server]\n" + port + owner + "[Manager2]\nPresentServerAddress=xn--a!b.org\n",
         "Section [Manager2]: Invalid present server address: [Manager2].PresentServerAddress: "
         "xn--a!b.org",
         "Exception"},
    };
    for (const ErrCase& e : cases) {
        SCOPED_TRACE(e.text);
        std::string cls;
        EXPECT_EQ(LoadError(e.text, &cls), e.message);
        EXPECT_EQ(cls, e.cls);
    }
    // Empty backup port and "bin" in any case pass.
    EXPECT_EQ(LoadError("[Server]\n" + port + owner + "BackupServerPort=\nServerCharsetName=bin\n"),
              "(no error)");
}

TEST_F(ConfigTest, ListenServerPorts) {
    const TQORServiceConfig c =
        Load(std::string(kMinimal) + "ListenServerPorts=10024 / 4 10025/6 x 10026\tfoo/4 7//46\n");
    const std::vector<std::pair<std::u16string, TSynapseListenerIPVersions>> want = {
        {u"10024", ipver_4}, {u"10025", ipver_6}, {u"10026", ipver_46}, {u"7", ipver_46}};
    ASSERT_EQ(c.ListenServerPorts.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(c.ListenServerPorts[i].fslpr_Port, want[i].first);
        EXPECT_EQ(c.ListenServerPorts[i].fslpr_IpVer, want[i].second);
    }
    // The default follows IPVersion.
    const TQORServiceConfig d = Load(std::string(kMinimal) + "IPVersion=6\n");
    ASSERT_EQ(d.ListenServerPorts.size(), 1u);
    EXPECT_EQ(d.ListenServerPorts[0].fslpr_IpVer, ipver_6);
    // Bad versions and ports drop the entry.
    EXPECT_TRUE(ParseListenServerPorts(u"10024/5 0 65536/4 10/x", ipver_46).empty());
    // Any run of blanks and slashes around a port joins it to its version,
    // and a huge value is read in one pass rather than rescanned per blank.
    std::u16string big = u"10027 \t/ /\t 6 10028";
    for (int i = 0; i < 500000; ++i) big += u"/ ";
    const TQORServiceListenerPortsArray b = ParseListenServerPorts(big, ipver_46);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].fslpr_Port, u"10027");
    EXPECT_EQ(b[0].fslpr_IpVer, ipver_6);
    EXPECT_EQ(b[1].fslpr_Port, u"10028");
    EXPECT_EQ(b[1].fslpr_IpVer, ipver_46);
}

TEST(PresentServerAddress, HostNameCheck) {
    struct Case {
        std::u16string in;
        bool limit;
        bool ok;
        std::u16string out;
    };
    std::u16string longCyr;
    for (int i = 0; i < 50; ++i) longCyr += static_cast<char16_t>(u'\u0430' + (i * 7) % 32);
    longCyr += u".\u0440\u0444";
    // Below U+0402 but above U+00FF: the display form goes through IDN, the
    // "xn--" form is decoded; the limit must treat both alike.
    std::u16string longPl;
    for (int i = 0; i < 56; ++i) longPl += i % 2 ? u'a' : u'\u0142';
    longPl += u".pl";
    std::u16string longPlAscii;
    for (char c : IdnEncodeHostName(longPl)) longPlAscii += char16_t(c);
    const Case cases[] = {
        {longPl, true, false, u""},
        {longPlAscii, true, false, u""},
        {longPlAscii, false, true, longPl},
        {std::u16string(60, u'a') + u".org", true, false, u""},
        {u"", true, true, u""},
        {u"radio.example.org", true, true, u"radio.example.org"},
        {u"xn--mnchen-3ya.de", true, true, u"m\u00FCnchen.de"},
        {u"m\u00FCnchen.de", true, true, u"m\u00FCnchen.de"},
        {u"\u043F\u0440\u0438\u043C\u0435\u0440.\u0440\u0444", true, true,
         u"\u043F\u0440\u0438\u043C\u0435\u0440.\u0440\u0444"},
        // U+0141 would have been narrowed to "A"; it goes through IDN and stays.
        {u"\u0141odz.pl", true, true, u"\u0141odz.pl"},
        {u"xn--a!b.org", true, false, u""},
        {longCyr, true, false, u""},
        {longCyr, false, true, longCyr},
    };
    for (const Case& c : cases) {
        std::u16string v = c.in;
        SCOPED_TRACE(std::string(c.in.begin(), c.in.end()));
        EXPECT_EQ(CheckPresentServerAddress(v, c.limit), c.ok);
        if (c.ok) {
            EXPECT_TRUE(v == c.out);
        }
    }
}

TEST_F(ConfigTest, ManagerSectionChecks) {
    TQORServiceConfig c = Load(std::string(kMinimal) +
                               "[Manager]\nManagerEnabled=1\nManagerAuthPassword=pw\n"
                               "[Manager1]\nManagerEnabled=yes\nManagerAddress=m1.example.org\n"
                               "[Manager2]\nManagerEnabled=0\n"
                               "[Manager3]\nManagerEnabled=1\nManagerAuthPassword=pw\n");
    // Missing values nobody can default: clear them by hand as an operator's
    // editor would leave them.
    c.ManagerParams[3].ManagerAddress.clear();
    c.ManagerParams[3].ManagerAuthEMail.clear();
    c.ManagerParams[3].ManagerPort = 0;
    std::vector<std::u16string> lines;
    CheckManagerSections(c, [&](std::u16string_view l) { lines.emplace_back(l); });
    const std::vector<std::u16string> want = {
        u"ERROR: Parameter ManagerAuthPassword in section [Manager1] is empty",
        u"WARNING: Section [Manager1] is disabled because of configuration errors",
        u"ERROR: Parameter ManagerAddress in section [Manager3] is empty",
        u"ERROR: Parameter ManagerPort in section [Manager3] is invalid",
        u"ERROR: Parameter ManagerAuthEMail in section [Manager3] is empty",
        u"WARNING: Section [Manager3] is disabled because of configuration errors",
    };
    EXPECT_EQ(lines, want);
    EXPECT_TRUE(c.ManagerParams[0].ssmp_ManagerEnabled);
    EXPECT_FALSE(c.ManagerParams[1].ssmp_ManagerEnabled);
    EXPECT_FALSE(c.ManagerParams[3].ssmp_ManagerEnabled);
}

TEST_F(ConfigTest, FindManagerByAddress) {
    TQORServiceConfig c = Load(std::string(kMinimal) +
                               "[Manager]\nManagerEnabled=1\nManagerAddress=a.example.org\n"
                               "ManagerAuthEMail=one@x.org\n"
                               "[Manager1]\nManagerEnabled=1\nManagerAddress=B.example.org\n"
                               "ManagerAuthEMail=one@x.org\n"
                               "[Manager2]\nManagerEnabled=1\nManagerAddress=b.EXAMPLE.org\n"
                               "ManagerAuthEMail=two@x.org\n"
                               "[Manager3]\nManagerEnabled=0\nManagerAddress=c.example.org\n");
    int32_t idx = -1;
    EXPECT_EQ(FindManagerByAddress(c, u"A.EXAMPLE.ORG", idx),
              TQORSVCManagerSearchResult::fsmsr_Found);
    EXPECT_EQ(idx, 0);
    EXPECT_EQ(FindManagerByAddress(c, u"b.example.org", idx),
              TQORSVCManagerSearchResult::fsmsr_FoundTooMany);
    EXPECT_EQ(FindManagerByAddress(c, u"c.example.org", idx),
              TQORSVCManagerSearchResult::fsmsr_NotFound);
    EXPECT_EQ(FindManagerByAddressEMail(c, u"b.example.org", u"TWO@X.ORG", idx),
              TQORSVCManagerSearchResult::fsmsr_Found);
    EXPECT_EQ(idx, 2);
}

}  // namespace

// Every port key reads a port by its value: leading zeros neither stop the
// start nor drop an entry nor send a key back to its default.
TEST_F(ConfigTest, PortsWithLeadingZerosKeepTheirValue) {
    const TQORServiceConfig c =
        Load("[Server]\nPresentServerPort=010024\nServerOwnerEMail=owner@example.org\n"
             "ListenServerPorts=010025/4 10026\n"
             "[Command]\nCommandPort=0010023\n[Manager]\nManagerPort=000010030\n");
    EXPECT_EQ(c.ServParams.PresentServerPort, u"10024");
    ASSERT_EQ(c.ListenServerPorts.size(), 2u);
    EXPECT_EQ(c.ListenServerPorts[0].fslpr_Port, u"10025");
    EXPECT_EQ(c.ListenServerPorts[0].fslpr_IpVer, ipver_4);
    EXPECT_EQ(c.ListenServerPorts[1].fslpr_Port, u"10026");
    EXPECT_EQ(c.cmd_channel.cfg_CmdPort, 10023);
    EXPECT_EQ(c.ManagerParams[0].ManagerPort, 10030);
}
