// The socket object of the system: one platform socket with its two addresses, a line
// buffer for blocking receives, options that may be set before the socket exists, status
// events, external wait hooks and a direct asynchronous connect. Failures are reported
// through LastError()/LastErrorDesc() (and raised only with RaiseExcept).
// A socket object belongs to the one thread that uses it; it takes no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_types.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {

// A socket failure raised when RaiseExcept is set.
class ESynapseError : public Exception {
  public:
    ESynapseError(std::u16string message, int errorCode, std::u16string errorMessage)
        : Exception(std::move(message)),
          ErrorCode(errorCode),
          ErrorMessage(std::move(errorMessage)) {}
    std::u16string_view ClassName() const noexcept override { return u"ESynapseError"; }
    int ErrorCode;
    std::u16string ErrorMessage;
};

enum TSocketFamily : uint8_t { SF_Any = 0, SF_IP4 = 1, SF_IP6 = 2 };
enum TSocketAsyncResult : uint8_t { sar_Ready = 0, sar_Error = 1, sar_Wait = 2 };
enum TSocketAsyncDirectStatus : uint8_t {
    sads_AsyncDirect_NO = 0,
    sads_AsyncDirect_Connecting = 1
};

enum THookSocketReason : uint8_t {
    HR_ResolvingBegin = 0,
    HR_ResolvingEnd = 1,
    HR_SocketCreate = 2,
    HR_SocketClose = 3,
    HR_Bind = 4,
    HR_Connect = 5,
    HR_CanRead = 6,
    HR_CanWrite = 7,
    HR_Listen = 8,
    HR_Accept = 9,
    HR_ReadCount = 10,
    HR_WriteCount = 11,
    HR_Wait = 12,
    HR_Error = 13
};

enum TSynaOptionType : uint8_t {
    SOT_Linger = 0,
    SOT_RecvBuff = 1,
    SOT_SendBuff = 2,
    SOT_NonBlock = 3,
    SOT_RecvTimeout = 4,
    SOT_SendTimeout = 5,
    SOT_NoDelay = 6,
    SOT_Reuse = 7,
    SOT_TTL = 8,
    SOT_Broadcast = 9,
    SOT_MulticastTTL = 10,
    SOT_MulticastLoop = 11,
    SOT_Ip6Only = 12,
    SOT_TOS = 13
};

struct TSynaOption {
    TSynaOptionType Option;
    bool Enabled;
    int32_t Value;
};

class TBlockSocket;

using THookSocketStatus =
    std::function<void(TBlockSocket* sender, THookSocketReason reason, std::u16string_view value)>;
// Waits for the socket in place of the platform's readiness wait; returns whether it became
// ready and sets err (0 when ready, 10004 when the owner's waiter was interrupted).
using THookExtWaitFor = std::function<bool(TBlockSocket* sender, uint32_t timeout, int& err)>;
using THookExtSocketCreated = std::function<void(TBlockSocket* sender, TSocket socket)>;
using THookExtSocketClosed = std::function<void(TBlockSocket* sender)>;
// May rewrite received data, never making it longer.
using THookDataFilter = std::function<void(TBlockSocket* sender, std::string& value)>;
using THookCreateSocket = std::function<void(TBlockSocket* sender)>;
using THookMonitor =
    std::function<void(TBlockSocket* sender, bool writing, const void* buffer, size_t len)>;
using THookHeartbeat = std::function<void(TBlockSocket* sender)>;

class TBlockSocket {
  public:
    TBlockSocket();
    virtual ~TBlockSocket();
    TBlockSocket(const TBlockSocket&) = delete;
    TBlockSocket& operator=(const TBlockSocket&) = delete;

    // ---- Life cycle ----
    virtual void AssignFamily(TSocketFamily family);
    // Adopts an existing handle (its addresses are read from the platform).
    virtual void AssignSocket(TSocket socket);
    virtual void SendStreamChunks(std::istream& stream, bool withSize, bool indy);
    void CreateSocket();
    void CreateSocketByName(std::u16string_view value);
    // Closes the socket (if any), drops unapplied options and resets the family.
    virtual void CloseSocket();
    virtual void AbortSocket();

    // ---- Options (queued until the socket exists, then applied in order) ----
    void SetLinger(bool enable, int32_t lingerMs);
    void SetRecvTimeout(int32_t ms);
    void SetSendTimeout(int32_t ms);
    void SetTimeout(int32_t ms);
    void Reuse(bool value);
    int32_t SizeRecvBuffer();
    void SetSizeRecvBuffer(int32_t size);
    int32_t SizeSendBuffer();
    void SetSizeSendBuffer(int32_t size);
    bool NonBlockMode() const { return FNonBlockMode; }
    void SetNonBlockMode(bool value);
    bool TcpNoDelay() const { return FTcpNoDelay; }
    void SetTcpNoDelay(bool value);
    int32_t TTL();
    void SetTTL(int32_t ttl);
    void SetIp6Only(bool value);
    void SetTOS(int32_t tos);

    // ---- Addresses ----
    void SetRemoteSin(std::u16string_view ip, std::u16string_view port);
    virtual std::u16string GetLocalSinIP();
    virtual std::u16string GetRemoteSinIP();
    virtual std::string GetRemoteSinIPA();
    virtual int GetLocalSinPort();
    virtual int GetRemoteSinPort();
    void GetSinLocal();
    void GetSinRemote();
    void GetSins();
    void ResolveNameToIPm(std::u16string_view name, std::vector<std::u16string>& list);
    std::u16string mResolveName(std::u16string_view name);
    int ResolvePort(std::u16string_view port);
    std::u16string ResolveIPToName(std::u16string_view ip);
    std::u16string LocalName();

    // ---- Connections ----
    void Bind(std::u16string_view ip, std::u16string_view port);
    virtual void Connect(std::u16string_view ip, std::u16string_view port);
    virtual void Listen(int backlog);
    virtual TSocket Accept();

    // The direct asynchronous connect; the owner waits with ConnectAsyncWaitFlags() for at
    // most ConnectAsyncWaitTicks() between the steps.
    virtual TSocketAsyncResult ConnectAsyncStart(std::u16string_view ip, std::u16string_view port);
    virtual TSocketAsyncResult ConnectAsyncProcessForNow();
    virtual TSocketAsyncResult ConnectAsyncProcessForTick(TGaxTick32 now);
    virtual TSocketAsyncResult ConnectAsyncCheckTimeForNow();
    virtual TSocketAsyncResult ConnectAsyncCheckTimeForTick(TGaxTick32 now);
    virtual void ConnectAsyncEnd();
    virtual void ConnectAsyncError(int code);

    // ---- Transfers ----
    virtual int SendBuffer(const void* buffer, int length);
    void SendByte(uint8_t data);
    void SendString(std::string_view data);
    void SendInteger(int32_t data);
    void SendBlock(std::string_view data);
    virtual int RecvBuffer(void* buffer, int length);
    int RecvBufferEx(void* buffer, int length, int timeout);
    std::string RecvBufferStr(int length, int timeout);
    uint8_t RecvByte(int timeout);
    int32_t RecvInteger(int timeout);
    std::string RecvPacket(int timeout);
    std::string RecvTerminated(int timeout, std::string_view terminator);
    std::string RecvString(int timeout);
    std::string RecvBlock(int timeout);
    // Streams go in SendMaxChunk pieces from their current position. The sized
    // forms put the remaining size first as 4 bytes, low byte first, or in
    // network order for the Indy forms; the raw receive takes packets until an
    // error (a time-out or the peer's close) ends it.
    void SendStreamRaw(std::istream& stream) { SendStreamChunks(stream, false, false); }
    void SendStream(std::istream& stream) { SendStreamChunks(stream, true, false); }
    void SendStreamIndy(std::istream& stream) { SendStreamChunks(stream, true, true); }
    void RecvStreamRaw(std::ostream& stream, int timeout);
    void RecvStream(std::ostream& stream, int timeout);
    void RecvStreamIndy(std::ostream& stream, int timeout);
    void RecvStreamSize(std::ostream& stream, int timeout, int32_t size);
    int PeekBuffer(void* buffer, int length);
    uint8_t PeekByte(int timeout);
    int SendBufferTo(const void* buffer, int length);
    int RecvBufferFrom(void* buffer, int length);
    void Purge();
    virtual int WaitingData();
    int WaitingDataEx();

    // ---- Waiting ----
    virtual bool CanReadOnce(int timeout);
    bool CanRead(int timeout);
    bool CanReadEx(int timeout);
    bool CanWrite(int timeout);
    bool CanConnect(int timeout);
    // One wait over every socket of the list; the readable ones go to canReadList.
    static bool GroupCanRead(const std::vector<TBlockSocket*>& list, int timeout,
                             std::vector<TBlockSocket*>& canReadList);

    // ---- Errors ----
    int SockCheck(long sockResult);
    void ExceptCheck();
    virtual std::u16string GetErrorDescEx();
    void ResetLastError();
    int LastError() const { return FLastError; }
    const std::u16string& LastErrorDesc() const { return FLastErrorDesc; }

    // ---- Properties ----
    TSocket Socket() const { return FSocket; }
    TSocketFamily Family() const { return FFamily; }
    bool IP6used() const { return FIP6used; }
    bool PreferIP4() const { return FPreferIP4; }
    void SetPreferIP4(bool v) { FPreferIP4 = v; }
    bool RaiseExcept() const { return FRaiseExcept; }
    void SetRaiseExcept(bool v) { FRaiseExcept = v; }
    const std::string& LineBuffer() const {
        DropConsumed();
        return FBuffer;
    }
    void SetLineBuffer(std::string v) {
        FBuffer = std::move(v);
        FBufferPos = 0;
    }
    int32_t MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int32_t v) { FMaxLineLength = v; }
    void SetMaxSendBandwidth(int32_t v) { FMaxSendBandwidth = v; }
    void SetMaxRecvBandwidth(int32_t v) { FMaxRecvBandwidth = v; }
    void SetMaxBandwidth(int32_t v) { FMaxSendBandwidth = FMaxRecvBandwidth = v; }
    bool ConvertLineEnd() const { return FConvertLineEnd; }
    void SetConvertLineEnd(bool v) { FConvertLineEnd = v; }
    bool InterPacketTimeout() const { return FInterPacketTimeout; }
    void SetInterPacketTimeout(bool v) { FInterPacketTimeout = v; }
    int32_t SendMaxChunk() const { return FSendMaxChunk; }
    void SetSendMaxChunk(int32_t v) { FSendMaxChunk = v > 0 ? v : 65536; }
    bool StopFlag() const { return FStopFlag; }
    void SetStopFlag(bool v) { FStopFlag = v; }
    int32_t NonblockSendTimeout() const { return FNonblockSendTimeout; }
    void SetNonblockSendTimeout(int32_t v) { FNonblockSendTimeout = v; }
    int32_t HeartbeatRate() const { return FHeartbeatRate; }
    void SetHeartbeatRate(int32_t v) { FHeartbeatRate = v; }
    int32_t ConnectionTimeout() const { return FConnectionTimeout; }
    void SetConnectionTimeout(int32_t v) { FConnectionTimeout = v; }
    int32_t RecvCounter() const { return FRecvCounter; }
    int32_t SendCounter() const { return FSendCounter; }
    int32_t Tag() const { return FTag; }
    void SetTag(int32_t v) { FTag = v; }
    void* Owner() const { return FOwner; }
    void SetOwner(void* v) { FOwner = v; }
    const TVarSin& LocalSin() const { return FLocalSin; }
    const TVarSin& RemoteSin() const { return FRemoteSin; }
    uint8_t ConnectAsyncWaitFlags() const { return f_ConnectAsyncWaitFlags; }
    TGaxTick32 ConnectAsyncWaitTicks() const { return f_AsyncConnectWaitTicks; }
    TSocketAsyncDirectStatus AsyncDirectStatus() const { return f_AsyncDirectStatus; }
    virtual int GetSocketType() { return plat::kSockStream; }
    virtual int GetSocketProtocol() { return plat::kIpProtoTcp; }

    // ---- Events ----
    THookSocketStatus OnStatus;
    THookExtWaitFor OnExtCanRead;
    THookExtWaitFor OnExtCanAccept;  // not raised by this layer
    THookExtWaitFor OnExtCanWrite;
    THookExtWaitFor OnExtCanConnect;
    THookExtSocketCreated OnExtSocketCreated;
    THookExtSocketClosed OnExtSocketClosed;  // not raised by this layer
    THookDataFilter OnReadFilter;
    THookCreateSocket OnCreateSocket;
    THookMonitor OnMonitor;
    THookHeartbeat OnHeartbeat;

  protected:
    void DoStatus(THookSocketReason reason, std::u16string_view value);
    void ResolveEndpoint(TVarSin& sin, std::u16string_view ip, std::u16string_view port);
    void CreatePlatformSocket(int family);
    void DelayedOption(const TSynaOption& option);
    void ProcessDelayedOptions();
    void SetOption(const TSynaOption& option);
    // The select-style wait on this socket alone; -1 waits without limit.
    bool WaitReady(bool forWrite, int timeout);
    // One wait through an external hook; the hook's error becomes the last error.
    bool ExtWait(const THookExtWaitFor& hook, int timeout);
    void ThrottleTransfer(bool send, int length);
    // Closes the handle and forgets it; what the subclasses add comes before this.
    void CloseHandleOnly();
    // The received bytes not yet handed out.
    std::string_view Buffered() const { return std::string_view(FBuffer).substr(FBufferPos); }
    void ClearLineBuffer() {
        FBuffer.clear();
        FBufferPos = 0;
    }
    void ConsumeBuffered(size_t n);
    void DropConsumed() const;
    // Makes the next packet part of the buffered bytes: the buffered rest when there is one
    // and `more` is not set, else one packet from the socket appended behind it.
    void FetchPacket(int timeout, bool more);
    // The wait for the next packet of one transfer: the whole time-out again
    // per packet, or what is left of it since `start`; false (and 10060) when
    // nothing is left.
    bool NextPacketWait(int timeout, TGaxTick32 start, int& wait);
    void ReceiveIntoLineBuffer(int timeout);
    std::string HostForPlatform(std::u16string_view ip);
    std::u16string JoinHostPort(std::u16string_view ip, std::u16string_view port);

    TVarSin FLocalSin;
    TVarSin FRemoteSin;
    int32_t FTag = 0;
    // Bytes before FBufferPos are already handed out: taking a line off the front moves the
    // position instead of the rest, so many lines from one packet cost only their own bytes.
    // Once everything is handed out both are reset; LineBuffer() drops the spent front.
    mutable std::string FBuffer;
    mutable size_t FBufferPos = 0;
    bool FRaiseExcept = true;
    bool FNonBlockMode = false;
    bool FTcpNoDelay = false;
    int32_t FMaxLineLength = 0;
    int32_t FMaxSendBandwidth = 0;
    int32_t FMaxRecvBandwidth = 0;
    TGaxTick32 FNextSend = 0;
    TGaxTick32 FNextRecv = 0;
    bool FConvertLineEnd = false;
    bool FLastCR = false;
    bool FLastLF = false;
    bool FBinded = false;
    TSocketFamily FFamily = SF_Any;
    TSocketFamily FFamilySave = SF_Any;
    bool FIP6used = false;
    bool FPreferIP4 = true;
    std::vector<TSynaOption> FDelayedOptions;
    bool FInterPacketTimeout = true;
    int32_t FRecvCounter = 0;
    int32_t FSendCounter = 0;
    int32_t FSendMaxChunk = 65536;
    bool FStopFlag = false;
    int32_t FNonblockSendTimeout = 15000;
    int32_t FHeartbeatRate = 0;
    int32_t FConnectionTimeout = 0;
    TSocket FSocket = INVALID_SOCKET_HANDLE;
    int32_t FLastError = 0;
    std::u16string FLastErrorDesc;
    void* FOwner = nullptr;
    uint8_t f_ConnectAsyncWaitFlags = 0;
    TGaxTick32 f_AsyncConnectStartTick = 0;
    TGaxTick32 f_AsyncConnectWaitTicks = 0;
    TSocketAsyncDirectStatus f_AsyncDirectStatus = sads_AsyncDirect_NO;
};

}  // namespace gax
