// The client's command lines once its session works: recognition by length and
// first bytes, the syntax and rights checks of each command, and the one
// server-queue record a command hands to the session's network.
//
// ParseClientCommand is pure: it reads the line and a snapshot of the session
// (TQORClientCmdView) and returns what the session must do. The socket session
// calls it on its worker thread and posts the record itself; tests and the
// fuzz target call it directly.
//
// Every reader checks the length before it reads a byte; a hex-length field
// that runs past the end of the line makes the line invalid. Failure texts that
// carry the client's line escape control bytes and the backslash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_queues.h"

namespace gax {

class TQORSVCClientService;

// What a handler reads of the session. The rights here (privilege, owner
// class, granted flags) only refuse early: they are the worker's view of the
// membership, which a move queued ahead of the line may already have changed.
// The network that runs the record decides again from the sender's rights
// there.
struct TQORClientCmdView {
    uint32_t CtxFlags = 0;
    uint32_t Ctx2Flags = 0;
    uint32_t GrantedFlags = 0;  // the granted extension flags as last published
    TQORClientPrivilege Privilege = clpr_USER;
    bool Utf8 = false;
    std::string_view ClientId;                     // the sender's id in message frames
    const TQORSVCClientService* Service = nullptr;  // networks for MVU; null: none exists
    TQORSVCCtxRef Self;                             // the session, named in every record
};

enum class TQORClientCmdAction : uint8_t {
    Fail = 0,       // end the session: Cause (when set), then fsdc_WrongCommand
    None = 1,       // accepted, nothing to post (keep-alive, ignored messages)
    Post = 2,       // post Rec to the server queue
    RxRequest = 3,  // the session's own RX request path
    TxRequest = 4,  // the session's own TX request path
    SoundLong = 5,  // collect 325 bytes of sound next
    SoundShort = 6, // collect 65 bytes of sound next
};

struct TQORClientCmdOutcome {
    TQORClientCmdAction Action = TQORClientCmdAction::Fail;
    // A cause more specific than fsdc_WrongCommand; fsdc_DisconnectWithoutAuth: none.
    TQORSVCDisconnectCause Cause = TQORSVCDisconnectCause::fsdc_DisconnectWithoutAuth;
    std::u16string CmdErr;  // the failure text (ConnectionCmdErr)
    std::unique_ptr<TQORSVCNetQueueRecord> Rec;
};

inline constexpr int32_t kQORSoundLongBytes = 325;
inline constexpr int32_t kQORSoundShortBytes = 65;
inline constexpr int32_t kQORSoundHeaderRoom = 3;
inline constexpr int32_t kQORMaxMessageBytes = 500;

// One command line without its line end. The tag parser may write into it.
// REQUIRES: aLen >= 0 and aLine points to aLen bytes (may be null when 0).
TQORClientCmdOutcome ParseClientCommand(const TQORClientCmdView& aView, char* aLine,
                                        int32_t aLen);

// The 8-bit (0x04) or UTF-8 (0x85) text-message frame: count line "3", the
// sender's id, the text, 'P' (to one client) or 'A' (to all), each line CR LF.
std::string BuildTextMessageFrame(bool aUtf8, std::string_view aSenderId, std::string_view aText,
                                  bool aPrivate);

}  // namespace gax
