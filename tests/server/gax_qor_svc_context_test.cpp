#include "server/gax_qor_svc_context.h"

#include <gtest/gtest.h>

#include "protocol/gax_qor_sourceid.h"
#include "server/session_test_support.h"

using namespace gax;
using namespace session_test;

namespace {

using Err = TClientErrorType;

struct Joined {
    World w;
    TestSession s{w.svc, 0x04030201};
    explicit Joined(const std::string& aLine = BasicConnect(Tag("DS", "Hi"))) {
        s.Connect(aLine);
        s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Connect);
    }
};

}  // namespace

TEST(Context, ConstructionState) {
    TQORRoleScope role(kHeartbeat);
    FakeService svc;
    TestSession s(svc);
    EXPECT_EQ(s.CtxFlags(), 0x700820u);
    EXPECT_EQ(s.QORProtoStatus, TQORProtocolStatus::QOR_PS_WAIT_CONNECT_STR);
    EXPECT_EQ(s.CtxProtocol, TServProtocol::PROTO_UNKNOWN);
    EXPECT_EQ(s.LastClientVersion(), 2014004);
    EXPECT_EQ(s.ActLikeServerVersion(), 2014004);
    EXPECT_EQ(s.CtxCacheIndex, -1);
    EXPECT_EQ(s.CliManagersInfo[3].cmi_IdxA2, u"3");
}

TEST(Context, ListItemsByteExact) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    const std::string id = MakeSourceId("a@b.c");
    ASSERT_EQ(j.s.CliHashA(), id);
    EXPECT_EQ(j.s.ClientListItemV0(),
              "<S>0</S><M>0</M><NN>Country</NN><CT>City</CT><BC>PC Only</BC><CL>2</CL>"
              "<ON>CALL Name</ON><ID>" + id + "</ID><DS>Hi</DS>\r\n");
    EXPECT_EQ(j.s.ClientListItemV0Len(), 82 + 7 + 4 + 7 + 9 + 24 + 2);
    // Status byte 0x20 (PC, available), then country, city, band, callsign, id, description.
    EXPECT_EQ(j.s.ClientListItemV1A(),
              "20" "507Country" "604City" "307PC Only" "209CALL Name" "818" + id + "402Hi\r\n");
    // Without UTF-8 the client's V1 item is its V1A item.
    EXPECT_EQ(j.s.ClientListItemV1U(), j.s.ClientListItemV1A());

    Joined u(BasicConnect(Tag("CEF", "11") + U8(FullU8())));
    ASSERT_TRUE(u.s.CliUTF8());
    EXPECT_EQ(u.s.ClientListItemV1A().substr(0, 2), "20");  // 0x3F drops the UTF-8 bit
    EXPECT_EQ(u.s.ClientListItemV1U(), "A0" "504Land" "605K\xC3\xB6ln" "307PC Only"
                                       "207J\xC3\xBCrgen" "818" + MakeSourceId("a@b.c") +
                                           "400\r\n");
}

TEST(Context, VisualSortKeyIsSortableAndUnique) {
    Joined j;
    std::string plain = "2";
    plain += "Country" + std::string(13, ' ');
    plain += "City" + std::string(17, ' ');
    plain += "CALL Name" + std::string(12, ' ');
    plain += "PC Only" + std::string(14, ' ');
    plain += std::string("\x01\x02\x03\x04", 4);
    ASSERT_EQ(plain.size(), 88u);
    std::string swapped = plain;
    SwapKeyWordsInPlace(swapped.data(), 88);
    EXPECT_EQ(j.s.CliVisualSortKey(), swapped);
    EXPECT_EQ(swapped.substr(0, 4), "uoC2");
    EXPECT_EQ(swapped.substr(84, 4), std::string("\x04\x03\x02\x01", 4));
}

TEST(Context, StatusPatchesItemsAndNetworkLists) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    // The client's items stand inside the network's lists at some offset.
    FastStringA v0, v1;
    v0.Append("head");
    v0.Append(j.s.ClientListItemV0());
    v1.Append("xy");
    v1.Append(j.s.ClientListItemV1U());
    j.s.pNetworkClientsListV0 = &v0;
    j.s.OffsetInClientsListV0 = 4;
    j.s.pNetworkClientsListV1FU = &v1;
    j.s.OffsetInClientsListV1FU = 2;

    j.s.ClearClientListChanges();
    EXPECT_TRUE(j.s.SetVisibleStatus(vs_Absent));
    EXPECT_FALSE(j.s.SetVisibleStatus(vs_Absent));
    EXPECT_TRUE(j.s.SetTalkEnabled(false));
    EXPECT_TRUE(j.s.SetMuted(true));
    EXPECT_TRUE(j.s.CtxFlags() & QOR_CF_STATUS_CHANGED);
    // Absent (2) + 5 for talk denied; muted.
    EXPECT_EQ(j.s.ClientListItemV0().substr(0, 16), "<S>7</S><M>1</M>");
    EXPECT_EQ(v0.View().substr(4, 16), "<S>7</S><M>1</M>");
    // 0x20 PC | 0x08 muted | 0x04 talk denied | 0x02 absent.
    EXPECT_EQ(j.s.ClientListItemV1A().substr(0, 2), "2E");
    EXPECT_EQ(v1.View().substr(0, 4), "xy2E");
    EXPECT_EQ(v0.Len(), 4 + j.s.ClientListItemV0().size());

    EXPECT_TRUE(j.s.SetVisibleStatus(vs_Available));
    EXPECT_EQ(j.s.ClientListItemV0().substr(0, 4), "<S>5");
}

TEST(Context, SettersReportChangesAndSpareTheParrot) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    j.s.ClearClientListChanges();
    EXPECT_TRUE(j.s.SetMuted(true));
    EXPECT_FALSE(j.s.SetMuted(true));
    EXPECT_TRUE(j.s.SetMuted(false));
    EXPECT_FALSE(j.s.SetTalkEnabled(true));

    Joined p;
    p.s.MakeParrot();
    p.w.test.parrotMute = false;
    EXPECT_FALSE(p.s.SetMuted(true));
    EXPECT_FALSE(p.s.CtxFlags() & QOR_CF_MUTED);
    p.w.test.parrotMute = true;
    EXPECT_TRUE(p.s.SetMuted(true));
    // Denying the Parrot's talk reports a change but leaves it talking.
    EXPECT_TRUE(p.s.SetTalkEnabled(false));
    EXPECT_FALSE(p.s.CtxFlags() & QOR_CF_TALK_DENIED);

    j.s.SetFlagsTalkEnable(false);
    EXPECT_TRUE(j.s.CtxFlags() & QOR_CF_TALK_DENIED);
    j.s.ClearNewbieFlag();
    EXPECT_FALSE(j.s.CtxFlags() & QOR_CF_NEWBIE);
}

TEST(Context, LeavingBitSurvivesWholeWordAssignments) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    j.s.SetAsNotWork();
    j.s.tmRestoreInitialFlags();
    EXPECT_TRUE(j.s.CtxFlags() & QOR_CF_LEAVING);
    j.s.tmProcessAttributes(TQORSVCClientHandshakeType::fscht_Move);
    EXPECT_TRUE(j.s.CtxFlags() & QOR_CF_LEAVING);
    j.s.sent.clear();
    j.s.SendTXAPPROVAL();
    EXPECT_EQ(j.s.sent, "");  // a session on its way out gets no floor
}

TEST(Context, CacheSize) {
    TQORRoleScope role(kHeartbeat);
    FakeService svc;
    TestSession s(svc);
    s.CtxCacheIndex = 5;
    for (auto [size, words] : {std::pair{33, 2}, {0, 0}, {32, 1}, {-5, 0}}) {
        s.SetCtxCacheSize(size);
        EXPECT_EQ(s.CtxCacheArray().size(), size_t(words)) << size;
        EXPECT_EQ(s.CtxCacheSize(), words * 32);
        EXPECT_EQ(s.CtxCacheIndex, -1);
    }
}

TEST(Context, Senders) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    j.s.SetQORNetworkIndex(300);
    j.s.SendTXAPPROVAL();
    EXPECT_EQ(j.s.sent, std::string("\x01\x01\x2C", 3));
    j.s.sent.clear();
    j.s.CtxFlagsSet(QOR_CF_AGGREGATE_LIST);
    j.s.SendTXAPPROVAL();
    EXPECT_EQ(j.s.sent, std::string("\x01\x00\x02", 3));
    j.s.sent.clear();
    j.s.SendKA();
    j.s.SendString("ab");
    EXPECT_EQ(j.s.sent, std::string("\0ab", 3));

    j.s.AbortContext();
    j.s.AbortContext();
    EXPECT_EQ(j.s.aborts, 2);
    EXPECT_EQ(j.s.CtxProtocol, TServProtocol::PROTO_ABORT);
    EXPECT_EQ(j.s.QORProtoStatus, TQORProtocolStatus::QOR_PS_ABORT);
    EXPECT_TRUE(j.s.CtxFlags() & QOR_CF_LEAVING);
}

TEST(Context, ManagerApproval) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    j.w.test.mode = smm_QOR;
    j.w.test.mask = 0x3;
    j.s.ClearAllManagersInfo(&j.w.test);
    Err e = Err::cet_OK;
    // No answer recorded approves (the network counts the answers it waits for).
    EXPECT_TRUE(j.s.CheckApproved(e));
    j.s.CliManagersInfo[0].cmi_ManagerAnswer = Err::cet_WRONG;
    j.s.CliManagersInfo[1].cmi_ManagerAnswer = Err::cet_DUPL;
    j.s.RecalcApprovedManagersFlags(smm_QOR);
    EXPECT_FALSE(j.s.CheckApproved(e));
    EXPECT_EQ(e, Err::cet_DUPL);
    // Light mode approves a duplicate.
    j.w.test.mode = smm_Light;
    j.s.RecalcApprovedManagersFlags(smm_Light);
    EXPECT_TRUE(j.s.CheckApproved(e));
    // An empty mask approves nothing and leaves the error alone.
    j.w.test.mask = 0;
    e = Err::cet_WRONG;
    EXPECT_FALSE(j.s.CheckApproved(e));
    EXPECT_EQ(e, Err::cet_WRONG);
    j.w.test.mode = smm_Standalone;
    EXPECT_THROW(j.s.CheckApproved(e), Exception);

    struct Row {
        TQORSystemManagerMode Mode;
        const char* Approves;  // per answer NONE OK ERROR WRONG BLOCK DUPL
    };
    for (const Row& r : {Row{smm_Standalone, "111111"}, Row{smm_Notify, "111111"},
                         Row{smm_Light, "111001"}, Row{smm_QOR, "110000"}})
        for (int a = 0; a < 6; ++a)
            EXPECT_EQ(ManagerAnswerApproves(r.Mode, Err(a)), r.Approves[a] == '1') << r.Mode << a;
}

TEST(Context, UnregisterWithManagers) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    j.w.test.mask = 0x5;
    j.s.CliManagersInfo[0].cmi_ManagerId = "m0";
    j.s.CliManagersInfo[0].cmi_ManagerStatus = TQORClientSysManStatus::csms_OK;
    j.s.CliManagersInfo[1].cmi_ManagerId = "m1";  // not in the mask
    j.s.CliManagersInfo[1].cmi_ManagerStatus = TQORClientSysManStatus::csms_OK;
    j.s.CliManagersInfo[2].cmi_ManagerId = "m2";  // its registration failed
    j.s.CliManagersInfo[2].cmi_ManagerStatus = TQORClientSysManStatus::csms_Error;
    j.s.CliManagersInfo[2].cmi_ManagerAnswer = Err::cet_BLOCK;
    j.s.UnregisterWithManagers();
    ASSERT_EQ(j.w.svc.unregistered.size(), 1u);
    EXPECT_EQ(j.w.svc.unregistered[0].ManagerId, "m0");
    EXPECT_EQ(j.w.svc.unregistered[0].ClientId, j.s.CliHashA());
    EXPECT_EQ(j.s.CliManagersInfo[0].cmi_ManagerStatus, TQORClientSysManStatus::csms_NoManager);
    EXPECT_EQ(j.s.CliManagersInfo[1].cmi_ManagerStatus, TQORClientSysManStatus::csms_OK);
    EXPECT_EQ(j.s.CliManagersInfo[2].cmi_ManagerAnswer, Err::cet_NONE);
}

TEST(Context, PostsNameTheSessionByHandleAndKey) {
    TQORRoleScope role(kHeartbeat);
    Joined j;
    using Cmd = TQORServNetworkCommand;
    j.s.M2_QOR_Process_Rx_Request();  // still a newbie: nothing
    j.s.ClearNewbieFlag();
    j.s.M2_QOR_Process_Rx_Request();
    j.s.M2_QOR_NetQueueAttachNetwork();
    j.s.M2_QOR_Process_Sound(false, std::string(68, 's'));
    j.s.SetAsNotWork();
    j.s.M2_QOR_Process_Rx_Request();  // leaving: nothing
    j.s.M2_QOR_Process_Tx_Request();
    std::vector<TQORSVCPoster::RecordPtr> recs;
    while (auto r = j.w.svc.poster.ServQueue().Pull()) recs.push_back(std::move(r));
    ASSERT_EQ(recs.size(), 4u);
    const Cmd expected[] = {Cmd::snc_RxRequest, Cmd::snc_AttachNetwork, Cmd::snc_TxSoundShort,
                            Cmd::snc_TxRequest};
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i]->nqr_Cmd, expected[i]);
        EXPECT_TRUE(recs[i]->nqr_Context.Is(static_cast<const TQORSVCWrkCtx*>(&j.s)));
        EXPECT_EQ(recs[i]->nqr_GlobalKey, 0x04030201u);
    }
    EXPECT_EQ(recs[2]->nqr_DataS1, std::string(68, 's'));
}
