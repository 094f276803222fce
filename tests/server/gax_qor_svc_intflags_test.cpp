#include "server/gax_qor_svc_intflags.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_networks_list.h"

using namespace gax;

namespace {

std::string N(std::u16string_view s) {
    return UnicodeToUtf8Str(s);
}

TEST(IntFlagsWords, TableMinimumLengthsInversionAndSeparators) {
    struct Case {
        std::string Text;
        uint32_t Flags;
        uint32_t Inverted;
        int Known;
        int Unknown;
    };
    const Case cases[] = {
        {"AG", 0x10, 0, 1, 0},
        {"agg", 0x10, 0, 1, 0},
        {"AGGREGATELIST", 0x10, 0, 1, 0},
        {"AGXYZ", 0x10, 0, 1, 0},  // only the first two characters are compared
        {"A", 0, 0, 0, 1},
        {"NOSERVERX", 0, 0, 0, 1},
        {"NOSERVERMX", 0x01, 0, 1, 0},
        {"NOSERVERS", 0x02, 0, 1, 0},
        {"NOSERVERD", 0x03, 0, 1, 0},
        {"NOS", 0, 0, 0, 1},
        {"NOL", 0x20, 0, 1, 0},
        {"NO", 0, 0, 0, 1},
        {"IGNORECLIENT", 0, 0, 0, 1},
        {"IgnoreClientM", 0x08, 0, 1, 0},
        {"IGNORECLIENTS", 0x04, 0, 1, 0},
        {"IGNORECLIENTD", 0x0C, 0, 1, 0},
        {"DU SV", 0x2F, 0, 2, 0},
        {"NOLIST !NOSERVERSOUNDS", 0x22, 0x02, 2, 0},
        {"! nolist,ag", 0x30, 0x20, 2, 0},
        {"!!AG!NOL", 0x30, 0x30, 2, 0},
        {"NOLIST\tAG#NOSERVERX", 0x30, 0, 2, 0},
        {"NOLIST;NOSERVERX", 0x20, 0, 1, 0},
        {"no-list", 0, 0, 0, 2},
        {"NOL1ST \xC4" "AG", 0x30, 0, 2, 0},  // digits stay in a word, other bytes separate
        {"", 0, 0, 0, 0},
        {"  ! ", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        TQORIntFlagsWordsRec w;
        ParseIntFlagsWords(c.Text, w);
        EXPECT_EQ(w.iwr_Flags, c.Flags) << c.Text;
        EXPECT_EQ(w.iwr_Inverted, c.Inverted) << c.Text;
        EXPECT_EQ(w.iwr_Known, c.Known) << c.Text;
        EXPECT_EQ(w.iwr_Unknown, c.Unknown) << c.Text;
        EXPECT_EQ(w.iwr_Words, c.Known + c.Unknown) << c.Text;
    }
}

class IntFlagsFileTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() {
        delete s_Codes;
        s_Codes = nullptr;
    }
    void SetUp() override {
        char tmpl[] = "/tmp/qor_intflags_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        f_Dir = tmpl;
        f_Serv.sno_CharsetName = u"WINDOWS-1252";
        std::ofstream(f_Dir + "/networks.cfg", std::ios::binary)
            << "Main\nTwo Words\n*\nMy \"Net\"\nLower\nOdd\"Q\n";
        f_Nets = std::make_unique<TQORNetworksList>(s_Codes);
        f_Nets->ReadNetworksListFromFile(f_Serv, Utf8BufToUnicodeStd(f_Dir + "/networks.cfg"));
        f_Path = f_Dir + "/intflags.cfg";
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + f_Dir).c_str()), 0); }

    std::unique_ptr<TQORSVCIntFlagsCfgObject> Read(const std::string& text) {
        std::ofstream(f_Path, std::ios::binary | std::ios::trunc) << text;
        return ReadIntFlagsFile(*f_Nets, Utf8BufToUnicodeStd(f_Path));
    }
    std::string ReadError(const std::string& text) {
        try {
            Read(text);
        } catch (const EQORIntFlagsError& e) {
            return N(e.Message());
        }
        return "(no error)";
    }
    static uint32_t FlagsOf(const TQORSVCIntFlagsList* l, const std::string& id) {
        auto it = l->find(id);
        return it == l->end() ? 0xFFFFFFFFu : it->second.fsifwr_Flags;
    }

    static TCharsetsCodeList* s_Codes;
    std::string f_Dir;
    std::string f_Path;
    TQORServiceNetOptions f_Serv;
    std::unique_ptr<TQORNetworksList> f_Nets;
};
TCharsetsCodeList* IntFlagsFileTest::s_Codes = nullptr;

const std::string kA = MakeSourceId("a@example.org");
const std::string kB = MakeSourceId("b@example.org");

TEST_F(IntFlagsFileTest, ReadsEntriesPerNetworkAndForAll) {
    ASSERT_TRUE(IsValidSourceIdStr(kA));
    auto r = Read("\xEF\xBB\xBF" + kA + " * NOLIST !NOSERVERSOUNDS\r\n"
                  "  # comment\n"
                  "\t; comment\n"
                  "\n"
                  "b@example.org\tMain\tAG # the e-mail names its id\n"
                  "b@example.org \"Two Words\" NOL\n"
                  "b@example.org \"*\" DUMMY\n"
                  "b@example.org \"My \"\"Net\"\"\" SVX\n"
                  "b@example.org Odd\"Q NOSERVERM\n"  // unquoted: the mark is part of it
                  "b@example.org LOWER IGNORECLIENTS\n"  // ASCII case ignored
                  + kA + " main NOSERVERMESSAGES\n" + kA + " Main NOSERVERSOUNDS\n");  // replaces
    const TQORSVCIntFlagsList* serv = r->ServList();
    ASSERT_EQ(serv->size(), 1u);
    EXPECT_EQ(serv->at(kA).fsifwr_Flags, 0x22u);
    EXPECT_EQ(serv->at(kA).fsifwr_Inverted, 0x02u);
    EXPECT_EQ(serv->at(kA).fsifwr_ClientId, kA);
    ASSERT_EQ(r->NetCount(), 6);
    EXPECT_EQ(r->NetList(0)->size(), 2u);
    EXPECT_EQ(FlagsOf(r->NetList(0), kB), 0x10u);
    EXPECT_EQ(FlagsOf(r->NetList(0), kA), 0x02u);
    EXPECT_EQ(FlagsOf(r->NetList(1), kB), 0x20u);
    EXPECT_EQ(FlagsOf(r->NetList(2), kB), 0x0Fu);
    EXPECT_EQ(FlagsOf(r->NetList(3), kB), 0x21u);
    EXPECT_EQ(FlagsOf(r->NetList(4), kB), 0x04u);
    EXPECT_EQ(FlagsOf(r->NetList(5), kB), 0x01u);

    // At admission the network's entry wins over the server-wide one.
    EXPECT_EQ(FindIntFlagsEntry(r->NetList(0), serv, kA)->fsifwr_Flags, 0x02u);
    EXPECT_EQ(FindIntFlagsEntry(r->NetList(1), serv, kA)->fsifwr_Flags, 0x22u);
    EXPECT_EQ(FindIntFlagsEntry(r->NetList(1), serv, MakeSourceId("c@x")), nullptr);

    // An empty file still gives every list, empty.
    auto empty = Read("# nothing\n");
    ASSERT_NE(empty->ServList(), nullptr);
    EXPECT_TRUE(empty->ServList()->empty());
    ASSERT_NE(empty->NetList(5), nullptr);
}

TEST_F(IntFlagsFileTest, EachErrorNamesItsLine) {
    const std::string id = kA;
    struct Case {
        std::string Line;
        std::string Message;
    };
    const Case cases[] = {
        {id, "Invalid line format"},
        {id + "#x * NOLIST", "Invalid line format"},
        {id + "   ", "Invalid line format"},
        {id + " \x01 * NOLIST", "Invalid line format"},
        {id + " Main", "Invalid line format"},
        {id + " *", "Invalid line format"},
        {id + " Ma#in NOLIST", "Invalid line format"},
        {id + " Ma;in NOLIST", "Invalid line format"},
        {id + " Ma\x01in NOLIST", "Invalid line format"},
        {id + " M* NOLIST", "Unknown network: M*"},
        {id + " \"Main NOLIST", "Invalid line format"},
        {id + " \"Main\"NOLIST", "Invalid line format"},
        {id + " \"Ma#in\" NOLIST", "Invalid line format"},
        {id + " \"\" NOLIST", "Invalid line format"},
        {id + " " + std::string(97, 'x') + " NOLIST", "Invalid line format"},
        {id + " \"" + std::string(97, 'x') + "\" NOLIST", "Invalid line format"},
        {id + " Nowhere NOLIST", "Unknown network: Nowhere"},
        {id + " \"Two  Words\" NOLIST", "Unknown network: Two  Words"},
        {id + " Main  ", "Invalid flag(s)"},
        {id + " Main # NOLIST", "Invalid flag(s)"},
        {id + " Main NOLIST A", "Invalid flag(s)"},
        {id + " Main NOLIST" + std::string(3000, 'x'), "Collector got too long string"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadError("# first\n" + kB + " * AG\n\n" + c.Line + "\n" + kB + " Main AG\n"),
                  "line 4: " + c.Message)
            << c.Line.substr(0, 80);
    // A name just at the limit is a name like any other.
    EXPECT_EQ(ReadError(id + " " + std::string(96, 'x') + " NOLIST\n"),
              "line 1: Unknown network: " + std::string(96, 'x'));
}

// The heartbeat's take-over: who is disconnected on a reread.
TEST_F(IntFlagsFileTest, RereadChangesOnlyTheClientsWhoseEntryChanged) {
    std::unique_ptr<TQORSVCIntFlagsList> serv;
    std::vector<std::unique_ptr<TQORSVCIntFlagsList>> nets(6);
    auto slot = [&](int32_t i) -> std::unique_ptr<TQORSVCIntFlagsList>& {
        return nets[static_cast<size_t>(i)];
    };
    auto apply = [&](const std::string& text) {
        auto r = Read(text);
        return ApplyIntFlagsReading(*r, serv, slot);
    };
    using Changes = std::vector<std::vector<std::string>>;
    const std::string base = kA + " * NOLIST\n" + kB + " Main AG\n";

    Changes c = apply(base);  // from nothing: everyone listed is new
    EXPECT_EQ(c, (Changes{{kA, kB}, {kA}, {kA}, {kA}, {kA}, {kA}}));
    EXPECT_EQ(FlagsOf(serv.get(), kA), 0x20u);

    EXPECT_EQ(apply(base), Changes(6));  // unchanged: nobody

    // A server-wide entry changed: that client in every network, once.
    c = apply(kA + " * NOLIST AG\n" + kB + " Main AG\n" + kA + " Main AG\n");
    EXPECT_EQ(c, (Changes{{kA}, {kA}, {kA}, {kA}, {kA}, {kA}}));
    // Only the inverted words differ: still a change.
    c = apply(kA + " * NOLIST !AG\n" + kB + " Main AG\n" + kA + " Main AG\n");
    EXPECT_EQ(c, (Changes{{kA}, {kA}, {kA}, {kA}, {kA}, {kA}}));
    // One network's entry changed: that client there only.
    c = apply(kA + " * NOLIST !AG\n" + kB + " Main NOLIST\n" + kA + " Main AG\n");
    EXPECT_EQ(c, (Changes{{kB}, {}, {}, {}, {}, {}}));
    EXPECT_EQ(FlagsOf(nets[0].get(), kB), 0x20u);
    // A bad line voids the whole reading: the flags in force stay.
    EXPECT_THROW(apply(kA + " * AG\n" + kB + " Main NOPE\n"), EQORIntFlagsError);
    EXPECT_EQ(FlagsOf(serv.get(), kA), 0x30u);
    EXPECT_EQ(FlagsOf(nets[0].get(), kB), 0x20u);
    // The last "*" entry and the network entries removed: they take effect.
    c = apply("# empty\n");
    EXPECT_EQ(c, (Changes{{kA, kB}, {kA}, {kA}, {kA}, {kA}, {kA}}));
    ASSERT_NE(serv, nullptr);
    EXPECT_TRUE(serv->empty());
    EXPECT_TRUE(nets[0]->empty());
}

TEST(IntFlagsDiff, WalksBothListsInStep) {
    auto list = [](std::initializer_list<std::pair<const char*, uint32_t>> entries) {
        TQORSVCIntFlagsList l;
        for (auto [id, flags] : entries) l[id] = TQORSVCInternalFlagsStore{id, flags, 0};
        return l;
    };
    const TQORSVCIntFlagsList a = list({{"A", 1}, {"C", 2}, {"E", 3}, {"G", 4}});
    const TQORSVCIntFlagsList b = list({{"B", 1}, {"C", 2}, {"E", 9}, {"H", 4}});
    std::vector<std::string> changed;
    DiffIntFlagsLists(&a, &b, changed);
    EXPECT_EQ(changed, (std::vector<std::string>{"A", "B", "E", "G", "H"}));
    changed.clear();
    DiffIntFlagsLists(nullptr, &b, changed);
    EXPECT_EQ(changed.size(), 4u);
}

}  // namespace
