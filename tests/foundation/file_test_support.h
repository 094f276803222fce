// Shared by the file tests: a private temporary directory per test, removed with
// everything in it afterwards, whole-file reads, writes and listings, and the
// message of what a call raises.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/gax_fileutils.h"
#include "platform/plat_file.h"

namespace file_test {

inline std::u16string U(const std::string& path) {
    return gax::SysToFileName(path);
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// Names in a directory, sorted.
inline std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    plat::ListDir(dir, names);
    std::sort(names.begin(), names.end());
    return names;
}

// The message (and, when asked, the class name) of the exception fn raises.
inline std::u16string Catch(const std::function<void()>& fn, std::u16string* cls = nullptr) {
    try {
        fn();
    } catch (const gax::Exception& e) {
        if (cls) *cls = std::u16string(e.ClassName());
        return e.Message();
    }
    return u"<no exception>";
}

// A fresh directory under /tmp for a test that is not a TempDirTest, removed
// with all it holds when the object goes. Path() is empty when none could be
// made.
class ScratchDir {
  public:
    ScratchDir() {
        char tmpl[] = "/tmp/gaxtest.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) f_Path = tmpl;
    }
    ~ScratchDir() {
        if (!f_Path.empty()) gax::DeleteDirectoryTree(U(f_Path));
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return f_Path; }

  private:
    std::string f_Path;
};

class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gaxtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        if (!f_Mount.empty()) umount(f_Mount.c_str());
        if (!f_Other.empty()) gax::DeleteDirectoryTree(U(f_Other));
        if (!dir.empty()) gax::DeleteDirectoryTree(U(dir));
    }
    std::string P(const std::string& name) const { return dir + "/" + name; }

    // An empty directory on another file system than `dir`, removed after the test:
    // a tmpfs mounted inside `dir` where the process may mount one, else a directory
    // under /dev/shm. Empty when there is neither.
    std::string OtherFileSystemDir() {
        const std::string mnt = P("other-fs");
        if (plat::Mkdir(mnt) == 0 && mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8m") == 0)
            return f_Mount = mnt;
        plat::FileInfo shm, here;
        char tmpl[] = "/dev/shm/gaxtest.XXXXXX";
        if (plat::Stat("/dev/shm", shm) == 0 && plat::Stat(dir, here) == 0 && shm.dev != here.dev &&
            mkdtemp(tmpl) != nullptr)
            return f_Other = tmpl;
        return {};
    }

    std::string dir;

  private:
    std::string f_Mount, f_Other;
};

}  // namespace file_test
