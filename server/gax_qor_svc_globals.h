// The server's shared vocabulary: the command codes of the server queue and the
// networks' command arrays, the disconnect causes with their log texts and levels,
// the log levels, the manager-mode words and the small enumerations every server
// module uses. The numeric values are stored in queue records and compared in
// tables, and the cause texts are what operators grep in the log, so neither may
// change. All tables are compile-time constants; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/gax_qor_consts.h"

namespace gax {

// ---------------------------------------------------------------------------
// Commands of the server queue and of a network's command array.

enum class TQORServNetworkCommand : uint8_t {
    snc_UpdateAdminsList = 0,
    snc_UpdateMutesList = 1,
    snc_UpdateBlocksList = 2,
    snc_UpdateRightsList = 3,
    snc_UpdateModesList = 4,
    snc_UpdateNoticesList = 5,
    snc_AdminsListChanged = 6,
    snc_MutesListChanged = 7,
    snc_BlocksListChanged = 8,
    snc_RightsListChanged = 9,
    snc_ModesListChanged = 10,
    snc_NoticesListChanged = 11,
    snc_OwnerInfoChanged = 12,
    snc_ChannelMute = 13,
    snc_ChannelBlock = 14,
    snc_ChannelAdmin = 15,
    snc_ChannelRight = 16,
    snc_ChannelRightMark = 17,
    snc_ChannelRightNoticeSet = 18,
    snc_ChannelConnectListedOnly = 19,
    snc_ChannelTalkMarkedOnly = 20,
    snc_ChannelListNet = 21,
    snc_ChannelListServer = 22,
    snc_ChannelThreads = 23,
    snc_ChannelFlushData = 24,
    snc_ChannelListAnswer = 25,
    snc_ChannelServerManagerMode = 26,
    snc_ChannelNetworkManagerMode = 27,
    snc_ChannelNetworkLogLevel = 28,
    snc_ContextMoveClient = 29,
    snc_ChannelMoveClient = 30,
    snc_MoveClientAutoBack = 31,
    snc_ChannelCommandAnswer = 32,
    snc_ChannelLogText = 33,
    snc_ChannelDisconnectManagerIdx = 34,
    snc_ChannelDisconnectManagerAddrPort = 35,
    snc_ChannelDisconnectNetworkClient = 36,
    snc_ChannelInternalFlags = 37,
    snc_ChannelManagerLogLevel = 38,
    snc_ChannelManagersList = 39,
    snc_ChannelManagerAuthEnableDisable = 40,
    snc_ChannelSendHugeSound = 41,
    snc_ServConnectCommand = 42,
    snc_ServConnectClient = 43,
    snc_HandshakeClient = 44,
    snc_HandshakeError = 45,
    snc_ClientDisconnected = 46,
    snc_CommandDisconnected = 47,
    snc_FastOn = 48,
    snc_FastOff = 49,
    snc_ManagerAnswer = 50,
    snc_ManagerConfirmEmail = 51,
    snc_ManagerOnOffLine = 52,
    snc_ManagerThreadStartStop = 53,
    snc_ServWorkerStartHot = 54,
    snc_ServWorkerRejectedContex = 55,
    snc_ServWorkerWillAcceptContext = 56,
    snc_ServWorkerIdle = 57,
    snc_ServWorkerTerminated = 58,
    snc_ServStopDisconnectAll = 59,
    snc_ApplyServIntFlags = 60,
    snc_ApplyNetIntFlags = 61,
    snc_ChannelMemoryReportRequest = 62,
    snc_MemoryReportAnswerLine = 63,
    snc_MemoryReportAnswerReadyEvent = 64,
    snc_ServAbortAllWorkers = 65,
    snc_AttachNetwork = 66,
    // 67 is not used; the values after it keep their numbers.
    snc_VisibleStatus = 68,
    snc_RxRequest = 69,
    snc_TxRequest = 70,
    snc_TxSoundLong = 71,
    snc_TxSoundShort = 72,
    snc_MessageV0 = 73,
    snc_MessageV1 = 74,
    snc_MuteClient = 75,
    snc_UnmuteClient = 76,
    snc_BlockClient = 77,
    snc_UnblockClient = 78,
    snc_MakeAdmin = 79,
    snc_DeleteAdmin = 80,
    snc_RightsEnableConnectListedOnly = 81,
    snc_RightsDisableConnectListedOnly = 82,
    snc_RightsEnableTalkMarkedOnly = 83,
    snc_RightsDisableTalkMarkedOnly = 84,
    snc_RightsAddClient = 85,
    snc_RightsDeleteClient = 86,
    snc_RightsCopyToNet = 87,
    snc_RightsMarkClient = 88,
    snc_RightsUnmarkClient = 89,
    snc_NetworkNotice = 90,
    snc_NetworkNoticeExt = 91,
    snc_NetServerStopDisconnectAll = 92,
    snc_NetOwnerDisconnectAll = 93,
    snc_RebuildClientListNow = 94,
    // A worker gives the heartbeat a session that holds the floor, so that
    // the thread that fans out its frames also reads them.
    snc_ServWorkerGivesTalker = 95,
};

inline constexpr std::size_t kServNetworkCommandCount = 96;

// Who acts on a command when the heartbeat thread dispatches it.
enum class TQORSVCCommandRoute : uint8_t {
    Service = 0,             // the service's dispatcher
    ServiceThenNetwork = 1,  // the service, which then hands records to networks
    ServiceOrNetwork = 2,    // the service or one network, depending on the record
    EveryNetwork = 3,        // the service, once for every network
    Network = 4,             // handed on to one network
    NotPosted = 5,           // nothing posts it; a record that turns up is dropped
};

struct TQORSVCCommandInfo {
    std::u16string_view Name;  // empty for an unused value
    TQORSVCCommandRoute Route;
};

inline constexpr std::array<TQORSVCCommandInfo, kServNetworkCommandCount> kServNetworkCommands = {{
    {u"snc_UpdateAdminsList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_UpdateMutesList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_UpdateBlocksList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_UpdateRightsList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_UpdateModesList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_UpdateNoticesList", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_AdminsListChanged", TQORSVCCommandRoute::Service},
    {u"snc_MutesListChanged", TQORSVCCommandRoute::Service},
    {u"snc_BlocksListChanged", TQORSVCCommandRoute::Service},
    {u"snc_RightsListChanged", TQORSVCCommandRoute::Service},
    {u"snc_ModesListChanged", TQORSVCCommandRoute::Service},
    {u"snc_NoticesListChanged", TQORSVCCommandRoute::Service},
    {u"snc_OwnerInfoChanged", TQORSVCCommandRoute::Service},
    {u"snc_ChannelMute", TQORSVCCommandRoute::Network},
    {u"snc_ChannelBlock", TQORSVCCommandRoute::Network},
    {u"snc_ChannelAdmin", TQORSVCCommandRoute::Network},
    {u"snc_ChannelRight", TQORSVCCommandRoute::Network},
    {u"snc_ChannelRightMark", TQORSVCCommandRoute::Network},
    {u"snc_ChannelRightNoticeSet", TQORSVCCommandRoute::Network},
    {u"snc_ChannelConnectListedOnly", TQORSVCCommandRoute::Network},
    {u"snc_ChannelTalkMarkedOnly", TQORSVCCommandRoute::Network},
    {u"snc_ChannelListNet", TQORSVCCommandRoute::Service},
    {u"snc_ChannelListServer", TQORSVCCommandRoute::Service},
    {u"snc_ChannelThreads", TQORSVCCommandRoute::Service},
    {u"snc_ChannelFlushData", TQORSVCCommandRoute::Service},
    {u"snc_ChannelListAnswer", TQORSVCCommandRoute::NotPosted},
    {u"snc_ChannelServerManagerMode", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_ChannelNetworkManagerMode", TQORSVCCommandRoute::Network},
    {u"snc_ChannelNetworkLogLevel", TQORSVCCommandRoute::Network},
    {u"snc_ContextMoveClient", TQORSVCCommandRoute::Service},
    {u"snc_ChannelMoveClient", TQORSVCCommandRoute::Service},
    {u"snc_MoveClientAutoBack", TQORSVCCommandRoute::Service},
    {u"snc_ChannelCommandAnswer", TQORSVCCommandRoute::Service},
    {u"snc_ChannelLogText", TQORSVCCommandRoute::NotPosted},
    {u"snc_ChannelDisconnectManagerIdx", TQORSVCCommandRoute::Service},
    {u"snc_ChannelDisconnectManagerAddrPort", TQORSVCCommandRoute::Service},
    {u"snc_ChannelDisconnectNetworkClient", TQORSVCCommandRoute::ServiceOrNetwork},
    {u"snc_ChannelInternalFlags", TQORSVCCommandRoute::Network},
    {u"snc_ChannelManagerLogLevel", TQORSVCCommandRoute::Service},
    {u"snc_ChannelManagersList", TQORSVCCommandRoute::Service},
    {u"snc_ChannelManagerAuthEnableDisable", TQORSVCCommandRoute::Service},
    {u"snc_ChannelSendHugeSound", TQORSVCCommandRoute::Network},
    {u"snc_ServConnectCommand", TQORSVCCommandRoute::Service},
    {u"snc_ServConnectClient", TQORSVCCommandRoute::Service},
    {u"snc_HandshakeClient", TQORSVCCommandRoute::ServiceThenNetwork},
    {u"snc_HandshakeError", TQORSVCCommandRoute::Service},
    {u"snc_ClientDisconnected", TQORSVCCommandRoute::ServiceOrNetwork},
    {u"snc_CommandDisconnected", TQORSVCCommandRoute::Service},
    {u"snc_FastOn", TQORSVCCommandRoute::EveryNetwork},
    {u"snc_FastOff", TQORSVCCommandRoute::EveryNetwork},
    {u"snc_ManagerAnswer", TQORSVCCommandRoute::Network},
    {u"snc_ManagerConfirmEmail", TQORSVCCommandRoute::Service},
    {u"snc_ManagerOnOffLine", TQORSVCCommandRoute::EveryNetwork},
    {u"snc_ManagerThreadStartStop", TQORSVCCommandRoute::Service},
    {u"snc_ServWorkerStartHot", TQORSVCCommandRoute::Service},
    {u"snc_ServWorkerRejectedContex", TQORSVCCommandRoute::Service},
    {u"snc_ServWorkerWillAcceptContext", TQORSVCCommandRoute::Service},
    {u"snc_ServWorkerIdle", TQORSVCCommandRoute::Service},
    {u"snc_ServWorkerTerminated", TQORSVCCommandRoute::Service},
    {u"snc_ServStopDisconnectAll", TQORSVCCommandRoute::Service},
    {u"snc_ApplyServIntFlags", TQORSVCCommandRoute::Service},
    {u"snc_ApplyNetIntFlags", TQORSVCCommandRoute::Network},
    {u"snc_ChannelMemoryReportRequest", TQORSVCCommandRoute::Service},
    {u"snc_MemoryReportAnswerLine", TQORSVCCommandRoute::Service},
    {u"snc_MemoryReportAnswerReadyEvent", TQORSVCCommandRoute::Service},
    {u"snc_ServAbortAllWorkers", TQORSVCCommandRoute::Service},
    {u"snc_AttachNetwork", TQORSVCCommandRoute::Network},
    {u"", TQORSVCCommandRoute::NotPosted},  // 67: unused
    {u"snc_VisibleStatus", TQORSVCCommandRoute::Network},
    {u"snc_RxRequest", TQORSVCCommandRoute::Network},
    {u"snc_TxRequest", TQORSVCCommandRoute::Network},
    {u"snc_TxSoundLong", TQORSVCCommandRoute::Network},
    {u"snc_TxSoundShort", TQORSVCCommandRoute::Network},
    {u"snc_MessageV0", TQORSVCCommandRoute::Network},
    {u"snc_MessageV1", TQORSVCCommandRoute::Network},
    {u"snc_MuteClient", TQORSVCCommandRoute::Network},
    {u"snc_UnmuteClient", TQORSVCCommandRoute::Network},
    {u"snc_BlockClient", TQORSVCCommandRoute::Network},
    {u"snc_UnblockClient", TQORSVCCommandRoute::Network},
    {u"snc_MakeAdmin", TQORSVCCommandRoute::Network},
    {u"snc_DeleteAdmin", TQORSVCCommandRoute::Network},
    {u"snc_RightsEnableConnectListedOnly", TQORSVCCommandRoute::Network},
    {u"snc_RightsDisableConnectListedOnly", TQORSVCCommandRoute::Network},
    {u"snc_RightsEnableTalkMarkedOnly", TQORSVCCommandRoute::Network},
    {u"snc_RightsDisableTalkMarkedOnly", TQORSVCCommandRoute::Network},
    {u"snc_RightsAddClient", TQORSVCCommandRoute::Network},
    {u"snc_RightsDeleteClient", TQORSVCCommandRoute::Network},
    {u"snc_RightsCopyToNet", TQORSVCCommandRoute::NotPosted},
    {u"snc_RightsMarkClient", TQORSVCCommandRoute::Network},
    {u"snc_RightsUnmarkClient", TQORSVCCommandRoute::Network},
    {u"snc_NetworkNotice", TQORSVCCommandRoute::Network},
    {u"snc_NetworkNoticeExt", TQORSVCCommandRoute::Network},
    {u"snc_NetServerStopDisconnectAll", TQORSVCCommandRoute::Network},
    {u"snc_NetOwnerDisconnectAll", TQORSVCCommandRoute::Network},
    {u"snc_RebuildClientListNow", TQORSVCCommandRoute::Network},
    {u"snc_ServWorkerGivesTalker", TQORSVCCommandRoute::Service},
}};

namespace svc_globals_detail {
template <class E>
constexpr std::size_t V(E e) {
    return static_cast<std::size_t>(e);
}
// True when every entry but the listed gaps is named and the gaps are not, so a
// short initializer list (which std::array would silently pad) cannot slip by.
template <class Table, class Named>
constexpr bool NamedExceptGaps(const Table& t, Named named, std::size_t gapA, std::size_t gapB) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool gap = i == gapA || i == gapB;
        if (named(t[i]) == gap) return false;
    }
    return true;
}
}  // namespace svc_globals_detail

static_assert(svc_globals_detail::V(TQORServNetworkCommand::snc_AttachNetwork) == 66);
static_assert(svc_globals_detail::V(TQORServNetworkCommand::snc_VisibleStatus) == 68);
static_assert(svc_globals_detail::V(TQORServNetworkCommand::snc_ServWorkerGivesTalker) + 1 ==
              kServNetworkCommandCount);
static_assert(kServNetworkCommands[66].Name == u"snc_AttachNetwork");
static_assert(kServNetworkCommands[67].Name.empty());
static_assert(kServNetworkCommands[68].Name == u"snc_VisibleStatus");
static_assert(kServNetworkCommands[94].Name == u"snc_RebuildClientListNow");
static_assert(kServNetworkCommands[95].Name == u"snc_ServWorkerGivesTalker");
static_assert(svc_globals_detail::NamedExceptGaps(
    kServNetworkCommands, [](const TQORSVCCommandInfo& c) { return !c.Name.empty(); }, 67, 67));

// Name and route of a command; an unused or out-of-range value reads as an
// unnamed command that nobody posts, so a stray record is dropped, never indexed
// out of bounds.
inline constexpr TQORSVCCommandInfo kServNetworkCommandUnknown{u"", TQORSVCCommandRoute::NotPosted};

constexpr const TQORSVCCommandInfo& ServNetworkCommandInfo(TQORServNetworkCommand aCmd) {
    const auto v = static_cast<std::size_t>(aCmd);
    return v < kServNetworkCommands.size() ? kServNetworkCommands[v] : kServNetworkCommandUnknown;
}

// ---------------------------------------------------------------------------
// Disconnect causes. Every connection context keeps the first cause it is given.

enum class TQORSVCDisconnectCause : uint8_t {
    fsdc_DisconnectWithoutAuth = 0,
    fsdc_HandshakeTimeout = 1,
    // 2 is not used.
    fsdc_ManagerTimeout = 3,
    fsdc_ClientTimeout = 4,
    fsdc_InvalidConnectString = 5,
    fsdc_InvalidEmail = 6,
    fsdc_InvalidCharacter = 7,
    // 8 is not used.
    fsdc_WrongCommand = 9,
    fsdc_ServerError = 10,
    fsdc_ServerBlock = 11,
    fsdc_ServerWrongPasssword = 12,
    fsdc_ServerDuplicate = 13,
    fsdc_BandWidthLimit = 14,
    fsdc_ManagerError = 15,
    fsdc_ManagerWrongPassword = 16,
    fsdc_ManagerDuplicate = 17,
    fsdc_ManagerBlock = 18,
    fsdc_AdminBlock = 19,
    fsdc_TerminateByServer = 20,
    fsdc_ServerStopped = 21,
    fsdc_NetMaxClients = 22,
    fsdc_MaxClientConnectionsTotal = 23,
    fsdc_MaxClientConnectionsPerAddress = 24,
    fsdc_ServOutOfMemory = 25,
    fsdc_ServInternalError = 26,
    fsdc_SocketError = 27,
    fsdc_GracefullDisconnect = 28,
    fsdc_SessionTimeLimit = 29,
    fsdc_ChangeRole = 30,
    fsdc_InvalidPeer = 31,
    fsdc_MaxCommandConnections = 32,
    fsdc_CommandWrongCommand = 33,
    fsdc_PrivilegeViolation = 34,
    fsdc_InvalidAudioData = 35,
    fsdc_TxTooFast = 36,
    fsdc_TxTooSlow = 37,
    fsdc_ExtProtoViolation = 38,
    fsdc_WrongUnicodePart = 39,
    fsdc_TooLongString = 40,
    fsdc_ByOwner = 41,
    fsdc_TooFastConnections = 42,
    fsdc_BlackEmail = 43,
    fsdc_BlackSourceIp = 44,
    fsdc_BlackAddress = 45,
    fsdc_NoServer = 46,
    fsdc_AccountAlreadyUsed = 47,
    fsdc_AccountNotRegistered = 48,
    fsdc_SysmanDynamicPasswordOK = 49,
    fsdc_SysmanWrongPassword = 50,
    fsdc_SysmanEmailOK = 51,
    fsdc_SysmanServerAddressAlreadyAccupied = 52,
    fsdc_SysmanListOfServers = 53,
    fsdc_SysmanTooManyNetworks = 54,
    fsdc_SysmanWrongNetworksList = 55,
    fsdc_SysmanOK = 56,
    fsdc_ChangeIntFlags = 57,
};

inline constexpr std::size_t kDisconnectCauseCount = 58;

// Log text and log level (1..5) of a cause.
struct DisconnectRec {
    std::u16string_view N;
    int32_t L;
};

// What an unused or unknown cause reads as. Level 1 keeps such a fault visible
// at every client log level above 0.
inline constexpr DisconnectRec kDisconnectRecUnknown{u"DISCONNECT_UNKNOWN", 1};

inline constexpr std::array<DisconnectRec, kDisconnectCauseCount> kDisconnectRecs = {
    DisconnectRec{u"HANDSHAKE_NONE", 1},                        // fsdc_DisconnectWithoutAuth
    DisconnectRec{u"HANDSHAKE_TIMEOUT", 1},                     // fsdc_HandshakeTimeout
    kDisconnectRecUnknown,                                      // 2: unused
    DisconnectRec{u"DISCONNECT_MANAGER_TIMEOUT", 5},            // fsdc_ManagerTimeout
    DisconnectRec{u"DISCONNECT_TIMEOUT", 3},                    // fsdc_ClientTimeout
    DisconnectRec{u"DISCONNECT_INVALID_HANDSHAKE", 1},          // fsdc_InvalidConnectString
    DisconnectRec{u"DISCONNECT_INVALID_EMAIL", 2},              // fsdc_InvalidEmail
    DisconnectRec{u"DISCONNECT_INVALID_CHARACTERS", 1},         // fsdc_InvalidCharacter
    kDisconnectRecUnknown,                                      // 8: unused
    DisconnectRec{u"DISCONNECT_INVALID_COMMAND", 1},            // fsdc_WrongCommand
    DisconnectRec{u"DISCONNECT_SERVER_ERROR", 3},               // fsdc_ServerError
    DisconnectRec{u"DISCONNECT_SERVER_BLOCK", 3},               // fsdc_ServerBlock
    DisconnectRec{u"DISCONNECT_SERVER_WRONG", 3},               // fsdc_ServerWrongPasssword
    DisconnectRec{u"DISCONNECT_SERVER_DUPL", 3},                // fsdc_ServerDuplicate
    DisconnectRec{u"DISCONNECT_BANDWIDTH", 2},                  // fsdc_BandWidthLimit
    DisconnectRec{u"DISCONNECT_MANAGER_ERROR", 3},              // fsdc_ManagerError
    DisconnectRec{u"DISCONNECT_MANAGER_WRONG", 3},              // fsdc_ManagerWrongPassword
    DisconnectRec{u"DISCONNECT_MANAGER_DUPL", 3},               // fsdc_ManagerDuplicate
    DisconnectRec{u"DISCONNECT_MANAGER_BLOCK", 3},              // fsdc_ManagerBlock
    DisconnectRec{u"DISCONNECT_ADMIN_BLOCK", 3},                // fsdc_AdminBlock
    DisconnectRec{u"DISCONNECT_TERMINATED_BY_SERVER", 4},       // fsdc_TerminateByServer
    DisconnectRec{u"DISCONNECT_SERVER_STOP", 4},                // fsdc_ServerStopped
    DisconnectRec{u"DISCONNECT_MAX_CLIENTS", 2},                // fsdc_NetMaxClients
    DisconnectRec{u"DISCONNECT_LIMIT_CONNECTS_PER_SERVER", 1},  // fsdc_MaxClientConnectionsTotal
    DisconnectRec{u"DISCONNECT_LIMIT_CONNECTS_PER_ADDRESS",
                  1},                                         // fsdc_MaxClientConnectionsPerAddress
    DisconnectRec{u"DISCONNECT_OUT_OF_MEMORY", 1},            // fsdc_ServOutOfMemory
    DisconnectRec{u"DISCONNECT_INTERNAL_ERROR", 1},           // fsdc_ServInternalError
    DisconnectRec{u"DISCONNECT_SOCKET_ERROR", 3},             // fsdc_SocketError
    DisconnectRec{u"DISCONNECT_BY_PEER", 4},                  // fsdc_GracefullDisconnect
    DisconnectRec{u"DISCONNECT_LIMIT_SESSION_TIME", 2},       // fsdc_SessionTimeLimit
    DisconnectRec{u"DISCONNECT_NEW_ROLE", 4},                 // fsdc_ChangeRole
    DisconnectRec{u"HANDSHAKE_INVALID_PEER", 1},              // fsdc_InvalidPeer
    DisconnectRec{u"DISCONNECT_MAX_COMMAND_CONNECTIONS", 2},  // fsdc_MaxCommandConnections
    DisconnectRec{u"DISCONNECT_INVALID_CONTROL_COMMAND", 1},  // fsdc_CommandWrongCommand
    DisconnectRec{u"DISCONNECT_PRIVILEGE_VIOLATION", 1},      // fsdc_PrivilegeViolation
    DisconnectRec{u"DISCONNECT_INVALID_AUDIO", 1},            // fsdc_InvalidAudioData
    DisconnectRec{u"DISCONNECT_TX_TOO_FAST", 1},              // fsdc_TxTooFast
    DisconnectRec{u"DISCONNECT_TX_TOO_SLOW", 1},              // fsdc_TxTooSlow
    DisconnectRec{u"DISCONNECT_EXT_PROTO_VIOLATION", 1},      // fsdc_ExtProtoViolation
    DisconnectRec{u"DISCONNECT_WRONG_UNICODE", 1},            // fsdc_WrongUnicodePart
    DisconnectRec{u"DISCONNECT_TOO_LONG", 1},                 // fsdc_TooLongString
    DisconnectRec{u"DISCONNECT_BY_SERVER_OWNER", 4},          // fsdc_ByOwner
    DisconnectRec{u"DISCONNECT_TOO_FAST_CONNECTIONS", 1},     // fsdc_TooFastConnections
    DisconnectRec{u"DISCONNECT_BLACK_EMAIL", 1},              // fsdc_BlackEmail
    DisconnectRec{u"DISCONNECT_BLACK_SOURCE_IP", 1},          // fsdc_BlackSourceIp
    DisconnectRec{u"DISCONNECT_BLACK_ADDRESS", 1},            // fsdc_BlackAddress
    DisconnectRec{u"DISCONNECT_NO_ANSWERING_SERVER", 3},      // fsdc_NoServer
    DisconnectRec{u"DISCONNECT_ALREADY_USED", 3},             // fsdc_AccountAlreadyUsed
    DisconnectRec{u"DISCONNECT_ACCOUNT_NOT_REGISTERED", 3},   // fsdc_AccountNotRegistered
    DisconnectRec{u"DISCONNECT_SYSMAN_DYNPASS_OK", 5},        // fsdc_SysmanDynamicPasswordOK
    DisconnectRec{u"DISCONNECT_SYSMAN_WRONG_PASSWORD", 3},    // fsdc_SysmanWrongPassword
    DisconnectRec{u"DISCONNECT_SYSMAN_EMAIL_OK", 5},          // fsdc_SysmanEmailOK
    DisconnectRec{u"DISCONNECT_SYSMAN_IP_ALREADY_ACCUPIED",
                  3},  // fsdc_SysmanServerAddressAlreadyAccupied
    DisconnectRec{u"DISCONNECT_SYSMAN_LIST_OF_SERVERS", 5},      // fsdc_SysmanListOfServers
    DisconnectRec{u"DISCONNECT_SYSMAN_TOO_MANY_NETWORKS", 1},    // fsdc_SysmanTooManyNetworks
    DisconnectRec{u"DISCONNECT_SYSMAN_WRONG_NETWORKS_LIST", 1},  // fsdc_SysmanWrongNetworksList
    DisconnectRec{u"DISCONNECT_SYSMAN_OK", 4},                   // fsdc_SysmanOK
    DisconnectRec{u"DISCONNECT_NEW_INTERNAL_FLAGS", 4},          // fsdc_ChangeIntFlags
};

static_assert(svc_globals_detail::V(TQORSVCDisconnectCause::fsdc_HandshakeTimeout) == 1);
static_assert(svc_globals_detail::V(TQORSVCDisconnectCause::fsdc_ManagerTimeout) == 3);
static_assert(svc_globals_detail::V(TQORSVCDisconnectCause::fsdc_InvalidCharacter) == 7);
static_assert(svc_globals_detail::V(TQORSVCDisconnectCause::fsdc_WrongCommand) == 9);
static_assert(svc_globals_detail::V(TQORSVCDisconnectCause::fsdc_ChangeIntFlags) + 1 ==
              kDisconnectCauseCount);
static_assert(kDisconnectRecs[1].N == u"HANDSHAKE_TIMEOUT");
static_assert(kDisconnectRecs[3].N == u"DISCONNECT_MANAGER_TIMEOUT");
static_assert(kDisconnectRecs[7].N == u"DISCONNECT_INVALID_CHARACTERS");
static_assert(kDisconnectRecs[9].N == u"DISCONNECT_INVALID_COMMAND");
static_assert(kDisconnectRecs[57].N == u"DISCONNECT_NEW_INTERNAL_FLAGS");
static_assert(svc_globals_detail::NamedExceptGaps(
    kDisconnectRecs, [](const DisconnectRec& r) { return r.N != kDisconnectRecUnknown.N; }, 2, 8));

// The record of a cause; never reads outside the table.
constexpr const DisconnectRec& DisconnectCauseRec(TQORSVCDisconnectCause aCause) {
    const auto v = static_cast<std::size_t>(aCause);
    return v < kDisconnectRecs.size() ? kDisconnectRecs[v] : kDisconnectRecUnknown;
}

// A connection's end is logged when its cause's level is not above the client
// log level in force; level 0 (and anything below) logs none.
constexpr bool IsDisconnectLogged(TQORSVCDisconnectCause aCause, int32_t aClientLogLevel) {
    return DisconnectCauseRec(aCause).L <= aClientLogLevel;
}

// ---------------------------------------------------------------------------
// Log levels: a message of level L is written when L is not above the level in
// force, so a higher level means more output.

inline constexpr int32_t kLogLevelNone = 0;
inline constexpr int32_t kLogLevelDanger = 1;
inline constexpr int32_t kLogLevelWarning = 2;
inline constexpr int32_t kLogLevelError = 3;
inline constexpr int32_t kLogLevelLogin = 4;
inline constexpr int32_t kLogLevelAll = 5;
inline constexpr int32_t kLogLevelVerbose = 6;
inline constexpr int32_t kLogLevelExtra = 7;

inline constexpr std::size_t kLogLevelCount = 8;
inline constexpr std::array<std::u16string_view, kLogLevelCount> kLogLevelNames = {
    u"NONE", u"DANGER", u"WARNING", u"ERROR", u"LOGIN", u"ALL", u"VERBOSE", u"EXTRA",
};
static_assert(kLogLevelNames[kLogLevelExtra] == u"EXTRA");

// The name of a level; empty for a value outside 0..7.
constexpr std::u16string_view LogLevelName(int32_t aLevel) {
    // A negative level turns into a huge unsigned value, outside the table too.
    return QORWord(kLogLevelNames, static_cast<unsigned>(aLevel));
}

// Line prefixes shared by every server module.
inline constexpr std::u16string_view kLogPrefixError = u"ERROR: ";
inline constexpr std::u16string_view kLogPrefixWarning = u"WARNING: ";
inline constexpr std::u16string_view kLogPrefixDebug = u"DEBUG: ";

// ---------------------------------------------------------------------------
// Manager-mode words, searched in this order by ParseManagerModeText.

struct TQORSVCSystemManagerModeConvertRec {
    std::u16string_view ModeName;
    TQORSystemManagerMode Mode;
};

inline constexpr std::array<TQORSVCSystemManagerModeConvertRec, 8> kSystemManagerModeWords = {{
    {u"QOR", smm_QOR},
    {u"Q", smm_QOR},
    {u"LIGHT", smm_Light},
    {u"L", smm_Light},
    {u"NOTIFY", smm_Notify},
    {u"N", smm_Notify},
    {u"STANDALONE", smm_Standalone},
    {u"S", smm_Standalone},
}};
static_assert(kSystemManagerModeWords[7].ModeName == u"S");

// Reads a manager mode from a configuration value, an option or a command-line
// word: the trimmed text is either a decimal 0..3 or one of the mode words in
// any ASCII case. False leaves aMode untouched.
bool ParseManagerModeText(std::u16string_view aText, TQORSystemManagerMode& aMode);

// ---------------------------------------------------------------------------
// How a network shows the access information of its clients.

enum class TQORSVCAccessInfoMode : uint8_t {
    fsaim_Original = 0,
    fsaim_Always = 1,
    fsaim_Never = 2,
};

inline constexpr std::array<std::u16string_view, 3> kAccessInfoModeWords = {
    u"ORIGINAL",
    u"ALWAYS",
    u"NEVER",
};
static_assert(kAccessInfoModeWords[svc_globals_detail::V(TQORSVCAccessInfoMode::fsaim_Never)] ==
              u"NEVER");

// ---------------------------------------------------------------------------
// Smaller enumerations.

enum class TQORSVCMemoryReportReadyEvent : uint8_t {
    fsmre_Manager = 0,
    fsmre_Worker = 1,
    fsmre_Listener = 2,
    fsmre_Main = 3,
};

enum class TQORSVCInternalFlagsQueueCommand : uint8_t {
    fsifqc_InternalFlagsClear = 0,
    fsifqc_InternalFlagsSet = 1,
    fsifqc_InternalFlagsGet = 2,
};

// How a client came into its network.
enum class TQORSVCClientHandshakeType : uint8_t {
    fscht_Connect = 0,         // a new connection
    fscht_Move = 1,            // moved in by a move request
    fscht_Move_Back_Auto = 2,  // moved back when a temporary move ran out
};

// The four manager slots.
enum class TQORSVCManagerIndex : uint8_t {
    fmi_Manager0 = 0,
    fmi_Manager1 = 1,
    fmi_Manager2 = 2,
    fmi_Manager3 = 3,
};

enum class TQORSVCManagerSearchResult : uint8_t {
    fsmsr_Found = 0,
    fsmsr_NotFound = 1,
    fsmsr_FoundTooMany = 2,
};

// A client's verdict.
enum class TClientErrorType : uint8_t {
    cet_NONE = 0,
    cet_OK = 1,
    cet_ERROR = 2,
    cet_WRONG = 3,
    cet_BLOCK = 4,
    cet_DUPL = 5,
};

// A client's state at one manager.
enum class TQORClientSysManStatus : uint8_t {
    csms_NoManager = 0,
    csms_Error = 1,
    csms_OK = 2,
};

enum class TQORProtocolStatus : uint8_t {
    QOR_PS_WORK = 0,
    QOR_PS_WAIT_CONNECT_STR = 1,
    QOR_PS_HOLLAND = 2,
    // 3 is not used.
    QOR_PS_ABORT = 4,
};
static_assert(svc_globals_detail::V(TQORProtocolStatus::QOR_PS_ABORT) == 4);

enum class TSoundFrameType : uint8_t {
    SoundFrameNone = 0,
    SoundFrameLong = 1,
    SoundFrameShort = 2,
};

// ---------------------------------------------------------------------------
// Reasons the connect-string reader gives for a refused or questionable string.

inline constexpr std::size_t kConnectFieldErrorCount = 41;
inline constexpr std::array<std::u16string_view, kConnectFieldErrorCount> kConnectFieldErrors = {
    u"Empty UTF8 Email field",                                      // 0
    u"Empty UTF8 Band&Channel field",                               // 1
    u"Empty UTF8 Callsign&OperatorName field",                      // 2
    u"Empty UTF8 City&CityPart field",                              // 3
    u"Empty UTF8 Password field",                                   // 4
    u"No EA (Email) field",                                         // 5
    u"Empty EA (Email) field",                                      // 6
    u"Wrong value of EA (Email) field",                             // 7
    u"No ON (Callsign&OperatorName) field",                         // 8
    u"Empty ON (Callsign&OperatorName) field",                      // 9
    u"No NN (Country) field",                                       // 10
    u"Empty NN (Country) field",                                    // 11
    u"No NT (Network/room) field",                                  // 12
    u"Empty NT (Network/room) field",                               // 13
    u"No NTU (Unicode Network/room) field",                         // 14
    u"Empty NTU (Unicode Network/room) field",                      // 15
    u"Wrong NTU (Unicode Network/room) field",                      // 16
    u"No BC (Band&Channel) field",                                  // 17
    u"Empty BC (Band&Channel) field",                               // 18
    u"No CT (City&CityPart) field",                                 // 19
    u"Empty CT (City&CityPart) field",                              // 20
    u"No PW (Password) field",                                      // 21
    u"Empty PW (Password) field",                                   // 22
    u"No SN (Server address) field",                                // 23
    u"Empty SN (Server address) field",                             // 24
    u"Wrong SN (Server address) field",                             // 25
    u"No PT (Server port) field",                                   // 26
    u"Empty PT (Server port) field",                                // 27
    u"Wrong PT (Server port) field",                                // 28
    u"No OW (Owner email) field",                                   // 29
    u"Empty OW (Owner email) field",                                // 30
    u"Wrong value of OW (Owner email) field",                       // 31
    u"Wrong value of SEF (Kelvoran Server extension flags) field",  // 32
    u"No IP (IP address) field",                                    // 33
    u"Empty IP (IP address) field",                                 // 34
    u"Wrong IP (IP address) field",                                 // 35
    u"No CL (Client type) field",                                   // 36
    u"Empty CL (Client type) field",                                // 37
    u"Wrong CL (Client type) field",                                // 38
    u"No VX (Client version) field",                                // 39
    u"Empty VX (Client version) field",                             // 40
};
static_assert(kConnectFieldErrors[0] == u"Empty UTF8 Email field");
static_assert(kConnectFieldErrors[kConnectFieldErrorCount - 1] ==
              u"Empty VX (Client version) field");

}  // namespace gax
