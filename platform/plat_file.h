// Thin POSIX file layer under the file utilities. Paths are byte strings (UTF-8 on
// this system); every call returns 0 or the errno of the failure and keeps no state,
// so any thread may use it. Opening follows symbolic links like any program does;
// the calls that inspect, change or remove a name (Lstat, Chmod, Unlink, ...) act
// on a link itself, so tree walks never leave the tree.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// The system's message text for an error code (strerror_r).
std::string ErrorText(int code);

// What lstat() says about a name; the link itself, never its target.
struct FileInfo {
    bool isDir = false;
    bool isLink = false;
    bool isRegular = false;
    mode_t mode = 0;  // permission bits only
    uid_t uid = 0;
    gid_t gid = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};
int Lstat(const std::string& path, FileInfo& out);
int Fstat(int fd, FileInfo& out);
// True when both names lead (through links) to the same file or directory.
bool SameFile(const std::string& a, const std::string& b);
// Stat through links (for paths the operator gives, such as the temporary directory).
int Stat(const std::string& path, FileInfo& out);

// Opening. Descriptors are close-on-exec. Create calls make regular files with mode
// 0666 less the umask; the *Exclusive form fails with EEXIST when the name exists.
int OpenRead(const std::string& path, int& fd);
int OpenWrite(const std::string& path, int& fd);  // existing file, no truncation
int OpenReadWrite(const std::string& path, int& fd);
int CreateTrunc(const std::string& path, int& fd);
// Opens for writing, creating the file when missing, without truncating it.
int OpenOrCreateWrite(const std::string& path, int& fd);
int CreateExclusive(const std::string& path, int& fd, mode_t mode = 0666);
int OpenAppendOrCreate(const std::string& path, int& fd);
int Close(int fd);

// Reads up to count bytes (retrying on EINTR); got = 0 at the end of the file.
int Read(int fd, void* buf, size_t count, size_t& got);
// Writes the whole block; a write that makes no progress reports EIO.
int WriteAll(int fd, const void* buf, size_t count);
int Fsync(int fd);
int Truncate(int fd, int64_t size);
// fsync of a directory, so that a rename or link in it survives a power failure.
int FsyncDir(const std::string& path);

int Unlink(const std::string& path);
int Mkdir(const std::string& path, mode_t mode = 0777);
int Rmdir(const std::string& path);
// Replacing rename: atomically puts old at new, replacing a file there.
int Rename(const std::string& oldPath, const std::string& newPath);
// Rename that fails with EEXIST when new exists (renameat2 RENAME_NOREPLACE, or
// link + unlink for a plain file on file systems without the flag).
int RenameNoReplace(const std::string& oldPath, const std::string& newPath);
int Link(const std::string& oldPath, const std::string& newPath);
int Symlink(const std::string& target, const std::string& linkPath);
int ReadLink(const std::string& path, std::string& target);

// Permission bits of a name (not through links).
int Chmod(const std::string& path, mode_t mode);
// Gives an open file the permission bits of `from`, and its owner and group where
// the process may.
int FchmodOwner(int fd, const FileInfo& from);

// Names in a directory, without "." and "..".
int ListDir(const std::string& path, std::vector<std::string>& names);

// The program's own file (/proc/self/exe), empty when unknown.
std::string ProgramFile();
// Current working directory, empty when unknown.
std::string CurrentDir();
// Environment variable, empty when unset.
std::string GetEnv(const char* name);

}  // namespace plat
