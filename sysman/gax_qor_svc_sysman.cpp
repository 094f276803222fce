#include "sysman/gax_qor_svc_sysman.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_punycode.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_stringbld.h"
#include "protocol/gax_qor_connapply.h"
#include "protocol/gax_qor_connparams.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "protocol/gax_qor_fields.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

constexpr int kLineMax = 512;
constexpr TGaxTick32 kHandshakeTimeoutTicks = 15000;
constexpr TGaxTick32 kPingTicks = 3000;
constexpr TGaxTick32 kShortPauseTicks = 3000;
constexpr TGaxTick32 kUnansweredExtraTicks = 4500;
constexpr int kBatch = 128;
constexpr std::string_view kCRLF = "\r\n";
// What the log shows in place of a password.
constexpr std::string_view kMask = "*****";
// The resolver's failure, in the socket layer's numbering.
constexpr int kHostNotFound = 11001;

std::u16string Dec(int64_t v) {
    return IntToDecStrW(v);
}

std::string DecA(int64_t v) {
    return std::to_string(v);
}

std::string Tag(std::string_view name, std::string_view value) {
    std::string s;
    s.reserve(name.size() * 2 + value.size() + 5);
    s += '<';
    s += name;
    s += '>';
    s += value;
    s += "</";
    s += name;
    s += '>';
    return s;
}

std::u16string_view RefusalText(int32_t code) {
    switch (code) {
        case -1: return u"access denied (ip blocked)";
        case -2: return u"sysman busy";
        case -3: return u"no e-mail";
        case -4: return u"invalid e-mail and/or password";
        case -6: return u"server version is too old";
        case -7: return u"access denied";
        case -8: return u"server address is already accupied";
        case -9: return u"e-mail already used with other server";
        default: return u"Unknown";
    }
}

bool IsNumericHost(const std::string& aHost) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, aHost.c_str(), buf) == 1 ||
           ::inet_pton(AF_INET6, aHost.c_str(), buf) == 1;
}

std::string SystemResolve(const std::string& aHost, bool aPreferIPv4) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(aHost.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return {};
    std::string first;
    std::string v4;
    for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* a = nullptr;
        if (p->ai_family == AF_INET)
            a = &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
        else if (p->ai_family == AF_INET6)
            a = &reinterpret_cast<sockaddr_in6*>(p->ai_addr)->sin6_addr;
        if (a == nullptr || ::inet_ntop(p->ai_family, a, text, sizeof text) == nullptr) continue;
        if (first.empty()) first = text;
        if (p->ai_family == AF_INET && v4.empty()) v4 = text;
    }
    ::freeaddrinfo(res);
    return aPreferIPv4 && !v4.empty() ? v4 : first;
}

void OnWaiterEvent(TWaiter2HandlerParams* aParams) {
    *static_cast<uint8_t*>(aParams->w2hp_WaiterContext) |= aParams->w2hp_EventFlags;
}

}  // namespace

// ---- free helpers -----------------------------------------------------------------------

std::string BuildSysManNetsListZ(const std::vector<TQORSysManNetInfo>& aNets, int aIndex,
                                 int& aActiveCount) {
    std::string s = "ZN:";
    s += HexLenUIntToStr(uint32_t(aNets.size()));
    s += kCRLF;
    aActiveCount = 0;
    const uint32_t bit = 1u << aIndex;
    for (const TQORSysManNetInfo& n : aNets) {
        if (n.EffManagersMask & bit) {
            s += HexLenStr(n.NameA);
            s += HexLenStr(n.NameUTF8);
            ++aActiveCount;
        } else {
            s += "0000";
        }
        s += kCRLF;
    }
    return s;
}

std::string_view TransportBlockPart(std::string_view aBlock, int aPart) {
    if (aPart < 0 || aPart > 8 || aBlock.size() < 72) return {};
    auto le32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(aBlock[at + size_t(i)]);
        return v;
    };
    const uint32_t off = le32(size_t(aPart) * 8);
    const uint32_t len = le32(size_t(aPart) * 8 + 4);
    if (len == 0 || off > aBlock.size() || len > aBlock.size() - off) return {};
    return aBlock.substr(off, len);
}

TQORSysManAnswerParse ParseSysManHandshakeAnswer(std::string_view aLine, int32_t& aCode,
                                                 int32_t& aExtFlags, std::string& aBadFlags) {
    aCode = 0;
    aExtFlags = 0;
    std::string buf(aLine);
    std::array<TQORTagItemRec, 32> items{};
    TQORTagParseRec rec;
    rec.Items = items.data();
    rec.Data = buf.data();
    rec.DataLen = int32_t(buf.size());
    rec.Flags = QOR_TAGPARSE_CTRL_ERROR | QOR_TAGPARSE_NO_DUPLICATES;
    rec.Capacity = int32_t(items.size());
    const int n = ParseTagList(rec);
    const TQORTagItemRec* found = n >= 1 ? FindTag(rec, "AL") : nullptr;
    if (found == nullptr) return TQORSysManAnswerParse::Invalid;
    TQORTagItemRec al = *found;
    if (TrimTagValue(al) <= 0 || !TryParseIntBufA(al.ValuePtr, al.ValueLen, aCode)) {
        aCode = 0;
        return TQORSysManAnswerParse::Invalid;
    }
    if (aCode != 0) return TQORSysManAnswerParse::Ok;
    if (const TQORTagItemRec* mefp = FindTag(rec, "MEF")) {
        TQORTagItemRec mef = *mefp;
        if (TrimTagValue(mef) > 0 && !TryParseIntBufA(mef.ValuePtr, mef.ValueLen, aExtFlags)) {
            aExtFlags = 0;
            aBadFlags.assign(mef.Value());
            return TQORSysManAnswerParse::BadFlags;
        }
    }
    return TQORSysManAnswerParse::Ok;
}

TClientErrorType SysManVerdictOfLine(std::string_view aLine) {
    if (aLine == "BLOCK") return TClientErrorType::cet_BLOCK;
    if (aLine == "DUPL") return TClientErrorType::cet_DUPL;
    if (aLine == "ERROR") return TClientErrorType::cet_ERROR;
    if (aLine == "WRONG") return TClientErrorType::cet_WRONG;
    if (aLine.empty()) return TClientErrorType::cet_ERROR;
    for (char c : aLine)
        if (uint8_t(c) < 0x20) return TClientErrorType::cet_ERROR;
    return TClientErrorType::cet_OK;
}

// ---- name resolution ----------------------------------------------------------------------

// Shared by the manager thread and its resolver thread. The resolver thread
// holds one reference for as long as it runs, so a lookup that never returns
// keeps only this block alive, never the manager.
struct TQORSysManNameLookup::State {
    explicit State(TQORSysManResolver aResolver) : Resolver(std::move(aResolver)) {}

    const TQORSysManResolver Resolver;  // called by the resolver thread only
    plat::Mutex Lock;
    plat::CondVar Wake;                          // work asked, or abandoned
    std::string Host GAX_GUARDED_BY(Lock);       // the name of the asked lookup
    bool Asked GAX_GUARDED_BY(Lock) = false;     // a lookup is asked, not yet started
    bool Running GAX_GUARDED_BY(Lock) = false;   // a lookup runs
    bool Answered GAX_GUARDED_BY(Lock) = false;  // Answer is there and not yet taken
    std::string Answer GAX_GUARDED_BY(Lock);
    bool Abandoned GAX_GUARDED_BY(Lock) = false;
    // Null once abandoned. The interrupt is made under Lock so that Abandon
    // cannot return, and the manager free the waiter, in between; it is an
    // eventfd write that takes no lock and never blocks.
    TWaiter2Base* Waiter GAX_GUARDED_BY(Lock) = nullptr;
};

TQORSysManNameLookup::TQORSysManNameLookup(std::string aThreadName, TQORSysManResolver aResolver,
                                           TWaiter2Base& aWaiter)
    : f_ThreadName(std::move(aThreadName)),
      f_State(std::make_shared<State>(std::move(aResolver))) {
    plat::MutexLock g(f_State->Lock);
    f_State->Waiter = &aWaiter;
}

TQORSysManNameLookup::~TQORSysManNameLookup() {
    Abandon();
}

void TQORSysManNameLookup::Request(const std::string& aHost) {
    if (!f_State) return;
    if (!f_ThreadStarted) {
        plat::StartDetachedThread(f_ThreadName, [state = f_State] { RunLookups(*state); });
        f_ThreadStarted = true;
    }
    plat::MutexLock g(f_State->Lock);
    // A failure that came after its request was given up is not worth
    // keeping: the name is asked again. An address is used.
    if (f_State->Answered && f_State->Answer.empty()) f_State->Answered = false;
    if (f_State->Answered || f_State->Running || f_State->Asked) return;
    f_State->Host = aHost;
    f_State->Asked = true;
    f_State->Wake.Signal();
}

// The resolver thread's body: one lookup at a time until abandoned.
void TQORSysManNameLookup::RunLookups(State& aState) {
    State& s = aState;
    for (;;) {
        std::string host;
        {
            plat::MutexLock g(s.Lock);
            while (!s.Asked && !s.Abandoned) s.Wake.Wait(s.Lock);
            if (s.Abandoned) return;
            s.Asked = false;
            s.Running = true;
            host = s.Host;
        }
        std::string answer;
        try {
            answer = s.Resolver(host);
        } catch (...) {
            // A resolver that fails has found nothing.
        }
        plat::MutexLock g(s.Lock);
        s.Running = false;
        if (s.Abandoned) return;
        s.Answer = std::move(answer);
        s.Answered = true;
        if (s.Waiter != nullptr) s.Waiter->SetInterrupt();
    }
}

bool TQORSysManNameLookup::Take(std::string& aAddress) {
    if (!f_State) return false;
    plat::MutexLock g(f_State->Lock);
    if (!f_State->Answered) return false;
    f_State->Answered = false;
    aAddress = std::move(f_State->Answer);
    f_State->Answer.clear();
    return true;
}

void TQORSysManNameLookup::Abandon() {
    if (!f_State) return;
    {
        plat::MutexLock g(f_State->Lock);
        f_State->Abandoned = true;
        f_State->Waiter = nullptr;
        f_State->Wake.Signal();
    }
    f_State.reset();
}

// ---- construction ---------------------------------------------------------------------------

TQORSvcSysMan::TQORSvcSysMan(TQORSvcSysManHost& aHost, int aIndex,
                             const TQORSvcSysmanParams& aParams, TQORSysManResolver aResolver)
    : plat::Thread("QORSysMan" + std::to_string(aIndex)),
      e_Host(aHost),
      f_ManagerIndex(aIndex),
      f_Address(aParams.ManagerAddress),
      f_Port(aParams.ManagerPort),
      f_Work(aParams),
      f_Lookup("QORSysMan" + std::to_string(aIndex) + "Res",
               aResolver ? std::move(aResolver)
                         : [v4 = aParams.Conn.PreferIPv4](const std::string& h) {
                               return SystemResolve(h, v4);
                           },
               f_Waiter) {
    f_MsgPrefix = u"Manager[" + Dec(aIndex) + u"]: ";
    f_ManagerAddressUTF8 = UnicodeToUtf8Str(f_Address);
    f_ReadTimeoutTicks = std::max(f_Work.Conn.ReadTimeoutTicks, kSysManMinReadTimeoutTicks);
    if (f_Work.Conn.ReadTimeoutTicks < kSysManMinReadTimeoutTicks)
        e_Host.SysManLog(u"WARNING: " + f_MsgPrefix + u"ManagerActivityTimeout of " +
                         Dec(f_Work.Conn.ReadTimeoutTicks) + u" ms is below " +
                         Dec(kSysManMinReadTimeoutTicks) + u" ms: " +
                         Dec(kSysManMinReadTimeoutTicks) + u" ms used");
    f_Syna.SetRaiseExcept(false);
    // The socket's own waits (the reads of a proxy's answer) go through the
    // thread's waiter, so that an interrupt ends them.
    f_Syna.OnExtCanRead = [this](TBlockSocket*, uint32_t timeout, int& err) {
        return SocketWait(wf_Read, timeout, err);
    };
    f_Syna.OnExtCanConnect = [this](TBlockSocket*, uint32_t timeout, int& err) {
        return SocketWait(wf_Connect, timeout, err);
    };
    f_Syna.OnExtSocketCreated = [this](TBlockSocket*, TSocket socket) {
        if (f_WaiterResource != nullptr) f_Waiter.UnregisterResource(f_WaiterResource);
        f_WaiterResource = f_Waiter.RegisterResource(this, int(socket));
    };
    f_Coll.StringExceededLengthMode = ceslm_Result;
    if (!f_Work.ssmp_ManagerInvalidPasswordScript.empty())
        f_WorkInvalidPasswordScript =
            ResolvePathRelative(f_Work.ssmp_ManagerInvalidPasswordScript, GetProgramDirectory());
    if (!f_Work.ssmp_ManagerSuccessAuthScript.empty())
        f_WorkSuccessAuthScript =
            ResolvePathRelative(f_Work.ssmp_ManagerSuccessAuthScript, GetProgramDirectory());
    Start();
}

TQORSvcSysMan::~TQORSvcSysMan() {
    SysMan_AbortThread();
    Join();
    // Requests pushed while the thread was ending still get their answer.
    AnswerQueuedNone();
}

void TQORSvcSysMan::SetNetsListZ(std::string aBlock, int aActiveCount) {
    f_NetsListZ = std::move(aBlock);
    f_NetsListZActiveCount = aActiveCount;
}

void TQORSvcSysMan::SetNetworks(const std::vector<TQORSysManNetInfo>& aNets) {
    int active = 0;
    std::string block = BuildSysManNetsListZ(aNets, f_ManagerIndex, active);
    SetNetsListZ(std::move(block), active);
}

// ---- public operations (any thread) ----------------------------------------------------------

void TQORSvcSysMan::Push(std::unique_ptr<TQORSysManQueueData> aRec) {
    f_Queue.Push(std::move(aRec));
    f_Waiter.SetInterrupt();
}

namespace {
std::unique_ptr<TQORSysManQueueData> Cmd(TQORSysManQueueCommand aCmd) {
    auto r = std::make_unique<TQORSysManQueueData>();
    r->smqd_Command = aCmd;
    return r;
}
}  // namespace

void TQORSvcSysMan::SysMan_Start() {
    if (ManagerStatus() == smst_Disconnected) Push(Cmd(TQORSysManQueueCommand::smqc_Start));
}

void TQORSvcSysMan::SysMan_Stop() {
    if (ManagerStatus() != smst_Disconnected) Push(Cmd(TQORSysManQueueCommand::smqc_Stop));
}

void TQORSvcSysMan::SysMan_AbortThread() {
    Terminate();
    f_Waiter.SetInterrupt();
}

void TQORSvcSysMan::SysMan_MemoryReport(TQORGlobalKey aGeneration) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_MemoryReport);
    r->smqd_GlobalKey = aGeneration;
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_RegisterClient(TQORSVCCtxRef aClient, TQORSVCHandle aNetwork,
                                          int32_t aNetIndex, int32_t aFlags,
                                          std::string aTransportBlock, std::string aPeerAddress,
                                          std::string aClientId,
                                          const std::vector<std::u16string>* aUnicodeBlock,
                                          bool aUtf8) {
    if (ManagerStatus() != smst_Operational) {
        AnswerToNet_NONE(aClient, aNetwork);
        return;
    }
    auto r = Cmd(TQORSysManQueueCommand::smqc_ConnectClient);
    r->smqd_Context = aClient.Ctx;
    r->smqd_GlobalKey = aClient.Key;
    r->smqd_Network = aNetwork;
    r->smqd_NetIndex = aNetIndex;
    r->smqd_Int0 = aFlags;
    r->smqd_Str0 = std::move(aTransportBlock);
    r->smqd_Str2 = std::move(aPeerAddress);
    r->smqd_Str4 = std::move(aClientId);
    if (!f_WorkSuccessAuthScript.empty() && aUnicodeBlock != nullptr) {
        r->smqd_UnicodeBlock = *aUnicodeBlock;
        r->smqd_Bool1 = aUtf8;
    }
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_UnregisterClient(std::string aManagerClientId, std::string aClientId,
                                            TQORSVCHandle aNetwork, int32_t aNetIndex) {
    if (ManagerStatus() != smst_Operational) return;
    auto r = Cmd(TQORSysManQueueCommand::smqc_DisconnectClient);
    r->smqd_Str0 = std::move(aManagerClientId);
    r->smqd_Str2 = std::move(aClientId);
    r->smqd_Network = aNetwork;
    r->smqd_NetIndex = aNetIndex;
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_NetClientCountChanged(TQORSVCHandle aNetwork, int32_t aNetIndex,
                                                 int32_t aCount) {
    if (ManagerStatus() != smst_Operational) return;
    auto r = Cmd(TQORSysManQueueCommand::smqc_NetClientCountChanged);
    r->smqd_Network = aNetwork;
    r->smqd_NetIndex = aNetIndex;
    r->smqd_Int0 = aCount;
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_ConfirmEmail(std::string aTransportBlock) {
    if (ManagerStatus() != smst_Operational) return;
    auto r = Cmd(TQORSysManQueueCommand::smqc_ConfirmEmail);
    r->smqd_Str0 = std::move(aTransportBlock);
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_DisconnectManager(TQORSVCCtxRef aChannel, bool aDoAnswer) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_DisconnectManager);
    r->smqd_Context = aChannel.Ctx;
    r->smqd_GlobalKey = aChannel.Key;
    r->smqd_Int0 = aDoAnswer ? 1 : 0;
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_NewPassword(std::u16string aText) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_NewPassword);
    r->smqd_Uni0 = std::move(aText);
    Push(std::move(r));
}

void TQORSvcSysMan::SysMan_NewEmail(std::u16string aText) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_NewEmail);
    r->smqd_Uni0 = std::move(aText);
    Push(std::move(r));
}

void TQORSvcSysMan::ManagerQueue_ManagerLogLevel(int32_t aLevel) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_LogLevel);
    r->smqd_Int0 = aLevel;
    Push(std::move(r));
}

void TQORSvcSysMan::ManagerQueue_ManagerAuthEnable(bool aEnable) {
    auto r = Cmd(TQORSysManQueueCommand::smqc_AuthEnable);
    r->smqd_Int0 = aEnable ? 1 : 0;
    Push(std::move(r));
}

void TQORSvcSysMan::AnswerToNet_NONE(TQORSVCCtxRef aClient, TQORSVCHandle aNetwork) {
    TQORSysManQueueData req;
    req.smqd_Context = aClient.Ctx;
    req.smqd_GlobalKey = aClient.Key;
    req.smqd_Network = aNetwork;
    PostAnswer(req, TClientErrorType::cet_NONE, {});
}

// ---- reports --------------------------------------------------------------------------------

void TQORSvcSysMan::PostRecord(std::unique_ptr<TQORSVCNetQueueRecord> aRec) {
    e_Host.SysManPost(std::move(aRec));
}

void TQORSvcSysMan::PostAnswer(const TQORSysManQueueData& aReq, TClientErrorType aVerdict,
                               std::string aManagerId) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ManagerAnswer;
    rec->nqr_Context = aReq.smqd_Context;
    rec->nqr_ReceiverObj = aReq.smqd_Network;
    rec->nqr_GlobalKey = aReq.smqd_GlobalKey;
    rec->nqr_DataI0 = int32_t(aVerdict);
    rec->nqr_DataI1 = f_ManagerIndex;
    if (aVerdict == TClientErrorType::cet_OK) {
        rec->nqr_DataS2 = std::move(aManagerId);
        rec->nqr_Socket = uintptr_t(uint32_t(f_Work.ssmp_ManagerConfirmEmailToMask));
    }
    if (aVerdict == TClientErrorType::cet_OK || aVerdict == TClientErrorType::cet_DUPL)
        rec->nqr_DataI2 = aReq.smqd_Int0;
    PostRecord(std::move(rec));
}

void TQORSvcSysMan::PostChannelAnswer(const TQORSysManQueueData& aCmd, const char* aText) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ChannelCommandAnswer;
    rec->nqr_Context = aCmd.smqd_Context;
    rec->nqr_GlobalKey = aCmd.smqd_GlobalKey;
    rec->nqr_DataS1 = aText;
    rec->nqr_DataS1 += kCRLF;
    PostRecord(std::move(rec));
}

void TQORSvcSysMan::PostOnOffLine(bool aOn) {
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ManagerOnOffLine;
    rec->nqr_SenderObj = this;
    rec->nqr_DataI0 = f_ManagerIndex;
    rec->nqr_DataI1 = aOn ? 1 : 0;
    PostRecord(std::move(rec));
}

// ---- logging --------------------------------------------------------------------------------

void TQORSvcSysMan::Log(std::u16string_view aText) {
    std::u16string s;
    s.reserve(f_MsgPrefix.size() + aText.size());
    s += f_MsgPrefix;
    s += aText;
    e_Host.SysManLog(std::move(s));
}

void TQORSvcSysMan::LogError(std::u16string_view aText) {
    std::u16string s = u"ERROR: ";
    s += f_MsgPrefix;
    s += aText;
    e_Host.SysManLog(std::move(s));
}

void TQORSvcSysMan::Debug(int aAbove, std::u16string_view aText) {
    if (f_Work.ManagerLogDebug > aAbove) Log(aText);
}

// ---- thread body ----------------------------------------------------------------------------

void TQORSvcSysMan::Execute() {
    f_ThreadIsStarted.store(true);
    {
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = TQORServNetworkCommand::snc_ManagerThreadStartStop;
        rec->nqr_SenderObj = this;
        rec->nqr_DataI0 = f_ManagerIndex;
        rec->nqr_DataI1 = 1;
        PostRecord(std::move(rec));
    }
    try {
        if (!Terminated()) f_Waiter.WaitFor(WAITER_INFINITE);
        while (!Terminated()) {
            try {
                Pass();
            } catch (const Exception& e) {
                if (f_Work.ManagerLogErrors)
                    LogError(u"Main manager loop: " + std::u16string(e.ClassName()) + u": " +
                             e.Message());
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            } catch (const std::exception& e) {
                if (f_Work.ManagerLogErrors)
                    LogError(u"Main manager loop: std::exception: " + ByteStrToUnicode(e.what()));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    } catch (...) {
        // Only the first wait can get here; the end below is made all the same.
    }
    try {
        SetStatus(smst_Disconnected);
        CloseConnection();
        AnswerQueuedNone();
    } catch (...) {
    }
    f_Lookup.Abandon();
    f_ThreadIsStopped.store(true);
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_ManagerThreadStartStop;
    rec->nqr_SenderObj = this;
    rec->nqr_DataI0 = f_ManagerIndex;
    rec->nqr_DataI1 = 0;
    try {
        PostRecord(std::move(rec));
    } catch (...) {
    }
}

bool TQORSvcSysMan::InLinkStates() const {
    const TQORSvcSysmanStatus s = Status();
    return s >= smst_WaitHandshakeAnswer && s <= smst_Operational;
}

void TQORSvcSysMan::SetStatus(TQORSvcSysmanStatus aStatus) {
    f_Status.store(aStatus);
}

void TQORSvcSysMan::Pass() {
    f_LoopTick = GetTick32();
    if (f_Queue.Count() > 0) {
        HandleBatch();
        // A connect started by a command took its start tick after the one
        // above: measured from that, it would look 49 days old.
        f_LoopTick = GetTick32();
    }
    if (Terminated()) return;
    TGaxTick32 now = f_LoopTick;

    // time-outs
    switch (Status()) {
        case smst_Connecting:
            if (f_Resolving) {
                std::string result;
                if (f_Lookup.Take(result)) {
                    f_Resolving = false;
                    if (result.empty()) {
                        Error(u"Connect error: " +
                                  FormatSocketError(kHostNotFound, u"Host not found"),
                              true);
                        return;
                    }
                    StartSocketConnect(result);
                    return;
                }
                if (TickDiff32(f_ConnectStartTick, now) >= f_Work.Conn.ServerConnectTimeoutTicks) {
                    Error(u"Connection timed out");
                    return;
                }
            } else if (f_SocketConnecting) {
                if (f_Syna.ConnectAsyncCheckTimeForTick(now) == sar_Error) {
                    f_Syna.ConnectAsyncError(plat::kSockErrTimedOut);
                    f_SocketConnecting = false;
                    Error(u"Connection timed out");
                    return;
                }
            }
            break;
        case smst_WaitHandshakeAnswer:
        case smst_WaitHandshakeAck:
            if (f_Coll.IsTimeout(now) && f_Coll.DirtyLen() == 0) {
                Error(u"Handshake timed out");
                return;
            }
            break;
        case smst_Delay:
        case smst_Operational:
            if (f_Coll.IsTimeout(now) && f_Coll.DirtyLen() == 0) {
                Error(u"Manager timed out");
                return;
            }
            if (Status() == smst_Operational && !f_Req.empty() &&
                TickDiff32(f_Req.front()->smqd_Tick, now) >=
                    f_ReadTimeoutTicks + kUnansweredExtraTicks) {
                Error(u"Detected request without answer on time of timeout");
                return;
            }
            break;
        default:
            break;
    }

    if (InLinkStates()) {
        if (f_WR.NeedWrite() > 0 && !f_WR.NeedWaitForWrite() && !FlushOutput()) return;
        if (f_Coll.DirtyLen() > 0) ReadLines();
        if (Terminated()) return;
        if (f_Queue.Count() > 0) return;
        if (InLinkStates() && f_WR.NeedWrite() > 0 && !f_WR.NeedWaitForWrite()) return;
    }

    // the wait
    now = GetTick32();
    TGaxTick32 wait = WAITER_INFINITE;
    uint8_t flags = 0;
    bool socketWait = false;
    switch (Status()) {
        case smst_Disconnected:
            break;
        case smst_Pause:
        case smst_PauseShort: {
            const bool longPause = Status() == smst_Pause;
            const TGaxTick32 start = longPause ? f_PauseStart : f_PauseShortStart;
            const TGaxTick32 len = longPause ? f_ReconnTicks : kShortPauseTicks;
            const TGaxTick32 el = TickDiff32(start, now);
            if (el >= len) {
                f_LoopTick = now;
                Connect();
                return;
            }
            wait = len - el;
            break;
        }
        case smst_Connecting:
            if (f_Resolving) {
                const TGaxTick32 el = TickDiff32(f_ConnectStartTick, now);
                const TGaxTick32 lim = f_Work.Conn.ServerConnectTimeoutTicks;
                wait = el >= lim ? 0 : lim - el;
            } else if (f_SocketConnecting) {
                wait = f_Syna.ConnectAsyncWaitTicks();
                flags = wf_Connect;
                socketWait = true;
            }
            break;
        case smst_WaitHandshakeAnswer:
        case smst_WaitHandshakeAck:
            wait = f_Coll.RemainWaitFromTheTick(now);
            flags = f_Coll.WaitFlagsFor(f_WR.NeedWaitForWrite());
            socketWait = true;
            break;
        case smst_Delay:
        case smst_Operational: {
            if (Status() == smst_Delay) {
                const TGaxTick32 el = TickDiff32(f_DelayStartTick, now);
                if (el >= f_DelayTicks) {
                    EnterOperational();
                    return;
                }
                wait = f_DelayTicks - el;
            }
            wait = std::min(wait, f_Coll.RemainWaitFromTheTick(now));
            KeepAlive(wait);
            if (!InLinkStates()) return;
            if (Status() == smst_Operational && !f_Req.empty()) {
                const TGaxTick32 lim = f_ReadTimeoutTicks + kUnansweredExtraTicks;
                const TGaxTick32 el = TickDiff32(f_Req.front()->smqd_Tick, now);
                wait = std::min(wait, el >= lim ? 0 : lim - el);
            }
            flags = f_Coll.WaitFlagsFor(f_WR.NeedWaitForWrite());
            socketWait = true;
            break;
        }
    }
    if (wait != WAITER_INFINITE) wait = std::min(wait, WAITER_MAX_TIMEOUT);

    TWaiterResult r;
    f_Events = 0;
    if (socketWait && f_WaiterResource != nullptr) {
        f_Waiter.SetWaitMode(f_WaiterResource, flags);
        TWaiter2WaitParams p;
        p.w2wp_IterHandler = &OnWaiterEvent;
        p.w2wp_WaiterContext = &f_Events;
        p.w2wp_TimeoutTicks = wait;
        r = f_Waiter.WaitForHandler(p);
    } else {
        r = f_Waiter.WaitFor(wait);
    }
    f_LoopTick = GetTick32();
    if (r == wr_Error) {
        const int code = f_Waiter.LastWaitErrorCode();
        Error(FormatSocketError(code, SocketSysErrorText(code)), true);
        return;
    }
    if (r != wr_Descriptor) return;

    if (Status() == smst_Connecting && f_SocketConnecting) {
        if (f_Events & we_Connect) {
            const TSocketAsyncResult cr = f_Syna.ConnectAsyncProcessForNow();
            if (cr == sar_Wait) return;
            f_SocketConnecting = false;
            if (cr == sar_Ready) {
                f_Syna.ConnectAsyncEnd();
                OnConnected();
                return;
            }
            const int code = f_Syna.LastError();
            f_Syna.ConnectAsyncError(code);
            if (code == plat::kSockErrTimedOut)
                Error(u"Connection timed out");
            else
                Error(u"Connect error: " + FormatSocketError(code, SocketSysErrorText(code)),
                      true);
        } else if (f_Events & we_Read) {
            f_Syna.ConnectAsyncError(plat::kSockErrInvalidArg);
            f_SocketConnecting = false;
            Error(u"Connect error: " +
                      FormatSocketError(plat::kSockErrInvalidArg,
                                        SocketSysErrorText(plat::kSockErrInvalidArg)),
                  true);
        }
        return;
    }
    if (!InLinkStates()) return;
    if ((f_Events & we_Write) && f_WR.NeedWrite() > 0 && !FlushOutput()) return;
    if (f_Events & we_Read) {
        f_Coll.NoteReadable();
        ReadLines();
    }
}

// ---- commands -------------------------------------------------------------------------------

void TQORSvcSysMan::HandleBatch() {
    std::array<TQORSysManQueue::ItemPtr, kBatch> batch;
    const int32_t n = f_Queue.PullBatch(batch);
    for (int32_t i = 0; i < n; ++i) {
        try {
            HandleCommand(batch[size_t(i)]);
        } catch (...) {
            // A request whose handling failed still gets its answer; the rest of the
            // batch is answered the same way before the failure goes up.
            for (int32_t j = i; j < n; ++j)
                if (batch[size_t(j)] &&
                    batch[size_t(j)]->smqd_Command == TQORSysManQueueCommand::smqc_ConnectClient)
                    PostAnswer(*batch[size_t(j)], TClientErrorType::cet_NONE, {});
            throw;
        }
    }
}

void TQORSvcSysMan::HandleCommand(std::unique_ptr<TQORSysManQueueData>& aRec) {
    TQORSysManQueueData& r = *aRec;
    using C = TQORSysManQueueCommand;
    switch (r.smqd_Command) {
        case C::smqc_ConnectClient:
        case C::smqc_DisconnectClient:
        case C::smqc_ConfirmEmail:
        case C::smqc_NetClientCountChanged:
            HandleRequest(aRec);
            break;
        case C::smqc_Start:
            if (Status() == smst_Disconnected) Connect();
            break;
        case C::smqc_Stop:
            Disconnect();
            Pause();
            break;
        case C::smqc_MemoryReport:
            MemoryReport(r.smqd_GlobalKey);
            break;
        case C::smqc_DisconnectManager:
            Debug(1, u"Got command: disconnect manager");
            if (InLinkStates()) {
                Debug(2, u"Disconnected on disconnect command");
                if (r.smqd_Int0 != 0) PostChannelAnswer(r, "+OK");
                Disconnect();
                ShortPause(f_LoopTick);
            } else if (r.smqd_Int0 != 0) {
                PostChannelAnswer(r, "-NOTCONNECTED");
            }
            break;
        case C::smqc_NewPassword:
            HandleNewText(r, true);
            break;
        case C::smqc_NewEmail:
            HandleNewText(r, false);
            break;
        case C::smqc_LogLevel:
            f_Work.ManagerLogDebug = r.smqd_Int0;
            break;
        case C::smqc_AuthEnable:
            f_Work.ssmp_ManagerAuthEnabled = r.smqd_Int0 != 0;
            break;
    }
}

void TQORSvcSysMan::HandleRequest(std::unique_ptr<TQORSysManQueueData>& aRec) {
    TQORSysManQueueData& r = *aRec;
    const bool operational = Status() == smst_Operational;
    std::string line;
    switch (r.smqd_Command) {
        case TQORSysManQueueCommand::smqc_ConnectClient:
            if (!operational || !f_Work.ssmp_ManagerAuthEnabled || Terminated()) {
                PostAnswer(r, TClientErrorType::cet_NONE, {});
                return;
            }
            line = RegistrationLine(r);
            if (!PutLine(line)) {
                PostAnswer(r, TClientErrorType::cet_NONE, {});
                return;
            }
            r.smqd_Tick = f_LoopTick;
            f_Req.push_back(std::move(aRec));
            f_ReqCount.store(int32_t(f_Req.size()));
            break;
        case TQORSysManQueueCommand::smqc_DisconnectClient:
            if (!operational) return;
            if (f_AnsweredExtFlags & kSysManFlagMultiple) {
                line = "ZD:" + HexLenIntToStr(r.smqd_NetIndex) + HexLenStr(r.smqd_Str0);
            } else {
                line = "CD:" + Tag("ID", r.smqd_Str0);
            }
            line += kCRLF;
            PutLine(line);
            break;
        case TQORSysManQueueCommand::smqc_ConfirmEmail:
            if (!operational || !(f_AnsweredExtFlags & kSysManFlagConfirmEmail)) return;
            line = std::string(TransportBlockPart(r.smqd_Str0, 8));
            if (line.empty()) return;
            PutLine(line);
            break;
        case TQORSysManQueueCommand::smqc_NetClientCountChanged:
            if (!operational || !(f_AnsweredExtFlags & kSysManFlagMultiple)) return;
            line = "ZT:" + HexLenIntToStr(r.smqd_NetIndex) + HexLenIntToStr(r.smqd_Int0);
            line += kCRLF;
            PutLine(line);
            break;
        default:
            break;
    }
    if (!line.empty()) Debug(3, u"Put: " + EscapeCtrlBytesStr(line));
}

void TQORSvcSysMan::HandleNewText(const TQORSysManQueueData& aRec, bool aPassword) {
    std::u16string& cur = aPassword ? f_Work.ManagerAuthPassword : f_Work.ManagerAuthEMail;
    if (aRec.smqd_Uni0 != cur) {
        cur = aRec.smqd_Uni0;
        if (aPassword)
            Debug(1, u"Got new password: " + ByteStrToUnicode(kMask));
        else
            Debug(1, u"Got new email: " + cur);
        if (Status() == smst_Pause) {
            ShortPause(f_PauseStart);
        } else if (InLinkStates()) {
            Disconnect();
            Debug(2, aPassword ? u"Disconnect on new password" : u"Disconnect on new email");
            ShortPause(GetTick32());
        }
    } else if (Status() == smst_Pause) {
        ShortPause(f_PauseStart);
    }
}

void TQORSvcSysMan::MemoryReport(TQORGlobalKey aGeneration) {
    const std::string prefix = UnicodeToByteStr(f_MsgPrefix);
    const std::array<std::pair<const char*, int64_t>, 5> lines = {{
        {"f_Queue=", f_Queue.FifoMemoryUsage()},
        {"f_Req=", int64_t(f_Req.size() * sizeof(TQORSysManQueueData))},
        {"f_SBU=", 2 * 320},
        {"f_Waiter=", f_Waiter.GetMemoryUsage()},
        {"f_WR=", int64_t(f_WR.Total())},
    }};
    for (const auto& [name, bytes] : lines) {
        auto rec = std::make_unique<TQORSVCNetQueueRecord>();
        rec->nqr_Cmd = TQORServNetworkCommand::snc_MemoryReportAnswerLine;
        rec->nqr_GlobalKey = aGeneration;
        rec->nqr_DataS1 = prefix + name + DecA(bytes);
        PostRecord(std::move(rec));
    }
    auto rec = std::make_unique<TQORSVCNetQueueRecord>();
    rec->nqr_Cmd = TQORServNetworkCommand::snc_MemoryReportAnswerReadyEvent;
    // The service knows its manager threads by this interface.
    rec->nqr_SenderObj = static_cast<const TQORSVCManagerThread*>(this);
    rec->nqr_GlobalKey = aGeneration;
    rec->nqr_DataI0 = 0;
    PostRecord(std::move(rec));
}

bool TQORSvcSysMan::SocketWait(uint8_t aFlags, uint32_t aTimeout, int& aErr) {
    if (f_WaiterResource == nullptr) {
        aErr = plat::kSockErrInvalidArg;
        return false;
    }
    f_Waiter.SetWaitMode(f_WaiterResource, aFlags);
    TWaiter2WaitParams p;
    p.w2wp_TimeoutTicks = aTimeout == WAITER_INFINITE ? aTimeout : std::min(aTimeout, WAITER_MAX_TIMEOUT);
    switch (f_Waiter.WaitForHandler(p)) {
        case wr_Descriptor:
            aErr = 0;
            return true;
        case wr_Timeout:
            aErr = plat::kSockErrTimedOut;
            return false;
        case wr_Interrupt:
            aErr = plat::kSockErrInterrupted;
            return false;
        case wr_Error:
            aErr = f_Waiter.LastWaitErrorCode();
            return false;
    }
    aErr = plat::kSockErrInvalidArg;
    return false;
}

// ---- scripts --------------------------------------------------------------------------------

void TQORSvcSysMan::OnThreadException(const std::exception* aError) noexcept {
    try {
        const auto* own = dynamic_cast<const Exception*>(aError);
        LogError(u"Main manager loop: " +
                 (own ? std::u16string(own->ClassName()) + u": " + own->Message()
                      : aError ? ByteStrToUnicode(aError->what()) : std::u16string(u"unknown")));
    } catch (...) {
    }
}

// The runner starts nothing in this system; what it is given is logged.
// Argument aEscapedArg (none for -1) comes from the manager and is logged escaped;
// argument aMaskedArg is a password and never reaches the log.
void TQORSvcSysMan::RunScript(const std::u16string& aScript,
                              const std::vector<std::u16string>& aArgs, int aEscapedArg,
                              int aMaskedArg) {
    std::u16string error;
    const int32_t rc = RunExternalScript(error, aScript, aArgs);
    if (rc != 0) {
        LogError(u"EXEC: " + FormatScriptExecErrorText(aScript, error));
        return;
    }
    if (!e_Host.SysManLogExec()) return;
    TStringBldU b;
    AppendStr(b, aScript);
    for (size_t i = 0; i < aArgs.size(); ++i) {
        AppendSpace(b);
        if (int(i) == aMaskedArg)
            AppendScriptArgument(b, ByteStrToUnicode(kMask));
        else if (int(i) == aEscapedArg)
            AppendScriptArgument(b, EscapeCtrlBytesStr(UnicodeToByteStr(aArgs[i])));
        else
            AppendScriptArgument(b, aArgs[i]);
    }
    Log(u"EXEC: " + ToText(b));
}

void TQORSvcSysMan::RunInvalidPasswordScript() {
    if (f_WorkInvalidPasswordScript.empty()) return;
    RunScript(f_WorkInvalidPasswordScript,
              {Dec(f_ManagerIndex), f_Address, Dec(f_Port), f_Work.ManagerAuthEMail,
               f_Work.ManagerPresentServerAddr, f_Work.ManagerPresentServerPort,
               f_Work.ssmp_ConfigFileName, Dec(::getpid())},
              -1, -1);
}

void TQORSvcSysMan::RunSuccessAuthScript(const TQORSysManQueueData& aReq, std::string_view aAnswer) {
    if (f_WorkSuccessAuthScript.empty()) return;
    auto field = [&](size_t i) {
        return i < aReq.smqd_UnicodeBlock.size() ? aReq.smqd_UnicodeBlock[i] : std::u16string();
    };
    static constexpr size_t kUtf8[6] = {8, 12, 9, 10, 11, 14};
    static constexpr size_t kAnsi[6] = {0, 5, 2, 3, 4, 7};
    std::vector<std::u16string> args;
    for (size_t i : aReq.smqd_Bool1 ? kUtf8 : kAnsi) args.push_back(field(i));
    args.push_back(ByteStrToUnicode(aReq.smqd_Str2));
    args.push_back(ByteStrToUnicode(aAnswer));
    args.push_back(Dec(f_ManagerIndex));
    args.push_back(f_Address);
    args.push_back(Dec(f_Port));
    args.push_back(field(15));
    args.push_back(field(16));
    RunScript(f_WorkSuccessAuthScript, args, 7, 2);
}

// ---- connection -----------------------------------------------------------------------------

void TQORSvcSysMan::Connect() {
    AnswerPendingNone();
    f_ReconnTicks = TGaxTick32(std::max(f_Work.ManagerReconnectInterval, 0)) * 1000;
    CloseConnection();
    f_ConnectStartTick = GetTick32();
    Debug(1, u"Connecting to: " + FormatHostPort(f_Address, Dec(f_Port)));
    SetStatus(smst_Connecting);
    std::string host = f_ManagerAddressUTF8;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (IsNumericHost(host)) {
        StartSocketConnect(host);
        return;
    }
    // The system's resolver may block for as long as its DNS takes: it runs on
    // the manager's resolver thread, so that a stop never waits for it.
    std::string idn = IdnEncodeHostName(f_Address);
    if (idn.empty()) idn = host;
    try {
        f_Lookup.Request(idn);
    } catch (const std::exception& e) {
        Error(u"Connect error: " + ByteStrToUnicode(e.what()), true);
        return;
    }
    f_Resolving = true;
}

void TQORSvcSysMan::StartSocketConnect(const std::string& aNumericHost) {
    ApplyConnectionParams(f_Syna, f_Work.Conn);
    f_Syna.SetConnectionTimeout(int32_t(f_Work.Conn.ServerConnectTimeoutTicks));
    f_Syna.SetNonBlockMode(true);
    f_Syna.Reuse(true);
    f_Syna.SetTcpNoDelay(true);
    if (f_Work.ssmp_ManagerSendBufferSize > 0)
        f_Syna.SetSizeSendBuffer(f_Work.ssmp_ManagerSendBufferSize);
    f_Syna.ResetLastError();
    const TSocketAsyncResult r =
        f_Syna.ConnectAsyncStart(ByteStrToUnicode(aNumericHost), Dec(f_Port));
    if (f_Syna.Socket() != INVALID_SOCKET_HANDLE && f_WaiterResource == nullptr)
        f_WaiterResource = f_Waiter.RegisterResource(this, int(f_Syna.Socket()));
    if (r == sar_Ready) {
        OnConnected();
    } else if (r == sar_Wait) {
        f_SocketConnecting = true;
        f_LoopTick = GetTick32();
        SetStatus(smst_Connecting);
    } else {
        const int code = f_Syna.LastError();
        if (code == plat::kSockErrTimedOut)
            Error(u"Connection timed out");
        else
            Error(u"Connect error: " + FormatSocketError(code, SocketSysErrorText(code)), true);
    }
}

void TQORSvcSysMan::OnConnected() {
    Debug(3, u"Connect OK (" + Dec(TickDiff32(f_ConnectStartTick, GetTick32())) + u"ms)");
    const int fd = int(f_Syna.Socket());
    f_WR.Clear();
    f_WR.SetSocket(fd);
    f_Coll.Clear();
    f_Coll.SetSocket(fd);
    Handshake();
}

std::string TQORSvcSysMan::HandshakeLine(bool aMasked) const {
    std::string sn = IdnEncodeHostName(f_Work.ManagerPresentServerAddr);
    if (sn.empty()) sn = UnicodeToByteStr(f_Work.ManagerPresentServerAddr);
    std::string s = "SC:";
    s += Tag("VX", DecA(f_Work.ServerVersion));
    s += Tag("SN", sn);
    s += Tag("PT", UnicodeToByteStr(f_Work.ManagerPresentServerPort));
    s += Tag("OW", UnicodeToByteStr(f_Work.ManagerAuthEMail));
    s += Tag("PW", aMasked ? std::string(kMask) : UnicodeToByteStr(f_Work.ManagerAuthPassword));
    if (f_RequestedExtFlags != 0) {
        s += Tag("SEF", DecA(f_RequestedExtFlags));
        if (f_RequestedExtFlags & kSysManFlagMultiple) {
            std::string u8 = TypedFieldUTF8('0', f_Work.ManagerAuthEMail);
            u8 += aMasked ? std::string("1") + std::string(kMask)
                          : TypedFieldUTF8('1', f_Work.ManagerAuthPassword);
            s += Tag("U8TF", u8);
        }
    }
    s += kCRLF;
    return s;
}

void TQORSvcSysMan::Handshake() {
    f_RequestedExtFlags = (f_Work.ssmp_ManagerMultiple ? kSysManFlagMultiple : 0) +
                          (f_Work.ssmp_ManagerConfirmEmailEnabled ? kSysManFlagConfirmEmail : 0) +
                          (f_Work.ssmp_ManagerUnicodeClient ? kSysManFlagUTF8Clients : 0);
    if (!PutLine(HandshakeLine(false))) return;
    // The password never reaches the log.
    Debug(3, u"Handshake string: " + EscapeCtrlBytesStr(HandshakeLine(true)));
    if (!FlushOutput()) return;
    f_Coll.Timeout = kHandshakeTimeoutTicks;
    f_Coll.StartBufStringFromTick(kLineMax, f_LoopTick);
    SetStatus(smst_WaitHandshakeAnswer);
}

void TQORSvcSysMan::ReadLines() {
    while (InLinkStates()) {
        const TCollectorCheckResult r = f_Coll.CheckCollectorWithTick(GetTick32());
        switch (r) {
            case colr_Ready: {
                const std::string line(f_Coll.BufData());
                HandleLine(line);
                break;
            }
            case colr_NotReady:
                return;
            case colr_EOF:
                Error(u"Manager disconnected");
                return;
            case colr_Error:
                Error(u"Manager error: " + f_Coll.ErrorDesc());
                return;
            case colr_Timeout:
                Error(Status() == smst_WaitHandshakeAnswer || Status() == smst_WaitHandshakeAck
                          ? u"Handshake timed out"
                          : u"Manager timed out");
                return;
            case colr_ExceededStringLength: {
                const int len = f_Coll.DirtyLen();
                const char* p = f_Coll.Buffer() + f_Coll.DirtyStart();
                Error(u"Manager sent too long line: len=" + Dec(len) + u": " +
                      EscapeCtrlBytesBuf(p, std::min(len, 200)));
                return;
            }
        }
    }
}

void TQORSvcSysMan::HandleLine(std::string_view aLine) {
    switch (Status()) {
        case smst_WaitHandshakeAnswer:
            HandleHandshakeAnswer(aLine);
            break;
        case smst_WaitHandshakeAck:
            HandleAck(aLine);
            break;
        case smst_Delay:
        case smst_Operational:
            HandleOperationalLine(aLine);
            break;
        default:
            Error(u"Ready handler unimplemented status: " + Dec(Status()));
            break;
    }
}

void TQORSvcSysMan::HandleHandshakeAnswer(std::string_view aLine) {
    const TGaxTick32 now = GetTick32();
    f_LastManagerPing = now;
    const std::u16string esc = EscapeCtrlBytesStr(aLine);
    Debug(3, u"Got handshake answer (" + Dec(TickDiff32(f_Coll.WaitStartTick(), now)) +
                 u"ms): " + esc);
    int32_t code = 0;
    int32_t answered = 0;
    std::string badMef;
    switch (ParseSysManHandshakeAnswer(aLine, code, answered, badMef)) {
        case TQORSysManAnswerParse::Invalid:
            Error(u"Got invalid answer: " + esc);
            return;
        case TQORSysManAnswerParse::BadFlags:
            Error(u"manager answered with wrong extention flag: \"" + ByteStrToUnicode(badMef) +
                  u"\"");
            return;
        case TQORSysManAnswerParse::Ok:
            break;
    }
    if (code != 0) {
        if (code == -4) RunInvalidPasswordScript();
        std::u16string text(RefusalText(code));
        if (code == -5)
            text = u"no working QOR server at " +
                   FormatHostPort(f_Work.ManagerPresentServerAddr, f_Work.ManagerPresentServerPort);
        Error(u"Manager returned code [" + Dec(code) + u"]: " + text);
        return;
    }
    f_AnsweredExtFlags = answered;
    f_AnsweredExtFlagsHint.store(answered);
    f_WorkConfirmEmail = (answered & kSysManFlagConfirmEmail) != 0;
    if (answered & kSysManFlagMultiple) {
        if (!PutLine(f_NetsListZ)) return;
        Debug(3, u"Put networks list: " + Dec(f_NetsListZActiveCount));
    }
    if (!PutLine("P\r\n") || !FlushOutput()) return;
    f_Coll.Timeout = f_ReadTimeoutTicks;
    f_Coll.StartBufStringFromTick(kLineMax, now);
    SetStatus(smst_WaitHandshakeAck);
}

void TQORSvcSysMan::HandleAck(std::string_view aLine) {
    const TGaxTick32 now = GetTick32();
    if (aLine != "F") {
        Error(u"Got wrong ack: " + EscapeCtrlBytesStr(aLine));
        return;
    }
    Debug(3, u"Got ack (" + Dec(TickDiff32(f_Coll.WaitStartTick(), now)) + u"ms)");
    if (f_AnsweredExtFlags != 0 && f_Work.ManagerLogDebug > 3) {
        std::u16string names;
        auto add = [&](int32_t bit, std::u16string_view name) {
            if (!(f_AnsweredExtFlags & bit)) return;
            if (!names.empty()) names += u", ";
            names += name;
        };
        add(kSysManFlagMultiple, u"Multiple");
        add(kSysManFlagConfirmEmail, u"ConfirmEmail");
        add(kSysManFlagUTF8Clients, u"UTF8Clients");
        Log(u"Kelvoran Manager-Server extended flags: " + names);
    }
    f_Coll.Timeout = f_ReadTimeoutTicks;
    f_Coll.StartBufStringFromTick(kLineMax, now);
    if (f_Work.ManagerDelayAfterConnect <= 0) {
        EnterOperational();
        return;
    }
    f_DelayTicks = TGaxTick32(f_Work.ManagerDelayAfterConnect) * 1000;
    f_DelayStartTick = now;
    SetStatus(smst_Delay);
    Debug(1, u"Delaying for " + Dec(f_Work.ManagerDelayAfterConnect) + u" sec(s)");
}

void TQORSvcSysMan::EnterOperational() {
    SetStatus(smst_Operational);
    Debug(1, u"Operating");
    PostOnOffLine(true);
}

void TQORSvcSysMan::HandleOperationalLine(std::string_view aLine) {
    if (aLine == "F") {
        Debug(5, u"Got Pong - \"F\"");
    } else if (aLine == "OK") {
        Debug(5, u"Got \"OK\"");
    } else {
        Debug(3, u"Got: \"" + EscapeCtrlBytesStr(aLine) + u"\"");
        if (f_Req.empty()) {
            Error(u"Got extra answer without request");
            return;
        }
        std::unique_ptr<TQORSysManQueueData> req = std::move(f_Req.front());
        f_Req.pop_front();
        f_ReqCount.store(int32_t(f_Req.size()));
        const TClientErrorType v = SysManVerdictOfLine(aLine);
        PostAnswer(*req, v, v == TClientErrorType::cet_OK ? std::string(aLine) : std::string());
        if (v == TClientErrorType::cet_OK) RunSuccessAuthScript(*req, aLine);
    }
    f_Coll.Timeout = f_ReadTimeoutTicks;
    f_Coll.StartBufStringFromTick(kLineMax, GetTick32());
}

std::string TQORSvcSysMan::RegistrationLine(const TQORSysManQueueData& aReq) const {
    const std::string_view tb = aReq.smqd_Str0;
    const bool emptyDesc = f_Work.ssmp_ManagerEmptyDescription;
    const bool subst = f_Work.ManagerSubstituteSource;
    std::string s;
    if (!(f_AnsweredExtFlags & kSysManFlagMultiple)) {
        s += TransportBlockPart(tb, 0);
        s += emptyDesc ? std::string_view("<DS></DS>") : TransportBlockPart(tb, 1);
        s += subst ? std::string_view("<IP>127.0.0.1</IP>") : TransportBlockPart(tb, 2);
    } else {
        s += "ZC:";
        s += HexLenIntToStr(aReq.smqd_NetIndex);
        s += TransportBlockPart(tb, 3);
        s += emptyDesc ? std::string_view("00") : TransportBlockPart(tb, 6);
        s += subst ? std::string_view("09127.0.0.1") : TransportBlockPart(tb, 4);
        const std::string_view u8 = TransportBlockPart(tb, 5);
        if ((f_AnsweredExtFlags & kSysManFlagUTF8Clients) && !u8.empty()) {
            s += u8;
            s += emptyDesc ? std::string_view("00") : TransportBlockPart(tb, 7);
        }
    }
    s += kCRLF;
    return s;
}

bool TQORSvcSysMan::PutLine(std::string_view aBytes) {
    if (f_WR.PutStrA(aBytes)) return true;
    Error(u"Write error: output buffer full");
    return false;
}

bool TQORSvcSysMan::FlushOutput() {
    if (f_WR.Flush()) return true;
    Error(u"Write error: " + f_WR.ErrorDesc());
    return false;
}

void TQORSvcSysMan::KeepAlive(TGaxTick32& aWait) {
    const TGaxTick32 now = GetTick32();
    TGaxTick32 el = TickDiff32(f_LastManagerPing, now);
    if (el >= kPingTicks) {
        if (!PutLine("P\r\n")) return;
        Debug(5, u"Put: P");
        if (!FlushOutput()) return;
        f_LastManagerPing += el - el % kPingTicks;
        el %= kPingTicks;
    }
    aWait = std::min(aWait, kPingTicks - el);
}

void TQORSvcSysMan::Error(std::u16string_view aText, bool aAlwaysLog) {
    if (aAlwaysLog || f_Work.ManagerLogErrors) LogError(aText);
    Pause();
}

void TQORSvcSysMan::Pause() {
    const TQORSvcSysmanStatus was = Status();
    CloseConnection();
    SetStatus(smst_Pause);
    f_PauseStart = f_LoopTick;
    if (was == smst_Operational) PostOnOffLine(false);
    Debug(3, u"Pause for " + Dec(f_Work.ManagerReconnectInterval) + u" seconds");
}

void TQORSvcSysMan::ShortPause(TGaxTick32 aFrom) {
    f_PauseShortStart = aFrom;
    SetStatus(smst_PauseShort);
    Debug(1, u"Pause is shorted to at least " + Dec(kShortPauseTicks / 1000) + u" seconds");
}

void TQORSvcSysMan::Disconnect() {
    const TQORSvcSysmanStatus was = Status();
    SetStatus(smst_Disconnected);
    CloseConnection();
    if (was == smst_Operational) PostOnOffLine(false);
}

void TQORSvcSysMan::CloseConnection() {
    // A lookup that runs goes on: its answer serves the next attempt.
    f_Resolving = false;
    if (f_SocketConnecting) {
        f_Syna.ConnectAsyncEnd();
        f_SocketConnecting = false;
    }
    if (f_WaiterResource != nullptr) {
        f_Waiter.UnregisterResource(f_WaiterResource);
        f_WaiterResource = nullptr;
    }
    if (f_Syna.Socket() != INVALID_SOCKET_HANDLE) f_Syna.AbortSocket();
    f_WR.Clear();
    f_WR.SetSocket(-1);
    f_Coll.Clear();
    f_Coll.SetSocket(-1);
    AnswerPendingNone();
    f_RequestedExtFlags = 0;
    f_AnsweredExtFlags = 0;
    f_AnsweredExtFlagsHint.store(0);
    f_WorkConfirmEmail = false;
}

void TQORSvcSysMan::AnswerPendingNone() {
    while (!f_Req.empty()) {
        std::unique_ptr<TQORSysManQueueData> req = std::move(f_Req.front());
        f_Req.pop_front();
        PostAnswer(*req, TClientErrorType::cet_NONE, {});
    }
    f_ReqCount.store(0);
}

void TQORSvcSysMan::AnswerQueuedNone() {
    while (auto rec = f_Queue.Pull())
        if (rec->smqd_Command == TQORSysManQueueCommand::smqc_ConnectClient)
            PostAnswer(*rec, TClientErrorType::cet_NONE, {});
}

}  // namespace gax
