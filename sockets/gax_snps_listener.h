// The listener thread: owns every listening socket of the server, waits for connections on
// one waiter, accepts them and hands each accepted socket to its binding's handler.
// Threads: the listener thread alone opens, serves and closes the sockets and runs every
// event and handler. Other threads only call StartListen, StopListen and
// ListenerAbortThread (a flag and an interrupt). Bindings are added by the owner while the
// bindings are closed; f_BindingsLock guards the registered list against the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/gax_types.h"
#include "platform/plat_mutex.h"
#include "sockets/gax_snps_ipversions.h"
#include "sockets/gax_snps_tcpsock.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

// Takes over the accepted socket (it must keep or close it). Addresses are binary: 4 bytes
// for IPv4, 16 for IPv6, network order.
using TSynapseAcceptPeerEvent = std::function<void(
    TSocket socket, const std::string& remoteAddrBin, int remotePort,
    const std::string& localAddrBin, int localPort, const std::u16string& bindingName)>;

class TSynapseListenerThread;

// One listening address; owned by the listener from registration on.
class TSynapseBinding {
  public:
    TSynapseBinding(std::u16string name, std::u16string address, std::u16string port, bool ip6,
                    bool ip6Only, TSynapseAcceptPeerEvent onAcceptPeer);

    const std::u16string& BindingName() const { return f_BindingName; }
    const std::u16string& Address() const { return f_Address; }
    const std::u16string& Port() const { return f_Port; }
    bool IP6() const { return f_IP6; }
    bool IP6Only() const { return f_IP6Only; }
    const TSynapseAcceptPeerEvent& OnBindingAcceptPeer() const { return f_OnBindingAcceptPeer; }

    // Listener-thread state.
    std::unique_ptr<TTCPBlockSocket> ListenedSocket;
    PWaiter2Resource WaiterResource = nullptr;
    bool WaiterFlag = false;
    // The port the socket is bound to while it listens, 0 otherwise; any
    // thread may read it (port 0 in the binding asks the system for one).
    std::atomic<int> BoundPort{0};

  private:
    std::u16string f_BindingName;
    std::u16string f_Address;
    std::u16string f_Port;
    bool f_IP6;
    bool f_IP6Only;
    TSynapseAcceptPeerEvent f_OnBindingAcceptPeer;
};

using TSynapseInvalidPeerEvent = std::function<void()>;
using TSynapseBindingErrorEvent = std::function<void(
    TSynapseListenerThread* sender, TSynapseBinding* binding, const Exception& exception)>;
using TSynapseStartListeningBindingEvent =
    std::function<void(TSynapseListenerThread* sender, TSynapseBinding* binding)>;
using TSynapseStopListeningBindingEvent = TSynapseStartListeningBindingEvent;
using TSynapseListenerError =
    std::function<void(TSynapseListenerThread* sender, const std::u16string& text)>;
using TSynapseListenerExecuteStoppedEvent = std::function<void(TSynapseListenerThread* sender)>;
using TSynapseListenerStopListenAllEvent = TSynapseListenerExecuteStoppedEvent;
using TSynapseListenerStartListenAllEvent = TSynapseListenerExecuteStoppedEvent;
using TSynapseListenerInfoEvent =
    std::function<void(TSynapseListenerThread* sender, const std::u16string& info)>;

class TSynapseListenerThread {
  public:
    // The waiter holds this many listening sockets at most.
    static constexpr int kMaxBindings = 60;

    // Starts the thread; it waits for the first interrupt before it touches anything.
    explicit TSynapseListenerThread(int32_t listenerFlags);
    // Ends the thread if the owner has not, then frees every binding.
    virtual ~TSynapseListenerThread();
    TSynapseListenerThread(const TSynapseListenerThread&) = delete;
    TSynapseListenerThread& operator=(const TSynapseListenerThread&) = delete;

    // Raises "Already listening" while the bindings are open, and refuses a binding beyond
    // the waiter's capacity.
    void AddBinding1(std::unique_ptr<TSynapseBinding> binding);
    void AddBinding2(std::u16string_view name, std::u16string_view address,
                     std::u16string_view port, bool ip6, bool ip6Only,
                     TSynapseAcceptPeerEvent onAcceptPeer);
    void AddPortForAny(std::u16string_view name, std::u16string_view port,
                       TSynapseListenerIPVersions versions, TSynapseAcceptPeerEvent onAcceptPeer);
    void AddPortForLocalhost(std::u16string_view name, std::u16string_view port,
                             TSynapseListenerIPVersions versions,
                             TSynapseAcceptPeerEvent onAcceptPeer);

    void StartListen();
    void StopListen();
    void ListenerAbortThread();
    // ListenerAbortThread and wait until the thread has ended.
    void TerminateAndWait();

    bool ListenerThreadIsStarted() const { return f_ThreadIsStarted.load(); }
    bool ListenerThreadIsStopped() const { return f_ThreadIsStopped.load(); }
    bool IsListening() const { return f_Started.load(); }
    int32_t MaxWaitConnections() const { return f_MaxWaitConn.load(); }
    void SetMaxWaitConnections(int32_t v) { f_MaxWaitConn.store(v); }
    // The registered bindings, in registration order (owner thread, while closed).
    std::vector<TSynapseBinding*> RegisteredBindings();

    // Events, raised on the listener thread when assigned. Assign before StartListen.
    TSynapseInvalidPeerEvent OnInvalidPeer;
    TSynapseBindingErrorEvent OnBindingError;
    TSynapseStartListeningBindingEvent OnStartListeningBinding;
    TSynapseStopListeningBindingEvent OnStopListeningBinding;
    TSynapseListenerError OnError;
    TSynapseListenerExecuteStoppedEvent OnThreadExecuteStopped;
    TSynapseListenerStopListenAllEvent OnStopListenAll;
    TSynapseListenerStartListenAllEvent OnStartListenAll;
    TSynapseListenerInfoEvent OnListenerInfo;  // never raised by the listener itself
    bool NoStartStopEvents = false;

  protected:
    // One accept on the binding's socket: the accepted handle, or -1 with err set (0 or
    // 10035 when nothing is pending). Runs on the listener thread; a subclass that
    // overrides it ends the thread (TerminateAndWait) in its own destructor.
    virtual TSocket AcceptOne(TSynapseBinding& binding, int& err);

  private:
    void Execute();
    void OpenBindings(const std::vector<TSynapseBinding*>& which);
    bool OpenBinding(TSynapseBinding& binding);
    void CloseBindings();
    void AfterPassFailure();
    void Serve();
    void AcceptAll(TSynapseBinding& binding);
    void HandleAccepted(TSynapseBinding& binding, TSocket socket);
    // The peer address accept() reported for the socket AcceptOne returned
    // last (cleared before each accept): no second system call asks for it.
    TVarSin f_AcceptedPeer;
    bool f_AcceptedPeerValid = false;
    void RaiseError(const std::u16string& text);
    bool StartStopEvents() const;
    static void IterHandler(TWaiter2HandlerParams* params);

    std::atomic<bool> f_ThreadIsStarted{false};
    std::atomic<bool> f_ThreadIsStopped{false};
    std::atomic<bool> f_Started{false};
    std::atomic<bool> f_ToStart{false};
    std::atomic<bool> f_Terminated{false};
    // A StopListen whose OnStopListenAll is still owed.
    std::atomic<bool> f_StopPending{false};
    bool f_NeedRestart = false;
    plat::Mutex f_BindingsLock;
    std::vector<std::unique_ptr<TSynapseBinding>> f_RegisteredBindings
        GAX_GUARDED_BY(f_BindingsLock);
    std::vector<TSynapseBinding*> f_WorkBindings;
    // Bindings that could not be reopened after a restart; retried about once a second.
    std::vector<TSynapseBinding*> f_RetryBindings;
    bool f_Reopening = false;
    std::atomic<int32_t> f_MaxWaitConn{2147483647};
    std::unique_ptr<TWaiter2Socket> f_Waiter;
    int32_t f_ListenerFlags;
    // Back-off after an accept failed for lack of resources; 0 while accepting normally.
    int f_AcceptBackoffMs = 0;
    bool f_ResourceErrorReported = false;
    std::thread f_Thread;
};

}  // namespace gax
