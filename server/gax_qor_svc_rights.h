// The access list ("rights") of a network ("rights.dat"): e-mail addresses of
// clients that are listed, each optionally marked. With connect-only-listed a
// user or admin whose e-mail is not listed may not enter; with
// talk-only-marked only marked entries may talk. The entry with its prebuilt
// texts, the file reader and the merge of a reread list (keys added, removed,
// changed and whose mark flipped: the network then applies its access modes
// to the connected clients again).
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

struct TQORSVCAccessData {
    int64_t acd_RegisterEpoch = 0;
    std::string acd_EMailA;     // as the client sends it
    std::string acd_EMailSort;  // the key: acd_EMailA padded to a multiple of 4
    std::string acd_CountryANSI, acd_CityCityPartANSI, acd_BandChannelANSI, acd_CallsignOpnameANSI;
    std::string acd_CountryUTF8, acd_CityCityPartUTF8, acd_BandChannelUTF8, acd_CallsignOpnameUTF8;
    bool acd_Marked = false;
    TQORClientType acd_ClientType = clt_PC;
    bool acd_UTF8 = false;

    bool operator==(const TQORSVCAccessData&) const = default;
};

using TQORSVCAccessRecord = TQORSVCListRecord<TQORSVCAccessData>;

class TQORSVCAccess {
  public:
    using Data = TQORSVCAccessData;

    explicit TQORSVCAccess(std::string aNetworkNameUTF8)
        : f_NetworkNameUTF8(std::move(aNetworkNameUTF8)) {}

    static std::string KeyOf(const Data& aData) { return MakeDwordPaddedKey(aData.acd_EMailA); }
    static int64_t EpochOf(const Data& aData) { return aData.acd_RegisterEpoch; }

    void SetRightFromData(const Data& aData);
    void SetFromData(const Data& aData) { SetRightFromData(aData); }
    // True when the mark changed (the texts are rebuilt then).
    bool SetMarked(bool aMarked);
    // Register time, e-mail, the eight fields and the client type equal (not
    // the mark, the key or the UTF-8 flag).
    bool IsEqualRightData(const Data& aData) const;

    const Data& GetData() const { return f_Data; }
    const std::string& Key() const { return f_Data.acd_EMailSort; }
    int64_t RegisterEpoch() const { return f_Data.acd_RegisterEpoch; }
    bool accMarked() const { return f_Data.acd_Marked; }
    const std::string& RecordForFile() const { return f_AccessRecordFile; }
    const std::string& AccessRecordV0() const { return f_AccessRecordV0; }
    const std::string& AccessRecordV1() const { return f_AccessRecordV1; }

  private:
    void Rebuild();

    std::string f_NetworkNameUTF8;
    Data f_Data;
    std::string f_AccessRecordFile, f_AccessRecordV0, f_AccessRecordV1;
};

using TQORSVCAccessList = TQORSVCEntryList<TQORSVCAccess>;

std::string MakeAccessFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAccessData& aData);

// Reads a rights file; a file without the byte-order mark sets aRewrite.
std::vector<TQORSVCAccessRecord> ReadRightsFile(std::u16string_view aFileName, bool& aRewrite);
std::vector<TQORSVCAccessRecord> ParseRightsFileBytes(std::string aBytes, bool& aRewrite);

// Brings a network's access list in line with the list read from the file:
// keys only read are added, keys only held removed; an equal key takes the
// read mark, and the read data when aRereadCompareAttr is on and they differ.
bool MergeAccessList(TQORSVCAccessList& aList, const TQORSVCAccessList& aRead,
                     bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome);

}  // namespace gax
