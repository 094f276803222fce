// The server's networks (rooms) as configured in "networks.cfg": the small
// data part every network carries (its names in their encodings, its index,
// options and character set), the list that reads the file, keeps the
// networks in file order and in two look-up indexes, and prebuilds the 0x05
// networks-list frames sent to every newcomer; the built-in test set for a
// file with no network; the start-up check of the file.
//
// Threads: the service thread reads the list once at service start; from then
// on the list and every network's data part are immutable, so any thread
// (workers included) may look networks up and read their names and frames
// without a lock. What a network changes while it runs (its members, holds,
// converter use) belongs to the network object built on this data part and
// to the heartbeat thread, never to the list.
//
// Ownership: the list owns its networks (one std::unique_ptr each, in file
// order); indexes and look-ups hand out plain pointers that are valid while
// the list lives and is not cleared or read again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/gax_types.h"
#include "server/gax_qor_svc_netoptions.h"

namespace gax {

class TAnsiUnicodeConverter;
class TCharsetsCodeList;

GAX_DECLARE_EXCEPTION(EQORNetworksListError, Exception);

// A network name is cut to this many characters; its 8-bit form to this many bytes.
inline constexpr size_t kQORNetworkNameMaxChars = 32;
inline constexpr size_t kQORNetworkNameAnsiMaxBytes = 20;

// What one accepted line of the networks file (or the test set) describes.
struct TQORServNetworkRec {
    std::u16string snr_NetworkNameUCS2;
    TQORSVCNetworkOptions snr_Options;
};

// The part of a network the list makes and indexes. The network object that
// holds members, holds and the floor derives from it, so the list keeps one
// owner for both and its look-ups serve both.
class TQORNetworkData {
  public:
    // Names the network in UTF-8 and in its character set (the network's own
    // or else the server-wide one), the 8-bit form cut to 20 bytes without
    // splitting a character. Raises the converter's error for a character set
    // the code list does not know.
    // REQUIRES: aCodeList outlives the call.
    TQORNetworkData(const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ,
                    const TCharsetsCodeList* aCodeList);
    virtual ~TQORNetworkData();
    TQORNetworkData(const TQORNetworkData&) = delete;
    TQORNetworkData& operator=(const TQORNetworkData&) = delete;

    const std::u16string& NetworkNameUCS2() const { return f_NetworkName_UCS2; }
    const std::string& NetworkNameUTF8() const { return f_NetworkName_UTF8; }
    const std::string& NetworkNameANSI() const { return f_NetworkName_ANSI; }
    // Position in the networks file, from 0; set by the list when it adds the network.
    int32_t NetOriginalIndex() const { return f_NetOriginalIndex; }
    bool Hidden() const { return f_NetOpts.no_Hidden; }
    const TQORSVCNetworkOptions& NetOptions() const { return f_NetOpts; }
    // The speech limit in whole seconds that the answers announce; 0 without one.
    int32_t SpeechLimitTime() const {
        return f_NetOpts.no_SpeechLimit ? static_cast<int32_t>(f_NetOpts.no_MaxSpeechTicks / 1000)
                                        : 0;
    }

    // The service's converter for this network's character set (not owned),
    // set by the service thread before the heartbeat runs; null until then.
    const TAnsiUnicodeConverter* Converter() const { return e_tmConverter; }
    void SetConverter(const TAnsiUnicodeConverter* aConverter) { e_tmConverter = aConverter; }

  protected:
    // The network object may rebuild what depends on its index (log prefixes,
    // manager texts) by overriding; called when the list adds it, and again
    // once the list is complete with aWidth, the number of digits of the
    // highest index, to which log prefixes pad the index with zeros.
    virtual void SetNetOriginalIndex(int32_t aIndex, int32_t aWidth = 1) {
        (void)aWidth;
        f_NetOriginalIndex = aIndex;
    }

  private:
    friend class TQORNetworksList;

    std::u16string f_NetworkName_UCS2;
    std::string f_NetworkName_UTF8;
    std::string f_NetworkName_ANSI;
    int32_t f_NetOriginalIndex = -1;
    TQORSVCNetworkOptions f_NetOpts;
    const TAnsiUnicodeConverter* e_tmConverter = nullptr;
};

// Makes the network of an accepted line. The service passes one that builds
// its full network objects; without one the list makes bare data parts (the
// start-up check, tests). A factory that raises ends the reading like a bad line.
using TQORNetworkFactory = std::function<std::unique_ptr<TQORNetworkData>(
    const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ,
    const TCharsetsCodeList* aCodeList)>;

class TQORNetworksList {
  public:
    // REQUIRES: aCodeList outlives the list.
    explicit TQORNetworksList(const TCharsetsCodeList* aCodeList, TQORNetworkFactory aFactory = {});
    ~TQORNetworksList();
    TQORNetworksList(const TQORNetworksList&) = delete;
    TQORNetworksList& operator=(const TQORNetworksList&) = delete;

    // Reads the file into an emptied list. On any error nothing stays in the
    // list and EQORNetworksListError carries "Network file \"<name>\": Line N: ..."
    // (or the file layer's message after the file prefix). Names equal
    // without regard to case, and names whose 8-bit forms are equal, are
    // refused as duplicates. REQUIRES: service thread, before other threads read the list.
    void ReadNetworksListFromFile(const TQORServiceNetOptions& aServ, std::u16string_view aFileName);
    // The built-in set for a file that gave no network: "Test" with the
    // Parrot switched on, then "Net01"; UsesTestSet() is true afterwards.
    void MakeTestNetwork(const TQORServiceNetOptions& aServ);
    // Frees every network, first in file order first, and empties the frames.
    void Clear();

    int32_t Count() const { return static_cast<int32_t>(f_Original.size()); }
    // True while the list holds the built-in set: a server running on it must
    // never save a list file, or every operator's list would be emptied.
    bool UsesTestSet() const { return f_TestSet; }

    TQORNetworkData* GetNetworkOriginal(int32_t aIndex) const;  // null out of range
    TQORNetworkData* GetNetworkSorted(int32_t aIndex) const;    // null out of range
    // Look-up by name, letter case ignored the locale's way (not only ASCII).
    TQORNetworkData* FindNetwork(std::u16string_view aNameU) const;
    // ASCII upper-case forms compared; for callers whose name may differ from
    // the configured one only in 'a'..'z'. Try FindNetwork first.
    TQORNetworkData* FindNetworkAsciiUpper(std::u16string_view aNameU) const;
    // Look-up by the 8-bit name in the networks' character sets.
    TQORNetworkData* FindNetworkLocal(std::string_view aNameLocal) const;
    // Position in the sorted index, -1 when absent.
    int32_t IndexInSorted(std::u16string_view aNameU) const;

    // The 0x05 frames: "0", the count of networks that are not hidden, CR LF,
    // then each such name and CR LF, in 8-bit and in UTF-8 form.
    const std::string& NetsV0() const { return f_NetsV0; }
    const std::string& NetsV1U() const { return f_NetsV1U; }

    // The key under which names are equal for the sorted index.
    static std::u16string NameKey(std::u16string_view aNameU);

  private:
    void AddNetworkFile(std::unique_ptr<TQORNetworkData> aNetwork);
    void AddRecord(const TQORServNetworkRec& aRec, const TQORServiceNetOptions& aServ);
    void BuildNetListTexts();
    void ReadLines(const TQORServiceNetOptions& aServ, std::u16string_view aFileName);

    const TCharsetsCodeList* e_CodeList;
    TQORNetworkFactory f_Factory;
    std::vector<std::unique_ptr<TQORNetworkData>> f_Original;
    std::vector<std::pair<std::u16string, TQORNetworkData*>> f_SortedUnicode;
    std::vector<std::pair<std::string, TQORNetworkData*>> f_SortedLocalHEX;
    std::string f_NetsV0;
    std::string f_NetsV1U;
    bool f_TestSet = false;
};

// Reads the file into a list that is thrown away; raises what the reading
// raises. The program runs it before the server starts and stops on its error.
void VerifyNetworksListFile(const TQORServiceNetOptions& aServ, std::u16string_view aFileName,
                            const TCharsetsCodeList* aCodeList);

}  // namespace gax
