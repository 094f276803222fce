// The server's one answer to a client's connect string (positive: the client's
// standing and the network it joined; negative: one refusal word) and the
// network-change frame (0x90) sent while the client stays connected.
//
// The builders are pure: they read a snapshot of the client, its network and
// the service, and fill a FastStringA the caller writes out. Networks call them
// on the heartbeat thread; the socket session calls the refusal path on its
// worker thread, before the session is handed to the heartbeat.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/gax_faststring.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"
#include "server/gax_qor_svc_roles.h"

namespace gax {

class TQORSVCContext;

// What the answer tells of the client.
struct TQORHandshakeClient {
    std::string_view VersionText;  // the VX text as received
    int32_t LastClientVersion = 0;  // 9999999 when no valid VX was read
    int32_t ActLikeServerVersion = 2014004;
    uint32_t ProtocolFlags = 0;
    uint32_t GrantedFlags = 0;      // CliAnswerExtFlags
    std::string_view ClientId;      // 24 characters
    TQORClientPrivilege Privilege = clpr_USER;
};

// What the answer tells of the network; HasNetwork false for a refusal
// decided before any network was chosen.
struct TQORHandshakeNetwork {
    bool HasNetwork = false;
    std::string_view NameA, NameUTF8;
    std::string_view NoticeA, NoticeUTF8;
    int32_t SpeechLimitSec = 0;
    TQORSystemManagerMode EffManagerMode = smm_Standalone;
};

// The service's 8-bit settings and its uptime.
struct TQORHandshakeServer {
    std::string_view PresentAddr, PresentPort, BackupAddr, BackupPort;
    int64_t UptimeSec = 0;
};

// The client's fields as the answer needs them (CliPrivilege as set now).
TQORHandshakeClient HandshakeClientOf(const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat);
// The same for the worker's answer to a connect string it refused itself:
// the extensions the connect string granted, and no privilege.
TQORHandshakeClient ConnectHandshakeClientOf(const TQORSVCContext& aCtx);

// The access word of a privilege: "OK", "ADMIN", "NETOWNER" (or "OWNER" for a
// network owner whose ProtocolFlags has 0x08), "OWNER"; empty for any other.
std::string_view AccessWordOf(TQORClientPrivilege aPriv, uint32_t aProtocolFlags);

// Empties aF and builds the answer. A negative answer carries no ID, NT, CZ or
// TT and shows at most the UTF-8 bit of the granted flags.
void PrepareHandshakeAnswer(FastStringA& aF, const TQORHandshakeClient& aCli,
                            const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                            bool aPositive, std::string_view aAccessWord, bool aServerInfo);

// The positive answer with the access word of aCli.Privilege.
// Throws std::logic_error("Undetected client mode") for an unknown privilege.
void PrepareHandshakeAnswerOK(FastStringA& aF, const TQORHandshakeClient& aCli,
                              const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                              bool aServerInfo);

// The refusal word of an error code and the disconnect cause the socket
// session stores for it. cet_DUPL answers "BLOCK" when aDisableDUPL is on.
// An unknown code (cet_NONE among them) gives "BLOCK", fsdc_ServInternalError
// and aKnown false; the caller logs it. cet_OK is no refusal: aKnown false too.
struct TQORRefusal {
    std::string_view Word;
    TQORSVCDisconnectCause Cause;
    bool Known;
};
TQORRefusal RefusalOf(TClientErrorType aError, bool aDisableDUPL);

// The negative answer for aError (the word of RefusalOf).
void PrepareHandshakeAnswerError(FastStringA& aF, const TQORHandshakeClient& aCli,
                                 const TQORHandshakeNetwork& aNet,
                                 const TQORHandshakeServer& aSrv, bool aServerInfo,
                                 TClientErrorType aError, bool aDisableDUPL);

// Empties aF and builds the 0x90 frame; stays empty without a network.
void PrepareNetChangeInfo(FastStringA& aF, const TQORHandshakeClient& aCli,
                          const TQORHandshakeNetwork& aNet, const TQORHandshakeServer& aSrv,
                          bool aServerInfo);

}  // namespace gax
