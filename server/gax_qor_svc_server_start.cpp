// The service start's reading steps, on the service thread before the
// heartbeat is enabled: the networks file (or the built-in test set), the
// managers the networks use, the default network and the list files. Nothing
// here is reachable by another thread until the heartbeat runs, so the
// results are written without a lock and only read afterwards.
#include "foundation/gax_fileutils.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_netoptions.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

namespace {

std::u16string InQuotes(std::u16string_view aText) {
    return u"\"" + std::u16string(aText) + u"\"";
}

}  // namespace

void TQORService::trStartNetworksAndLists() {
    f_SysMansMask.store(0, std::memory_order_release);
    f_SysMansActiveCount = 0;
    if (!p_Cfg.cfg_ServerEnabled || e_CodeList == nullptr) {
        // ---- access lists: a service given its networks still reads them ----
        if (p_Cfg.cfg_ServerEnabled) trStartReadLists();
        return;
    }

    TQORServiceNetOptions servOpts;
    FillServiceNetOptionsFromConfig(servOpts, p_Cfg);
    // A service that has loaded the networks it serves is described from
    // them: reading the file again could give other rooms than the clients
    // get, had the file changed in between.
    const TQORNetworksList* nets = trListsNetworks();
    std::unique_ptr<TQORNetworksList> list;
    if (nets == nullptr || nets->Count() == 0) {
        list = std::make_unique<TQORNetworksList>(e_CodeList, f_NetworkFactory);
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
        nets = list.get();
    }

    uint32_t enabled = 0;
    for (int i = 0; i < kQORManagerCount; ++i)
        if (p_Cfg.ManagerParams[size_t(i)].ssmp_ManagerEnabled) enabled |= 1u << i;
    uint32_t used = 0;
    for (int32_t i = 0; i < nets->Count(); ++i) {
        const TQORNetworkData* n = nets->GetNetworkOriginal(i);
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
        const TQORNetworkData* n = nets->FindNetwork(defName);
        if (n == nullptr) n = nets->FindNetworkAsciiUpper(defName);
        f_DefaultNetwork = n;
        if (n != nullptr) trLog(u"Default network: " + InQuotes(n->NetworkNameUCS2()));
        if (!TrimSpaceW(p_Cfg.cfg_DefaultCountry).empty())
            trLog(u"Default country: " + InQuotes(TrimSpaceW(p_Cfg.cfg_DefaultCountry)));
    }
    if (list) f_NetList = std::move(list);
    trStartReadLists();
}

}  // namespace gax
