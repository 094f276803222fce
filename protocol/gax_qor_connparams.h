// Shared small pieces of configuration and connection handling: the settings
// of one outgoing TCP connection (and, in gax_qor_connapply.h, applying them to
// a socket), parsers of ports and delimiter specifications, resolution of
// configured paths against the program's directory, the client type implied by
// a band-and-channel text, the console's client record and the protocol flags
// implied by a client's version. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/gax_datetime.h"
#include "protocol/gax_qor_consts.h"
#include "sockets/gax_snps_ipversions.h"

namespace gax {

class TCharsetsCodeList;
class TIniFileUTF8;

// Settings of one outgoing connection.
struct TQORConnectionParams {
    TGaxTick32 ServerConnectTimeoutTicks = 0;
    TGaxTick32 ProxyConnectTimeoutTicks = 0;
    TGaxTick32 ReadTimeoutTicks = 0;   // used by the connection's owner, not by the socket
    TGaxTick32 WriteTimeoutTicks = 0;  // likewise
    TQORProxyType ProxyType = QOR_PROXY_TYPE_NONE;
    int32_t ProxyPort = 0;
    std::u16string ProxyAddress;
    std::u16string ProxyUsername;
    std::u16string ProxyPassword;
    std::u16string ProxyCharsetname;
    const TCharsetsCodeList* CharsetsCodeList = nullptr;  // not owned
    bool PreferIPv4 = false;
};

// One client as the console reads it from a client-list answer.
struct TQORClientRec {
    std::u16string cr_ClientIdU;
    std::u16string cr_CallsignOpname;
    std::u16string cr_Country;
    std::u16string cr_CityCityPart;
    std::u16string cr_BandChannel;
    std::u16string cr_Description;
    uint32_t cr_CacheCounter = 0;
    TQORVisibleStatus cr_Status = vs_Available;
    bool cr_Muted = false;
    bool cr_ListenOnly = false;
    TQORClientType cr_ClientType = clt_PC;
    bool cr_Unicode = false;
};

// Empties the record; cr_CacheCounter keeps its value.
void ClearClientRec(TQORClientRec& rec);

// A trimmed decimal text of 1..65535; `port` is written only on success.
bool TryParsePortText(std::u16string_view text, int32_t& port);
// The same for an 8-bit text (bytes <= 32 trimmed at both ends).
bool TryParsePortAnsi(std::string_view text, int32_t& port);
// The trimmed text "46" or "64" (both), "4" or "6"; anything else fails.
bool TryParseIPVersionText(std::u16string_view text, TSynapseListenerIPVersions& versions);
// The key's port, or the default when the key is missing or not a valid port.
int32_t IniReadPort(const TIniFileUTF8& ini, std::u16string_view section, std::u16string_view key,
                    int32_t defaultPort);

// One character from a specification: "\t" TAB, "\xHH"/"\uxHHHH" hex,
// "\\" backslash, "\NNN" decimal, or the first character itself; the default
// for an empty or unusable specification.
char16_t ParseDelimiterCharSpec(std::u16string_view text, char16_t defaultChar);

// Paths use "/" between names. An absolute path is used as it stands; any
// other is appended to the base directory and its "." and ".." parts resolved.
std::u16string ResolvePathRelative(std::u16string_view path, std::u16string_view baseDir);
// The trimmed directory setting resolved against the program's directory,
// without trailing "/" (but "/" itself stays); empty gives the program's directory.
std::u16string ResolveDirSetting(std::u16string_view dir);
// The file name resolved against the resolved data directory.
std::u16string ResolveDataFileName(std::u16string_view dataDir, std::u16string_view fileName);
// The trimmed setting, or the default name when it is empty, resolved against
// the base directory.
std::u16string ResolveFileSettingDef(std::u16string_view setting, std::u16string_view defaultName,
                                     std::u16string_view baseDir);

// "Crosslink" a crosslink, "PC Only" or "Parrot" a PC, anything else a gateway
// (exact, case-sensitive).
TQORClientType ClientTypeFromBandChannel(std::string_view bandChannel);

// Protocol flags implied by a client's version.
inline constexpr uint32_t QOR_PROTO_NEW_BACKUP_FIELDS = 0x04;  // version at least 2014003
inline constexpr uint32_t QOR_PROTO_OWNER_WORD = 0x08;         // version at most 2012002
uint32_t ProtocolFlagsFromVersion(int32_t serverVersion, int32_t clientVersion,
                                  int32_t& actLikeVersion);

}  // namespace gax
