#include "server/gax_qor_svc_networks_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"

using namespace gax;

namespace {

std::string N(std::u16string_view s) {
    return UnicodeToUtf8Str(s);
}

class NetworksListTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_Codes = CreateCharsetsCodeList().release(); }
    static void TearDownTestSuite() {
        delete s_Codes;
        s_Codes = nullptr;
    }
    void SetUp() override {
        char tmpl[] = "/tmp/qor_nets_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        f_Dir = tmpl;
        f_Path = f_Dir + "/networks.cfg";
        f_Serv.sno_CharsetName = u"WINDOWS-1252";
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + f_Dir).c_str()), 0); }

    std::u16string Write(const std::string& text) {
        std::ofstream(f_Path, std::ios::binary | std::ios::trunc) << text;
        return Utf8BufToUnicodeStd(f_Path);
    }
    // The message the reading of the text raises, or "(no error)".
    std::string ReadError(TQORNetworksList& list, const std::string& text) {
        try {
            list.ReadNetworksListFromFile(f_Serv, Write(text));
        } catch (const EQORNetworksListError& e) {
            return N(e.Message());
        }
        return "(no error)";
    }
    std::string FilePrefix() const { return "Network file \"" + f_Path + "\": "; }

    static TCharsetsCodeList* s_Codes;
    std::string f_Dir;
    std::string f_Path;
    TQORServiceNetOptions f_Serv;
};
TCharsetsCodeList* NetworksListTest::s_Codes = nullptr;

TEST_F(NetworksListTest, ReadsNamesOptionsAndBuildsTheListFrames) {
    TQORNetworksList list(s_Codes);
    const std::string longName = "A123456789B123456789C123456789D123456789";
    list.ReadNetworksListFromFile(
        f_Serv, Write("\xEF\xBB\xBF# networks\r\n"
                      "\r\n"
                      "  Main  \r\n"
                      "; another comment\n"
                      "Echo | MaxClients=5 | Hidden=1\n"  // the third field is ignored
                      "   \t \n"
                      "Secret|Hidden=yes\n"
                      " \xC2\xA0 | MaxClients=3\n"  // a blank name counts as nothing
                      + longName + "\n"
                      "Gr\xC3\xBC\xC3\x9F" "e|CharsetName=UTF-8"));  // last line without LF
    ASSERT_EQ(list.Count(), 5);
    EXPECT_FALSE(list.UsesTestSet());

    const TQORNetworkData* echo = list.GetNetworkOriginal(1);
    EXPECT_EQ(echo->NetworkNameUCS2(), u"Echo");
    EXPECT_EQ(echo->NetOptions().no_NetMaxClients, 5);
    EXPECT_FALSE(echo->Hidden());
    EXPECT_EQ(echo->NetOriginalIndex(), 1);
    EXPECT_TRUE(list.GetNetworkOriginal(2)->Hidden());
    EXPECT_EQ(list.GetNetworkOriginal(3)->NetworkNameUCS2(), Utf8BufToUnicodeStd(longName.substr(0, 32)));
    // The 8-bit form is cut to 20 bytes; the UTF-8 one stays whole.
    EXPECT_EQ(list.GetNetworkOriginal(3)->NetworkNameANSI(), longName.substr(0, 20));
    const TQORNetworkData* grosse = list.GetNetworkOriginal(4);
    EXPECT_EQ(grosse->NetworkNameUTF8(), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(grosse->NetworkNameANSI(), "Gr\xC3\xBC\xC3\x9F" "e");  // its set is UTF-8
    EXPECT_EQ(list.GetNetworkOriginal(0)->NetworkNameANSI(), "Main");

    const std::string cut = longName.substr(0, 32);
    EXPECT_EQ(list.NetsV0(), "\x05" "04\r\nMain\r\nEcho\r\n" + longName.substr(0, 20) +
                                 "\r\nGr\xC3\xBC\xC3\x9F" "e\r\n");
    EXPECT_EQ(list.NetsV1U(), "\x05" "04\r\nMain\r\nEcho\r\n" + cut + "\r\nGr\xC3\xBC\xC3\x9F" "e\r\n");

    // Look-ups: letter case ignored beyond ASCII, hidden networks found too.
    EXPECT_EQ(list.FindNetwork(u"main"), list.GetNetworkOriginal(0));
    EXPECT_EQ(list.FindNetwork(u"GR\u00DCSSE"), nullptr);  // not the same length
    EXPECT_EQ(list.FindNetwork(u"GR\u00DC\u00DFE"), grosse);
    EXPECT_EQ(list.FindNetwork(u"secret"), list.GetNetworkOriginal(2));
    EXPECT_EQ(list.FindNetwork(u"Nowhere"), nullptr);
    EXPECT_EQ(list.FindNetworkAsciiUpper(u"ECHO"), echo);
    EXPECT_EQ(list.FindNetworkAsciiUpper(u"GR\u00DC\u00DFE"), nullptr);
    EXPECT_EQ(list.FindNetworkLocal("Echo"), echo);
    EXPECT_EQ(list.FindNetworkLocal("echo"), nullptr);
    EXPECT_EQ(list.GetNetworkSorted(list.IndexInSorted(u"SECRET")), list.GetNetworkOriginal(2));
    EXPECT_EQ(list.GetNetworkOriginal(5), nullptr);
    EXPECT_EQ(list.GetNetworkSorted(-1), nullptr);
}

TEST_F(NetworksListTest, HiddenNetworksLeaveTheFramesAndTheirCount) {
    TQORNetworksList list(s_Codes);
    list.ReadNetworksListFromFile(f_Serv, Write("Main\nEcho\nThird|Hidden=1\n"));
    EXPECT_EQ(list.NetsV0(), "\x05" "02\r\nMain\r\nEcho\r\n");
    list.ReadNetworksListFromFile(f_Serv, Write("One|Hidden=1\nTwo\nThree|Hidden=1\n"));
    EXPECT_EQ(list.NetsV0().substr(0, 5), "\x05\x30\x31\x0D\x0A");
    EXPECT_EQ(list.Count(), 3);
    // The 8-bit name is cut to 20 bytes between characters, never inside one.
    std::string a11;
    for (int i = 0; i < 11; ++i) a11 += "\xC3\x84";
    list.ReadNetworksListFromFile(f_Serv, Write(a11 + "|CharsetName=UTF-8\n"));
    EXPECT_EQ(list.GetNetworkOriginal(0)->NetworkNameANSI(), a11.substr(0, 20));
    EXPECT_EQ(list.NetsV1U(), "\x05" "01\r\n" + a11 + "\r\n");
}

// Each bad file ends the reading with the file and the line (comments and
// blank lines counted) and leaves the list empty.
TEST_F(NetworksListTest, BadLinesFailWithFileAndLine) {
    struct Case {
        std::string Text;
        std::string Message;
    };
    const Case cases[] = {
        {"Main\nMAIN\n", "Line 2: String list does not allow duplicates"},
        {"# c\n\n\xC3\xBC" "ber\n\xC3\x9C" "BER\n", "Line 4: String list does not allow duplicates"},
        // Different names, one 8-bit name: an 8-bit client could not tell them apart.
        {"Main\n\xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\n\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82\n",
         "Line 3: String list does not allow duplicates"},
        {"Main\n; c\nEcho|CharsetName=NO-SUCH\n",
         "Line 3: Network: \"Echo\": Network option \"CharsetName\": Invalid or unknown charset "
         "name: NO-SUCH"},
        {"Main\nBad\xFF\n", "Line 2: Invalid UTF-8 text"},
        {"Main\nTwo\tWords\n", "Line 2: Invalid character in the network name"},
        {"Main\nCR\rIn\r\n", "Line 2: Invalid character in the network name"},
        {"Main\nOk|MaxClients=\xC3\n", "Line 2: Network: \"Ok\": Invalid UTF-8 text"},
        {"Main\n" + std::string(20000, 'x') + "\n", "Line 2: Collector got too long string"},
    };
    for (const Case& c : cases) {
        TQORNetworksList list(s_Codes);
        list.ReadNetworksListFromFile(f_Serv, Write("Old\n"));
        EXPECT_EQ(ReadError(list, c.Text), FilePrefix() + c.Message);
        EXPECT_EQ(list.Count(), 0);
        EXPECT_EQ(list.NetsV0(), "");
        EXPECT_EQ(list.FindNetwork(u"Main"), nullptr);
    }
    // The start-up check raises the same.
    try {
        VerifyNetworksListFile(f_Serv, Write("Main\nMAIN\n"), s_Codes);
        ADD_FAILURE() << "no exception";
    } catch (const EQORNetworksListError& e) {
        EXPECT_EQ(N(e.Message()), FilePrefix() + "Line 2: String list does not allow duplicates");
    }
    TQORNetworksList list(s_Codes);
    try {
        list.ReadNetworksListFromFile(f_Serv, Utf8BufToUnicodeStd(f_Dir + "/none.cfg"));
        ADD_FAILURE() << "no exception";
    } catch (const EQORNetworksListError& e) {
        EXPECT_EQ(N(e.Message()).rfind("Network file \"" + f_Dir + "/none.cfg\": ", 0), 0u)
            << N(e.Message());
    }
}

TEST_F(NetworksListTest, AFileWithoutNetworksLeadsToTheTestSet) {
    TQORNetworksList list(s_Codes);
    list.ReadNetworksListFromFile(f_Serv, Write("# nothing here\n\n;\n   \n"));
    EXPECT_EQ(list.Count(), 0);
    f_Serv.sno_QuarantineTicks = 700;
    list.MakeTestNetwork(f_Serv);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_TRUE(list.UsesTestSet());
    const TQORNetworkData* test = list.GetNetworkOriginal(0);
    EXPECT_EQ(test->NetworkNameUCS2(), u"Test");
    EXPECT_TRUE(test->NetOptions().no_Parrot.ParrotEnable);
    EXPECT_TRUE(test->NetOptions().no_Parrot.ParrotStartStopEnable);
    EXPECT_EQ(test->NetOptions().no_QuarantineTicks, 700u);
    const TQORNetworkData* net01 = list.GetNetworkOriginal(1);
    EXPECT_EQ(net01->NetworkNameUCS2(), u"Net01");
    EXPECT_FALSE(net01->NetOptions().no_Parrot.ParrotEnable);
    EXPECT_EQ(FormatNetworkOptionsText(f_Serv, net01->NetOptions()), u"");
    EXPECT_EQ(list.NetsV0(), "\x05" "02\r\nTest\r\nNet01\r\n");
    EXPECT_EQ(list.NetsV1U(), list.NetsV0());
    // A later good reading is no longer the test set.
    list.ReadNetworksListFromFile(f_Serv, Write("Main\n"));
    EXPECT_FALSE(list.UsesTestSet());
}

// The network objects the service builds come from its factory; the list
// frees each of them exactly once, also when a later line fails.
TEST_F(NetworksListTest, FactoryNetworksAreFreedOnceWhateverHappens) {
    static int s_Live = 0;
    static int s_Made = 0;
    struct Net : TQORNetworkData {
        Net(const TQORServNetworkRec& r, const TQORServiceNetOptions& s, const TCharsetsCodeList* c)
            : TQORNetworkData(r, s, c) {
            ++s_Live;
            ++s_Made;
        }
        ~Net() override { --s_Live; }
        void SetNetOriginalIndex(int32_t aIndex, int32_t aWidth) override {
            TQORNetworkData::SetNetOriginalIndex(aIndex, aWidth);
            f_Prefix = "N" + std::to_string(aIndex) + "/" + std::to_string(aWidth);
        }
        std::string f_Prefix;
    };
    auto factory = [](const TQORServNetworkRec& r, const TQORServiceNetOptions& s,
                      const TCharsetsCodeList* c) -> std::unique_ptr<TQORNetworkData> {
        if (r.snr_NetworkNameUCS2 == u"Boom") throw Exception("factory failed");
        return std::make_unique<Net>(r, s, c);
    };
    {
        TQORNetworksList list(s_Codes, factory);
        list.ReadNetworksListFromFile(f_Serv, Write("A\nB\nC\n"));
        EXPECT_EQ(s_Live, 3);
        EXPECT_EQ(static_cast<Net*>(list.GetNetworkOriginal(2))->f_Prefix, "N2/1");
        EXPECT_EQ(ReadError(list, "A\nB\nA\n"), FilePrefix() + "Line 3: String list does not allow duplicates");
        EXPECT_EQ(s_Live, 0);  // the refused duplicate too
        EXPECT_EQ(ReadError(list, "A\nBoom\n"), FilePrefix() + "Line 2: factory failed");
        EXPECT_EQ(s_Live, 0);
        list.ReadNetworksListFromFile(f_Serv, Write("X\nY\n"));
        EXPECT_EQ(s_Live, 2);
        // Twelve networks: the highest index has two digits, every prefix pads to them.
        list.ReadNetworksListFromFile(f_Serv, Write("a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\n"));
        EXPECT_EQ(static_cast<Net*>(list.GetNetworkOriginal(7))->f_Prefix, "N7/2");
    }
    EXPECT_EQ(s_Live, 0);
    EXPECT_EQ(s_Made, 21);
}

}  // namespace
