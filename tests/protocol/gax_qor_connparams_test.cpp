#include "protocol/gax_qor_connparams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_inifile_utf8.h"

using namespace gax;

TEST(ConfigValues, Ports) {
    const struct {
        std::u16string text;
        bool ok;
        int32_t port;
    } cases[] = {
        {u" 80 ", true, 80},        {u"1", true, 1},
        {u"65535", true, 65535},    {u"0", false, 0},
        {u"65536", false, 0},       {u"-1", false, 0},
        {u"1a", false, 0},          {u"", false, 0},
        {u"8 0", false, 0},         {u"0x50", false, 0},
        {u"99999999999", false, 0}, {u"\t10023\r\n", true, 10023},
        // leading zeros: the value counts, not the number of digits
        {u"010024", true, 10024},   {u"0000000001", true, 1},
        {u"000000", false, 0},      {u"0065536", false, 0},
    };
    for (const auto& c : cases) {
        int32_t port = -7;
        EXPECT_EQ(TryParsePortText(c.text, port), c.ok);
        EXPECT_EQ(port, c.ok ? c.port : -7);  // written only on success
        std::string a(c.text.begin(), c.text.end());
        port = -7;
        EXPECT_EQ(TryParsePortAnsi(a, port), c.ok) << a;
        EXPECT_EQ(port, c.ok ? c.port : -7);
    }
    int32_t port = 0;
    EXPECT_FALSE(TryParsePortAnsi(std::string("\xB9\xB0", 2), port));
}

TEST(ConfigValues, IPVersionWords) {
    const struct {
        std::u16string text;
        bool ok;
        TSynapseListenerIPVersions v;
    } cases[] = {
        {u"46", true, ipver_46},  {u" 64 ", true, ipver_46}, {u"4", true, ipver_4},
        {u"6\t", true, ipver_6},  {u"46 4", false, ipver_4}, {u"", false, ipver_4},
        {u"466", false, ipver_4}, {u"v4", false, ipver_4},   {u"IPv6", false, ipver_4},
    };
    for (const auto& c : cases) {
        TSynapseListenerIPVersions v = ipver_4;
        EXPECT_EQ(TryParseIPVersionText(c.text, v), c.ok);
        EXPECT_EQ(v, c.v);
    }
    // the table's words read back as their own values
    for (unsigned i = 0; i < QORIPVersionNames.size(); ++i) {
        TSynapseListenerIPVersions v = ipver_4;
        ASSERT_TRUE(TryParseIPVersionText(QORIPVersionNames[i], v));
        EXPECT_EQ(unsigned(v), i);
    }
}

TEST(ConfigValues, IniReadPortFallsBackToTheDefault) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("qor_connparams_" + std::to_string(::getpid()) + ".ini");
    std::ofstream(path) << "[Command]\nPortZero=0\nPortOk= 10100 \nPortBad=abc\n";
    {
        TIniFileUTF8 ini(Utf8BufToUnicodeStd(path.string()), true);
        EXPECT_EQ(IniReadPort(ini, u"Command", u"PortZero", 10023), 10023);
        EXPECT_EQ(IniReadPort(ini, u"Command", u"PortOk", 10023), 10100);
        EXPECT_EQ(IniReadPort(ini, u"Command", u"PortBad", 10023), 10023);
        EXPECT_EQ(IniReadPort(ini, u"Command", u"Missing", 10023), 10023);
    }
    std::filesystem::remove(path);
}

TEST(ConfigValues, DelimiterSpecs) {
    const struct {
        std::u16string spec;
        char16_t result;
    } cases[] = {
        {u"", u'#'},
        {u"\\t", u'\t'},
        {u";", u';'},
        {u"\\\\", u'\\'},
        {u"\\x41", u'A'},
        {u"\\X41", u'A'},
        {u"\\65", u'A'},
        {u"\\x10000", u'#'},
        {u"\\a", u'#'},
        {u"\\ux263A", u'\u263A'},
        {u"\\UX263a", u'\u263A'},
        {u"\\x", u'#'},
        {u"\\", u'#'},
        {u"\\65536", u'#'},
        {u"\\T", u'#'},
        {u"ab", u'a'},
        {u"\\0", u'\0'},
        {u"\\xFFFF", u'\uFFFF'},
        {u"\\x-1", u'#'},
        {u"\\ 9", u'#'},
    };
    for (const auto& c : cases)
        EXPECT_EQ(int(ParseDelimiterCharSpec(c.spec, u'#')), int(c.result))
            << std::string(c.spec.begin(), c.spec.end());
}

TEST(ConfigValues, Paths) {
    const struct {
        std::u16string path, base, result;
    } cases[] = {
        {u"data.dat", u"/opt/qor", u"/opt/qor/data.dat"},
        {u"./lists/../data.dat", u"/opt/qor", u"/opt/qor/data.dat"},
        {u"../../../../x", u"/opt/qor", u"/x"},
        {u"/var/lib/qor/a.dat", u"/opt/qor", u"/var/lib/qor/a.dat"},
        {u"/", u"/opt/qor", u"/"},
        {u"", u"/opt/qor", u"/opt/qor"},
        {u"sub/", u"/opt/qor/", u"/opt/qor/sub"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResolvePathRelative(c.path, c.base), c.result);

    const std::u16string exe = GetProgramDirectory();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(ResolveDirSetting(u"  "), exe);
    EXPECT_EQ(ResolveDirSetting(u"/"), u"/");
    EXPECT_EQ(ResolveDirSetting(u"/srv/qor//"), u"/srv/qor");
    EXPECT_EQ(ResolveDirSetting(u" lists/ "), exe + u"/lists");
    EXPECT_EQ(ResolveDataFileName(u"", u"mutes.dat"), exe + u"/mutes.dat");
    EXPECT_EQ(ResolveDataFileName(u"/srv/qor/", u"mutes.dat"), u"/srv/qor/mutes.dat");
    EXPECT_EQ(ResolveDataFileName(u"/", u"mutes.dat"), u"/mutes.dat");
    EXPECT_EQ(ResolveFileSettingDef(u"  ", u"qorserver.log", exe), exe + u"/qorserver.log");
    EXPECT_EQ(ResolveFileSettingDef(u" my.log ", u"qorserver.log", u"/b"), u"/b/my.log");
}

TEST(ClientValues, TypeFlagsAndRecord) {
    const struct {
        std::string bc;
        TQORClientType type;
    } types[] = {{"Crosslink", clt_CROSSLINK}, {"crosslink", clt_GATEWAY}, {"PC Only", clt_PC},
                 {"Parrot", clt_PC},           {"", clt_GATEWAY},          {"PC only", clt_GATEWAY},
                 {"145.500 FM", clt_GATEWAY}};
    for (const auto& t : types) EXPECT_EQ(ClientTypeFromBandChannel(t.bc), t.type) << t.bc;

    const struct {
        int32_t version;
        uint32_t flags;
    } versions[] = {{2012002, 0x08}, {2012003, 0}, {2014002, 0},     {2014003, 0x04},
                    {0, 0x08},       {-5, 0x08},   {INT32_MAX, 0x04}};
    for (const auto& v : versions) {
        int32_t actLike = 0;
        EXPECT_EQ(ProtocolFlagsFromVersion(2022001, v.version, actLike), v.flags) << v.version;
        EXPECT_EQ(actLike, 2022001);
    }

    TQORClientRec r;
    r.cr_ClientIdU = u"id";
    r.cr_Description = u"d";
    r.cr_CacheCounter = 42;
    r.cr_Status = vs_Absent;
    r.cr_Muted = r.cr_ListenOnly = r.cr_Unicode = true;
    r.cr_ClientType = clt_CROSSLINK;
    ClearClientRec(r);
    EXPECT_TRUE(r.cr_ClientIdU.empty());
    EXPECT_TRUE(r.cr_Description.empty());
    EXPECT_EQ(r.cr_CacheCounter, 42u);
    EXPECT_EQ(r.cr_Status, vs_Available);
    EXPECT_FALSE(r.cr_Muted || r.cr_ListenOnly || r.cr_Unicode);
    EXPECT_EQ(r.cr_ClientType, clt_PC);
}
