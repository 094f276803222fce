// The list side of the mute, block and admin commands that admins, owners and
// the operator give, and the command channel's answers that the network
// makes itself: an entry made or refreshed from a connected client (with the
// acting admin or the server owner as its author), an entry for a client
// that is not connected, the listed-only and talk-marked queries, the
// internal-flags listing, and the test sound with its refusals.
//
// Threads: heartbeat thread only; the lists and the contexts are the
// network's. Nothing here locks, logs or sends: the network applies the
// consequences (mute at once, disconnect, role change) from the results.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_mutes.h"

namespace gax {

// Who a mute or block entry names as its author.
struct TQORMuteBlockAuthor {
    std::string NameANSI;
    std::string NameUTF8;
    std::string Id;
    TQORClientPrivilege Privilege = clpr_ADMIN;
};

// The acting member as an entry's author.
TQORMuteBlockAuthor AuthorOf(const TQORSVCContext& aActor) GAX_REQUIRES(kHeartbeat);

// The client's id, its eight texts, its type and UTF-8 flag in an entry.
void FillMuteBlockFromContext(TQORSVCMuteBlockData& aData, const TQORSVCContext& aCtx);
// The entry for a client by id only (not connected): type PC, not UTF-8.
// aTime: seconds, 0 or less is permanent.
TQORSVCMuteBlockData MuteBlockDataForId(std::string_view aId, int32_t aTime,
                                        const TQORMuteBlockAuthor& aAuthor, int64_t aNow);
// The four 8-bit and four UTF-8 texts and the client type equal the client's.
bool IsEqualMuteBlockCtx(const TQORSVCMuteBlock& aEntry, const TQORSVCContext& aCtx);

// A listed client whose texts differ takes its current texts and keeps its
// entry's author, register time and duration; an unlisted client gets a new
// entry by aAuthor registered at aNow for aTime seconds. True when the list
// changed.
bool AddOrUpdateMuteBlockFromContext(TQORSVCMuteBlockList& aList, const TQORSVCContext& aCtx,
                                     int32_t aTime, const TQORMuteBlockAuthor& aAuthor,
                                     int64_t aNow);

// Admins: a listed client whose texts differ takes them (register time kept);
// an unlisted one is added, registered at aNow. True when the list changed.
bool IsEqualAdminCtx(const TQORSVCAdmin& aEntry, const TQORSVCContext& aCtx);
bool AddOrUpdateAdminFromContext(TQORSVCAdminList& aList, const TQORSVCContext& aCtx,
                                 int64_t aNow);
// The entry for an admin by id only: type PC, not UTF-8, empty texts.
TQORSVCAdminData AdminDataForId(std::string_view aId, int64_t aNow);
bool DeleteAdminByHash(TQORSVCAdminList& aList, std::string_view aId);

// ---- command-channel answers ----
// The query of connect-only-listed or talk-only-marked: "+1\r\n1\r\n" / "+1\r\n0\r\n".
std::string_view ChannelModeQueryAnswer(bool aOn);

inline constexpr std::string_view kChanAnswerOK = "+OK\r\n";
inline constexpr std::string_view kChanAnswerNoClient = "-NOCLIENT\r\n";
inline constexpr std::string_view kChanAnswerNoSpeaker = "-NOSPEAKER\r\n";
inline constexpr std::string_view kChanAnswerBusy = "-BUSY\r\n";
inline constexpr std::string_view kChanAnswerDenied = "-DENIED\r\n";
inline constexpr std::string_view kChanAnswerWrongText = "-WRONGTEXT\r\n";

// Selectors of the internal-flags command.
enum : int32_t {
    fsifqc_InternalFlagsClear = 0,
    fsifqc_InternalFlagsSet = 1,
    fsifqc_InternalFlagsQuery = 2,
};
// "+1\r\n" + the names of the member's set flags + CR LF, or
// "+1\r\nNo any internal flags are set\r\n".
std::string ChannelInternalFlagsListing(const TQORSVCContext& aMember);

// The test sound's verdict: aTarget is the connected member named (or null),
// aSpeaker who holds the floor (or null). Empty when the sound may go.
std::string_view HugeSoundRefusal(const TQORSVCContext* aSpeaker, const TQORSVCContext* aTarget);
inline constexpr int32_t kHugeSoundFrames = 1000;
// One frame of the test sound: 0x02, the speaker's network index (big-endian)
// and five silence blocks.
std::string HugeSoundFrame(uint16_t aSpeakerIndex);

}  // namespace gax
