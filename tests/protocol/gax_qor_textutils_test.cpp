#include "protocol/gax_qor_textutils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"

using namespace gax;

namespace {

class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        path_ = std::filesystem::temp_directory_path() /
                ("qor_textutils_" + std::to_string(::getpid()) + "_" + std::to_string(++n_));
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    std::u16string Name() const { return Utf8BufToUnicodeStd(path_.string()); }

  private:
    static inline int n_ = 0;
    std::filesystem::path path_;
};

std::vector<std::string> ReadAll(const std::string& content, size_t limit, size_t bufSize) {
    TempFile tf(content);
    TQORTextFileReaderA r(bufSize);
    EXPECT_EQ(r.Open(tf.Name()), 0);
    FastStringA f(1);
    std::vector<std::string> lines;
    while (FastStrReadLn(r, f, limit)) {
        EXPECT_EQ(f.Data()[f.Len()], '\0');
        lines.push_back(f.Str());
    }
    EXPECT_TRUE(f.Empty());
    return lines;
}

}  // namespace

TEST(LineReader, LinesCutsAndEndings) {
    using V = std::vector<std::string>;
    const std::string longLine = std::string(2048, 'a') + std::string(952, 'b');
    for (size_t buf : {size_t(4096), size_t(7), size_t(1)}) {
        EXPECT_EQ(ReadAll("abc\r\nx\n", 2048, buf), (V{"abc", "x"})) << buf;
        EXPECT_EQ(ReadAll(longLine + "\nnext\n", 2048, buf), (V{std::string(2048, 'a'), "next"}))
            << buf;
        EXPECT_EQ(ReadAll("\n\r\nlast\r", 2048, buf), (V{"", "", "last\r"})) << buf;
        EXPECT_EQ(ReadAll("", 2048, buf), V{}) << buf;
        EXPECT_EQ(ReadAll(std::string("a\0b\n", 4), 2048, buf), V{std::string("a\0b", 3)});
        EXPECT_EQ(ReadAll("abcdef\r\nxy\n", 3, buf), (V{"abc", "xy"})) << buf;
    }
    TQORTextFileReaderA closed;
    FastStringA f(4);
    f.Append("old");
    EXPECT_FALSE(FastStrReadLn(closed, f, 10));
    EXPECT_TRUE(f.Empty());
    EXPECT_NE(closed.Open(u"/nonexistent/dir/file"), 0);
}

TEST(TextRoutines, FilterControlChars) {
    EXPECT_EQ(FilterControlChars(u"a\tb\r\nc\x01\x1f\x7f"), u"a\tbc\x7f");
    const std::u16string many(600, u'x');
    EXPECT_EQ(FilterControlChars(many), std::u16string(500, u'x'));
    std::u16string mixed;
    for (int i = 0; i < 600; ++i) mixed += i % 2 ? u'\n' : u'y';
    EXPECT_EQ(FilterControlChars(mixed), std::u16string(300, u'y'));
}

TEST(TextRoutines, UnicodeToAnsiMaxBytes) {
    TAnsiUnicodeConverter bin;  // no character set selected: the default 8-bit set
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&bin, 3, u"abcdef"), "abc");
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&bin, 10, u"abc"), "abc");
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&bin, 0, u"abc"), "");

    auto list = CreateCharsetsCodeList();
    TAnsiUnicodeConverter utf8;
    utf8.SetCharsetsCodeList(list.get());
    utf8.SetCharsetName(u"UTF-8");
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&utf8, 3, u"\u00e9\u00e9\u00e9"), "\xC3\xA9");
    // a cut between the halves of a pair drops the whole pair
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&utf8, 4, u"a\U0001F600"), "a");
    EXPECT_EQ(UnicodeToAnsiMaxBytes(&utf8, 5, u"a\U0001F600b"), "a\xF0\x9F\x98\x80");
}

TEST(TextRoutines, SamePrefixAndReopenSignal) {
    EXPECT_TRUE(SamePrefixMinLen(u"SIGUSR1", u"SIGUSR1X", 7));
    EXPECT_FALSE(SamePrefixMinLen(u"SIGUSR1", u"SIG", 7));
    EXPECT_FALSE(SamePrefixMinLen(u"U1", u"", 0));
    EXPECT_TRUE(SamePrefixMinLen(u"U1", u"U", 0));

    const struct {
        std::u16string text;
        bool ok;
        TQORReopenLogSignal sig;
    } cases[] = {
        {u"usr2", true, rls_SIGUSR2},
        {u"  u2\t", true, rls_SIGUSR2},
        {u"1", true, rls_SIGUSR2},
        {u"0", true, rls_SIGUSR1},
        {u"00001", true, rls_SIGUSR2},
        {u"2", false, rls_SIGUSR1},
        {u"99999999999999999999", false, rls_SIGUSR1},
        {u"US", false, rls_SIGUSR1},
        {u"SIGUSR1X", true, rls_SIGUSR1},
        {u"sigusr2", true, rls_SIGUSR2},
        {u"U1", true, rls_SIGUSR1},
        {u"USR", false, rls_SIGUSR1},
        {u"", false, rls_SIGUSR1},
        {u"-1", false, rls_SIGUSR1},
        {u"U3", false, rls_SIGUSR1},
    };
    for (const auto& c : cases) {
        TQORReopenLogSignal s = rls_SIGUSR1;
        EXPECT_EQ(TryParseReopenLogSignal(c.text, s), c.ok);
        if (c.ok) {
            EXPECT_EQ(s, c.sig);
        }
        EXPECT_EQ(ReopenLogSignalFromText(c.text), c.ok ? c.sig : rls_SIGUSR1);
    }
}
