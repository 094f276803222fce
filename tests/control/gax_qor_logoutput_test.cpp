// The log output: time-stamp prefix, CR LF, console character set, the log
// file's mode and reopening.
#include "control/gax_qor_logoutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "foundation/file_test_support.h"
#include "foundation/gax_mlang.h"

using namespace gax;
using file_test::ReadAll;
using file_test::U;

namespace {

TDateTimeFields At(int y, int mo, int d, int h, int mi, int s, int ms) {
    TDateTimeFields f;
    f.Year = y, f.Month = mo, f.Day = d, f.Hour = h, f.Minute = mi, f.Second = s,
    f.Millisecond = ms;
    return f;
}

class LogOutputTest : public file_test::TempDirTest {};

}  // namespace

TEST(LogTimePrefix, FieldsAreRewrittenWhenTheyChange) {
    TQORLogTimePrefix p;
    EXPECT_EQ(p.Text(), "9999-99-99 99:99:99.999: ");
    EXPECT_EQ(p.Update(At(2024, 1, 2, 9, 5, 3, 7)), "2024-01-02 09:05:03.007: ");
    EXPECT_EQ(p.Update(At(2024, 1, 2, 9, 5, 3, 999)), "2024-01-02 09:05:03.999: ");
    EXPECT_EQ(p.Update(At(1999, 12, 31, 23, 59, 59, 0)), "1999-12-31 23:59:59.000: ");
    // Out-of-range start values force the first line to fill year and milliseconds.
    TQORLogTimePrefix q;
    EXPECT_EQ(q.Update(At(9999, 1, 1, 0, 0, 0, 999)), "9999-01-01 00:00:00.999: ");
}

TEST_F(LogOutputTest, LogFileLinesModeAndReopen) {
    const std::string log = P("qorserver.log");
    ::umask(022);
    {
        TQORLogOutput out(stdout);
        out.OpenLogFile(U(log));
        out.InfoMessageAt(At(2024, 1, 2, 9, 5, 3, 7), u"Start listening");
        out.InfoMessageAt(At(2024, 1, 2, 9, 5, 3, 8), u"");
        out.InfoFlush();
        EXPECT_EQ(ReadAll(log),
                  "2024-01-02 09:05:03.007: Start listening\r\n2024-01-02 09:05:03.008: \r\n");
        struct stat st {};
        ASSERT_EQ(::stat(log.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);

        // A rotated log: the reopen creates the file anew and writes on there.
        ASSERT_EQ(::rename(log.c_str(), P("qorserver.log.1").c_str()), 0);
        out.ReopenLogFile();
        out.WriteConsoleLine(u"after rotation");
        EXPECT_EQ(ReadAll(log), "after rotation\r\n");
        out.WriteAbortedLine(u"CTRL-C");
    }
    const std::string text = ReadAll(log);
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\r\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}: Aborted: \\[CTRL-C\\]\r\n$")))
        << text;

    // Appending keeps what is there.
    {
        TQORLogOutput again(stdout);
        again.OpenLogFile(U(log));
        again.WriteConsoleLine(u"appended");
        // The program's own error once the log is open goes there too.
        again.WriteErrorLine(u"ERROR: Bindings are added after Start");
    }
    EXPECT_EQ(ReadAll(log), text + "appended\r\nERROR: Bindings are added after Start\r\n");

    TQORLogOutput bad(stdout);
    EXPECT_THROW(bad.OpenLogFile(U(P("no/such/dir/x.log"))), Exception);
}

TEST_F(LogOutputTest, ConsoleCharacterSet) {
    const auto codes = CreateCharsetsCodeList();
    std::FILE* f = std::tmpfile();
    {
        TQORLogOutput out(f);
        out.SetConsoleCharset(u"WINDOWS-1251", codes.get());
        out.InfoMessageAt(At(2024, 5, 6, 7, 8, 9, 10), u"\u0414a");
        out.SetConsoleCharset(u"UTF-8", codes.get());
        out.WriteConsoleLine(u"\u0414");
        EXPECT_THROW(out.SetConsoleCharset(u"NO-SUCH-SET", codes.get()), Exception);
    }
    std::rewind(f);
    char buf[256];
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n), "2024-05-06 07:08:09.010: \xc4" "a\r\n\xd0\x94\r\n");
}

TEST(LogOutputDrain, BatchesOf128AndOneFlushEach) {
    std::FILE* f = std::tmpfile();
    auto out = std::make_unique<TQORLogOutput>(f);
    int next = 0;
    int pulls = 0;
    auto pull = [&](std::u16string& line) {
        ++pulls;
        if (next == 300) return false;
        const std::string s = "line " + std::to_string(next++);
        line.assign(s.begin(), s.end());
        return true;
    };
    EXPECT_EQ(out->DrainLines(pull), 128);
    EXPECT_EQ(pulls, 128);  // no line pulled beyond the batch
    EXPECT_EQ(out->DrainLines(pull), 128);
    EXPECT_EQ(out->DrainLines(pull), 44);
    EXPECT_EQ(out->DrainLines(pull), 0);
    out.reset();
    std::rewind(f);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    // Every line once, in order, each with its prefix.
    size_t pos = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string want = ": line " + std::to_string(i) + "\r\n";
        const size_t at = text.find(want, pos);
        ASSERT_NE(at, std::string::npos) << i;
        EXPECT_EQ(at, pos + TQORLogTimePrefix::kLength - 2) << i;
        pos = at + want.size();
    }
    EXPECT_EQ(pos, text.size());
}
