// How a client session is shown as text: its internal-flag names and letters
// and its protocol-extension letters for the command channel's listings, its
// description for the log lines of joins, refusals, leaves and moves, and the
// log line of an admin action.
//
// Client texts reach log lines here, so control characters (and the backslash
// that introduces the escapes) are written as \xHH (AppendLogSafeText): a
// client cannot forge log lines. The password is never written: its field shows "***".
//
// Heartbeat thread: the builders read only the session and append to a
// buffer the caller owns.
#pragma once

#include <string_view>

#include "foundation/gax_faststring.h"
#include "foundation/gax_stringbld.h"
#include "server/gax_qor_svc_roles.h"

namespace gax {

class TQORSVCContext;

inline constexpr std::u16string_view kQORMaskedPassword = u"***";

// The names of the set internal flags, one blank before each but a first one
// in an empty buffer.
void AddInternalFlagsSettings(FastStringA& aFast, const TQORSVCContext& aCtx);
// "05" and five letters or dots.
void QORAddInternalFlags(FastStringA& aF, const TQORSVCContext& aCtx);
// "0A" and ten letters or dots.
void QORParseProtoExtFlags1C(FastStringA& aF, const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat);

// Appends " EMail=`...` Call=`...` ... [ EXTENDED]".
void AppendClientDescription(TStringBldU& aB, const TQORSVCContext& aCtx) GAX_REQUIRES(kHeartbeat);
// Empties the builder, then: the subject's connection text, the action, who
// did it, and the subject's description.
void FormatAdminActionLogLine(TStringBldU& aB, const TQORSVCContext& aActor,
                              const TQORSVCContext& aSubject, std::u16string_view aAction)
    GAX_REQUIRES(kHeartbeat);

}  // namespace gax
