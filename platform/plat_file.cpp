#include "platform/plat_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

int Err() {
    return errno != 0 ? errno : EIO;
}

// strerror_r comes in two flavours; overloads pick whichever the C library declares.
[[maybe_unused]] const char* PickText(int rc, const char* buf) {
    return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* PickText(const char* text, const char*) {
    return text;
}

void Fill(const struct stat& st, FileInfo& out) {
    out.isDir = S_ISDIR(st.st_mode);
    out.isLink = S_ISLNK(st.st_mode);
    out.isRegular = S_ISREG(st.st_mode);
    out.mode = st.st_mode & 07777;
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.size = st.st_size;
    out.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
}

int OpenFlags(const std::string& path, int flags, int& fd, mode_t mode = 0666) {
    fd = -1;
    int r;
    do {
        r = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return Err();
    fd = r;
    return 0;
}

}  // namespace

std::string ErrorText(int code) {
    char buf[256];
    buf[0] = 0;
    const char* text = PickText(strerror_r(code, buf, sizeof buf), buf);
    if (text == nullptr || *text == 0) return "Unknown error " + std::to_string(code);
    return text;
}

int Lstat(const std::string& path, FileInfo& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Err();
    Fill(st, out);
    return 0;
}

int Stat(const std::string& path, FileInfo& out) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Err();
    Fill(st, out);
    return 0;
}

int Fstat(int fd, FileInfo& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Err();
    Fill(st, out);
    return 0;
}

bool SameFile(const std::string& a, const std::string& b) {
    FileInfo x, y;
    return Stat(a, x) == 0 && Stat(b, y) == 0 && x.dev == y.dev && x.ino == y.ino;
}

int OpenRead(const std::string& path, int& fd) {
    return OpenFlags(path, O_RDONLY, fd);
}
int OpenWrite(const std::string& path, int& fd) {
    return OpenFlags(path, O_WRONLY, fd);
}
int OpenReadWrite(const std::string& path, int& fd) {
    return OpenFlags(path, O_RDWR, fd);
}
int CreateTrunc(const std::string& path, int& fd) {
    return OpenFlags(path, O_WRONLY | O_CREAT | O_TRUNC, fd);
}
int OpenOrCreateWrite(const std::string& path, int& fd) {
    return OpenFlags(path, O_WRONLY | O_CREAT, fd);
}
int CreateExclusive(const std::string& path, int& fd, mode_t mode) {
    return OpenFlags(path, O_WRONLY | O_CREAT | O_EXCL, fd, mode);
}
int OpenAppendOrCreate(const std::string& path, int& fd) {
    return OpenFlags(path, O_WRONLY | O_CREAT | O_APPEND, fd);
}

int Close(int fd) {
    if (fd < 0) return EBADF;
    // Linux releases the descriptor even when close reports EINTR: never retry.
    if (::close(fd) != 0 && errno != EINTR) return Err();
    return 0;
}

int Read(int fd, void* buf, size_t count, size_t& got) {
    got = 0;
    for (;;) {
        ssize_t r = ::read(fd, buf, count);
        if (r >= 0) {
            got = static_cast<size_t>(r);
            return 0;
        }
        if (errno != EINTR) return Err();
    }
}

int WriteAll(int fd, const void* buf, size_t count) {
    const char* p = static_cast<const char*>(buf);
    while (count > 0) {
        ssize_t r = ::write(fd, p, count);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Err();
        }
        if (r == 0) return EIO;
        p += r;
        count -= static_cast<size_t>(r);
    }
    return 0;
}

int Fsync(int fd) {
    return ::fsync(fd) == 0 ? 0 : Err();
}

int Truncate(int fd, int64_t size) {
    return ::ftruncate(fd, size) == 0 ? 0 : Err();
}

int FsyncDir(const std::string& path) {
    int fd;
    int rc = OpenFlags(path.empty() ? std::string(".") : path, O_RDONLY | O_DIRECTORY, fd);
    if (rc != 0) return rc;
    rc = Fsync(fd);
    // Some file systems cannot sync a directory; that is no failure of the caller's data.
    if (rc == EINVAL || rc == EROFS) rc = 0;
    Close(fd);
    return rc;
}

int Unlink(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : Err();
}
int Mkdir(const std::string& path, mode_t mode) {
    return ::mkdir(path.c_str(), mode) == 0 ? 0 : Err();
}
int Rmdir(const std::string& path) {
    return ::rmdir(path.c_str()) == 0 ? 0 : Err();
}
int Rename(const std::string& oldPath, const std::string& newPath) {
    return ::rename(oldPath.c_str(), newPath.c_str()) == 0 ? 0 : Err();
}

int RenameNoReplace(const std::string& oldPath, const std::string& newPath) {
    if (::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int rc = Err();
    if (rc != EINVAL && rc != ENOSYS && rc != EOPNOTSUPP) return rc;
    // No flag on this file system: link refuses an existing name just the same, but
    // only works for files; a directory can only be checked first (small race).
    FileInfo info;
    if (Lstat(oldPath, info) != 0) return Err();
    if (info.isDir) {
        FileInfo other;
        if (Lstat(newPath, other) == 0) return EEXIST;
        return Rename(oldPath, newPath);
    }
    if (::link(oldPath.c_str(), newPath.c_str()) != 0) return Err();
    if (::unlink(oldPath.c_str()) != 0) {
        rc = Err();
        ::unlink(newPath.c_str());
        return rc;
    }
    return 0;
}

int Link(const std::string& oldPath, const std::string& newPath) {
    return ::link(oldPath.c_str(), newPath.c_str()) == 0 ? 0 : Err();
}

int Symlink(const std::string& target, const std::string& linkPath) {
    return ::symlink(target.c_str(), linkPath.c_str()) == 0 ? 0 : Err();
}

int ReadLink(const std::string& path, std::string& target) {
    target.clear();
    std::string buf(256, '\0');
    for (;;) {
        ssize_t r = ::readlink(path.c_str(), buf.data(), buf.size());
        if (r < 0) return Err();
        if (static_cast<size_t>(r) < buf.size()) {
            buf.resize(static_cast<size_t>(r));
            target = std::move(buf);
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

int Chmod(const std::string& path, mode_t mode) {
    // fchmodat cannot skip links on Linux; a link's own bits mean nothing anyway.
    FileInfo info;
    int rc = Lstat(path, info);
    if (rc != 0) return rc;
    if (info.isLink) return 0;
    return ::chmod(path.c_str(), mode) == 0 ? 0 : Err();
}

int FchmodOwner(int fd, const FileInfo& from) {
    // Owner first: a chown may clear set-id bits that the chmod then restores.
    if (::fchown(fd, from.uid, from.gid) != 0) {
        // Only the group may be ours to set; otherwise the file keeps our owner.
        if (::fchown(fd, static_cast<uid_t>(-1), from.gid) != 0) {
        }
    }
    return ::fchmod(fd, from.mode) == 0 ? 0 : Err();
}

int ListDir(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return Err();
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            int rc = errno;
            ::closedir(d);
            return rc;
        }
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
}

std::string ProgramFile() {
    std::string target;
    if (ReadLink("/proc/self/exe", target) != 0) return {};
    return target;
}

std::string CurrentDir() {
    std::string buf(256, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size()) != nullptr) {
            buf.resize(strlen(buf.c_str()));
            return buf;
        }
        if (errno != ERANGE) return {};
        buf.resize(buf.size() * 2);
    }
}

std::string GetEnv(const char* name) {
    const char* v = ::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

}  // namespace plat
