// The client lists of one network: its visible members in the order the
// next list will have (sorted by their visual sort keys) and in the order of
// the list sent last, the list frames in every form (full 8-bit, aggregate,
// full UTF-8, difference, count), the difference run between the two orders,
// the counters of members by list form and the list step of the network's
// heartbeat.
//
// Threads: owned by the network and used on the heartbeat thread only; the
// frames are copied into the members' output buffers, so they may be rebuilt
// while workers still write earlier copies. Nothing is locked.
//
// REQUIRES: a member's visual sort key does not change while it is listed;
// a context leaves the sent order (DropFromSentOrder) before it is freed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/gax_faststring.h"
#include "foundation/gax_qor_classes.h"
#include "networks/gax_qor_svc_network_frames.h"

namespace gax {

struct TQORListDiffStats {
    int32_t lds_Entries = 0;
    int32_t lds_Count = 0;
    int32_t lds_Added = 0;
    int32_t lds_Removed = 0;
    int32_t lds_Changed = 0;
    int32_t lds_StatusChanged = 0;
};

// The order of the visible list: visual sort keys are kept word-swapped, so
// they compare as 32-bit little-endian words (unsigned), never byte by byte.
struct TQORVisualKeyLess {
    bool operator()(std::string_view aA, std::string_view aB) const {
        return CompareKeysText(aA, aB) < 0;
    }
};

// f_NetResults bits of the list step.
inline constexpr uint32_t QOR_NR_MEMBERSHIP = 0x1;
inline constexpr uint32_t QOR_NR_STATUS = 0x2;
inline constexpr uint32_t QOR_NR_ITEM_DATA = 0x4;
inline constexpr uint32_t QOR_NR_AT_ONCE = 0x40000;

// What the network does when a member leaves the sent order (its holds).
class TQORNetListsOwner {
  public:
    virtual ~TQORNetListsOwner() = default;
    virtual void DropFromSentOrder(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat) = 0;
};

// The list form a member is counted under.
enum class TQORListForm : uint8_t { None, Count, DiffUTF8, QORFull, QORAggr, Nothing };
TQORListForm ListFormOf(uint32_t aCtxFlags);

class TQORNetClientLists {
  public:
    // aAggregateId: the service's aggregate pseudo-client id.
    TQORNetClientLists(TQORNetFanout& aFanout, TQORNetListsOwner& aOwner, std::string aAggregateId);

    // The aggregate list names the pseudo-client by this id (next rebuild).
    void SetAggregateId(std::string aId) { f_AggregateId = std::move(aId); }

    // ---- membership (the holds) ----
    // Puts a member into the next list's order and counts it.
    void AddVisible(TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);
    // Takes a member out of the next list's order and un-counts it; it
    // leaves the sent order at the next difference run.
    void RemoveVisible(TQORSVCContext* aCtx);
    // Changes a visible member's flags so that the counters follow: the
    // member is un-counted by its old flags and counted by its new ones.
    // Every flag change of a visible member goes through here.
    void ChangeFlags(TQORSVCContext* aCtx, uint32_t aKeep, uint32_t aSet);
    bool IsVisible(const TQORSVCContext* aCtx) const;
    void SetNetResults(uint32_t aBits) { f_NetResults |= aBits; }
    uint32_t NetResults() const { return f_NetResults; }
    void ClearNetResults(uint32_t aBits) { f_NetResults &= ~aBits; }

    // The visible order (the fan-out walks it).
    const std::vector<TQORSVCContext*>& VisualOper() const { return f_VisualOper; }
    const std::vector<TQORSVCContext*>& VisualBias() const { return f_VisualBias; }

    // ---- the list operations ----
    void UpdateListHeaders(const TQORSVCContext* aSpeaker) GAX_REQUIRES(kHeartbeat);
    void RebuildListsOfClients(size_t aCount, int32_t aOutputBufferFactor,
                               int32_t aActivityTimeoutSeconds) GAX_REQUIRES(kHeartbeat);
    void PrepareListOfClientsDiff(TQORListDiffStats& aStats) GAX_REQUIRES(kHeartbeat);
    void RenumberClients() GAX_REQUIRES(kHeartbeat);
    void SendListOfClients_WOLock(const TQORSVCContext* aSpeaker) GAX_REQUIRES(kHeartbeat);
    // The list step of the heartbeat: difference, renumbering, rebuild and
    // sends as the pending results ask. Returns the stats of the run (all
    // zero when there was none).
    TQORListDiffStats ListStep(const TQORSVCContext* aSpeaker, int32_t aOutputBufferFactor,
                               int32_t aActivityTimeoutSeconds) GAX_REQUIRES(kHeartbeat);

    const FastStringA& ClientsV0() const { return f_ClientsV0; }
    const FastStringA& ClientsV0S() const { return f_ClientsV0S; }
    const FastStringA& ClientsV1FU() const { return f_ClientsV1FU; }
    const FastStringA& ClientsV1DU() const { return f_ClientsV1DU; }
    const FastStringA& CountListCommand() const { return f_CountListCommand; }
    int32_t OutputBufferLimitDynamicLastRebuild() const {
        return f_OutputBufferLimitDynamicLastRebuild;
    }
    int32_t Counter(TQORListForm aForm) const { return f_Counters[static_cast<int>(aForm)]; }

  private:
    void Count(uint32_t aFlags, int32_t aDelta);
    void WriteRemovalRun(int32_t& aStart, int32_t& aLen, TQORListDiffStats& aStats);
    void RemoveBias(size_t aJ, int32_t& aStart, int32_t& aLen, TQORListDiffStats& aStats) GAX_REQUIRES(kHeartbeat);
    void InsertBias(size_t aI, size_t aJ, int32_t& aStart, int32_t& aLen,
                    TQORListDiffStats& aStats) GAX_REQUIRES(kHeartbeat);
    static const std::string& DiffItem(const TQORSVCContext* aCtx) GAX_REQUIRES(kHeartbeat);

    TQORNetFanout& e_Fanout;
    TQORNetListsOwner& e_Owner;
    std::string f_AggregateId;
    std::vector<TQORSVCContext*> f_VisualOper;  // sorted by visual sort key
    std::vector<std::string> f_OperKeys;        // their keys as inserted
    std::unordered_map<TQORSVCContext*, std::string> f_KeyOf;
    std::vector<TQORSVCContext*> f_VisualBias;  // the order of the list sent last
    FastStringA f_ClientsV0{528};
    FastStringA f_ClientsV0S{224};
    FastStringA f_ClientsV1FU{528};
    FastStringA f_ClientsV1DU{272};
    FastStringA f_CountListCommand{16};
    uint32_t f_NetResults = 0;
    int32_t f_OutputBufferLimitDynamicLastRebuild = 0;
    int32_t f_Counters[6] = {};
};

}  // namespace gax
