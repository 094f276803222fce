#include "foundation/gax_fileutils.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "foundation/file_test_support.h"
#include "platform/plat_file.h"

using namespace gax;
using namespace file_test;

namespace {

using FileUtilsTest = TempDirTest;

std::u16string Text(int code) {
    return SysToFileName(plat::ErrorText(code));
}

}  // namespace

TEST_F(FileUtilsTest, EveryFailureHasItsMessageCodeAndNames) {
    const std::u16string missing = U(P("no/such"));
    const std::u16string nodir = U(P("nodir/f"));
    WriteFile(P("exists"), "x");
    WriteFile(P("other"), "y");
    const std::u16string ex = U(P("exists")), other = U(P("other"));
    char buf[16];
    struct Case {
        std::function<void()> fn;
        std::u16string cls, msg;
    } cases[] = {
        {[&] { RaiseFileError(5, ex); }, u"EFileException",
         u"error [5]: file \"" + ex + u"\": " + Text(5)},
        {[&] {
             TTextFile f;
             OpenTextFileForRead(missing, f);
         },
         u"EFileExceptionOpenError", u"error [2] of opening file \"" + missing + u"\": " + Text(2)},
        {[&] {
             TTextFile f;
             CreateTextFile(nodir, f);
         },
         u"EFileException", u"Error [2] of creating file \"" + nodir + u"\": " + Text(2)},
        {[&] {
             TTextFile f;
             AppendOrCreateTextFile(nodir, f);
         },
         u"EFileException",
         u"error [2] of opening or creating file \"" + nodir + u"\": " + Text(2)},
        {[&] {
             TBinaryFile f;
             OpenBinaryFile(U(dir), fmOpenRead, f);
             char b[4];
             ReadBinaryFileOrRaise(f, b, sizeof b);
         },
         u"EFileException", u"error [21] of reading file \"" + U(dir) + u"\": " + Text(EISDIR)},
        {[&] {
             TTextFile f;
             CreateTextFile(ex, f);
             TextWriteRawBytesOrRaise(f, "abc");
             CloseTextFile(f);
             TextWriteRawBytesOrRaise(f, "abc");
         },
         u"EFileException", u"error [9] of writing file \"" + ex + u"\": " + Text(EBADF)},
        {[&] { CreateDirectoryOrRaise(nodir); }, u"EFileException",
         u"error [2] of creating directory \"" + nodir + u"\": " + Text(2)},
        {[&] { SetFileAttrOrRaise(missing, faReadOnly); }, u"EFileException",
         u"error [2] of setting attributes of file \"" + missing + u"\": " + Text(2)},
        {[&] { GetFileAttrOrRaise(missing); }, u"EFileException",
         u"error [2] of getting attributes of file \"" + missing + u"\": " + Text(2)},
        {[&] { RenameOrRaise(ex, other); }, u"EFileException",
         u"error [17] of renaming file/dir \"" + ex + u"\" to \"" + other + u"\": " + Text(17)},
        {[&] { MoveFileOrRaise(missing, other); }, u"EFileException",
         u"error [2] of moving of file \"" + missing + u"\" into \"" + other + u"\": " + Text(2)},
        {[&] { CopyFileOrRaise(ex, other, buf, 0); }, u"EFileException", u"invalid buffer size"},
        {[&] { CopyFileOrRaise(ex, other, nullptr, 16); }, u"EFileException",
         u"invalid buffer address"},
        {[&] { CopyFileOrRaise(missing, other, buf, 16); }, u"EFileExceptionOpenError",
         u"error [2] of opening file \"" + missing + u"\": " + Text(2)},
        {[&] { CopyFileOrRaise(ex, nodir, buf, 16); }, u"EFileException",
         u"Error [2] of creating file \"" + nodir + u"\": " + Text(2)},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::u16string cls;
        EXPECT_EQ(Catch(cases[i].fn, &cls), cases[i].msg) << "case " << i;
        EXPECT_EQ(cls, cases[i].cls) << "case " << i;
    }
    EXPECT_EQ(FormatExecuteErrorText(2, u"/bin/x"), u"error [2] of execute \"/bin/x\": " + Text(2));
    // The renaming failure left both files as they were.
    EXPECT_EQ(ReadAll(P("other")), "y");
}

TEST_F(FileUtilsTest, EmptyNameGivesFileNotFound) {
    TTextFile t;
    TBinaryFile b;
    uint32_t attr;
    EXPECT_EQ(TryOpenTextFileForRead(u"", t), 2);
    EXPECT_EQ(TryCreateBinaryFile(u"", b), 2);
    EXPECT_EQ(TryEraseFile(u""), 2);
    EXPECT_EQ(TryGetFileAttr(u"", attr), 2);
    EXPECT_EQ(TryMoveFile(u"", U(P("x"))), 2);
    EXPECT_EQ(TryForceDirectories(u""), -1);
}

TEST_F(FileUtilsTest, CopyReportsEveryChunk) {
    std::string data(307200, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(P("src"), data);
    std::vector<std::pair<TFileEventerEventType, int32_t>> seen;
    TFileEventer ev([&](TFileEventer&, TFileEventerEventData& d) {
        if (d.EventType == feet_Read || d.EventType == feet_Write)
            seen.emplace_back(d.EventType, d.Int);
    });
    CopyFileContents(U(P("src")), U(P("dst")), &ev);
    std::vector<std::pair<TFileEventerEventType, int32_t>> want = {
        {feet_Read, 131072}, {feet_Write, 131072}, {feet_Read, 131072}, {feet_Write, 131072},
        {feet_Read, 131072}, {feet_Write, 45056},  {feet_Read, 131072}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(ReadAll(P("dst")), data);
}

TEST_F(FileUtilsTest, FailedCopyLeavesNoTarget) {
    WriteFile(P("src"), std::string(1000, 'a'));
    int writes = 0;
    TFileEventer ev([&](TFileEventer&, TFileEventerEventData& d) {
        if (d.EventType == feet_Write && ++writes == 2) throw EFileException("injected");
    });
    char buf[300];
    EXPECT_THROW(CopyFileOrRaise(U(P("src")), U(P("dst")), buf, sizeof buf, &ev), EFileException);
    EXPECT_FALSE(FileExists(U(P("dst"))));
    EXPECT_EQ(ReadAll(P("src")), std::string(1000, 'a'));
}

TEST_F(FileUtilsTest, CopyOntoItselfFailsAndKeepsTheData) {
    WriteFile(P("src"), "precious");
    ASSERT_EQ(plat::Link(P("src"), P("hard")), 0);
    ASSERT_EQ(plat::Symlink(P("src"), P("soft")), 0);
    char buf[16];
    for (const char* target : {"src", "hard", "soft"}) {
        EXPECT_EQ(TryCopyFile(U(P("src")), U(P(target)), buf, sizeof buf), EINVAL) << target;
        EXPECT_EQ(ReadAll(P("src")), "precious") << target;
    }
    EXPECT_THROW(CopyFileContents(U(P("src")), U(P("src"))), EFileException);
    EXPECT_EQ(ReadAll(P("src")), "precious");
    // A tree merged into itself fails the same way.
    ASSERT_EQ(TryForceDirectories(U(P("tree"))), 0);
    WriteFile(P("tree/f"), "data");
    EXPECT_EQ(CopyDirectoryTree(U(P("tree")), U(dir)), EINVAL);
    EXPECT_EQ(ReadAll(P("tree/f")), "data");
}

TEST_F(FileUtilsTest, MoveReplacesTargetAndKeepsBytes) {
    WriteFile(P("a"), "new");
    WriteFile(P("b"), "old contents");
    ASSERT_EQ(TryMoveFile(U(P("a")), U(P("b"))), 0);
    EXPECT_FALSE(FileExists(U(P("a"))));
    EXPECT_EQ(ReadAll(P("b")), "new");
    // A plain rename refuses an existing name and leaves both in place.
    WriteFile(P("c"), "c");
    EXPECT_EQ(TryRenameNoReplace(U(P("c")), U(P("b"))), EEXIST);
    EXPECT_EQ(ReadAll(P("b")), "new");
}

TEST_F(FileUtilsTest, TreeCopyMergesAndNeverFollowsLinks) {
    ASSERT_EQ(TryForceDirectories(U(P("src/sub/deep"))), 0);
    ASSERT_EQ(TryForceDirectories(U(P("outside"))), 0);
    WriteFile(P("outside/secret"), "keep me");
    WriteFile(P("src/a"), "A");
    WriteFile(P("src/sub/b"), "B");
    chmod(P("src/sub/b").c_str(), 0640);
    ASSERT_EQ(plat::Symlink(P("outside"), P("src/sub/link")), 0);
    ASSERT_EQ(TryForceDirectories(U(P("dst/src"))), 0);
    WriteFile(P("dst/src/a"), "stale");
    WriteFile(P("dst/src/mine"), "M");
    // A link standing where a file is copied is replaced, not written through.
    WriteFile(P("src/c"), "C");
    ASSERT_EQ(plat::Symlink(P("outside/secret"), P("dst/src/c")), 0);

    ASSERT_EQ(CopyDirectoryTree(U(P("src/")), U(P("dst"))), 0);
    EXPECT_EQ(ReadAll(P("dst/src/a")), "A");
    EXPECT_EQ(ReadAll(P("dst/src/c")), "C");
    EXPECT_EQ(ReadAll(P("dst/src/mine")), "M");
    EXPECT_EQ(ReadAll(P("dst/src/sub/b")), "B");
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(P("dst/src/sub/b"), info), 0);
    EXPECT_EQ(info.mode, 0640u);
    ASSERT_EQ(plat::Lstat(P("dst/src/sub/link"), info), 0);
    EXPECT_TRUE(info.isLink);
    EXPECT_TRUE(plat::Lstat(P("dst/src/sub/deep"), info) == 0 && info.isDir);

    // Deleting the trees removes the links, not what they point to.
    ASSERT_EQ(DeleteDirectoryTree(U(P("dst/"))), 0);
    ASSERT_EQ(DeleteDirectoryTree(U(P("src"))), 0);
    EXPECT_FALSE(FileExists(U(P("dst"))));
    EXPECT_EQ(ReadAll(P("outside/secret")), "keep me");
    EXPECT_EQ(DeleteDirectoryTree(U(P("src"))), ENOENT);
}

TEST_F(FileUtilsTest, AttributesComeFromTypeModeAndName) {
    WriteFile(P("f"), "x");
    WriteFile(P(".hid"), "x");
    uint32_t attr = 0;
    ASSERT_EQ(TryGetFileAttr(U(dir), attr), 0);
    EXPECT_TRUE(IsDirectoryAttr(attr));
    EXPECT_EQ(GetFileAttrOrRaise(U(P("f"))), 0u);
    EXPECT_EQ(GetFileAttrOrRaise(U(P(".hid"))), faHidden);
    SetFileAttrOrRaise(U(P("f")), faReadOnly | faHidden);
    EXPECT_EQ(GetFileAttrOrRaise(U(P("f"))), faReadOnly);
    SetFileAttrOrRaise(U(P("f")), 0);
    EXPECT_EQ(GetFileAttrOrRaise(U(P("f"))), 0u);
}

TEST_F(FileUtilsTest, TextAndBinaryFilesRoundTrip) {
    TTextFile w;
    CreateTextFileBuffered(U(P("t")), w, 4);  // tiny buffer: writes flush on the way
    TextWriteRawBytesOrRaise(w, "one\r\ntwo\nthree");
    EXPECT_EQ(CloseTextFile(w), 0);
    TTextFile a;
    AppendOrCreateTextFile(U(P("t")), a);
    TextWriteRawBytesOrRaise(a, "!\n");
    EXPECT_EQ(CloseTextFile(a), 0);

    TTextFile r;
    OpenTextFileForRead(U(P("t")), r, nullptr, 3);
    std::string line;
    std::vector<std::string> lines;
    while (TextReadLineAnsi(r, line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three!"}));

    TBinaryFile b;
    OpenBinaryFile(U(P("t")), fmOpenRead | fmShareDenyNone, b);
    char buf[8];
    EXPECT_EQ(ReadBinaryFileOrRaise(b, buf, sizeof buf), 8u);
    EXPECT_EQ(std::string(buf, 8), "one\r\ntwo");
    EXPECT_EQ(ReadBinaryFileOrRaise(b, buf, sizeof buf), 8u);
    EXPECT_EQ(ReadBinaryFileOrRaise(b, buf, sizeof buf), 0u);
    EXPECT_EQ(CloseBinaryFile(b), 0);
}

TEST_F(FileUtilsTest, BackupLinkAndReplaceKeepTheNameAlwaysPresent) {
    WriteFile(P("cfg"), "old");
    chmod(P("cfg").c_str(), 0600);
    WriteFile(P("new"), "fresh");
    ASSERT_EQ(TryLinkBackup(U(P("cfg")), U(P("bak"))), 0);
    EXPECT_EQ(TryLinkBackup(U(P("cfg")), U(P("bak"))), EEXIST);
    ASSERT_EQ(TryCopyPermissions(U(P("cfg")), U(P("new"))), 0);
    ASSERT_EQ(TrySyncFile(U(P("new"))), 0);
    ASSERT_EQ(TryReplaceFile(U(P("new")), U(P("cfg"))), 0);
    EXPECT_EQ(ReadAll(P("cfg")), "fresh");
    EXPECT_EQ(ReadAll(P("bak")), "old");
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(P("cfg"), info), 0);
    EXPECT_EQ(info.mode, 0600u);
}

// Where no hard link can be made (here: another file system) the backup is a copy,
// and it must carry the original's bits, since a rollback puts it back in place.
TEST_F(FileUtilsTest, BackupCopyKeepsThePermissionBits) {
    const std::string other = OtherFileSystemDir();
    if (other.empty()) GTEST_SKIP() << "no second file system could be mounted or found";
    WriteFile(P("cfg"), "old");
    chmod(P("cfg").c_str(), 0640);
    EXPECT_EQ(TryLinkBackup(U(P("cfg")), U(other + "/bak")), 0);
    EXPECT_EQ(TryLinkBackup(U(P("cfg")), U(other + "/bak")), EEXIST);
    EXPECT_EQ(ReadAll(other + "/bak"), "old");
    plat::FileInfo info;
    EXPECT_EQ(plat::Lstat(other + "/bak", info), 0);
    EXPECT_EQ(info.mode, 0640u);
}

TEST(FilePaths, Helpers) {
    EXPECT_EQ(AddTrailingBackslash(u"/a"), u"/a/");
    EXPECT_EQ(AddTrailingBackslash(u"/a/"), u"/a/");
    EXPECT_EQ(AddTrailingBackslash(u""), u"/");
    EXPECT_EQ(StripTrailingBackslashes(u"/a///"), u"/a");
    EXPECT_EQ(StripTrailingBackslashes(u"//"), u"");
    struct {
        const char16_t* path;
        bool clean;
    } dots[] = {{u"/a/../b", false}, {u"/a/.", false},  {u"/a/./b", false},
                {u"/a..b", true},    {u"/a/.b/", true}, {u"/a/..", false}};
    for (auto& c : dots) EXPECT_EQ(IsPathWithoutDotParts(c.path), c.clean);
    EXPECT_TRUE(IsDotOrDotDot(u".."));
    EXPECT_FALSE(IsDotOrDotDot(u"..."));
    EXPECT_EQ(GetPathKind(u"/data"), 2);
    EXPECT_EQ(GetPathKind(u"data/x"), 0);
    EXPECT_EQ(GetPathKind(u""), 0);
    EXPECT_EQ(ExtractFilePath(u"/x/server.ini"), u"/x/");
    EXPECT_EQ(ExtractFileName(u"/x/server.ini"), u"server.ini");
    std::u16string prog = GetProgramFileName();
    ASSERT_EQ(GetPathKind(prog), 2);
    EXPECT_EQ(AddTrailingBackslash(GetProgramDirectory()) + ExtractFileName(prog), prog);
}

TEST_F(FileUtilsTest, TempDirComesFromTheFirstVariableSet) {
    const char* vars[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
    std::vector<std::pair<std::string, bool>> saved;
    for (const char* v : vars) {
        const char* cur = getenv(v);
        saved.emplace_back(cur ? cur : "", cur != nullptr);
        unsetenv(v);
    }
    const std::u16string progDir = AddTrailingBackslash(GetProgramDirectory());
    EXPECT_EQ(GetTempDirFromEnvironment(), progDir);
    setenv("TMPDIR", (dir + "//").c_str(), 1);
    EXPECT_EQ(GetTempDirFromEnvironment(), U(dir + "/"));
    // A TEMP naming a missing directory wins over TMP and falls back to the program's.
    setenv("TEMP", P("missing").c_str(), 1);
    setenv("TMP", dir.c_str(), 1);
    EXPECT_EQ(GetTempDirFromEnvironment(), progDir);
    for (size_t i = 0; i < std::size(vars); ++i) {
        if (saved[i].second)
            setenv(vars[i], saved[i].first.c_str(), 1);
        else
            unsetenv(vars[i]);
    }
}
