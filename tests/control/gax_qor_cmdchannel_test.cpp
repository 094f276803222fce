#include "control/gax_qor_cmdchannel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "foundation/gax_inifile_utf8.h"
#include "foundation/gax_mlang.h"

using namespace gax;

namespace {

struct AnswerRow {
    TQORChannelCommandAnswer answer;
    const char* word;
    int exitCode;
    const char16_t* message;
};

// The operators' reference table, kept apart from the code's own table.
const AnswerRow kAnswerRows[] = {
    {fsca_OK, "+OK", 0, u"OK"},
    {fsca_NoAnswer, "", 24, u"No answer"},
    {fsca_Unknown, "", 3, u"Unknown answer"},
    {fsca_NoNetwork, "-NONET", 25, u"Wrong network"},
    {fsca_InvalidParameter, "", 1, u"Wrong parameter(s)"},
    {fsca_NotSupported, "-NOSUPPORT", 20, u"Not supported"},
    {fsca_NoClientOnline, "-NOCLIENT", 27, u"No client online"},
    {fsca_Fake, "-FAKE", 26, u"Fake"},
    {fsca_Denied, "-DENIED", 18, u"Operation denied"},
    {fsca_Busy, "-BUSY", 21, u"Busy"},
    {fsca_NotConnectedToServer, "-NOTCONNECTED", 19, u"Not connected"},
    {fsca_AnswerTimeout, "", 28, u"Answer timed out"},
    {fsca_NotAdmin, "-NOTADMIN", 18, u"Not admin"},
    {fsca_NotOwner, "-NOTOWNER", 18, u"Not owner"},
    {fsca_NoListMode, "-NOLIST", 29, u"No clients list mode"},
    {fsca_OperationError, "-ERROR", 3, u"Operation error"},
    {fsca_NoManager, "-NOMANAGER", 30, u"QOR System Manager not found"},
    {fsca_TooManyManagers, "-TOOMANYMANAGERS", 31, u"Found too many QOR System Managers"},
    {fsca_WrongText, "-WRONGTEXT", 32, u"Wrong command parameters or text"},
    {fsca_WrongEmail, "-WRONGEMAIL", 33, u"Wrong email"},
    {fsca_NotRegistered, "-NOTREGISTERED", 34, u"Not registered"},
    {fsca_NoSpeaker, "-NOSPEAKER", 36, u"No speaker"},
};

TEST(ChannelAnswers, TableOfWordsExitCodesAndMessages) {
    ASSERT_EQ(std::size(kAnswerRows), size_t(kChannelAnswerCount));
    for (size_t i = 0; i < std::size(kAnswerRows); ++i) {
        const AnswerRow& r = kAnswerRows[i];
        SCOPED_TRACE(r.word);
        EXPECT_EQ(int(r.answer), int(i));
        EXPECT_EQ(ChannelAnswerWord(r.answer), r.word);
        EXPECT_EQ(ChannelAnswerExitCode(r.answer), r.exitCode);
        EXPECT_EQ(ChannelAnswerMessage(r.answer), r.message);
        TQORChannelCommandAnswer found = fsca_Unknown;
        if (*r.word != 0) {
            ASSERT_TRUE(FindChannelAnswerWord(r.word, found));
            EXPECT_EQ(found, r.answer);
            EXPECT_EQ(ChannelAnswerLine(r.answer), std::string(r.word) + "\r\n");
        } else {
            EXPECT_EQ(ChannelAnswerLine(r.answer), "");
        }
    }
    TQORChannelCommandAnswer a;
    for (const char* bad : {"", "-nonet", "+ok", "-NONET ", "NONET", "+"})
        EXPECT_FALSE(FindChannelAnswerWord(bad, a)) << bad;
}

std::string PrintToString(int sockErr, TQORChannelCommandAnswer ans, std::u16string_view title,
                          std::u16string_view charset, int& exitCode) {
    static const std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
    std::FILE* f = std::tmpfile();
    exitCode = PrintChannelOutcome(sockErr, ans, title, charset, codes.get(), f);
    std::rewind(f);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

TEST(ChannelOutcome, PrintsTitleAndMessageWithExitCode) {
    struct Case {
        int sockErr;
        TQORChannelCommandAnswer answer;
        const char* line;
        int exitCode;
    };
    const Case cases[] = {
        {10061, fsca_OK, "ERROR: stop: Socket error (10061): Connection refused\r\n", 16},
        {10060, fsca_NoNetwork, "ERROR: stop: Socket error (10060): Connection timed out\r\n", 16},
        {0, fsca_NoNetwork, "ERROR: stop: Wrong network\r\n", 25},
        {0, fsca_AnswerTimeout, "ERROR: stop: Answer timed out\r\n", 28},
        {0, fsca_OK, "", 0},
    };
    for (const Case& c : cases) {
        int code = -1;
        EXPECT_EQ(PrintToString(c.sockErr, c.answer, u"ERROR: stop", u"UTF-8", code), c.line);
        EXPECT_EQ(code, c.exitCode);
    }
}

TEST(ChannelOutcome, ConvertsToTheConsoleSetAndSurvivesAnUnknownOne) {
    int code = -1;
    EXPECT_EQ(PrintToString(0, fsca_Busy, u"\u00C4", u"UTF-8", code), "\xC3\x84: Busy\r\n");
    EXPECT_EQ(PrintToString(0, fsca_Busy, u"\u00C4", u"WINDOWS-1252", code), "\xC4: Busy\r\n");
    EXPECT_EQ(PrintToString(0, fsca_Busy, u"x", u"NO-SUCH-SET", code), "x: Busy\r\n");
    EXPECT_EQ(code, 21);
}

TEST(ChannelOutcome, ConsoleCharsetNames) {
    EXPECT_EQ(ConsoleCharsetName(ccs_UNKNOWN, u"KOI8-R"), u"KOI8-R");
    EXPECT_EQ(ConsoleCharsetName(ccs_UTF8, u"KOI8-R"), u"UTF-8");
    EXPECT_EQ(ConsoleCharsetName(ccs_ANSI, u""), u"WINDOWS-1252");
    EXPECT_FALSE(ConsoleCharsetName(ccs_OEM, u"").empty());
}

// ------------------------------------------------------------ [Command]

TQORCommandChannelParams ReadCommand(const std::string& body, bool ip6 = true) {
    char tmpl[] = "/tmp/qor_cmd_XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/server.ini";
    std::ofstream(path, std::ios::binary) << "[Command]\n" << body;
    TQORCommandChannelParams p;
    {
        TIniFileUTF8 ini(std::u16string(path.begin(), path.end()), true);
        ReadCommandChannelParams(ini, u"command", ip6, p);
    }
    std::remove(path.c_str());
    std::remove(tmpl);
    return p;
}

TEST(CommandSection, DefaultsAndClamps) {
    const TQORCommandChannelParams d = ReadCommand("");
    EXPECT_FALSE(d.cfg_CmdEnabled);
    EXPECT_EQ(d.cfg_CmdPort, 10023);
    EXPECT_EQ(d.cfg_CmdIPVersion, ipver_4);
    EXPECT_TRUE(d.cfg_CmdPreferIPV4);
    EXPECT_EQ(d.cfg_CmdLogLevel, 0);
    EXPECT_EQ(d.cfg_CmdTimeout1, 1);
    EXPECT_EQ(d.cfg_CmdTimeout2, 2);

    struct Case {
        const char* body;
        std::function<int(const TQORCommandChannelParams&)> field;
        int expected;
    };
    const Case cases[] = {
        {"CommandIPVersion=64\n", [](auto& p) { return int(p.cfg_CmdIPVersion); }, ipver_46},
        {"CommandIPVersion= 46 \n", [](auto& p) { return int(p.cfg_CmdIPVersion); }, ipver_46},
        {"CommandIPVersion=6\n", [](auto& p) { return int(p.cfg_CmdIPVersion); }, ipver_6},
        {"CommandIPVersion=5\n", [](auto& p) { return int(p.cfg_CmdIPVersion); }, ipver_4},
        {"CommandTimeout1=9\n", [](auto& p) { return p.cfg_CmdTimeout1; }, 5},
        {"CommandTimeout1=-4\n", [](auto& p) { return p.cfg_CmdTimeout1; }, 1},
        {"CommandTimeout1=0\n", [](auto& p) { return p.cfg_CmdTimeout1; }, 1},
        {"CommandTimeout2=-1\n", [](auto& p) { return p.cfg_CmdTimeout2; }, 2},
        {"CommandLogLevel=-3\n", [](auto& p) { return p.cfg_CmdLogLevel; }, 0},
        {"CommandLogLevel=4\n", [](auto& p) { return p.cfg_CmdLogLevel; }, 4},
        {"CommandPort=0\n", [](auto& p) { return p.cfg_CmdPort; }, 10023},
        {"CommandPort=2000\n", [](auto& p) { return p.cfg_CmdPort; }, 2000},
        {"CommandEnabled=yes\n", [](auto& p) { return int(p.cfg_CmdEnabled); }, 1},
        {"CommandPreferIPv4=off\n", [](auto& p) { return int(p.cfg_CmdPreferIPV4); }, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.field(ReadCommand(c.body)), c.expected) << c.body;
    // Without IPv6 on the system the channel stays on IPv4.
    EXPECT_EQ(ReadCommand("CommandIPVersion=6\n", false).cfg_CmdIPVersion, ipver_4);
}

// ------------------------------------------------------------ decoders

struct StrCase {
    const char* name;
    std::string request;  // the argument text after "00x:"
    bool ok;
    std::u16string text;
    int consumed;  // bytes the cursor moved on success
};

TEST(ChannelDecoders, OneTextField) {
    const StrCase cases[] = {
        {"trimmed", std::string("04 ab "), true, u"ab", 6},
        {"empty", "00", true, u"", 2},
        {"blanks only", "03   ", true, u"", 5},
        {"utf8", "02\xC3\xA4", true, u"\u00E4", 4},
        {"rest kept", "02abXYZ", true, u"ab", 4},
        {"lone lead byte", "01\xC3", false, u"", 0},
        {"encoded surrogate", "03\xED\xA0\x80", false, u"", 0},
        {"overlong", "02\xC1\x81", false, u"", 0},
        {"four-byte char", "04\xF0\x9F\x98\x80", false, u"", 0},
        {"too long", "05abc", false, u"", 0},
        {"bad header", "zzab", false, u"", 0},
        {"no header", "0", false, u"", 0},
        {"long header", "8103abc", true, u"abc", 7},
    };
    for (const StrCase& c : cases) {
        SCOPED_TRACE(c.name);
        const char* p = c.request.data();
        int32_t n = static_cast<int32_t>(c.request.size());
        TCommandParse_Str r;
        ASSERT_EQ(ParseCommandStr(p, n, r), c.ok);
        if (!c.ok) {
            EXPECT_EQ(p, c.request.data());  // cursor untouched on failure
            continue;
        }
        EXPECT_EQ(r.cpn_Str1UCS2, c.text);
        EXPECT_EQ(r.cpn_Str1UTF8.size(), size_t(r.cpn_str1_len));
        EXPECT_EQ(std::string(r.cpn_str1_ptr, r.cpn_str1_len), r.cpn_Str1UTF8);
        EXPECT_EQ(p - c.request.data(), c.consumed);
        EXPECT_EQ(n, int32_t(c.request.size()) - c.consumed);
    }
}

TEST(ChannelDecoders, TwoAndThreeFieldsWithNumbers) {
    {
        const std::string s =
            "03Net"
            "02ab";
        const char* p = s.data();
        int32_t n = int32_t(s.size());
        TCommandParse_StrStr r;
        ASSERT_TRUE(ParseCommandStrStr(p, n, r));
        EXPECT_EQ(r.cpne_Str1UCS2, u"Net");
        EXPECT_EQ(r.cpne_Str2UTF8, "ab");
        EXPECT_EQ(n, 0);
    }
    struct NumCase {
        std::string request;
        bool ok;
        uint32_t value;
    };
    const NumCase nums[] = {
        {"03Net"
         "0260"
         "01a"
         "1",
         true, 60},
        {"03Net"
         "00"
         "01a"
         "1",
         true, 0},
        {"03Net"
         "0A4294967295"
         "01a",
         true, 4294967295u},
        {"03Net"
         "0A4294967296"
         "01a",
         false, 0},
        {"03Net"
         "03-12"
         "01a",
         false, 0},
        {"03Net"
         "031x2"
         "01a",
         false, 0},
        {"03Net"
         "0260",
         false, 0},  // third field missing
    };
    for (const NumCase& c : nums) {
        SCOPED_TRACE(c.request);
        const char* p = c.request.data();
        int32_t n = int32_t(c.request.size());
        TCommandParse_StrUInt32Str r;
        ASSERT_EQ(ParseCommandStrUInt32Str(p, n, r), c.ok);
        if (c.ok) {
            EXPECT_EQ(r.cpntc_UInt32, c.value);
            EXPECT_EQ(r.cpntc_Str1UCS2, u"Net");
            EXPECT_EQ(r.cpntc_Str2UCS2, u"a");
        }
    }

    struct MoveCase {
        std::string request;
        bool ok;
        int32_t seconds;
    };
    const MoveCase moves[] = {
        {"01c"
         "01f"
         "01t",
         true, 0},
        {"01c"
         "01f"
         "01t"
         "3C",
         true, 60},
        {"01c"
         "01f"
         "01t"
         "8201F4",
         true, 500},
        {"01c"
         "01f"
         "01t"
         "1",
         true, 0},  // one byte left: no number
        {"01c"
         "01f"
         "01t"
         "82FF",
         false, 0},
        {"01c"
         "01f"
         "01t"
         "8480000000",
         false, 0},
        {"01c"
         "01f",
         false, 0},
    };
    for (const MoveCase& c : moves) {
        SCOPED_TRACE(c.request);
        const char* p = c.request.data();
        int32_t n = int32_t(c.request.size());
        TCommandParse_StrStrStrInt32 r;
        ASSERT_EQ(ParseCommandStrStrStrInt32(p, n, r), c.ok);
        if (c.ok) {
            EXPECT_EQ(r.cpcnn_int32, c.seconds);
            EXPECT_EQ(r.cpcnn_Str3UTF8, "t");
        }
    }
}

}  // namespace
