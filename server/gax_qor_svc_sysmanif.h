// The system-manager threads as the service and the networks see them. The
// manager client lives above the server layer, so the service makes its
// threads through a factory the program sets, and talks to them only through
// TQORSVCManagerThread; the threads report back through TQORSvcSysManHost.
// The networks reach the managers through TQORSVCNetManagers, which the
// service with networks implements.
//
// Threads: TQORSVCManagerThread's operations may be called from any thread
// (they queue to the manager thread); its status readers are hints. The host
// is called from the manager thread, and SysManPost also from the callers of
// SysMan_RegisterClient (an at-once NONE answer), so a host is thread-safe.
// TQORSVCNetManagers runs on the heartbeat thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/gax_qor_svc_roles.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_setup_t.h"

namespace gax {

class TQORSVCContext;
class TQORSVCClientNetwork;

enum TQORSvcSysmanStatus : uint8_t {
    smst_Disconnected = 0,
    smst_Pause,
    smst_PauseShort,
    smst_Connecting,
    smst_WaitHandshakeAnswer,
    smst_WaitHandshakeAck,
    smst_Delay,
    smst_Operational,
};

// The status as the managers list shows it.
std::string_view SysManStatusName(TQORSvcSysmanStatus aStatus);

// What a manager thread needs from the service that runs it.
class TQORSvcSysManHost {
  public:
    virtual ~TQORSvcSysManHost() = default;
    // Pushes the record to the server queue and wakes the heartbeat thread.
    virtual void SysManPost(std::unique_ptr<TQORSVCNetQueueRecord> aRec) = 0;
    // One finished log line (without time stamp or line end).
    virtual void SysManLog(std::u16string aLine) = 0;
    // The service's LogExec: script command lines are logged.
    virtual bool SysManLogExec() const = 0;
};

// One network as the networks block describes it.
struct TQORSysManNetInfo {
    std::string NameA;
    std::string NameUTF8;
    uint32_t EffManagersMask = 0;
};

// One manager thread, seen from the service. Every operation but the
// readers queues a command to the thread and wakes it.
class TQORSVCManagerThread {
  public:
    virtual ~TQORSVCManagerThread() = default;

    // The networks block of this manager, built from the networks in table
    // order. REQUIRES: before SysMan_Start.
    virtual void SetNetworks(const std::vector<TQORSysManNetInfo>& aNets) = 0;
    virtual void SysMan_Start() = 0;
    virtual void SysMan_AbortThread() = 0;
    // Its memory-report lines and ready event, tagged with aGeneration and
    // sent as this interface.
    virtual void SysMan_MemoryReport(TQORGlobalKey aGeneration) = 0;
    // REQUIRES: aNetIndex is the network's index in the networks file.
    virtual void SysMan_RegisterClient(TQORSVCCtxRef aClient, TQORSVCHandle aNetwork,
                                       int32_t aNetIndex, int32_t aFlags,
                                       std::string aTransportBlock, std::string aPeerAddress,
                                       std::string aClientId,
                                       const std::vector<std::u16string>* aUnicodeBlock,
                                       bool aUtf8) = 0;
    virtual void SysMan_UnregisterClient(std::string aManagerClientId, std::string aClientId,
                                         TQORSVCHandle aNetwork, int32_t aNetIndex) = 0;
    virtual void SysMan_NetClientCountChanged(TQORSVCHandle aNetwork, int32_t aNetIndex,
                                              int32_t aCount) = 0;
    virtual void SysMan_ConfirmEmail(std::string aTransportBlock) = 0;
    virtual void SysMan_DisconnectManager(TQORSVCCtxRef aChannel, bool aDoAnswer) = 0;
    virtual void SysMan_NewPassword(std::u16string aText) = 0;
    virtual void SysMan_NewEmail(std::u16string aText) = 0;
    virtual void ManagerQueue_ManagerLogLevel(int32_t aLevel) = 0;
    virtual void ManagerQueue_ManagerAuthEnable(bool aEnable) = 0;

    // Hints, read without a lock.
    virtual TQORSvcSysmanStatus ManagerStatus() const = 0;
    virtual int32_t ManagerAnsweredExtFlags() const = 0;
};

// Makes the thread of manager aIndex; the thread waits for SysMan_Start.
// REQUIRES: aHost outlives the thread.
using TQORSVCManagerFactory = std::function<std::unique_ptr<TQORSVCManagerThread>(
    TQORSvcSysManHost& aHost, int32_t aIndex, const TQORSvcSysmanParams& aParams)>;

// What a network needs of the managers (heartbeat thread).
class TQORSVCNetManagers {
  public:
    virtual ~TQORSVCNetManagers() = default;
    // Manager aIndex has a thread in this service.
    virtual bool NetManagerActive(int32_t aIndex) const GAX_REQUIRES(kHeartbeat) = 0;
    // Registers the client with manager aIndex; the answer comes back as an
    // snc_ManagerAnswer record for aNetwork.
    virtual void NetManagerRegister(int32_t aIndex, const TQORSVCContext& aCtx,
                                    const TQORSVCClientNetwork& aNetwork, int32_t aFlags) GAX_REQUIRES(kHeartbeat) = 0;
    virtual void NetManagerUnregister(int32_t aIndex, std::string_view aManagerId,
                                      std::string_view aClientId,
                                      const TQORSVCClientNetwork& aNetwork) GAX_REQUIRES(kHeartbeat) = 0;
    // The network's visible count, for every manager that serves it.
    virtual void NetManagerClientCount(int32_t aIndex, const TQORSVCClientNetwork& aNetwork,
                                       int32_t aCount) GAX_REQUIRES(kHeartbeat) = 0;
    // Hands a confirmed client's transport block to the managers of aMask.
    virtual void NetManagerConfirmEmail(std::string aTransportBlock, int32_t aMask) GAX_REQUIRES(kHeartbeat) = 0;
};

}  // namespace gax
