#include "foundation/gax_filemover.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "foundation/file_test_support.h"
#include "foundation/gax_fileutils.h"
#include "platform/plat_file.h"

using namespace gax;
using namespace file_test;

namespace {

bool HasStaging(const std::string& dir) {
    for (const std::string& n : List(dir))
        if (n.find("$") != std::string::npos) return true;
    return false;
}

// One save as the data-file writers do it: create, add each directory, set its
// master file, write it, execute; the guard frees whatever happens.
void Save(const std::string& base, const std::vector<std::string>& dsts, const std::string& file,
          const std::string& content, TFileEventer* ev) {
    TFileMoverGuard mover(FileMoverCreate(u"QORSVC", ev, U(base)));
    for (const std::string& dst : dsts) {
        TFileMoverSync* s = FileMoverAddSyncro(mover.Get(), U(dst));
        std::u16string staged = FileMoverSetMasterFile(s, U(file));
        TBinaryFile f;
        CreateBinaryFile(staged, f, ev);
        size_t half = content.size() / 2;
        WriteBinaryFileOrRaise(f, content.data(), half, ev);
        WriteBinaryFileOrRaise(f, content.data() + half, content.size() - half, ev);
        CloseBinaryFile(f, ev);
    }
    FileMoverExecute(mover.Get());
}

void Save(const std::string& base, const std::string& dst, const std::string& file,
          const std::string& content, TFileEventer* ev) {
    Save(base, std::vector<std::string>{dst}, file, content, ev);
}

class MoverTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        if (HasFatalFailure()) return;
        base = dir + "/tmp";
        dst = dir + "/data";
        ASSERT_EQ(plat::Mkdir(base), 0);
        ASSERT_EQ(plat::Mkdir(dst), 0);
    }

    // Saves two files with a fault at the n-th event of `kind`, for n = 1, 2, ...
    // until a run sees fewer events than n; every run must leave old or new bytes
    // (old whenever the save failed) and no staging tree anywhere.
    void FaultEveryStep(const std::string& stagingBase, TFileEventerEventType kind,
                        bool fileExists) {
        const std::string dst2 = dir + "/data2";
        ASSERT_EQ(TryForceDirectories(U(dst2)), 0);
        const std::vector<std::string> paths = {dst + "/admins.dat", dst2 + "/admins.dat"};
        const std::string oldBytes = "old\r\nbytes\r\n", newBytes(70000, 'n');
        for (int n = 1;; ++n) {
            for (const std::string& path : paths) {
                if (fileExists)
                    WriteFile(path, oldBytes);
                else
                    TryEraseFile(U(path));
            }
            int seen = 0;
            TFileEventer ev([&](TFileEventer&, TFileEventerEventData& d) {
                if (d.EventType == kind && ++seen == n) throw EFileException("injected fault");
            });
            bool failed = false;
            try {
                Save(stagingBase, {dst, dst2}, "admins.dat", newBytes, &ev);
            } catch (const Exception&) {
                failed = true;
            }
            SCOPED_TRACE("event " + std::to_string(kind) + " #" + std::to_string(n));
            for (const std::string& path : paths) {
                if (!failed)
                    EXPECT_EQ(ReadAll(path), newBytes);
                else if (fileExists)
                    EXPECT_EQ(ReadAll(path), oldBytes);
                else
                    EXPECT_FALSE(FileExists(U(path)));
            }
            EXPECT_FALSE(HasStaging(dst)) << ::testing::PrintToString(List(dst));
            EXPECT_FALSE(HasStaging(dst2)) << ::testing::PrintToString(List(dst2));
            EXPECT_FALSE(HasStaging(stagingBase));
            if (seen < n) {
                EXPECT_FALSE(failed);
                break;
            }
        }
    }

    std::string base, dst;
};

}  // namespace

TEST_F(MoverTest, SaveReplacesTheFileAndLeavesNothingBehind) {
    const std::string path = dst + "/admins.dat";
    WriteFile(path, "old");
    chmod(path.c_str(), 0600);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    }
    Save(base, dst, "admins.dat", "new content", nullptr);
    EXPECT_EQ(ReadAll(path), "new content");
    EXPECT_EQ(List(dst), std::vector<std::string>{"admins.dat"});
    EXPECT_TRUE(List(base).empty());
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(path, info), 0);
    EXPECT_EQ(info.mode, 0600u);
    if (root) {
        EXPECT_TRUE(info.uid == 4321u && info.gid == 4322u);
    }

    // Staged beside the destination, as the data files are.
    Save(dst, dst, "admins.dat", "again", nullptr);
    EXPECT_EQ(ReadAll(path), "again");
    EXPECT_EQ(List(dst), std::vector<std::string>{"admins.dat"});
    ASSERT_EQ(plat::Lstat(path, info), 0);
    EXPECT_EQ(info.mode, 0600u);

    // ... also when the staging directory names it through a link.
    ASSERT_EQ(plat::Symlink(dst, dir + "/link"), 0);
    Save(dir + "/link", dst, "admins.dat", "through the link", nullptr);
    EXPECT_EQ(ReadAll(path), "through the link");
    EXPECT_EQ(List(dst), std::vector<std::string>{"admins.dat"});

    // A destination that did not exist is created, with its directory.
    Save(base, dst + "/sub", "new.dat", "fresh", nullptr);
    EXPECT_EQ(ReadAll(dst + "/sub/new.dat"), "fresh");
    EXPECT_EQ(List(dst + "/sub"), std::vector<std::string>{"new.dat"});
}

TEST_F(MoverTest, AFaultAnywhereKeepsTheOldFile) {
    for (TFileEventerEventType kind : {feet_Rename, feet_DirectoryCreate, feet_Write,
                                       feet_FileDelete, feet_Flush, feet_AttrSet}) {
        FaultEveryStep(base, kind, true);
        FaultEveryStep(base, kind, false);
    }
}

TEST_F(MoverTest, StagingOnAnotherFileSystem) {
    const std::string other = OtherFileSystemDir();
    if (other.empty()) GTEST_SKIP() << "no second file system could be mounted or found";
    WriteFile(dst + "/admins.dat", "old");
    Save(other, dst, "admins.dat", "across", nullptr);
    EXPECT_EQ(ReadAll(dst + "/admins.dat"), "across");
    EXPECT_EQ(List(dst), std::vector<std::string>{"admins.dat"});
    EXPECT_TRUE(List(other).empty());
    for (TFileEventerEventType kind : {feet_Rename, feet_Write, feet_FileDelete})
        FaultEveryStep(other, kind, true);
}

TEST_F(MoverTest, RollbackRestoresOldFilesAndRemovesNewOnes) {
    WriteFile(dst + "/a.dat", "old a");
    PFileMoverData m = FileMoverCreate(u"QOR", nullptr, U(base));
    TFileMoverSync* s1 = FileMoverAddSyncro(m, U(dst));
    TFileMoverSync* s2 = FileMoverAddSyncro(m, U(dst + "/new"));
    WriteFile(FileNameToSys(FileMoverSetMasterFile(s1, u"a.dat")), "new a");
    WriteFile(FileNameToSys(FileMoverSetMasterFile(s2, u"b.dat")), "new b");
    FileMoverCopyUp(m);
    FileMoverMoveUp(m);
    EXPECT_EQ(ReadAll(dst + "/a.dat"), "new a");
    EXPECT_EQ(ReadAll(dst + "/new/b.dat"), "new b");
    FileMoverRollback(m);
    EXPECT_EQ(ReadAll(dst + "/a.dat"), "old a");
    EXPECT_FALSE(FileExists(U(dst + "/new/b.dat")));
    EXPECT_FALSE(HasStaging(dst));
    EXPECT_FALSE(HasStaging(dst + "/new"));
    EXPECT_TRUE(List(base).empty());
    FileMoverFree(m);
    EXPECT_EQ(m, nullptr);

    // Freeing a mover that never ran removes its staging directories.
    m = FileMoverCreate(u"QOR", nullptr, U(base));
    FileMoverSetMasterFile(FileMoverAddSyncro(m, U(dst)), u"x.dat");
    EXPECT_EQ(List(base).size(), 1u);
    FileMoverFree(m);
    EXPECT_TRUE(List(base).empty());
}

// When the old file cannot be put back, its backup is the only copy left and
// stays, also when the staging tree lives beside the destination.
TEST_F(MoverTest, FailedRestoreKeepsTheBackup) {
    for (const std::string& staging : {base, dst}) {
        WriteFile(dst + "/a.dat", "old a");
        TFileEventer ev;
        PFileMoverData m = FileMoverCreate(u"QOR", &ev, U(staging));
        WriteFile(FileNameToSys(FileMoverSetMasterFile(FileMoverAddSyncro(m, U(dst)), u"a.dat")),
                  "new a");
        FileMoverCopyUp(m);
        FileMoverMoveUp(m);
        ev.SetOnFileEvent([](TFileEventer&, TFileEventerEventData& d) {
            if (d.EventType == feet_Rename) throw EFileException("injected fault");
        });
        FileMoverRollback(m);
        FileMoverFree(m);
        EXPECT_EQ(ReadAll(dst + "/a.dat"), "new a");
        std::string kept;
        for (const std::string& n : List(dst))
            if (n.find('$') != std::string::npos) kept = ReadAll(dst + "/" + n + "/OM/a.dat");
        EXPECT_EQ(kept, "old a") << staging;
        for (const std::string& n : List(dst))
            if (n.find('$') != std::string::npos) DeleteDirectoryTree(U(dst + "/" + n));
        EXPECT_TRUE(List(base).empty());
    }
}

TEST_F(MoverTest, StagesRunInOrder) {
    PFileMoverData m = FileMoverCreate(u"QOR", nullptr, U(" " + base + " "));
    TFileMoverSync* s = FileMoverAddSyncro(m, U(dst));
    WriteFile(FileNameToSys(FileMoverSetMasterFile(s, u"f.dat")), "f");
    const std::u16string d = U(dst);
    struct {
        std::function<void()> fn;
        std::u16string msg;
    } cases[] = {
        {[&] { FileMoverSetMasterFile(s, u"g.dat"); },
         u"Master file is already set for Syncro=\"" + d + u"\""},
        {[&] { FileMoverMoveUp(m); }, u"Unable fullfil MoveUp without previous CopyUp"},
        {[&] { FileMoverCommit(m); }, u"Unable perform Commit without MoveUp"},
        {[&] { FileMoverAddSyncro(m, U(dst + "/../x")); },
         u"Relative path is not allowed: \"" + d + u"/../x\""},
        {[&] { FileMoverCreate(u"QOR", nullptr, u"  "); }, u"Temp directory must be specified"},
        {[&] { FileMoverCreate(u"QOR", nullptr, u"/tmp/../x"); },
         u"Relative path is not allowed: \"/tmp/../x\""},
        {[&] { FileMoverExecute(nullptr); }, u"Mover=NIL"},
        {[&] { FileMoverSetMasterFile(nullptr, u"x"); }, u"Syncro=NIL"},
    };
    for (auto& c : cases) EXPECT_EQ(Catch(c.fn), c.msg);
    TFileMoverData fake;
    EXPECT_EQ(Catch([&] { FileMoverExecute(&fake); }), u"Invalid mover context");

    FileMoverExecute(m);
    EXPECT_EQ(Catch([&] { FileMoverExecute(m); }), u"Unable do CopyUp procedure");
    EXPECT_EQ(Catch([&] { FileMoverAddSyncro(m, U(dst)); }), u"Unable add synchro");
    EXPECT_EQ(Catch([&] { FileMoverRollback(m); }), u"File mover data are already commited");
    FileMoverCommit(m);  // no effect once committed
    FileMoverFree(m);

    m = FileMoverCreate(u"QOR", nullptr, U(base));
    FileMoverRollback(m);
    FileMoverRollback(m);
    EXPECT_EQ(Catch([&] { FileMoverCommit(m); }), u"Unable perform Commit after Rollback");
    FileMoverFree(m);
    EXPECT_EQ(List(dst), std::vector<std::string>{"f.dat"});
}

TEST_F(MoverTest, StagingNames) {
    int32_t cnt = 0;
    struct {
        const char16_t* prefix;
        std::string head;
    } cases[] = {{u"QORSVC", ".QORSVC$"}, {u"", ".TMP$"}, {u".X", ".X$"}, {u"..Y", ".Y$"}};
    for (auto& c : cases) {
        std::string name = FileNameToSys(MakeTempSubdir(U(base), c.prefix, cnt));
        ASSERT_EQ(name.size(), c.head.size() + 10) << name;
        EXPECT_EQ(name.substr(0, c.head.size()), c.head);
        for (char ch : name.substr(c.head.size())) EXPECT_TRUE(isdigit(ch) || isupper(ch)) << name;
        plat::FileInfo info;
        ASSERT_EQ(plat::Lstat(base + "/" + name, info), 0);
        EXPECT_EQ(info.mode, 0700u);
    }
    EXPECT_EQ(cnt, 4);
    EXPECT_EQ(List(base).size(), 4u);
}
