// The TCP socket the system creates: the listening sockets, the command-channel client and
// the manager connection. It reaches the peer directly, through a SOCKS proxy (4, 4a, 5) or
// through an HTTP proxy's CONNECT tunnel, closes gracefully, and carries a TLS slot whose
// only implementation reports that TLS is not available. Owned and used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "sockets/gax_snps_blcksock.h"

namespace gax {

enum TSocksType : uint8_t { ST_Socks5 = 0, ST_Socks4 = 1 };
enum TSocketProxyType : uint8_t { spt_NoProxy = 0, spt_HttpProxy = 1, spt_SocksProxy = 2 };
enum TSocketAsyncSocksStatus : uint8_t {
    sas_NoSocksAsync = 0,
    sas_SocksAsyncConnectingToTunnel = 1,
    sas_SocksAsyncOpenReceiving1 = 2,
    sas_SocksAsyncOpenReceiving2 = 3,
    sas_SocksAsyncWaitResponse = 4
};
enum TSocketAsyncHttpStatus : uint8_t {
    sahs_AsyncHttp_No = 0,
    sahs_AsyncHttp_ConnectingToTunnel = 1,
    sahs_AsyncHttp_ReceivingTunnelAnswer = 2
};

using THookSocketProxyStatus =
    std::function<void(TBlockSocket* sender, TSocketProxyType proxyType, THookSocketReason reason,
                       std::u16string_view value)>;
using THookHTTPTunnelConnectAnswer =
    std::function<void(TBlockSocket* sender, int answerCode, std::string_view answerText)>;
using THookAfterConnect = std::function<void(TBlockSocket* sender)>;

enum TSSLType : uint8_t { LT_all = 0 };

// The TLS settings and operations of a socket. Only TSSLNone exists: every operation
// reports that TLS is not available.
class TCustomSSL {
  public:
    explicit TCustomSSL(TBlockSocket* socket) : FSocket(socket) {}
    virtual ~TCustomSSL() = default;
    void Assign(const TCustomSSL& other);

    virtual std::u16string LibVersion() { return {}; }
    virtual std::u16string LibName() { return {}; }
    virtual bool Connect();
    virtual bool Accept();
    virtual bool Shutdown();
    virtual bool BiShutdown();
    virtual int SendBuffer(const void* buffer, int len);
    virtual int RecvBuffer(void* buffer, int len);
    virtual int WaitingData();
    virtual std::u16string GetSSLVersion() { return {}; }
    virtual std::u16string GetPeerSubject() { return {}; }
    virtual int GetPeerSerialNo() { return -1; }
    virtual std::u16string GetPeerIssuer() { return {}; }
    virtual std::u16string GetPeerName() { return {}; }
    virtual int GetPeerNameHash() { return 0; }
    virtual std::u16string GetPeerFingerprint() { return {}; }
    virtual std::u16string GetCertInfo() { return {}; }
    virtual std::u16string GetCipherName() { return {}; }
    virtual int GetCipherBits() { return 0; }
    virtual int GetCipherAlgBits() { return 0; }
    virtual int GetVerifyCert() { return 0; }

    bool SSLEnabled() const { return FSSLEnabled; }
    int LastError() const { return FLastError; }
    const std::u16string& LastErrorDesc() const { return FLastErrorDesc; }

    // Settings (kept and copied, never used without a TLS implementation).
    std::u16string FKeyPassword, FCiphers, FCertificateFile, FPrivateKeyFile, FPFXfile, FCertCAFile,
        FTrustCertificateFile, FUsername, FPassword, FSSHChannelType, FSSHChannelArg1,
        FSSHChannelArg2, FSNIHost;
    std::string FCertificate, FPrivateKey, FPFX, FCertCA, FTrustCertificate;
    TSSLType FSSLType = LT_all;
    bool FVerifyCert = false;
    int FCertComplianceLevel = -1;

  protected:
    void NotCompiled();
    TBlockSocket* FSocket;
    bool FSSLEnabled = false;
    int FLastError = 0;
    std::u16string FLastErrorDesc;
};

class TSSLNone final : public TCustomSSL {
  public:
    using TCustomSSL::TCustomSSL;
    std::u16string LibVersion() override { return u"Without SSL support"; }
    std::u16string LibName() override { return u"ssl_none"; }
};

// The SOCKS client between the block socket and the TCP socket.
class TSocksBlockSocket : public TBlockSocket {
  public:
    TSocksBlockSocket() = default;

    const std::u16string& SocksIP() const { return FSocksIP; }
    void SetSocksIP(std::u16string v) { FSocksIP = std::move(v); }
    const std::u16string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(std::u16string v) { FSocksPort = std::move(v); }
    const std::u16string& SocksUsername() const { return FSocksUsername; }
    void SetSocksUsername(std::u16string v) { FSocksUsername = std::move(v); }
    const std::u16string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(std::u16string v) { FSocksPassword = std::move(v); }
    int32_t SocksTimeout() const { return FSocksTimeout; }
    void SetSocksTimeout(int32_t v) { FSocksTimeout = v; }
    bool SocksResolver() const { return FSocksResolver; }
    void SetSocksResolver(bool v) { FSocksResolver = v; }
    TSocksType SocksType() const { return FSocksType; }
    void SetSocksType(TSocksType v) { FSocksType = v; }
    bool UsingSocks() const { return FUsingSocks; }
    int32_t SocksLastError() const { return FSocksLastError; }
    const std::u16string& SocksResponseIP() const { return FSocksResponseIP; }
    const std::u16string& SocksResponsePort() const { return FSocksResponsePort; }

    // The SOCKS5 greeting and authentication (nothing for SOCKS4).
    bool SocksOpen();
    // command: 1 connect, 2 bind.
    bool SocksRequest(uint8_t command, std::u16string_view ip, std::u16string_view port);
    bool SocksResponse();

  protected:
    // The target as the request carries it: resolved here unless the proxy resolves.
    std::u16string SocksTarget(std::u16string_view ip);

    std::u16string FSocksIP;
    std::u16string FSocksPort = u"1080";
    int32_t FSocksTimeout = 60000;
    std::u16string FSocksUsername;
    std::u16string FSocksPassword;
    bool FUsingSocks = false;
    bool FSocksResolver = true;
    int32_t FSocksLastError = 0;
    std::u16string FSocksResponseIP;
    std::u16string FSocksResponsePort;
    std::u16string FSocksLocalIP;
    std::u16string FSocksLocalPort;
    std::u16string FSocksRemoteIP;
    std::u16string FSocksRemotePort;
    bool FBypassFlag = false;
    TSocksType FSocksType = ST_Socks5;
};

class TTCPBlockSocket : public TSocksBlockSocket {
  public:
    TTCPBlockSocket();
    ~TTCPBlockSocket() override;

    void Connect(std::u16string_view ip, std::u16string_view port) override;
    void Listen(int backlog) override;
    TSocket Accept() override;
    // Shuts the sending side, drops what still arrives, then closes.
    void CloseSocket() override;

    std::u16string GetLocalSinIP() override;
    std::u16string GetRemoteSinIP() override;
    int GetLocalSinPort() override;
    int GetRemoteSinPort() override;
    int WaitingData() override;
    int SendBuffer(const void* buffer, int length) override;
    int RecvBuffer(void* buffer, int length) override;
    int GetSocketType() override { return plat::kSockStream; }
    int GetSocketProtocol() override { return plat::kIpProtoTcp; }
    std::u16string GetErrorDescEx() override;

    void SSLDoConnect();
    void SSLAcceptConnection();
    void SSLDoShutdown();
    TCustomSSL& SSL() { return *FSSL; }

    // The asynchronous connect on all three roads (the proxy roads in
    // gax_snps_tcpasync.cpp). Through a proxy the owner waits with
    // ConnectAsyncWaitFlags() (8: the TCP connect to the proxy, 1: its answer)
    // for at most ConnectAsyncWaitTicks(), calls ConnectAsyncProcessForNow on the
    // event and ConnectAsyncCheckTimeForTick on a time-out, and ends with
    // ConnectAsyncEnd or ConnectAsyncError, which give the owner back its status
    // event and connection time-out. REQUIRES: OnProxyStatus is assigned before a
    // proxy connect starts.
    TSocketAsyncResult ConnectAsyncStart(std::u16string_view ip, std::u16string_view port) override;
    TSocketAsyncResult ConnectAsyncProcessForNow() override;
    TSocketAsyncResult ConnectAsyncCheckTimeForNow() override;
    TSocketAsyncResult ConnectAsyncCheckTimeForTick(TGaxTick32 now) override;
    void ConnectAsyncEnd() override;
    void ConnectAsyncError(int code) override;
    TSocketAsyncSocksStatus AsyncSocksStatus() const { return f_AsyncSocksStatus; }
    TSocketAsyncHttpStatus AsyncHttpStatus() const { return f_AsyncHttpStatus; }

    const std::u16string& HTTPTunnelIP() const { return FHTTPTunnelIP; }
    void SetHTTPTunnelIP(std::u16string v) { FHTTPTunnelIP = std::move(v); }
    const std::u16string& HTTPTunnelPort() const { return FHTTPTunnelPort; }
    void SetHTTPTunnelPort(std::u16string v) { FHTTPTunnelPort = std::move(v); }
    const std::u16string& HTTPTunnelUser() const { return FHTTPTunnelUser; }
    void SetHTTPTunnelUser(std::u16string v) { FHTTPTunnelUser = std::move(v); }
    const std::u16string& HTTPTunnelPass() const { return FHTTPTunnelPass; }
    void SetHTTPTunnelPass(std::u16string v) { FHTTPTunnelPass = std::move(v); }
    int32_t HTTPTunnelTimeout() const { return FHTTPTunnelTimeout; }
    void SetHTTPTunnelTimeout(int32_t v) { FHTTPTunnelTimeout = v; }
    bool HTTPTunnel() const { return FHTTPTunnel; }
    TSocketProxyType ProxyRoad() const;

    THookAfterConnect OnAfterConnect;
    THookSocketProxyStatus OnProxyStatus;
    THookHTTPTunnelConnectAnswer OnHTTPTunnelConnectAnswer;

  protected:
    void SocksDoConnect(std::u16string_view ip, std::u16string_view port);
    void HTTPTunnelDoConnect(std::u16string_view ip, std::u16string_view port);
    // Reports the proxy connection's progress as proxy-status events while it is made.
    void ForwardProxyStatus(TSocketProxyType road, THookSocketReason reason,
                            std::u16string_view value, const THookSocketStatus& kept);
    // The steps of the asynchronous proxy roads.
    TSocketAsyncResult ProxyAsyncStart(TSocketProxyType road, std::u16string_view ip,
                                       std::u16string_view port);
    TSocketAsyncResult ProxyTunnelConnected(TGaxTick32 now, int32_t limit);
    TSocketAsyncResult SocksAsyncStep(TGaxTick32 now);
    TSocketAsyncResult SocksAsyncRequest(TGaxTick32 now);
    TSocketAsyncResult HttpAsyncStep(TGaxTick32 now);
    TSocketAsyncResult AsyncFail(int code);
    TSocketAsyncResult AsyncWaitRead(uint32_t ticks);
    void ProxyAsyncFinish();

    std::unique_ptr<TCustomSSL> FSSL;
    std::u16string FHTTPTunnelIP;
    std::u16string FHTTPTunnelPort;
    bool FHTTPTunnel = false;
    std::u16string FHTTPTunnelRemoteIP;
    std::u16string FHTTPTunnelRemotePort;
    std::u16string FHTTPTunnelUser;
    std::u16string FHTTPTunnelPass;
    int32_t FHTTPTunnelTimeout = 30000;
    std::u16string f_AsyncTargetIP;
    int32_t f_AsyncTargetPort = 0;
    THookSocketStatus f_AsyncPrevOnStatus;
    TSocketAsyncHttpStatus f_AsyncHttpStatus = sahs_AsyncHttp_No;
    TSocketAsyncSocksStatus f_AsyncSocksStatus = sas_NoSocksAsync;
    int32_t f_AsyncSavedConnectionTimeout = 0;
    TGaxTick32 f_AsyncProxyStartTick = 0;     // ConnectAsyncStart of a proxy road
    TGaxTick32 f_AsyncResponseStartTick = 0;  // the SOCKS request went out
    std::u16string f_AsyncHostPort;           // the HTTP tunnel's target as sent
};

}  // namespace gax
