#include "server/gax_qor_svc_listfiles.h"

#include <exception>

#include "foundation/gax_ansi_unicode_converter.h"
#include "server/gax_qor_svc_globals.h"

namespace gax {

namespace {

struct KindTexts {
    std::u16string_view Read;          // start-up error label
    std::u16string_view Reread;        // reread log and error label
    bool RereadErrorNamesFile;         // "... " + file + ": " + message
    std::u16string_view Saved;         // log line on a save
    std::u16string_view SaveError;     // error label of a save
};

constexpr std::array<KindTexts, kQORSVCListKindCount> kTexts = {{
    {u"Read mutes: ", u"Reread mutes: ", true, u"Mutes are saved: ",
     u"Saving list of muted clients: "},
    {u"Read blocks: ", u"Reread blocks: ", true, u"Blocks are saved: ",
     u"Saving list of blocked clients: "},
    {u"Read admins: ", u"Reread of admins: ", true, u"Admins are saved: ",
     u"Saving list of admins: "},
    {u"Read modes: ", u"Reread modes: ", true, u"Modes are saved: ", u"Saving modes: "},
    {u"Read rights: ", u"Reread rights: ", false, u"Rights are saved: ", u"Saving access list: "},
    {u"Read notices: ", u"Reread notices: ", false, u"Notices are saved: ", u"Saving notices: "},
    {u"", u"", false, u"Owner is saved: ", u"Saving owner: "},
}};

// The reread's "default" line names the list as the start-up line does.
constexpr std::array<std::u16string_view, kQORSVCListKindCount> kDefaultWords = {
    u"mutes", u"blocks", u"admins", u"modes", u"rights", u"notices", u"owner"};

size_t Idx(TQORSVCListKind k) {
    return static_cast<size_t>(k);
}

std::u16string ErrorText(const std::exception& e, bool withClass) {
    if (const auto* g = dynamic_cast<const Exception*>(&e))
        return withClass ? std::u16string(g->ClassName()) + u": " + g->Message() : g->Message();
    const std::u16string what = Utf8BufToUnicodeStd(e.what());
    return withClass ? u"Exception: " + what : what;
}

}  // namespace

TQORSVCListFiles::TQORSVCListFiles(std::array<std::u16string, kQORSVCListKindCount> aFileNames,
                                   std::u16string aDataDir, bool aLogData)
    : f_FileNames(std::move(aFileNames)), f_DataDir(std::move(aDataDir)), f_LogData(aLogData) {}

const std::u16string& TQORSVCListFiles::FileName(TQORSVCListKind aKind) const {
    return f_FileNames[Idx(aKind)];
}

void TQORSVCListFiles::SetTestNetworks(bool aOn) {
    f_TestNetworks = aOn;
    for (TQORSVCDataFileGuard& g : f_Guards) g.SetTestNetworks(aOn);
}

bool TQORSVCListFiles::Read(TQORSVCListKind aKind, const std::u16string& aFile,
                            const TQORSVCNetworkNames& aNets, int64_t aNow, bool aAtStartUp,
                            TQORSVCListLoad& aLoad) {
    aLoad = TQORSVCListLoad{};
    aLoad.Kind = aKind;
    bool rewrite = false;
    switch (aKind) {
        case TQORSVCListKind::Mutes:
        case TQORSVCListKind::Blocks:
            aLoad.MuteBlocks =
                DistributeRecords<TQORSVCMuteBlock>(ReadMuteBlockFile(aFile, aNow, rewrite, !aAtStartUp), aNets,
                                                    rewrite);
            break;
        case TQORSVCListKind::Admins:
            aLoad.Admins =
                DistributeRecords<TQORSVCAdmin>(ReadAdminsFile(aFile, rewrite), aNets, rewrite);
            break;
        case TQORSVCListKind::Rights:
            aLoad.Rights =
                DistributeRecords<TQORSVCAccess>(ReadRightsFile(aFile, rewrite), aNets, rewrite);
            break;
        case TQORSVCListKind::Modes:
            aLoad.Modes = DistributeModes(ReadModesFile(aFile, rewrite), aNets, rewrite);
            break;
        case TQORSVCListKind::Notices:
            aLoad.Notices =
                DistributeNotices(ReadNoticesFile(aFile, rewrite), aNets, aAtStartUp, rewrite);
            break;
        case TQORSVCListKind::Owner: {
            TQORSVCOwnerData o;
            if (ReadOwnerFile(aFile, o, rewrite)) aLoad.Owner = std::move(o);
            break;
        }
    }
    return rewrite;
}

bool TQORSVCListFiles::ReadAtStartUp(TQORSVCListKind aKind, const TQORSVCNetworkNames& aNetworks,
                                     int64_t aNow, TQORSVCListLoad& aLoad,
                                     std::vector<std::u16string>& aLog) {
    const std::u16string& file = FileName(aKind);
    try {
        const bool rewrite = Read(aKind, file, aNetworks, aNow, true, aLoad);
        f_Guards[Idx(aKind)].NoteReadSuccess();
        aLoad.Save = rewrite && !f_TestNetworks;
        return true;
    } catch (const std::exception& e) {
        aLoad = TQORSVCListLoad{};
        aLoad.Kind = aKind;
        f_Guards[Idx(aKind)].NoteReadFailure(file);
        if (aKind != TQORSVCListKind::Owner)
            aLog.push_back(std::u16string(kLogPrefixError) + std::u16string(kTexts[Idx(aKind)].Read) +
                           ErrorText(e, false));
        return false;
    }
}

bool TQORSVCListFiles::Reread(TQORSVCListKind aKind, const std::u16string& aFileName,
                              const TQORSVCNetworkNames& aNetworks, int64_t aNow,
                              TQORSVCListLoad& aLoad, std::vector<std::u16string>& aLog) {
    const bool isDefault = aFileName.empty();
    const std::u16string file = isDefault ? FileName(aKind) : aFileName;
    const KindTexts& t = kTexts[Idx(aKind)];
    if (f_LogData) {
        if (isDefault)
            aLog.push_back(u"Reread " + std::u16string(kDefaultWords[Idx(aKind)]) + u": default: " +
                           file);
        else
            aLog.push_back(u"Reread " + std::u16string(kDefaultWords[Idx(aKind)]) + u" from: " +
                           file);
    }
    try {
        const bool rewrite = Read(aKind, file, aNetworks, aNow, false, aLoad);
        if (isDefault) {
            f_Guards[Idx(aKind)].NoteReadSuccess();
            f_HoldReported[Idx(aKind)] = false;
        }
        aLoad.Save = isDefault && rewrite && !f_TestNetworks;
        return true;
    } catch (const std::exception& e) {
        aLoad = TQORSVCListLoad{};
        aLoad.Kind = aKind;
        // A missing file lifts the hold; a later one is reported again.
        if (isDefault && !f_Guards[Idx(aKind)].NoteReadFailure(file))
            f_HoldReported[Idx(aKind)] = false;
        std::u16string line = std::u16string(kLogPrefixError) + std::u16string(t.Reread);
        if (t.RereadErrorNamesFile) line += file + u": ";
        aLog.push_back(line + ErrorText(e, false));
        return false;
    }
}

bool TQORSVCListFiles::Save(TQORSVCListKind aKind, const std::vector<std::string>& aLines,
                            std::vector<std::u16string>& aLog) {
    const size_t k = Idx(aKind);
    const std::u16string& file = FileName(aKind);
    if (f_TestNetworks) return false;
    if (!f_Guards[k].MaySave()) {
        if (!f_HoldReported[k]) {
            f_HoldReported[k] = true;
            aLog.push_back(std::u16string(kLogPrefixWarning) + u"Not saving " + file +
                           u": it could not be read; it is saved again after a good reread");
        }
        return false;
    }
    try {
        WriteDataFile(file, f_DataDir, aLines);
    } catch (const std::exception& e) {
        aLog.push_back(std::u16string(kLogPrefixError) + std::u16string(kTexts[k].SaveError) +
                       ErrorText(e, true));
        return false;
    }
    if (f_LogData) aLog.push_back(std::u16string(kTexts[k].Saved) + file);
    return true;
}

}  // namespace gax
