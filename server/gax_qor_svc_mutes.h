// Mutes and blocks of a network: one entry type for both lists ("mutes.dat",
// "blocks.dat" share the line), its three prebuilt texts (the file line and the
// items of the two client list formats), the file reader with expiry of timed
// entries, and the list routines the network runs: expiry, lifting by an
// admin, and the merge of a reread list, reported as the keys added, removed
// and changed (the network mutes, unmutes or disconnects from them).
//
// Threads: a reader runs on the service thread; a list and its entries belong
// to the thread that holds the list (the heartbeat thread once handed over).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_datafile.h"

namespace gax {

struct TQORSVCMuteBlockData {
    int64_t mbd_RegisterEpoch = 0;  // Unix seconds (UTC) the entry was made
    int64_t mbd_ReleaseEpoch = 0;   // register + duration while the duration is > 0, else 0
    std::string mbd_EMailHashA;     // the client id, the key
    std::string mbd_CountryANSI, mbd_CityCityPartANSI, mbd_BandChannelANSI,
        mbd_CallsignOpnameANSI;
    std::string mbd_ByAdminNameANSI;
    std::string mbd_CountryUTF8, mbd_CityCityPartUTF8, mbd_BandChannelUTF8,
        mbd_CallsignOpnameUTF8;
    std::string mbd_ByAdminNameUTF8;
    std::string mbd_ByAdminId;
    int32_t mbd_Time = 0;  // seconds; <= 0 is permanent
    TQORClientType mbd_ClientType = clt_PC;
    TQORClientPrivilege mbd_ByAdminPrivlege = clpr_ADMIN;
    bool mbd_UTF8 = false;

    bool operator==(const TQORSVCMuteBlockData&) const = default;
};

using TQORSVCMuteBlockRecord = TQORSVCListRecord<TQORSVCMuteBlockData>;

class TQORSVCMuteBlock {
  public:
    using Data = TQORSVCMuteBlockData;

    explicit TQORSVCMuteBlock(std::string aNetworkNameUTF8)
        : f_NetworkNameUTF8(std::move(aNetworkNameUTF8)) {}

    static std::string KeyOf(const Data& aData) { return MakeDwordPaddedKey(aData.mbd_EMailHashA); }
    static int64_t EpochOf(const Data& aData) { return aData.mbd_RegisterEpoch; }

    // Copies the record and rebuilds the texts.
    void SetFromData(const Data& aData);
    // Register time, the eight client fields and the client type equal.
    bool IsEqualMuteBlockData(const Data& aData) const;

    const Data& GetData() const { return f_Data; }
    const std::string& Key() const { return f_Key; }
    int64_t RegisterEpoch() const { return f_Data.mbd_RegisterEpoch; }
    const std::string& RecordForFile() const { return f_RecordForFile; }
    const std::string& RecordForClientV0() const { return f_RecordForClientV0; }
    const std::string& RecordForClientV1() const { return f_RecordForClientV1; }
    const std::string& ReleaseEpochR() const { return f_ReleaseEpochR; }

  private:
    std::string f_NetworkNameUTF8;
    Data f_Data;
    std::string f_Key;
    std::string f_ReleaseEpochR;
    std::string f_RecordForFile, f_RecordForClientV0, f_RecordForClientV1;
};

using TQORSVCMuteBlockList = TQORSVCEntryList<TQORSVCMuteBlock>;

// The file line of an entry (17 fields, CR LF).
std::string MakeMuteBlockFileLine(std::string_view aNetworkNameUTF8,
                                  const TQORSVCMuteBlockData& aData);

// Reads a mutes or blocks file; entries whose release time is not after aNow
// are dropped with aRewrite. Returns the accepted records in file order.
// Raises the file errors, and "line %d: %s" for a line over the limit unless
// aCutLongLines (a reread) cuts such a line to the limit.
std::vector<TQORSVCMuteBlockRecord> ReadMuteBlockFile(std::u16string_view aFileName,
                                                      int64_t aNow, bool& aRewrite,
                                                      bool aCutLongLines = false);
// The same over the bytes of a file.
std::vector<TQORSVCMuteBlockRecord> ParseMuteBlockFileBytes(std::string aBytes, int64_t aNow,
                                                            bool& aRewrite);

// Removes every timed entry whose release time is not after aNow; the removed
// keys go to aRemoved (the network unmutes those clients). True when any went.
bool ExpireMuteBlockEntries(TQORSVCMuteBlockList& aList, int64_t aNow,
                            std::vector<std::string>* aRemoved);

// Who may lift an entry, by the network's LevelMuteBlock and ExactMuteBlock.
bool MayLiftMuteBlock(const TQORSVCMuteBlockData& aEntry, TQORClientPrivilege aActorPriv,
                      std::string_view aActorId, bool aLevelMuteBlock, bool aExactMuteBlock);
// Removes and frees the entry of aHash when the actor may lift it.
bool RemoveMuteBlockEntry(TQORSVCMuteBlockList& aList, std::string_view aHash,
                          TQORClientPrivilege aActorPriv, std::string_view aActorId,
                          bool aLevelMuteBlock, bool aExactMuteBlock);

// Brings a network's list in line with the list read from the file: keys only
// read are added, keys only held are removed, equal keys take the read data
// when aRereadCompareAttr is on and the data differ. The time list is rebuilt
// when anything changed (mutes first to last, blocks last to first).
bool MergeMuteBlockList(TQORSVCMuteBlockList& aList, const TQORSVCMuteBlockList& aRead,
                        bool aIsBlock, bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome);

}  // namespace gax
