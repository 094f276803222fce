#include "server/gax_qor_svc_globals.h"

#include <gtest/gtest.h>

#include <string>

using namespace gax;

namespace {

struct CauseRow {
    TQORSVCDisconnectCause cause;
    int value;
    const char* text;
    int level;
};

// Copied from the operators' reference of log texts; kept apart from the code
// so that a slip in either shows up here.
const CauseRow kCauseRows[] = {
    {TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth, 0, "HANDSHAKE_NONE", 1},
    {TQORSVCDisconnectCause::fsdc_HandshakeTimeout, 1, "HANDSHAKE_TIMEOUT", 1},
    {TQORSVCDisconnectCause::fsdc_ManagerTimeout, 3, "DISCONNECT_MANAGER_TIMEOUT", 5},
    {TQORSVCDisconnectCause::fsdc_ClientTimeout, 4, "DISCONNECT_TIMEOUT", 3},
    {TQORSVCDisconnectCause::fsdc_InvalidConnectString, 5, "DISCONNECT_INVALID_HANDSHAKE", 1},
    {TQORSVCDisconnectCause::fsdc_InvalidEmail, 6, "DISCONNECT_INVALID_EMAIL", 2},
    {TQORSVCDisconnectCause::fsdc_InvalidCharacter, 7, "DISCONNECT_INVALID_CHARACTERS", 1},
    {TQORSVCDisconnectCause::fsdc_WrongCommand, 9, "DISCONNECT_INVALID_COMMAND", 1},
    {TQORSVCDisconnectCause::fsdc_ServerError, 10, "DISCONNECT_SERVER_ERROR", 3},
    {TQORSVCDisconnectCause::fsdc_ServerBlock, 11, "DISCONNECT_SERVER_BLOCK", 3},
    {TQORSVCDisconnectCause::fsdc_ServerWrongPasssword, 12, "DISCONNECT_SERVER_WRONG", 3},
    {TQORSVCDisconnectCause::fsdc_ServerDuplicate, 13, "DISCONNECT_SERVER_DUPL", 3},
    {TQORSVCDisconnectCause::fsdc_BandWidthLimit, 14, "DISCONNECT_BANDWIDTH", 2},
    {TQORSVCDisconnectCause::fsdc_ManagerError, 15, "DISCONNECT_MANAGER_ERROR", 3},
    {TQORSVCDisconnectCause::fsdc_ManagerWrongPassword, 16, "DISCONNECT_MANAGER_WRONG", 3},
    {TQORSVCDisconnectCause::fsdc_ManagerDuplicate, 17, "DISCONNECT_MANAGER_DUPL", 3},
    {TQORSVCDisconnectCause::fsdc_ManagerBlock, 18, "DISCONNECT_MANAGER_BLOCK", 3},
    {TQORSVCDisconnectCause::fsdc_AdminBlock, 19, "DISCONNECT_ADMIN_BLOCK", 3},
    {TQORSVCDisconnectCause::fsdc_TerminateByServer, 20, "DISCONNECT_TERMINATED_BY_SERVER", 4},
    {TQORSVCDisconnectCause::fsdc_ServerStopped, 21, "DISCONNECT_SERVER_STOP", 4},
    {TQORSVCDisconnectCause::fsdc_NetMaxClients, 22, "DISCONNECT_MAX_CLIENTS", 2},
    {TQORSVCDisconnectCause::fsdc_MaxClientConnectionsTotal, 23,
     "DISCONNECT_LIMIT_CONNECTS_PER_SERVER", 1},
    {TQORSVCDisconnectCause::fsdc_MaxClientConnectionsPerAddress, 24,
     "DISCONNECT_LIMIT_CONNECTS_PER_ADDRESS", 1},
    {TQORSVCDisconnectCause::fsdc_ServOutOfMemory, 25, "DISCONNECT_OUT_OF_MEMORY", 1},
    {TQORSVCDisconnectCause::fsdc_ServInternalError, 26, "DISCONNECT_INTERNAL_ERROR", 1},
    {TQORSVCDisconnectCause::fsdc_SocketError, 27, "DISCONNECT_SOCKET_ERROR", 3},
    {TQORSVCDisconnectCause::fsdc_GracefullDisconnect, 28, "DISCONNECT_BY_PEER", 4},
    {TQORSVCDisconnectCause::fsdc_SessionTimeLimit, 29, "DISCONNECT_LIMIT_SESSION_TIME", 2},
    {TQORSVCDisconnectCause::fsdc_ChangeRole, 30, "DISCONNECT_NEW_ROLE", 4},
    {TQORSVCDisconnectCause::fsdc_InvalidPeer, 31, "HANDSHAKE_INVALID_PEER", 1},
    {TQORSVCDisconnectCause::fsdc_MaxCommandConnections, 32, "DISCONNECT_MAX_COMMAND_CONNECTIONS",
     2},
    {TQORSVCDisconnectCause::fsdc_CommandWrongCommand, 33, "DISCONNECT_INVALID_CONTROL_COMMAND", 1},
    {TQORSVCDisconnectCause::fsdc_PrivilegeViolation, 34, "DISCONNECT_PRIVILEGE_VIOLATION", 1},
    {TQORSVCDisconnectCause::fsdc_InvalidAudioData, 35, "DISCONNECT_INVALID_AUDIO", 1},
    {TQORSVCDisconnectCause::fsdc_TxTooFast, 36, "DISCONNECT_TX_TOO_FAST", 1},
    {TQORSVCDisconnectCause::fsdc_TxTooSlow, 37, "DISCONNECT_TX_TOO_SLOW", 1},
    {TQORSVCDisconnectCause::fsdc_ExtProtoViolation, 38, "DISCONNECT_EXT_PROTO_VIOLATION", 1},
    {TQORSVCDisconnectCause::fsdc_WrongUnicodePart, 39, "DISCONNECT_WRONG_UNICODE", 1},
    {TQORSVCDisconnectCause::fsdc_TooLongString, 40, "DISCONNECT_TOO_LONG", 1},
    {TQORSVCDisconnectCause::fsdc_ByOwner, 41, "DISCONNECT_BY_SERVER_OWNER", 4},
    {TQORSVCDisconnectCause::fsdc_TooFastConnections, 42, "DISCONNECT_TOO_FAST_CONNECTIONS", 1},
    {TQORSVCDisconnectCause::fsdc_BlackEmail, 43, "DISCONNECT_BLACK_EMAIL", 1},
    {TQORSVCDisconnectCause::fsdc_BlackSourceIp, 44, "DISCONNECT_BLACK_SOURCE_IP", 1},
    {TQORSVCDisconnectCause::fsdc_BlackAddress, 45, "DISCONNECT_BLACK_ADDRESS", 1},
    {TQORSVCDisconnectCause::fsdc_NoServer, 46, "DISCONNECT_NO_ANSWERING_SERVER", 3},
    {TQORSVCDisconnectCause::fsdc_AccountAlreadyUsed, 47, "DISCONNECT_ALREADY_USED", 3},
    {TQORSVCDisconnectCause::fsdc_AccountNotRegistered, 48, "DISCONNECT_ACCOUNT_NOT_REGISTERED", 3},
    {TQORSVCDisconnectCause::fsdc_SysmanDynamicPasswordOK, 49, "DISCONNECT_SYSMAN_DYNPASS_OK", 5},
    {TQORSVCDisconnectCause::fsdc_SysmanWrongPassword, 50, "DISCONNECT_SYSMAN_WRONG_PASSWORD", 3},
    {TQORSVCDisconnectCause::fsdc_SysmanEmailOK, 51, "DISCONNECT_SYSMAN_EMAIL_OK", 5},
    {TQORSVCDisconnectCause::fsdc_SysmanServerAddressAlreadyAccupied, 52,
     "DISCONNECT_SYSMAN_IP_ALREADY_ACCUPIED", 3},
    {TQORSVCDisconnectCause::fsdc_SysmanListOfServers, 53, "DISCONNECT_SYSMAN_LIST_OF_SERVERS", 5},
    {TQORSVCDisconnectCause::fsdc_SysmanTooManyNetworks, 54, "DISCONNECT_SYSMAN_TOO_MANY_NETWORKS",
     1},
    {TQORSVCDisconnectCause::fsdc_SysmanWrongNetworksList, 55,
     "DISCONNECT_SYSMAN_WRONG_NETWORKS_LIST", 1},
    {TQORSVCDisconnectCause::fsdc_SysmanOK, 56, "DISCONNECT_SYSMAN_OK", 4},
    {TQORSVCDisconnectCause::fsdc_ChangeIntFlags, 57, "DISCONNECT_NEW_INTERNAL_FLAGS", 4},
};

std::u16string Wide(const char* s) {
    return std::u16string(s, s + std::char_traits<char>::length(s));
}

}  // namespace

TEST(DisconnectCauses, TextsLevelsAndValuesMatchTheReference) {
    ASSERT_EQ(std::size(kCauseRows), 56u);
    for (const CauseRow& row : kCauseRows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(static_cast<int>(row.cause), row.value);
        EXPECT_EQ(DisconnectCauseRec(row.cause).N, Wide(row.text));
        EXPECT_EQ(DisconnectCauseRec(row.cause).L, row.level);
    }
}

TEST(DisconnectCauses, GapsAndOutOfRangeValuesReadAsThePlaceholder) {
    for (int v : {2, 8, 58, 200, 255}) {
        const DisconnectRec& rec = DisconnectCauseRec(static_cast<TQORSVCDisconnectCause>(v));
        EXPECT_EQ(rec.N, u"DISCONNECT_UNKNOWN") << v;
        EXPECT_EQ(rec.L, 1) << v;
    }
}

TEST(DisconnectCauses, LoggedWhenLevelIsNotAboveTheClientLogLevel) {
    using C = TQORSVCDisconnectCause;
    struct Case {
        C cause;
        int32_t logLevel;
        bool logged;
    };
    const Case cases[] = {
        {C::fsdc_ServerStopped, 2, false},  // level 4 at the default 2
        {C::fsdc_ServerStopped, 4, true},
        {C::fsdc_HandshakeTimeout, 2, true},  // level 1
        {C::fsdc_HandshakeTimeout, 1, true},
        {C::fsdc_HandshakeTimeout, 0, false},  // level 0 logs none
        {C::fsdc_SysmanOK, 3, false},          // level 4
        {C::fsdc_ManagerTimeout, 5, true},     // level 5, the highest
        {C::fsdc_ManagerTimeout, 4, false},
        {C::fsdc_ManagerTimeout, 7, true},
        {C::fsdc_ManagerTimeout, -1, false},
        {static_cast<C>(2), 0, false},
        {static_cast<C>(2), 1, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsDisconnectLogged(c.cause, c.logLevel), c.logged)
            << static_cast<int>(c.cause) << " at " << c.logLevel;
}

TEST(ServNetworkCommands, NamesRoutesAndTheUnusedValue) {
    using C = TQORServNetworkCommand;
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_UpdateAdminsList).Name, u"snc_UpdateAdminsList");
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_UpdateAdminsList).Route,
              TQORSVCCommandRoute::ServiceThenNetwork);
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_TxSoundLong).Route, TQORSVCCommandRoute::Network);
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_FastOn).Route, TQORSVCCommandRoute::EveryNetwork);
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_ClientDisconnected).Route,
              TQORSVCCommandRoute::ServiceOrNetwork);
    EXPECT_EQ(ServNetworkCommandInfo(C::snc_ChannelThreads).Route, TQORSVCCommandRoute::Service);
    for (C notPosted : {C::snc_ChannelListAnswer, C::snc_ChannelLogText, C::snc_RightsCopyToNet,
                        static_cast<C>(67), static_cast<C>(96), static_cast<C>(255)}) {
        EXPECT_EQ(ServNetworkCommandInfo(notPosted).Route, TQORSVCCommandRoute::NotPosted)
            << static_cast<int>(notPosted);
    }
    EXPECT_TRUE(ServNetworkCommandInfo(static_cast<C>(67)).Name.empty());
    EXPECT_TRUE(ServNetworkCommandInfo(static_cast<C>(200)).Name.empty());
}

TEST(LogLevels, NamesAndOutOfRange) {
    EXPECT_EQ(LogLevelName(0), u"NONE");
    EXPECT_EQ(LogLevelName(4), u"LOGIN");
    EXPECT_EQ(LogLevelName(7), u"EXTRA");
    EXPECT_TRUE(LogLevelName(8).empty());
    EXPECT_TRUE(LogLevelName(-1).empty());
}

TEST(ParseManagerModeText, Table) {
    struct Case {
        std::u16string_view text;
        bool ok;
        TQORSystemManagerMode mode;
    };
    const Case cases[] = {
        {u" light ", true, smm_Light},
        {u"\tLiGhT\r\n", true, smm_Light},
        {u"q", true, smm_QOR},
        {u"QOR", true, smm_QOR},
        {u"3", true, smm_QOR},
        {u"03", true, smm_QOR},
        {u"+2", true, smm_Light},
        {u"-0", true, smm_Standalone},
        {u"n", true, smm_Notify},
        {u"Standalone", true, smm_Standalone},
        {u"s", true, smm_Standalone},
        {u"-1", false, {}},
        {u"4", false, {}},
        {u"7", false, {}},
        {u"", false, {}},
        {u"   ", false, {}},
        {u"99999999999", false, {}},
        {u"+", false, {}},
        {u"1 2", false, {}},
        {u"QORX", false, {}},
        {u"l\u0131ght", false, {}},                       // only ASCII letters change case
        {std::u16string_view(u"3\0x", 3), false, {}},     // a NUL inside is not a decimal
        {std::u16string_view(u"q\0", 2), true, smm_QOR},  // a trailing NUL is trimmed
    };
    for (const Case& c : cases) {
        // A sentinel outside the enumeration shows whether a failure wrote it.
        auto mode = static_cast<TQORSystemManagerMode>(0x5A);
        const bool ok = ParseManagerModeText(c.text, mode);
        const std::string shown(c.text.begin(), c.text.end());
        EXPECT_EQ(ok, c.ok) << shown;
        if (c.ok)
            EXPECT_EQ(mode, c.mode) << shown;
        else
            EXPECT_EQ(static_cast<int>(mode), 0x5A) << shown;
    }
}
