#include "foundation/gax_filemover.h"

#include <cerrno>
#include <random>

#include "foundation/gax_datetime.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"
#include "platform/plat_file.h"

namespace gax {

namespace {

constexpr int kMaxTempTries = 128;

int32_t Random31() {
    thread_local std::mt19937 gen{std::random_device{}()};
    return std::uniform_int_distribution<int32_t>(0, 2147483646)(gen);
}

std::u16string Join(std::u16string_view dir, std::u16string_view name) {
    return AddTrailingBackslash(StripTrailingBackslashes(dir)) + std::u16string(name);
}

[[noreturn]] void Raise(std::u16string msg) {
    throw Exception(std::move(msg));
}

[[noreturn]] void RaiseRelative(std::u16string_view path) {
    Raise(u"Relative path is not allowed: \"" + std::u16string(path) + u"\"");
}

void CheckMover(PFileMoverData m) {
    if (m == nullptr) throw Exception("Mover=NIL");
    if (m->MSign != kFileMoverSign) throw Exception("Invalid mover context");
}

void CheckSyncro(TFileMoverSync* s) {
    if (s == nullptr) throw Exception("Syncro=NIL");
    if (s->SSing != kFileMoverSyncSign) throw Exception("Invalid syncro context");
}

std::u16string StagingDir(const TFileMoverData& m, const TFileMoverSync& s) {
    return Join(m.BaseTmpDir, s.Identity);
}

std::u16string MovedDir(const TFileMoverSync& s) {
    return Join(s.DstDir, s.Identity);
}

bool DirExists(std::u16string_view path) {
    plat::FileInfo info;
    return plat::Lstat(FileNameToSys(path), info) == 0 && info.isDir;
}

// The staging base may be the destination under another spelling (a link, a
// doubled '/'), so two directory names may well be one directory.
bool SameDirectory(const std::u16string& a, const std::u16string& b) {
    return a == b || plat::SameFile(FileNameToSys(a), FileNameToSys(b));
}

// Cleanup never raises: a handler that throws or a failed delete only leaves work
// for the second pass, which usually finishes what the first one could not.
void RemoveTreeQuietly(std::u16string_view path, TFileEventer* ev) {
    for (int pass = 0; pass < 2; ++pass) {
        try {
            if (!FileExists(path)) return;
            if (DeleteDirectoryTree(path, ev) == 0) return;
        } catch (...) {
        }
    }
}

void EraseQuietly(std::u16string_view path, TFileEventer* ev) {
    try {
        TryEraseFile(path, ev);
    } catch (...) {
    }
}

void ForceParentOrRaise(std::u16string_view path, TFileEventer* ev) {
    std::u16string dir = ExtractFilePath(path);
    if (!dir.empty()) ForceDirectoriesOrRaise(StripTrailingBackslashes(dir), ev);
}

// Step one of the old files: a second name in the staging tree, the original stays.
void BackUp(TFileMoverSync& s, std::vector<TFileMoverFileRec>& files,
            std::vector<TFileMoverObjectRec>& objs, std::u16string_view sub, TFileEventer* ev) {
    const std::u16string t = MovedDir(s);
    for (TFileMoverFileRec& f : files) {
        TFileMoverObjectRec rec;
        rec.NewName = Join(s.DstDir, f.DstFileName);
        rec.Syncro = &s;
        rec.File = &f;
        if (FileExists(rec.NewName)) {
            uint32_t attr = GetFileAttrOrRaise(rec.NewName, ev);
            std::u16string res = Join(Join(t, sub), f.DstFileName);
            ForceParentOrRaise(res, ev);
            int rc = TryLinkBackup(rec.NewName, res, ev);
            if (rc != 0) RaiseRenameError(rc, rec.NewName, res);
            rec.ResName = std::move(res);
            rec.ResAttr = static_cast<int32_t>(attr);
        }
        objs.push_back(std::move(rec));
    }
}

// Step two: the new file goes in by one atomic rename, with the old one's
// permission bits and its data on the disk first.
void PutInPlace(TFileMoverSync& s, std::vector<TFileMoverObjectRec>& objs, std::u16string_view sub,
                TFileEventer* ev) {
    const std::u16string t = MovedDir(s);
    for (TFileMoverObjectRec& rec : objs) {
        std::u16string staged = Join(Join(t, sub), rec.File->DstFileName);
        ForceParentOrRaise(rec.NewName, ev);
        if (!rec.ResName.empty()) {
            int rc = TryCopyPermissions(rec.ResName, staged, ev);
            if (rc != 0) RaiseFileError(rc, staged);
        }
        int rc = TrySyncFile(staged, ev);
        if (rc != 0) RaiseFileError(rc, staged);
        rc = TryReplaceFile(staged, rec.NewName, ev);
        if (rc != 0) RaiseRenameError(rc, staged, rec.NewName);
        rec.File->MovedUp = true;
    }
}

// Puts the old file back (or removes a new one that had none). Returns false when
// the old content could not be put back, so its backup must be kept.
bool Restore(TFileMoverObjectRec& rec, TFileEventer* ev) {
    if (rec.File == nullptr || !rec.File->MovedUp) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (rec.ResName.empty()) {
                int rc = TryEraseFile(rec.NewName, ev);
                if (rc == 0 || rc == ENOENT) return true;
            } else if (TryReplaceFile(rec.ResName, rec.NewName, ev) == 0) {
                return true;
            }
        } catch (...) {
        }
    }
    return rec.ResName.empty();
}

void DeleteStagingTrees(TFileMoverData& m) {
    for (auto& s : m.Syncros) {
        const std::u16string staging = StagingDir(m, *s);
        if (s->KeepBackups && !s->DstDir.empty()) {
            // Staged beside the destination, the staging tree is the one holding
            // the backups.
            if (SameDirectory(staging, MovedDir(*s))) continue;
        } else if (!s->DstDir.empty()) {
            RemoveTreeQuietly(MovedDir(*s), m.Eventer);
        }
        RemoveTreeQuietly(staging, m.Eventer);
    }
}

}  // namespace

std::u16string MakeTempSubdir(std::u16string_view aBaseDir, std::u16string_view aPrefix,
                              int32_t& aCounter, TFileEventer* aEventer) {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int attempt = 0; attempt < kMaxTempTries; ++attempt) {
        ++aCounter;
        const int32_t r1 = Random31();
        const int32_t r2 = Random31();
        const TDateTime now = LocalNow();
        uint32_t a = Crc32Update(0, &now, sizeof now);
        a = Crc32Update(a, &r2, sizeof r2);
        a = Crc32UpdateText(a, aBaseDir);
        uint32_t b = Crc32Update(0xFFFFFFFFu, &now, sizeof now);
        b = Crc32Update(b, &aCounter, sizeof aCounter);
        b = Crc32UpdateText(b, IntToDecStrW(r1));
        uint64_t v = ((static_cast<uint64_t>(b) << 32) | a) & 0x7FFFFFFFFFFFFFFFull;
        std::u16string name = u".";
        name += aPrefix.empty() ? std::u16string(u"TMP") : std::u16string(aPrefix);
        name += u"$";
        for (int i = 0; i < 10; ++i) {
            name += static_cast<char16_t>(kDigits[v % 36]);
            v /= 36;
        }
        while (name.size() >= 2 && name[0] == u'.' && name[1] == u'.') name.erase(0, 1);
        std::u16string full = Join(aBaseDir, name);
        int rc = TryCreatePrivateDirectory(full, aEventer);
        if (rc == EEXIST) continue;
        if (rc != 0) RaiseCreateDirectoryError(rc, full);
        return name;
    }
    Raise(u"Unable create temporary subdirectory at directory \"" + std::u16string(aBaseDir) +
          u"\"");
}

PFileMoverData FileMoverCreate(std::u16string_view aTempPrefix, TFileEventer* aEventer,
                               std::u16string_view aBaseTmpDir) {
    std::u16string base = TrimSpaceW(aBaseTmpDir);
    if (base.empty()) throw Exception("Temp directory must be specified");
    if (!IsPathWithoutDotParts(base)) RaiseRelative(base);
    auto m = std::make_unique<TFileMoverData>();
    m->MSign = kFileMoverSign;
    m->TempPrefix.assign(aTempPrefix);
    m->BaseTmpDir = std::move(base);
    m->Status = ms_Origin;
    m->Eventer = aEventer;
    return m.release();  // owned by the handle until FileMoverFree
}

TFileMoverSync* FileMoverAddSyncro(PFileMoverData aMover, std::u16string_view aDstDir) {
    CheckMover(aMover);
    if (aMover->Status != ms_Origin) throw Exception("Unable add synchro");
    if (!IsPathWithoutDotParts(aDstDir)) RaiseRelative(aDstDir);
    auto s = std::make_unique<TFileMoverSync>();
    s->SSing = kFileMoverSyncSign;
    s->Mover = aMover;
    s->DstDir.assign(aDstDir);
    s->Identity =
        MakeTempSubdir(aMover->BaseTmpDir, aMover->TempPrefix, aMover->Cnt, aMover->Eventer);
    const std::u16string staging = StagingDir(*aMover, *s);
    try {
        for (const char16_t* sub : {u"M", u"S", u"OM", u"OS"}) {
            std::u16string d = Join(staging, sub);
            int rc = TryCreatePrivateDirectory(d, aMover->Eventer);
            if (rc != 0) RaiseCreateDirectoryError(rc, d);
        }
    } catch (...) {
        RemoveTreeQuietly(staging, aMover->Eventer);
        throw;
    }
    aMover->Syncros.push_back(std::move(s));
    return aMover->Syncros.back().get();
}

std::u16string FileMoverSetMasterFile(TFileMoverSync* aSyncro, std::u16string_view aFileName) {
    CheckSyncro(aSyncro);
    TFileMoverData* m = aSyncro->Mover;
    CheckMover(m);
    if (m->Status != ms_Origin) throw Exception("Unable add file");
    if (!aSyncro->MasterFile.empty())
        Raise(u"Master file is already set for Syncro=\"" + aSyncro->DstDir + u"\"");
    const std::u16string dst = Join(aSyncro->DstDir, aFileName);
    if (!IsPathWithoutDotParts(dst)) RaiseRelative(dst);
    const std::u16string staged = Join(Join(StagingDir(*m, *aSyncro), u"M"), aFileName);
    if (!IsPathWithoutDotParts(staged)) RaiseRelative(staged);
    ForceParentOrRaise(staged, m->Eventer);
    TFileMoverFileRec rec;
    rec.DstFileName.assign(aFileName);
    aSyncro->MasterFile.push_back(std::move(rec));
    return staged;
}

void FileMoverCopyUp(PFileMoverData aMover) {
    CheckMover(aMover);
    if (aMover->Status != ms_Origin) throw Exception("Unable do CopyUp procedure");
    TFileEventer* ev = aMover->Eventer;
    try {
        for (auto& s : aMover->Syncros) {
            if (s->DstDir.empty()) continue;
            ForceDirectoriesOrRaise(s->DstDir, ev);
            const std::u16string from = StagingDir(*aMover, *s);
            const std::u16string to = MovedDir(*s);
            if (!DirExists(from) || SameDirectory(from, to)) continue;
            if (TryRenameNoReplace(from, to, ev) == 0) continue;
            // Another file system: copy the tree beside the destination instead.
            int rc = CopyDirectoryTree(from, s->DstDir, ev);
            RemoveTreeQuietly(from, ev);
            if (rc != 0) {
                RemoveTreeQuietly(to, ev);
                Raise(u"Unable copy directory \"" + from + u"\" into \"" + to + u"\": " +
                      SysToFileName(plat::ErrorText(rc)));
            }
        }
    } catch (...) {
        FileMoverRollback(aMover);
        throw;
    }
    aMover->Status = ms_Copied;
}

void FileMoverMoveUp(PFileMoverData aMover) {
    CheckMover(aMover);
    if (aMover->Status != ms_Copied)
        throw Exception("Unable fullfil MoveUp without previous CopyUp");
    TFileEventer* ev = aMover->Eventer;
    try {
        for (auto& s : aMover->Syncros) {
            if (s->DstDir.empty()) continue;
            BackUp(*s, s->MasterFile, s->NewObjsMaster, u"OM", ev);
            BackUp(*s, s->SlaveFilesList, s->NewObjsSlaves, u"OS", ev);
            PutInPlace(*s, s->NewObjsSlaves, u"S", ev);
            PutInPlace(*s, s->NewObjsMaster, u"M", ev);
        }
    } catch (...) {
        FileMoverRollback(aMover);
        throw;
    }
    aMover->Status = ms_Moved;
}

void FileMoverCommit(PFileMoverData aMover) {
    CheckMover(aMover);
    if (aMover->Status == ms_Commited) return;
    if (aMover->Status == ms_Rolled) throw Exception("Unable perform Commit after Rollback");
    if (aMover->Status != ms_Moved) throw Exception("Unable perform Commit without MoveUp");
    TFileEventer* ev = aMover->Eventer;
    for (auto& s : aMover->Syncros) {
        for (auto* list : {&s->NewObjsSlaves, &s->NewObjsMaster})
            for (TFileMoverObjectRec& rec : *list)
                if (!rec.ResName.empty()) EraseQuietly(rec.ResName, ev);
        if (!s->DstDir.empty()) RemoveTreeQuietly(MovedDir(*s), ev);
    }
    for (auto& s : aMover->Syncros) RemoveTreeQuietly(StagingDir(*aMover, *s), ev);
    aMover->Status = ms_Commited;
}

void FileMoverExecute(PFileMoverData aMover) {
    FileMoverCopyUp(aMover);
    FileMoverMoveUp(aMover);
    FileMoverCommit(aMover);
}

void FileMoverRollback(PFileMoverData aMover) {
    CheckMover(aMover);
    if (aMover->Status == ms_Rolled) return;
    if (aMover->Status == ms_Commited) throw Exception("File mover data are already commited");
    TFileEventer* ev = aMover->Eventer;
    // Replaced files are recorded only from MoveUp on: before, the lists are empty.
    for (auto& s : aMover->Syncros) {
        for (auto* list : {&s->NewObjsSlaves, &s->NewObjsMaster})
            for (TFileMoverObjectRec& rec : *list)
                if (!Restore(rec, ev)) s->KeepBackups = true;
        s->NewObjsSlaves.clear();
        s->NewObjsMaster.clear();
    }
    DeleteStagingTrees(*aMover);
    aMover->Status = ms_Rolled;
}

void FileMoverFree(PFileMoverData& aMover) {
    CheckMover(aMover);
    std::unique_ptr<TFileMoverData> owned(aMover);
    aMover = nullptr;
    if (owned->Status == ms_Origin || owned->Status == ms_Copied || owned->Status == ms_Moved) {
        try {
            FileMoverRollback(owned.get());
        } catch (...) {
        }
    }
    for (auto& s : owned->Syncros) s->SSing = 0;
    owned->MSign = 0;
}

}  // namespace gax
