// The service thread's side of the access lists: the start-up read of the
// list files into the networks, the rereads handed to the heartbeat, the
// saves of the heartbeat's snapshots through the data-file writer, and the
// server owner's callsign.
#include "server/gax_qor_svc_server_lists.h"

#include <array>

#include "foundation/gax_fileutils.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

using K = TQORSVCListKind;

// The networks as the list readers see them, straight from a networks list.
class NetListNames final : public TQORSVCNetworkNames {
  public:
    explicit NetListNames(const TQORNetworksList& aList) : e_List(aList) {}
    int32_t NetworkCount() const override { return e_List.Count(); }
    int32_t FindNetworkIndex(std::u16string_view aName) const override {
        const TQORNetworkData* n = e_List.FindNetwork(aName);
        return n ? n->NetOriginalIndex() : -1;
    }
    std::string NetworkNameUTF8(int32_t aIndex) const override {
        const TQORNetworkData* n = e_List.GetNetworkOriginal(aIndex);
        return n ? n->NetworkNameUTF8() : std::string();
    }

  private:
    const TQORNetworksList& e_List;
};

bool KindOfReread(TQORSVCMainQueueCmd aCmd, K& aKind) {
    using C = TQORSVCMainQueueCmd;
    switch (aCmd) {
        case C::fsmqc_RereadAdmins: aKind = K::Admins; return true;
        case C::fsmqc_RereadMutes: aKind = K::Mutes; return true;
        case C::fsmqc_RereadBlocks: aKind = K::Blocks; return true;
        case C::fsmqc_RereadRights: aKind = K::Rights; return true;
        case C::fsmqc_RereadModes: aKind = K::Modes; return true;
        case C::fsmqc_RereadNotices: aKind = K::Notices; return true;
        default: return false;
    }
}

bool StartsWith(std::u16string_view aText, std::u16string_view aPrefix) {
    return aText.substr(0, aPrefix.size()) == aPrefix;
}

// One network's part of a list read, as a record's slot.
template <class List>
TQORSVCListSlot SlotOf(std::unique_ptr<List>& aList) {
    TQORSVCListSlot slot;
    if (aList) slot.List = std::make_unique<TQORSVCOwnedPayload<List>>(std::move(aList));
    return slot;
}

}  // namespace

// The service's own reader and writer of the list files: the service thread's
// saves and rereads come here when the owner gave none.
class TQORService::OwnDataFiles final : public TQORSVCDataFiles {
  public:
    explicit OwnDataFiles(TQORService& aSvc) : e_Svc(aSvc) {}
    // Called by the service thread's save path only.
    bool WriteList(TQORSVCListKind aKind, const std::u16string&,
                   const TQORSVCWriteArray& aLines) override GAX_REQUIRES(kServiceThread) {
        return e_Svc.trWriteList(aKind, aLines);
    }
    // Called by the service thread's reread path only.
    bool RereadList(TQORSVCMainQueueCmd aCmd,
                    const std::u16string& aFileName) override GAX_REQUIRES(kServiceThread) {
        K kind;
        // The internal flags have a reader of their own.
        if (aCmd == TQORSVCMainQueueCmd::fsmqc_RereadIntFlags)
            return e_Svc.trReadIntFlags(aFileName, false);
        if (!KindOfReread(aCmd, kind)) throw Exception("No data-file reader");
        return e_Svc.trRereadList(kind, aFileName);
    }

  private:
    TQORService& e_Svc;
};

const TQORNetworksList* TQORService::trListsNetworks() const { return f_NetList.get(); }

void TQORService::trTakeStartList(TQORSVCListLoad&) {}

void TQORService::trStartReadLists() {
    std::array<std::u16string, kQORSVCListKindCount> names;
    for (size_t k = 0; k < kQORSVCListKindCount; ++k)
        names[k] = ListFileName(static_cast<K>(k));
    f_trListFiles = std::make_unique<TQORSVCListFiles>(names, f_DataDir, f_LogData);
    if (e_DataFiles == nullptr) {
        f_OwnDataFiles = std::make_unique<OwnDataFiles>(*this);
        e_DataFiles = f_OwnDataFiles.get();
    }
    const TQORNetworksList* list = trListsNetworks();
    if (list == nullptr) return;
    f_trListFiles->SetTestNetworks(list->UsesTestSet());
    const NetListNames nets(*list);
    static constexpr K kOrder[] = {K::Owner, K::Admins, K::Blocks, K::Mutes,
                                   K::Modes, K::Rights, K::Notices};
    for (K kind : kOrder) {
        if (ListFileName(kind).empty()) continue;
        TQORSVCListLoad load;
        std::vector<std::u16string> log;
        const bool ok = f_trListFiles->ReadAtStartUp(kind, nets, e_Clock.UnixSeconds(), load, log);
        for (std::u16string& l : log) trLog(std::move(l));
        if (!ok) continue;
        if (kind == K::Owner) {
            if (load.Owner) trSetOwnerFromStart(*load.Owner);
            if (load.Save) f_Poster.ServQueue_OwnerInfoChanged();
            continue;
        }
        trTakeStartList(load);
        if (!load.Save) continue;
        // The file goes back to the writer's form once the heartbeat runs.
        switch (kind) {
            case K::Admins: f_Poster.ServQueue_AdminsListChanged(); break;
            case K::Blocks: f_Poster.ServQueue_BlocksListChanged(); break;
            case K::Mutes: f_Poster.ServQueue_MutesListChanged(); break;
            case K::Modes: f_Poster.ServQueue_ModesListChanged(); break;
            case K::Rights: f_Poster.ServQueue_RightsListChanged(); break;
            case K::Notices: f_Poster.ServQueue_NoticesListChanged(); break;
            case K::Owner: break;
        }
    }
    // A fresh installation has no internal-flags file: nothing to say then.
    if (!f_DiskIntFlagsFileName.empty() && FileExists(f_DiskIntFlagsFileName))
        trReadIntFlags(f_DiskIntFlagsFileName, true);
}

bool TQORService::trReadIntFlags(const std::u16string& aFileName, bool aAtStart) {
    const TQORNetworksList* list = trListsNetworks();
    if (list == nullptr) return false;
    auto payload = std::make_unique<TQORSVCIntFlagsPayload>();
    payload->AtStart = aAtStart;
    try {
        payload->Cfg = ReadIntFlagsFile(*list, aFileName);
    } catch (const Exception& e) {
        // Nothing of a bad file is taken over: the flags in force stay.
        trLog(std::u16string(aAtStart ? u"ERROR: Read internal flags: "
                                      : u"ERROR: Read internal flags file: ") +
              e.Message());
        return false;
    }
    // The heartbeat owns the lists the networks read; it takes the reading
    // over before any connection of the start is admitted.
    f_Poster.ServQueue_ApplyServIntFlags(std::move(payload));
    return true;
}

void TQORService::trSetOwnerFromStart(const TQORSVCOwnerData& aOwner) {
    // The heartbeat thread exists but is not enabled yet: the enabling
    // (release/acquire) orders these writes before its first pass, so the
    // service thread may stand in for it here, and only here.
    TQORRoleScope heartbeat(kHeartbeat);
    f_ServerOwnerCallsignOpnameANSI = aOwner.od_CallsignOpnameANSI;
    f_ServerOwnerCallsignOpnameUTF8 = aOwner.od_CallsignOpnameUTF8;
}

bool TQORService::trRereadList(TQORSVCListKind aKind, const std::u16string& aFileName) {
    const TQORNetworksList* list = trListsNetworks();
    if (list == nullptr || f_trListFiles == nullptr) return false;
    const NetListNames nets(*list);
    // Only the configured file is ever saved again after a reread.
    const bool isDefault = aFileName.empty() || aFileName == ListFileName(aKind);
    TQORSVCListLoad load;
    std::vector<std::u16string> log;
    const bool ok = f_trListFiles->Reread(aKind, isDefault ? std::u16string() : aFileName, nets,
                                          e_Clock.UnixSeconds(), load, log);
    for (std::u16string& l : log) {
        // The reread of a named file is already logged by the service's reread.
        if (!isDefault && StartsWith(l, u"Reread ") && l.find(u" from: ") != std::u16string::npos)
            continue;
        trLog(std::move(l));
    }
    if (!ok) return false;
    const size_t n = static_cast<size_t>(nets.NetworkCount());
    TQORSVCListArray slots(n);
    for (size_t i = 0; i < n; ++i) {
        switch (aKind) {
            case K::Mutes:
            case K::Blocks:
                if (i < load.MuteBlocks.size()) slots[i] = SlotOf(load.MuteBlocks[i]);
                break;
            case K::Admins:
                if (i < load.Admins.size()) slots[i] = SlotOf(load.Admins[i]);
                break;
            case K::Rights:
                if (i < load.Rights.size()) slots[i] = SlotOf(load.Rights[i]);
                break;
            case K::Modes:
                if (i < load.Modes.size()) slots[i].Number = load.Modes[i].Packed();
                break;
            case K::Notices:
                if (i < load.Notices.size() && load.Notices[i]) {
                    auto d = std::make_unique<TQORSVCNoticeData>(std::move(*load.Notices[i]));
                    slots[i] = SlotOf(d);
                }
                break;
            case K::Owner: return false;
        }
    }
    switch (aKind) {
        case K::Mutes: f_Poster.ServQueue_UpdateMutesList(std::move(slots), load.Save); break;
        case K::Blocks: f_Poster.ServQueue_UpdateBlocksList(std::move(slots), load.Save); break;
        case K::Admins: f_Poster.ServQueue_UpdateAdminsList(std::move(slots), load.Save); break;
        case K::Rights: f_Poster.ServQueue_UpdateRightsList(std::move(slots), load.Save); break;
        case K::Modes: f_Poster.ServQueue_UpdateModesList(std::move(slots), load.Save); break;
        case K::Notices: f_Poster.ServQueue_UpdateNoticesList(std::move(slots), load.Save); break;
        case K::Owner: return false;
    }
    f_Poster.InterruptHeartbeat();
    return true;
}

bool TQORService::trWriteList(TQORSVCListKind aKind, const TQORSVCWriteArray& aLines) {
    if (f_trListFiles == nullptr) return false;
    std::vector<std::u16string> log;
    const bool ok = f_trListFiles->Save(aKind, aLines, log);
    for (std::u16string& l : log) {
        // The saved line is the service's own (with the data-change line).
        if (!StartsWith(l, kLogPrefixError) && !StartsWith(l, kLogPrefixWarning)) continue;
        trLog(std::move(l));
    }
    return ok;
}

bool TQORService::tmServOwnerInfoDiffers(const TQORSVCContext& aCtx) const {
    return f_ServerOwnerCallsignOpnameANSI != aCtx.CliCallsignOpnameANSI() ||
           f_ServerOwnerCallsignOpnameUTF8 != aCtx.CliCallsignOpnameUTF8();
}

void TQORService::tmSetOwnerInfoFromContext(const TQORSVCContext& aCtx) {
    tmSetOwnerInfo(aCtx.CliCallsignOpnameANSI(), aCtx.CliCallsignOpnameUTF8());
}

}  // namespace gax
