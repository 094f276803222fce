// The three small list files: "notices.dat" (each network's notice, a text
// shown to clients, in 8-bit and UTF-8), "modes.dat" (each network's two
// access modes) and "owner.dat" (the server owner's callsign as last seen).
// Their readers, line builders and the rules that pick one line per network.
//
// Threads: readers and builders run on the service thread; the snapshot
// builders take copies the heartbeat thread made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/gax_qor_svc_datafile.h"

namespace gax {

// A notice is at most this many characters (bytes in the 8-bit form).
inline constexpr int32_t kQORSVCNoticeMaxChars = 500;

struct TQORSVCNoticeData {
    std::string nod_NoticeANSI;
    std::string nod_NoticeUTF8;
    bool operator==(const TQORSVCNoticeData&) const = default;
};
using TQORSVCNoticeRecord = TQORSVCListRecord<TQORSVCNoticeData>;

struct TQORSVCModesData {
    bool md_ConnectOnlyListed = false;
    bool md_TalkOnlyMarked = false;
    bool operator==(const TQORSVCModesData&) const = default;
    // The form a reread hands to the heartbeat: connect-only-listed * 256 +
    // talk-only-marked.
    int32_t Packed() const { return (md_ConnectOnlyListed ? 256 : 0) + (md_TalkOnlyMarked ? 1 : 0); }
};
using TQORSVCModesRecord = TQORSVCListRecord<TQORSVCModesData>;

struct TQORSVCOwnerData {
    bool od_aChanged = false;  // the rewrite flag of the owner reader
    std::string od_CallsignOpnameANSI;
    std::string od_CallsignOpnameUTF8;
};

// ---- notices

// A notice as it is stored: control bytes become blanks, the 8-bit text is
// cut to 500 bytes, the UTF-8 text to 500 characters (never inside one), both
// are trimmed. True when that changed either text.
bool NormalizeNotice(TQORSVCNoticeData& aData);
std::string MakeNoticeFileLine(std::string_view aNetworkNameUTF8, const TQORSVCNoticeData& aData);
std::vector<TQORSVCNoticeRecord> ReadNoticesFile(std::u16string_view aFileName, bool& aRewrite);
std::vector<TQORSVCNoticeRecord> ParseNoticesFileBytes(std::string aBytes, bool& aRewrite);
// One notice per network (by index), nothing for a network without a line.
// At start-up the first line of the file for a network stays, on a reread
// the last; a repeated or unknown network sets aRewrite either way.
std::vector<std::optional<TQORSVCNoticeData>> DistributeNotices(
    const std::vector<TQORSVCNoticeRecord>& aRecords, const TQORSVCNetworkNames& aNetworks,
    bool aAtStartUp, bool& aRewrite);
// The save snapshot: a line per network whose notice is not empty in either form.
std::vector<std::string> MakeNoticesSnapshot(
    const std::vector<std::optional<TQORSVCNoticeData>>& aNotices,
    const TQORSVCNetworkNames& aNetworks);

// ---- modes

std::string MakeModesFileLine(std::string_view aNetworkNameUTF8, const TQORSVCModesData& aData);
// Lines are capped at 64 KiB; a line never raises, only the file's errors do.
std::vector<TQORSVCModesRecord> ReadModesFile(std::u16string_view aFileName, bool& aRewrite);
std::vector<TQORSVCModesRecord> ParseModesFileBytes(std::string aBytes, bool& aRewrite);
// Both modes per network (off without a line); the first line for a network stays.
std::vector<TQORSVCModesData> DistributeModes(const std::vector<TQORSVCModesRecord>& aRecords,
                                              const TQORSVCNetworkNames& aNetworks,
                                              bool& aRewrite);
std::vector<std::string> MakeModesSnapshot(const std::vector<TQORSVCModesData>& aModes,
                                           const TQORSVCNetworkNames& aNetworks);

// ---- owner

std::string MakeOwnerFileLine(std::string_view aCallsignANSI, std::string_view aCallsignUTF8);
// True when a line was accepted; aData then holds the last accepted one.
// aData.od_aChanged and aRewrite are set for a dropped line.
bool ReadOwnerFile(std::u16string_view aFileName, TQORSVCOwnerData& aData, bool& aRewrite);
bool ParseOwnerFileBytes(std::string aBytes, TQORSVCOwnerData& aData, bool& aRewrite);

}  // namespace gax
