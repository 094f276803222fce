// The loader of "server.ini" into TQORServiceConfig, the checks that disable
// incomplete manager sections, and the look-ups of a manager section by
// address. Called on the program's main thread before the service starts, and
// by the console commands that edit manager settings.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "server/gax_qor_svc_setup_t.h"

namespace gax {

class TCharsetsCodeList;

// "Manager" for index 0, then "Manager1".."Manager3".
inline constexpr std::array<std::u16string_view, kQORManagerCount> kQORManagerSectionNames = {
    u"Manager", u"Manager1", u"Manager2", u"Manager3"};

// Fills aConfig from the file, which must exist. Raises at the first value
// that stops the program: a bad present address or port, a missing or
// non-ASCII owner e-mail, a bad backup port, an unknown character set, or one
// of these in a manager section (then with "Section [name]: " in front).
// Every other value falls back to its default or nearest bound.
void ReadServiceConfigFile(TQORServiceConfig& aConfig, std::u16string_view aFileName,
                           const TCharsetsCodeList* aCodeList);

using TQORConfigLinePrinter = std::function<void(std::u16string_view)>;

// Disables each enabled manager section that lacks an address, a valid port,
// an e-mail or a password, printing an ERROR line per problem and a WARNING
// per disabled section. Never raises.
void CheckManagerSections(TQORServiceConfig& aConfig, const TQORConfigLinePrinter& aPrinter);

// Enabled sections whose ManagerAddress equals aAddress, ASCII letter case
// ignored; aIndex is set when exactly one matches.
TQORSVCManagerSearchResult FindManagerByAddress(const TQORServiceConfig& aConfig,
                                                std::u16string_view aAddress, int32_t& aIndex);
// The same, requiring ManagerAuthEMail to match too.
TQORSVCManagerSearchResult FindManagerByAddressEMail(const TQORServiceConfig& aConfig,
                                                     std::u16string_view aAddress,
                                                     std::u16string_view aEMail, int32_t& aIndex);

// The checks behind the loader, for the parameter editor.

// Accepts a host name, replacing it by its display form ("xn--" labels
// decoded). aLimitLength refuses names whose ASCII form exceeds 63 characters.
bool CheckPresentServerAddress(std::u16string& aValue, bool aLimitLength);
// "10024 / 4 10025/6 10026": entries of a port and an optional IP-version
// word; entries that are not valid are dropped.
TQORServiceListenerPortsArray ParseListenServerPorts(std::u16string_view aText,
                                                     TSynapseListenerIPVersions aDefaultVersion);

}  // namespace gax
