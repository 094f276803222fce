#include "foundation/gax_fileutils.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_file.h"

namespace gax {

namespace {

// "<head> [code]<middle>"name"[<middle2>"name2"]: <system text>", the one form
// of every file error message.
std::u16string Msg(std::string_view head, int code, std::string_view middle,
                   std::u16string_view name, std::string_view middle2 = {},
                   std::u16string_view name2 = {}) {
    std::u16string m = ByteStrToUnicode(head);
    m += u" [";
    m += IntToDecStrW(code);
    m += u"]";
    auto quoted = [&m](std::string_view before, std::u16string_view n) {
        m += ByteStrToUnicode(before);
        m += u"\"";
        m += n;
        m += u"\"";
    };
    quoted(middle, name);
    if (!middle2.empty()) quoted(middle2, name2);
    m += u": ";
    m += Utf8BufToUnicodeStd(plat::ErrorText(code));
    return m;
}

[[noreturn]] void RaiseReading(int code, std::u16string_view name) {
    throw EFileException(Msg("error", code, " of reading file ", name));
}
[[noreturn]] void RaiseWriting(int code, std::u16string_view name) {
    throw EFileException(Msg("error", code, " of writing file ", name));
}
[[noreturn]] void RaiseOpening(int code, std::u16string_view name) {
    throw EFileExceptionOpenError(Msg("error", code, " of opening file ", name));
}
[[noreturn]] void RaiseCreating(int code, std::u16string_view name) {
    throw EFileException(Msg("Error", code, " of creating file ", name));
}
[[noreturn]] void RaiseAppending(int code, std::u16string_view name) {
    throw EFileException(Msg("error", code, " of opening or creating file ", name));
}
[[noreturn]] void RaiseSetAttr(int code, std::u16string_view name) {
    throw EFileException(Msg("error", code, " of setting attributes of file ", name));
}
[[noreturn]] void RaiseGetAttr(int code, std::u16string_view name) {
    throw EFileException(Msg("error", code, " of getting attributes of file ", name));
}
[[noreturn]] void RaiseMoving(int code, std::u16string_view n1, std::u16string_view n2) {
    throw EFileException(Msg("error", code, " of moving of file ", n1, " into ", n2));
}

// Closing never raises: a handler that throws does not keep the file open.
void ReportClose(TFileEventer* ev, std::u16string_view name) {
    if (ev == nullptr) return;
    try {
        ev->EventFileClose(name);
    } catch (...) {
    }
}

constexpr size_t kDefaultTextBuffer = 16384;

}  // namespace

std::string FileNameToSys(std::u16string_view aName) {
    return UnicodeToUtf8Str(aName);
}
std::u16string SysToFileName(std::string_view aPath) {
    return Utf8BufToUnicodeStd(aPath);
}

struct TextFileAccess {
    static int& Fd(TTextFile& f) { return f.f_Fd; }
    static void Init(TTextFile& f, int fd, bool write, std::u16string_view name, size_t bufSize) {
        f.f_Fd = fd;
        f.f_Write = write;
        f.f_Name.assign(name);
        f.f_Buf.assign(bufSize == 0 ? kDefaultTextBuffer : bufSize, 0);
        f.f_Len = 0;
        f.f_Pos = 0;
        f.f_Eof = false;
    }
    static int Flush(TTextFile& f) {
        if (f.f_Fd < 0) return EBADF;
        if (!f.f_Write || f.f_Len == 0) return 0;
        int rc = plat::WriteAll(f.f_Fd, f.f_Buf.data(), f.f_Len);
        f.f_Len = 0;
        return rc;
    }
    static int Write(TTextFile& f, std::string_view bytes) {
        if (f.f_Fd < 0 || !f.f_Write) return EBADF;
        while (!bytes.empty()) {
            size_t room = f.f_Buf.size() - f.f_Len;
            size_t n = bytes.size() < room ? bytes.size() : room;
            std::memcpy(f.f_Buf.data() + f.f_Len, bytes.data(), n);
            f.f_Len += n;
            bytes.remove_prefix(n);
            if (f.f_Len == f.f_Buf.size()) {
                int rc = Flush(f);
                if (rc != 0) return rc;
            }
        }
        return 0;
    }
    static bool ReadLine(TTextFile& f, std::string& line) {
        line.clear();
        if (f.f_Fd < 0 || f.f_Write) RaiseReading(EBADF, f.f_Name);
        bool any = false;
        for (;;) {
            if (f.f_Pos == f.f_Len) {
                if (f.f_Eof) break;
                size_t got = 0;
                int rc = plat::Read(f.f_Fd, f.f_Buf.data(), f.f_Buf.size(), got);
                if (rc != 0) RaiseReading(rc, f.f_Name);
                f.f_Pos = 0;
                f.f_Len = got;
                if (got == 0) {
                    f.f_Eof = true;
                    break;
                }
            }
            any = true;
            const char* start = f.f_Buf.data() + f.f_Pos;
            const void* nl = std::memchr(start, '\n', f.f_Len - f.f_Pos);
            if (nl != nullptr) {
                size_t n = static_cast<size_t>(static_cast<const char*>(nl) - start);
                line.append(start, n);
                f.f_Pos += n + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            line.append(start, f.f_Len - f.f_Pos);
            f.f_Pos = f.f_Len;
        }
        return any;
    }
    static int Close(TTextFile& f) {
        if (f.f_Fd < 0) return 0;
        int rc = Flush(f);
        int rc2 = plat::Close(f.f_Fd);
        f.f_Fd = -1;
        f.f_Buf.clear();
        f.f_Buf.shrink_to_fit();
        return rc != 0 ? rc : rc2;
    }
};

struct BinaryFileAccess {
    static void Init(TBinaryFile& f, int fd, std::u16string_view name) {
        f.f_Fd = fd;
        f.f_Name.assign(name);
    }
    static int Close(TBinaryFile& f) {
        if (f.f_Fd < 0) return 0;
        int rc = plat::Close(f.f_Fd);
        f.f_Fd = -1;
        return rc;
    }
};

// ---- file objects

TTextFile::~TTextFile() {
    TextFileAccess::Close(*this);
}
TTextFile::TTextFile(TTextFile&& o) noexcept {
    *this = std::move(o);
}
TTextFile& TTextFile::operator=(TTextFile&& o) noexcept {
    if (this != &o) {
        TextFileAccess::Close(*this);
        f_Fd = o.f_Fd;
        f_Write = o.f_Write;
        f_Name = std::move(o.f_Name);
        f_Buf = std::move(o.f_Buf);
        f_Len = o.f_Len;
        f_Pos = o.f_Pos;
        f_Eof = o.f_Eof;
        o.f_Fd = -1;
        o.f_Len = o.f_Pos = 0;
    }
    return *this;
}

TBinaryFile::~TBinaryFile() {
    BinaryFileAccess::Close(*this);
}
TBinaryFile::TBinaryFile(TBinaryFile&& o) noexcept {
    *this = std::move(o);
}
TBinaryFile& TBinaryFile::operator=(TBinaryFile&& o) noexcept {
    if (this != &o) {
        BinaryFileAccess::Close(*this);
        f_Fd = o.f_Fd;
        f_Name = std::move(o.f_Name);
        o.f_Fd = -1;
    }
    return *this;
}

// ---- messages

std::u16string FormatExecuteErrorText(int aCode, std::u16string_view aName) {
    return Msg("error", aCode, " of execute ", aName);
}

void RaiseFileError(int aCode, std::u16string_view aName) {
    throw EFileException(Msg("error", aCode, ": file ", aName));
}

void RaiseCreateDirectoryError(int aCode, std::u16string_view aName) {
    throw EFileException(Msg("error", aCode, " of creating directory ", aName));
}

void RaiseRenameError(int aCode, std::u16string_view aOldName, std::u16string_view aNewName) {
    throw EFileException(Msg("error", aCode, " of renaming file/dir ", aOldName, " to ", aNewName));
}

void CheckTextWriteError(int aCode, const TTextFile& aFile) {
    if (aCode != 0) RaiseWriting(aCode, aFile.Name());
}

// ---- text files

namespace {

int OpenText(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer,
             size_t aBufferSize, int (*opener)(const std::string&, int&), bool write) {
    CloseTextFile(aFile);
    if (aEventer) aEventer->EventFileOpen(aName);
    if (aName.empty()) return ENOENT;
    int fd;
    int rc = opener(FileNameToSys(aName), fd);
    if (rc != 0) return rc;
    TextFileAccess::Init(aFile, fd, write, aName, aBufferSize);
    return 0;
}

}  // namespace

int TryOpenTextFileForRead(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer,
                           size_t aBufferSize) {
    return OpenText(aName, aFile, aEventer, aBufferSize, plat::OpenRead, false);
}
void OpenTextFileForRead(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer,
                         size_t aBufferSize) {
    int rc = TryOpenTextFileForRead(aName, aFile, aEventer, aBufferSize);
    if (rc != 0) RaiseOpening(rc, aName);
}
int TryCreateTextFile(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer) {
    return TryCreateTextFileBuffered(aName, aFile, 0, aEventer);
}
void CreateTextFile(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer) {
    CreateTextFileBuffered(aName, aFile, 0, aEventer);
}
int TryCreateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                              TFileEventer* aEventer) {
    return OpenText(aName, aFile, aEventer, aBufferSize, plat::CreateTrunc, true);
}
void CreateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                            TFileEventer* aEventer) {
    int rc = TryCreateTextFileBuffered(aName, aFile, aBufferSize, aEventer);
    if (rc != 0) RaiseCreating(rc, aName);
}
int TryCreatePrivateTextFileBuffered(std::u16string_view aName, TTextFile& aFile,
                                     size_t aBufferSize, TFileEventer* aEventer) {
    if (!aName.empty()) {
        int rc = plat::Unlink(FileNameToSys(aName));
        if (rc != 0 && rc != ENOENT) return rc;
    }
    return OpenText(
        aName, aFile, aEventer, aBufferSize,
        [](const std::string& path, int& fd) { return plat::CreateExclusive(path, fd, 0600); },
        true);
}
void CreatePrivateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                                   TFileEventer* aEventer) {
    int rc = TryCreatePrivateTextFileBuffered(aName, aFile, aBufferSize, aEventer);
    if (rc != 0) RaiseCreating(rc, aName);
}
int TryAppendOrCreateTextFile(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer,
                              size_t aBufferSize) {
    return OpenText(aName, aFile, aEventer, aBufferSize, plat::OpenAppendOrCreate, true);
}
void AppendOrCreateTextFile(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer,
                            size_t aBufferSize) {
    int rc = TryAppendOrCreateTextFile(aName, aFile, aEventer, aBufferSize);
    if (rc != 0) RaiseAppending(rc, aName);
}

int TryFlushTextFile(TTextFile& aFile, bool aSync, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventFlush(aFile.Name());
    int rc = TextFileAccess::Flush(aFile);
    if (rc == 0 && aSync) rc = plat::Fsync(TextFileAccess::Fd(aFile));
    return rc;
}

int CloseTextFile(TTextFile& aFile, TFileEventer* aEventer) {
    if (!aFile.IsOpen()) return 0;
    ReportClose(aEventer, aFile.Name());
    return TextFileAccess::Close(aFile);
}

int TextWriteRawBytes(TTextFile& aFile, std::string_view aBytes) {
    return TextFileAccess::Write(aFile, aBytes);
}
void TextWriteRawBytesOrRaise(TTextFile& aFile, std::string_view aBytes) {
    int rc = TextFileAccess::Write(aFile, aBytes);
    if (rc != 0) RaiseWriting(rc, aFile.Name());
}
bool TextReadLineAnsi(TTextFile& aFile, std::string& aLine) {
    return TextFileAccess::ReadLine(aFile, aLine);
}

// ---- binary files

namespace {

int OpenBinary(std::u16string_view aName, TBinaryFile& aFile, TFileEventer* aEventer,
               int (*opener)(const std::string&, int&)) {
    CloseBinaryFile(aFile);
    if (aEventer) aEventer->EventFileOpen(aName);
    if (aName.empty()) return ENOENT;
    int fd;
    int rc = opener(FileNameToSys(aName), fd);
    if (rc == 0) BinaryFileAccess::Init(aFile, fd, aName);
    return rc;
}

}  // namespace

int TryCreateBinaryFile(std::u16string_view aName, TBinaryFile& aFile, TFileEventer* aEventer) {
    return OpenBinary(aName, aFile, aEventer, plat::CreateTrunc);
}
void CreateBinaryFile(std::u16string_view aName, TBinaryFile& aFile, TFileEventer* aEventer) {
    int rc = TryCreateBinaryFile(aName, aFile, aEventer);
    if (rc != 0) RaiseCreating(rc, aName);
}

int TryOpenBinaryFile(std::u16string_view aName, uint32_t aMode, TBinaryFile& aFile,
                      TFileEventer* aEventer) {
    const uint32_t access = aMode & 3;
    return OpenBinary(aName, aFile, aEventer,
                      access == fmOpenWrite       ? plat::OpenWrite
                      : access == fmOpenReadWrite ? plat::OpenReadWrite
                                                  : plat::OpenRead);
}
void OpenBinaryFile(std::u16string_view aName, uint32_t aMode, TBinaryFile& aFile,
                    TFileEventer* aEventer) {
    int rc = TryOpenBinaryFile(aName, aMode, aFile, aEventer);
    if (rc != 0) RaiseOpening(rc, aName);
}

int TryReadBinaryFile(TBinaryFile& aFile, void* aBuf, size_t aCount, size_t& aGot,
                      TFileEventer* aEventer) {
    aGot = 0;
    if (aEventer) aEventer->EventRead(aFile.Name(), static_cast<int32_t>(aCount));
    if (!aFile.IsOpen()) return EBADF;
    return plat::Read(aFile.Handle(), aBuf, aCount, aGot);
}
size_t ReadBinaryFileOrRaise(TBinaryFile& aFile, void* aBuf, size_t aCount,
                             TFileEventer* aEventer) {
    size_t got;
    int rc = TryReadBinaryFile(aFile, aBuf, aCount, got, aEventer);
    if (rc != 0) RaiseReading(rc, aFile.Name());
    return got;
}
int TryWriteBinaryFile(TBinaryFile& aFile, const void* aBuf, size_t aCount,
                       TFileEventer* aEventer) {
    if (aEventer) aEventer->EventWrite(aFile.Name(), static_cast<int32_t>(aCount));
    if (!aFile.IsOpen()) return EBADF;
    return plat::WriteAll(aFile.Handle(), aBuf, aCount);
}
void WriteBinaryFileOrRaise(TBinaryFile& aFile, const void* aBuf, size_t aCount,
                            TFileEventer* aEventer) {
    int rc = TryWriteBinaryFile(aFile, aBuf, aCount, aEventer);
    if (rc != 0) RaiseWriting(rc, aFile.Name());
}
int TryFlushBinaryFile(TBinaryFile& aFile, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventFlush(aFile.Name());
    if (!aFile.IsOpen()) return EBADF;
    return plat::Fsync(aFile.Handle());
}
int CloseBinaryFile(TBinaryFile& aFile, TFileEventer* aEventer) {
    if (!aFile.IsOpen()) return 0;
    ReportClose(aEventer, aFile.Name());
    return BinaryFileAccess::Close(aFile);
}

// ---- files by name

bool FileExists(std::u16string_view aName) {
    plat::FileInfo info;
    return !aName.empty() && plat::Lstat(FileNameToSys(aName), info) == 0;
}

int TryEraseFile(std::u16string_view aName, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventFileDelete(aName);
    if (aName.empty()) return ENOENT;
    return plat::Unlink(FileNameToSys(aName));
}

namespace {

uint32_t AttrOf(const std::string& path, const plat::FileInfo& info) {
    uint32_t attr = 0;
    if (info.isDir) attr |= faDirectory;
    if ((info.mode & 0200) == 0) attr |= faReadOnly;
    size_t slash = path.find_last_of('/');
    std::string_view last = slash == std::string::npos ? std::string_view(path)
                                                       : std::string_view(path).substr(slash + 1);
    if (!last.empty() && last[0] == '.' && last != "." && last != "..") attr |= faHidden;
    return attr;
}

int SetAttrSys(const std::string& path, uint32_t attr) {
    plat::FileInfo info;
    int rc = plat::Lstat(path, info);
    if (rc != 0) return rc;
    if (info.isLink) return 0;
    mode_t mode = info.mode;
    // Read-only takes every write bit away; clearing it gives the owner write access back.
    if (attr & faReadOnly)
        mode &= ~static_cast<mode_t>(0222);
    else
        mode |= 0200;
    if (mode == info.mode) return 0;
    return plat::Chmod(path, mode);
}

}  // namespace

int TryGetFileAttr(std::u16string_view aName, uint32_t& aAttr, TFileEventer* aEventer) {
    aAttr = 0;
    if (aEventer) aEventer->EventAttrGet(aName);
    if (aName.empty()) return ENOENT;
    std::string path = FileNameToSys(aName);
    plat::FileInfo info;
    // A configured directory may well be a link to one; a dangling link still exists.
    int rc = plat::Stat(path, info);
    if (rc == ENOENT && plat::Lstat(path, info) == 0) rc = 0;
    if (rc == 0) aAttr = AttrOf(path, info);
    return rc;
}
uint32_t GetFileAttrOrRaise(std::u16string_view aName, TFileEventer* aEventer) {
    uint32_t attr;
    int rc = TryGetFileAttr(aName, attr, aEventer);
    if (rc != 0) RaiseGetAttr(rc, aName);
    return attr;
}
int TrySetFileAttr(std::u16string_view aName, uint32_t aAttr, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventAttrSet(aName, static_cast<int32_t>(aAttr));
    if (aName.empty()) return ENOENT;
    return SetAttrSys(FileNameToSys(aName), aAttr);
}
void SetFileAttrOrRaise(std::u16string_view aName, uint32_t aAttr, TFileEventer* aEventer) {
    int rc = TrySetFileAttr(aName, aAttr, aEventer);
    if (rc != 0) RaiseSetAttr(rc, aName);
}

int TryRenameNoReplace(std::u16string_view aOldName, std::u16string_view aNewName,
                       TFileEventer* aEventer) {
    if (aEventer) aEventer->EventRename(aOldName, aNewName);
    if (aOldName.empty() || aNewName.empty()) return ENOENT;
    return plat::RenameNoReplace(FileNameToSys(aOldName), FileNameToSys(aNewName));
}
void RenameOrRaise(std::u16string_view aOldName, std::u16string_view aNewName,
                   TFileEventer* aEventer) {
    int rc = TryRenameNoReplace(aOldName, aNewName, aEventer);
    if (rc != 0) RaiseRenameError(rc, aOldName, aNewName);
}

namespace {

// The copy loop shared by the try and raising forms. On failure `stage` tells which
// step failed (0 open source, 1 create target, 2 read, 3 write); a target that was
// truncated is gone. A target that is the source itself fails at stage 1 untouched.
int CopyCore(std::u16string_view src, std::u16string_view dst, char* buf, size_t bufSize,
             TFileEventer* ev, int& stage) {
    stage = 0;
    if (ev) ev->EventFileOpen(src);
    if (src.empty()) return ENOENT;
    int in;
    int rc = plat::OpenRead(FileNameToSys(src), in);
    if (rc != 0) return rc;
    stage = 1;
    std::string dstPath = FileNameToSys(dst);
    int out = -1;
    try {
        if (ev) ev->EventFileOpen(dst);
    } catch (...) {
        plat::Close(in);
        throw;
    }
    rc = dst.empty() ? ENOENT : plat::OpenOrCreateWrite(dstPath, out);
    if (rc != 0) {
        plat::Close(in);
        return rc;
    }
    // Truncating the target only once it is known to be another file: a copy onto
    // the source itself (the same name, a link to it) would otherwise empty it.
    plat::FileInfo si, di;
    rc = plat::Fstat(in, si);
    if (rc == 0) rc = plat::Fstat(out, di);
    if (rc == 0 && si.dev == di.dev && si.ino == di.ino) rc = EINVAL;
    if (rc == 0) rc = plat::Truncate(out, 0);
    if (rc != 0) {
        plat::Close(out);
        plat::Close(in);
        return rc;
    }
    auto fail = [&](int code) {
        plat::Close(out);
        plat::Unlink(dstPath);
        plat::Close(in);
        return code;
    };
    try {
        for (;;) {
            stage = 2;
            if (ev) ev->EventRead(src, static_cast<int32_t>(bufSize));
            size_t got;
            rc = plat::Read(in, buf, bufSize, got);
            if (rc != 0) return fail(rc);
            if (got == 0) break;
            stage = 3;
            if (ev) ev->EventWrite(dst, static_cast<int32_t>(got));
            rc = plat::WriteAll(out, buf, got);
            if (rc != 0) return fail(rc);
        }
    } catch (...) {
        fail(0);
        throw;
    }
    stage = 3;
    rc = plat::Close(out);
    if (rc != 0) plat::Unlink(dstPath);
    plat::Close(in);
    return rc;
}

}  // namespace

int TryCopyFile(std::u16string_view aSource, std::u16string_view aTarget, void* aBuffer,
                int aBufferSize, TFileEventer* aEventer) {
    if (aBuffer == nullptr || aBufferSize <= 0) return EINVAL;
    int stage;
    return CopyCore(aSource, aTarget, static_cast<char*>(aBuffer), static_cast<size_t>(aBufferSize),
                    aEventer, stage);
}

void CopyFileOrRaise(std::u16string_view aSource, std::u16string_view aTarget, void* aBuffer,
                     int aBufferSize, TFileEventer* aEventer) {
    if (aBufferSize <= 0) throw EFileException("invalid buffer size");
    if (aBuffer == nullptr) throw EFileException("invalid buffer address");
    int stage;
    int rc = CopyCore(aSource, aTarget, static_cast<char*>(aBuffer),
                      static_cast<size_t>(aBufferSize), aEventer, stage);
    if (rc == 0) return;
    switch (stage) {
        case 0:
            RaiseOpening(rc, aSource);
        case 1:
            RaiseCreating(rc, aTarget);
        case 2:
            RaiseReading(rc, aSource);
        default:
            RaiseWriting(rc, aTarget);
    }
}

void CopyFileContents(std::u16string_view aSource, std::u16string_view aTarget,
                      TFileEventer* aEventer) {
    auto buf = std::make_unique<char[]>(kCopyBufferSize);
    CopyFileOrRaise(aSource, aTarget, buf.get(), kCopyBufferSize, aEventer);
}

int TryMoveFile(std::u16string_view aSource, std::u16string_view aTarget, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventRename(aSource, aTarget);
    if (aSource.empty() || aTarget.empty()) return ENOENT;
    std::string src = FileNameToSys(aSource);
    std::string dst = FileNameToSys(aTarget);
    int rc = plat::Rename(src, dst);
    if (rc != EXDEV) return rc;
    // Another file system: copy, keep the permission bits, then drop the source.
    plat::FileInfo info;
    rc = plat::Lstat(src, info);
    if (rc != 0) return rc;
    if (!info.isRegular) return EXDEV;
    auto buf = std::make_unique<char[]>(kMoveBufferSize);
    int stage;
    rc = CopyCore(aSource, aTarget, buf.get(), kMoveBufferSize, aEventer, stage);
    if (rc != 0) return rc;
    plat::Chmod(dst, info.mode);
    if (aEventer) aEventer->EventFileDelete(aSource);
    plat::Unlink(src);
    return 0;
}
void MoveFileOrRaise(std::u16string_view aSource, std::u16string_view aTarget,
                     TFileEventer* aEventer) {
    int rc = TryMoveFile(aSource, aTarget, aEventer);
    if (rc != 0) RaiseMoving(rc, aSource, aTarget);
}

// ---- safe replacement

int TrySyncFile(std::u16string_view aName, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventFlush(aName);
    if (aName.empty()) return ENOENT;
    int fd;
    int rc = plat::OpenRead(FileNameToSys(aName), fd);
    if (rc != 0) return rc;
    rc = plat::Fsync(fd);
    plat::Close(fd);
    return rc;
}

int TryLinkBackup(std::u16string_view aFile, std::u16string_view aBackup, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventRename(aFile, aBackup);
    if (aFile.empty() || aBackup.empty()) return ENOENT;
    std::string src = FileNameToSys(aFile);
    std::string dst = FileNameToSys(aBackup);
    int rc = plat::Link(src, dst);
    if (rc != EPERM && rc != EOPNOTSUPP && rc != EXDEV && rc != EMLINK && rc != ENOSYS) return rc;
    // No hard links here: an exclusive copy serves as the backup just as well. It
    // is private while it fills and then takes the original's bits and owner, so
    // it never shows more than the original did and a restore puts them back.
    int in;
    rc = plat::OpenRead(src, in);
    if (rc != 0) return rc;
    plat::FileInfo info;
    rc = plat::Fstat(in, info);
    int out = -1;
    if (rc == 0) rc = plat::CreateExclusive(dst, out, 0600);
    if (rc != 0) {
        plat::Close(in);
        return rc;
    }
    auto buf = std::make_unique<char[]>(kCopyBufferSize);
    for (;;) {
        size_t got;
        rc = plat::Read(in, buf.get(), kCopyBufferSize, got);
        if (rc != 0 || got == 0) break;
        rc = plat::WriteAll(out, buf.get(), got);
        if (rc != 0) break;
    }
    if (rc == 0) rc = plat::FchmodOwner(out, info);
    if (rc == 0) rc = plat::Fsync(out);
    int rc2 = plat::Close(out);
    plat::Close(in);
    if (rc == 0) rc = rc2;
    if (rc != 0) plat::Unlink(dst);
    return rc;
}

int TryCopyPermissions(std::u16string_view aModel, std::u16string_view aTarget,
                       TFileEventer* aEventer) {
    if (aModel.empty() || aTarget.empty()) return ENOENT;
    plat::FileInfo model;
    int rc = plat::Stat(FileNameToSys(aModel), model);
    if (rc != 0) return rc;
    const std::string target = FileNameToSys(aTarget);
    if (aEventer) aEventer->EventAttrSet(aTarget, static_cast<int32_t>(AttrOf(target, model)));
    int fd;
    rc = plat::OpenRead(target, fd);
    if (rc != 0) return rc;
    rc = plat::FchmodOwner(fd, model);
    plat::Close(fd);
    return rc;
}

int TryReplaceFile(std::u16string_view aNewFile, std::u16string_view aTarget,
                   TFileEventer* aEventer) {
    if (aEventer) aEventer->EventRename(aNewFile, aTarget);
    if (aNewFile.empty() || aTarget.empty()) return ENOENT;
    std::string dst = FileNameToSys(aTarget);
    int rc = plat::Rename(FileNameToSys(aNewFile), dst);
    if (rc != 0) return rc;
    // The rename is done and visible; a directory that cannot be synced only
    // weakens durability, it does not undo the replacement.
    size_t slash = dst.find_last_of('/');
    plat::FsyncDir(slash == std::string::npos ? std::string(".")
                   : slash == 0               ? std::string("/")
                                              : dst.substr(0, slash));
    return 0;
}

// ---- directories

namespace {

std::string StripSlashes(std::string p) {
    while (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

int ForceSys(const std::string& path) {
    std::string p = StripSlashes(path);
    if (p.empty()) return 0;  // the root
    plat::FileInfo info;
    if (plat::Stat(p, info) == 0) return info.isDir ? 0 : ENOTDIR;
    size_t slash = p.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        int rc = ForceSys(p.substr(0, slash));
        if (rc != 0) return rc;
    }
    int rc = plat::Mkdir(p);
    return rc == EEXIST ? 0 : rc;
}

struct TreeCtx {
    TFileEventer* ev;
    std::unique_ptr<char[]> buf;
};

int CopyFileSys(TreeCtx& ctx, const std::string& src, const std::string& dst,
                const plat::FileInfo& info) {
    if (!ctx.buf) ctx.buf = std::make_unique<char[]>(kMoveBufferSize);
    const std::u16string to = SysToFileName(dst);
    int stage;
    int rc = CopyCore(SysToFileName(src), to, ctx.buf.get(), kMoveBufferSize, ctx.ev, stage);
    if (rc != 0) return rc;
    if (ctx.ev) ctx.ev->EventAttrSet(to, static_cast<int32_t>(AttrOf(src, info)));
    return plat::Chmod(dst, info.mode);
}

int CopyContents(TreeCtx& ctx, const std::string& src, const std::string& dst);

int CopyTree(TreeCtx& ctx, const std::string& srcIn, const std::string& parent) {
    std::string src = StripSlashes(srcIn);
    if (ctx.ev) ctx.ev->EventAttrGet(SysToFileName(src));
    plat::FileInfo info;
    int rc = plat::Lstat(src.empty() ? std::string("/") : src, info);
    if (rc != 0) return rc;
    if (!info.isDir) return ENOTDIR;
    size_t slash = src.find_last_of('/');
    std::string name = slash == std::string::npos ? src : src.substr(slash + 1);
    if (name.empty()) return CopyContents(ctx, "/", parent);
    std::string dst = StripSlashes(parent) + "/" + name;
    plat::FileInfo dinfo;
    if (plat::Lstat(dst, dinfo) != 0) {
        if (ctx.ev) ctx.ev->EventDirectoryCreate(SysToFileName(dst));
        rc = plat::Mkdir(dst, 0700);
        if (rc != 0) return rc;
        if (ctx.ev)
            ctx.ev->EventAttrSet(SysToFileName(dst), static_cast<int32_t>(AttrOf(src, info)));
        rc = plat::Chmod(dst, info.mode);
        if (rc != 0) return rc;
    } else if (!dinfo.isDir) {
        return ENOTDIR;
    }
    return CopyContents(ctx, src, dst);
}

int CopyContents(TreeCtx& ctx, const std::string& src, const std::string& dst) {
    std::vector<std::string> names;
    int rc = plat::ListDir(src, names);
    if (rc != 0) return rc;
    std::string s = src == "/" ? std::string() : src;
    for (const std::string& n : names) {
        std::string from = s + "/" + n;
        std::string to = dst + "/" + n;
        if (ctx.ev) ctx.ev->EventAttrGet(SysToFileName(from));
        plat::FileInfo info;
        rc = plat::Lstat(from, info);
        if (rc != 0) return rc;
        if (info.isLink) {
            // A link is copied as a link: descending into it could copy (or later
            // delete) something far outside the tree.
            std::string target;
            rc = plat::ReadLink(from, target);
            if (rc != 0) return rc;
            if (ctx.ev) ctx.ev->EventFileOpen(SysToFileName(to));
            plat::FileInfo old;
            if (plat::Lstat(to, old) == 0 && !old.isDir) plat::Unlink(to);
            rc = plat::Symlink(target, to);
        } else if (info.isDir) {
            rc = CopyTree(ctx, from, dst);
        } else if (info.isRegular) {
            // A link already standing at the name is replaced, not written through.
            plat::FileInfo old;
            if (plat::Lstat(to, old) == 0 && old.isLink) plat::Unlink(to);
            rc = CopyFileSys(ctx, from, to, info);
        } else {
            rc = 0;  // devices, sockets and pipes are no data of ours
        }
        if (rc != 0) return rc;
    }
    return 0;
}

int DeleteContents(TFileEventer* ev, const std::string& dir);

int DeleteTree(TFileEventer* ev, const std::string& in) {
    std::string d = StripSlashes(in);
    if (d.empty()) return DeleteContents(ev, "/");
    int rc = DeleteContents(ev, d);
    if (rc != 0) return rc;
    if (ev) ev->EventDirectoryDelete(SysToFileName(d));
    return plat::Rmdir(d);
}

int DeleteContents(TFileEventer* ev, const std::string& dir) {
    plat::FileInfo info;
    int rc = plat::Lstat(dir, info);
    if (rc != 0) return rc;
    if (!info.isDir) return ENOTDIR;
    std::vector<std::string> names;
    rc = plat::ListDir(dir, names);
    if (rc != 0) return rc;
    std::string base = dir == "/" ? std::string() : dir;
    for (const std::string& n : names) {
        std::string p = base + "/" + n;
        plat::FileInfo e;
        rc = plat::Lstat(p, e);
        if (rc == ENOENT) continue;
        if (rc != 0) return rc;
        if (e.isDir) {
            rc = DeleteTree(ev, p);
        } else {
            if (ev) ev->EventFileDelete(SysToFileName(p));
            rc = plat::Unlink(p);
        }
        if (rc != 0) return rc;
    }
    return 0;
}

int MakeDirectory(std::u16string_view aName, TFileEventer* aEventer, mode_t mode) {
    std::u16string name = StripTrailingBackslashes(aName);
    if (aEventer) aEventer->EventDirectoryCreate(name);
    if (name.empty()) return ENOENT;
    return plat::Mkdir(FileNameToSys(name), mode);
}

}  // namespace

int TryCreateDirectory(std::u16string_view aName, TFileEventer* aEventer) {
    return MakeDirectory(aName, aEventer, 0777);
}
void CreateDirectoryOrRaise(std::u16string_view aName, TFileEventer* aEventer) {
    int rc = TryCreateDirectory(aName, aEventer);
    if (rc != 0) RaiseCreateDirectoryError(rc, aName);
}
int TryCreatePrivateDirectory(std::u16string_view aName, TFileEventer* aEventer) {
    return MakeDirectory(aName, aEventer, 0700);
}
int TryForceDirectories(std::u16string_view aName, TFileEventer* aEventer) {
    if (aEventer) aEventer->EventDirectoryCreate(aName);
    if (aName.empty()) return -1;
    return ForceSys(FileNameToSys(aName));
}
void ForceDirectoriesOrRaise(std::u16string_view aName, TFileEventer* aEventer) {
    int rc = TryForceDirectories(aName, aEventer);
    if (rc != 0) RaiseCreateDirectoryError(rc, aName);
}

int CopyDirectoryTree(std::u16string_view aSource, std::u16string_view aTargetParent,
                      TFileEventer* aEventer) {
    if (aSource.empty() || aTargetParent.empty()) return ENOENT;
    TreeCtx ctx{aEventer, nullptr};
    return CopyTree(ctx, FileNameToSys(aSource), FileNameToSys(aTargetParent));
}

int DeleteDirectoryTree(std::u16string_view aName, TFileEventer* aEventer) {
    if (aName.empty()) return ENOENT;
    return DeleteTree(aEventer, FileNameToSys(aName));
}

// ---- paths

std::u16string AddTrailingBackslash(std::u16string_view aPath) {
    std::u16string p(aPath);
    if (p.empty() || p.back() != u'/') p += u'/';
    return p;
}

std::u16string StripTrailingBackslashes(std::u16string_view aPath) {
    while (!aPath.empty() && aPath.back() == u'/') aPath.remove_suffix(1);
    return std::u16string(aPath);
}

bool IsPathWithoutDotParts(std::u16string_view aPath) {
    std::u16string p = AddTrailingBackslash(aPath);
    return p.find(u"/../") == std::u16string::npos && p.find(u"/./") == std::u16string::npos;
}

bool IsDotOrDotDot(std::u16string_view aName) {
    return aName == u"." || aName == u"..";
}

std::u16string GetProgramFileName() {
    return SysToFileName(plat::ProgramFile());
}

std::u16string GetProgramDirectory() {
    std::u16string f = GetProgramFileName();
    size_t slash = f.find_last_of(u'/');
    if (slash == std::u16string::npos) return {};
    return slash == 0 ? std::u16string(u"/") : f.substr(0, slash);
}

std::u16string GetTempDirFromEnvironment() {
    static const char* const kVars[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
    for (const char* var : kVars) {
        std::string v = plat::GetEnv(var);
        if (v.empty()) continue;
        // Only the first one set counts: a stale TEMP does not fall through to TMP.
        v = StripSlashes(v);
        if (v.empty()) v = "/";
        if (v[0] != '/') {
            std::string cwd = plat::CurrentDir();
            if (cwd.empty()) break;
            v = StripSlashes(cwd) + "/" + v;
        }
        plat::FileInfo info;
        if (plat::Stat(v, info) != 0 || !info.isDir) break;
        return AddTrailingBackslash(SysToFileName(v));
    }
    return AddTrailingBackslash(GetProgramDirectory());
}

int GetPathKind(std::u16string_view aPath) {
    return !aPath.empty() && aPath[0] == u'/' ? 2 : 0;
}

std::u16string ExtractFilePath(std::u16string_view aPath) {
    size_t slash = aPath.find_last_of(u'/');
    return slash == std::u16string_view::npos ? std::u16string()
                                              : std::u16string(aPath.substr(0, slash + 1));
}

std::u16string ExtractFileName(std::u16string_view aPath) {
    size_t slash = aPath.find_last_of(u'/');
    return std::u16string(slash == std::u16string_view::npos ? aPath : aPath.substr(slash + 1));
}

}  // namespace gax
