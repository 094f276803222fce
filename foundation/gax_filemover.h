// The file mover: replaces files transactionally. New content is written into a
// private hidden staging directory, the staging tree is brought beside the
// destination, the old file is kept under a second name (a hard link), the new
// file is put in place by an atomic rename, and only then are backups and
// staging trees removed; any failure before that restores the old files. A mover
// is a handle to a plain record used by one thread for one save.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_fileeventer.h"

namespace gax {

enum TFileMoverStatus : uint8_t { ms_Origin, ms_Copied, ms_Moved, ms_Rolled, ms_Commited };

struct TFileMoverData;
struct TFileMoverSync;

struct TFileMoverFileRec {
    std::u16string DstFileName;  // relative to the entry's DstDir
    bool MovedUp = false;        // the new file is in place
};

// One replaced destination file.
struct TFileMoverObjectRec {
    std::u16string NewName;  // the destination path
    std::u16string ResName;  // the backup of the old file; empty when there was none
    int32_t ResAttr = 0;
    TFileMoverSync* Syncro = nullptr;
    TFileMoverFileRec* File = nullptr;  // whose MovedUp says whether to restore
};

// One destination directory.
struct TFileMoverSync {
    uint32_t SSing = 0;
    TFileMoverData* Mover = nullptr;
    std::vector<TFileMoverFileRec> SlaveFilesList;
    std::vector<TFileMoverFileRec> MasterFile;  // at most one
    std::u16string Identity;                    // name of this entry's staging directory
    std::u16string DstDir;
    std::vector<TFileMoverObjectRec> NewObjsMaster;
    std::vector<TFileMoverObjectRec> NewObjsSlaves;
    bool KeepBackups = false;  // a restore failed: the backups are the only copy left
};

struct TFileMoverData {
    uint32_t MSign = 0;
    std::vector<std::unique_ptr<TFileMoverSync>> Syncros;  // in the order added
    std::u16string TempPrefix;
    int32_t Cnt = 0;
    std::u16string BaseTmpDir;
    TFileMoverStatus Status = ms_Origin;
    TFileEventer* Eventer = nullptr;
};
using PFileMoverData = TFileMoverData*;

constexpr uint32_t kFileMoverSign = 0x88AA5566;
constexpr uint32_t kFileMoverSyncSign = 0x668855AA;

// All failures are gax::Exception with the mover's messages, or EFileException
// from the file operations.
PFileMoverData FileMoverCreate(std::u16string_view aTempPrefix, TFileEventer* aEventer,
                               std::u16string_view aBaseTmpDir);
TFileMoverSync* FileMoverAddSyncro(PFileMoverData aMover, std::u16string_view aDstDir);
// Returns the staging path into which the caller writes the new file completely
// before executing.
std::u16string FileMoverSetMasterFile(TFileMoverSync* aSyncro, std::u16string_view aFileName);
// CopyUp, MoveUp and Commit in that order; a failing stage restores the old files.
void FileMoverExecute(PFileMoverData aMover);
void FileMoverCopyUp(PFileMoverData aMover);
void FileMoverMoveUp(PFileMoverData aMover);
void FileMoverCommit(PFileMoverData aMover);
void FileMoverRollback(PFileMoverData aMover);
// Rolls back an unfinished mover, frees it and sets aMover to nullptr. Never raises
// for a live mover.
void FileMoverFree(PFileMoverData& aMover);

// Frees a mover when the scope ends, so an exception before execute still cleans up.
class TFileMoverGuard {
  public:
    explicit TFileMoverGuard(PFileMoverData aMover) : f_Mover(aMover) {}
    ~TFileMoverGuard() {
        if (f_Mover != nullptr) FileMoverFree(f_Mover);
    }
    TFileMoverGuard(const TFileMoverGuard&) = delete;
    TFileMoverGuard& operator=(const TFileMoverGuard&) = delete;
    PFileMoverData Get() const { return f_Mover; }

  private:
    PFileMoverData f_Mover;
};

// Creates a new hidden directory aBaseDir/<name> and returns the name:
// "." + prefix + "$" + 10 base-36 characters (".TMP$..." without a prefix).
std::u16string MakeTempSubdir(std::u16string_view aBaseDir, std::u16string_view aPrefix,
                              int32_t& aCounter, TFileEventer* aEventer = nullptr);

}  // namespace gax
