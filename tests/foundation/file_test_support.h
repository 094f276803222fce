// Shared by the file tests: a private temporary directory per test, removed with
// everything in it afterwards, and whole-file reads, writes and listings.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
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

class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gaxtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        if (!dir.empty()) gax::DeleteDirectoryTree(U(dir));
    }
    std::string P(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
};

}  // namespace file_test
