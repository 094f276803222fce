// Client command lines: what each posts, and each failure's cause and text.
#include "server/gax_qor_svc_clientcmds.h"

#include <gtest/gtest.h>

#include "server/session_test_support.h"

namespace {

using namespace session_test;
using C = TQORSVCDisconnectCause;
using A = TQORClientCmdAction;
using N = TQORServNetworkCommand;

constexpr std::string_view kId = "XWDU4oBm3yVNVFL5LJEAkgLA";

enum Who { User, Admin, Owner };

TQORClientCmdView ViewOf(Who aWho, uint32_t aGranted = 0) {
    TQORClientCmdView v;
    v.ClientId = kId;
    v.GrantedFlags = aGranted;
    v.Privilege = aWho == User ? clpr_USER : aWho == Admin ? clpr_ADMIN : clpr_NETOWNER;
    v.CtxFlags = aWho == Owner ? 0x40000 : aWho == Admin ? 0x20000 : 0;
    return v;
}

TQORClientCmdOutcome Cmd(const TQORClientCmdView& aView, std::string aLine) {
    return ParseClientCommand(aView, aLine.data(), static_cast<int32_t>(aLine.size()));
}

std::string Tg(std::string_view aName, std::string_view aValue) { return Tag(aName, aValue); }

TEST(ClientCommands, AcceptedLinesPostTheirRecord) {
    struct Case {
        Who who;
        uint32_t granted;
        std::string line;
        A action;
        N cmd;
        std::string s1, s2;
        int32_t i0;
    };
    const std::string ip = Tg("IP", std::string(kId));
    const Case cases[] = {
        {User, 0, "P", A::None, {}, "", "", 0},
        {User, 0, "-", A::None, {}, "", "", 0},
        {User, 0, "TX1", A::SoundLong, {}, "", "", 0},
        {User, 0, "TX8", A::SoundShort, {}, "", "", 0},
        {User, 0, "RX0", A::RxRequest, {}, "", "", 0},
        {User, 0, "TX0", A::TxRequest, {}, "", "", 0},
        {User, 0, "ST:2", A::Post, N::snc_VisibleStatus, "", "", 2},
        {Admin, 0, "MC:" + ip + Tg("TI", "60"), A::Post, N::snc_MuteClient, "", std::string(kId), 0},
        {Admin, 0x100, "MC:" + ip + Tg("TI", " 60 "), A::Post, N::snc_MuteClient, "", std::string(kId), 60},
        {Admin, 0x100, "BC:" + ip + Tg("TI", "5"), A::Post, N::snc_BlockClient, "", std::string(kId), 5},
        {Admin, 0, "UM:" + ip, A::Post, N::snc_UnmuteClient, std::string(kId), "", 0},
        {Admin, 0, "UC:" + ip, A::Post, N::snc_UnblockClient, std::string(kId), "", 0},
        {Owner, 0, "AA:" + ip, A::Post, N::snc_MakeAdmin, "", std::string(kId), 0},
        {Owner, 0, "DA:" + ip, A::Post, N::snc_DeleteAdmin, std::string(kId), "", 0},
        {Owner, 0, "ENA:1 and more", A::Post, N::snc_RightsEnableConnectListedOnly, "", "", 0},
        {Owner, 0, "ENA:0", A::Post, N::snc_RightsDisableConnectListedOnly, "", "", 0},
        {Owner, 0, "TXR:1", A::Post, N::snc_RightsEnableTalkMarkedOnly, "", "", 0},
        {Owner, 0, "TXR:0", A::Post, N::snc_RightsDisableTalkMarkedOnly, "", "", 0},
        {Owner, 0, "AI:" + Tg("SMS", "  welcome  "), A::Post, N::snc_NetworkNotice, "welcome", "", 0},
        {Owner, 0, "AIU:" + HexLenStr("caf?") + HexLenStr("caf\xC3\xA9"), A::Post,
         N::snc_NetworkNoticeExt, "caf?", "caf\xC3\xA9", 0},
        {Owner, 0, "AT:" + Tg("EA", " x@y.z ") + Tg("EAU", "u@y.z"), A::Post, N::snc_RightsAddClient,
         "x@y.z", "", -1},
        {Owner, 0, "DT:" + Tg("EA", "x@y.z"), A::Post, N::snc_RightsDeleteClient, "x@y.z", "", -1},
        {Owner, 0, "ETX:" + Tg("EA", "x@y.z") + Tg("EA", "second"), A::Post,
         N::snc_RightsMarkClient, "x@y.z", "", 0},
        {Owner, 0, "RTX:" + Tg("EA", "x@y.z"), A::Post, N::snc_RightsUnmarkClient, "x@y.z", "", 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        const TQORClientCmdView v = ViewOf(k.who, k.granted);
        const TQORClientCmdOutcome o = Cmd(v, k.line);
        ASSERT_EQ(o.Action, k.action) << std::string(o.CmdErr.begin(), o.CmdErr.end());
        if (k.action != A::Post) {
            EXPECT_EQ(o.Rec, nullptr);
            continue;
        }
        ASSERT_NE(o.Rec, nullptr);
        EXPECT_EQ(o.Rec->nqr_Cmd, k.cmd);
        EXPECT_EQ(o.Rec->nqr_DataS1, k.s1);
        EXPECT_EQ(o.Rec->nqr_DataS2, k.s2);
        EXPECT_EQ(o.Rec->nqr_DataI0, k.i0);
    }
}

TEST(ClientCommands, FailuresCarryTheirCauseAndText) {
    struct Case {
        Who who;
        uint32_t granted;
        std::string line;
        C cause;  // fsdc_DisconnectWithoutAuth: the step's fsdc_WrongCommand
        std::u16string text;
    };
    const C none = C::fsdc_DisconnectWithoutAuth;
    const std::string ip = Tg("IP", std::string(kId));
    const Case cases[] = {
        {User, 0, "", none, u""},
        {User, 0, "PP", none, u"PP"},
        {User, 0, "X", none, u"X"},
        {User, 0, "ABCDE", none, u"ABCDE"},
        {User, 0, "Z\x01\\", none, u"Z\\x01\\x5C"},
        {User, 0, "ST:3", none, u"Invalid status command: \"ST:3\""},
        {User, 0, "ST:", none, u"Invalid status command: \"ST:\""},
        {User, 0, "ST:\x07", C::fsdc_InvalidCharacter, u"Invalid status command: \"ST:\\x07\""},
        {User, 0, "MC:" + ip, C::fsdc_PrivilegeViolation, u"Client has no privilege for MC command"},
        {User, 0, "MC:", C::fsdc_PrivilegeViolation, u"Client has no privilege for MC command"},
        {Admin, 0, "AA:" + ip, C::fsdc_PrivilegeViolation, u"Client has no privilege for AA command"},
        {Admin, 0, "MC:", none, u"Invalid mute client \"MC\" command: MC:"},
        {Admin, 0, "UM:" + Tg("IP", "short"), none,
         u"Invalid unmute client \"UM\" command: UM:<IP>short</IP>"},
        {Admin, 0x100, "BC:" + ip + Tg("TI", "-1"), none,
         u"Invalid block client \"BC\" command: BC:<IP>XWDU4oBm3yVNVFL5LJEAkgLA</IP><TI>-1</TI>"},
        {Admin, 0, "UC:<IP>a\x01</IP>", C::fsdc_InvalidCharacter,
         u"Invalid unblock client \"UC\" command: UC:<IP>a\\x01</IP>"},
        {Owner, 0, "DA:" + ip + ip, none,
         u"Invalid delete admin \"DA\" command: DA:<IP>XWDU4oBm3yVNVFL5LJEAkgLA</IP><IP>XWDU4oBm3yVNVFL5LJEAkgLA</IP>"},
        {Admin, 0, "ENA:1", C::fsdc_PrivilegeViolation, u"Client is not a network owner"},
        {User, 0, "AI:x", C::fsdc_PrivilegeViolation, u"Client is not a network owner"},
        {Owner, 0, "ENA:", none, u"ENA:"},
        {Owner, 0, "ENA:2", none, u"ENA:2"},
        {Owner, 0, "TXR:x", none, u"TXR:x"},
        {Owner, 0, "AI:" + Tg("X", "y"), none, u"Invalid set access info \"AI\" command: AI:<X>y</X>"},
        {Owner, 0, "AIU:" + HexLenStr("ab") + HexLenStr("a\xC3\xA9\xC3\xA9"), none,
         u"Invalid AIU(EXT) command: AIU:02ab05a\u00C3\u00A9\u00C3\u00A9"},
        {Owner, 0, "AIU:05ab", none, u"Invalid AIU(EXT) command: AIU:05ab"},
        {Owner, 0, "AT:" + Tg("EA", "  "), none,
         u"Invalid add client into access list \"AT\" command: AT:<EA>  </EA>"},
        {Owner, 0, "DT:", none, u"Invalid delete client from access list \"DT\" command: DT:"},
        {Owner, 0, "ETX:", none, u"Invalid enable transmit \"ETX\" command: ETX:"},
        {Owner, 0, "RTX:" + Tg("EAU", "x"), none, u"Invalid RTX command: RTX:<EAU>x</EAU>"},
        {User, 0, "TM:" + Tg("ID", "XWDU4oBm3yVNVFL5LJEAkgL") + Tg("MS", "hi"), none,
         u"invalid message command: "},
        {User, 0, "TM:", none, u"invalid message command: "},
        {User, 0, "TME:000000\x01", C::fsdc_InvalidCharacter,
         u"invalid message(EXT) command: \"TME:000000\\x01\""},
        {User, 0, "TME:00FF0000", none, u"invalid message(EXT) command: \"TME:00FF0000\""},
        {User, 0, "MVU:0000", C::fsdc_PrivilegeViolation, u"Client has no privilege for MVU command"},
        {Owner, 0x400, "MVU:0000", C::fsdc_InvalidCharacter, u"invalid \"move client\" command: \"MVU:0000\""},
        {Owner, 0x400, "MVU:" + HexLenStr(kId) + HexLenStr("Nowhere") + HexLenIntToStr(0), none,
         u"invalid \"move client\" command: \"MVU:18XWDU4oBm3yVNVFL5LJEAkgLA07Nowhere00\""},
        {Owner, 0x400, "MVU:" + HexLenStr(kId) + "FF" + "Test", none,
         u"invalid \"move client\" command: \"MVU:18XWDU4oBm3yVNVFL5LJEAkgLAFFTest\""},
    };
    World w;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        TQORClientCmdView v = ViewOf(k.who, k.granted);
        v.Service = &w.svc;
        const TQORClientCmdOutcome o = Cmd(v, k.line);
        EXPECT_EQ(o.Action, A::Fail);
        EXPECT_EQ(o.Rec, nullptr);
        EXPECT_EQ(o.Cause, k.cause);
        if (k.text.ends_with(u": ") && k.text.starts_with(u"invalid message command"))
            EXPECT_TRUE(o.CmdErr.starts_with(k.text));
        else
            EXPECT_EQ(o.CmdErr, k.text);
    }
}

TEST(ClientCommands, TextMessagesBuildTheirFrames) {
    TQORClientCmdView v = ViewOf(User);
    TQORClientCmdOutcome o = Cmd(v, "TM:" + Tg("MS", " hi  "));
    ASSERT_EQ(o.Action, A::Post);
    EXPECT_EQ(o.Rec->nqr_Cmd, N::snc_MessageV0);
    EXPECT_EQ(o.Rec->nqr_DataS2, "\x04" "3\r\n" + std::string(kId) + "\r\n hi\r\nA\r\n");
    EXPECT_EQ(o.Rec->nqr_DataI0, 24 + 3 + 8);
    EXPECT_TRUE(o.Rec->nqr_DataS1.empty());

    // 600 bytes are cut to 500 before the trailing blanks go.
    std::string text(498, 'x');
    text += "  ";
    text += std::string(100, 'y');
    o = Cmd(v, "TM:" + Tg("ID", std::string(kId)) + Tg("MS", text));
    ASSERT_EQ(o.Action, A::Post);
    EXPECT_EQ(o.Rec->nqr_DataS1, kId);
    EXPECT_EQ(o.Rec->nqr_DataS2, BuildTextMessageFrame(false, kId, std::string(498, 'x'), true));

    o = Cmd(v, "TME:" + HexLenStr("") + HexLenStr("abc ") + HexLenStr("\xC3\xA4\xC3\xB6"));
    ASSERT_EQ(o.Action, A::Post);
    EXPECT_EQ(o.Rec->nqr_Cmd, N::snc_MessageV1);
    const std::string fa = BuildTextMessageFrame(false, kId, "abc", false);
    const std::string fu = BuildTextMessageFrame(true, kId, "\xC3\xA4\xC3\xB6", false);
    const size_t off = (fa.size() + 3) / 4 * 4;
    EXPECT_EQ(o.Rec->nqr_Socket, off);
    EXPECT_EQ(o.Rec->nqr_DataS2.substr(0, fa.size()), fa);
    EXPECT_EQ(o.Rec->nqr_DataS2.substr(off), fu);
    EXPECT_EQ(o.Rec->nqr_DataI0, static_cast<int32_t>(fa.size()) - 3);
    EXPECT_EQ(o.Rec->nqr_DataI1, static_cast<int32_t>(off + fu.size()) - 3);
    EXPECT_EQ(o.Rec->nqr_DataI2, static_cast<int32_t>(fa.size()));

    v.Ctx2Flags = QOR_C2F_IGNORE_MESSAGES;  // an ignored client's messages vanish quietly
    EXPECT_EQ(Cmd(v, "TM:" + Tg("MS", "hi")).Action, A::None);
}

TEST(ClientCommands, MoveNamesAnExistingNetworkByItsUnicodeName) {
    World w;
    TQORClientCmdView v = ViewOf(Owner, 0x400);
    v.Service = &w.svc;
    v.Self = TQORSVCCtxRef{&w, 99};
    const TQORClientCmdOutcome o =
        Cmd(v, "MVU:" + HexLenStr(kId) + HexLenStr("Andere") + HexLenIntToStr(30));
    ASSERT_EQ(o.Action, A::Post) << std::string(o.CmdErr.begin(), o.CmdErr.end());
    EXPECT_EQ(o.Rec->nqr_Cmd, N::snc_ContextMoveClient);
    EXPECT_TRUE(o.Rec->nqr_ReceiverObj.Is(static_cast<TQORSVCClientNetwork*>(&w.other)));
    EXPECT_TRUE(o.Rec->nqr_Context.Is(&w));
    EXPECT_EQ(o.Rec->nqr_GlobalKey, 99u);
    EXPECT_EQ(o.Rec->nqr_DataS1, kId);
    EXPECT_EQ(o.Rec->nqr_DataI0, 30);
}

}  // namespace
