#include "networks/gax_qor_svc_network_lists.h"

#include <algorithm>
#include <cassert>

#include "protocol/gax_qor_fields.h"

namespace gax {

namespace {

constexpr char kAggrHead[] =
    "\x03\x00\x00"
    "2\r\n<S>0</S><M>0</M><NN>Server</NN><CT>Ser - ver</CT><BC>Aggregate</BC><CL>1</CL>"
    "<ON>All others</ON><ID>";
constexpr size_t kAggrHeadLen = sizeof(kAggrHead) - 1;
static_assert(kAggrHeadLen == 106);

void PutHead(FastStringA& f, uint8_t aMarker) {
    f.Clear();
    const char head[3] = {static_cast<char>(aMarker), 0, 0};
    f.Append(head, 3);
}

}  // namespace

TQORListForm ListFormOf(uint32_t f) {
    switch ((f & QOR_CF_LIST_FORMAT) >> 8) {
        case 1:
            return TQORListForm::None;
        case 2:
            return TQORListForm::Count;
        case 3:
            return (f & QOR_CF_UTF8) ? TQORListForm::DiffUTF8 : TQORListForm::Nothing;
        default:
            return (f & QOR_CF_AGGREGATE_LIST) ? TQORListForm::QORAggr : TQORListForm::QORFull;
    }
}

TQORNetClientLists::TQORNetClientLists(TQORNetFanout& aFanout, TQORNetListsOwner& aOwner,
                                       std::string aAggregateId)
    : e_Fanout(aFanout), e_Owner(aOwner), f_AggregateId(std::move(aAggregateId)) {
    f_ClientsV1DU.Append("\x84\x00\x00" "000000\r\n", 11);
    RebuildListsOfClients(0, 0, 0);
}

// ---------------------------------------------------------------------------
// membership

void TQORNetClientLists::Count(uint32_t aFlags, int32_t aDelta) {
    f_Counters[static_cast<int>(ListFormOf(aFlags))] += aDelta;
}

bool TQORNetClientLists::IsVisible(const TQORSVCContext* c) const {
    return f_KeyOf.count(const_cast<TQORSVCContext*>(c)) != 0;
}

void TQORNetClientLists::AddVisible(TQORSVCContext* c) {
    // The key is kept as inserted: a status refresh may rewrite the context's.
    auto [k, fresh] = f_KeyOf.emplace(c, c->CliVisualSortKey());
    if (!fresh) return;
    const auto at = std::upper_bound(f_OperKeys.begin(), f_OperKeys.end(), k->second,
                                     TQORVisualKeyLess());
    const auto pos = at - f_OperKeys.begin();
    f_OperKeys.insert(at, k->second);
    f_VisualOper.insert(f_VisualOper.begin() + pos, c);
    c->pNetworkClientsListV0 = &f_ClientsV0;
    c->pNetworkClientsListV1FU = &f_ClientsV1FU;
    c->pNetworkClientsListV1DU = &f_ClientsV1DU;
    Count(c->CtxFlags(), +1);
    f_NetResults |= QOR_NR_MEMBERSHIP;
}

void TQORNetClientLists::RemoveVisible(TQORSVCContext* c) {
    auto k = f_KeyOf.find(c);
    if (k == f_KeyOf.end()) return;
    auto at = std::lower_bound(f_OperKeys.begin(), f_OperKeys.end(), k->second,
                               TQORVisualKeyLess());
    for (auto p = at - f_OperKeys.begin(); p < static_cast<ptrdiff_t>(f_VisualOper.size()); ++p) {
        if (f_VisualOper[static_cast<size_t>(p)] != c) continue;
        f_VisualOper.erase(f_VisualOper.begin() + p);
        f_OperKeys.erase(f_OperKeys.begin() + p);
        break;
    }
    f_KeyOf.erase(k);
    Count(c->CtxFlags(), -1);
    f_NetResults |= QOR_NR_MEMBERSHIP;
}

void TQORNetClientLists::ChangeFlags(TQORSVCContext* c, uint32_t aKeep, uint32_t aSet) {
    const bool visible = IsVisible(c);
    if (visible) Count(c->CtxFlags(), -1);
    c->CtxFlagsMask(aKeep, aSet);
    if (visible) Count(c->CtxFlags(), +1);
}

// ---------------------------------------------------------------------------
// frames

void TQORNetClientLists::UpdateListHeaders(const TQORSVCContext* aSpeaker) {
    const uint16_t idx = aSpeaker ? aSpeaker->QORNetworkIndex() : 0;
    for (FastStringA* f : {&f_ClientsV0, &f_ClientsV1FU, &f_ClientsV1DU}) {
        if (f->Len() < 3) continue;
        f->MutableData()[1] = static_cast<char>(idx >> 8);
        f->MutableData()[2] = static_cast<char>(idx & 0xFF);
    }
    if (f_ClientsV0S.Len() >= 3) {
        f_ClientsV0S.MutableData()[1] = 0;
        f_ClientsV0S.MutableData()[2] = aSpeaker ? 1 : 0;
    }
    if (Counter(TQORListForm::Count) > 0) {
        f_CountListCommand.Clear();
        f_CountListCommand.AppendChar(static_cast<char>(QOR_FR_COUNT_LIST));
        FastStrAddIntLn(f_CountListCommand, static_cast<int32_t>(f_VisualBias.size()));
    }
}

void TQORNetClientLists::RebuildListsOfClients(size_t aCount, int32_t aOutputBufferFactor,
                                               int32_t aActivityTimeoutSeconds) {
    const size_t n = std::min(aCount, f_VisualBias.size());
    f_ClientsV0S.Clear();
    f_ClientsV0S.Append(kAggrHead, kAggrHeadLen);
    f_ClientsV0S.Append(f_AggregateId);
    f_ClientsV0S.Append("</ID><DS>Count: ");
    FastStrAddInt(f_ClientsV0S, n > 0 ? static_cast<int32_t>(n - 1) : 0);
    f_ClientsV0S.Append("</DS>\r\n");

    PutHead(f_ClientsV0, QOR_FR_CLIENTS_V0);
    FastStrAddIntLn(f_ClientsV0, static_cast<int32_t>(n));
    PutHead(f_ClientsV1FU, QOR_FR_CLIENTS_V1FU);
    FastStrAddIntLn(f_ClientsV1FU, static_cast<int32_t>(n));
    for (size_t p = 0; p < n; ++p) {
        TQORSVCContext* c = f_VisualBias[p];
        c->OffsetInClientsListV0 = static_cast<int32_t>(f_ClientsV0.Len());
        f_ClientsV0.Append(c->ClientListItemV0());
        c->OffsetInClientsListV1FU = static_cast<int32_t>(f_ClientsV1FU.Len());
        f_ClientsV1FU.Append(c->ClientListItemV1U());
    }
    const int64_t limit = int64_t{aOutputBufferFactor} * static_cast<int64_t>(f_ClientsV0.Len()) +
                          int64_t{aActivityTimeoutSeconds} * 1700;
    f_OutputBufferLimitDynamicLastRebuild =
        static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
}

const std::string& TQORNetClientLists::DiffItem(const TQORSVCContext* c) {
    return (c->CtxFlags() & QOR_CF_UTF8) ? c->ClientListItemV1U() : c->ClientListItemV1A();
}

void TQORNetClientLists::WriteRemovalRun(int32_t& aStart, int32_t& aLen, TQORListDiffStats& s) {
    if (aLen == 0) return;
    char* p = f_ClientsV1DU.Extend(5);
    PutHex4(p, static_cast<uint16_t>(aStart));
    p[4] = '-';
    FastStrAddIntLn(f_ClientsV1DU, aLen);
    ++s.lds_Entries;
    aStart = -1;
    aLen = 0;
}

void TQORNetClientLists::RemoveBias(size_t j, int32_t& aStart, int32_t& aLen,
                                    TQORListDiffStats& s) {
    if (aLen == 0) aStart = static_cast<int32_t>(j);
    ++aLen;
    ++s.lds_Removed;
    TQORSVCContext* c = f_VisualBias[j];
    f_VisualBias.erase(f_VisualBias.begin() + static_cast<ptrdiff_t>(j));
    // No longer inside the full lists: a status patch must not touch them.
    c->OffsetInClientsListV0 = 0;
    c->OffsetInClientsListV1FU = 0;
    c->SetQORNetworkIndex(0);
    // A member the walk had to take out of order is still visible: it comes
    // back as a "+" entry and has not left the network.
    if (!IsVisible(c)) e_Owner.DropFromSentOrder(c);
}

void TQORNetClientLists::InsertBias(size_t i, size_t j, int32_t& aStart, int32_t& aLen,
                                    TQORListDiffStats& s) {
    WriteRemovalRun(aStart, aLen, s);
    TQORSVCContext* c = f_VisualOper[i];
    char* p = f_ClientsV1DU.Extend(5);
    PutHex4(p, static_cast<uint16_t>(i));
    p[4] = '+';
    f_ClientsV1DU.Append(DiffItem(c));
    f_VisualBias.insert(f_VisualBias.begin() + static_cast<ptrdiff_t>(j), c);
    // Its item went out whole: earlier marks would repeat it as "=" or "*".
    c->ClearClientListChanges();
    ++s.lds_Entries;
    ++s.lds_Added;
}

void TQORNetClientLists::PrepareListOfClientsDiff(TQORListDiffStats& s) {
    s = {};
    f_ClientsV1DU.Clear();
    f_ClientsV1DU.Append("\x84\xFF\xFF" "000000\r\n", 11);
    const auto& O = f_VisualOper;
    auto& B = f_VisualBias;
    size_t i = 0, j = 0;
    int32_t runStart = -1, runLen = 0;
    while (i < O.size() && j < B.size()) {
        while (i < O.size() && j < B.size()) {
            TQORSVCContext* o = O[i];
            const uint16_t idx = o->QORNetworkIndex();
            if (idx == 0 || idx != B[j]->QORNetworkIndex()) break;
            WriteRemovalRun(runStart, runLen, s);
            const uint32_t f = o->CtxFlags();
            if (f & QOR_CF_ITEM_CHANGED) {
                char* p = f_ClientsV1DU.Extend(5);
                PutHex4(p, static_cast<uint16_t>(i));
                p[4] = '=';
                f_ClientsV1DU.Append(DiffItem(o));
                ++s.lds_Entries;
                ++s.lds_Changed;
            } else if (f & QOR_CF_STATUS_CHANGED) {
                const std::string& item = DiffItem(o);
                char* p = f_ClientsV1DU.Extend(9);
                PutHex4(p, static_cast<uint16_t>(i));
                p[4] = '*';
                p[5] = item.size() > 0 ? item[0] : '0';
                p[6] = item.size() > 1 ? item[1] : '0';
                p[7] = '\r';
                p[8] = '\n';
                ++s.lds_Entries;
                ++s.lds_StatusChanged;
            }
            o->ClearClientListChanges();
            ++i;
            ++j;
        }
        if (i >= O.size() || j >= B.size()) break;
        size_t k = i;
        while (k < O.size() && O[k]->QORNetworkIndex() == 0) ++k;
        bool progress = false;
        if (k < O.size()) {
            const uint16_t x = O[k]->QORNetworkIndex();
            while (j < B.size() && B[j]->QORNetworkIndex() < x) {
                RemoveBias(j, runStart, runLen, s);
                progress = true;
            }
        } else {
            while (j < B.size()) {
                RemoveBias(j, runStart, runLen, s);
                progress = true;
            }
        }
        for (; i < k; ++i, ++j) {
            InsertBias(i, j, runStart, runLen, s);
            progress = true;
        }
        // The orders disagree (a member's place changed while it was listed):
        // the sent member is removed and comes back as a new one where it now
        // stands, so that the walk always advances.
        if (!progress && j < B.size()) RemoveBias(j, runStart, runLen, s);
    }
    while (j < B.size()) RemoveBias(j, runStart, runLen, s);
    for (; i < O.size(); ++i, ++j) InsertBias(i, j, runStart, runLen, s);
    WriteRemovalRun(runStart, runLen, s);
    s.lds_Count = static_cast<int32_t>(B.size());
    char* digits = f_ClientsV1DU.MutableData() + 3;
    int32_t e = std::min(s.lds_Entries, 999999);
    for (int d = 5; d >= 0; --d, e /= 10) digits[d] = static_cast<char>('0' + e % 10);
}

void TQORNetClientLists::RenumberClients() {
    for (size_t p = f_VisualBias.size(); p-- > 0;)
        f_VisualBias[p]->SetQORNetworkIndex(static_cast<uint16_t>(p + 1));
}

void TQORNetClientLists::SendListOfClients_WOLock(const TQORSVCContext* aSpeaker) {
    UpdateListHeaders(aSpeaker);
    // Each form is copied once into a frame that every member's buffer holds
    // by reference: the working buffers stay free for in-place patches.
    auto send = [&](uint32_t aMask, uint32_t aValue, const FastStringA& aF) GAX_REQUIRES(kHeartbeat) {
        e_Fanout.SendDataShared({nullptr, aMask, aValue, nullptr, 0},
                                TSharedFrame::Make(aF.View()));
    };
    if (Counter(TQORListForm::Count) > 0)
        send(QOR_CF_LIST_FORMAT | QOR_CF_LEAVING | QOR_CF_PARROT, QOR_CF_LIST_COUNT,
             f_CountListCommand);
    if (Counter(TQORListForm::DiffUTF8) > 0)
        send(QOR_CF_LIST_FORMAT | QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_PARROT | QOR_CF_UTF8,
             QOR_CF_LIST_DIFF | QOR_CF_NEWBIE | QOR_CF_UTF8, f_ClientsV1FU);
    send(QOR_CF_LIST_FORMAT | QOR_CF_LEAVING | QOR_CF_NEWBIE | QOR_CF_PARROT | QOR_CF_UTF8,
         QOR_CF_LIST_DIFF | QOR_CF_UTF8, f_ClientsV1DU);
    if (Counter(TQORListForm::QORAggr) > 0)
        e_Fanout.SendAggrListShared(
            {nullptr, QOR_CF_LIST_FORMAT | QOR_CF_AGGREGATE_LIST | QOR_CF_LEAVING | QOR_CF_PARROT,
             QOR_CF_AGGREGATE_LIST, nullptr, 0},
            TSharedFrame::Make(f_ClientsV0S.View()));
    if (Counter(TQORListForm::QORFull) > 0)
        send(QOR_CF_LIST_FORMAT | QOR_CF_AGGREGATE_LIST | QOR_CF_LEAVING | QOR_CF_PARROT, 0,
             f_ClientsV0);
}

TQORListDiffStats TQORNetClientLists::ListStep(const TQORSVCContext* aSpeaker,
                                               int32_t aOutputBufferFactor,
                                               int32_t aActivityTimeoutSeconds) {
    TQORListDiffStats s;
    if (f_NetResults & (QOR_NR_MEMBERSHIP | QOR_NR_STATUS | QOR_NR_ITEM_DATA)) {
        PrepareListOfClientsDiff(s);
        if (s.lds_Added == 0 && s.lds_Removed == 0) f_NetResults &= ~QOR_NR_MEMBERSHIP;
        if (s.lds_Changed > 0)
            f_NetResults |= QOR_NR_ITEM_DATA;
        else
            f_NetResults &= ~QOR_NR_ITEM_DATA;
        if (s.lds_StatusChanged == 0) f_NetResults &= ~QOR_NR_STATUS;
        if (s.lds_Entries > 0) RenumberClients();
    }
    if (f_NetResults & (QOR_NR_MEMBERSHIP | QOR_NR_ITEM_DATA)) {
        RebuildListsOfClients(f_VisualBias.size(), aOutputBufferFactor, aActivityTimeoutSeconds);
        if (!f_VisualBias.empty()) SendListOfClients_WOLock(aSpeaker);
    } else if ((f_NetResults & QOR_NR_STATUS) && !f_VisualBias.empty()) {
        SendListOfClients_WOLock(aSpeaker);
    }
    // The results are handled: the next step runs on new changes only.
    f_NetResults &= ~(QOR_NR_MEMBERSHIP | QOR_NR_STATUS | QOR_NR_ITEM_DATA);
    return s;
}

}  // namespace gax
