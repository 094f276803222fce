#include "server/gax_qor_svc_netoptions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "server/gax_qor_svc_setup_t.h"

using namespace gax;

namespace {

std::string N(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

class NetOptionsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() {
        delete s_Codes;
        s_Codes = nullptr;
    }
    void SetUp() override { f_Serv.sno_CharsetName = u"WINDOWS-1252"; }

    TQORSVCNetworkOptions Parse(const std::u16string& text) const {
        TQORSVCNetworkOptions o;
        ParseNetworkOptionsText(f_Serv, text, o, s_Codes);
        return o;
    }
    std::string Render(const std::u16string& text) const {
        return N(FormatNetworkOptionsText(f_Serv, Parse(text)));
    }

    static TCharsetsCodeList* s_Codes;
    TQORServiceNetOptions f_Serv;
};
TCharsetsCodeList* NetOptionsTest::s_Codes = nullptr;

// Each option text parsed over the same server-wide values, shown by the
// rendering: the clamps and fallbacks, later items overriding earlier ones,
// keys in any case, and what renders nothing.
TEST_F(NetOptionsTest, ParsedOptionsRenderInCanonicalOrder) {
    struct Case {
        std::u16string Text;
        std::string Rendered;
    };
    const Case cases[] = {
        {u"", ""},
        {u" ; ;; ", ""},
        {u"MaxClients=10; MaxClients=20", "MaxClients=20"},
        {u"maxclients=0", ""},
        {u"MaxClients=65534", ""},
        {u"MAXCLIENTS = 1", "MaxClients=1"},
        {u"Hidden", ""},
        {u"Hidden=1", "Hidden=Yes"},
        {u"hidden=yes;Hidden=maybe", "Hidden=Yes"},
        {u"ManagerMode=x", ""},
        {u"ManagerMode=STANDALONE", ""},  // the server-wide mode: nothing differs
        {u"ManagerMode=l", "ManagerMode=LIGHT"},
        {u"ManagerMode=3", "ManagerMode=QOR"},
        {u"ManagersMask=16", ""},
        {u"ManagersMask=5", "ManagersMask=5"},
        {u"OwnerEMail=a@x.org, ,b@y.org", "OwnerEMail=a@x.org,b@y.org"},
        {u"OwnerEMail=a@x.org;OwnerEMail= , ", "OwnerEMail=a@x.org"},
        {u"MaxSpeechTime=0", ""},  // 300 s, the server-wide value
        {u"MaxSpeechTime=5", "MaxSpeechTime=10"},
        {u"MaxSpeechTime=99999", "MaxSpeechTime=1800"},
        {u"MaxSpeechTime=abc", ""},
        {u"SpeechPause=-5", ""},
        {u"SpeechPause=20000", "SpeechPause=10000"},
        {u"QuarantineTime=5000", "QuarantineTime=4000"},
        {u"SpeechPause=4294967296", "SpeechPause=10000"},
        {u"MaxSpeechTime=4294967296", "MaxSpeechTime=1800"},
        {u"QuarantineTime=1500", "QuarantineTime=1500"},
        {u"ShortFrames=no", "ShortFrames=No"},
        {u"ShortFrames=no;ShortFrames=bogus", ""},  // invalid: the server-wide value
        {u"OutputBufferLimit=100", "OutputBufferLimit=4096"},
        {u"OutputBufferLimit=-1", ""},  // the built-in 131072, equal to the server's
        {u"OutputBufferLimit=99999999", "OutputBufferLimit=16777216"},
        {u"OutputBufferFactor=0", "OutputBufferFactor=1"},
        {u"OutputBufferFactor=-4", ""},
        {u"OutputBufferFactor=40", "OutputBufferFactor=10"},
        {u"LogClientLevel=9", "LogClientLevel=7"},
        {u"LogClientLevel=x", ""},
        {u"AccessInfoMode=a", "AccessInfoMode=ALWAYS"},
        {u"AccessInfoMode=2", "AccessInfoMode=NEVER"},
        {u"AccessInfoMode=never;AccessInfoMode=what", ""},
        {u"SpeechLimit=0;AlwaysAllowServerOwner=off;AlwaysAllowNetworkOwner=on;AlwaysAllowAdmin=t",
         "SpeechLimit=No; AlwaysAllowServerOwner=No; AlwaysAllowNetworkOwner=Yes; "
         "AlwaysAllowAdmin=Yes"},
        {u"ClientSessionMaxTime=1h30m", "ClientSessionMaxTime=5400"},
        {u"ClientSessionMaxTime=-5", ""},
        {u"ClientSessionMaxTime=999999999y", "ClientSessionMaxTime=2147483647"},
        {u"LogAdmin=n;TempMuteBlock=n;LevelMuteBlock=y;ExactMuteBlock=y;UniqCallsign=y",
         "LogAdmin=No; TempMuteBlock=No; LevelMuteBlock=Yes; ExactMuteBlock=Yes; UniqCallsign=Yes"},
        {u"CharsetName=", ""},
        {u"CharsetName=windows-1252", ""},
        {u"CharsetName=WINDOWS-1251", "CharsetName=WINDOWS-1251"},
        {u"ServerInfo=0;NetChangeInfo=0", "ServerInfo=No; NetChangeInfo=No"},
        {u"ParrotEnable=1;ParrotStartStopEnable=1;ParrotMuteEnable=1",
         "ParrotEnable=Yes; ParrotStartStopEnable=Yes"},
        {u"ParrotMaxRecordTime=5", "ParrotMaxRecordTime=10"},
        {u"ParrotMaxRecordTime=500", "ParrotMaxRecordTime=300"},
        {u"ParrotMaxRecordTime=500;ParrotMaxRecordTime=x", ""},
        {u"ParrotPause=50", "ParrotPause=100"},
        {u"ParrotPause=0", ""},
        {u"ParrotPause=12000", "ParrotPause=10000"},
        {u"ParrotRepeatCount=-3", ""},
        {u"ParrotRepeatCount=99", "ParrotRepeatCount=50"},
        {u"ParrotRepeatCount=7;ParrotRepeatCount=", ""},
        {u"ParrotMessageDisable=1;ParrotMessageDisable=??", ""},
        {u"ParrotPrefixFileName= hello.wav ", "ParrotPrefixFileName=hello.wav"},
        {u"ParrotPrefixMaxTime=-1", "ParrotPrefixMaxTime=0"},
        {u"ParrotPrefixMaxTime=31", "ParrotPrefixMaxTime=30"},
        {u"ParrotPrefixMaxTime=5;ParrotPrefixMaxTime=x", ""},
        {u"ParrotPrefixRepeatEach=yes", "ParrotPrefixRepeatEach=Yes"},
        {u"UnknownKey=5;=7;MaxClients", ""},
        // Every rendered item at once, in the fixed order whatever the text's order.
        {u"ParrotPrefixRepeatEach=1;ParrotPrefixMaxTime=20;ParrotPrefixFileName=p.wav;"
         u"ParrotMessageDisable=1;ParrotRepeatCount=2;ParrotPause=300;ParrotMaxRecordTime=60;"
         u"ParrotStartStopEnable=1;ParrotEnable=1;NetChangeInfo=0;ServerInfo=0;"
         u"CharsetName=UTF-8;UniqCallsign=1;ExactMuteBlock=1;LevelMuteBlock=1;TempMuteBlock=0;"
         u"LogAdmin=0;Hidden=1;ClientSessionMaxTime=60;AlwaysAllowAdmin=1;"
         u"AlwaysAllowNetworkOwner=1;AlwaysAllowServerOwner=0;SpeechLimit=0;AccessInfoMode=A;"
         u"LogClientLevel=5;OutputBufferFactor=4;OutputBufferLimit=8192;ShortFrames=0;"
         u"QuarantineTime=100;SpeechPause=200;MaxSpeechTime=60;MaxClients=7;"
         u"OwnerEMail=o@x.org;ManagersMask=3;ManagerMode=NOTIFY",
         "ManagerMode=NOTIFY; ManagersMask=3; OwnerEMail=o@x.org; MaxClients=7; MaxSpeechTime=60; "
         "SpeechPause=200; QuarantineTime=100; ShortFrames=No; OutputBufferLimit=8192; "
         "OutputBufferFactor=4; LogClientLevel=5; AccessInfoMode=ALWAYS; SpeechLimit=No; "
         "AlwaysAllowServerOwner=No; AlwaysAllowNetworkOwner=Yes; AlwaysAllowAdmin=Yes; "
         "ClientSessionMaxTime=60; Hidden=Yes; LogAdmin=No; TempMuteBlock=No; "
         "LevelMuteBlock=Yes; ExactMuteBlock=Yes; UniqCallsign=Yes; CharsetName=UTF-8; "
         "ServerInfo=No; NetChangeInfo=No; ParrotEnable=Yes; ParrotStartStopEnable=Yes; "
         "ParrotMaxRecordTime=60; ParrotPause=300; ParrotRepeatCount=2; "
         "ParrotMessageDisable=Yes; ParrotPrefixFileName=p.wav; ParrotPrefixMaxTime=20; "
         "ParrotPrefixRepeatEach=Yes"},
    };
    for (const Case& c : cases) EXPECT_EQ(Render(c.Text), c.Rendered) << N(c.Text);
}

// The rendering read back gives the same options, so a listing can be pasted
// into the file.
TEST_F(NetOptionsTest, RenderingReadsBackToTheSameOptions) {
    for (const std::u16string text :
         {u"MaxClients=9;ManagerMode=QOR;ParrotEnable=1;ParrotPause=500;CharsetName=UTF-8",
          u"OwnerEMail=a@b.c,d@e.f;ClientSessionMaxTime=1d;LogAdmin=0;Hidden=1;AccessInfoMode=N"}) {
        const TQORSVCNetworkOptions first = Parse(text);
        EXPECT_EQ(Parse(FormatNetworkOptionsText(f_Serv, first)), first) << N(text);
    }
}

// Options take the server-wide values; those render empty however far they
// are from the built-in defaults.
TEST_F(NetOptionsTest, ServerWideValuesAreTheStartAndRenderEmpty) {
    TQORServiceConfig c;
    c.cfg_QORServerCharsetName = u"UTF-8";
    c.cfg_ServManagerMode = smm_Light;
    c.cfg_ServOutputBufferLimit = 8192;
    c.cfg_ServOutputBufferFactor = 5;
    c.SystemLogClientLevel = 6;
    c.cfg_ServSessionMaxTime = 120;
    c.cfg_ServMaxSpeechTime = 60;
    c.cfg_ServSpeechPauseTicks = 500;
    c.cfg_ServQuarantineTicks = 1000;
    c.cfg_ServUniqCallsign = true;
    c.cfg_ServAlwaysAllowServerOwner = false;
    c.cfg_ServServerInfo = false;
    FillServiceNetOptionsFromConfig(f_Serv, c);

    const TQORSVCNetworkOptions o = Parse(u"ManagerMode=garbage;ShortFrames=?");
    EXPECT_EQ(o.no_NetCharsetNameUCS2, u"UTF-8");
    EXPECT_EQ(o.no_NetCharsetNameUTF8, "UTF-8");
    EXPECT_EQ(o.no_NetManagerMode, smm_Light);
    EXPECT_FALSE(o.no_NetManagerModeSpecific);
    EXPECT_EQ(o.no_MaxSpeechTicks, 60000u);
    EXPECT_EQ(o.no_QuarantineTicks, 1000u);
    EXPECT_EQ(o.no_OutputBufferFactor, 5);
    EXPECT_EQ(o.no_SessionMaxTime, 120);
    EXPECT_TRUE(o.no_UniqCallsign);
    EXPECT_FALSE(o.no_AlwaysAllowServerOwner);
    EXPECT_EQ(o.no_NetMaxClients, 65533);
    EXPECT_EQ(FormatNetworkOptionsText(f_Serv, o), u"");

    // The mode set by the text equal to the server-wide one is specific, not shown.
    const TQORSVCNetworkOptions same = Parse(u"ManagerMode=LIGHT");
    EXPECT_TRUE(same.no_NetManagerModeSpecific);
    EXPECT_EQ(FormatNetworkOptionsText(f_Serv, same), u"");
    // A value that falls back to the server-wide one after an earlier item.
    EXPECT_EQ(Parse(u"OutputBufferFactor=7;OutputBufferFactor=x").no_OutputBufferFactor, 5);
    EXPECT_EQ(Parse(u"OutputBufferLimit=x").no_OutputBufferLimit, 8192);
}

// Only an unknown character set fails; the message names the option in its
// canonical spelling whatever the text wrote.
TEST_F(NetOptionsTest, UnknownCharsetFailsNamingTheOption) {
    try {
        Parse(u"charsetname=NO-SUCH-SET");
        FAIL() << "no exception";
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        EXPECT_EQ(N(e.Message()),
                  "Network option \"CharsetName\": Invalid or unknown charset name: NO-SUCH-SET");
    }
    // The parrot's mute switch is kept though never rendered.
    EXPECT_TRUE(Parse(u"ParrotMuteEnable=1").no_Parrot.ParrotMuteEnable);
}

TEST_F(NetOptionsTest, CopyLeavesTheAdminMoveFlag) {
    TQORSVCNetworkOptions src = Parse(u"MaxClients=3;OwnerEMail=a@b.c");
    src.no_AdminMoveClient = true;
    TQORSVCNetworkOptions dst;
    CopyNetworkOptions(dst, src);
    EXPECT_FALSE(dst.no_AdminMoveClient);
    EXPECT_EQ(dst.no_NetMaxClients, 3);
    ASSERT_EQ(dst.no_NetOwnersEMails.size(), 1u);
}

}  // namespace
