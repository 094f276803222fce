// The console's command line: words, flags, parameter rules and their checks.
#include "control/gax_qor_cmdwords.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace gax;
using C = TQORSVCCommand;

namespace {

std::vector<std::u16string> Words(const std::string& line) {
    std::vector<std::u16string> v{u"/opt/qor/QORServerConsole"};
    std::istringstream in(line);
    std::string w;
    while (in >> w) v.emplace_back(w == "''" ? std::u16string() : std::u16string(w.begin(), w.end()));
    return v;
}

struct Parsed {
    bool ok;
    C command;
    TQORSVCCommandLineOptions o;
    TQORSVCCommandRule rule;
    int32_t count;
};

Parsed Parse(const std::string& line) {
    Parsed p{};
    p.ok = ParseCommandLine(Words(line), p.count, p.o, p.command, p.rule);
    return p;
}

}  // namespace

TEST(CommandWords, WordsAndSynonyms) {
    EXPECT_EQ(FindCommandWord(u"MUTE"), C::mute);
    EXPECT_EQ(FindCommandWord(u"mute2"), C::none);
    EXPECT_EQ(FindCommandWord(u"TempClientMove"), C::movetemp);
    EXPECT_EQ(FindCommandWord(u"nostdout"), C::run);
    EXPECT_EQ(FindCommandWord(u"serverid"), C::clientid);
    EXPECT_EQ(FindCommandWord(u"paramset"), C::setparameter);
    EXPECT_EQ(FindCommandWord(u"memrep"), C::memoryreport);
    EXPECT_EQ(FindCommandWord(u""), C::none);
    EXPECT_EQ(CommandName(C::list), u"list");
    // The words without an action have no rule row.
    EXPECT_FALSE(FindCommandRule(C::cmdport).HasRow);
    EXPECT_FALSE(FindCommandRule(C::syncintflags).HasRow);
    EXPECT_TRUE(FindCommandRule(C::clientid).HasRow);
}

TEST(CommandWords, CommandLines) {
    struct Case {
        const char* line;
        bool ok;
        C command;
        const char16_t* error;
    };
    const Case cases[] = {
        {"", true, C::none, u""},
        {"MUTE id Main", true, C::mute, u""},
        {"mute2 id Main", false, C::none, u""},
        {"mute id", false, C::mute, u""},  // the network is missing
        {"movetemp 5m id Main", false, C::movetemp, u""},
        {"movetemp 5m id Main Other", true, C::movetemp, u""},
        {"-n Main listnet Main", false, C::listnet, u"Ambiguous network(room) name"},
        {"-t 5m mutetemp 10m id Main", false, C::mutetemp, u"Ambiguous time setting"},
        {"mutetemp 10x id Main", false, C::mutetemp, u"Invalid time interval"},
        {"mutetemp 0 id Main", true, C::mutetemp, u""},
        // what the server takes: a signed 32-bit count of seconds
        {"mutetemp 24855d3h14m7s id Main", true, C::mutetemp, u""},
        {"mutetemp 24855d3h14m8s id Main", false, C::mutetemp, u"Invalid time interval"},
        {"blocktemp 100y id Main", false, C::blocktemp, u"Invalid time interval"},
        {"movetemp 100y id Main Other", false, C::movetemp, u"Invalid time interval"},
        {"-t 100y move id Main Other", false, C::none, u"Invalid time interval"},
        {"setloglevel 9", false, C::setloglevel, u"Invalid log level: 9"},
        {"setmanpassidx 4 pw", false, C::setmanpassidx, u"Invalid manager index"},
        {"setmanpassidx x pw", false, C::setmanpassidx, u"Invalid manager index"},
        {"-u -o list", false, C::none, u"Multiple charset definitions"},
        {"-c a.ini run b.ini", false, C::run, u"Ambiguous config file name"},
        {"run ''", false, C::run, u""},
        {"clientid", false, C::clientid, u""},
        {"syncintflags", false, C::none, u""},
        {"cmdport", false, C::none, u""},
        {"portcmd server.ini", false, C::none, u""},
        {"-x list", false, C::none, u""},
        {"-n '' list", false, C::none, u""},
        {"-t 10q list", false, C::none, u"Invalid time interval"},
        {"dservmanmode bogus", false, C::dservmanmode, u"Invalid manager mode"},
        {"sendhugesound user@example.org Main", true, C::sendhugesound, u""},
        {"sendhugesound kAFQmDzST7DWlj99KOF/cg/9 Main", true, C::sendhugesound, u""},
        {"sendhugesound kAFQmDzST7DWlj99KOF/cg/8 Main", false, C::sendhugesound,
         u"Wrong clientid or email: kAFQmDzST7DWlj99KOF/cg/8"},
        {"getparameter Server", false, C::getparameter, u""},
        {"setparameter Server Key", true, C::setparameter, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Parsed p = Parse(c.line);
        EXPECT_EQ(p.ok, c.ok);
        EXPECT_EQ(p.command, c.command);
        EXPECT_EQ(p.o.sclo_ErrorText, c.error);
    }
}

TEST(CommandWords, ConfigurationFileAndNetworkOptions) {
    Parsed p = Parse("-n Main list server2.ini");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.command, C::list);
    EXPECT_TRUE(p.o.sclo_NetOpt);
    EXPECT_EQ(p.o.sclo_NetworkNameU, u"Main");
    EXPECT_EQ(p.o.sclo_ConfigFileNameU, u"server2.ini");
    EXPECT_FALSE(p.o.sclo_DefaultConfig);
    EXPECT_TRUE(p.rule.Channel);

    p = Parse("-c a.ini run");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.o.sclo_ConfigFileNameU, u"a.ini");
    EXPECT_TRUE(p.o.sclo_DefaultConfig);

    p = Parse("debug");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.o.sclo_ConfigFileNameU, u"server.ini");

    // The file follows the command's own parameters; further words are not read.
    p = Parse("setparameter Server Key Value /etc/qor/server.ini extra");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.o.sclo_ConfigFileNameU, u"/etc/qor/server.ini");
    EXPECT_TRUE(p.rule.MayCreate);
    EXPECT_TRUE(p.rule.NotParsed);
    EXPECT_EQ(p.count, 6);
}

TEST(CommandWords, FlagsAndChecksFillTheRecord) {
    Parsed p = Parse("-f -l -y -r | --utf8 dsetloglevelmanidx 1 VERB");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.o.sclo_Ip && p.o.sclo_Email && p.o.sclo_ServerId && p.o.sclo_Proto &&
                p.o.sclo_ManagerId && p.o.sclo_Flat && p.o.sclo_Empty);
    EXPECT_EQ(p.o.sclo_ListDelimiter, u'|');
    EXPECT_EQ(p.o.sclo_Charset, ccs_UTF8);
    EXPECT_EQ(p.o.sclo_ManagerIndex, 1);
    EXPECT_EQ(p.o.sclo_LogLevel, 6);

    p = Parse("--time=1h mute id Main");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.o.sclo_TimeOpt);
    EXPECT_EQ(p.o.sclo_TimeInterval, 3600);

    p = Parse("dnetmanmode light Main");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.o.sclo_ManagerMode, smm_Light);

    // -h replaces whatever command was given.
    p = Parse("-h mute id Main");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.command, C::help);
    EXPECT_TRUE(p.o.sclo_Par2.empty());
}

TEST(CommandWords, LogLevelTexts) {
    struct Case {
        const char16_t* text;
        int level;  // -1: refused
    };
    const Case cases[] = {
        {u"0", 0},      {u"7", 7},       {u"8", -1},        {u"-1", -1},   {u"VERB", 6},
        {u"verbose", 6}, {u" all ", 5},  {u"E", -1},        {u"ER", 3},    {u"EX", 7},
        {u"N", 0},       {u"LOGINX", 4}, {u"", -1},         {u"Q", -1},    {u"D", 1},
    };
    for (const Case& c : cases) {
        int32_t level = -1;
        const bool ok = cmdwords::ParseLogLevelText(c.text, level);
        EXPECT_EQ(ok ? level : -1, c.level) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    }
}

TEST(CommandWords, EmailSyntax) {
    const std::pair<const char16_t*, bool> cases[] = {
        {u"user@example.org", true},   {u"a.b+c_d@x-y.example.org", true},
        {u"user@example.o", false},    {u"user@example", false},
        {u"user@@example.org", false}, {u"us er@example.org", false},
        {u"user@example.org.", false}, {u"user@.example.org", false},
        {u"user@ex..org", false},      {u"user@ex_ample.org", false},
        {u"user", false},              {u"us\u00e9r@example.org", false},
        {u"\u0416@example.org", true},
    };
    for (const auto& [text, ok] : cases) EXPECT_EQ(cmdwords::CheckEMailSyntax(text), ok);
}
