// The list files end to end without the running service: golden files of every
// type read, written and read back; each reader's bad lines; expiry; the merges
// of a reread and what they report; the texts clients get.
#include <gtest/gtest.h>

#include "foundation/file_test_support.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_mutes.h"
#include "server/gax_qor_svc_notices.h"
#include "server/gax_qor_svc_rights.h"

using namespace gax;
using namespace file_test;

namespace {

const std::string kData = [] {
    std::string f = __FILE__;
    return f.substr(0, f.find_last_of('/')) + "/data/";
}();

const std::u16string kSet = u"\u0421\u0435\u0442\u044C";  // a Cyrillic network name
const std::string kSetUtf8 = "\xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C";
const TQORSVCNetworkNameList kNets({u"Main", u"Test", kSet});

constexpr const char* kAlice = "+/fGrsHUKAt8JwTBwEeL1gcz";
constexpr const char* kBob = "EKw5BWpLbx9oBNckUY/y3AfD";
constexpr const char* kCarol = "6Fvepy92PXYnmhb3CQFRpA+B";
constexpr const char* kAdmin = "lmFOyYqgwNLudXltztbfVAmY";
constexpr const char* kOwner = "tfyg+jQADJCNRjE+0dc34Aat";
constexpr const char* kDave = "FFVlYoh73H+BrTwe2EGP3wJ9";

constexpr int64_t kNow = 1750000000;

std::string Hex(std::string_view s) {
    std::string out;
    AppendHexField(out, s);
    return out;
}

// A mutes line with the given fields over a valid default.
std::string MuteLine(const std::string& net, const std::string& id, const std::string& type = "2",
                     const std::string& reg = "u1700000000", const std::string& tail = "") {
    return net + "|" + id + "|" + Hex("ADM") + "|" + Hex("DE") + "|||" + Hex("DL1ABC") + "|" +
           type + "|" + reg + tail + "\r\n";
}

class ListFiles : public TempDirTest {
  protected:
    std::u16string Out(const char* name) { return U(P(name)); }
};

}  // namespace

// ---------------------------------------------------------------- golden files

TEST_F(ListFiles, GoldenMutesAndBlocksRoundTrip) {
    for (const char* name : {"mutes.dat", "blocks.dat"}) {
        bool rewrite = false;
        auto recs = ReadMuteBlockFile(U(kData + name), kNow, rewrite);
        EXPECT_FALSE(rewrite) << name;
        auto lists = DistributeRecords<TQORSVCMuteBlock>(recs, kNets, rewrite);
        EXPECT_FALSE(rewrite) << name;
        WriteDataFile(Out(name), U(dir), MakeListSnapshot(lists));
        EXPECT_EQ(ReadAll(P(name)), ReadAll(kData + name)) << name;
        bool again = false;
        auto back = ReadMuteBlockFile(Out(name), kNow, again);
        ASSERT_EQ(back.size(), recs.size());
        for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(back[i].Data, recs[i].Data);
    }
    bool rewrite = false;
    auto recs = ReadMuteBlockFile(U(kData + "mutes.dat"), kNow, rewrite);
    ASSERT_EQ(recs.size(), 3u);
    const TQORSVCMuteBlockData& bob = recs[0].Data;  // file order
    EXPECT_EQ(recs[0].NetworkNameUCS2, u"Main");
    EXPECT_EQ(bob.mbd_EMailHashA, kBob);
    EXPECT_TRUE(bob.mbd_UTF8);
    EXPECT_EQ(bob.mbd_CallsignOpnameUTF8, "JA1XYZ \xE5\xB1\xB1\xE7\x94\xB0");
    EXPECT_EQ(bob.mbd_ByAdminPrivlege, clpr_SERVOWNER);
    EXPECT_EQ(bob.mbd_ByAdminId, kOwner);
    EXPECT_EQ(bob.mbd_Time, 0);
    const TQORSVCMuteBlockData& alice = recs[1].Data;
    EXPECT_EQ(alice.mbd_Time, 2000000000);
    EXPECT_EQ(alice.mbd_ReleaseEpoch, 3700000000);
    EXPECT_EQ(recs[2].NetworkNameUCS2, kSet);
    EXPECT_EQ(recs[2].Data.mbd_ClientType, clt_CROSSLINK);
    EXPECT_EQ(recs[2].Data.mbd_RegisterEpoch, 0);
}

TEST_F(ListFiles, GoldenAdminsRightsRoundTrip) {
    bool rewrite = false;
    auto admins = ReadAdminsFile(U(kData + "admins.dat"), rewrite);
    auto al = DistributeRecords<TQORSVCAdmin>(admins, kNets, rewrite);
    WriteDataFile(Out("admins.dat"), U(dir), MakeListSnapshot(al));
    EXPECT_EQ(ReadAll(P("admins.dat")), ReadAll(kData + "admins.dat"));
    ASSERT_EQ(admins.size(), 2u);
    EXPECT_FALSE(admins[0].Data.add_UTF8);
    EXPECT_TRUE(admins[1].Data.add_UTF8);
    EXPECT_EQ(admins[1].Data.add_CityCityPartUTF8, "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0");

    auto rights = ReadRightsFile(U(kData + "rights.dat"), rewrite);
    auto rl = DistributeRecords<TQORSVCAccess>(rights, kNets, rewrite);
    WriteDataFile(Out("rights.dat"), U(dir), MakeListSnapshot(rl));
    EXPECT_EQ(ReadAll(P("rights.dat")), ReadAll(kData + "rights.dat"));
    ASSERT_EQ(rights.size(), 3u);
    EXPECT_EQ(rights[0].Data.acd_EMailA, "bob@example.org");
    EXPECT_FALSE(rights[0].Data.acd_Marked);
    EXPECT_TRUE(rights[1].Data.acd_Marked);
    EXPECT_EQ(rights[1].Data.acd_EMailSort, std::string("alice@example.org\0\0\0", 20));
    EXPECT_FALSE(rewrite);
}

TEST_F(ListFiles, GoldenNoticesModesOwnerRoundTrip) {
    bool rewrite = false;
    auto notices = ReadNoticesFile(U(kData + "notices.dat"), rewrite);
    auto nl = DistributeNotices(notices, kNets, true, rewrite);
    WriteDataFile(Out("notices.dat"), U(dir), MakeNoticesSnapshot(nl, kNets));
    EXPECT_EQ(ReadAll(P("notices.dat")), ReadAll(kData + "notices.dat"));
    ASSERT_TRUE(nl[2].has_value());
    EXPECT_EQ(nl[2]->nod_NoticeANSI, "");
    EXPECT_FALSE(nl[1].has_value());

    auto modes = ReadModesFile(U(kData + "modes.dat"), rewrite);
    auto ml = DistributeModes(modes, kNets, rewrite);
    WriteDataFile(Out("modes.dat"), U(dir), MakeModesSnapshot(ml, kNets));
    EXPECT_EQ(ReadAll(P("modes.dat")), ReadAll(kData + "modes.dat"));
    EXPECT_EQ(ml[0].Packed(), 256);
    EXPECT_EQ(ml[1].Packed(), 257);
    EXPECT_EQ(ml[2].Packed(), 0);

    TQORSVCOwnerData owner;
    ASSERT_TRUE(ReadOwnerFile(U(kData + "owner.dat"), owner, rewrite));
    WriteDataFile(Out("owner.dat"), U(dir),
                  {MakeOwnerFileLine(owner.od_CallsignOpnameANSI, owner.od_CallsignOpnameUTF8)});
    EXPECT_EQ(ReadAll(P("owner.dat")), ReadAll(kData + "owner.dat"));
    EXPECT_EQ(owner.od_CallsignOpnameANSI, "DL0OWN Server");
    EXPECT_FALSE(owner.od_aChanged);
    EXPECT_FALSE(rewrite);
}

// What a client list shows of an entry.
TEST(ListItems, MuteAdminRightTexts) {
    TQORSVCMuteBlockData d;
    d.mbd_RegisterEpoch = 1700000000;
    d.mbd_Time = 2000000000;
    d.mbd_EMailHashA = kAlice;
    d.mbd_CountryANSI = "Germany";
    d.mbd_CityCityPartANSI = "Berlin";
    d.mbd_BandChannelANSI = "PC";
    d.mbd_CallsignOpnameANSI = "DL1ABC Alice";
    d.mbd_ByAdminNameANSI = "DL9ADM";
    TQORSVCMuteBlock m("Main");
    m.SetFromData(d);
    EXPECT_EQ(m.ReleaseEpochR(), "3700000000");
    EXPECT_EQ(m.RecordForClientV0(),
              "<AI>DL9ADM</AI><NN>Germany</NN><CT>Berlin</CT><BC>PC</BC><CM>2</CM>"
              "<ON>DL1ABC Alice</ON><ID>+/fGrsHUKAt8JwTBwEeL1gcz</ID><RT>3700000000</RT>\r\n");
    EXPECT_EQ(m.RecordForClientV1(),
              "02" "906DL9ADM" "507Germany" "606Berlin" "302PC" "20CDL1ABC Alice"
              "818+/fGrsHUKAt8JwTBwEeL1gcz" "C0A1700000000" "B0A3700000000\r\n");
    // A permanent entry without an admin: empty typed fields still carry "00".
    d.mbd_Time = 0;
    d.mbd_ByAdminNameANSI.clear();
    m.SetFromData(d);
    EXPECT_EQ(m.RecordForClientV1().substr(0, 5), "02900");
    const std::string v1 = m.RecordForClientV1();
    EXPECT_EQ(v1.substr(v1.size() - 15), "C0A1700000000\r\n");  // no release time
    EXPECT_EQ(m.RecordForClientV0().find("<RT>"), std::string::npos);

    // Admin whose UTF-8 fields are invalid: kept, shown with the 8-bit fields.
    bool rewrite = false;
    auto admins = ParseAdminsFileBytes(std::string(kQORSVCDataFileHeader) + "Main|" + kAdmin +
                                           "|" + Hex("DE") + "|||" + Hex("DL9") + "|1|u5|" +
                                           Hex("\xFF") + "|||\r\n",
                                       rewrite);
    ASSERT_EQ(admins.size(), 1u);
    EXPECT_FALSE(rewrite);
    EXPECT_FALSE(admins[0].Data.add_UTF8);
    EXPECT_EQ(admins[0].Data.add_CountryUTF8, "\xFF");
    TQORSVCAdmin a("Main");
    a.SetAdminFromData(admins[0].Data);
    EXPECT_EQ(a.RecordForNetworkV1(),
              std::string("01" "502DE" "600" "300" "203DL9" "818") + kAdmin + "C015\r\n");
    EXPECT_EQ(a.RecordForNetworkV0(), std::string("<NN>DE</NN><CT></CT><BC></BC><CM>1</CM>"
                                                  "<ON>DL9</ON><ID>") +
                                          kAdmin + "</ID>\r\n");

    // Rights items say "0" for a marked entry.
    TQORSVCAccessData r;
    r.acd_EMailA = "a@b.cd";
    r.acd_Marked = true;
    TQORSVCAccess acc("Main");
    acc.SetRightFromData(r);
    EXPECT_EQ(acc.AccessRecordV0(),
              "<AI>0</AI><NN></NN><CT></CT><BC></BC><ON></ON><ID>a@b.cd</ID>\r\n");
    EXPECT_EQ(acc.AccessRecordV1(), "00" "500" "600" "300" "200" "006a@b.cd\r\n");
    EXPECT_TRUE(acc.SetMarked(false));
    EXPECT_FALSE(acc.SetMarked(false));
    EXPECT_EQ(acc.AccessRecordV1().substr(0, 2), "01");
    EXPECT_EQ(acc.RecordForFile(), "Main|0|" + Hex("a@b.cd") + "|||||2||||||\r\n");
}

// ---------------------------------------------------------------- bad lines

TEST(ListReaders, MutesBadLineTable) {
    const std::string hdr(kQORSVCDataFileHeader);
    struct {
        std::string line;
        bool kept;
        bool rewrite;
    } cases[] = {
        {MuteLine("Main", kAlice), true, false},
        {MuteLine("main", kAlice), true, false},  // the network is matched later
        {MuteLine("Main", std::string(kAlice).substr(0, 22)), true, true},
        {MuteLine("Main", "not-an-id-at-all-xxxxxxx"), false, true},
        {"Main\r\n", false, true},
        {MuteLine("  ", kAlice), false, true},
        {MuteLine("Ma\xFFin", kAlice), false, true},
        {MuteLine("Main", kAlice, "7"), false, true},
        {MuteLine("Main", kAlice, ""), false, true},
        {MuteLine("Main", kAlice, "2", "20231114221320123"), true, true},
        {MuteLine("Main", kAlice, "2", "u-1"), true, true},
        {"Main|" + std::string(kAlice) + "|ADX|||||2|u1\r\n", false, true},  // bad hex
        {"Main|" + std::string(kAlice) + "|414|||||2|u1\r\n", false, true},  // odd digits
        {"Main|" + std::string(kAlice) + "|4\x01" "1|||||2|u1\r\n", false, true},
        // UTF-8 country invalid: kept, every UTF-8 text emptied
        {MuteLine("Main", kAlice, "2", "u1", "|" + Hex("A") + "|" + Hex("\xC3")), true, true},
        // a duration with a register time far enough back has run out
        {MuteLine("Main", kAlice, "2", "u" + std::to_string(kNow - 61), "||||||1||60"), false,
         true},
        {MuteLine("Main", kAlice, "2", "u" + std::to_string(kNow - 59), "||||||1||60"), true,
         false},
        // without a register time a duration cannot run: permanent, rewritten
        {MuteLine("Main", kAlice, "2", "", "||||||1||60"), true, true},
        {MuteLine("Main", kAlice, "2", "u1", "||||||1||x"), true, true},
    };
    for (const auto& c : cases) {
        bool rewrite = false;
        auto recs = ParseMuteBlockFileBytes(hdr + c.line, kNow, rewrite);
        EXPECT_EQ(recs.size(), c.kept ? 1u : 0u) << c.line;
        EXPECT_EQ(rewrite, c.rewrite) << c.line;
    }
    // The fields a line may leave out.
    bool rewrite = false;
    auto recs = ParseMuteBlockFileBytes(
        hdr + MuteLine("Main", kAlice, "2", "u1", "|" + Hex("A") + "|" + Hex("\xC3")) +
            MuteLine("Main", kBob) + MuteLine("Test", kCarol, "2", "u1", "||||||9|bad|-5"),
        kNow, rewrite);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_FALSE(recs[0].Data.mbd_UTF8);
    EXPECT_EQ(recs[0].Data.mbd_ByAdminNameUTF8, "");
    EXPECT_EQ(recs[0].Data.mbd_CountryUTF8, "");
    EXPECT_EQ(recs[1].Data.mbd_ByAdminPrivlege, clpr_ADMIN);  // no privilege field
    EXPECT_EQ(recs[2].Data.mbd_ByAdminPrivlege, clpr_ADMIN);  // 9 is none
    EXPECT_EQ(recs[2].Data.mbd_ByAdminId, "");
    EXPECT_EQ(recs[2].Data.mbd_Time, 0);

    EXPECT_EQ(Catch([&] {
                  ParseMuteBlockFileBytes(hdr + MuteLine("Main", kAlice) + std::string(9000, 'x'),
                                          kNow, rewrite);
              }),
              u"line 6: Collector got too long string");
}

TEST(ListReaders, AdminsRightsBadLineTable) {
    const std::string hdr(kQORSVCDataFileHeader);
    const std::string a = std::string("Main|") + kAdmin + "|" + Hex("DE") + "|||" + Hex("X") + "|";
    struct {
        std::string bytes;
        size_t kept;
        bool rewrite;
    } admins[] = {
        {hdr + a + "1|u7|||\r\n", 1, false},
        {hdr.substr(3) + a + "1|u7\r\n", 1, true},  // no byte-order mark: rewritten with it
        {hdr + a + "1|u0\r\n", 1, true},           // "u0" is a bad time here
        {hdr + a + "|u7\r\n", 0, true},            // no client type
        {hdr + a + "1|u7|4\r\n", 0, true},         // bad UTF-8 hex
        {hdr + "Main\r\n", 0, true},
        // two lines for one admin: both read, the later time wins when sorted
        {hdr + a + "1|u9\r\n" + a + "1|u7\r\n", 2, false},
    };
    for (const auto& c : admins) {
        bool rewrite = false;
        EXPECT_EQ(ParseAdminsFileBytes(c.bytes, rewrite).size(), c.kept) << c.bytes;
        EXPECT_EQ(rewrite, c.rewrite) << c.bytes;
    }
    bool rewrite = false;
    auto two = ParseAdminsFileBytes(hdr + a + "1|u9\r\n" + a + "1|u7\r\n", rewrite);
    auto lists = DistributeRecords<TQORSVCAdmin>(two, kNets, rewrite);
    EXPECT_TRUE(rewrite);
    ASSERT_EQ(lists[0]->Count(), 1);
    EXPECT_EQ(lists[0]->At(0)->RegisterEpoch(), 9);

    const std::string e = Hex("a@b.cd");
    struct {
        std::string line;
        bool kept;
        bool marked;
        bool rewrite;
    } rights[] = {
        {"Main|1|" + e + "|||||2|u5|||||\r\n", true, true, false},  // the writer's "|" at the end
        {"Main|x|" + e + "|||||2|u5\r\n", true, true, false},
        {"Main|yes|" + e + "|||||2|u5\r\n", true, false, false},
        {"Main|0|" + e + "|||||2|u5\r\n", true, false, false},
        {"Main||" + e + "|||||2|u5\r\n", true, false, false},
        {"Main|1|" + e + "|||||2|u0\r\n", true, true, true},
        {"Main|1||||||2|u5\r\n", false, false, true},  // no e-mail
        {"Main|1\r\n", false, false, true},
        {"Main|1|" + e + "|||||5|u5\r\n", false, false, true},
        {"Main|1|" + e + "|||||2|u5|" + Hex("\xE6\x97") + "\r\n", true, true, true},
    };
    for (const auto& c : rights) {
        bool rw = false;
        auto recs = ParseRightsFileBytes(hdr + c.line, rw);
        ASSERT_EQ(recs.size(), c.kept ? 1u : 0u) << c.line;
        if (c.kept) {
            EXPECT_EQ(recs[0].Data.acd_Marked, c.marked) << c.line;
        }
        EXPECT_EQ(rw, c.rewrite) << c.line;
    }
}

TEST(ListReaders, NoticesModesOwnerBadLineTable) {
    const std::string hdr(kQORSVCDataFileHeader);
    struct {
        std::string line;
        bool kept;
        bool rewrite;
    } notices[] = {
        {"Main|" + Hex("hi") + "|" + Hex("hi") + "\r\n", true, false},
        {"Main|" + Hex("hi") + "\r\n", true, false},
        {"Main||\r\n", false, true},  // both texts empty: dropped and saved without it
        {"Main|" + Hex(" hi ") + "|\r\n", true, true},
        {"Main|" + std::string(1200, '4') + "|\r\n", true, true},  // 600 bytes: cut to 500
        {"Main||" + Hex("\xC3") + "\r\n", false, true},
        {"Main|4|\r\n", false, true},
        {"|" + Hex("hi") + "|\r\n", false, true},
    };
    for (const auto& c : notices) {
        bool rw = false;
        auto recs = ParseNoticesFileBytes(hdr + c.line, rw);
        EXPECT_EQ(recs.size(), c.kept ? 1u : 0u) << c.line;
        EXPECT_EQ(rw, c.rewrite) << c.line;
        if (c.line.size() > 1000) {
            EXPECT_EQ(recs.at(0).Data.nod_NoticeANSI.size(), 500u);
        }
    }
    // Control bytes in a notice become blanks before it is stored.
    bool rw = false;
    auto ctl = ParseNoticesFileBytes(hdr + "Main|" + Hex("a\r\nb") + "\r\n", rw);
    EXPECT_EQ(ctl.at(0).Data.nod_NoticeANSI, "a  b");
    EXPECT_TRUE(rw);

    struct {
        std::string line;
        bool kept;
        int32_t packed;
        bool rewrite;
    } modes[] = {
        {"Main|1|0", true, 256, false},  {"Main|0|1", true, 1, false},
        {"Main|0|0", false, 0, true},    {"Main|01|0", true, 256, true},
        {"Main| 2|-1", true, 257, true}, {"Main|1", false, 0, true},
        {"Main|x|1", false, 0, true},    {"|1|1", false, 0, true},
        {"  Main|1|1  ", true, 257, false}, {"; Main|1|1", false, 0, false},
        // Blanks around a value (a hand-edited file) keep the mode on.
        {"Main|1 |0", true, 256, true},  {"Main | 0\t| 1", true, 1, true},
    };
    for (const auto& c : modes) {
        bool rw2 = false;
        auto recs = ParseModesFileBytes(hdr + c.line + "\r\n", rw2);
        ASSERT_EQ(recs.size(), c.kept ? 1u : 0u) << c.line;
        if (c.kept) {
            EXPECT_EQ(recs[0].Data.Packed(), c.packed) << c.line;
        }
        EXPECT_EQ(rw2, c.rewrite) << c.line;
    }

    TQORSVCOwnerData o;
    bool rw3 = false;
    EXPECT_TRUE(ParseOwnerFileBytes(hdr + "callsign|" + Hex("A") + "|" + Hex("B") + "\r\n" +
                                        "CALLSIGN|" + Hex("C") + "|" + Hex("D") + "\r\n",
                                    o, rw3));
    EXPECT_EQ(o.od_CallsignOpnameANSI, "C");  // the last accepted line
    EXPECT_FALSE(rw3);
    EXPECT_FALSE(ParseOwnerFileBytes(hdr + "NAME|41|42\r\n", o, rw3));
    EXPECT_TRUE(rw3);
    EXPECT_TRUE(o.od_aChanged);
    EXPECT_EQ(Catch([&] {
                  ParseNoticesFileBytes(hdr + "Main|" + std::string(8200, '4') + "\r\n", rw);
              }),
              u"line 5: Collector got too long string");
}

// ---------------------------------------------------------------- per network

TEST(ListNetworks, RecordsMatchNetworksIgnoringCaseAndPickOneLine) {
    const std::string hdr(kQORSVCDataFileHeader);
    bool rewrite = false;
    auto recs = ParseMuteBlockFileBytes(
        hdr + MuteLine("main", kAlice) + MuteLine("Nowhere", kBob) + MuteLine("TEST", kCarol),
        kNow, rewrite);
    EXPECT_FALSE(rewrite);
    auto lists = DistributeRecords<TQORSVCMuteBlock>(recs, kNets, rewrite);
    EXPECT_TRUE(rewrite);  // the unknown network's record is dropped and saved away
    ASSERT_TRUE(lists[0] && lists[1]);
    EXPECT_FALSE(lists[2]);
    EXPECT_EQ(lists[0]->At(0)->Key(), kAlice);
    // Saved under the network's own spelling.
    EXPECT_EQ(MakeListSnapshot(lists)[0].substr(0, 5), "Main|");

    auto notices = ParseNoticesFileBytes(
        hdr + "Main|" + Hex("first") + "\r\nMain|" + Hex("second") + "\r\n", rewrite);
    bool a = false, b = false;
    EXPECT_EQ(DistributeNotices(notices, kNets, true, a)[0]->nod_NoticeANSI, "first");
    EXPECT_EQ(DistributeNotices(notices, kNets, false, b)[0]->nod_NoticeANSI, "second");
    EXPECT_TRUE(a && b);

    auto modes = ParseModesFileBytes(hdr + "Main|1|0\r\nMAIN|0|1\r\nTest|1|1\r\n", rewrite);
    bool m = false;
    auto ml = DistributeModes(modes, TQORSVCNetworkNameList({u"Main", u"Test", u"Other"}), m);
    EXPECT_TRUE(m);
    EXPECT_EQ(ml[0].Packed(), 256);  // the first line for a network stays
    EXPECT_EQ(ml[2].Packed(), 0);    // no line: both modes off
}

// Several lines for one client: the latest register time stays, and of equal
// times the later line; the file is saved again either way.
TEST(ListNetworks, DuplicateKeysKeepTheLatestTimeThenTheLaterLine) {
    struct {
        std::vector<std::pair<const char*, const char*>> lines;  // register time, client type
        TQORClientType kept;
    } cases[] = {
        {{{"u5", "0"}, {"u9", "1"}}, clt_GATEWAY},
        {{{"u9", "0"}, {"u5", "1"}}, clt_CROSSLINK},
        {{{"u7", "0"}, {"u7", "1"}}, clt_GATEWAY},
        {{{"u7", "0"}, {"u9", "1"}, {"u9", "2"}, {"u3", "0"}}, clt_PC},
        {{{"u9", "2"}, {"u7", "0"}, {"u9", "1"}}, clt_GATEWAY},
    };
    for (const auto& c : cases) {
        std::string bytes(kQORSVCDataFileHeader);
        bytes += MuteLine("Test", kBob);
        for (const auto& [reg, type] : c.lines) bytes += MuteLine("Main", kAlice, type, reg);
        bytes += MuteLine("Main", kCarol);
        bool rewrite = false;
        auto lists = DistributeRecords<TQORSVCMuteBlock>(
            ParseMuteBlockFileBytes(bytes, kNow, rewrite), kNets, rewrite);
        EXPECT_TRUE(rewrite);
        ASSERT_TRUE(lists[0] && lists[1]);
        ASSERT_EQ(lists[0]->Count(), 2);
        EXPECT_EQ(lists[0]->TimeCount(), 2);
        const TQORSVCMuteBlock* e = lists[0]->Find(kAlice);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->GetData().mbd_ClientType, c.kept) << c.lines.size();
        EXPECT_EQ(lists[1]->Count(), 1);
    }
}

TEST(ListNetworks, ExpiryWhenReadAndAtAPing) {
    const std::string hdr(kQORSVCDataFileHeader);
    bool rewrite = false;
    auto recs = ParseMuteBlockFileBytes(
        hdr + MuteLine("Main", kAlice, "2", "u" + std::to_string(kNow - 10), "||||||1||60") +
            MuteLine("Main", kBob, "2", "u" + std::to_string(kNow - 10), "||||||1||100") +
            MuteLine("Main", kCarol),
        kNow, rewrite);
    EXPECT_FALSE(rewrite);
    auto lists = DistributeRecords<TQORSVCMuteBlock>(recs, kNets, rewrite);
    TQORSVCMuteBlockList& l = *lists[0];
    ASSERT_EQ(l.Count(), 3);
    std::vector<std::string> gone;
    EXPECT_FALSE(ExpireMuteBlockEntries(l, kNow + 49, &gone));
    EXPECT_TRUE(ExpireMuteBlockEntries(l, kNow + 50, &gone));  // at its release time
    EXPECT_EQ(gone, std::vector<std::string>{kAlice});
    EXPECT_EQ(l.Count(), 2);
    EXPECT_EQ(l.TimeCount(), 2);
    EXPECT_TRUE(ExpireMuteBlockEntries(l, kNow + 1000, &gone));
    EXPECT_EQ(gone.back(), kBob);
    ASSERT_EQ(l.Count(), 1);  // the permanent one stays
    // The save holds only what is left.
    auto lines = MakeListSnapshot(lists);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(kCarol), std::string::npos);
}

TEST(ListNetworks, WhoMayLiftAnEntry) {
    TQORSVCMuteBlockData byAdmin;
    byAdmin.mbd_ByAdminPrivlege = clpr_ADMIN;
    byAdmin.mbd_ByAdminId = kAdmin;
    TQORSVCMuteBlockData byNetOwner;
    byNetOwner.mbd_ByAdminPrivlege = clpr_NETOWNER;
    byNetOwner.mbd_ByAdminId = kOwner;
    struct {
        const TQORSVCMuteBlockData* entry;
        TQORClientPrivilege actor;
        const char* actorId;
        bool level, exact, may;
    } cases[] = {
        {&byAdmin, clpr_ADMIN, kDave, false, false, true},
        {&byAdmin, clpr_ADMIN, kDave, false, true, false},
        {&byAdmin, clpr_ADMIN, kAdmin, false, true, true},
        {&byNetOwner, clpr_USER, kDave, false, false, true},
        {&byNetOwner, clpr_ADMIN, kDave, true, false, false},
        {&byAdmin, clpr_ADMIN, kDave, true, true, false},
        {&byAdmin, clpr_ADMIN, kAdmin, true, true, true},
        {&byAdmin, clpr_NETOWNER, kDave, true, true, true},
        {&byNetOwner, clpr_NETOWNER, kDave, true, true, false},
        {&byNetOwner, clpr_NETOWNER, kDave, true, false, true},
        {&byNetOwner, clpr_SERVOWNER, kDave, true, true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MayLiftMuteBlock(*c.entry, c.actor, c.actorId, c.level, c.exact), c.may)
            << int(c.actor) << c.level << c.exact;

    TQORSVCMuteBlockList l("Main");
    TQORSVCMuteBlockData d = byAdmin;
    d.mbd_EMailHashA = kBob;
    l.AddOrUpdateFromData(d);
    EXPECT_FALSE(RemoveMuteBlockEntry(l, kBob, clpr_ADMIN, kDave, false, true));
    EXPECT_FALSE(RemoveMuteBlockEntry(l, kCarol, clpr_SERVOWNER, kDave, false, false));
    EXPECT_TRUE(RemoveMuteBlockEntry(l, kBob, clpr_ADMIN, kAdmin, false, true));
    EXPECT_EQ(l.Count(), 0);
    EXPECT_EQ(l.TimeCount(), 0);
}

// ---------------------------------------------------------------- merges

namespace {

TQORSVCMuteBlockData Mute(const char* id, int64_t reg, const char* country = "DE") {
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA = id;
    d.mbd_RegisterEpoch = reg;
    d.mbd_CountryANSI = country;
    return d;
}

template <class List, class Data>
std::unique_ptr<List> ListOf(const std::vector<Data>& items) {
    auto l = std::make_unique<List>("Main");
    for (const Data& d : items) l->AddOrUpdateFromData(d);
    return l;
}

}  // namespace

TEST(ListMerges, MutesAndBlocks) {
    for (bool compare : {false, true}) {
        auto net = ListOf<TQORSVCMuteBlockList>(std::vector<TQORSVCMuteBlockData>{
            Mute(kAlice, 10), Mute(kBob, 20), Mute(kCarol, 30)});
        auto read = ListOf<TQORSVCMuteBlockList>(std::vector<TQORSVCMuteBlockData>{
            Mute(kBob, 20, "JP"), Mute(kCarol, 30), Mute(kDave, 5)});
        TQORSVCListMergeOutcome out;
        EXPECT_TRUE(MergeMuteBlockList(*net, *read, false, compare, out));
        EXPECT_EQ(out.Added, std::vector<std::string>{kDave});    // muted if connected
        EXPECT_EQ(out.Removed, std::vector<std::string>{kAlice});  // unmuted if connected
        EXPECT_EQ(out.Changed, compare ? std::vector<std::string>{kBob} : std::vector<std::string>{});
        EXPECT_EQ(net->Find(kBob)->GetData().mbd_CountryANSI, compare ? "JP" : "DE");
        ASSERT_EQ(net->Count(), 3);
        ASSERT_EQ(net->TimeCount(), 3);
        EXPECT_EQ(net->ByTimeAt(0)->Key(), kDave);  // the oldest first
        for (int32_t i = 1; i < net->Count(); ++i)
            EXPECT_LT(CompareKeysBinary(net->KeyAt(i - 1), net->KeyAt(i)), 0);
    }
    // Same lists: nothing to do.
    auto net = ListOf<TQORSVCMuteBlockList>(std::vector<TQORSVCMuteBlockData>{Mute(kAlice, 1)});
    auto same = ListOf<TQORSVCMuteBlockList>(std::vector<TQORSVCMuteBlockData>{Mute(kAlice, 1)});
    TQORSVCListMergeOutcome out;
    EXPECT_FALSE(MergeMuteBlockList(*net, *same, true, true, out));
    EXPECT_FALSE(out.Any());
    // An empty file lifts every block.
    TQORSVCMuteBlockList empty("Main");
    EXPECT_TRUE(MergeMuteBlockList(*net, empty, true, true, out));
    EXPECT_EQ(out.Removed, std::vector<std::string>{kAlice});
    EXPECT_EQ(net->Count(), 0);
}

TEST(ListMerges, AdminsAndRights) {
    auto admin = [](const char* id, int64_t reg, const char* call) {
        TQORSVCAdminData d;
        d.add_AdmHashA = id;
        d.add_RegisterEpoch = reg;
        d.add_CallsignOpnameANSI = call;
        return d;
    };
    for (bool compare : {false, true}) {
        auto net = ListOf<TQORSVCAdminList>(
            std::vector<TQORSVCAdminData>{admin(kAdmin, 1, "A"), admin(kOwner, 2, "O")});
        auto read = ListOf<TQORSVCAdminList>(
            std::vector<TQORSVCAdminData>{admin(kAdmin, 1, "A2"), admin(kDave, 3, "D")});
        TQORSVCListMergeOutcome out;
        EXPECT_TRUE(MergeAdminsList(*net, *read, compare, out));
        // Both lose their session to come back in their new role; a changed
        // admin keeps it.
        EXPECT_EQ(out.Added, std::vector<std::string>{kDave});
        EXPECT_EQ(out.Removed, std::vector<std::string>{kOwner});
        EXPECT_EQ(out.Changed.size(), compare ? 1u : 0u);
        EXPECT_EQ(net->Count(), 2);
        EXPECT_EQ(net->TimeCount(), 2);
    }

    auto right = [](const char* mail, bool marked, const char* call = "X") {
        TQORSVCAccessData d;
        d.acd_EMailA = mail;
        d.acd_Marked = marked;
        d.acd_CallsignOpnameANSI = call;
        return d;
    };
    for (bool compare : {false, true}) {
        auto net = ListOf<TQORSVCAccessList>(std::vector<TQORSVCAccessData>{
            right("a@x.org", false), right("b@x.org", true), right("c@x.org", false)});
        auto read = ListOf<TQORSVCAccessList>(std::vector<TQORSVCAccessData>{
            right("a@x.org", true), right("b@x.org", true, "Y"), right("d@x.org", false)});
        TQORSVCListMergeOutcome out;
        EXPECT_TRUE(MergeAccessList(*net, *read, compare, out));
        EXPECT_EQ(out.MarkChanged, std::vector<std::string>{"a@x.org"});
        EXPECT_EQ(out.Added, std::vector<std::string>{"d@x.org"});
        EXPECT_EQ(out.Removed, std::vector<std::string>{"c@x.org"});
        EXPECT_EQ(out.Changed, compare ? std::vector<std::string>{"b@x.org"}
                                       : std::vector<std::string>{});
        EXPECT_TRUE(net->Find(MakeDwordPaddedKey("a@x.org"))->accMarked());
    }
    // Only a mark flip: reported, nothing else.
    auto net = ListOf<TQORSVCAccessList>(std::vector<TQORSVCAccessData>{right("a@x.org", true)});
    auto read = ListOf<TQORSVCAccessList>(std::vector<TQORSVCAccessData>{right("a@x.org", false)});
    TQORSVCListMergeOutcome out;
    EXPECT_TRUE(MergeAccessList(*net, *read, true, out));
    EXPECT_EQ(out.MarkChanged.size(), 1u);
    EXPECT_TRUE(out.Added.empty() && out.Removed.empty() && out.Changed.empty());
}

// ---------------------------------------------------------------- long texts

// A mute of a client whose every field is CJK, and a notice of 500 Cyrillic
// characters, survive a restart: written, read back, equal.
TEST_F(ListFiles, CjkMuteAndLongCyrillicNoticeSurviveARestart) {
    std::string cjk;
    for (int i = 0; i < 120; ++i) cjk += "\xE6\xBC\xA2";  // 360 bytes per field
    TQORSVCMuteBlockData d;
    d.mbd_EMailHashA = kBob;
    d.mbd_RegisterEpoch = 1700000000;
    d.mbd_CountryANSI = d.mbd_CityCityPartANSI = d.mbd_BandChannelANSI =
        d.mbd_CallsignOpnameANSI = d.mbd_ByAdminNameANSI = std::string(120, '?');
    d.mbd_CountryUTF8 = d.mbd_CityCityPartUTF8 = d.mbd_BandChannelUTF8 =
        d.mbd_CallsignOpnameUTF8 = d.mbd_ByAdminNameUTF8 = cjk;
    d.mbd_UTF8 = true;
    d.mbd_ByAdminId = kAdmin;
    TQORSVCMuteBlockList l(kSetUtf8);
    l.AddOrUpdateFromData(d);
    ASSERT_GT(l.At(0)->RecordForFile().size(), 4000u);
    WriteDataFile(Out("mutes.dat"), U(dir), {l.At(0)->RecordForFile()});

    std::string cyr;
    for (int i = 0; i < 500; ++i) cyr += "\xD0\xAF";
    TQORSVCNoticeData n{std::string(500, '\xDF'), cyr};
    EXPECT_FALSE(NormalizeNotice(n));
    std::vector<std::optional<TQORSVCNoticeData>> notices{n, std::nullopt, n};
    WriteDataFile(Out("notices.dat"), U(dir), MakeNoticesSnapshot(notices, kNets));

    bool rewrite = false;
    auto mutes = ReadMuteBlockFile(Out("mutes.dat"), kNow, rewrite);
    ASSERT_EQ(mutes.size(), 1u);
    EXPECT_EQ(mutes[0].NetworkNameUCS2, kSet);
    TQORSVCMuteBlockData expect = d;
    expect.mbd_ReleaseEpoch = 0;
    EXPECT_EQ(mutes[0].Data, expect);
    auto back = ReadNoticesFile(Out("notices.dat"), rewrite);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].Data, n);
    EXPECT_EQ(back[1].NetworkNameUCS2, kSet);
    EXPECT_FALSE(rewrite);

    // 501 characters are cut to 500 without splitting one.
    TQORSVCNoticeData longer{"", cyr + "\xD0\xAF"};
    EXPECT_TRUE(NormalizeNotice(longer));
    EXPECT_EQ(longer.nod_NoticeUTF8, cyr);
}
