// The network's side of the command channel: its part of a client listing,
// its memory-report lines, and the channel records the dispatcher hands it
// (disconnect one client, manager mode, client log level).
//
// Heartbeat thread only, like the rest of the network.
#include <string>
#include <vector>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network.h"
#include "protocol/gax_qor_fields.h"
#include "server/gax_qor_svc_clientdescr.h"
#include "server/gax_qor_svc_parrot.h"

namespace gax {

namespace {

// Answers a console reads as "+OK" and "No client online".
constexpr std::string_view kAnswerOK = "+OK\r\n";
constexpr std::string_view kAnswerNoClient = "-NOCLIENT\r\n";

}  // namespace

int32_t TQORServNetwork::AppendChannelList(std::string& aOut) const {
    // Built from the members in the order of the list sent last, not copied
    // from the full list frame: the frame is rebuilt only when members
    // change, and the count line, items and info lines must always agree.
    const std::vector<TQORSVCContext*>& members = f_Lists->VisualBias();
    FastStringA f(256);
    FastStrAddHexLenStr(f, NetworkNameUTF8());
    FastStrAddHexLenStr(f, NetOptions().no_NetCharsetNameUTF8);
    FastStrAddHexLenStr(f, ParrotClientId());
    f.Append("\r\n");
    FastStrAddIntLn(f, static_cast<int32_t>(members.size()));
    for (const TQORSVCContext* c : members) f.Append(c->ClientListItemV1U());
    for (const TQORSVCContext* c : members) {
        const int priv = static_cast<int>(c->CliPrivilege);
        f.Append(std::string(1, static_cast<char>('0' + (priv >= 0 && priv <= 3 ? priv : 0))));
        FastStrAddHexLenStr(f, c->Peer_Address());
        FastStrAddHexLenStr(f, c->CliEMailANSI());
        f.Append("04");
        for (int32_t m = 0; m < kQORManagerSlots; ++m) {
            const TQORSVCContextManagerInfo& mi = c->CliManagersInfo[static_cast<size_t>(m)];
            if ((f_EffManagersMask & (1u << m)) != 0 &&
                mi.cmi_ManagerAnswer != TClientErrorType::cet_NONE)
                FastStrAddHexLenStr(f, mi.cmi_ManagerId);
            else
                f.Append("00");
        }
        QORParseProtoExtFlags1C(f, *c);
        QORAddInternalFlags(f, *c);
        f.Append("\r\n");
    }
    aOut.append(f.View());
    return static_cast<int32_t>(members.size());
}

void TQORServNetwork::AppendMemoryReport(std::vector<std::u16string>& aLines) const {
    // "Net #07:  f_VisualBias=64": the prefix keeps its blank, the item adds one.
    auto line = [&](std::u16string_view aItem, int64_t aValue) GAX_REQUIRES(kHeartbeat) {
        aLines.push_back(f_NetPrefix + u" " + std::u16string(aItem) + u"=" + IntToDecStrW(aValue));
    };
    const auto n = [](size_t v) { return static_cast<int64_t>(v); };
    using K = TQORSVCListKind;
    const TQORNetAccess& a = *f_Access;
    line(u"f_VisualBias", n(f_Lists->VisualBias().capacity()));
    line(u"f_VisualOper", n(f_Lists->VisualOper().capacity()));
    line(u"f_EMailHash", n(f_EMailHash.size()));
    line(u"f_Callsigns", n(f_Callsigns.size()));
    line(u"netIntFlags", f_NetIntFlags ? n(f_NetIntFlags->size()) : 0);
    line(u"f_DelHold", n(f_DelHold.Count()));
    line(u"f_AttachHold", n(f_AttachHold.Count()));
    line(u"f_ApprovedHold", n(f_ApprovedHold.Count()));
    line(u"f_NewbieHold", n(f_NewbieHold.Count()));
    line(u"f_QuarantineHold", n(f_QuarantineHold.Count()));
    line(u"f_ExtraDispHold", n(f_ExtraDispHold.Count()));
    line(u"f_DispHold", n(f_DispHold.Count()));
    line(u"f_MovedHold", n(f_MovedHold.Count()));
    line(u"f_DummMutes", n(a.PendingCount(K::Mutes)));
    line(u"f_DummBlocks", n(a.PendingCount(K::Blocks)));
    line(u"f_DummAdmins", n(a.PendingCount(K::Admins)));
    line(u"f_DummModes", n(a.PendingCount(K::Modes)));
    line(u"f_DummRights", n(a.PendingCount(K::Rights)));
    line(u"f_DummNotices", n(a.PendingCount(K::Notices)));
    line(u"f_AdminsByHash", a.Admins().KeyCapacity());
    line(u"f_AdminsByTime", a.Admins().TimeCapacity());
    line(u"f_MutesByHash", a.Mutes().KeyCapacity());
    line(u"f_MutesByTime", a.Mutes().TimeCapacity());
    line(u"f_BlocksByHash", a.Blocks().KeyCapacity());
    line(u"f_BlocksByTime", a.Blocks().TimeCapacity());
    line(u"f_RightsByEMail", a.Rights().KeyCapacity());
    line(u"f_RightsByTime", a.Rights().TimeCapacity());
    line(u"f_Owners", n(f_Owners.size()));
    if (f_Parrot) line(u"ParrotFrames", f_Parrot->AllocatedFrames());
    line(u"f_ClientsV0", n(f_Lists->ClientsV0().Capacity()));
    line(u"f_ClientsV0S", n(f_Lists->ClientsV0S().Capacity()));
    line(u"f_ClientsV1FU", n(f_Lists->ClientsV1FU().Capacity()));
    line(u"f_ClientsV1DU", n(f_Lists->ClientsV1DU().Capacity()));
    line(u"f_Cntr_List_None", f_Lists->Counter(TQORListForm::None));
    line(u"f_Cntr_List_Count", f_Lists->Counter(TQORListForm::Count));
    line(u"f_Cntr_List_DiffUTF8", f_Lists->Counter(TQORListForm::DiffUTF8));
    line(u"f_Cntr_List_QOR_Full", f_Lists->Counter(TQORListForm::QORFull));
    line(u"f_Cntr_List_QOR_Aggr", f_Lists->Counter(TQORListForm::QORAggr));
    line(u"f_Cntr_MessagesNo", f_Cntr_MessagesNo);
    line(u"f_Cntr_SpeakerInfoUTF8", f_Cntr_SpeakerInfoUTF8);
    line(u"f_Cntr_Cache", f_Cntr_Cache);
    // The cache's arrays have fixed lengths: one mask word per 32 slots, and
    // room for every slot in the free and the use-order arrays.
    line(u"Len(f_CacheListNetMasks)", (kQORCacheSlots + 31) / 32);
    line(u"Len(f_CacheListFreeArray)", kQORCacheSlots);
    line(u"Len(f_CacheListSortArray)", kQORCacheSlots);
}

bool TQORServNetwork::ChanDispatch(TQORNetCommand& aCmd) {
    TQORSVCNetQueueRecord& r = *aCmd.Rec;
    switch (r.nqr_Cmd) {
        case TQORServNetworkCommand::snc_ChannelDisconnectNetworkClient:
            tmChannelDisconnectClient(r);
            return true;
        case TQORServNetworkCommand::snc_ChannelNetworkManagerMode:
            tmManagerModeChanged(r.nqr_DataI0);
            return true;
        case TQORServNetworkCommand::snc_ChannelNetworkLogLevel:
            // The channel's decoder allows 0..7; a record from elsewhere is clamped.
            f_ChanLogLevel = r.nqr_DataI0 < 0 ? 0 : (r.nqr_DataI0 > 7 ? 7 : r.nqr_DataI0);
            return true;
        default:
            return false;
    }
}

void TQORServNetwork::tmChannelDisconnectClient(const TQORSVCNetQueueRecord& aRec) {
    const bool hit = tmDisconnectByHash(aRec.nqr_DataS1, TQORSVCDisconnectCause::fsdc_ByOwner);
    e_Host.NetHostCommandAnswer(TQORSVCCtxRef{aRec.nqr_Context, aRec.nqr_GlobalKey},
                                std::string(hit ? kAnswerOK : kAnswerNoClient));
}

}  // namespace gax
