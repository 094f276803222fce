#include "foundation/gax_tgetopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace gax;

namespace {

std::u16string U(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::vector<std::u16string> Params(const std::vector<std::string>& words) {
    std::vector<std::u16string> p{u"/opt/qor/server"};
    for (const auto& w : words) p.push_back(U(w));
    return p;
}

TGetopt Parser(const std::vector<std::string>& words) {
    TGetopt g(Params(words), u"ab:c::");
    g.AddLongOption(u"verbose", atNone);
    g.AddLongOption(u"config", atRequired);
    g.AddLongOption(u"level", atOptional);
    g.AddLongOption(u"bee", u'b');
    g.AddLongOption(u"all", u'a');
    return g;
}

// Renders every option read as "x", "x=arg", "--name" or "--name=arg", then
// "|" and the remaining arguments separated by spaces.
std::string Trace(const std::vector<std::string>& words) {
    TGetopt g = Parser(words);
    std::string out;
    while (g.getopt()) {
        if (!out.empty()) out += ' ';
        if (g.IsLongOption()) {
            out += "--";
            for (char16_t c : g.LongOption()) out += static_cast<char>(c);
        } else {
            out += static_cast<char>(g.Option());
        }
        if (!g.Argument().empty()) {
            out += '=';
            for (char16_t c : g.Argument()) out += static_cast<char>(c);
        }
    }
    out += '|';
    for (size_t i = 0; i < g.RemainingArguments().size(); ++i) {
        if (i) out += ' ';
        for (char16_t c : g.RemainingArguments()[i]) out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

TEST(Getopt, OptionsArgumentsAndRemainingWords) {
    struct Case {
        std::vector<std::string> words;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "|"},
        {{"-a", "-b", "5"}, "a b=5|"},
        {{"-ab5"}, "a b=5|"},
        {{"-ab", "5", "run"}, "a b=5|run"},
        {{"-c"}, "c|"},
        {{"-cx"}, "c=x|"},
        {{"-c", "run"}, "c=run|"},  // an optional argument takes a following word
        {{"-c", "-a"}, "c a|"},
        {{"--config=x.ini"}, "--config=x.ini|"},
        {{"--config", "x.ini", "run"}, "--config=x.ini|run"},
        {{"--config=a=b"}, "--config=a=b|"},
        {{"--level"}, "--level|"},
        {{"--level=3", "run"}, "--level=3|run"},
        {{"--verbose", "-a", "debug", "-b"}, "--verbose a|debug -b"},
        // A long name that stands for a letter reports the letter.
        {{"--bee", "7", "--all"}, "b=7 a|"},
        {{"--bee=7"}, "b=7|"},
        {{"-a", "run", "file"}, "a|run file"},
        // "--" ends the options and is not among the remaining words.
        {{"-a", "--", "-b", "x"}, "a|-b x"},
        {{"--"}, "|"},
        {{"-", "x"}, "|- x"},
        // A one-character first word stays among the remaining words.
        {{"x", "-a"}, "|x -a"},
        {{"r"}, "|r"},
        {{"", "a"}, "| a"},
        {{"-a", "s", "t"}, "a|s t"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& w : c.words) joined += "[" + w + "]";
        EXPECT_EQ(Trace(c.words), c.expected) << joined;
    }
}

TEST(Getopt, ErrorsCarryTheirTextAndTheOffendingOption) {
    struct Case {
        std::vector<std::string> words;
        std::string message;
        std::string offending;
    };
    const Case cases[] = {
        {{"-b"}, "Required argument missing!", "b"},
        {{"-ab"}, "Required argument missing!", "b"},
        {{"-b", "-a"}, "Required argument missing!", "b"},
        {{"--config="}, "Required argument missing!", "config"},
        {{"--config"}, "Required argument missing!", "config"},
        {{"--bee"}, "Required argument missing!", "bee"},
        {{"--verbose=1"}, "This long parameter expects no arguments!", "verbose"},
        {{"--verbose="}, "This long parameter expects no arguments!", "verbose"},
        {{"--all=1"}, "This long parameter expects no arguments!", "all"},
        {{"--nope"}, "Invalid long command line option encountered!", "nope"},
        {{"--Verbose"}, "Invalid long command line option encountered!", "Verbose"},
        {{"-z"}, "Invalid command line option encountered!", "z"},
        {{"-a:"}, "Invalid command line option encountered!", ":"},
        {{"-az"}, "Invalid command line option encountered!", "z"},
    };
    for (const Case& c : cases) {
        TGetopt g = Parser(c.words);
        try {
            while (g.getopt()) {
            }
            ADD_FAILURE() << "no exception for " << c.words[0];
        } catch (const EGetoptException& e) {
            EXPECT_STREQ(e.what(), c.message.c_str()) << c.words[0];
            EXPECT_EQ(e.OffendingOption(), U(c.offending)) << c.words[0];
            EXPECT_EQ(e.ParamStr(), U(c.words[0])) << c.words[0];
            EXPECT_EQ(e.ClassName(), u"EGetoptException");
        }
    }
}

TEST(Getopt, ErrorPositionAndEmptyLongTable) {
    TGetopt g(Params({"-az"}), u"a");
    EXPECT_TRUE(g.getopt());
    try {
        g.getopt();
        FAIL() << "no exception";
    } catch (const EGetoptException& e) {
        EXPECT_EQ(e.Optind(), 3);
    }
    TGetopt none(Params({"--verbose"}), u"a");
    EXPECT_THROW(none.getopt(), EGetoptException);
}

TEST(Getopt, RemainingArgumentsAndProgramName) {
    TGetopt g = Parser({"-a", "  run ", "file"});
    EXPECT_EQ(g.ProgramName(), u"/opt/qor/server");
    EXPECT_TRUE(g.getopt());
    EXPECT_EQ(g.Option(), u'a');
    EXPECT_FALSE(g.IsLongOption());
    EXPECT_EQ(g.LongOption(), u"");
    EXPECT_FALSE(g.getopt());
    EXPECT_EQ(g.Option(), 0);
    EXPECT_EQ(g.GetRemain(0), u"run");  // trimmed
    EXPECT_EQ(g.GetRemain(1), u"file");
    EXPECT_EQ(g.GetRemain(2), u"");
    EXPECT_EQ(g.GetRemain(-1), u"");
    // Once done, further calls change nothing.
    EXPECT_FALSE(g.getopt());
    EXPECT_EQ(g.RemainingArguments().size(), 2u);

    TGetopt empty({}, u"a");
    EXPECT_FALSE(empty.getopt());
    EXPECT_TRUE(empty.RemainingArguments().empty());
    EXPECT_EQ(empty.ProgramName(), u"");
}
