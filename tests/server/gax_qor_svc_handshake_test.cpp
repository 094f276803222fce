// The handshake answer and the network-change frame, built from a session that
// read a real connect string and was admitted by a stand-in network.
#include "server/gax_qor_svc_handshake.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "server/session_test_support.h"

namespace {

using namespace session_test;

TQORHandshakeNetwork NetInfo(std::string_view aName = "Test") {
    TQORHandshakeNetwork n;
    n.HasNetwork = true;
    n.NameA = aName;
    n.NameUTF8 = aName;
    n.SpeechLimitSec = 300;
    return n;
}

TQORHandshakeServer SrvInfo() {
    TQORHandshakeServer s;
    s.UptimeSec = 42;
    return s;
}

struct Admitted {
    World w;
    TestSession s{w.svc};
    explicit Admitted(const std::string& aConnect) {
        s.Connect(aConnect);
        s.SetCtxNetwork(&w.test);
        s.tmProcessAttributes(TQORSVCClientHandshakeType{});
    }
};

TEST(HandshakeAnswer, PositiveAnswerOfAnEightBitClientByteForByte) {
    TQORRoleScope role(kHeartbeat);
    Admitted a(BasicConnect());
    ASSERT_EQ(a.s.ClientError(), TClientErrorType::cet_OK);
    FastStringA f;
    PrepareHandshakeAnswerOK(f, HandshakeClientOf(a.s), NetInfo(), SrvInfo(), true);
    EXPECT_EQ(f.Str(),
              "2014004\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP>"
              "<ID>XWDU4oBm3yVNVFL5LJEAkgLA</ID><NT>Test</NT><TT>300</TT><EM>S</EM>"
              "<UT>42</UT><AVR>r7348(2022-10-13)-Win32</AVR>\r\n");
}

TEST(HandshakeAnswer, Utf8ClientSeesItsGrantedFlagsAndTheUtf8Notice) {
    TQORRoleScope role(kHeartbeat);
    Admitted a(BasicConnect(Tag("CEF", "523") + U8(FullU8())));
    ASSERT_EQ(a.s.ClientError(), TClientErrorType::cet_OK);
    ASSERT_EQ(a.s.CliAnswerExtFlags(), 523u);
    FastStringA f;
    TQORHandshakeNetwork n = NetInfo();
    n.NameUTF8 = "T\xC3\xA9st";
    PrepareHandshakeAnswerOK(f, HandshakeClientOf(a.s), n, SrvInfo(), false);
    EXPECT_NE(f.View().find("<BP></BP><SEF>523</SEF><ID>"), std::string_view::npos) << f.Str();
    EXPECT_NE(f.View().find("<NT>T\xC3\xA9st</NT>"), std::string_view::npos);
    // An empty UTF-8 notice falls back to the 8-bit one; without server info no EM/UT.
    EXPECT_EQ(f.View().substr(f.Len() - 14), "<TT>300</TT>\r\n");
    n.NoticeA = "hello";
    n.NoticeUTF8 = "h\xC3\xA9llo";
    PrepareHandshakeAnswerOK(f, HandshakeClientOf(a.s), n, SrvInfo(), false);
    EXPECT_NE(f.View().find("\r\n<MTT>h\xC3\xA9llo</MTT><SV>"), std::string_view::npos);
}

TEST(HandshakeAnswer, AccessWordsAndBackupAddressRule) {
    EXPECT_EQ(AccessWordOf(clpr_USER, 0), "OK");
    EXPECT_EQ(AccessWordOf(clpr_ADMIN, 0), "ADMIN");
    EXPECT_EQ(AccessWordOf(clpr_NETOWNER, 0), "NETOWNER");
    EXPECT_EQ(AccessWordOf(clpr_NETOWNER, 0x08), "OWNER");
    EXPECT_EQ(AccessWordOf(clpr_SERVOWNER, 0), "OWNER");

    TQORHandshakeClient c;
    c.VersionText = "2014004";
    c.ClientId = "id";
    c.Privilege = static_cast<TQORClientPrivilege>(9);
    FastStringA f;
    EXPECT_THROW(PrepareHandshakeAnswerOK(f, c, NetInfo(), SrvInfo(), false), std::logic_error);

    c.Privilege = clpr_USER;
    TQORHandshakeServer s = SrvInfo();
    s.PresentAddr = "here";
    s.PresentPort = "5200";
    PrepareHandshakeAnswerOK(f, c, NetInfo(), s, false);
    EXPECT_NE(f.View().find("<BN>here</BN><BP>5200</BP>"), std::string_view::npos);
    c.ProtocolFlags = 0x04;  // a newer client: the backup settings even when empty
    PrepareHandshakeAnswerOK(f, c, NetInfo(), s, false);
    EXPECT_NE(f.View().find("<BN></BN><BP></BP>"), std::string_view::npos);
}

TEST(HandshakeAnswer, RefusalsCarryOnlyTheirWord) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        TClientErrorType err;
        bool disableDupl;
        std::string_view word;
        TQORSVCDisconnectCause cause;
        bool known;
    };
    using C = TQORSVCDisconnectCause;
    const Case cases[] = {
        {TClientErrorType::cet_ERROR, false, "BLOCK", C::fsdc_ServerError, true},
        {TClientErrorType::cet_WRONG, false, "WRONG", C::fsdc_ServerWrongPasssword, true},
        {TClientErrorType::cet_BLOCK, false, "BLOCK", C::fsdc_ServerBlock, true},
        {TClientErrorType::cet_DUPL, false, "DUPL", C::fsdc_ServerDuplicate, true},
        {TClientErrorType::cet_DUPL, true, "BLOCK", C::fsdc_ServerBlock, true},
        {TClientErrorType::cet_NONE, false, "BLOCK", C::fsdc_ServInternalError, false},
    };
    for (const Case& k : cases) {
        const TQORRefusal r = RefusalOf(k.err, k.disableDupl);
        EXPECT_EQ(r.Word, k.word);
        EXPECT_EQ(r.Cause, k.cause);
        EXPECT_EQ(r.Known, k.known);
    }

    // "@" as the whole e-mail is refused after the connect string was read:
    // the refusal still leads with the version line the client parses.
    World w;
    TestSession s{w.svc};
    s.Connect(Tag("EA", "@") + Tag("PW", "pw") + Tag("ON", "CALL Name") + Tag("NT", "Test") +
              Tag("CEF", "2827"));
    FastStringA f;
    TQORHandshakeNetwork none;
    PrepareHandshakeAnswerError(f, HandshakeClientOf(s), none, SrvInfo(), false,
                                TClientErrorType::cet_BLOCK, false);
    EXPECT_TRUE(f.View().starts_with("2014004\r\n<MT></MT><SV>2014004</SV><AL>BLOCK</AL>"))
        << f.Str();
    for (std::string_view tag : {"<ID>", "<NT>", "<CZ>", "<TT>", "<EM>"})
        EXPECT_EQ(f.View().find(tag), std::string_view::npos) << tag;
    const size_t sef = f.View().find("<SEF>");
    if (sef != std::string_view::npos) {
        EXPECT_EQ(f.View().substr(sef, 12), "<SEF>8</SEF>");
    }
}

TEST(NetChangeInfo, FrameOfTheNewNetwork) {
    TQORRoleScope role(kHeartbeat);
    Admitted a(BasicConnect());
    TQORHandshakeNetwork n = NetInfo("Other");
    n.NoticeA = "note";
    n.EffManagerMode = smm_Light;
    FastStringA f;
    PrepareNetChangeInfo(f, HandshakeClientOf(a.s), n, SrvInfo(), true);
    EXPECT_EQ(f.Str(),
              "\x90<AL>OK</AL><NT>Other</NT><ID>XWDU4oBm3yVNVFL5LJEAkgLA</ID>"
              "<MT>note</MT><TT>300</TT><EM>L</EM><UT>42</UT>"
              "<AVR>r7348(2022-10-13)-Win32</AVR>\r\n");
    PrepareNetChangeInfo(f, HandshakeClientOf(a.s), TQORHandshakeNetwork{}, SrvInfo(), true);
    EXPECT_TRUE(f.Empty());
}

}  // namespace
