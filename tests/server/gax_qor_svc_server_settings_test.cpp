// The service's server addresses (their 8-bit protocol forms) and the
// character-set converters it shares among its networks.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/gax_mlang.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_server_addr.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {
namespace {

TEST(ServerAddressA, IdnFormOrLowBytes) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"qor.example.org", "qor.example.org"},
        // Basic characters keep their case.
        {u"B\u00FCcher.example", "xn--Bcher-kva.example"},
        {u"\u043F\u0440\u0438\u043C\u0435\u0440.\u0440\u0444", "xn--e1afmkfd.xn--p1ai"},
        // Only the labels with characters beyond ASCII are encoded.
        {u"radio.\u00FC", "radio.xn--tda"},
        // A lone surrogate cannot be encoded: each unit's low byte.
        {u"a\xD800.example", std::string("a\x00.example", 10)},
        {u"10.0.0.1", "10.0.0.1"},
    };
    for (const auto& c : cases) EXPECT_EQ(QORServerAddressA(c.in), c.out) << UnicodeToByteStr(c.in);
}

class SettingsTest : public ::testing::Test {
  protected:
    SettingsTest() {
        cfg.cfg_ServerEnabled = true;
        cfg.ServParams.ssp_PresentServerAddr = u"b\u00FCcher.example";
        cfg.ServParams.PresentServerPort = u"5200";
        cfg.ServParams.BackupServerAddr = u"backup.example";
        cfg.ServParams.ssp_BackupServerPort = u"5201";
        svc = std::make_unique<TQORService>(cfg);
        svc->SetCharsetsCodeList(codes.get());
    }
    TQORServiceConfig cfg;
    std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    std::unique_ptr<TQORService> svc;
};

TEST_F(SettingsTest, AddressesAndPortsFromTheConfigurationAndTheSetters) {
    EXPECT_EQ(svc->PresentServerAddress(), u"b\u00FCcher.example");
    EXPECT_EQ(svc->PresentServerAddressA(), "xn--bcher-kva.example");
    EXPECT_EQ(svc->PresentServerPortA(), "5200");
    EXPECT_EQ(svc->BackupServerAddressA(), "backup.example");
    EXPECT_EQ(svc->BackupServerPortA(), "5201");

    svc->SetBackupServerAddress(u"\u00E9t\u00E9.example");
    svc->SetBackupServerPort(u"\u0135201");  // a unit beyond a byte keeps its low byte
    EXPECT_EQ(svc->BackupServerAddress(), u"\u00E9t\u00E9.example");
    EXPECT_EQ(svc->BackupServerAddressA(), "xn--t-9fab.example");
    EXPECT_EQ(svc->BackupServerPortA(), "5201");
    svc->SetPresentServerAddress(u"");
    EXPECT_EQ(svc->PresentServerAddressA(), "");
}

TEST_F(SettingsTest, OneConverterPerDistinctCharacterSet) {
    TQORRoleScope role(kServiceThread);
    const TAnsiUnicodeConverter* utf8 = svc->trCharsetConverter(u"utf-8");
    ASSERT_NE(utf8, nullptr);
    EXPECT_EQ(utf8->CodePage(), 65001u);
    // Names equal but for blanks and letter case share the converter.
    EXPECT_EQ(svc->trCharsetConverter(u" UTF-8 "), utf8);
    const TAnsiUnicodeConverter* cyr = svc->trCharsetConverter(u"windows-1251");
    ASSERT_NE(cyr, nullptr);
    EXPECT_NE(cyr, utf8);
    EXPECT_EQ(cyr->UnicodeToAnsi(u"\u0416"), "\xC6");
    const TAnsiUnicodeConverter* bin = svc->trCharsetConverter(u"bin");
    ASSERT_NE(bin, nullptr);
    EXPECT_TRUE(bin->IsBin());
    // No set, or one the system does not know: no converter, asked again or not.
    EXPECT_EQ(svc->trCharsetConverter(u""), nullptr);
    EXPECT_EQ(svc->trCharsetConverter(u"no-such-set"), nullptr);
    EXPECT_EQ(svc->trCharsetConverter(u"NO-SUCH-SET"), nullptr);
    EXPECT_EQ(svc->trCharsetConverterCount(), 4u);  // utf-8, windows-1251, bin, the miss
}

TEST_F(SettingsTest, NetworksShareTheConverterOfTheirSet) {
    TQORServiceNetOptions opts;
    opts.sno_CharsetName = u"windows-1251";
    TQORNetworksList list(codes.get());
    list.MakeTestNetwork(opts);
    ASSERT_EQ(list.Count(), 2);
    TQORRoleScope role(kServiceThread);
    svc->trAssignCharsetConverters(list, opts.sno_CharsetName);
    const TAnsiUnicodeConverter* c = list.GetNetworkOriginal(0)->Converter();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->CodePage(), 1251u);
    EXPECT_EQ(list.GetNetworkOriginal(1)->Converter(), c);
    EXPECT_EQ(svc->trCharsetConverterCount(), 1u);
}

}  // namespace
}  // namespace gax
