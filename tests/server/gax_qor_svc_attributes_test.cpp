#include <gtest/gtest.h>

#include <functional>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

using Cause = TQORSVCDisconnectCause;
using Err = TClientErrorType;
constexpr Cause kNoCause = Cause::fsdc_DisconnectWithoutAuth;

constexpr uint32_t kOwnerBits = 0x1C0000;
constexpr uint32_t kAdminBits = 0x2A0000;
constexpr uint32_t kUserBits = 0x300000;

// A UTF-8 client with a count list asking for every extension the network grants.
std::string AllRequests() {
    constexpr uint32_t kCef = QOR_LIST_FORMAT_COUNT | QOR_EXT_UTF8 | QOR_EXT_SHORT_FRAMES |
                              QOR_EXT_NO_MESSAGES_FROM_SERVER | QOR_EXT_TEMP_MUTE_BLOCK |
                              QOR_EXT_NET_CHANGE_INFO | QOR_EXT_MOVE_CLIENT;
    return BasicConnect(Tag("CEF", std::to_string(kCef)) + U8(FullU8()));
}

struct Admission {
    World w;
    TestSession s{w.svc};
    std::string id;
    explicit Admission(const std::string& aLine = BasicConnect()) GAX_REQUIRES(kHeartbeat) {
        s.Connect(aLine);
        id = s.CliHashA();
    }
    void Run() GAX_REQUIRES(kHeartbeat) { s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect); }
};

// Callsign and city in bytes above 127.
std::string Replace8Bit() {
    return Tag("VX", "1") + Tag("EA", "a@b.c") + Tag("PW", "pw") + Tag("ON", "\xC0\xC1") +
           Tag("BC", "PC Only") + Tag("CT", "\xC2") + Tag("NT", "Test");
}

enum class Who { User, Admin, NetOwner, ServOwner };

void MakeThe(Admission& a, Who aWho) {
    if (aWho == Who::Admin) a.w.test.admins.insert(a.id);
    if (aWho == Who::NetOwner) a.w.test.owners.insert(a.id);
    if (aWho == Who::ServOwner) a.w.svc.ownerId = a.id;
}

}  // namespace

// Who the client is, what the network's lists say about it, and the verdict.
TEST(Attributes, PrivilegeAndListDecisions) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* Name;
        Who Client;
        std::function<void(Admission&)> Lists;
        TQORClientPrivilege Priv;
        Err Error;
        Cause StoredCause;
        uint32_t PrivBits;
        bool Muted, TalkDenied;
    };
    auto none = [](Admission&) {};
    auto blocked = [](Admission& a) { a.w.test.blocked.insert(a.id); };
    auto unlisted = [](Admission& a) { a.w.test.noAccess.insert(a.id); };
    auto muted = [](Admission& a) { a.w.test.muted.insert(a.id); };
    auto unmarked = [](Admission& a) { a.w.test.noTalk.insert(a.id); };
    const Case cases[] = {
        {"user", Who::User, none, clpr_USER, Err::cet_OK, kNoCause, kUserBits, false, false},
        {"admin", Who::Admin, none, clpr_ADMIN, Err::cet_OK, kNoCause, kAdminBits, false, false},
        {"network owner", Who::NetOwner, none, clpr_NETOWNER, Err::cet_OK, kNoCause, kOwnerBits,
         false, false},
        {"server owner", Who::ServOwner, none, clpr_SERVOWNER, Err::cet_OK, kNoCause, kOwnerBits,
         false, false},
        {"server owner also listed as admin", Who::ServOwner,
         [](Admission& a) { a.w.test.admins.insert(a.id); }, clpr_SERVOWNER, Err::cet_OK,
         kNoCause, kOwnerBits, false, false},
        {"blocked user", Who::User, blocked, clpr_USER, Err::cet_BLOCK, Cause::fsdc_AdminBlock,
         kUserBits, false, false},
        {"blocked admin", Who::Admin, blocked, clpr_ADMIN, Err::cet_OK, kNoCause, kAdminBits,
         false, false},
        {"blocked network owner", Who::NetOwner, blocked, clpr_NETOWNER, Err::cet_OK, kNoCause,
         kOwnerBits, false, false},
        {"unlisted user", Who::User, unlisted, clpr_USER, Err::cet_BLOCK, Cause::fsdc_AdminBlock,
         kUserBits, false, false},
        {"unlisted admin", Who::Admin, unlisted, clpr_ADMIN, Err::cet_BLOCK,
         Cause::fsdc_AdminBlock, kAdminBits, false, false},
        {"unlisted network owner", Who::NetOwner, unlisted, clpr_NETOWNER, Err::cet_OK, kNoCause,
         kOwnerBits, false, false},
        {"unlisted server owner", Who::ServOwner, unlisted, clpr_SERVOWNER, Err::cet_OK, kNoCause,
         kOwnerBits, false, false},
        {"muted user", Who::User, muted, clpr_USER, Err::cet_OK, kNoCause, kUserBits, true, false},
        {"muted owner", Who::NetOwner, muted, clpr_NETOWNER, Err::cet_OK, kNoCause, kOwnerBits,
         true, false},
        {"unmarked user", Who::User, unmarked, clpr_USER, Err::cet_OK, kNoCause, kUserBits, false,
         true},
        {"unmarked admin", Who::Admin, unmarked, clpr_ADMIN, Err::cet_OK, kNoCause, kAdminBits,
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Admission a;
        MakeThe(a, c.Client);
        c.Lists(a);
        a.Run();
        EXPECT_EQ(a.s.CliPrivilege, c.Priv);
        EXPECT_EQ(a.s.ClientError(), c.Error);
        EXPECT_EQ(a.s.DisconnectCauseR(), c.StoredCause);
        const uint32_t f = a.s.CtxFlags();
        EXPECT_EQ(f & QOR_CF_PRIV_BITS, c.PrivBits);
        if (c.Error != Err::cet_OK) continue;
        EXPECT_EQ((f & QOR_CF_MUTED) != 0, c.Muted);
        EXPECT_EQ((f & QOR_CF_TALK_DENIED) != 0, c.TalkDenied);
        EXPECT_TRUE(f & QOR_CF_ADMITTED);
        EXPECT_TRUE(f & QOR_CF_NEWBIE);
    }
}

TEST(Attributes, StartsFromTheClientsOwnRequestEachTime) {
    TQORRoleScope role(kHeartbeat);
    Admission a;
    a.w.test.muted.insert(a.id);
    a.w.test.noTalk.insert(a.id);
    a.s.SetAsSpeaker();
    a.s.Ctx2FlagsSet(QOR_C2F_IGNORE_SOUNDS);
    a.s.CtxFlagsSet(QOR_CF_AGGREGATE_LIST | QOR_CF_STATUS_CHANGED);
    a.Run();
    EXPECT_EQ(a.s.CtxFlags() & (QOR_CF_MUTED | QOR_CF_TALK_DENIED), 0xCu);
    // A move restores the flags of the connect string and decides again on the new network.
    a.s.tmRestoreInitialFlags();
    EXPECT_EQ(a.s.Ctx2Flags(), 0u);
    a.s.SetCtxNetwork(&a.w.other);
    a.Run();
    const uint32_t f = a.s.CtxFlags();
    EXPECT_EQ(f & (QOR_CF_MUTED | QOR_CF_TALK_DENIED | QOR_CF_SPEAKER | QOR_CF_AGGREGATE_LIST |
                   QOR_CF_STATUS_CHANGED),
              0u);
    EXPECT_EQ(f & QOR_CF_CLIENT_TYPE, 0x20u);  // kept: the client's own
    EXPECT_EQ(a.s.ClientError(), Err::cet_OK);
}

TEST(Attributes, DiffersMarksComeFromTheMatchedEntries) {
    TQORRoleScope role(kHeartbeat);
    Admission a;
    a.w.test.differs = true;
    a.w.test.admins.insert(a.id);
    a.w.test.blocked.insert(a.id);
    a.w.test.muted.insert(a.id);
    a.Run();
    EXPECT_TRUE(a.s.CliDiffersWithAdmins);
    EXPECT_TRUE(a.s.CliDiffersWithBlocks);
    EXPECT_TRUE(a.s.CliDiffersWithMutes);
    EXPECT_FALSE(a.s.CliDiffersWithServOwner);

    Admission o;
    o.w.svc.ownerId = o.id;
    o.w.svc.ownerDiffers = true;
    o.Run();
    EXPECT_TRUE(o.s.CliDiffersWithServOwner);
}

TEST(Attributes, ExtensionsGrantedByNetworkAndPrivilege) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* Name;
        Who Client;
        bool ShortFrames, TempMuteBlock, AdminMove;
        uint32_t Granted;  // of 0x10, 0x40, 0x100, 0x200, 0x400
        uint32_t Flags;    // CtxFlags AND (0x4000 | 0x1000000)
    };
    constexpr uint32_t kAlways = QOR_EXT_NO_MESSAGES_FROM_SERVER | QOR_EXT_NET_CHANGE_INFO;
    const Case cases[] = {
        {"user, all options", Who::User, true, true, true, kAlways | 0x10, 0x1004000},
        {"user, no options", Who::User, false, false, false, kAlways, 0x1000000},
        {"admin, no options", Who::Admin, false, false, false, kAlways, 0x1000000},
        {"admin, temp mute block", Who::Admin, false, true, false, kAlways | 0x100, 0x1000000},
        {"admin, admin move", Who::Admin, false, false, true, kAlways | 0x400, 0x1000000},
        {"network owner", Who::NetOwner, false, false, false, kAlways | 0x400, 0x1000000},
        {"server owner, temp mute block", Who::ServOwner, false, true, false,
         kAlways | 0x100 | 0x400, 0x1000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Admission a(AllRequests());
        ASSERT_TRUE(a.s.CliUTF8());
        MakeThe(a, c.Client);
        a.w.test.shortFrames = c.ShortFrames;
        a.w.test.tempMuteBlock = c.TempMuteBlock;
        a.w.test.adminMove = c.AdminMove;
        a.Run();
        ASSERT_EQ(a.s.ClientError(), Err::cet_OK);
        // The grants of the connect string stay: count list and UTF-8.
        EXPECT_EQ(a.s.CliAnswerExtFlags(), c.Granted | QOR_LIST_FORMAT_COUNT | QOR_EXT_UTF8);
        EXPECT_EQ(a.s.CtxFlags() & 0x1004000u, c.Flags);
    }
}

TEST(Attributes, ConnectionLimitsPassOnlyByPrivilege) {
    TQORRoleScope role(kHeartbeat);
    struct Case {
        const char* Name;
        Who Client;
        bool PerAddress, Total, Allow;
        Err Error;
        Cause StoredCause;
    };
    const Case cases[] = {
        {"server owner over the address limit, allowed", Who::ServOwner, true, false, true,
         Err::cet_OK, kNoCause},
        {"server owner over the address limit, not allowed", Who::ServOwner, true, false, false,
         Err::cet_NONE, Cause::fsdc_MaxClientConnectionsPerAddress},
        {"admin over the total limit, not allowed", Who::Admin, false, true, false, Err::cet_NONE,
         Cause::fsdc_MaxClientConnectionsTotal},
        {"network owner over both, allowed", Who::NetOwner, true, true, true, Err::cet_OK,
         kNoCause},
        {"user over the address limit", Who::User, true, false, false, Err::cet_NONE,
         Cause::fsdc_MaxClientConnectionsPerAddress},
        {"user within the limits", Who::User, false, false, false, Err::cet_OK, kNoCause},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Admission a;
        MakeThe(a, c.Client);
        a.s.ExceededConnectionsPerAddress = c.PerAddress;
        a.s.ExceededConnectionsTotal = c.Total;
        for (bool& allow : a.w.test.allowByPriv) allow = c.Allow;
        a.Run();
        EXPECT_EQ(a.s.ClientError(), c.Error);
        EXPECT_EQ(a.s.DisconnectCauseR(), c.StoredCause);
    }
}

TEST(Attributes, RecalcCharsetDecodesWithTheNetworksSet) {
    TQORRoleScope role(kHeartbeat);
    Admission a(Replace8Bit());
    a.s.tmRecaclCharsetA2(nullptr);
    EXPECT_EQ(a.s.CliUnicode(ub_CallsignA), u"\u00C0\u00C1");  // widened byte by byte

    static const auto list = CreateCharsetsCodeList();
    TAnsiUnicodeConverter conv;
    conv.SetCharsetsCodeList(list.get());
    conv.SetCharsetName(u"WINDOWS-1251");
    a.s.tmRecaclCharsetA2(&conv);
    EXPECT_EQ(a.s.CliUnicode(ub_CallsignA), u"\u0410\u0411");
    EXPECT_EQ(a.s.CliUnicode(ub_CityA), u"\u0412");
    EXPECT_EQ(a.s.CliUnicode(ub_EMailA), u"a@b.c");
}
