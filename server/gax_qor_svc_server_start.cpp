// The service start's reading steps, on the service thread before the
// heartbeat is enabled: the networks file (or the built-in test set), the
// managers the networks use, the default network and the list files. Nothing
// here is reachable by another thread until the heartbeat runs, so the
// results are written without a lock and only read afterwards.
#include <array>

#include "foundation/gax_fileutils.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_listfiles.h"
#include "server/gax_qor_svc_netoptions.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

// The networks as the list readers see them, straight from the networks list.
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

std::u16string InQuotes(std::u16string_view aText) {
    return u"\"" + std::u16string(aText) + u"\"";
}

}  // namespace

void TQORService::trStartNetworksAndLists() {
    f_SysMansMask.store(0, std::memory_order_release);
    f_SysMansActiveCount = 0;
    if (!p_Cfg.cfg_ServerEnabled || e_CodeList == nullptr) return;

    TQORServiceNetOptions servOpts;
    FillServiceNetOptionsFromConfig(servOpts, p_Cfg);
    auto list = std::make_unique<TQORNetworksList>(e_CodeList, f_NetworkFactory);
    const std::u16string file =
        p_Cfg.cfg_NetworksFileName.empty()
            ? std::u16string()
            : ResolvePathRelative(p_Cfg.cfg_NetworksFileName, f_ServerExeDir);
    // No file, or one without a network: the built-in set keeps a fresh
    // installation usable. A file that exists but is bad stops the start.
    if (!file.empty() && FileExists(file)) list->ReadNetworksListFromFile(servOpts, file);
    if (list->Count() == 0) list->MakeTestNetwork(servOpts);
    // ---- character-set converters ----
    trAssignCharsetConverters(*list, servOpts.sno_CharsetName);

    uint32_t enabled = 0;
    for (int i = 0; i < kQORManagerCount; ++i)
        if (p_Cfg.ManagerParams[size_t(i)].ssmp_ManagerEnabled) enabled |= 1u << i;
    uint32_t used = 0;
    for (int32_t i = 0; i < list->Count(); ++i) {
        const TQORNetworkData* n = list->GetNetworkOriginal(i);
        const TQORSVCNetworkOptions& o = n->NetOptions();
        if (o.no_NetManagerMode != smm_Standalone) used |= uint32_t(o.no_ManagersMask);
        std::u16string line = u" Net: " + InQuotes(n->NetworkNameUCS2());
        const std::u16string opts = TrimSpaceW(FormatNetworkOptionsText(servOpts, o));
        if (!opts.empty()) line += u", options: " + opts;
        trLog(std::move(line));
    }
    const uint32_t active = enabled & used & 0x0F;
    for (int i = 0; i < kQORManagerCount; ++i)
        if (active & (1u << i)) ++f_SysMansActiveCount;
    f_SysMansMask.store(active, std::memory_order_release);

    f_DefaultNetwork = nullptr;
    const std::u16string defName = TrimSpaceW(p_Cfg.DefaultNetworkName);
    if (!defName.empty()) {
        const TQORNetworkData* n = list->FindNetwork(defName);
        if (n == nullptr) n = list->FindNetworkAsciiUpper(defName);
        f_DefaultNetwork = n;
        if (n != nullptr) trLog(u"Default network: " + InQuotes(n->NetworkNameUCS2()));
        if (!TrimSpaceW(p_Cfg.cfg_DefaultCountry).empty())
            trLog(u"Default country: " + InQuotes(TrimSpaceW(p_Cfg.cfg_DefaultCountry)));
    }
    f_NetList = std::move(list);
    trStartReadLists();
}

void TQORService::trStartReadLists() {
    std::array<std::u16string, kQORSVCListKindCount> names;
    for (size_t k = 0; k < kQORSVCListKindCount; ++k)
        names[k] = ListFileName(static_cast<TQORSVCListKind>(k));
    TQORSVCListFiles files(names, f_DataDir, f_LogData);
    files.SetTestNetworks(f_NetList->UsesTestSet());
    const NetListNames nets(*f_NetList);
    static constexpr TQORSVCListKind kOrder[] = {
        TQORSVCListKind::Owner, TQORSVCListKind::Admins, TQORSVCListKind::Blocks,
        TQORSVCListKind::Mutes, TQORSVCListKind::Modes,  TQORSVCListKind::Rights,
        TQORSVCListKind::Notices};
    for (TQORSVCListKind kind : kOrder) {
        if (ListFileName(kind).empty()) continue;
        // Until the network objects take their lists, what is read is only
        // checked and reported: the lines a reader logs are the operator's.
        TQORSVCListLoad load;
        std::vector<std::u16string> log;
        files.ReadAtStartUp(kind, nets, e_Clock.UnixSeconds(), load, log);
        for (std::u16string& l : log) trLog(std::move(l));
    }
}

}  // namespace gax
