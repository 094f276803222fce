#include "server/gax_qor_svc_datafile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "foundation/file_test_support.h"
#include "foundation/gax_datetime.h"
#include "foundation/gax_fileutils.h"

using namespace gax;
using namespace file_test;

namespace {

std::vector<std::string> Fields(std::string_view line, int32_t max, int32_t* count) {
    std::vector<std::string_view> f(static_cast<size_t>(max));
    *count = SplitFieldsBuf(line, f.data(), max);
    return {f.begin(), f.end()};
}

// Lines a reader would parse, as "number:text".
std::vector<std::string> Lines(std::string bytes, size_t limit, bool semicolon) {
    TQORSVCListFileLines lines(std::move(bytes), limit, semicolon);
    std::vector<std::string> out;
    int32_t no;
    std::string_view line;
    while (lines.Next(no, line)) out.push_back(std::to_string(no) + ":" + std::string(line));
    return out;
}

std::vector<std::string> StagingDirs(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& n : List(dir))
        if (n.rfind(".QORSVC$", 0) == 0) out.push_back(n);
    return out;
}

}  // namespace

TEST(DataFileFields, SplitHexTypeIdAndName) {
    int32_t n;
    auto f = Fields("a|b||", 5, &n);
    EXPECT_EQ(n, 4);  // a trailing separator gives one more, empty, field
    EXPECT_EQ(f[0], "a");
    EXPECT_EQ(f[2], "");
    EXPECT_EQ(f[3], "");
    Fields("a|b|c|d", 2, &n);
    EXPECT_EQ(n, 2);
    Fields("a\tb|c", 4, &n);
    EXPECT_EQ(n, 2);  // TAB is allowed
    Fields("a|b\rc", 4, &n);
    EXPECT_EQ(n, -2);

    struct {
        const char* field;
        int32_t result;
        const char* bytes;
    } hex[] = {
        {"", 0, ""},          {" 41 ", 1, "A"},  {"4a 6B", 2, "Jk"}, {"4 1", 1, "A"},
        {"414", -1, ""},      {"4G", -1, ""},    {"41|", -1, ""},
    };
    for (const auto& c : hex) {
        std::string out = "junk";
        EXPECT_EQ(DecodeHexField(out, c.field), c.result) << c.field;
        EXPECT_EQ(out, c.bytes) << c.field;
    }
    // Control bytes decoded from a stored text become blanks.
    std::string text;
    EXPECT_EQ(DecodeHexTextField(text, "410D0A42"), 4);
    EXPECT_EQ(text, "A  B");

    TQORClientType t;
    EXPECT_EQ(ParseClientTypeField(t, " 1 "), 1);
    EXPECT_EQ(t, clt_GATEWAY);
    EXPECT_EQ(ParseClientTypeField(t, "3"), -1);
    EXPECT_EQ(ParseClientTypeField(t, ""), -1);
    EXPECT_EQ(t, clt_PC);

    std::string name;
    EXPECT_TRUE(ParseNetworkNameField("  Main ", name));
    EXPECT_EQ(name, "Main");
    EXPECT_FALSE(ParseNetworkNameField("   ", name));
    EXPECT_FALSE(ParseNetworkNameField("Ma\xFFin", name));

    std::string id;
    bool rewrite = false;
    EXPECT_TRUE(ParseClientIdField("+/fGrsHUKAt8JwTBwEeL1gcz", id, rewrite));
    EXPECT_FALSE(rewrite);
    EXPECT_TRUE(ParseClientIdField(" +/fGrsHUKAt8JwTBwEeL1g ", id, rewrite));
    EXPECT_EQ(id, "+/fGrsHUKAt8JwTBwEeL1gcz");
    EXPECT_TRUE(rewrite);  // completed from 22 characters: saved again in full
    EXPECT_FALSE(ParseClientIdField("+/fGrsHUKAt8JwTBwEeL1gXX", id, rewrite));
    EXPECT_FALSE(ParseClientIdField("short", id, rewrite));

    EXPECT_EQ(MakeDwordPaddedKey("abcde"), std::string("abcde\0\0\0", 8));
    EXPECT_EQ(MakeDwordPaddedKey("abcd"), "abcd");
    EXPECT_EQ(MakeDwordPaddedKey(""), "");
}

TEST(DataFileFields, RegisterTime) {
    struct {
        const char* field;
        bool zeroIsBad;
        int64_t value;
        bool rewrite;
    } cases[] = {
        {"", false, 0, false},           {"u1700000000", false, 1700000000, false},
        {" u5 ", false, 5, false},       {"u0", false, 0, false},
        {"u0", true, 0, true},           {"u-5", false, 0, true},
        {"u12x", false, 0, true},        {"u", false, 0, true},
        {"u9223372036854775807", false, 0, true},  // past any real date
        {"1700000000", false, 0, true},  {"-1", false, 0, true},
        {"20231399000000000", false, 0, true},  // month 13
    };
    for (const auto& c : cases) {
        bool rewrite = false;
        EXPECT_EQ(ParseRegisterTimeField(c.field, c.zeroIsBad, rewrite), c.value) << c.field;
        EXPECT_EQ(rewrite, c.rewrite) << c.field;
    }
    // The old local form is taken with the standard-time bias and rewritten.
    bool rewrite = false;
    const int64_t t = ParseRegisterTimeField("20231114221320123", false, rewrite);
    EXPECT_TRUE(rewrite);
    EXPECT_EQ(t, 1700000000 + GetTimeZoneBiasSeconds());
    EXPECT_EQ(RegisterTimeFieldText(t), "u" + std::to_string(t));
    EXPECT_EQ(RegisterTimeFieldText(0), "");
}

TEST(DataFileLines, GrammarAndLimits) {
    EXPECT_EQ(Lines(std::string(kQORSVCDataFileHeader), 8192, true), std::vector<std::string>{});
    EXPECT_EQ(Lines("\xEF\xBB\xBF"
                    "a|1\r\n"
                    "  # comment\n"
                    "\t \r\n"
                    "; semi\n"
                    "  b|2\r\r\n"
                    "last",
                    8192, true),
              (std::vector<std::string>{"1:a|1", "5:b|2\r", "6:last"}));
    EXPECT_EQ(Lines("; kept\n", 8192, false), std::vector<std::string>{"1:; kept"});
    // A mark that is not on line 1 is data.
    EXPECT_EQ(Lines("x\n\xEF\xBB\xBFy\n", 8192, true).at(1), "2:\xEF\xBB\xBFy");

    // The limit is the writer's longest line and more: 8192 bytes pass whole,
    // a longer line voids the read rather than being cut and saved away.
    const std::string longest(8192, 'x');
    EXPECT_EQ(Lines("#\n" + longest + "\r\n", 8192, true).at(0), "2:" + longest);
    EXPECT_EQ(Catch([&] { Lines("#\n#\n" + longest + "y\n", 8192, true); }),
              u"line 3: Collector got too long string");
}

class DataFileWrite : public TempDirTest {};

TEST_F(DataFileWrite, HeaderLinesModesAndNoStagingLeft) {
    const std::string path = P("mutes.dat");
    WriteDataFile(U(path), U(dir), {"a|1\r\n", "", "b|2\r\n"});
    EXPECT_EQ(ReadAll(path), std::string(kQORSVCDataFileHeader) + "a|1\r\nb|2\r\n");
    EXPECT_EQ(ReadAll(path).size(), 68u + 10u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // a new list file
    EXPECT_EQ(StagingDirs(dir), std::vector<std::string>{});

    // An existing file keeps the mode the operator gave it.
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    WriteDataFile(U(path), U(dir), {});
    EXPECT_EQ(ReadAll(path), kQORSVCDataFileHeader);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);

    // A target in another directory is staged under the data directory.
    ASSERT_EQ(plat::Mkdir(P("lists")), 0);
    WriteDataFile(U(P("lists/admins.dat")), U(dir), {"x\r\n"});
    EXPECT_EQ(ReadAll(P("lists/admins.dat")), std::string(kQORSVCDataFileHeader) + "x\r\n");
    EXPECT_EQ(StagingDirs(dir), std::vector<std::string>{});
    EXPECT_EQ(StagingDirs(P("lists")), std::vector<std::string>{});
}

TEST_F(DataFileWrite, FailureLeavesTheTargetAndRelativePathsAreRefused) {
    const std::string path = P("rights.dat");
    WriteFile(path, "old");
    // The target's name is taken by a directory: the rename fails, the mover
    // rolls back and nothing of the old content is lost.
    ASSERT_EQ(plat::Mkdir(P("dirtarget")), 0);
    WriteFile(P("dirtarget/keep"), "k");
    EXPECT_THROW(WriteDataFile(U(P("dirtarget")), U(dir), {"x\r\n"}), Exception);
    EXPECT_EQ(ReadAll(P("dirtarget/keep")), "k");
    EXPECT_EQ(ReadAll(path), "old");
    EXPECT_EQ(StagingDirs(dir), std::vector<std::string>{});
    EXPECT_THROW(WriteDataFile(u"relative.dat", U(dir), {}), EQORSVCDataFileError);
    EXPECT_THROW(WriteDataFile(U(path), u"data", {}), EQORSVCDataFileError);
    EXPECT_EQ(ReadAll(path), "old");
}

TEST_F(DataFileWrite, GuardNeverSavesOverAFileThatFailedToRead) {
    TQORSVCDataFileGuard guard;
    EXPECT_TRUE(guard.MaySave());
    // Missing: a fresh installation; the first save creates it.
    EXPECT_FALSE(guard.NoteReadFailure(U(P("missing.dat"))));
    EXPECT_TRUE(guard.MaySave());
    // Present but unreadable (here: a directory): no save until a good read.
    ASSERT_EQ(plat::Mkdir(P("bad.dat")), 0);
    EXPECT_TRUE(guard.NoteReadFailure(U(P("bad.dat"))));
    EXPECT_FALSE(guard.MaySave());
    guard.NoteReadSuccess();
    EXPECT_TRUE(guard.MaySave());
    // The unreadable file is taken away: nothing is left to protect, and the
    // lists held since then must reach a new file with the next save.
    EXPECT_TRUE(guard.NoteReadFailure(U(P("bad.dat"))));
    ASSERT_EQ(rmdir(P("bad.dat").c_str()), 0);
    EXPECT_FALSE(guard.NoteReadFailure(U(P("bad.dat"))));
    EXPECT_TRUE(guard.MaySave());
    // On the built-in test networks nothing is saved.
    guard.SetTestNetworks(true);
    EXPECT_FALSE(guard.MaySave());
}

// A save killed at any moment leaves the old or the new file whole: the child
// saves version after version while the parent kills it at random moments.
TEST_F(DataFileWrite, KilledSavesLeaveAWholeFile) {
    const std::string path = P("blocks.dat");
    auto version = [](int v) {
        std::vector<std::string> lines;
        for (int i = 0; i < 400; ++i)
            lines.push_back("Main|" + std::to_string(v) + "|" + std::string(200, char('a' + v % 26)) +
                            "|" + std::to_string(i) + "\r\n");
        return lines;
    };
    auto content = [&](int v) {
        std::string s(kQORSVCDataFileHeader);
        for (const std::string& l : version(v)) s += l;
        return s;
    };
    WriteDataFile(U(path), U(dir), version(0));

    std::mt19937 rng(12345);
    constexpr int kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int v = 1;; ++v) {
                try {
                    WriteDataFile(U(path), U(dir), version(round * 1000 + v));
                } catch (...) {
                    _exit(3);
                }
            }
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(rng));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver failed";

        const std::string now = ReadAll(path);
        ASSERT_GE(now.size(), kQORSVCDataFileHeader.size()) << "round " << round;
        // Which version is it? The second field of the first line says.
        const size_t at = kQORSVCDataFileHeader.size() + 5;
        const int v = std::stoi(now.substr(at, now.find('|', at) - at));
        ASSERT_EQ(now, content(v)) << "round " << round;
    }
    // The next good save clears what killed saves left behind, and leaves nothing.
    WriteDataFile(U(path), U(dir), version(7));
    EXPECT_EQ(ReadAll(path), content(7));
    EXPECT_EQ(StagingDirs(dir), std::vector<std::string>{});
}
