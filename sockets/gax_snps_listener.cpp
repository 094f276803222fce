#include "sockets/gax_snps_listener.h"

#include <algorithm>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "sockets/gax_snps_utils.h"

namespace gax {

namespace {

constexpr TWaiterTick32 kServeWaitMs = 86390000;
constexpr TWaiterTick32 kRetryOpenMs = 1000;
constexpr int kFirstBackoffMs = 100;
constexpr int kMaxBackoffMs = 1000;
// Per-connection failures in a row before the wake-up gives way to the next wait.
constexpr int kMaxTransientInRow = 64;

void CloseAccepted(TSocket s) {
    SocketSetReuseAddr(s, true);
    SocketCloseHandle(s);
}

}  // namespace

TSynapseBinding::TSynapseBinding(std::u16string name, std::u16string address, std::u16string port,
                                 bool ip6, bool ip6Only, TSynapseAcceptPeerEvent onAcceptPeer)
    : f_BindingName(std::move(name)),
      f_Address(std::move(address)),
      f_Port(std::move(port)),
      f_IP6(ip6),
      f_IP6Only(ip6Only),
      f_OnBindingAcceptPeer(std::move(onAcceptPeer)) {}

TSynapseListenerThread::TSynapseListenerThread(int32_t listenerFlags)
    : f_Waiter(std::make_unique<TWaiter2Socket>(kMaxBindings)), f_ListenerFlags(listenerFlags) {
    f_Thread = std::thread([this] { Execute(); });
}

TSynapseListenerThread::~TSynapseListenerThread() {
    TerminateAndWait();
}

void TSynapseListenerThread::AddBinding1(std::unique_ptr<TSynapseBinding> binding) {
    plat::MutexLock l(f_BindingsLock);
    if (f_Started.load()) throw Exception("Already listening");
    if (f_RegisteredBindings.size() >= size_t(kMaxBindings))
        throw Exception("Too many bindings: a listener holds at most 60");
    f_RegisteredBindings.push_back(std::move(binding));
}

void TSynapseListenerThread::AddBinding2(std::u16string_view name, std::u16string_view address,
                                         std::u16string_view port, bool ip6, bool ip6Only,
                                         TSynapseAcceptPeerEvent onAcceptPeer) {
    AddBinding1(std::make_unique<TSynapseBinding>(std::u16string(name), std::u16string(address),
                                                  std::u16string(port), ip6, ip6Only,
                                                  std::move(onAcceptPeer)));
}

void TSynapseListenerThread::AddPortForAny(std::u16string_view name, std::u16string_view port,
                                           TSynapseListenerIPVersions versions,
                                           TSynapseAcceptPeerEvent onAcceptPeer) {
    if (versions == ipver_46 || versions == ipver_6)
        AddBinding2(name, u"::0", port, true, true, onAcceptPeer);
    if (versions == ipver_46 || versions == ipver_4)
        AddBinding2(name, u"0.0.0.0", port, false, false, onAcceptPeer);
}

void TSynapseListenerThread::AddPortForLocalhost(std::u16string_view name, std::u16string_view port,
                                                 TSynapseListenerIPVersions versions,
                                                 TSynapseAcceptPeerEvent onAcceptPeer) {
    if (versions == ipver_46 || versions == ipver_6)
        AddBinding2(name, u"::1", port, true, true, onAcceptPeer);
    if (versions == ipver_46 || versions == ipver_4)
        AddBinding2(name, u"127.0.0.1", port, false, false, onAcceptPeer);
}

std::vector<TSynapseBinding*> TSynapseListenerThread::RegisteredBindings() {
    plat::MutexLock l(f_BindingsLock);
    std::vector<TSynapseBinding*> r;
    for (auto& b : f_RegisteredBindings) r.push_back(b.get());
    return r;
}

void TSynapseListenerThread::StartListen() {
    f_StopPending.store(false);
    f_ToStart.store(true);
    f_Waiter->SetInterrupt();
}

void TSynapseListenerThread::StopListen() {
    f_StopPending.store(true);
    f_ToStart.store(false);
    f_Waiter->SetInterrupt();
}

void TSynapseListenerThread::ListenerAbortThread() {
    f_Terminated.store(true);
    f_Waiter->SetInterrupt();
}

void TSynapseListenerThread::TerminateAndWait() {
    ListenerAbortThread();
    if (f_Thread.joinable()) f_Thread.join();
}

bool TSynapseListenerThread::StartStopEvents() const {
    return (f_ListenerFlags & 1) != 0 && !NoStartStopEvents;
}

void TSynapseListenerThread::RaiseError(const std::u16string& text) {
    if (OnError) OnError(this, text);
}

void TSynapseListenerThread::IterHandler(TWaiter2HandlerParams* params) {
    auto* b = static_cast<TSynapseBinding*>(params->w2hp_Resource->wtr_Context);
    if (b) b->WaiterFlag = true;
}

void TSynapseListenerThread::Execute() {
    f_ThreadIsStarted.store(true);
    f_Waiter->WaitFor(WAITER_INFINITE);
    while (!f_Terminated.load()) {
        try {
            if (!f_Started.load()) {
                if (!f_ToStart.load()) {
                    // Retries serve a listening that is still wanted; a later start is a
                    // fresh one, whose failed bindings stay closed.
                    f_Reopening = false;
                    f_RetryBindings.clear();
                    // A stop asked for while nothing was open is still answered, so that
                    // whoever waits for the listener to close is not left waiting.
                    if (f_StopPending.exchange(false) && OnStopListenAll) OnStopListenAll(this);
                    f_Waiter->WaitFor(WAITER_INFINITE);
                    continue;
                }
                OpenBindings(RegisteredBindings());
                if (f_WorkBindings.empty()) {
                    if (f_Reopening) {
                        // Listening is still wanted: try again shortly, never give up silently.
                        f_Waiter->WaitFor(kRetryOpenMs);
                    } else {
                        f_ToStart.store(false);
                    }
                    continue;
                }
                f_Started.store(true);
                if (OnStartListenAll) OnStartListenAll(this);
            }
            while (f_ToStart.load() && !f_Terminated.load()) Serve();
            CloseBindings();
            f_Started.store(false);
            if (f_NeedRestart && !f_StopPending.load() && !f_Terminated.load()) {
                f_NeedRestart = false;
                f_Reopening = true;
                f_ToStart.store(true);
            } else {
                f_NeedRestart = false;
                f_Reopening = false;
                f_RetryBindings.clear();
                f_StopPending.store(false);
                if (OnStopListenAll) OnStopListenAll(this);
            }
        } catch (const Exception& e) {
            RaiseError(ErrorText(e.Message()));
            AfterPassFailure();
        } catch (const std::exception& e) {
            RaiseError(ErrorText(ByteStrToUnicode(e.what())));
            AfterPassFailure();
        }
    }
    if (f_Started.load()) {
        CloseBindings();
        f_Started.store(false);
        f_StopPending.store(false);
        if (OnStopListenAll) OnStopListenAll(this);
    } else if (f_StopPending.exchange(false) && OnStopListenAll) {
        OnStopListenAll(this);
    }
    f_ThreadIsStopped.store(true);
    if (OnThreadExecuteStopped) OnThreadExecuteStopped(this);
}

// Whatever is open after a failed pass is closed and reopened by the next one; with
// nothing open the listener waits for the next StartListen.
void TSynapseListenerThread::AfterPassFailure() {
    if (!f_WorkBindings.empty()) f_Started.store(true);
    f_NeedRestart = f_Started.load();
    f_ToStart.store(false);
}

void TSynapseListenerThread::OpenBindings(const std::vector<TSynapseBinding*>& which) {
    std::vector<TSynapseBinding*> failed;
    for (TSynapseBinding* b : which) {
        if (b->ListenedSocket) continue;
        if (!OpenBinding(*b)) failed.push_back(b);
    }
    f_RetryBindings = f_Reopening ? failed : std::vector<TSynapseBinding*>{};
}

bool TSynapseListenerThread::OpenBinding(TSynapseBinding& b) {
    auto sock = std::make_unique<TTCPBlockSocket>();
    sock->SetRaiseExcept(false);
    auto check = [&sock](const char16_t* step) {
        int code = sock->LastError();
        if (code != 0) throw Exception(std::u16string(step) + u": " + FormatSocketSysError(code));
    };
    try {
        if (b.IP6() && b.IP6Only()) sock->SetIp6Only(true);
        sock->SetNonBlockMode(true);
        check(u"Setting nonblocking mode");
        sock->Reuse(true);
        check(u"Reuse");
        sock->Bind(b.Address(), b.Port());
        check(u"Bind");
        sock->SetLinger(false, 0);
        check(u"Linger");
        sock->Reuse(true);
        check(u"Reuse");
        sock->Listen(f_MaxWaitConn.load());
        check(u"Listen");
        PWaiter2Resource res = f_Waiter->RegisterResource(&b, sock->Socket());
        f_Waiter->SetWaitMode(res, wf_Accept);
        b.WaiterResource = res;
        b.WaiterFlag = false;
        b.BoundPort.store(sock->GetLocalSinPort());
        b.ListenedSocket = std::move(sock);
        f_WorkBindings.push_back(&b);
    } catch (const Exception& e) {
        sock.reset();
        if (OnBindingError) OnBindingError(this, &b, e);
        return false;
    }
    if (StartStopEvents() && OnStartListeningBinding) OnStartListeningBinding(this, &b);
    return true;
}

void TSynapseListenerThread::CloseBindings() {
    while (!f_WorkBindings.empty()) {
        TSynapseBinding* b = f_WorkBindings.front();
        f_WorkBindings.erase(f_WorkBindings.begin());
        if (b->WaiterResource) {
            f_Waiter->UnregisterResource(b->WaiterResource);
            b->WaiterResource = nullptr;
        }
        b->BoundPort.store(0);
        b->ListenedSocket.reset();
        b->WaiterFlag = false;
        if (StartStopEvents() && OnStopListeningBinding) OnStopListeningBinding(this, b);
    }
}

void TSynapseListenerThread::Serve() {
    TWaiter2WaitParams params;
    params.w2wp_IterHandler = &IterHandler;
    params.w2wp_WaiterContext = this;
    params.w2wp_PassTotal = 1;

    if (f_AcceptBackoffMs > 0) {
        // Out of descriptors or memory: the pending connection stays readable, so waiting
        // on it would return at once. Watch only the interrupt for the pause.
        for (TSynapseBinding* b : f_WorkBindings) b->WaiterResource->wtr_BadMarker = 1;
        params.w2wp_TimeoutTicks = TWaiterTick32(f_AcceptBackoffMs);
        TWaiterResult r = f_Waiter->WaitForHandler(params);
        for (TSynapseBinding* b : f_WorkBindings) b->WaiterResource->wtr_BadMarker = 0;
        if (r != wr_Timeout) return;
        std::vector<TSynapseBinding*> work = f_WorkBindings;
        for (TSynapseBinding* b : work) {
            if (!f_ToStart.load() || f_Terminated.load() || f_AcceptBackoffMs == 0) break;
            AcceptAll(*b);
        }
        return;
    }

    params.w2wp_TimeoutTicks = f_RetryBindings.empty() ? kServeWaitMs : kRetryOpenMs;
    TWaiterResult r = f_Waiter->WaitForHandler(params);
    if (!f_RetryBindings.empty() && f_ToStart.load() && !f_Terminated.load())
        OpenBindings(f_RetryBindings);
    switch (r) {
        case wr_Timeout:
        case wr_Interrupt:
            return;
        case wr_Error:
            f_ToStart.store(false);
            f_NeedRestart = true;
            return;
        case wr_Descriptor:
            break;
    }
    std::vector<TSynapseBinding*> work = f_WorkBindings;
    for (TSynapseBinding* b : work) {
        if (!b->WaiterFlag) continue;
        b->WaiterFlag = false;
        AcceptAll(*b);
        if (!f_ToStart.load() || f_Terminated.load()) break;
    }
}

TSocket TSynapseListenerThread::AcceptOne(TSynapseBinding& binding, int& err) {
    TSocket s = binding.ListenedSocket->Accept();
    err = binding.ListenedSocket->LastError();
    if (s != INVALID_SOCKET_HANDLE) {
        f_AcceptedPeer = binding.ListenedSocket->RemoteSin();
        f_AcceptedPeerValid = true;
    }
    return s;
}

void TSynapseListenerThread::AcceptAll(TSynapseBinding& b) {
    int transientInRow = 0;
    while (f_ToStart.load() && !f_Terminated.load()) {
        int err = 0;
        f_AcceptedPeerValid = false;
        TSocket s = AcceptOne(b, err);
        if (s == INVALID_SOCKET_HANDLE) {
            if (err == 0 || err == plat::kSockErrWouldBlock) return;
            if (err == plat::kSockErrConnAborted) {
                RaiseError(u"accept: got already closed connection: " + FormatSocketSysError(err));
            } else if (plat::SockAcceptErrorIsTransient(err)) {
                RaiseError(u"accept: " + FormatSocketSysError(err));
            } else if (plat::SockAcceptErrorIsResource(err)) {
                // Reported once per shortage; the bindings stay open and accepting pauses.
                if (!f_ResourceErrorReported) RaiseError(u"accept: " + FormatSocketSysError(err));
                f_ResourceErrorReported = true;
                f_AcceptBackoffMs = f_AcceptBackoffMs == 0
                                        ? kFirstBackoffMs
                                        : std::min(f_AcceptBackoffMs * 2, kMaxBackoffMs);
                return;
            } else {
                RaiseError(u"accept: " + FormatSocketSysError(err));
                f_ToStart.store(false);
                f_NeedRestart = true;
                return;
            }
            if (++transientInRow >= kMaxTransientInRow) return;
            continue;
        }
        transientInRow = 0;
        f_AcceptBackoffMs = 0;
        f_ResourceErrorReported = false;
        HandleAccepted(b, s);
    }
}

void TSynapseListenerThread::HandleAccepted(TSynapseBinding& b, TSocket s) {
    // accept() already told the peer; it is asked again only of a socket a
    // subclass's AcceptOne got some other way.
    TVarSin peer;
    if (f_AcceptedPeerValid) {
        peer = f_AcceptedPeer;
    } else if (SockGetPeerName(s, peer) != 0) {
        int e = plat::SockLastError();
        CloseAccepted(s);
        RaiseError(u"getpeername: " + FormatSocketSysError(e));
        return;
    }
    std::string remote = SinToAddrBin(peer, false);
    int remotePort = SockAddrPort(peer);
    if (remotePort <= 0 || remote.empty()) {
        CloseAccepted(s);
        if (OnInvalidPeer) OnInvalidPeer();
        return;
    }
    TVarSin local;
    if (SockGetLocalName(s, local) != 0) {
        int e = plat::SockLastError();
        CloseAccepted(s);
        RaiseError(u"getsockname: " + FormatSocketSysError(e));
        return;
    }
    std::string localBin = SinToAddrBin(local, false);
    int localPort = SockAddrPort(local);
    if (b.OnBindingAcceptPeer()) {
        b.OnBindingAcceptPeer()(s, remote, remotePort, localBin, localPort, b.BindingName());
    } else {
        CloseAccepted(s);
    }
}

}  // namespace gax
