// The protocol's fixed words: tag names, extension-flag bits and names, the
// word tables of privileges, client types, visible statuses, list formats,
// manager modes, IP versions, reopen-log signals and proxy types, the rights of
// each privilege, and fixed texts shared by readers and writers. Constant data
// and pure functions only; safe from any thread.
//
// TQORSystemManagerMode is declared here once for the whole system; the server
// vocabulary includes this header rather than declaring its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace gax {

// ---- enumerations (the value is the index into the word tables) ----

enum TQORClientPrivilege : uint8_t { clpr_USER = 0, clpr_ADMIN, clpr_NETOWNER, clpr_SERVOWNER };
enum TQORClientType : uint8_t { clt_CROSSLINK = 0, clt_GATEWAY, clt_PC };
enum TQORVisibleStatus : uint8_t { vs_Available = 0, vs_NotAvailable, vs_Absent };
enum TQORSystemManagerMode : uint8_t { smm_Standalone = 0, smm_Notify, smm_Light, smm_QOR };
enum TQORReopenLogSignal : uint8_t { rls_SIGUSR1 = 0, rls_SIGUSR2 };
enum TQORProxyType : uint8_t {
    QOR_PROXY_TYPE_NONE = 0,
    QOR_PROXY_TYPE_SYSTEM,
    QOR_PROXY_TYPE_HTTP,
    QOR_PROXY_TYPE_SOCKS4,
    QOR_PROXY_TYPE_SOCKS5
};

// ---- protocol extension flags (CEF requested by a client, SEF granted) ----

inline constexpr uint32_t QOR_EXT_LIST_FORMAT_MASK = 0x03;  // 0 QOR, 1 NOLIST, 2 COUNT, 3 DIFF
inline constexpr uint32_t QOR_EXT_SOUND_ACK = 0x04;
inline constexpr uint32_t QOR_EXT_UTF8 = 0x08;
inline constexpr uint32_t QOR_EXT_SHORT_FRAMES = 0x10;
inline constexpr uint32_t QOR_EXT_NO_MESSAGES_FROM_SERVER = 0x40;
inline constexpr uint32_t QOR_EXT_SPEAKER_INFO = 0x80;
inline constexpr uint32_t QOR_EXT_TEMP_MUTE_BLOCK = 0x100;
inline constexpr uint32_t QOR_EXT_NET_CHANGE_INFO = 0x200;
inline constexpr uint32_t QOR_EXT_MOVE_CLIENT = 0x400;
inline constexpr uint32_t QOR_EXT_CACHE_LIST = 0x800;
inline constexpr uint32_t QOR_EXT_EXTENDER1 = 0x1000;

inline constexpr uint32_t QOR_LIST_FORMAT_QOR = 0;
inline constexpr uint32_t QOR_LIST_FORMAT_NOLIST = 1;
inline constexpr uint32_t QOR_LIST_FORMAT_COUNT = 2;
inline constexpr uint32_t QOR_LIST_FORMAT_DIFF = 3;

inline constexpr std::u16string_view QOR_EXTNAME_SOUND_ACK = u"SoundAck";
inline constexpr std::u16string_view QOR_EXTNAME_UTF8 = u"UTF8";
inline constexpr std::u16string_view QOR_EXTNAME_SHORT_FRAMES = u"ShortFrames";
inline constexpr std::u16string_view QOR_EXTNAME_NO_MESSAGES_FROM_SERVER = u"NoMessagesFromServer";
inline constexpr std::u16string_view QOR_EXTNAME_SPEAKER_INFO = u"SpeakerInfo";
inline constexpr std::u16string_view QOR_EXTNAME_TEMP_MUTE_BLOCK = u"TempMuteBlock";
inline constexpr std::u16string_view QOR_EXTNAME_NET_CHANGE_INFO = u"NetChangeInfo";
inline constexpr std::u16string_view QOR_EXTNAME_MOVE_CLIENT = u"MoveClient";
inline constexpr std::u16string_view QOR_EXTNAME_CACHE_LIST = u"CacheList";
inline constexpr std::u16string_view QOR_EXTNAME_EXTENDER1 = u"Extender1";
// Option words used beside the flag names in logs and listings.
inline constexpr std::u16string_view QOR_OPTNAME_LISTEN_ONLY = u"ListenOnly";
inline constexpr std::u16string_view QOR_OPTNAME_LIST_FORMAT = u"ListFormat";

// The names of the set bits joined by ", " (list format first, then the other
// flags in their log order); empty when none is set.
std::u16string ExtFlagsToText(uint32_t flags);
// The flags a client may have for its request: without UTF-8 the formats that
// carry UTF-8 list data are withheld, and the full list allows no extensions.
uint32_t NormalizeRequestedExtFlags(uint32_t flags);

// ---- tag names (8-bit, as they travel) ----

inline constexpr std::string_view QOR_TAG_VX = "VX";      // client version
inline constexpr std::string_view QOR_TAG_EA = "EA";      // e-mail
inline constexpr std::string_view QOR_TAG_PW = "PW";      // password
inline constexpr std::string_view QOR_TAG_ON = "ON";      // callsign and operator name
inline constexpr std::string_view QOR_TAG_BC = "BC";      // band and channel
inline constexpr std::string_view QOR_TAG_DS = "DS";      // description
inline constexpr std::string_view QOR_TAG_NN = "NN";      // network name
inline constexpr std::string_view QOR_TAG_CT = "CT";      // city
inline constexpr std::string_view QOR_TAG_NT = "NT";      // country
inline constexpr std::string_view QOR_TAG_CEF = "CEF";    // requested extension flags
inline constexpr std::string_view QOR_TAG_U8TF = "U8TF";  // UTF-8 part of the connect string
inline constexpr std::string_view QOR_TAG_SEF = "SEF";    // granted extension flags
inline constexpr std::string_view QOR_TAG_EAU = "EAU";  // UTF-8 e-mail of admin and rights commands
inline constexpr std::string_view QOR_TAG_ID = "ID";    // text message: addressee id
inline constexpr std::string_view QOR_TAG_MS = "MS";    // text message: message
inline constexpr std::string_view QOR_TAG_IP = "IP";    // mute, block, admin: target id
inline constexpr std::string_view QOR_TAG_TI = "TI";    // mute, block, admin: time
inline constexpr std::string_view QOR_TAG_SMS = "SMS";  // notice command
inline constexpr std::string_view QOR_TAG_AL = "AL";    // manager handshake answer
inline constexpr std::string_view QOR_TAG_MEF = "MEF";  // manager handshake answer
inline constexpr std::string_view QOR_TAG_UT = "UT";    // uptime in the handshake answer

// ---- fixed protocol texts (8-bit) ----

inline constexpr std::string_view QOR_TEXT_MANAGER_HANDSHAKE = "SC:";
inline constexpr std::string_view QOR_TEXT_CLIENT_BLOCK = "CC:";
inline constexpr std::string_view QOR_TEXT_EMAIL_CONFIRM = "ZE:";
inline constexpr std::string_view QOR_TEXT_MANAGER_KEEPALIVE = "P\r\n";
inline constexpr std::string_view QOR_TEXT_LOCAL_IP_TAG = "<IP>127.0.0.1</IP>";
inline constexpr std::string_view QOR_TEXT_LOCAL_IP_HEXLEN = "09127.0.0.1";
inline constexpr std::string_view QOR_TEXT_EMPTY_DESCRIPTION = "<DS></DS>";
inline constexpr std::string_view QOR_TEXT_EMPTY_HEXLEN = "00";
// List code, no speaker, count line: a complete empty client list.
inline constexpr std::string_view QOR_TEXT_EMPTY_CLIENT_LIST{
    "\x03\x00\x00"
    "0\r\n",
    6};

// ---- fixed texts (UTF-16) ----

inline constexpr std::u16string_view QOR_TEXT_EXEC = u"EXEC: ";
inline constexpr std::u16string_view QOR_TEXT_ERROR_EXEC = u"ERROR: EXEC: ";
inline constexpr std::u16string_view QOR_TEXT_STOP_COMMAND = u"STOP COMMAND";
inline constexpr std::u16string_view QOR_TEXT_ABORTING = u"Aborting ...";
inline constexpr std::u16string_view QOR_KEY_MANAGER_ADDRESS = u"ManagerAddress";
inline constexpr std::u16string_view QOR_KEY_MANAGER_PORT = u"ManagerPort";
inline constexpr std::u16string_view QOR_KEY_REOPEN_LOG_SIGNAL = u"ReopenLogSignal";
inline constexpr std::u16string_view QOR_KEY_LOG_REOPEN_LOG = u"LogReopenLog";
// Access words of the handshake answer (8-bit, as they travel).
inline constexpr std::string_view QOR_ACCESS_OK = "OK";
inline constexpr std::string_view QOR_ACCESS_ADMIN = "ADMIN";
inline constexpr std::string_view QOR_ACCESS_NETOWNER = "NETOWNER";
inline constexpr std::string_view QOR_ACCESS_OWNER = "OWNER";

// ---- word tables (index = enumeration value) ----

inline constexpr std::array<std::u16string_view, 4> QORClientPrivilegeNames{
    u"USER", u"ADMIN", u"NETOWNER", u"SERVOWNER"};
inline constexpr std::array<char16_t, 4> QORClientPrivilegeLetters{u'U', u'A', u'N', u'S'};

inline constexpr std::array<std::u16string_view, 3> QORClientTypeNames{u"CROSSLINK", u"GATEWAY",
                                                                       u"PC"};
inline constexpr std::array<std::u16string_view, 3> QORClientTypeShortNames{u"CL", u"GW", u"PC"};
inline constexpr std::array<char16_t, 3> QORClientTypeLetters{u'C', u'G', u'P'};

inline constexpr std::array<std::u16string_view, 3> QORVisibleStatusNames{
    u"AVAILABLE", u"NOTAVAILABLE", u"ABSENT"};
inline constexpr std::array<std::u16string_view, 3> QORVisibleStatusShortNames{u"AV", u"NA", u"AB"};
inline constexpr std::array<char16_t, 3> QORVisibleStatusLetters{u'a', u'n', u'g'};

inline constexpr std::array<std::u16string_view, 4> QORListFormatNames{u"QOR", u"NOLIST", u"COUNT",
                                                                       u"DIFF"};
inline constexpr std::array<char16_t, 4> QORListFormatLetters{u'Q', u'N', u'C', u'D'};

inline constexpr std::array<std::u16string_view, 4> QORSystemManagerModeNames{
    u"STANDALONE", u"NOTIFY", u"LIGHT", u"QOR"};
inline constexpr std::array<char16_t, 4> QORSystemManagerModeLetters{u'S', u'N', u'L', u'Q'};

// Indexed by the listener's IP-version choice: both, IPv4 only, IPv6 only.
inline constexpr std::array<std::u16string_view, 3> QORIPVersionNames{u"46", u"4", u"6"};

inline constexpr std::array<std::u16string_view, 2> QORReopenLogSignalNames{u"SIGUSR1", u"SIGUSR2"};

inline constexpr std::array<std::u16string_view, 5> QORProxyTypeNames{u"NONE", u"SYSTEM", u"HTTP",
                                                                      u"SOCKS4", u"SOCKS5"};

// A table's word for a value, or the empty text for a value outside it (a
// corrupted byte must not read past the table).
template <size_t N>
constexpr std::u16string_view QORWord(const std::array<std::u16string_view, N>& table,
                                      unsigned value) {
    return value < N ? table[value] : std::u16string_view{};
}
template <size_t N>
constexpr char16_t QORLetter(const std::array<char16_t, N>& table, unsigned value) {
    return value < N ? table[value] : u'?';
}

// ---- rights of each privilege ----

inline constexpr uint32_t QOR_RIGHT_MUTE_BLOCK = 0x1;  // MC, UM, BC, UC
inline constexpr uint32_t QOR_RIGHT_ADMINS = 0x2;      // AA, DA
inline constexpr uint32_t QOR_RIGHT_OWNER = 0x4;       // set for owners, tested by no command
inline constexpr std::array<uint32_t, 4> QORPrivilegeRights{0, 1, 7, 7};

constexpr uint32_t QORRightsOf(TQORClientPrivilege p) {
    return p < QORPrivilegeRights.size() ? QORPrivilegeRights[p] : 0;
}

}  // namespace gax
