// The access lists of one network: its admins, mutes, blocks and rights (each
// by key and by register time), the two access modes (connect only listed,
// talk only marked) and the notice. Here live the look-ups of a client's
// admission, the take-over of lists read from the files (at start-up straight
// in, on a reread as a merge), the consequences of a change for connected
// clients (mute, unmute, end a blocked client, end a client whose role
// changed), the list frames owed to the members entitled to them, the expiry
// of timed mutes and blocks, and the file lines a save snapshot takes.
//
// What the mute, block, admin and rights commands use (heartbeat thread):
// - the lists themselves: Mutes(), Blocks(), Admins(), Rights(), with the
//   list routines of the data-file modules (AddOrUpdateFromData, RemoveKey,
//   Find) and those of gax_qor_svc_network_admin.h;
// - after a change to a list: Changed(kind), which sets the list's changed
//   bit (the list goes to every entitled member in this heartbeat) and tells
//   the host to save the list (the service writes its snapshot);
// - to give the acting member the current list although nothing changed:
//   AddPending(kind, ctx);
// - the consequences: AutoMuteClient, AutoUnmuteClient,
//   TerminateOnChangeRole, TerminateOnBlock, and SetConnectOnlyListed /
//   SetTalkOnlyMarked / ProcessAccessModes for the modes;
// - the notice: SetNetNotice (trimmed texts).
//
// Threads: the heartbeat thread owns the object once the service runs; at
// start-up the service thread fills it before the heartbeat runs commands.
// Nothing here locks. Contexts named in the pending sets are the network's
// members; the network forgets a context here (ForgetContext) before it frees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_clientfacts.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_mutes.h"
#include "server/gax_qor_svc_netif.h"
#include "server/gax_qor_svc_notices.h"
#include "server/gax_qor_svc_rights.h"

namespace gax {

// Result bits of the network's result word: changed (send to every entitled
// member) and pending (send to the pending recipients and the newcomers).
inline constexpr uint32_t kNetResMutesChanged = 0x08;
inline constexpr uint32_t kNetResMutesPending = 0x10;
inline constexpr uint32_t kNetResBlocksChanged = 0x20;
inline constexpr uint32_t kNetResBlocksPending = 0x40;
inline constexpr uint32_t kNetResAdminsChanged = 0x80;
inline constexpr uint32_t kNetResAdminsPending = 0x100;
inline constexpr uint32_t kNetResModesChanged = 0x200;
inline constexpr uint32_t kNetResModesPending = 0x400;
inline constexpr uint32_t kNetResRightsChanged = 0x800;
inline constexpr uint32_t kNetResRightsPending = 0x1000;
inline constexpr uint32_t kNetResNoticeChanged = 0x2000;
inline constexpr uint32_t kNetResNoticePending = 0x4000;

// Frame codes of the access lists (8-bit clients, UTF-8 clients).
inline constexpr uint8_t QOR_FR_ADMINS_V0 = 0x06;
inline constexpr uint8_t QOR_FR_RIGHTS_V0 = 0x07;
inline constexpr uint8_t QOR_FR_BLOCKS_V0 = 0x08;
inline constexpr uint8_t QOR_FR_MUTES_V0 = 0x09;
inline constexpr uint8_t QOR_FR_MODES = 0x0A;
inline constexpr uint8_t QOR_FR_NOTICE_V0 = 0x0B;
inline constexpr uint8_t QOR_FR_BLOCKS_V1 = 0x86;
inline constexpr uint8_t QOR_FR_MUTES_V1 = 0x87;
inline constexpr uint8_t QOR_FR_ADMINS_V1 = 0x88;
inline constexpr uint8_t QOR_FR_NOTICE_V1 = 0x8A;
inline constexpr uint8_t QOR_FR_RIGHTS_V1 = 0x8B;

// The result of the access-mode test of one client.
enum class TQORAccessVerdict : uint8_t { Unchanged = 0, TalkChanged = 1, NoAccess = 2 };

// What the lists need of their network (heartbeat thread).
class TQORNetAccessHost {
  public:
    virtual ~TQORNetAccessHost() = default;
    // The admitted member with that client id, or null.
    virtual TQORSVCContext* AccessFindMember(std::string_view aClientId) GAX_REQUIRES(kHeartbeat) = 0;
    // Releases the floor when aCtx holds it and tells the listeners (0x00).
    virtual void AccessReleaseFloor(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat) = 0;
    // A network owner's or the server owner's id.
    virtual bool AccessIsOwnerId(std::string_view aClientId) const GAX_REQUIRES(kHeartbeat) GAX_REQUIRES(kHeartbeat) = 0;
    // A list changed: the service saves its snapshot.
    virtual void AccessListChanged(TQORSVCListKind aKind) GAX_REQUIRES(kHeartbeat) = 0;
    // Sends aData to every visible member whose flags AND aMask equal aValue.
    virtual void AccessSendVisible(const std::string& aData, uint32_t aMask, uint32_t aValue) GAX_REQUIRES(kHeartbeat) = 0;
    // The members in the NEWBIE hold (owed every list their class may see).
    virtual std::vector<TQORSVCContext*> AccessNewbies() const GAX_REQUIRES(kHeartbeat) GAX_REQUIRES(kHeartbeat) = 0;
    // The access rules apply again to every member and every hold.
    virtual void AccessProcessModes() GAX_REQUIRES(kHeartbeat) = 0;
};

class TQORNetAccess {
  public:
    // aResults: the network's result word (the list bits and 0x2 go there).
    TQORNetAccess(std::string aNetworkNameUTF8, TQORSVCAccessInfoMode aInfoMode,
                  TQORNetAccessHost& aHost, uint32_t& aResults);
    TQORNetAccess(const TQORNetAccess&) = delete;
    TQORNetAccess& operator=(const TQORNetAccess&) = delete;

    // ---- the lists ----
    TQORSVCAdminList& Admins() { return f_Admins; }
    TQORSVCMuteBlockList& Mutes() { return f_Mutes; }
    TQORSVCMuteBlockList& Blocks() { return f_Blocks; }
    TQORSVCAccessList& Rights() { return f_Rights; }
    const TQORSVCAdminList& Admins() const { return f_Admins; }
    const TQORSVCMuteBlockList& Mutes() const { return f_Mutes; }
    const TQORSVCMuteBlockList& Blocks() const { return f_Blocks; }
    const TQORSVCAccessList& Rights() const { return f_Rights; }
    bool ConnectOnlyListed() const { return f_ConnectOnlyListed; }
    bool TalkOnlyMarked() const { return f_TalkOnlyMarked; }

    // ---- look-ups of the admission ----
    const TQORSVCAdmin* NetFindAdmin(std::string_view aClientId) const;
    bool FindAdminForContext(const TQORSVCContext& aCtx, bool& aDiffers) const;
    bool IsBlocked(const TQORSVCContext& aCtx, bool& aDiffers) const;
    bool IsMuted(const TQORSVCContext& aCtx, bool& aDiffers) const;
    // aIsOwner: owners may always connect and talk.
    TQORSVCClientRights GetRights(const TQORSVCContext& aCtx, bool aIsOwner) const;
    // What the modes and the rights mean for a member now: NoAccess when it
    // may not stay; TalkChanged when its talk permission was changed here.
    TQORAccessVerdict CheckAccessMode(TQORSVCContext& aCtx) const GAX_REQUIRES(kHeartbeat);
    // The same judgement without acting on it, for a check whose outcome may
    // still be thrown away (a move that is refused later): false when the
    // modes would not let aCtx stay. aTalk, when given, receives the talk
    // permission the member would have here; aCtx is left as it is.
    bool AccessModeAdmits(const TQORSVCContext& aCtx, bool* aTalk = nullptr) const;

    // ---- taking over entries (start-up; true when the list changed) ----
    bool NetAddAdminFromData(const TQORSVCAdminData& aData);
    bool NetAddMuteFromData(const TQORSVCMuteBlockData& aData);
    bool NetAddBlockFromData(const TQORSVCMuteBlockData& aData);
    bool NetAddAccessFromData(const TQORSVCAccessData& aData);
    void NetSetModeFromData(const TQORSVCModesData& aModes);
    bool NetNoticeAddFromData(const TQORSVCNoticeData& aData);
    bool NetNoticeClear();
    // Trims both texts (bytes up to 32 at both ends) and stores them when
    // either differs. True when changed.
    bool SetNetNotice(std::string_view aTextANSI, std::string_view aTextUTF8);

    // ---- rereads (a null list is an empty one) ----
    void UpdateAdminsList(const TQORSVCAdminList* aRead, bool aRereadCompareAttr) GAX_REQUIRES(kHeartbeat);
    void UpdateMutesList(const TQORSVCMuteBlockList* aRead, bool aRereadCompareAttr) GAX_REQUIRES(kHeartbeat);
    void UpdateBlocksList(const TQORSVCMuteBlockList* aRead, bool aRereadCompareAttr) GAX_REQUIRES(kHeartbeat);
    void UpdateRightsList(const TQORSVCAccessList* aRead, bool aRereadCompareAttr) GAX_REQUIRES(kHeartbeat);
    // connect-only-listed * 256 + talk-only-marked (either byte non-zero is on).
    void UpdateModes(int32_t aPacked) GAX_REQUIRES(kHeartbeat);
    void UpdateNotice(const TQORSVCNoticeData* aData) GAX_REQUIRES(kHeartbeat);

    // ---- the modes ----
    // True when the mode changed (the access rules are applied again then).
    bool SetConnectOnlyListed(bool aOn) GAX_REQUIRES(kHeartbeat);
    bool SetTalkOnlyMarked(bool aOn) GAX_REQUIRES(kHeartbeat);

    // ---- consequences for connected clients ----
    void AutoMuteClient(std::string_view aClientId) GAX_REQUIRES(kHeartbeat);
    void AutoUnmuteClient(std::string_view aClientId) GAX_REQUIRES(kHeartbeat);
    void TerminateOnChangeRole(std::string_view aClientId) GAX_REQUIRES(kHeartbeat);
    // Owners are never ended for a block.
    void TerminateOnBlock(std::string_view aClientId) GAX_REQUIRES(kHeartbeat);

    // ---- results, sends, expiry, snapshots ----
    // The list changed: its changed bit, and the save through the host.
    void Changed(TQORSVCListKind aKind) GAX_REQUIRES(kHeartbeat);
    // aCtx is owed the current list of that kind.
    void AddPending(TQORSVCListKind aKind, TQORSVCContext* aCtx);
    // The context leaves: it is owed nothing any more.
    void ForgetContext(TQORSVCContext* aCtx);
    // How many contexts are owed the list of that kind (the memory report).
    size_t PendingCount(TQORSVCListKind aKind) const {
        return const_cast<TQORNetAccess*>(this)->PendingOf(aKind).size();
    }
    // Sends every list whose changed or pending bit is set (blocks, mutes,
    // admins, modes, rights, notice) and empties the pending sets.
    void SendLists() GAX_REQUIRES(kHeartbeat);
    // Removes the timed mutes and blocks released by aNow (unmuting the
    // clients); the lists are sent and saved when any went.
    void Expire(int64_t aNow) GAX_REQUIRES(kHeartbeat);
    // The file lines of the list for a save.
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const;

    // ---- the notice as clients see it (by AccessInfoMode) ----
    std::string_view NoticeActualANSI() const;
    std::string_view NoticeActualUTF8() const;
    const std::string& NoticeANSI() const { return f_NoticeANSI; }
    const std::string& NoticeUTF8() const { return f_NoticeUTF8; }

    // ---- frames (for tests and the sends) ----
    std::string MakeListFrame(TQORSVCListKind aKind, bool aUTF8) const;

  private:
    void RebuildNoticeFrames();
    void SendOne(TQORSVCListKind aKind, uint32_t aChangedBit, uint32_t aPendingBit,
                 std::set<TQORSVCContext*>& aPending) GAX_REQUIRES(kHeartbeat);
    std::set<TQORSVCContext*>& PendingOf(TQORSVCListKind aKind);
    bool ApplyMuteBlockOutcome(const TQORSVCListMergeOutcome& aOut, bool aIsBlock) GAX_REQUIRES(kHeartbeat);

    std::string f_NetworkNameUTF8;
    TQORSVCAccessInfoMode f_InfoMode;
    TQORNetAccessHost& e_Host;
    uint32_t& e_Results;

    TQORSVCAdminList f_Admins;
    TQORSVCMuteBlockList f_Mutes;
    TQORSVCMuteBlockList f_Blocks;
    TQORSVCAccessList f_Rights;
    bool f_ConnectOnlyListed = false;
    bool f_TalkOnlyMarked = false;
    std::string f_NoticeANSI, f_NoticeUTF8;
    std::string f_NoticeV0, f_NoticeV1U;

    std::set<TQORSVCContext*> f_DummMutes, f_DummBlocks, f_DummAdmins, f_DummModes, f_DummRights,
        f_DummNotices;
};

// The rights entry's data from a client: e-mail and key, the eight texts, the
// client type and the UTF-8 flag (register time and mark kept).
void FillAccessDataFromContext(TQORSVCAccessData& aData, const TQORSVCContext& aCtx);
// The e-mail, the eight texts and the client type equal the client's.
bool IsEqualRightCtx(const TQORSVCAccess& aEntry, const TQORSVCContext& aCtx);

}  // namespace gax
