// The service's server addresses and its character-set converters.
#include <algorithm>

#include "foundation/gax_punycode.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_server_addr.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

std::string QORServerAddressA(std::u16string_view aAddress) {
    std::string idn = IdnEncodeHostName(aAddress);
    // An empty result from a non-empty name is the encoder's failure.
    if (idn.empty() && !aAddress.empty()) return UnicodeToByteStr(aAddress);
    return idn;
}

void TQORService::SetPresentServerAddress(std::u16string_view aAddress) {
    CheckNotStarted();
    f_PresentServerAddress = aAddress;
    f_PresentServerAddressA = QORServerAddressA(aAddress);
}

void TQORService::SetBackupServerAddress(std::u16string_view aAddress) {
    CheckNotStarted();
    f_BackupServerAddress = aAddress;
    f_BackupServerAddressA = QORServerAddressA(aAddress);
}

void TQORService::SetPresentServerPort(std::u16string_view aPort) {
    CheckNotStarted();
    f_PresentServerPort = aPort;
    f_PresentServerPortA = UnicodeToByteStr(aPort);
}

void TQORService::SetBackupServerPort(std::u16string_view aPort) {
    CheckNotStarted();
    f_BackupServerPort = aPort;
    f_BackupServerPortA = UnicodeToByteStr(aPort);
}

const TAnsiUnicodeConverter* TQORService::trCharsetConverter(std::u16string_view aCharsetName) {
    const std::u16string_view name = TrimBlanksViewW(aCharsetName);
    if (name.empty()) return nullptr;
    const std::string key = UnicodeToUtf8Str(AsciiUpperCaseW(name));
    auto at = std::lower_bound(f_trCharsetConverters.begin(), f_trCharsetConverters.end(), key,
                               [](const auto& aItem, const std::string& aKey) {
                                   return aItem.first < aKey;
                               });
    if (at != f_trCharsetConverters.end() && at->first == key) return at->second.get();

    auto conv = std::make_unique<TAnsiUnicodeConverter>();
    try {
        // "BIN" needs no list; every other name is looked up in the system's.
        if (key != "BIN") conv->SetCharsetsCodeList(e_CodeList);
        conv->SetCharsetName(name);
    } catch (const std::exception&) {
        // The networks file was checked before the start; a set the system
        // cannot convert leaves the converter without a name.
    }
    // A set that ended without a name gets no converter; remembering the
    // miss keeps every network of that set on the same answer.
    if (conv->CharsetName().empty()) conv.reset();
    at = f_trCharsetConverters.emplace(at, key, std::move(conv));
    return at->second.get();
}

void TQORService::trAssignCharsetConverters(TQORNetworksList& aList,
                                            std::u16string_view aServerCharset) {
    for (int32_t i = aList.Count() - 1; i >= 0; --i) {
        TQORNetworkData* n = aList.GetNetworkOriginal(i);
        const std::u16string& own = n->NetOptions().no_NetCharsetNameUCS2;
        n->SetConverter(trCharsetConverter(own.empty() ? aServerCharset : own));
    }
}

}  // namespace gax
