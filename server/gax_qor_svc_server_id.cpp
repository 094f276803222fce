#include "server/gax_qor_svc_server_id.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>

#include "foundation/gax_fileutils.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"
#include "sockets/gax_snps_sockets.h"
#include "protocol/gax_qor_connparams.h"

namespace gax {

namespace {

constexpr uint32_t kStopLimitMs = 5000;
// How long the heartbeat goes on after the limit before the threads are joined.
constexpr uint32_t kStopExtraMs = 1000;
constexpr int kHeartbeatStartLimitMs = 5000;

// Snapshot order, with the bit, main-queue command, file tag, log text and
// error label of each list.
struct ListInfo {
    TQORSVCListKind Kind;
    uint32_t Bit;
    TQORSVCMainQueueCmd Cmd;
    std::u16string_view Tag;
    std::u16string_view SavedText;
    std::u16string_view ErrorLabel;
};
constexpr ListInfo kLists[kListKindCount] = {
    {TQORSVCListKind::Mutes, kResMutes, TQORSVCMainQueueCmd::fsmqc_MutesChanged, u"MUTES",
     u"Mutes are saved: ", u"Saving list of muted clients: "},
    {TQORSVCListKind::Blocks, kResBlocks, TQORSVCMainQueueCmd::fsmqc_BlocksChanged, u"BLOCKS",
     u"Blocks are saved: ", u"Saving list of blocked clients: "},
    {TQORSVCListKind::Admins, kResAdmins, TQORSVCMainQueueCmd::fsmqc_AdminsChanged, u"ADMINS",
     u"Admins are saved: ", u"Saving list of admins: "},
    {TQORSVCListKind::Modes, kResModes, TQORSVCMainQueueCmd::fsmqc_ModesChanged, u"MODES",
     u"Modes are saved: ", u"Saving modes: "},
    {TQORSVCListKind::Rights, kResRights, TQORSVCMainQueueCmd::fsmqc_RightsChanged, u"RIGHTS",
     u"Rights are saved: ", u"Saving access list: "},
    {TQORSVCListKind::Notices, kResNotices, TQORSVCMainQueueCmd::fsmqc_NoticesChanged,
     u"NOTICES", u"Notices are saved: ", u"Saving notices: "},
    {TQORSVCListKind::Owner, kResOwner, TQORSVCMainQueueCmd::fsmqc_OwnerChanged, u"OWNER",
     u"Owner is saved: ", u"Saving owner: "},
};

const ListInfo* ListOfCmd(TQORSVCMainQueueCmd aCmd) {
    for (const ListInfo& l : kLists)
        if (l.Cmd == aCmd) return &l;
    return nullptr;
}

struct RereadInfo {
    TQORSVCMainQueueCmd Cmd;
    TQORSVCListKind Kind;  // the configured file read when no name is given
    std::u16string_view LogText;
    std::u16string_view ErrorLabel;
};
constexpr RereadInfo kRereads[] = {
    {TQORSVCMainQueueCmd::fsmqc_RereadAdmins, TQORSVCListKind::Admins, u"Reread admins from: ",
     u"Reread admin list: "},
    {TQORSVCMainQueueCmd::fsmqc_RereadMutes, TQORSVCListKind::Mutes, u"Reread mutes from: ",
     u"Reread list of mutes: "},
    {TQORSVCMainQueueCmd::fsmqc_RereadBlocks, TQORSVCListKind::Blocks, u"Reread blocks from: ",
     u"Reread full list of blocks: "},
    {TQORSVCMainQueueCmd::fsmqc_RereadRights, TQORSVCListKind::Rights, u"Reread rights from: ",
     u"Reread list of rights: "},
    {TQORSVCMainQueueCmd::fsmqc_RereadModes, TQORSVCListKind::Modes, u"Reread modes from: ",
     u"Reread list of modes: "},
    {TQORSVCMainQueueCmd::fsmqc_RereadNotices, TQORSVCListKind::Notices,
     u"Reread notices from: ", u"Reread list of notices: "},
};

std::u16string Dec(int64_t aValue) { return IntToDecStrW(aValue); }

// The script argument in double quotes, an inner quote doubled.
void AppendQuoted(std::u16string& aLine, std::u16string_view aArg) {
    aLine += u'"';
    for (char16_t c : aArg) {
        if (c == u'"') aLine += u'"';
        aLine += c;
    }
    aLine += u'"';
}

std::u16string HostPortText(const TSynapseBinding& aBinding) {
    std::u16string t;
    if (!aBinding.BindingName().empty()) t += aBinding.BindingName() + u": ";
    if (aBinding.Address().find(u':') != std::u16string::npos)
        t += u"[" + aBinding.Address() + u"]:";
    else
        t += aBinding.Address() + u":";
    return t + aBinding.Port();
}

}  // namespace

// ---------------------------------------------------------------- construction

TQORService::TQORService(const TQORServiceConfig& aConfig, const TQORClock& aClock)
    : p_Cfg(aConfig),
      e_Clock(aClock),
      f_Poster(nullptr, &f_Waiter),
      f_Timer(*this, aClock) {
    f_ServerExeDir = GetProgramDirectory();
    f_PidU = Dec(static_cast<int64_t>(::getpid()));
    f_Poster.SetTimerWaiter(&f_Timer.Waiter());
    f_Timer.OnError = [this](const std::u16string& aText) { evnt_Srv_Error(u"Timer: " + aText); };

    SetDataDir(aConfig.cfg_DataDirName);
    SetConfigFileName(aConfig.ServParams.ssp_ConfigFileName);
    SetListFileName(TQORSVCListKind::Mutes, aConfig.cfg_MutesFileName);
    SetListFileName(TQORSVCListKind::Blocks, aConfig.cfg_BlocksFileName);
    SetListFileName(TQORSVCListKind::Admins, aConfig.cfg_AdminsFileName);
    SetListFileName(TQORSVCListKind::Modes, aConfig.cfg_ModesFileName);
    SetListFileName(TQORSVCListKind::Rights, aConfig.cfg_RightsFileName);
    SetListFileName(TQORSVCListKind::Notices, aConfig.cfg_NoticesFileName);
    SetListFileName(TQORSVCListKind::Owner, aConfig.cfg_OwnerFileName);
    SetDataChangeScript(aConfig.cfg_SystemDataChangeScript);
    f_DiskIntFlagsFileName = aConfig.cfg_IntFlagsFileName.empty()
                                 ? std::u16string()
                                 : ResolvePathRelative(aConfig.cfg_IntFlagsFileName, f_ServerExeDir);
    f_LogData = aConfig.ServParams.ssp_LogData;
    f_LogExec = aConfig.ServParams.ssp_LogExec;
    f_LogReopenLog = aConfig.ServParams.ssp_LogReopenLog;
    f_LogCommandLevel = aConfig.cmd_channel.cfg_CmdLogLevel;
    // ---- server addresses ----
    SetPresentServerAddress(aConfig.ServParams.ssp_PresentServerAddr);
    SetPresentServerPort(aConfig.ServParams.PresentServerPort);
    SetBackupServerAddress(aConfig.ServParams.BackupServerAddr);
    SetBackupServerPort(aConfig.ServParams.ssp_BackupServerPort);

    {
        // Nothing runs yet: the role is taken only to build what it owns.
        TQORRoleScope role(kHeartbeat);
        auto orDefault = [](int32_t v, int32_t d) { return v > 0 ? v : d; };
        f_tmAddressClientCounterCache = std::make_unique<TQORAddressConnectCache>(
            orDefault(aConfig.cfg_ServAddressCounterHashFactor, 8),
            orDefault(aConfig.cfg_ServMaxClientConnectionsPerAddress, 8),
            orDefault(aConfig.cfg_ServMaxClientConnectionsPerAddressPerMeasureTime, 150),
            static_cast<TGaxTick32>(
                orDefault(aConfig.cfg_ServMaxClientConnectionsPerAddressMeasureTime, 30)),
            120, 60);
        f_tmEpochUTC = aClock.UnixSeconds();
        f_ServLastHeartBeatTick = aClock.Tick();
    }
}

void TQORService::WireListener() {
    TSynapseListenerThread& l = *f_Listener;
    l.OnStartListeningBinding = [this](TSynapseListenerThread*, TSynapseBinding* b) {
        ListenerLog(u"Start listening: " + HostPortText(*b));
    };
    l.OnStopListeningBinding = [this](TSynapseListenerThread*, TSynapseBinding* b) {
        ListenerLog(u"Stop listening: " + HostPortText(*b));
    };
    l.OnBindingError = [this](TSynapseListenerThread*, TSynapseBinding* b, const Exception& e) {
        ListenerLog(u"ERROR: Listening: " + HostPortText(*b) + u": " + e.Message());
    };
    l.OnError = [this](TSynapseListenerThread*, const std::u16string& t) {
        ListenerLog(u"ERROR: Listener: " + t);
    };
    l.OnInvalidPeer = [this] { ListenerLog(u"ERROR: Listener: Invalid peer name"); };
    l.OnListenerInfo = [this](TSynapseListenerThread*, const std::u16string& t) {
        ListenerLog(u"Listener: " + t);
    };
    l.OnStopListenAll = [this](TSynapseListenerThread*) {
        if (f_LogClientLevel > 6) ListenerLog(u"Listener: stop listen all bindings");
        ServerStopDisconnectAll();
    };
}

void TQORService::Start() {
    if (f_Timer.Started()) throw Exception("Service already started");
    // Flag 1: every binding's start and stop is logged, the operator's proof
    // of what the server listens on.
    f_Listener = std::make_unique<TSynapseListenerThread>(1);
    WireListener();
    f_Timer.StartTimer();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHeartbeatStartLimitMs);
    while (!f_Timer.TimerThreadIsStarted()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            f_Timer.Stop();
            throw Exception("Heartbeat thread did not start in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    try {
        f_ServiceThread.Start();
    } catch (const std::system_error& e) {
        f_Timer.Stop();
        throw Exception(std::string("Can not create the service thread: ") + e.what());
    }
}

void TQORService::RunMainThread() {
    if (!f_ServiceThread.Started()) return;
    f_MainCall.Serve();
    f_ServiceThread.Join();
}

TQORService::~TQORService() { StopThreads(); }

void TQORService::StopThreads() {
    if (f_ThreadsStopped) return;
    f_ThreadsStopped = true;
    // The owner may destroy a service that never stopped: the service thread
    // is told to end, and calls to a main thread that no longer serves are
    // refused (the subclass that wrote the log is already gone).
    f_Terminated.store(true, std::memory_order_release);
    f_MainCall.Shutdown();
    f_Waiter.SetInterrupt();
    f_ServiceThread.Join();
    // Each thread ends before anything it can reach is freed: the listener
    // (posts and logs into the queues), then the heartbeat (owns networks and
    // contexts).
    if (f_Listener) f_Listener->TerminateAndWait();
    // Manager threads are told to end now so that they end while the
    // heartbeat stops; they are joined once nothing can call them any more.
    tmAbortAllManagers();
    f_Timer.Stop();
    StopManagerThreads();
    TQORRoleScope role(kHeartbeat);
    // Workers a stop cut short at its limit still run and post to the
    // heartbeat's waiter: they end while it exists and before the contexts
    // and networks they reach are freed.
    f_tmWorkers.clear();
    f_tmTempMovedContexts.clear();
    f_Nets.clear();
}

// ---------------------------------------------------------------- settings

void TQORService::CheckNotStarted() const {
    // Settings are plain fields read by every thread once the service runs.
    assert(!f_StartRequested.load(std::memory_order_acquire) &&
           "settings are written before StartService");
}

void TQORService::SetServMaxSpeechTime(int32_t aSeconds) {
    CheckNotStarted();
    if (aSeconds <= 0)
        aSeconds = 300;
    else if (aSeconds < 10)
        aSeconds = 10;
    else if (aSeconds > 1800)
        aSeconds = 1800;
    f_ServMaxSpeechTime = aSeconds;
    f_ServMaxSpeechTicks = static_cast<uint32_t>(aSeconds) * 1000;
}

void TQORService::SetServSpeechPauseTicks(uint32_t aMs) {
    CheckNotStarted();
    f_ServSpeechPauseTicks = aMs > 10000 ? 10000 : aMs;
}

void TQORService::SetServQuarantineTicks(uint32_t aMs) {
    CheckNotStarted();
    f_ServQuarantineTicks = aMs > 4000 ? 4000 : aMs;
}

void TQORService::SetClientActivityTimeout(int32_t aSeconds) {
    CheckNotStarted();
    if (aSeconds <= 0)
        aSeconds = 8;
    else if (aSeconds < 3)
        aSeconds = 3;
    else if (aSeconds > 30)
        aSeconds = 30;
    f_ClientActivityTimeout = aSeconds;
    f_ClientActivityTimeoutTicks = static_cast<uint32_t>(aSeconds) * 1000;
}

void TQORService::SetClientHandshakeTimeout(int32_t aSeconds) {
    CheckNotStarted();
    if (aSeconds <= 0)
        aSeconds = 2;
    else if (aSeconds > 20)
        aSeconds = 20;
    f_ClientHandshakeTimeout = aSeconds;
    f_ClientHandshakeTimeoutTicks = static_cast<uint32_t>(aSeconds) * 1000;
}

void TQORService::SetServMaxWaitConnections(int32_t aValue) {
    CheckNotStarted();
    if (aValue <= 0)
        aValue = 5;
    else if (aValue == 1)
        aValue = 2;
    else if (aValue > 1000)
        aValue = 1000;
    f_ServMaxWaitConnections = aValue;
}

void TQORService::SetDataDir(std::u16string_view aDir) {
    CheckNotStarted();
    const std::u16string trimmed = TrimSpaceW(aDir);
    f_DataDir = trimmed.empty() ? f_ServerExeDir : ResolvePathRelative(trimmed, f_ServerExeDir);
    while (f_DataDir.size() > 1 && f_DataDir.back() == u'/') f_DataDir.pop_back();
}

void TQORService::SetListFileName(TQORSVCListKind aKind, std::u16string_view aName) {
    CheckNotStarted();
    f_ListFileNames[static_cast<int>(aKind)] =
        aName.empty() ? std::u16string() : ResolvePathRelative(aName, f_DataDir);
}

const std::u16string& TQORService::ListFileName(TQORSVCListKind aKind) const {
    return f_ListFileNames[static_cast<int>(aKind)];
}

void TQORService::SetConfigFileName(std::u16string_view aName) {
    CheckNotStarted();
    f_DiskConfigFileName = aName.empty() ? std::u16string() : ResolvePathRelative(aName, f_ServerExeDir);
}

void TQORService::SetDataChangeScript(std::u16string_view aName) {
    CheckNotStarted();
    f_DiskDataChangeScript =
        aName.empty() ? std::u16string() : ResolvePathRelative(aName, f_ServerExeDir);
}

void TQORService::AddNetwork(std::unique_ptr<TQORSVCNetwork> aNetwork) {
    // Networks are added before the heartbeat is enabled; the enable's
    // release/acquire publishes them to the heartbeat thread.
    assert(!f_HeartbeatEnabled.load(std::memory_order_acquire));
    TQORRoleScope role(kHeartbeat);
    f_CmdNetNames.push_back({aNetwork->NetName(), aNetwork->NetCharsetName(), aNetwork.get()});
    f_Nets.push_back(std::move(aNetwork));
}

void TQORService::AddPortForAny(std::u16string_view aName, std::u16string_view aPort,
                                TSynapseListenerIPVersions aVersions,
                                TSynapseAcceptPeerEvent aOnAccept) {
    if (!f_Listener) throw Exception("Bindings are added after Start");
    f_Listener->AddPortForAny(aName, aPort, aVersions, std::move(aOnAccept));
}

void TQORService::AddPortForLocalhost(std::u16string_view aName, std::u16string_view aPort,
                                      TSynapseListenerIPVersions aVersions,
                                      TSynapseAcceptPeerEvent aOnAccept) {
    if (!f_Listener) throw Exception("Bindings are added after Start");
    f_Listener->AddPortForLocalhost(aName, aPort, aVersions, std::move(aOnAccept));
}

void TQORService::evnt_Listener_ClientAcceptPeer(TSocket aSocket,
                                                 const std::string& aRemoteAddrBin,
                                                 int aRemotePort) {
    if (!ServiceEnabled()) {
        SocketCloseHandle(aSocket);
        return;
    }
    std::unique_ptr<TQORPrebuiltSession> built;
    try {
        built = std::make_unique<TQORPrebuiltSession>();
        built->Ctx = lsNewClientContext(aSocket, aRemoteAddrBin, aRemotePort);
    } catch (...) {
        // The socket is still ours: the heartbeat's factory tries again and
        // refuses the connection as it would any it cannot serve.
        built.reset();
    }
    if (built && built->Ctx) {
        f_Poster.ServQueue_ConnectClient(INVALID_SOCKET_HANDLE, aRemoteAddrBin, aRemotePort,
                                         std::move(built));
        return;
    }
    f_Poster.ServQueue_ConnectClient(aSocket, aRemoteAddrBin, aRemotePort);
}

void TQORService::evnt_Listener_CommandAcceptPeer(TSocket aSocket,
                                                  const std::string& aRemoteAddrBin,
                                                  int aRemotePort) {
    if (!ServiceEnabled()) {
        SocketCloseHandle(aSocket);
        return;
    }
    f_Poster.ServQueue_ConnectCommand(aSocket, aRemoteAddrBin, aRemotePort);
}

// ---------------------------------------------------------------- posting

void TQORService::StartService() {
    f_StartRequested.store(true, std::memory_order_release);
    f_Poster.MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_ServiceStart);
}

void TQORService::StopService() { f_Poster.MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_ServiceStop); }

bool TQORService::ServiceAbortThread(std::u16string_view aAbortMessage) {
    // Called from the signal thread and from workers at once: the exchange
    // makes exactly one caller the first.
    if (f_AbortCommand.exchange(true, std::memory_order_acq_rel)) return false;
    {
        plat::MutexLock lock(f_AbortLock);
        f_AbortMessageText.assign(aAbortMessage);
    }
    f_Poster.MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_ServiceAbort);
    return true;
}

std::u16string TQORService::AbortMessageText() const {
    plat::MutexLock lock(f_AbortLock);
    return f_AbortMessageText;
}

void TQORService::SignalReopenLogFile() {
    if (f_Terminated.load(std::memory_order_acquire)) return;
    f_Poster.MainQueue_PostCmd(TQORSVCMainQueueCmd::fsmqc_ReopenLog);
}

void TQORService::ServerStopDisconnectAll() { f_Poster.ServQueue_ServerStopDisconnectAll(); }

// ---------------------------------------------------------------- log

bool TQORService::PushLogLine(std::u16string aText) {
    // The count is a hint (read without the lock): the cap is approximate by
    // at most one line per thread, which is all it needs to be.
    if (f_Fifo.Count() >= kLogFifoMax) {
        f_LogDropped.fetch_add(1, std::memory_order_relaxed);
        f_LogDroppedTotal.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    f_Fifo.PushData(std::move(aText));
    return true;
}

void TQORService::Fifo(std::u16string aText) {
    if (PushLogLine(std::move(aText))) f_Waiter.SetInterrupt();
}

bool TQORService::GetFifo(std::u16string& aInfo) {
    if (f_Fifo.PullData(aInfo)) return true;
    const uint64_t dropped = f_LogDropped.exchange(0, std::memory_order_relaxed);
    if (dropped == 0) return false;
    aInfo = u"WARNING: Log queue full: " + IntToDecStrW(static_cast<int64_t>(dropped)) +
            u" lines dropped";
    return true;
}

void TQORService::trLog(std::u16string aText) {
    if (!OnFifo) return;
    PushLogLine(std::move(aText));
    trHandOffLog();
}

void TQORService::trLogError(std::u16string_view aLabel, const Exception& aError) {
    std::u16string t = u"ERROR: ";
    t += aLabel;
    t += aError.ClassName();
    t += u": ";
    t += aError.Message();
    trLog(std::move(t));
}

void TQORService::trHandOffLog() {
    if (f_Fifo.Count() == 0) return;
    const bool written = OnFifo && (f_LogInline ? (OnFifo(), true) : f_MainCall.Call(OnFifo));
    if (!written) {
        // Nobody writes the log (no runner, or the main thread is gone):
        // the lines are dropped rather than kept for ever.
        std::u16string line;
        while (f_Fifo.PullData(line)) {
        }
    }
}

// ---------------------------------------------------------------- keys

TQORGlobalKey TQORService::GetNextUniqCounter() {
    TQORGlobalKey key = f_UniqCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    // 0 means "no context" in records: a wrapped counter skips it.
    while (key == 0) key = f_UniqCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    return key;
}

std::u16string TQORService::trGetNextDataChangeCounter() {
    ++f_trDataChangeCounter;
    char text[48];
    const plat::LocalTimeFields t = plat::LocalNowFields();
    std::snprintf(text, sizeof text, "%06X.%04d%02d%02d%02d%02d%02d%03d", f_trDataChangeCounter,
                  t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
    return ByteStrToUnicode(text);
}

// ---------------------------------------------------------------- heartbeat

void TQORService::tmPublishUptime() {
    const uint32_t secondEnd = f_ServLastHeartBeatTick - f_ServHeartBeats1s * 100;
    f_CmdUptime.store(uint64_t{f_ServerUptime} << 32 | secondEnd, std::memory_order_release);
}

void TQORService::tmSetTimerSync(uint32_t aSyncTick) {
    f_ServLastHeartBeatTick = aSyncTick;
    tmPublishUptime();
    f_HeartbeatEnabled.store(true, std::memory_order_release);
    if (!p_Cfg.cfg_ServerEnabled) return;
    for (std::size_t i = 0; i < f_Nets.size(); ++i)
        f_Nets[i]->SetPingBase(aSyncTick - static_cast<uint32_t>(i % 5) * 100);
}

void TQORService::tmRequestFlush(TQORSVCCtxRef aCommandContext) {
    f_Flushers.EnqueueCommandContext(aCommandContext);
    ++f_tmFlushersWaiting;
    tmServResults |= kResAllLists | kResFlush;
    f_tmPendingResults |= kResAllLists | kResFlush;
}

void TQORService::tmMarkListChanged(TQORSVCListKind aKind) {
    tmServResults |= kLists[static_cast<int>(aKind)].Bit;
    f_tmPendingResults |= kLists[static_cast<int>(aKind)].Bit;
}

void TQORService::tmAddTempMoved(TQORSVCMovedClient* aClient) {
    f_tmTempMovedContexts.push_back(aClient);
}

void TQORService::tmRemoveTempMoved(TQORSVCMovedClient* aClient) {
    std::erase(f_tmTempMovedContexts, aClient);
}

void TQORService::tmSetOwnerInfo(std::string aCallsignOpnameANSI,
                                 std::string aCallsignOpnameUTF8) {
    f_ServerOwnerCallsignOpnameANSI = std::move(aCallsignOpnameANSI);
    f_ServerOwnerCallsignOpnameUTF8 = std::move(aCallsignOpnameUTF8);
    tmServResults |= kResOwner;
    f_tmPendingResults |= kResOwner;
}

void TQORService::tm_Pinger() {
    tmReadReadyTalker(true);
    try {
        for (;;) {
            tmPass();
            if ((tmServResults & kResNetCommands) == 0) break;
            // A run of passes (a flood of records) must not leave the
            // talkers' frames unread until it ends: their records join the
            // queue as a worker's read would have put them there.
            if (f_Poster.ServQueue().Count() > 0) tmReadReadyTalker(false);
        }
    } catch (...) {
        // The talkers' output and requests do not wait for a pass that works.
        tmServeTalkers();
        throw;
    }
    tmServeTalkers();
    f_tmDisposeAtPassEnd.clear();
}

uint32_t TQORService::tmNextDeadline(uint32_t aNow) {
    if (f_Poster.ServQueue().Count() > 0 || StopStage() != fss_NoStop || f_tmPendingResults != 0)
        return 0;
    uint32_t due = kHeartbeatNoDeadline;
    auto at = [&](uint32_t aTick) {
        const int32_t d = TickSignedDiff(aTick, aNow);
        due = std::min(due, d <= 0 ? 0u : static_cast<uint32_t>(d));
    };
    // The step counters reach a whole second and the reorder point on the
    // grid point these many steps after the last one counted.
    if (!f_tmTempMovedContexts.empty() || f_tmMemRep.Running())
        at(f_ServLastHeartBeatTick + (10 - f_ServHeartBeats1s) * 100);
    if (f_tmWorkers.size() >= 2)
        at(f_ServLastHeartBeatTick + (30 - f_ServHeartBeatsWorkerReorder) * 100);
    // The talkers it reads have their time-outs judged each second.
    if (!f_tmTalkers.empty()) at(f_tmTalkersChecked + TQORSVCWorker::kTimeoutGridMs);
    if (!p_Cfg.cfg_ServerEnabled) return due;
    for (const auto& n : f_Nets) {
        if (n->HasCommands() || n->ParrotBusy()) return 0;
        if (n->SpeechPauseOn()) at(n->SpeechPauseStartTick() + n->SpeechPauseTicks());
        if (n->PingWanted()) at(n->PingBase() + 500);
    }
    return due;
}

void TQORService::tmPass() {
    f_got_worker_reorder = false;
    tmServResults = 0;
    f_tmSecs = 0;
    tmServTick = e_Clock.Tick();
    // The late steps (worker wake-ups, snapshots, flush, reorder) run even
    // when an earlier step raised: output already queued for clients and a
    // flush already promised must not wait for a pass that works.
    std::exception_ptr failure;
    try {
        tmCountSteps();
        if (f_Poster.ServQueue().Count() > 0) tmDispatchServQueue();
        tmNetworkHeartBeats();
    } catch (...) {
        failure = std::current_exception();
        tmServResults &= ~kResNetCommands;
    }
    tmLateSteps();
    if (failure) std::rethrow_exception(failure);
}

void TQORService::tmCountSteps() {
    const uint32_t steps = TickElapsed(tmServTick, f_ServLastHeartBeatTick) / 100;
    f_tmLastSteps = steps;
    if (steps == 0) return;
    f_ServLastHeartBeatTick += steps * 100;
    f_ServHeartBeats1s += steps;
    while (f_ServHeartBeats1s > 9) {
        f_ServHeartBeats1s -= 10;
        ++f_ServerUptime;
        ++f_tmSecs;
    }
    if (f_tmSecs > 0) tmPublishUptime();
    f_ServHeartBeatsWorkerReorder += steps;
    while (f_ServHeartBeatsWorkerReorder > 29) {
        f_ServHeartBeatsWorkerReorder -= 30;
        f_got_worker_reorder = true;
    }
    if (f_tmSecs > 0) {
        f_tmEpochUTC = e_Clock.UnixSeconds();
        for (std::size_t i = f_tmTempMovedContexts.size(); i-- > 0;) {
            TQORSVCMovedClient* c = f_tmTempMovedContexts[i];
            const int32_t left = c->MoveTimeLeft();
            if (left <= 0) continue;
            const int32_t now =
                left > static_cast<int32_t>(f_tmSecs) ? left - static_cast<int32_t>(f_tmSecs) : 0;
            c->SetMoveTimeLeft(now);
            if (now == 0)
                f_Poster.ServQueue_MoveClientAutoBack(c->MovedCtxRef(), c->NetworkNow(),
                                                      c->NetworkMovedFrom());
        }
    }
    if (!p_Cfg.cfg_ServerEnabled) return;
    for (std::size_t i = f_Nets.size(); i-- > 0;) {
        TQORSVCNetwork& n = *f_Nets[i];
        if (n.SpeechPauseOn() &&
            TickElapsed(tmServTick, n.SpeechPauseStartTick()) >= n.SpeechPauseTicks())
            n.EndSpeechPause();
        if (n.ParrotBusy()) n.ParrotHeartBeat(tmServTick);
    }
}

void TQORService::tmNetworkHeartBeats() {
    if (!p_Cfg.cfg_ServerEnabled) return;
    for (std::size_t i = f_Nets.size(); i-- > 0;) {
        TQORSVCNetwork& n = *f_Nets[i];
        try {
            // A network that slept through its ping points (nothing to do on
            // them) gets one ping, still on its 500 ms phase, not one for
            // every point it missed.
            const int32_t behind = TickSignedDiff(tmServTick, n.PingBase());
            if (behind >= 1000)
                n.SetPingBase(n.PingBase() + (static_cast<uint32_t>(behind) / 500 - 1) * 500);
            const bool ping = TickSignedDiff(tmServTick, n.PingBase()) >= 500;
            if (ping || n.HasCommands()) {
                if (n.NetHeartBeat(ping, tmServTick)) tmServResults |= kResNetCommands;
            }
        } catch (const Exception& e) {
            Fifo(u"ERROR: Network \"" + n.NetName() + u"\": " + e.Message());
        }
    }
}

void TQORService::tmLateSteps() {
    // Networks may have set list bits in tmServResults directly.
    f_tmPendingResults |= tmServResults & (kResAllLists | kResOwner | kResFlush);
    std::exception_ptr failure;
    auto keep = [&failure] {
        if (!failure) failure = std::current_exception();
    };
    try {
        tmWakeFlaggedWorkers();
    } catch (...) {
        keep();
    }
    try {
        if (f_tmSecs > 0) f_tmAddressClientCounterCache->CacheCleanupStep(f_ServerUptime);
    } catch (...) {
        keep();
    }
    try {
        tmPostSnapshots();
    } catch (...) {
        keep();
    }
    // ---- command channel: a memory report ends at its time limit ----
    try {
        tmMemReportCheck();
    } catch (...) {
        keep();
    }
    try {
        if (f_got_worker_reorder) tmWorkerReorderStep();
    } catch (...) {
        keep();
    }
    if (failure) std::rethrow_exception(failure);
}

void TQORService::tmPostSnapshots() {
    for (const ListInfo& l : kLists) {
        if ((f_tmPendingResults & l.Bit) == 0) continue;
        f_Poster.MainQueue().EnqueueData(l.Cmd, tmSnapshot(l.Kind));
        f_tmPendingResults &= ~l.Bit;
        f_Poster.InterruptService();
    }
    if (f_tmPendingResults & kResFlush) {
        // The record names how many requests it answers: a later pass's
        // requests wait for their own snapshots, which are queued behind it.
        auto rec = std::make_unique<TQORSVCMainQueueRec>();
        rec->fsmqr_Cmd = TQORSVCMainQueueCmd::fsmqc_FlushData;
        rec->fsmqr_Count = f_tmFlushersWaiting;
        f_Poster.MainQueue().Push(std::move(rec));
        f_tmFlushersWaiting = 0;
        f_tmPendingResults &= ~kResFlush;
        f_Poster.InterruptService();
    }
}

TQORSVCWriteArray TQORService::tmSnapshot(TQORSVCListKind aKind) const {
    TQORSVCWriteArray lines;
    if (aKind == TQORSVCListKind::Owner) {
        lines.push_back("CALLSIGN|" + BytesToHexA(f_ServerOwnerCallsignOpnameANSI) + "|" +
                        BytesToHexA(f_ServerOwnerCallsignOpnameUTF8) + "\r\n");
        return lines;
    }
    for (const auto& n : f_Nets) n->AppendSnapshot(aKind, lines);
    return lines;
}

void TQORService::tmDispatchServQueue() {
    TQORSVCServQueue::Batch batch;
    const int32_t n = f_Poster.ServQueue().PullBatch(batch);
    // Every record of the batch is handled in its own guard (one that raises
    // is logged and freed, the rest go on); each is freed once, by its
    // unique_ptr, unless a network took it.
    for (int32_t i = 0; i < n; ++i) {
        std::unique_ptr<TQORSVCNetQueueRecord>& rec = batch[static_cast<std::size_t>(i)];
        const bool counted = rec->nqr_InFlight;
        const TQORSVCCtxRef ctx{rec->nqr_Context, rec->nqr_GlobalKey};
        tmDispatchOwned(rec);
        if (counted) tmInFlightHandled(ctx);
    }
    if (f_Poster.HeldReadersAfterBatch() > 0 &&
        f_Poster.ServQueue().Count() <= TQORSVCPoster::kServQueueLow)
        tmResumeReaders();
    // A burst larger than one batch would otherwise wait for the 100 ms grid
    // (its posts' interrupts were all consumed by this wake-up): the next
    // pass is brought forward, and each pass still takes at most 32.
    if (f_Poster.ServQueue().Count() > 0) f_Poster.InterruptHeartbeat();
}

bool TQORService::tmDispatchRecord(TQORSVCNetQueueRecord& aRec) {
    using C = TQORServNetworkCommand;
    switch (aRec.nqr_Cmd) {
        case C::snc_MutesListChanged: tmMarkListChanged(TQORSVCListKind::Mutes); return true;
        case C::snc_BlocksListChanged: tmMarkListChanged(TQORSVCListKind::Blocks); return true;
        case C::snc_AdminsListChanged: tmMarkListChanged(TQORSVCListKind::Admins); return true;
        case C::snc_ModesListChanged: tmMarkListChanged(TQORSVCListKind::Modes); return true;
        case C::snc_RightsListChanged: tmMarkListChanged(TQORSVCListKind::Rights); return true;
        case C::snc_NoticesListChanged: tmMarkListChanged(TQORSVCListKind::Notices); return true;
        case C::snc_OwnerInfoChanged:
            tmServResults |= kResOwner;
            f_tmPendingResults |= kResOwner;
            return true;
        case C::snc_ChannelFlushData:
            tmRequestFlush(TQORSVCCtxRef{aRec.nqr_Context, aRec.nqr_GlobalKey});
            return true;
        case C::snc_ServConnectClient: tmAdmitClient(aRec); return true;
        case C::snc_ServConnectCommand: tmAdmitCommand(aRec); return true;
        case C::snc_ServStopDisconnectAll:
            // A late or repeated report (a listener stopped twice) changes
            // nothing once the connections are being closed.
            if (StopStage() == fss_WaitStopListening)
                tmNextStopStage();
            else if (f_LogClientLevel > 6)
                Fifo(u"Stop: disconnect-all report at stage " + Dec(StopStage()) + u" ignored");
            return true;
        default: return false;
    }
}

void TQORService::tmCloseAllConnections() {
    // Contexts not yet joined to a network are the service's own; the rest
    // are closed by their network, which alone knows its members.
    for (auto& [key, e] : f_tmClients)
        if (e.Undefined) e.Ctx->ClientTerminateSignal(TQORSVCDisconnectCause::fsdc_ServerStopped);
    // ---- command channel ----
    tmCloseCommandContexts();
    for (std::size_t i = f_Nets.size(); i-- > 0;) {
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = TQORServNetworkCommand::snc_NetServerStopDisconnectAll;
        rec->nqr_ReceiverObj = f_Nets[i].get();
        tmHandToNetwork(f_Nets[i].get(), rec);
    }
}

void TQORService::tmContextGone() {
    if (StopStage() == fss_WaitCloseConnections &&
        tmTotalContextCount.load(std::memory_order_acquire) == 0)
        tmNextStopStage();
}

void TQORService::tmNextStopStage() {
    for (;;) {
        switch (StopStage()) {
            case fss_WaitStopListening:
                tmStopStage.store(fss_WaitCloseConnections, std::memory_order_release);
                if (p_Cfg.cfg_ServerEnabled) tmAbortAllManagers();  // ---- managers ----
                tmCloseAllConnections();
                // Each disconnect report brings the stop back here once the
                // last context is gone (tmContextGone).
                if (tmTotalContextCount.load(std::memory_order_acquire) >= 1) return;
                break;
            case fss_WaitCloseConnections:
                tmStopStage.store(fss_WaitFlushDirties, std::memory_order_release);
                break;
            case fss_WaitFlushDirties:
                tmStopStage.store(fss_WaitStopWorkers, std::memory_order_release);
                if (tmAbortAllWorkers() || tmManagerCount.load(std::memory_order_acquire) > 0)
                    return;
                break;
            case fss_WaitStopWorkers:
                f_Waiter.SetInterrupt();
                return;
            case fss_NoStop:
            case fss_DoStop: return;
            default: throw Exception("Unknown stop stage");
        }
    }
}

// ---------------------------------------------------------------- service thread

void TQORService::ServiceThread::Execute() { e_Svc.ServiceExecute(); }

void TQORService::ServiceExecute() noexcept {
    TQORRoleScope role(kServiceThread);
    try {
        if (!f_Terminated.load(std::memory_order_acquire)) f_Waiter.WaitFor(WAITER_INFINITE);
        trLoop();
        trEndOfService();
    } catch (...) {
        // Nothing is left to log through: the loop catches what it can.
    }
    f_ServiceFinished.store(true, std::memory_order_release);
    f_MainCall.Finish();
}

bool TQORService::trEndTest() {
    return StopStage() == fss_WaitStopWorkers && tmTotalContextCount.load() == 0 &&
           tmClientContextCount.load() == 0 && tmCommandContextCount.load() == 0 &&
           tmWorkerCount.load() == 0 && tmManagerCount.load() == 0 &&
           f_Poster.MainQueue().Count() == 0 &&
           f_Poster.ServQueue().Count() == 0;
}

void TQORService::trLoop() {
    bool stopSeen = false;
    uint32_t stopTick = 0;
    bool lateSeen = false;
    uint32_t lateTick = 0;
    for (;;) {
        try {
            if (trEndTest() || f_Terminated.load(std::memory_order_acquire)) return;
            if (f_Poster.MainQueue().Count() > 0) trMainQueueBatch();
            trHandOffLog();
            const bool idle = f_Fifo.Count() == 0 && f_Poster.MainQueue().Count() == 0;
            if (StopStage() != fss_NoStop) {
                if (!stopSeen) {
                    stopSeen = true;
                    stopTick = e_Clock.Tick();
                }
                // ---- stop: a bounded extra time after the limit ----
                // The workers still running are told to end and the heartbeat
                // goes on for a while, so that their contexts' disconnects are
                // handled before the threads are joined.
                if (lateSeen) {
                    if (TickElapsed(e_Clock.Tick(), lateTick) >= kStopExtraMs) return;
                } else if (TickElapsed(e_Clock.Tick(), stopTick) >= kStopLimitMs) {
                    trLog(u"ERROR:  - Total contexts: " + Dec(tmTotalContextCount.load()));
                    trLog(u"ERROR:  - Client contexts: " + Dec(tmClientContextCount.load()));
                    trLog(u"ERROR:  - Command contexts: " + Dec(tmCommandContextCount.load()));
                    trLog(u"ERROR:  - Work threads: " + Dec(tmWorkerCount.load()));
                    trLog(u"ERROR:  - Manager threads: " + Dec(tmManagerCount.load()));
                    trLog(u"ERROR:  - Main queue events: " + Dec(f_Poster.MainQueue().Count()));
                    trLog(u"ERROR:  - Server/timer queue events: " +
                          Dec(f_Poster.ServQueue().Count()));
                    lateSeen = true;
                    lateTick = e_Clock.Tick();
                    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                    rec->nqr_Cmd = TQORServNetworkCommand::snc_ServAbortAllWorkers;
                    rec->nqr_DataI0 = kStopLateAbortMark;
                    f_Poster.ServQueuePush(std::move(rec));
                }
                if (idle) f_Waiter.WaitFor(20);
            } else if (idle) {
                f_Waiter.WaitFor(WAITER_INFINITE);
            }
        } catch (const Exception& e) {
            trLogError(u"Service thread: main loop: ", e);
        } catch (const std::exception& e) {
            trLogError(u"Service thread: main loop: ",
                       Exception(Utf8StrToUnicodeLenient(e.what())));
        }
    }
}

void TQORService::trEndOfService() {
    if (!trEndTest()) {
        trLog(u"ERROR: Can not termimate server on time:");
        trLog(u"ERROR:  = Total contexts: " + Dec(tmTotalContextCount.load()));
        trLog(u"ERROR:  = Client contexts: " + Dec(tmClientContextCount.load()));
        trLog(u"ERROR:  = Command contexts: " + Dec(tmCommandContextCount.load()));
        trLog(u"ERROR:  = Manager threads: " + Dec(tmManagerCount.load()));
        trLog(u"ERROR:  = Work threads: " + Dec(tmWorkerCount.load()));
        trLog(u"ERROR:  = Main queue events: " + Dec(f_Poster.MainQueue().Count()));
        trLog(u"ERROR:  = Server/timer queue events: " + Dec(f_Poster.ServQueue().Count()));
    }
    // The networks are not freed here: the heartbeat still reaches them until
    // it is joined (the destructor frees them after that).
    f_Listener->ListenerAbortThread();
    const uint32_t t0 = e_Clock.Tick();
    while (f_Listener->ListenerThreadIsStarted() && !f_Listener->ListenerThreadIsStopped()) {
        trHandOffLog();
        if (TickElapsed(e_Clock.Tick(), t0) > 4999) {
            trLog(u"ERROR: Could not terminate listener thread on time");
            break;
        }
        f_Waiter.WaitFor(10);
    }
    f_Listener->TerminateAndWait();
    trHandOffLog();
    f_Timer.TerminateTimer();
    const uint32_t t1 = e_Clock.Tick();
    while (!f_Timer.TimerThreadIsStopped() && f_Timer.TimerThreadIsStarted()) {
        trHandOffLog();
        if (TickElapsed(e_Clock.Tick(), t1) > 4999) {
            trLog(u"ERROR: Could not terminate heartbeat(timer) thread on time");
            break;
        }
        f_Waiter.WaitFor(10);
    }
    f_Timer.Stop();
    trHandOffLog();
}

void TQORService::trMainQueueBatch() {
    TQORSVCMainQueue::Batch batch;
    const int32_t n = f_Poster.MainQueue().PullBatch(batch);
    // A handler that raises loses its own record only; the batch goes on and
    // every record is freed once, by its unique_ptr.
    for (int32_t i = 0; i < n; ++i) {
        try {
            trHandleMainRecord(*batch[static_cast<std::size_t>(i)]);
        } catch (const Exception& e) {
            trLogError(u"Service thread: main loop: ", e);
        } catch (const std::exception& e) {
            trLogError(u"Service thread: main loop: ",
                       Exception(Utf8StrToUnicodeLenient(e.what())));
        }
    }
}

void TQORService::trHandleMainRecord(TQORSVCMainQueueRec& aRec) {
    using C = TQORSVCMainQueueCmd;
    if (const ListInfo* l = ListOfCmd(aRec.fsmqr_Cmd)) {
        try {
            trSaveList(l->Kind, aRec.fsmqr_Data);
        } catch (const Exception& e) {
            f_trSaveFailed = true;
            trLogError(l->ErrorLabel, e);
        }
        return;
    }
    for (const RereadInfo& r : kRereads) {
        if (r.Cmd != aRec.fsmqr_Cmd) continue;
        try {
            trReread(aRec);
        } catch (const Exception& e) {
            trLogError(r.ErrorLabel, e);
        }
        return;
    }
    switch (aRec.fsmqr_Cmd) {
        case C::fsmqc_FlushData: trAnswerFlushers(aRec.fsmqr_Count); return;
        case C::fsmqc_ServiceStart:
            try {
                trStartService();
            } catch (const Exception& e) {
                trLogError(u"Service start: ", e);
            }
            return;
        case C::fsmqc_ServiceStop:
            try {
                if (f_ServiceEnabled.exchange(false) && f_Listener) f_Listener->StopListen();
            } catch (const Exception& e) {
                trLogError(u"Service stop: ", e);
            }
            return;
        case C::fsmqc_ServiceAbort: trAbort(); return;
        case C::fsmqc_ReopenLog:
            try {
                if (f_LogReopenLog) trLog(u"Reopen log file");
                if (OnReopenLog) {
                    // The main thread reopens; a file that cannot be opened
                    // again is reported here (its lines then go to standard
                    // output), not lost in the hand-off.
                    std::exception_ptr failure;
                    const std::function<void()> reopen = [&] {
                        try {
                            OnReopenLog();
                        } catch (...) {
                            failure = std::current_exception();
                        }
                    };
                    f_LogInline ? reopen() : (void)f_MainCall.Call(reopen);
                    if (failure) std::rethrow_exception(failure);
                }
            } catch (const Exception& e) {
                trLogError(u"Reopen log: ", e);
            }
            return;
        case C::fsmqc_IntFlagsChanged:
            try {
                const std::u16string counter = trGetNextDataChangeCounter();
                if (f_LogData) trLog(u"IntFlags are changed from file: " + aRec.fsmqr_Str);
                trRunDataChangeScript(aRec.fsmqr_Str, u"INTFLAGS", counter);
            } catch (const Exception& e) {
                trLogError(u"Updating int flags: ", e);
            }
            return;
        case C::fsmqc_RereadIntFlags:
            try {
                trRereadIntFlags(aRec);
            } catch (const Exception& e) {
                trLogError(u"Reread internal flags: ", e);
            }
            return;
        case C::fsmqc_RereadALL:
            try {
                if (e_DataFiles == nullptr) throw Exception("No data-file reader");
                static constexpr TQORSVCListKind kAll[] = {
                    TQORSVCListKind::Blocks, TQORSVCListKind::Mutes,  TQORSVCListKind::Admins,
                    TQORSVCListKind::Modes,  TQORSVCListKind::Rights, TQORSVCListKind::Notices};
                static constexpr TQORSVCMainQueueCmd kCmds[] = {
                    C::fsmqc_RereadBlocks, C::fsmqc_RereadMutes, C::fsmqc_RereadAdmins,
                    C::fsmqc_RereadModes,  C::fsmqc_RereadRights, C::fsmqc_RereadNotices};
                for (int i = 0; i < 6; ++i) e_DataFiles->RereadList(kCmds[i], ListFileName(kAll[i]));
            } catch (const Exception& e) {
                trLogError(u"Reread all: ", e);
            }
            return;
        case C::fsmqc_MemRepRequest:
            // ---- command channel ----
            trMemReportPart(aRec);
            return;
        default:
            trLog(u"ERROR: Main thread: Unknown cmd: " +
                  Dec(static_cast<int64_t>(aRec.fsmqr_Cmd)));
            return;
    }
}

void TQORService::trSaveList(TQORSVCListKind aKind, const TQORSVCWriteArray& aLines) {
    const ListInfo& l = kLists[static_cast<int>(aKind)];
    const std::u16string counter =
        aKind == TQORSVCListKind::Owner ? std::u16string() : trGetNextDataChangeCounter();
    const std::u16string& file = ListFileName(aKind);
    if (e_DataFiles == nullptr) throw Exception("No data-file writer");
    if (!e_DataFiles->WriteList(aKind, file, aLines)) {
        f_trSaveFailed = true;
        return;
    }
    if (f_LogData) trLog(std::u16string(l.SavedText) + file);
    if (aKind != TQORSVCListKind::Owner) trRunDataChangeScript(file, l.Tag, counter);
}

void TQORService::trRunDataChangeScript(const std::u16string& aFileName, std::u16string_view aTag,
                                        const std::u16string& aCounter) {
    if (f_DiskDataChangeScript.empty()) return;
    std::u16string line;
    AppendQuoted(line, f_DiskDataChangeScript);
    line += u' ';
    AppendQuoted(line, aTag);
    line += u' ';
    AppendQuoted(line, aFileName);
    line += u' ';
    AppendQuoted(line, f_DiskConfigFileName);
    line += u' ' + f_PidU + u' ' + aCounter;
    // Scripts are not started by this server; the command line is only logged.
    if (f_LogExec) trLog(u"EXEC: " + line);
}

void TQORService::trReread(TQORSVCMainQueueRec& aRec) {
    const RereadInfo* info = nullptr;
    for (const RereadInfo& r : kRereads)
        if (r.Cmd == aRec.fsmqr_Cmd) info = &r;
    std::u16string file = ListFileName(info->Kind);
    if (!aRec.fsmqr_Str.empty()) {
        if (f_LogData) trLog(std::u16string(info->LogText) + aRec.fsmqr_Str);
        file = aRec.fsmqr_Str;
    }
    if (e_DataFiles == nullptr) throw Exception("No data-file reader");
    const bool ok = e_DataFiles->RereadList(aRec.fsmqr_Cmd, file);
    f_Poster.ServQueue_ChannelAnswerText(aRec.fsmqr_Obj1, aRec.fsmqr_GlobalKey,
                                         ok ? "+OK\r\n" : "-ERROR\r\n", true);
}

void TQORService::trRereadIntFlags(TQORSVCMainQueueRec& aRec) {
    std::u16string file = f_DiskIntFlagsFileName;
    if (!aRec.fsmqr_Str.empty()) {
        if (f_LogData) trLog(u"Reread internal flags from the file: " + aRec.fsmqr_Str);
        file = aRec.fsmqr_Str;
    } else if (f_LogData) {
        trLog(u"Reread default internal flags file: " + f_DiskIntFlagsFileName);
    }
    if (e_DataFiles == nullptr) throw Exception("No data-file reader");
    const bool ok = e_DataFiles->RereadList(aRec.fsmqr_Cmd, file);
    f_Poster.ServQueue_ChannelAnswerText(aRec.fsmqr_Obj1, aRec.fsmqr_GlobalKey,
                                         ok ? "+OK\r\n" : "-ERROR\r\n", true);
}

void TQORService::trAnswerFlushers(int32_t aCount) {
    // The snapshots of the same heartbeat pass were queued ahead of this
    // request, so every save it covers has been tried by now. Only the
    // requests of that pass are answered: later ones wait for their own.
    const char* answer = f_trSaveFailed ? "-ERROR\r\n" : "+OK\r\n";
    f_trSaveFailed = false;
    for (int32_t i = 0; i < aCount; ++i) {
        TQORSVCFlusherQueue::ItemPtr item = f_Flushers.Pull();
        if (!item) break;
        f_Poster.ServQueue_ChannelAnswerText(item->Context, item->GlobalKey, answer);
    }
}

void TQORService::trStartService() {
    if (f_ServiceEnabled.exchange(true)) return;
    try {
        trStartNetworksAndLists();
        trStartManagers();  // ---- managers ----
        f_Timer.SetEnabled(true);
        f_trStarted = true;
        if (p_Cfg.cfg_KeepHotWorkerThread) f_Poster.ServQueue_WorkerStartHot();
        if (f_Listener && !f_Listener->RegisteredBindings().empty()) {
            f_Listener->SetMaxWaitConnections(f_ServMaxWaitConnections);
            f_Listener->StartListen();
            const uint32_t t0 = e_Clock.Tick();
            while (!f_Listener->IsListening() && TickElapsed(e_Clock.Tick(), t0) < 500) {
                trHandOffLog();
                f_Waiter.WaitFor(10);
            }
        }
        trStartManagerThreads();  // ---- managers ----
    } catch (...) {
        f_ServiceEnabled.store(false);
        throw;
    }
}

void TQORService::trAbort() {
    trLog(u"Aborting ...");
    if (StopStage() != fss_NoStop) return;
    tmStopStage.store(fss_WaitStopListening, std::memory_order_release);
    if (!f_trStarted) {
        // Never started: no connection, worker or manager can exist, and no
        // heartbeat would ever take the listener's report.
        tmStopStage.store(fss_WaitStopWorkers, std::memory_order_release);
        return;
    }
    if (f_Listener && f_Listener->IsListening())
        f_Listener->StopListen();  // its stop-all event posts the next step
    else
        ServerStopDisconnectAll();  // a listener with nothing open never reports
}

}  // namespace gax
