// The admins of a network ("admins.dat"): clients, named by their client id,
// that get admin privilege in that network. The entry with its three prebuilt
// texts (file line, items of the two client list formats), the file reader,
// and the merge of a reread list, reported as keys added and removed (the
// network ends those clients' sessions so that they come back in their new
// role) and keys whose data were taken over.
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

struct TQORSVCAdminData {
    int64_t add_RegisterEpoch = 0;
    std::string add_AdmHashA;  // the admin's client id, the key
    std::string add_CountryANSI, add_CityCityPartANSI, add_BandChannelANSI, add_CallsignOpnameANSI;
    std::string add_CountryUTF8, add_CityCityPartUTF8, add_BandChannelUTF8, add_CallsignOpnameUTF8;
    TQORClientType add_ClientType = clt_PC;
    bool add_UTF8 = false;

    bool operator==(const TQORSVCAdminData&) const = default;
};

using TQORSVCAdminRecord = TQORSVCListRecord<TQORSVCAdminData>;

class TQORSVCAdmin {
  public:
    using Data = TQORSVCAdminData;

    explicit TQORSVCAdmin(std::string aNetworkNameUTF8)
        : f_NetworkNameUTF8(std::move(aNetworkNameUTF8)) {}

    static std::string KeyOf(const Data& aData) { return MakeDwordPaddedKey(aData.add_AdmHashA); }
    static int64_t EpochOf(const Data& aData) { return aData.add_RegisterEpoch; }

    void SetAdminFromData(const Data& aData);
    void SetFromData(const Data& aData) { SetAdminFromData(aData); }
    // The client id, the eight fields and the client type equal (not the
    // register time, not the UTF-8 flag).
    bool IsEqualAdminData(const Data& aData) const;

    const Data& GetData() const { return f_Data; }
    const std::string& Key() const { return f_Key; }
    int64_t RegisterEpoch() const { return f_Data.add_RegisterEpoch; }
    const std::string& RecordForFile() const { return f_RecordForFile; }
    const std::string& RecordForNetworkV0() const { return f_RecordForClientV0; }
    const std::string& RecordForNetworkV1() const { return f_RecordForClientV1; }

  private:
    std::string f_NetworkNameUTF8;
    Data f_Data;
    std::string f_Key;
    std::string f_RecordForFile, f_RecordForClientV0, f_RecordForClientV1;
};

using TQORSVCAdminList = TQORSVCEntryList<TQORSVCAdmin>;

std::string MakeAdminFileLine(std::string_view aNetworkNameUTF8, const TQORSVCAdminData& aData);

// Reads an admins file; a file that does not begin with the byte-order mark
// sets aRewrite. Returns the accepted records in file order; raises the file
// errors and "line %d: %s".
std::vector<TQORSVCAdminRecord> ReadAdminsFile(std::u16string_view aFileName, bool& aRewrite);
std::vector<TQORSVCAdminRecord> ParseAdminsFileBytes(std::string aBytes, bool& aRewrite);

// Brings a network's admins in line with the list read from the file (keys
// only read are added, keys only held removed, equal keys take the read data
// when aRereadCompareAttr is on and the data differ); the time list is rebuilt
// when anything changed.
bool MergeAdminsList(TQORSVCAdminList& aList, const TQORSVCAdminList& aRead,
                     bool aRereadCompareAttr, TQORSVCListMergeOutcome& aOutcome);

}  // namespace gax
