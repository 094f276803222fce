// Internal flags: per-client restrictions kept in "intflags.cfg" (no server
// messages or sounds, the client's sounds or messages ignored, the aggregate
// list or none), for every network ("*") or for one network. Holds the flag
// bits and words, the reader of the file, the per-client entry lists and the
// comparison that tells which clients' flags a reread changed (those clients
// are then disconnected and get their new flags when they join again).
//
// Threads: the service thread reads the file into a TQORSVCIntFlagsCfgObject;
// the object travels to the heartbeat thread in a queue record, which takes
// its lists over (ApplyIntFlagsReading) and is from then on their only user.
// Nothing here locks; the word table is constant.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_types.h"

namespace gax {

class TQORNetworksList;
class TQORNetworkData;

GAX_DECLARE_EXCEPTION(EQORIntFlagsError, Exception);

// TQORSVCInternalClientFlags bits.
inline constexpr uint32_t QOR_IF_NOSERVERMESSAGES = 0x01;
inline constexpr uint32_t QOR_IF_NOSERVERSOUNDS = 0x02;
inline constexpr uint32_t QOR_IF_IGNORECLIENTSOUNDS = 0x04;
inline constexpr uint32_t QOR_IF_IGNORECLIENTMESSAGES = 0x08;
inline constexpr uint32_t QOR_IF_AGGREGATELIST = 0x10;
inline constexpr uint32_t QOR_IF_NOLIST = 0x20;
using TQORSVCInternalClientFlags = uint32_t;

// A word matches when it is at least aMinLen long and its first aMinLen
// characters equal those of the table word (upper case); the rest is not compared.
bool FindIntFlagWord(std::string_view aWord, TQORSVCInternalClientFlags& aBits);

struct TQORIntFlagsWordsRec {
    TQORSVCInternalClientFlags iwr_Flags = 0;
    TQORSVCInternalClientFlags iwr_Inverted = 0;  // bits of the words written with "!"
    int32_t iwr_Known = 0;
    int32_t iwr_Unknown = 0;
    int32_t iwr_Words = 0;
};

// The list of flag words of one entry: it ends at "#" or ";", letters count
// in any case, every byte but "!", digits and letters separates words, and
// "!" before a word (blanks between allowed) marks it inverted.
void ParseIntFlagsWords(std::string_view aText, TQORIntFlagsWordsRec& aWords);

// One client's entry; the inverted bits are part of the comparison of two
// readings only (they are already contained in the flags).
struct TQORSVCInternalFlagsStore {
    std::string fsifwr_ClientId;  // 24-character client id, the list key
    TQORSVCInternalClientFlags fsifwr_Flags = 0;
    TQORSVCInternalClientFlags fsifwr_Inverted = 0;
};

// Client id -> entry, sorted by id.
using TQORSVCIntFlagsList = std::map<std::string, TQORSVCInternalFlagsStore>;

// One reading of the file. The server-wide list always exists (possibly
// empty), and so does one list per network, so that removing the last entry
// of a list takes effect on a reread.
class TQORSVCIntFlagsCfgObject {
  public:
    TQORSVCIntFlagsCfgObject(std::u16string aFileName, int32_t aNetworkCount);

    const std::u16string& FileName() const { return f_FileName; }
    const TQORSVCIntFlagsList* ServList() const { return f_ServList.get(); }
    const TQORSVCIntFlagsList* NetList(int32_t aIndex) const;
    int32_t NetCount() const { return static_cast<int32_t>(f_NetList.size()); }
    // Hand a list over and leave null in its place.
    std::unique_ptr<TQORSVCIntFlagsList> PullServList() { return std::move(f_ServList); }
    std::unique_ptr<TQORSVCIntFlagsList> PullNetList(int32_t aIndex);

    // For the reader: the list an entry goes to (null network = all networks).
    TQORSVCIntFlagsList& ListFor(const TQORNetworkData* aNetwork);

  private:
    std::unique_ptr<TQORSVCIntFlagsList> f_ServList;
    std::vector<std::unique_ptr<TQORSVCIntFlagsList>> f_NetList;  // by NetOriginalIndex
    std::u16string f_FileName;
};

// Reads the file. Raises EQORIntFlagsError "line N: <reason>" at the first
// bad line ("Invalid line format", "Unknown network: <name>", "Invalid
// flag(s)", or the line reader's error for a line over 2048 bytes), or the
// file layer's error; nothing of a bad file is returned, so the flags in
// force stay. REQUIRES: service thread; aNetworks read and not changing.
std::unique_ptr<TQORSVCIntFlagsCfgObject> ReadIntFlagsFile(const TQORNetworksList& aNetworks,
                                                           std::u16string_view aFileName);

// The network a name in the file means: the exact name first, then the one
// equal without regard to ASCII case; null when none.
const TQORNetworkData* FindNetworkForIntFlags(const TQORNetworksList& aNetworks,
                                              std::u16string_view aNameU);

// Appends to aChanged the id of every entry that is in one list only, or in
// both with other flags or other inverted flags. A null list counts as empty.
void DiffIntFlagsLists(const TQORSVCIntFlagsList* aNew, const TQORSVCIntFlagsList* aOld,
                       std::vector<std::string>& aChanged);

// The heartbeat's take-over of a reading: the server-wide list and each
// network's list (aNetSlot(i) is network i's list in force) are replaced
// where they differ, and the result holds, per network, the ids of the clients
// whose flags changed there; an id changed server-wide is in every network's
// list once. Empty lists everywhere mean nothing changed and nobody is to be
// disconnected. REQUIRES: heartbeat thread; aNetCount = aNew's NetCount().
using TQORIntFlagsNetSlot = std::function<std::unique_ptr<TQORSVCIntFlagsList>&(int32_t aIndex)>;
std::vector<std::vector<std::string>> ApplyIntFlagsReading(
    TQORSVCIntFlagsCfgObject& aNew, std::unique_ptr<TQORSVCIntFlagsList>& aServIntFlags,
    const TQORIntFlagsNetSlot& aNetSlot);

// The entry that applies to a client at admission: the network's, else the
// server-wide one; null when neither list has the id.
const TQORSVCInternalFlagsStore* FindIntFlagsEntry(const TQORSVCIntFlagsList* aNetList,
                                                   const TQORSVCIntFlagsList* aServList,
                                                   std::string_view aClientId);

}  // namespace gax
