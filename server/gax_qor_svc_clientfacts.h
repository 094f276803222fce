// What a client session needs to know about the server and about the network
// it joins, seen from the session: the service's defaults and networks for the
// connect-string reader (worker thread), and one network's lists and options
// for the admission decision (heartbeat thread). The session reads the server
// only through these two interfaces, so the service and the networks stay free
// to keep their data as they like, and the session can be driven by a small
// stand-in in tests.
//
// Threads: the connect-string reader calls the service's Default*/Network*
// getters on a worker thread; the implementation must give
// values that do not change while clients connect (set before the listener
// starts) or read them atomically; so are a network's names and converter,
// which the reader matches the wished network against. Every other
// TQORSVCClientNetwork call and the service's owner and manager calls run on
// the heartbeat thread: they require its role.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_roles.h"

namespace gax {

class FastStringA;
class TAnsiUnicodeConverter;
class TQORSVCContext;

// Access and talk permission a network's rights list gives a client.
struct TQORSVCClientRights {
    bool Access = true;
    bool Talk = true;
    bool Differs = false;  // the stored entry holds other texts than the client sent
};

// One network as a session sees it.
class TQORSVCClientNetwork {
  public:
    virtual ~TQORSVCClientNetwork() = default;

    // The network's name in the network's 8-bit character set, in UTF-8 and in UTF-16.
    virtual std::string_view NetNameA() const = 0;
    virtual std::string_view NetNameUTF8() const = 0;
    virtual std::u16string_view NetNameU() const = 0;
    // The converter of the network's character set; null leaves the byte-widened texts.
    virtual const TAnsiUnicodeConverter* NetConverter() const = 0;

    // List look-ups of the admission decision. aDiffers is set when the stored
    // entry that matched holds other texts than the client sent.
    virtual bool IsNetOwnerByHash(std::string_view aClientId) const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool NetFindAdmin(const TQORSVCContext& aCtx, bool& aDiffers) const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool IsBlockedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const GAX_REQUIRES(kHeartbeat) = 0;
    virtual TQORSVCClientRights GetRights(const TQORSVCContext& aCtx) const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool IsMutedOnNetwork(const TQORSVCContext& aCtx, bool& aDiffers) const GAX_REQUIRES(kHeartbeat) = 0;

    // Options.
    virtual bool OptShortFrames() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool OptTempMuteBlock() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool OptAdminMoveClient() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool OptParrotMuteEnable() const GAX_REQUIRES(kHeartbeat) = 0;
    // AlwaysAllowServerOwner / NetworkOwner / Admin for those privileges; false for a user.
    virtual bool AllowByPrivilege(TQORClientPrivilege aPriv) const GAX_REQUIRES(kHeartbeat) = 0;

    // The effective manager mode and mask (bit i = manager i).
    virtual TQORSystemManagerMode EffManagerMode() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual uint32_t EffManagerMask() const GAX_REQUIRES(kHeartbeat) = 0;
};

// The service as a session sees it.
class TQORSVCClientService {
  public:
    virtual ~TQORSVCClientService() = default;

    // The default country; empty forms when the server has none.
    virtual bool HasDefaultCountry() const = 0;
    virtual std::string_view DefaultCountryA() const = 0;
    virtual std::string_view DefaultCountryUTF8() const = 0;
    virtual std::u16string_view DefaultCountryU() const = 0;

    // The networks in index order, and the default network (or null).
    virtual int32_t NetworkCount() const = 0;
    virtual TQORSVCClientNetwork* NetworkAt(int32_t aIndex) const = 0;
    virtual TQORSVCClientNetwork* DefaultNetwork() const = 0;

    // The client id of the server owner's e-mail, and whether the owner's
    // stored texts differ from what this client sent.
    virtual std::string_view ServOwnerId() const = 0;
    virtual bool ServOwnerInfoDiffers(const TQORSVCContext& aCtx) const GAX_REQUIRES(kHeartbeat) = 0;

    // Seconds the heartbeat has run; the answers tell it to the client.
    virtual uint32_t ServerUptimeSec() const { return 0; }

    // Manager threads.
    virtual bool ServiceEnabled() const = 0;
    virtual bool ManagerEnabled(int32_t aIndex) const = 0;
    virtual void ManagerUnregisterClient(int32_t aIndex, std::string_view aManagerId,
                                         std::string_view aClientId,
                                         const TQORSVCClientNetwork* aNetwork)
        GAX_REQUIRES(kHeartbeat) = 0;
};

}  // namespace gax
