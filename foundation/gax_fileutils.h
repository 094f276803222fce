// File and directory operations of the whole server: every operation reports
// itself to an optional file eventer before it acts, "Try" forms return the
// system error code (0 = success) and raising forms turn a failure into
// EFileException with a message naming the file. Path helpers live here too.
// Functions keep no state; a file object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_fileeventer.h"
#include "foundation/gax_types.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EFileException, Exception);
GAX_DECLARE_EXCEPTION(EFileExceptionOpenError, EFileException);

// Attribute bits as the rest of the system knows them. Directory comes from the
// file type, read-only from a missing owner write bit, hidden from a leading dot.
constexpr uint32_t faReadOnly = 0x01;
constexpr uint32_t faHidden = 0x02;
constexpr uint32_t faDirectory = 0x10;

// Open modes of a binary file: the access in the low bits. Sharing is not
// enforced on this system, so share bits are accepted and have no effect.
constexpr uint32_t fmOpenRead = 0x00;
constexpr uint32_t fmOpenWrite = 0x01;
constexpr uint32_t fmOpenReadWrite = 0x02;
constexpr uint32_t fmShareDenyNone = 0x40;

constexpr int kCopyBufferSize = 131072;
constexpr int kMoveBufferSize = 262144;

// A buffered file with a name, open either for reading or for writing. Closing
// (or destroying) flushes what is still buffered.
class TTextFile {
  public:
    TTextFile() = default;
    ~TTextFile();
    TTextFile(TTextFile&& other) noexcept;
    TTextFile& operator=(TTextFile&& other) noexcept;
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;

    const std::u16string& Name() const { return f_Name; }
    bool IsOpen() const { return f_Fd >= 0; }

  private:
    friend struct TextFileAccess;
    int f_Fd = -1;
    bool f_Write = false;
    std::u16string f_Name;
    std::vector<char> f_Buf;
    size_t f_Len = 0;  // bytes buffered (writing) or filled (reading)
    size_t f_Pos = 0;  // next byte to hand out (reading)
    bool f_Eof = false;
};

// An unbuffered file that transfers whole blocks.
class TBinaryFile {
  public:
    TBinaryFile() = default;
    ~TBinaryFile();
    TBinaryFile(TBinaryFile&& other) noexcept;
    TBinaryFile& operator=(TBinaryFile&& other) noexcept;
    TBinaryFile(const TBinaryFile&) = delete;
    TBinaryFile& operator=(const TBinaryFile&) = delete;

    const std::u16string& Name() const { return f_Name; }
    bool IsOpen() const { return f_Fd >= 0; }
    int Handle() const { return f_Fd; }

  private:
    friend struct BinaryFileAccess;
    int f_Fd = -1;
    std::u16string f_Name;
};

// ---- messages
std::u16string FormatExecuteErrorText(int aCode, std::u16string_view aName);
[[noreturn]] void RaiseFileError(int aCode, std::u16string_view aName);
[[noreturn]] void RaiseCreateDirectoryError(int aCode, std::u16string_view aName);
[[noreturn]] void RaiseRenameError(int aCode, std::u16string_view aOldName,
                                   std::u16string_view aNewName);
// Raises "of writing file" with the file's name when aCode is not 0.
void CheckTextWriteError(int aCode, const TTextFile& aFile);

// ---- text files (aBufferSize 0 gives a default buffer)
int TryOpenTextFileForRead(std::u16string_view aName, TTextFile& aFile,
                           TFileEventer* aEventer = nullptr, size_t aBufferSize = 0);
void OpenTextFileForRead(std::u16string_view aName, TTextFile& aFile,
                         TFileEventer* aEventer = nullptr, size_t aBufferSize = 0);
int TryCreateTextFile(std::u16string_view aName, TTextFile& aFile,
                      TFileEventer* aEventer = nullptr);
void CreateTextFile(std::u16string_view aName, TTextFile& aFile, TFileEventer* aEventer = nullptr);
int TryCreateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                              TFileEventer* aEventer = nullptr);
void CreateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                            TFileEventer* aEventer = nullptr);
// A new file readable by its owner only (0600), made afresh: a file of that
// name is removed first, so no descriptor opened on an earlier, more open file
// can see what is written. For staged copies of files that hold passwords.
int TryCreatePrivateTextFileBuffered(std::u16string_view aName, TTextFile& aFile,
                                     size_t aBufferSize, TFileEventer* aEventer = nullptr);
void CreatePrivateTextFileBuffered(std::u16string_view aName, TTextFile& aFile, size_t aBufferSize,
                                   TFileEventer* aEventer = nullptr);
int TryAppendOrCreateTextFile(std::u16string_view aName, TTextFile& aFile,
                              TFileEventer* aEventer = nullptr, size_t aBufferSize = 0);
void AppendOrCreateTextFile(std::u16string_view aName, TTextFile& aFile,
                            TFileEventer* aEventer = nullptr, size_t aBufferSize = 0);
// Writes out the buffer; with aSync also forces the data to the disk.
int TryFlushTextFile(TTextFile& aFile, bool aSync = false, TFileEventer* aEventer = nullptr);
// Flushes, closes and returns the first failure; never raises.
int CloseTextFile(TTextFile& aFile, TFileEventer* aEventer = nullptr);
int TextWriteRawBytes(TTextFile& aFile, std::string_view aBytes);
void TextWriteRawBytesOrRaise(TTextFile& aFile, std::string_view aBytes);
// One line without its LF (and the CR before it); False at the end of the file.
bool TextReadLineAnsi(TTextFile& aFile, std::string& aLine);

// ---- binary files
int TryCreateBinaryFile(std::u16string_view aName, TBinaryFile& aFile,
                        TFileEventer* aEventer = nullptr);
void CreateBinaryFile(std::u16string_view aName, TBinaryFile& aFile,
                      TFileEventer* aEventer = nullptr);
int TryOpenBinaryFile(std::u16string_view aName, uint32_t aMode, TBinaryFile& aFile,
                      TFileEventer* aEventer = nullptr);
void OpenBinaryFile(std::u16string_view aName, uint32_t aMode, TBinaryFile& aFile,
                    TFileEventer* aEventer = nullptr);
// Reads up to aCount bytes; aGot = 0 at the end of the file.
int TryReadBinaryFile(TBinaryFile& aFile, void* aBuf, size_t aCount, size_t& aGot,
                      TFileEventer* aEventer = nullptr);
size_t ReadBinaryFileOrRaise(TBinaryFile& aFile, void* aBuf, size_t aCount,
                             TFileEventer* aEventer = nullptr);
int TryWriteBinaryFile(TBinaryFile& aFile, const void* aBuf, size_t aCount,
                       TFileEventer* aEventer = nullptr);
void WriteBinaryFileOrRaise(TBinaryFile& aFile, const void* aBuf, size_t aCount,
                            TFileEventer* aEventer = nullptr);
// Forces the file's data to the disk.
int TryFlushBinaryFile(TBinaryFile& aFile, TFileEventer* aEventer = nullptr);
int CloseBinaryFile(TBinaryFile& aFile, TFileEventer* aEventer = nullptr);

// ---- files by name
bool FileExists(std::u16string_view aName);  // any kind of entry, links not followed
int TryEraseFile(std::u16string_view aName, TFileEventer* aEventer = nullptr);
int TryGetFileAttr(std::u16string_view aName, uint32_t& aAttr, TFileEventer* aEventer = nullptr);
uint32_t GetFileAttrOrRaise(std::u16string_view aName, TFileEventer* aEventer = nullptr);
int TrySetFileAttr(std::u16string_view aName, uint32_t aAttr, TFileEventer* aEventer = nullptr);
void SetFileAttrOrRaise(std::u16string_view aName, uint32_t aAttr,
                        TFileEventer* aEventer = nullptr);
inline bool IsDirectoryAttr(uint32_t aAttr) {
    return (aAttr & faDirectory) != 0;
}
// Fails when aNewName exists.
int TryRenameNoReplace(std::u16string_view aOldName, std::u16string_view aNewName,
                       TFileEventer* aEventer = nullptr);
void RenameOrRaise(std::u16string_view aOldName, std::u16string_view aNewName,
                   TFileEventer* aEventer = nullptr);
int TryCopyFile(std::u16string_view aSource, std::u16string_view aTarget, void* aBuffer,
                int aBufferSize, TFileEventer* aEventer = nullptr);
void CopyFileOrRaise(std::u16string_view aSource, std::u16string_view aTarget, void* aBuffer,
                     int aBufferSize, TFileEventer* aEventer = nullptr);
void CopyFileContents(std::u16string_view aSource, std::u16string_view aTarget,
                      TFileEventer* aEventer = nullptr);
// Moves a file, replacing the target; across file systems by copy and delete.
int TryMoveFile(std::u16string_view aSource, std::u16string_view aTarget,
                TFileEventer* aEventer = nullptr);
void MoveFileOrRaise(std::u16string_view aSource, std::u16string_view aTarget,
                     TFileEventer* aEventer = nullptr);

// ---- safe replacement of a file (the savers' building blocks)
// Forces a named file's data to the disk.
int TrySyncFile(std::u16string_view aName, TFileEventer* aEventer = nullptr);
// Makes aBackup a second name of aFile (a hard link; a copy where the file system
// has none), failing when aBackup exists. The file itself is never moved away, so
// there is no moment at which its name is missing. Reported as a rename.
int TryLinkBackup(std::u16string_view aFile, std::u16string_view aBackup,
                  TFileEventer* aEventer = nullptr);
// Gives aTarget the permission bits (and owner and group where permitted) of aModel.
int TryCopyPermissions(std::u16string_view aModel, std::u16string_view aTarget,
                       TFileEventer* aEventer = nullptr);
// Atomically puts aNewFile at aTarget, replacing it, and syncs the directory.
int TryReplaceFile(std::u16string_view aNewFile, std::u16string_view aTarget,
                   TFileEventer* aEventer = nullptr);

// ---- directories
int TryCreateDirectory(std::u16string_view aName, TFileEventer* aEventer = nullptr);
void CreateDirectoryOrRaise(std::u16string_view aName, TFileEventer* aEventer = nullptr);
// The same, readable by the owner only (staging directories hold private data).
int TryCreatePrivateDirectory(std::u16string_view aName, TFileEventer* aEventer = nullptr);
int TryForceDirectories(std::u16string_view aName, TFileEventer* aEventer = nullptr);
void ForceDirectoriesOrRaise(std::u16string_view aName, TFileEventer* aEventer = nullptr);
// Copies directory aSource into aTargetParent (as aTargetParent/<last part of aSource>).
// Symbolic links are copied as links, never followed.
int CopyDirectoryTree(std::u16string_view aSource, std::u16string_view aTargetParent,
                      TFileEventer* aEventer = nullptr);
// Deletes a directory with everything in it; links are removed, never followed.
int DeleteDirectoryTree(std::u16string_view aName, TFileEventer* aEventer = nullptr);

// ---- paths ('/' is the separator)
std::u16string AddTrailingBackslash(std::u16string_view aPath);
std::u16string StripTrailingBackslashes(std::u16string_view aPath);
bool IsPathWithoutDotParts(std::u16string_view aPath);
bool IsDotOrDotDot(std::u16string_view aName);
std::u16string GetProgramFileName();
std::u16string GetProgramDirectory();
std::u16string GetTempDirFromEnvironment();
// 2 for an absolute path, 0 for anything else.
int GetPathKind(std::u16string_view aPath);
// The directory part of a path including its '/', and the name part.
std::u16string ExtractFilePath(std::u16string_view aPath);
std::u16string ExtractFileName(std::u16string_view aPath);

// Byte form of a name for the system calls, and back (for messages).
std::string FileNameToSys(std::u16string_view aName);
std::u16string SysToFileName(std::string_view aPath);

}  // namespace gax
