// The service's side of the system managers: choosing the active managers at
// the start and making their threads, the look-ups the command channel uses,
// the manager records of the server queue, and the end of the threads.
//
// The slots are written once by the service thread before the heartbeat is
// enabled and freed only by StopManagerThreads after every other thread has
// ended, so every thread reads them without a lock. A thread that reports its
// end stays in its slot (marked ended) until then: a worker that looked it up
// a moment earlier never reaches freed memory.
#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_server_id.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

using C = TQORServNetworkCommand;
using R = TQORService::TQORSVCManagerSearchResult;

std::u16string AsciiUpper(std::u16string_view aText) {
    std::u16string r(aText);
    for (char16_t& c : r)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return r;
}

std::u16string DecW(int64_t aValue) { return IntToDecStrW(aValue); }

}  // namespace

std::string_view SysManStatusName(TQORSvcSysmanStatus aStatus) {
    switch (aStatus) {
        case smst_Disconnected: return "Disconnected";
        case smst_Pause: return "Pause";
        case smst_PauseShort: return "PauseShort";
        case smst_Connecting: return "Connecting";
        case smst_WaitHandshakeAnswer: return "WaitHandshakeAnswer";
        case smst_WaitHandshakeAck: return "WaitHandshakeAck";
        case smst_Delay: return "Delay";
        case smst_Operational: return "Operational";
    }
    return "Unknown";
}

// ---- the host the threads report to (any thread) ----

void TQORService::SysManHost::SysManPost(std::unique_ptr<TQORSVCNetQueueRecord> aRec) {
    e_Svc.f_Poster.ServQueuePush(std::move(aRec));
}

void TQORService::SysManHost::SysManLog(std::u16string aLine) { e_Svc.Fifo(std::move(aLine)); }

bool TQORService::SysManHost::SysManLogExec() const { return e_Svc.f_LogExec; }

// ---- settings and look-ups ----

void TQORService::SetManagerFactory(TQORSVCManagerFactory aFactory) {
    CheckNotStarted();
    f_ManagerFactory = std::move(aFactory);
}

bool TQORService::SysManActive(int32_t aIndex) const {
    return aIndex >= 0 && aIndex < kQORManagerCount && f_SysMansEnabled[size_t(aIndex)] &&
           f_SysMans[size_t(aIndex)] != nullptr;
}

TQORSVCManagerThread* TQORService::SysManThread(int32_t aIndex) const {
    return SysManActive(aIndex) ? f_SysMans[size_t(aIndex)].get() : nullptr;
}

R TQORService::ManagerPasswordByIndex(int32_t aIndex, std::u16string aPassword) {
    TQORSVCManagerThread* m = SysManThread(aIndex);
    if (m == nullptr) return R::fsmsr_NotFound;
    m->SysMan_NewPassword(std::move(aPassword));
    return R::fsmsr_Found;
}

R TQORService::ManagerEmailByIndex(int32_t aIndex, std::u16string aEMail) {
    TQORSVCManagerThread* m = SysManThread(aIndex);
    if (m == nullptr) return R::fsmsr_NotFound;
    m->SysMan_NewEmail(std::move(aEMail));
    return R::fsmsr_Found;
}

R TQORService::ManagerPasswordByAddress(std::u16string_view aAddress, std::u16string aPassword) {
    const std::u16string addr = AsciiUpper(aAddress);
    int32_t found = -1, count = 0;
    for (int32_t i = 0; i < kQORManagerCount; ++i) {
        if (!SysManActive(i)) continue;
        if (AsciiUpper(p_Cfg.ManagerParams[size_t(i)].ManagerAddress) != addr) continue;
        found = i;
        ++count;
    }
    if (count == 0) return R::fsmsr_NotFound;
    if (count > 1) return R::fsmsr_FoundTooMany;
    f_SysMans[size_t(found)]->SysMan_NewPassword(std::move(aPassword));
    return R::fsmsr_Found;
}

R TQORService::ManagerPasswordByAddressEmail(std::u16string_view aAddress,
                                             std::u16string_view aEMail,
                                             std::u16string aPassword) {
    const std::u16string addr = AsciiUpper(aAddress);
    const std::u16string mail = AsciiUpper(aEMail);
    int32_t found = -1, count = 0;
    for (int32_t i = 0; i < kQORManagerCount; ++i) {
        if (!SysManActive(i)) continue;
        const TQORSvcSysmanParams& p = p_Cfg.ManagerParams[size_t(i)];
        if (AsciiUpper(p.ManagerAddress) != addr || AsciiUpper(p.ManagerAuthEMail) != mail)
            continue;
        found = i;
        ++count;
    }
    if (count == 0) return R::fsmsr_NotFound;
    if (count > 1) return R::fsmsr_FoundTooMany;
    f_SysMans[size_t(found)]->SysMan_NewPassword(std::move(aPassword));
    return R::fsmsr_Found;
}

bool TQORService::CmdManagerNewPasswordIdx(int32_t aIndex, std::string_view aPasswordUTF8) {
    return ManagerPasswordByIndex(aIndex, Utf8StrToUnicodeLenient(aPasswordUTF8)) ==
           R::fsmsr_Found;
}

bool TQORService::CmdManagerNewEmailIdx(int32_t aIndex, std::string_view aEmailUTF8) {
    return ManagerEmailByIndex(aIndex, Utf8StrToUnicodeLenient(aEmailUTF8)) == R::fsmsr_Found;
}

TQORSVCCmdManagerMatch TQORService::CmdManagerNewPasswordAddr(std::string_view aAddressUTF8,
                                                              std::string_view aEmailUTF8,
                                                              bool aMatchEmail,
                                                              std::string_view aPasswordUTF8) {
    const std::u16string addr = Utf8StrToUnicodeLenient(aAddressUTF8);
    std::u16string pass = Utf8StrToUnicodeLenient(aPasswordUTF8);
    const R r = aMatchEmail ? ManagerPasswordByAddressEmail(
                                  addr, Utf8StrToUnicodeLenient(aEmailUTF8), std::move(pass))
                            : ManagerPasswordByAddress(addr, std::move(pass));
    switch (r) {
        case R::fsmsr_Found: return TQORSVCCmdManagerMatch::One;
        case R::fsmsr_FoundTooMany: return TQORSVCCmdManagerMatch::Many;
        default: return TQORSVCCmdManagerMatch::None;
    }
}

// ---- counts (heartbeat thread) ----

void TQORService::tmNetClientCountChangedToTheManager(int32_t aIndex, uint32_t aNetEffMask,
                                                      TQORSVCHandle aNetwork, int32_t aNetIndex,
                                                      int32_t aCount) {
    TQORSVCManagerThread* m = SysManThread(aIndex);
    if (m == nullptr || !(aNetEffMask & (1u << aIndex))) return;
    if (m->ManagerStatus() != smst_Operational) return;
    if (!(m->ManagerAnsweredExtFlags() & 0x08)) return;
    m->SysMan_NetClientCountChanged(aNetwork, aNetIndex, aCount);
}

void TQORService::tmNetClientCountChangedToAllManagers(uint32_t aNetEffMask,
                                                       TQORSVCHandle aNetwork,
                                                       int32_t aNetIndex, int32_t aCount) {
    for (int32_t i = 0; i < kQORManagerCount; ++i)
        tmNetClientCountChangedToTheManager(i, aNetEffMask, aNetwork, aNetIndex, aCount);
}

// ---- start ----

std::vector<TQORService::TQORSVCManagerNet> TQORService::trManagerNets() const {
    std::vector<TQORSVCManagerNet> out;
    if (!f_NetList) return out;
    for (int32_t i = 0; i < f_NetList->Count(); ++i) {
        const TQORNetworkData* n = f_NetList->GetNetworkOriginal(i);
        out.push_back({n->NetworkNameANSI(), n->NetworkNameUTF8(),
                       uint32_t(n->NetOptions().no_ManagersMask), n->NetOptions().no_NetManagerMode});
    }
    return out;
}

void TQORService::trApplyManagersMask(uint32_t) {}

void TQORService::trStartManagers() {
    f_SysMansEnabled = {};
    const std::vector<TQORSVCManagerNet> nets = trManagerNets();
    uint32_t enabled = 0, used = 0;
    for (int i = 0; i < kQORManagerCount; ++i)
        if (p_Cfg.ManagerParams[size_t(i)].ssmp_ManagerEnabled) enabled |= 1u << i;
    for (const TQORSVCManagerNet& n : nets)
        if (n.Mode != smm_Standalone) used |= n.ManagersMask;
    // Without a maker of threads no manager can run: the networks then work
    // standalone rather than hold every client for answers that never come.
    const uint32_t active =
        f_ManagerFactory && p_Cfg.cfg_ServerEnabled ? (enabled & used & 0x0F) : 0;
    f_SysMansActiveCount = 0;
    for (int i = 0; i < kQORManagerCount; ++i)
        if (active & (1u << i)) ++f_SysMansActiveCount;
    f_SysMansMask.store(active, std::memory_order_release);
    trApplyManagersMask(active);

    std::vector<TQORSysManNetInfo> info;
    info.reserve(nets.size());
    for (const TQORSVCManagerNet& n : nets) info.push_back({n.NameA, n.NameUTF8, n.ManagersMask & active});
    for (int i = 0; i < kQORManagerCount; ++i) {
        if (!(active & (1u << i))) continue;
        auto m = f_ManagerFactory(f_SysManHost, i, p_Cfg.ManagerParams[size_t(i)]);
        if (!m) continue;
        m->SetNetworks(info);
        f_SysMans[size_t(i)] = std::move(m);
        f_SysMansEnabled[size_t(i)] = true;
    }
}

void TQORService::trStartManagerThreads() {
    for (int i = 0; i < kQORManagerCount; ++i)
        if (TQORSVCManagerThread* m = SysManThread(i)) m->SysMan_Start();
}

// ---- stop ----

void TQORService::tmAbortAllManagers() {
    for (int i = 0; i < kQORManagerCount; ++i)
        if (TQORSVCManagerThread* m = SysManThread(i)) m->SysMan_AbortThread();
}

void TQORService::StopManagerThreads() {
    for (auto& m : f_SysMans)
        if (m) m->SysMan_AbortThread();
    // Each destructor joins its thread; what a thread posted while ending
    // stays in the server queue and is freed with it.
    for (auto& m : f_SysMans) m.reset();
    f_SysMansEnabled = {};
}

// ---- server-queue records (heartbeat thread) ----

void TQORService::tmAnswerChannel(const TQORSVCNetQueueRecord& aRec, std::string_view aText) {
    if (TQORSVCWrkCtx* c = tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey))
        tmWriteCommandAnswer(*c, aText, true);
}

void TQORService::tmManagersList(TQORSVCNetQueueRecord& aRec) {
    TQORSVCWrkCtx* ctx = tmAliveCommandContext(aRec.nqr_Context, aRec.nqr_GlobalKey);
    if (ctx == nullptr) return;
    std::string lines;
    int n = 0;
    for (int32_t i = 0; i < kQORManagerCount; ++i) {
        const TQORSVCManagerThread* m = SysManThread(i);
        if (m == nullptr) continue;
        const TQORSvcSysmanParams& p = p_Cfg.ManagerParams[size_t(i)];
        const TQORSvcSysmanStatus st = f_tmSysManEnded[size_t(i)] ? smst_Disconnected
                                                                  : m->ManagerStatus();
        lines += std::to_string(i) + ": " +
                 UnicodeToUtf8Str(FormatHostPort(p.ManagerAddress, DecW(p.ManagerPort))) + ": " +
                 std::string(SysManStatusName(st)) + "\r\n";
        ++n;
    }
    tmWriteCommandAnswer(*ctx, "+" + std::to_string(n) + "\r\n" + lines, true);
}

void TQORService::tmDisconnectManager(TQORSVCNetQueueRecord& aRec, bool aByAddress) {
    const TQORSVCCtxRef ch{aRec.nqr_Context, aRec.nqr_GlobalKey};
    int32_t idx = -1;
    if (!aByAddress) {
        if (!SysManActive(aRec.nqr_DataI0)) return tmAnswerChannel(aRec, "-NOMANAGER\r\n");
        idx = aRec.nqr_DataI0;
    } else {
        // Port 0 matches any port: the console names a manager by its address only.
        for (int32_t i = 0; i < kQORManagerCount && idx < 0; ++i) {
            if (!SysManActive(i)) continue;
            const TQORSvcSysmanParams& p = p_Cfg.ManagerParams[size_t(i)];
            if (UnicodeToUtf8Str(p.ManagerAddress) != aRec.nqr_DataS1) continue;
            if (aRec.nqr_DataI0 != 0 && p.ManagerPort != aRec.nqr_DataI0) continue;
            idx = i;
        }
        if (idx < 0) {
            f_Poster.ServQueue_ChannelAnswerText(aRec.nqr_Context, aRec.nqr_GlobalKey,
                                                 "-NOTCONNECTED\r\n");
            return;
        }
    }
    // An ended thread never answers: the channel gets the answer here.
    if (f_tmSysManEnded[size_t(idx)]) return tmAnswerChannel(aRec, "-NOTCONNECTED\r\n");
    f_SysMans[size_t(idx)]->SysMan_DisconnectManager(ch, true);
}

void TQORService::tmChannelManagerSetting(TQORSVCNetQueueRecord& aRec) {
    TQORSVCManagerThread* m = SysManThread(aRec.nqr_DataI0);
    if (m == nullptr) return tmAnswerChannel(aRec, "-NOMANAGER\r\n");
    if (aRec.nqr_Cmd == C::snc_ChannelManagerLogLevel)
        m->ManagerQueue_ManagerLogLevel(aRec.nqr_DataI1);
    else
        m->ManagerQueue_ManagerAuthEnable(aRec.nqr_DataI1 != 0);
    tmAnswerChannel(aRec, "+OK\r\n");
}

void TQORService::tmManagerThreadStartStop(TQORSVCNetQueueRecord& aRec) {
    if (aRec.nqr_DataI1 != 0) {
        tmManagerCount.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    const int32_t i = aRec.nqr_DataI0;
    if (!SysManActive(i)) throw Exception("Stopped manager is not enabled");
    if (tmManagerCount.load(std::memory_order_acquire) <= 0)
        throw Exception("Negative manager count");
    f_tmSysManEnded[size_t(i)] = true;
    const int32_t left = tmManagerCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0 && StopStage() == fss_WaitStopWorkers && tmWorkerCount.load() == 0)
        tmNextStopStage();
}

bool TQORService::tmDispatchManagerRecord(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) {
    TQORSVCNetQueueRecord& r = *aRec;
    switch (r.nqr_Cmd) {
        case C::snc_ChannelManagersList: tmManagersList(r); return true;
        case C::snc_ChannelDisconnectManagerIdx: tmDisconnectManager(r, false); return true;
        case C::snc_ChannelDisconnectManagerAddrPort: tmDisconnectManager(r, true); return true;
        case C::snc_ChannelManagerLogLevel:
        case C::snc_ChannelManagerAuthEnableDisable: tmChannelManagerSetting(r); return true;
        case C::snc_ManagerThreadStartStop: tmManagerThreadStartStop(r); return true;
        case C::snc_ManagerConfirmEmail:
            for (int32_t i = 0; i < kQORManagerCount; ++i) {
                TQORSVCManagerThread* m = SysManThread(i);
                if (m == nullptr || !(r.nqr_DataI0 & (1 << i))) continue;
                if (!(m->ManagerAnsweredExtFlags() & 0x10)) continue;
                m->SysMan_ConfirmEmail(r.nqr_DataS1);
            }
            return true;
        case C::snc_ManagerOnOffLine:
            for (std::size_t n = f_Nets.size(); n-- > 0;) {
                auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                rec->nqr_Cmd = C::snc_ManagerOnOffLine;
                rec->nqr_ReceiverObj = f_Nets[n].get();
                rec->nqr_DataI0 = r.nqr_DataI0;
                rec->nqr_DataI1 = r.nqr_DataI1;
                tmHandToNetwork(f_Nets[n].get(), rec);
            }
            return true;
        case C::snc_ChannelServerManagerMode: {
            const int32_t cur = f_tmServManagerMode >= 0 ? f_tmServManagerMode
                                                         : int32_t(p_Cfg.cfg_ServManagerMode);
            if (r.nqr_DataI0 == cur) return true;
            f_tmServManagerMode = r.nqr_DataI0;
            for (std::size_t n = f_Nets.size(); n-- > 0;) {
                auto rec = std::make_unique<TQORSVCNetQueueRecord>();
                rec->nqr_Cmd = C::snc_ChannelServerManagerMode;
                rec->nqr_ReceiverObj = f_Nets[n].get();
                rec->nqr_DataI0 = r.nqr_DataI0;
                tmHandToNetwork(f_Nets[n].get(), rec);
            }
            return true;
        }
        default: return false;
    }
}

}  // namespace gax
