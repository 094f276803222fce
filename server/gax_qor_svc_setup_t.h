// Types of the server configuration read from "server.ini": the record every
// setting of the server comes from, its manager sections and listening ports,
// and the loader's exceptions. Filled once by the loader on the program's main
// thread, then only read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_types.h"
#include "protocol/gax_qor_cmdchannel_params.h"
#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EQORServiceError, Exception);
GAX_DECLARE_EXCEPTION(EQORServiceInvalidServerOwnerEMail, EQORServiceError);

enum TQORAggregateQORMode : uint8_t { afm_NO = 0, afm_USER, afm_ADMIN, afm_OWNER };

inline constexpr int kQORManagerCount = 4;

struct TQORServiceListenerPortRecord {
    std::u16string fslpr_Port;  // decimal text
    TSynapseListenerIPVersions fslpr_IpVer = ipver_46;
};
using TQORServiceListenerPortsArray = std::vector<TQORServiceListenerPortRecord>;

// The server's identity towards clients and managers.
struct TQORSrvServParams {
    int32_t ssp_PresentServerVersion = 0;
    std::u16string ssp_PresentServerAddr;
    std::u16string PresentServerPort;
    std::u16string ServerOwnerEMail;
    std::u16string ServerOwnerPassword;  // never read from the file
    std::u16string BackupServerAddr;
    std::u16string ssp_BackupServerPort;
    std::u16string ssp_ConnectScript;  // never read from the file
    std::u16string ssp_ManagerInvalidPasswordScript;
    bool ssp_ManagerEmptyDescription = false;
    std::u16string ssp_ConfigFileName;
    bool ssp_LogExec = false;
    bool ssp_LogData = false;
    bool ssp_LogReopenLog = false;
    bool ssp_ManagerUnicodeClient = false;
    bool ssp_ManagerMultiple = false;
};

// One manager section.
struct TQORSvcSysmanParams {
    std::u16string ManagerPresentServerAddr;
    std::u16string ManagerPresentServerPort;
    std::u16string ManagerAddress;
    std::u16string ManagerAuthEMail;
    std::u16string ManagerAuthPassword;
    std::u16string ssmp_ManagerInvalidPasswordScript;
    std::u16string ssmp_ConfigFileName;
    std::u16string ssmp_ManagerSuccessAuthScript;
    bool ssmp_ManagerEmptyDescription = false;
    int32_t ManagerPort = 0;
    int32_t ManagerDelayAfterConnect = 0;
    int32_t ManagerReconnectInterval = 0;
    int32_t ServerVersion = 0;
    int32_t ManagerLogDebug = 0;
    int32_t ssmp_ManagerSendBufferSize = 0;
    TGaxTick32 ssmp_ManagerDelayRequestsTicks = 0;
    TGaxTick32 ssmp_ManagerSecoundaryAuthTicks = 0;  // never read from the section
    bool ManagerSubstituteSource = false;
    bool ManagerLogErrors = false;
    bool ssmp_ManagerEnabled = false;
    bool ssmp_ManagerMultiple = false;
    bool ssmp_ManagerUnicodeClient = false;
    int32_t ssmp_ManagerConfirmEmailToMask = 0;
    bool ssmp_ManagerConfirmEmailEnabled = false;
    bool ssmp_ManagerAuthEnabled = false;
    TQORConnectionParams Conn;
};
using TQORSvcSysmanParamsArray = std::array<TQORSvcSysmanParams, kQORManagerCount>;

struct TQORServiceConfig {
    bool cfg_SystemSupportsIP6 = false;
    bool cfg_ServerEnabled = false;
    TQORServiceListenerPortsArray ListenServerPorts;
    TQORSrvServParams ServParams;
    int32_t LastClientVersion = 0;
    std::u16string cfg_QORServerCharsetName;
    std::u16string DefaultNetworkName;
    std::u16string cfg_NetworksFileName;
    std::u16string cfg_AdminsFileName;
    std::u16string cfg_MutesFileName;
    std::u16string cfg_BlocksFileName;
    std::u16string cfg_ModesFileName;
    std::u16string cfg_RightsFileName;
    std::u16string cfg_NoticesFileName;
    std::u16string cfg_OwnerFileName;
    std::u16string cfg_IntFlagsFileName;
    std::u16string cfg_PidFileName;  // loaded, not used
    std::u16string LogFile;
    std::u16string cfg_TempDir;
    std::u16string cfg_DataDirName;
    std::u16string SystemCharsetName;
    TSynapseListenerIPVersions cfg_ClientIPVersion = ipver_46;
    bool DisableDUPL = false;
    int32_t ClientHandshakeTimeout = 0;  // seconds
    int32_t ClientActivityTimeout = 0;   // seconds
    int32_t cfg_ConnectionsPerThread = 0;
    int32_t cfg_ServOutputBufferLimit = 0;
    // Kept here even though the program's copy into the service leaves it
    // out: the service must get it from this record.
    int32_t cfg_ServOutputBufferFactor = 0;
    int32_t SystemLogClientLevel = 0;
    bool cfg_ShortFrames = false;
    int32_t cfg_ServMaxClientConnectionsTotal = 0;
    int32_t cfg_LimitConnectionsOverhead = 0;
    TQORSystemManagerMode cfg_ServManagerMode = smm_Standalone;
    TQORAggregateQORMode cfg_ServAggregateQOR = afm_NO;
    TQORSvcSysmanParamsArray ManagerParams;
    int32_t cfg_ServMaxSpeechTime = 0;  // seconds
    bool cfg_ServServerInfo = false;
    bool cfg_ServNetChangeInfo = false;
    TGaxTick32 cfg_ServSpeechPauseTicks = 0;
    TGaxTick32 cfg_ServQuarantineTicks = 0;
    bool cfg_KeepHotWorkerThread = false;
    int32_t cfg_WorkerThreadCacheTime = 0;  // seconds
    bool cfg_ServSpeechLimit = false;
    int32_t cfg_ServSessionMaxTime = 0;  // seconds, 0 = unlimited
    int32_t cfg_ServMaxClientConnectionsPerAddress = 0;
    int32_t cfg_ServMaxClientConnectionsPerAddressPerMeasureTime = 0;
    int32_t cfg_ServMaxClientConnectionsPerAddressMeasureTime = 0;
    int32_t cfg_ServAddressCounterHashFactor = 0;
    int32_t ServMaxWaitConnections = 0;
    std::u16string cfg_DefaultCountry;
    std::u16string cfg_SystemDataChangeScript;
    bool cfg_SystemRereadCompareAttr = false;
    char16_t cfg_SystemListDelimiter = u';';
    bool cfg_SystemLogReopenLog = false;  // no key sets it
    TQORReopenLogSignal cfg_SystemReopenLogSignal = rls_SIGUSR1;
    bool cfg_ServLogAdmin = false;
    bool cfg_ServTempMuteBlock = false;
    bool cfg_ServLevelMuteBlock = false;
    bool cfg_ServExactMuteBlock = false;
    bool cfg_ServUniqCallsign = false;
    TGaxTick32 cfg_ServThrottleAudioThreshold = 0;  // no key sets it
    bool cfg_ServTxTempVerify = false;              // no key sets it
    bool cfg_ServCorrector1 = false;
    bool cfg_ServExplicitTxReject = false;
    bool cfg_ServAlwaysAllowServerOwner = false;
    bool cfg_ServAlwaysAllowNetworkOwner = false;
    bool cfg_ServAlwaysAllowAdmin = false;
    std::u16string cfg_ServConnectScript;
    TQORCommandChannelParams cmd_channel;
};

}  // namespace gax
