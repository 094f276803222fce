// The service thread's side of the seven list files, without the service:
// reading a list at start-up and rereading it on command into one list per
// network, deciding whether the file is to be saved again, and saving a
// snapshot, each with the log lines the operator reads. The running networks
// are not touched here: the caller applies the per-network lists (at start-up
// straight into the networks, on a reread through the heartbeat) and logs the
// lines returned.
//
// Threads: one TQORSVCListFiles belongs to the service thread (all list-file
// I/O happens there). The networks list it is given must not change during a call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_datafile.h"
#include "server/gax_qor_svc_mutes.h"
#include "server/gax_qor_svc_netif.h"
#include "server/gax_qor_svc_notices.h"
#include "server/gax_qor_svc_rights.h"

namespace gax {

// TQORSVCListKind is the service's own (one definition for both sides).
inline constexpr size_t kQORSVCListKindCount = kListKindCount;

// What one read of a list file gave.
struct TQORSVCListLoad {
    TQORSVCListKind Kind = TQORSVCListKind::Mutes;
    // The file is to be written again in the writer's form: set only for the
    // configured file, never for a file named in a reread command.
    bool Save = false;
    // One element per network, by the network's index; empty ones have no line.
    std::vector<std::unique_ptr<TQORSVCMuteBlockList>> MuteBlocks;  // mutes or blocks
    std::vector<std::unique_ptr<TQORSVCAdminList>> Admins;
    std::vector<std::unique_ptr<TQORSVCAccessList>> Rights;
    std::vector<TQORSVCModesData> Modes;
    std::vector<std::optional<TQORSVCNoticeData>> Notices;
    std::optional<TQORSVCOwnerData> Owner;  // a line was accepted
};

class TQORSVCListFiles {
  public:
    // aFileNames by TQORSVCListKind; every name and aDataDir absolute.
    TQORSVCListFiles(std::array<std::u16string, kQORSVCListKindCount> aFileNames,
                     std::u16string aDataDir, bool aLogData);

    const std::u16string& FileName(TQORSVCListKind aKind) const;

    // While the server runs on its built-in test networks no list file is
    // rewritten or saved: every record would belong to an unknown network.
    void SetTestNetworks(bool aOn);

    // The start-up read of the configured file. False when the file could not
    // be read (a missing file too, as on a fresh installation: the lists start
    // empty and the first save creates it); aLog gets the error line. The
    // owner file's failures are silent.
    bool ReadAtStartUp(TQORSVCListKind aKind, const TQORSVCNetworkNames& aNetworks, int64_t aNow,
                       TQORSVCListLoad& aLoad, std::vector<std::u16string>& aLog);
    // A reread: of aFileName when it is not empty (the configured file is then
    // never marked for saving), else of the configured file. False on failure
    // (the command is answered "-ERROR"); aLog gets the lines.
    bool Reread(TQORSVCListKind aKind, const std::u16string& aFileName,
                const TQORSVCNetworkNames& aNetworks, int64_t aNow, TQORSVCListLoad& aLoad,
                std::vector<std::u16string>& aLog);

    // Saves a snapshot into the list's configured file when that is allowed.
    // True when the file was written; aLog gets the saved line (with LogData),
    // the error line, or once the line saying why a save is held back.
    bool Save(TQORSVCListKind aKind, const std::vector<std::string>& aLines,
              std::vector<std::u16string>& aLog);

  private:
    bool Read(TQORSVCListKind aKind, const std::u16string& aFile, const TQORSVCNetworkNames& aNets,
              int64_t aNow, bool aAtStartUp, TQORSVCListLoad& aLoad);

    std::array<std::u16string, kQORSVCListKindCount> f_FileNames;
    std::u16string f_DataDir;
    bool f_LogData;
    bool f_TestNetworks = false;
    std::array<TQORSVCDataFileGuard, kQORSVCListKindCount> f_Guards;
    std::array<bool, kQORSVCListKindCount> f_HoldReported{};
};

}  // namespace gax
