#include "server/gax_qor_svc_connectstr.h"

#include <gtest/gtest.h>

#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

using Cause = TQORSVCDisconnectCause;
using Err = TClientErrorType;
constexpr Cause kNoCause = Cause::fsdc_DisconnectWithoutAuth;  // 0: nothing stored

const std::u16string kErr = u"ERROR: Client: 127.0.0.1 5000 ";

std::string Without(std::string s, std::string_view aTag) {
    const std::string open = "<" + std::string(aTag) + ">";
    const size_t a = s.find(open);
    if (a == std::string::npos) return s;
    const size_t b = s.find("</" + std::string(aTag) + ">", a);
    return s.erase(a, b + aTag.size() + 3 - a);
}
std::string Replace(std::string s, std::string_view aTag, std::string_view aValue) {
    return Without(s, aTag) + Tag(aTag, aValue);
}

enum class Variant { Normal, NoDefaultCountry, NoDefaultNetwork, NoNetworks };

struct RefusalCase {
    const char* Name;
    std::string Line;
    Err Error;
    Cause StoredCause;
    std::u16string Log;  // the only log line, or empty for none
    Variant World = Variant::Normal;
    int32_t Level = kLogLevelAll;
};

}  // namespace

// Every refusal of the connect string, in the order the checks run: the
// failures before the "BLOCK" point end the connection without an answer.
TEST(ConnectString, RefusalsInCheckOrder) {
    TQORRoleScope role(kHeartbeat);
    const std::string ok = BasicConnect();
    const std::string utf8 = Tag("CEF", "11");
    const RefusalCase cases[] = {
        {"empty line", "", Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Client connect error: No any tags"},
        {"control byte", ok + "<DS>a\x01</DS>", Err::cet_NONE, Cause::fsdc_InvalidCharacter,
         kErr + u"Client connect error: Invalid characters"},
        {"repeated EA", ok + Tag("EA", "x@y.z"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Client connect error: Duplicate tags"},
        {"broken tag list", ok + "<EA", Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Client connect error: Invalid format"},
        {"short U8TF", ok + Tag("U8TF", "2 "), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Client connect error: No any tags"},
        {"bad typed field", ok + Tag("U8TF", "20X5abc"), Err::cet_NONE,
         Cause::fsdc_InvalidConnectString, kErr + u"Client connect error: Invalid format"},
        {"no EA", Without(ok, "EA"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"No EA (Email) field"},
        {"blank EA", Replace(ok, "EA", " \t "), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Empty EA (Email) field"},
        {"no VX", Without(ok, "VX"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"No VX (Client version) field"},
        {"no PW (and no ON)", Without(Without(ok, "PW"), "ON"), Err::cet_NONE,
         Cause::fsdc_InvalidConnectString, kErr + u"No PW (Password) field"},
        {"blank PW", Replace(ok, "PW", "  "), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Empty PW (Password) field"},
        {"no ON", Without(ok, "ON"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"No ON (Callsign&OperatorName) field"},
        {"blank ON", Replace(ok, "ON", ""), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Empty ON (Callsign&OperatorName) field"},
        {"no BC", Without(ok, "BC"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"No BC (Band&Channel) field"},
        {"blank BC", Replace(ok, "BC", " "), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Empty BC (Band&Channel) field"},
        {"no CT", Without(ok, "CT"), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"No CT (City&CityPart) field"},
        {"blank CT", Replace(ok, "CT", " "), Err::cet_NONE, Cause::fsdc_InvalidConnectString,
         kErr + u"Empty CT (City&CityPart) field"},
        {"no NN without default country", Without(ok, "NN"), Err::cet_NONE,
         Cause::fsdc_InvalidConnectString, kErr + u"No NN (Country) field",
         Variant::NoDefaultCountry},
        {"no NT without default network", Without(ok, "NT"), Err::cet_NONE,
         Cause::fsdc_InvalidConnectString, kErr + u"No NT (Network/room) field",
         Variant::NoDefaultNetwork},
        {"refusals are silent at level 0", Without(ok, "EA"), Err::cet_NONE,
         Cause::fsdc_InvalidConnectString, u"", Variant::Normal, kLogLevelNone},
        // From here on the answer is "BLOCK".
        {"EA is the at sign only", Tag("VX", "1") + Tag("EA", " @ "), Err::cet_BLOCK,
         Cause::fsdc_ServerBlock,
         u"Client: 127.0.0.1 5000 Kelvoran testing server procedure EA=@"},
        {"blank VX", Replace(ok, "VX", " "), Err::cet_BLOCK, kNoCause,
         kErr + u"Empty VX (Client version) field"},
        {"VX not a number", Replace(ok, "VX", "2014x"), Err::cet_BLOCK, kNoCause,
         kErr + u"Wrong value of ANSI VX [ClientVersion] field"},
        {"VX beyond 32 bits", Replace(ok, "VX", "99999999999"), Err::cet_BLOCK, kNoCause,
         kErr + u"Wrong value of ANSI VX [ClientVersion] field"},
        {"CEF not a number (escaped in the log)", ok + Tag("CEF", "1 2\\"), Err::cet_BLOCK,
         kNoCause,
         kErr + u"Wrong CEF [Kelvoran Client-Server extension Flags] field: 1 2\\x5C"},
        {"no network at all", ok, Err::cet_BLOCK, kNoCause, u"", Variant::NoNetworks},
        // A failed UTF-8 part: no answer.
        {"UTF-8 asked for, no U8TF", ok + utf8, Err::cet_NONE, Cause::fsdc_WrongUnicodePart, u""},
        {"U8TF client type not a type", ok + utf8 + Tag("U8TF", "5" + FullU8()), Err::cet_NONE,
         Cause::fsdc_WrongUnicodePart, kErr + u"Wrong client type on Unicode(UTF8) part"},
        {"U8TF client type differs, logged at level 0", ok + utf8 + Tag("U8TF", "1" + FullU8()),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart,
         kErr + u"Wrong client type on Unicode(UTF8) part", Variant::Normal, kLogLevelNone},
        {"blank UTF-8 e-mail",
         ok + utf8 + U8(Typed('0', " ") + Typed('1', "p") + Typed('2', "c") + Typed('3', "b") +
                        Typed('6', "c")),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart, kErr + u"Empty UTF8 Email field"},
        {"blank UTF-8 password",
         ok + utf8 + U8(Typed('0', "e") + Typed('1', "") + Typed('2', "c") + Typed('3', "b") +
                        Typed('6', "c")),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart, kErr + u"Empty UTF8 Password field"},
        {"blank UTF-8 callsign",
         ok + utf8 + U8(Typed('0', "e") + Typed('1', "p") + Typed('2', " ") + Typed('3', "b") +
                        Typed('6', "c")),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart,
         kErr + u"Empty UTF8 Callsign&OperatorName field"},
        {"blank UTF-8 band",
         ok + utf8 + U8(Typed('0', "e") + Typed('1', "p") + Typed('2', "c") + Typed('3', " ") +
                        Typed('6', "c")),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart, kErr + u"Empty UTF8 Band&Channel field"},
        {"blank UTF-8 city", ok + utf8 + U8(FullU8NoCity() + Typed('6', " ")),
         Err::cet_NONE, Cause::fsdc_WrongUnicodePart, kErr + u"Empty UTF8 City&CityPart field"},
        {"blank UTF-8 city, silent at level 1",
         ok + utf8 + U8(FullU8NoCity() + Typed('6', " ")), Err::cet_NONE,
         Cause::fsdc_WrongUnicodePart, u"", Variant::Normal, kLogLevelDanger},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.Name);
        World w;
        w.svc.level = c.Level;
        if (c.World == Variant::NoDefaultCountry) w.svc.countryA.clear();
        if (c.World == Variant::NoDefaultNetwork) w.svc.def = nullptr;
        if (c.World == Variant::NoNetworks) w.svc.nets.clear(), w.svc.def = nullptr;
        TestSession s(w.svc);
        s.Connect(c.Line);
        EXPECT_EQ(s.ClientError(), c.Error);
        EXPECT_EQ(s.DisconnectCauseR(), c.StoredCause);
        EXPECT_EQ(s.CtxNetwork(), nullptr);
        if (c.Log.empty())
            EXPECT_TRUE(w.svc.lines.empty()) << w.svc.lines.size();
        else
            EXPECT_EQ(w.svc.lines, std::vector<std::u16string>{c.Log});
    }
}

TEST(ConnectString, AcceptedClientStoresItsFields) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    // Blanks around every value and an unknown tag of some client's own.
    s.Connect(Tag("VX", " 2012002 ") + "  " + Tag("XQ", "own data") + "\t" + Tag("EA", " a@b.c ") +
              Tag("PW", "pw") + Tag("ON", " CALL Name") + Tag("BC", "Crosslink") +
              Tag("CT", "City ") + Tag("NT", "Test") + Tag("DS", " Hello "));
    ASSERT_EQ(s.ClientError(), Err::cet_OK);
    EXPECT_EQ(s.DisconnectCauseR(), kNoCause);
    EXPECT_EQ(s.CtxNetwork(), &w.test);
    EXPECT_EQ(s.LastClientVersion(), 2012002);
    EXPECT_EQ(s.LastClientVersionA(), "2012002");
    EXPECT_EQ(s.ActLikeServerVersion(), 2014004);
    EXPECT_EQ(s.ProtocolFlags(), 0x08u);  // old client: owner word; no extension flags
    EXPECT_EQ(s.CliEMailANSI(), "a@b.c");
    EXPECT_EQ(s.CliEMailSort(), std::string("a@b.c\0\0\0", 8));
    EXPECT_EQ(s.CliCallsignOpnameANSISort(), std::string("CALL Name\0\0\0", 12));
    EXPECT_EQ(s.CliCityCityPartANSI(), "City");
    EXPECT_EQ(s.CtxDescriptionANSI(), "Hello");
    EXPECT_EQ(s.CliCountryANSI(), "Land");  // no NN: the default country
    EXPECT_EQ(s.CliUnicode(ub_CountryA), u"Land");
    EXPECT_EQ(s.CliClientType(), clt_CROSSLINK);
    EXPECT_EQ(s.CtxFlags(), QOR_CF_INITIAL & ~QOR_CF_CLIENT_TYPE);
    EXPECT_EQ(s.CliHashA(), MakeSourceId("a@b.c"));
    EXPECT_EQ(s.CliHashA2(), ByteStrToUnicode(s.CliHashA()));
    EXPECT_EQ(s.CliUnicode(ub_KeyA), std::u16string(u"6140622E63") + u'\0' + u"CALL Name");
    EXPECT_EQ(s.CliUnicode(ub_CallsignA), u"CALL Name");
    EXPECT_EQ(s.WishedNetworkA2(), u"Test");
    EXPECT_FALSE(s.CliUTF8());
    EXPECT_EQ(s.CtxInitialFlags, s.CtxFlags());
}

TEST(ConnectString, BytesAreCutThenTrimmedAgain) {
    TQORRoleScope role(kHeartbeat);
    struct Cut {
        const char* Tag;
        int32_t Limit;
        const std::string& (TQORSVCContext::*Field)() const;
    };
    const Cut cuts[] = {
        {"EA", 64, &TQORSVCContext::CliEMailANSI},
        {"PW", 100, &TQORSVCContext::CliPasswordANSI},
        {"ON", 50, &TQORSVCContext::CliCallsignOpnameANSI},
        {"BC", 36, &TQORSVCContext::CliBandChannelANSI},
        {"CT", 64, &TQORSVCContext::CliCityCityPartANSI},
        {"NN", 64, &TQORSVCContext::CliCountryANSI},
        {"NT", 32, &TQORSVCContext::WishedNetworkA},
        {"DS", 70, &TQORSVCContext::CtxDescriptionANSI},
    };
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.Tag);
        World w;
        TestSession s(w.svc);
        // The cut falls just after a blank, which the second trim removes.
        const std::string kept(c.Limit - 1, 'a');
        s.Connect(Replace(BasicConnect(), c.Tag, kept + " bbbbbbbb"));
        ASSERT_EQ(s.ClientError(), Err::cet_OK);
        EXPECT_EQ((s.*c.Field)(), kept);
    }
    World w;
    TestSession s(w.svc);
    s.Connect(Replace(BasicConnect(), "EA", std::string(70, 'e')));
    EXPECT_EQ(s.CliEMailANSI(), std::string(64, 'e'));
}

TEST(ConnectString, UTF8FieldsAreCutByCharacters) {
    TQORRoleScope role(kHeartbeat);
    struct Cut {
        char Type;
        int32_t Limit;
        const std::string& (TQORSVCContext::*Field)() const;
    };
    const Cut cuts[] = {
        {'0', 64, &TQORSVCContext::CliEMailUTF8},
        {'1', 100, &TQORSVCContext::CliPasswordUTF8},
        {'2', 50, &TQORSVCContext::CliCallsignOpnameUTF8},
        {'3', 36, &TQORSVCContext::CliBandChannelUTF8},
        {'4', 70, &TQORSVCContext::CtxDescriptionUTF8},
        {'5', 64, &TQORSVCContext::CliCountryUTF8},
        {'6', 64, &TQORSVCContext::CliCityCityPartUTF8},
        {'7', 64, &TQORSVCContext::WishedNetworkUTF8},
    };
    const std::string u = "\xC3\xBC";  // two bytes, one character
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.Type);
        std::string kept;
        for (int i = 0; i < c.Limit - 1; ++i) kept += u;
        std::string fields;
        for (char t : std::string("0123456")) {
            if (t == '4' || t == '5') {
                if (t == c.Type) fields += Typed(t, kept + " " + u + u);
                continue;
            }
            fields += Typed(t, t == c.Type ? kept + " " + u + u : std::string("v"));
        }
        if (c.Type == '7') fields += Typed('7', kept + " " + u + u);
        World w;
        TestSession s(w.svc);
        s.Connect(BasicConnect(Tag("CEF", "11") + U8(fields)));
        ASSERT_EQ(s.ClientError(), Err::cet_OK);
        ASSERT_TRUE(s.CliUTF8());
        EXPECT_EQ((s.*c.Field)(), kept);
    }
}

TEST(ConnectString, UTF8PartFieldsAndDefaults) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    s.Connect(BasicConnect(Tag("CEF", "11") + U8(FullU8(Typed('4', " Hi ")))));
    ASSERT_EQ(s.ClientError(), Err::cet_OK);
    EXPECT_TRUE(s.CliUTF8());
    EXPECT_EQ(s.CliCallsignOpnameUTF8(), "J\xC3\xBCrgen");
    EXPECT_EQ(s.CliUnicode(ub_CallsignU8), u"J\u00FCrgen");
    EXPECT_EQ(s.CliUnicode(ub_CityU8), u"K\u00F6ln");
    EXPECT_EQ(s.CtxDescriptionUTF8(), "Hi");
    EXPECT_EQ(s.CliCountryUTF8(), "Land");  // absent: the default country
    EXPECT_EQ(s.CliUnicode(ub_CountryU8), u"Land");
    EXPECT_EQ(s.WishedNetworkUTF8(), "Test");  // absent: the default network's name
    EXPECT_EQ(s.WishedNetworkUCS2(), u"Test");
    EXPECT_EQ(s.CliUnicode(ub_KeyU8), std::u16string(u"6140622E63") + u'\0' + u"J\u00FCrgen");
    EXPECT_TRUE(s.CtxFlags() & QOR_CF_UTF8);
    EXPECT_TRUE(s.CliAnswerExtFlags() & QOR_EXT_UTF8);
    EXPECT_EQ(w.svc.lines,
              std::vector<std::u16string>{u"Client: 127.0.0.1 5000 Requested Kelvoran "
                                          u"Client-Server extension flags: 11: DIFF, UTF8"});

    // Ill-formed UTF-8 from a client is decoded leniently, not refused.
    World w2;
    TestSession bad(w2.svc);
    bad.Connect(BasicConnect(
        Tag("CEF", "11") + U8(Typed('0', "e") + Typed('1', "p") + Typed('2', "A\xC3") +
                              Typed('3', "b") + Typed('6', "c"))));
    ASSERT_EQ(bad.ClientError(), Err::cet_OK);
    EXPECT_EQ(bad.CliUnicode(ub_CallsignU8), u"A\uFFFD");
}

TEST(ConnectString, IncompleteUTF8PartServesAn8BitClient) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    // No city field: the part is ignored and the request is read again without UTF-8,
    // which turns the UTF-8 difference list into no list.
    s.Connect(BasicConnect(Tag("CEF", "11") + U8(FullU8NoCity())));
    ASSERT_EQ(s.ClientError(), Err::cet_OK);
    EXPECT_FALSE(s.CliUTF8());
    EXPECT_EQ(s.RequestExtFlags(), QOR_LIST_FORMAT_NOLIST);
    EXPECT_EQ(s.CliAnswerExtFlags(), QOR_LIST_FORMAT_NOLIST);
    EXPECT_EQ(s.CtxFlags() & (QOR_CF_UTF8 | QOR_CF_LIST_FORMAT), 0x100u);
    EXPECT_TRUE(s.CliEMailUTF8().empty());
    EXPECT_EQ(s.ClientListItemV1U(), s.ClientListItemV1A());
}

TEST(ConnectString, NetworkSearches) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* Name;
        std::string Extra;  // added to the string without NT
        const char* Expect;  // 8-bit name of the chosen network
        bool DefaultNetwork = true;
    };
    // "Test" (default), "Other" (UTF-8 "Andere"), "Foo" (UTF-8 "Other"), "Other2".
    const Case cases[] = {
        {"UTF-8 wish against UTF-8 names", Tag("NT", "Other") + Tag("CEF", "11") +
                                               U8(FullU8(Typed('7', "Andere"))),
         "Other"},
        {"8-bit wish against UTF-8 names first", Tag("NT", "Other"), "Foo"},
        {"8-bit wish against 8-bit names", Tag("NT", "Other2"), "Other2"},
        {"8-bit wish in another ASCII case", Tag("NT", "oTHER2"), "Other2"},
        {"no match: the default network", Tag("NT", "Nowhere"), "Test"},
        {"no match and no default: the first network", Tag("NT", "Nowhere"), "Test", false},
        {"8-bit client without NT: the default network", "", "Test"},
        {"UTF-8 client without a wish: the default network",
         Tag("CEF", "11") + U8(FullU8()), "Test"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        World w;
        FakeNetwork foo("Foo", "Other"), other2("Other2", "Zweite");
        w.svc.nets = {&w.test, &w.other, &foo, &other2};
        if (!c.DefaultNetwork) w.svc.def = nullptr;
        TestSession s(w.svc);
        s.Connect(Without(BasicConnect(), "NT") + c.Extra);
        ASSERT_EQ(s.ClientError(), Err::cet_OK);
        ASSERT_NE(s.CtxNetwork(), nullptr);
        EXPECT_EQ(s.CtxNetwork()->NetNameA(), c.Expect);
    }
}

TEST(ConnectString, ExtensionFlagsNormalisedAndGranted) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* Cef;  // nullptr: no CEF element
        bool FullUTF8;
        uint32_t Requested, Granted;
        uint32_t Flags;  // CtxFlags AND kShown
        uint32_t ProtocolExt;
    };
    constexpr uint32_t kShown = QOR_CF_UTF8 | QOR_CF_LIST_FORMAT | QOR_CF_SOUND_ACK |
                                QOR_CF_EXTENDED | QOR_CF_SPEAKER_INFO | QOR_CF_LIST_CACHE;
    const Case cases[] = {
        {nullptr, false, 0, 0, 0, 0},
        {" ", false, 0, 0, 0, 0},
        {"0", false, 0, 0, 0, 0},
        // The full 8-bit list allows nothing but "no messages" (granted by the network).
        {"68", false, 0x40, 0, 0, 0x10},
        {"6", false, 0x06, 0x06, 0x2000 | 0x200 | 0x10000, 0x10},
        // Without UTF-8 the difference list becomes no list.
        {"3", false, 0x01, 0x01, 0x100 | 0x10000, 0x10},
        {"139", true, 0x8B, 0x8B, 0x80 | 0x300 | 0x10000 | 0x2000000, 0x10},
        {"2187", true, 0x88B, 0x88B, 0x80 | 0x300 | 0x10000 | 0x2000000 | 0x4000000, 0x10},
        // Count only with SpeakerInfo and CacheList: the cache only.
        {"2186", true, 0x88A, 0x80A, 0x80 | 0x200 | 0x10000 | 0x4000000, 0x10},
        // A UTF-8 part the client did not ask to use is ignored.
        {"2178", true, 0x02, 0x02, 0x200 | 0x10000, 0x10},
        // SpeakerInfo and CacheList carry UTF-8 data: withheld without UTF-8.
        {"2178", false, 0x02, 0x02, 0x200 | 0x10000, 0x10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Cef ? c.Cef : "(none)");
        World w;
        TestSession s(w.svc);
        std::string extra = c.Cef ? Tag("CEF", c.Cef) : std::string();
        if (c.FullUTF8) extra += U8(FullU8());
        s.Connect(BasicConnect(extra));
        ASSERT_EQ(s.ClientError(), Err::cet_OK);
        EXPECT_EQ(s.RequestExtFlags(), c.Requested);
        EXPECT_EQ(s.CliAnswerExtFlags(), c.Granted);
        EXPECT_EQ(s.CtxFlags() & kShown, c.Flags);
        EXPECT_EQ(s.ProtocolFlags() & QOR_PF_EXT_FLAGS, c.ProtocolExt);
    }
}

namespace {

struct PartAt {
    uint32_t Offset;
    std::string Bytes;
};

// A block from its nine parts at the offsets worked out by hand (an empty
// part has offset and length 0), plus its spare bytes.
std::string ExpectedBlock(const std::vector<PartAt>& aParts, size_t aTotal) {
    std::string b(aTotal, '\0');
    for (size_t i = 0; i < aParts.size(); ++i) {
        const uint32_t off = aParts[i].Offset, len = uint32_t(aParts[i].Bytes.size());
        for (int k = 0; k < 4; ++k) {
            b[8 * i + k] = char(off >> (8 * k));
            b[8 * i + 4 + k] = char(len >> (8 * k));
        }
        b.replace(off, len, aParts[i].Bytes);
    }
    return b;
}

}  // namespace

TEST(TransportBlock, EightBitClientByteExact) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    s.Connect(BasicConnect());
    ASSERT_EQ(s.ClientError(), Err::cet_OK);
    const std::string expected = ExpectedBlock(
        {
            {72,
             "CC:<EA>a@b.c</EA><PW>pw</PW><ON>CALL Name</ON><CL>2</CL><BC>PC Only</BC>"
             "<NN>Country</NN><CT>City</CT><NT>Test</NT>"},
            {188, "<DS></DS>"},
            {204, "<IP>127.0.0.1</IP>"},
            {224, "0205a@b.c02pw09CALL Name07PC Only04City07Country"},
            {272, "09127.0.0.1"},
            {0, ""},
            {200, "00"},
            {0, ""},
            {284, "ZE:05a@b.c02pw09CALL Name07Country00000000\r\n"},
        },
        360);
    EXPECT_EQ(s.CliTransportBlock(), expected);
    EXPECT_EQ(TransportBlockPart(s.CliTransportBlock(), tbp_Address), "<IP>127.0.0.1</IP>");
    EXPECT_EQ(TransportBlockPart(s.CliTransportBlock(), tbp_UTF8Len), "");
}

TEST(TransportBlock, UTF8ClientByteExact) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    s.Connect(BasicConnect(Tag("CEF", "11") + U8(FullU8(Typed('4', "Hi")))));
    ASSERT_TRUE(s.CliUTF8());
    const std::string expected = ExpectedBlock(
        {
            {72,
             "CC:<EA>a@b.c</EA><PW>pw</PW><ON>CALL Name</ON><CL>2</CL><BC>PC Only</BC>"
             "<NN>Country</NN><CT>City</CT><NT>Test</NT>"},
            {188, "<DS></DS>"},
            {204, "<IP>127.0.0.1</IP>"},
            {224, "0605a@b.c02pw09CALL Name07PC Only04City07Country"},
            {272, "09127.0.0.1"},
            {288, "05a@b.c02pw07J\xC3\xBCrgen07PC Only05K\xC3\xB6ln04Land"},
            {200, "00"},
            {284, "02Hi"},
            {332, "ZE:05a@b.c02pw09CALL Name07Country05a@b.c02pw07J\xC3\xBCrgen04Land\r\n"},
        },
        428);
    EXPECT_EQ(s.CliTransportBlock(), expected);
}

TEST(TransportBlock, DefaultCountryWithoutNN) {
    TQORRoleScope role(kHeartbeat);
    World w;
    TestSession s(w.svc);
    s.Connect(Without(BasicConnect(), "NN"));
    ASSERT_EQ(s.ClientError(), Err::cet_OK);
    const std::string_view block = s.CliTransportBlock();
    EXPECT_NE(TransportBlockPart(block, tbp_Main).find("<NN>Land</NN>"), std::string_view::npos);
    EXPECT_EQ(TransportBlockPart(block, tbp_ConfirmEMail),
              "ZE:05a@b.c02pw09CALL Name04Land00000000\r\n");
}

TEST(TransportBlock, DamagedBlockGivesNoPart) {
    std::string b(80, '\0');
    b[0] = char(200);  // offset past the end
    b[4] = 4;
    EXPECT_EQ(TransportBlockPart(b, tbp_Main), "");
    EXPECT_EQ(TransportBlockPart("short", tbp_Main), "");
    b[0] = 72;
    b[4] = char(0xFF);  // length past the end
    EXPECT_EQ(TransportBlockPart(b, tbp_Main), "");
}
