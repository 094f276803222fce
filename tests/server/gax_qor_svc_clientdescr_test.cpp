#include "server/gax_qor_svc_clientdescr.h"

#include <gtest/gtest.h>

#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

std::u16string Describe(const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat) {
    TStringBldU b;
    AppendClientDescription(b, aCtx);
    return ToText(b);
}

std::string Letters(void (*aFn)(FastStringA&, const TQORSVCContext&), const TQORSVCContext& aCtx) {
    FastStringA f;
    aFn(f, aCtx);
    return f.Str();
}

const std::u16string kId = ByteStrToUnicode(MakeSourceId("a@b.c"));

// A UTF-8 admin with sound acknowledgement and the difference list; its
// callsign carries a line feed (sent as an overlong form) and a backslash.
struct Admin {
    World w;
    TestSession s{w.svc};
    Admin() {
        s.Connect(BasicConnect(Tag("CEF", "15") +
                               U8(Typed('0', "a@b.c") + Typed('1', "pw") +
                                  Typed('2', "J\xC0\x8A\\x") + Typed('3', "PC Only") +
                                  Typed('6', "K\xC3\xB6ln") + Typed('4', "Hi"))));
        w.test.admins.insert(s.CliHashA());
        s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect);
        s.CliManagersInfo[1].cmi_ManagerId = "m1";
        s.CliManagersInfo[1].cmi_ManagerIdA2 = u"m1";
    }
};

struct User {
    World w;
    TestSession s{w.svc};
    User() {
        s.Connect(BasicConnect());
        s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect);
    }
};

}  // namespace

TEST(ClientDescription, PlainUserHasEmptyDescriptionAndNoPrivilege) {
    TQORRoleScope role(kHeartbeat);
    User u;
    EXPECT_EQ(Describe(u.s), u" EMail=`a@b.c` Call=`CALL Name` Net=`Test` SID=`" + kId +
                                 u"` City=`City` Band=`PC Only` Descr=`` Country=`Country` "
                                 u"Pass=`***` []");
}

TEST(ClientDescription, UTF8AdminEscapedMaskedAndExtended) {
    TQORRoleScope role(kHeartbeat);
    Admin a;
    ASSERT_EQ(a.s.ClientError(), TClientErrorType::cet_OK);
    EXPECT_EQ(Describe(a.s), u" EMail=`a@b.c` Call=`J\\x0A\\x5Cx` Net=`Test` MID1=`m1` SID=`" +
                                 kId +
                                 u"` City=`K\u00F6ln` Band=`PC Only` Descr=`Hi` Country=`Land` "
                                 u"Pass=`***` Priv=ADMIN UTF8 SoundAck ListFormat=DIFF [ EXTENDED]");
    // The password reaches the managers' block, never a log line.
    EXPECT_EQ(Describe(a.s).find(u"pw"), std::u16string::npos);
}

TEST(ClientDescription, AdminActionLine) {
    TQORRoleScope role(kHeartbeat);
    Admin a;
    User u;
    TStringBldU b;
    AppendStr(b, u"stale text that must go");
    FormatAdminActionLogLine(b, a.s, u.s, u"MUTE");
    EXPECT_EQ(ToText(b), u"Client: 127.0.0.1 5000 MUTE: by=ADMIN byCall=`J\\x0A\\x5Cx` "
                         u"byEMail=`a@b.c`" +
                             Describe(u.s));
}

TEST(FlagTexts, InternalFlags) {
    User u;
    EXPECT_EQ(Letters(QORAddInternalFlags, u.s), "05.....");
    EXPECT_EQ(Letters(AddInternalFlagsSettings, u.s), "");
    u.s.CtxFlagsSet(QOR_CF_NO_SERVER_MESSAGES | QOR_CF_NO_SERVER_SOUNDS | QOR_CF_AGGREGATE_LIST);
    u.s.Ctx2FlagsSet(QOR_C2F_IGNORE_SOUNDS | QOR_C2F_IGNORE_MESSAGES | QOR_C2F_LIST_OFF);
    EXPECT_EQ(Letters(QORAddInternalFlags, u.s), "05ASsmF");
    EXPECT_EQ(Letters(AddInternalFlagsSettings, u.s),
              "NOSERVERMESSAGES NOSERVERSOUNDS IGNORECLIENTSOUNDS IGNORECLIENTMESSAGES");
    FastStringA f;
    f.Append("NET1:");
    u.s.Ctx2FlagsAssign(QOR_C2F_IGNORE_MESSAGES);
    u.s.CtxFlagsClear(QOR_CF_NO_SERVER_MESSAGES | QOR_CF_NO_SERVER_SOUNDS);
    AddInternalFlagsSettings(f, u.s);
    EXPECT_EQ(f.View(), "NET1: IGNORECLIENTMESSAGES");
}

TEST(FlagTexts, ProtocolExtensionLetters) {
    TQORRoleScope role(kHeartbeat);
    User u;
    EXPECT_EQ(Letters(QORParseProtoExtFlags1C, u.s), "0A..........");
    Admin a;
    EXPECT_EQ(Letters(QORParseProtoExtFlags1C, a.s), "0ADUA.......");

    // A network owner granted TempMuteBlock, NetChangeInfo and MoveClient, plus the
    // bits the network and the internal flags set.
    World w;
    w.test.tempMuteBlock = true;
    TestSession o(w.svc);
    o.Connect(BasicConnect(Tag("CEF", std::to_string(0x70A)) + U8(FullU8())));
    w.test.owners.insert(o.CliHashA());
    o.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect);
    o.CtxFlagsSet(QOR_CF_SOUND_ACK | QOR_CF_SHORT_FRAMES | QOR_CF_NO_SERVER_MESSAGES |
                  QOR_CF_SPEAKER_INFO | QOR_CF_LIST_CACHE);
    EXPECT_EQ(Letters(QORParseProtoExtFlags1C, o), "0ACUASMITGVH");
    EXPECT_NE(Describe(o).find(u" Priv=NETOWNER UTF8 SoundAck ListFormat=COUNT ShortFrames "
                               u"NoMessagesFromServer SpeakerInfo TempMuteBlock NetChangeInfo "
                               u"MoveClient [ EXTENDED]"),
              std::u16string::npos);
}
