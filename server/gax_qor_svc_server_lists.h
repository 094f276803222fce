// What a reread hands to the heartbeat: one network's list read from a file,
// wrapped so that it travels in a server-queue record's list array (a record
// freed on any path frees the list with its entries). The networks take the
// list out with TakeListAs.
//
// Threads: made on the service thread, owned by the heartbeat thread from
// the post on.
#pragma once

#include <memory>
#include <utility>

#include "server/gax_qor_svc_admins.h"
#include "server/gax_qor_svc_mutes.h"
#include "server/gax_qor_svc_notices.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_rights.h"

namespace gax {

template <class T>
struct TQORSVCOwnedPayload final : TQORSVCListPayload {
    explicit TQORSVCOwnedPayload(std::unique_ptr<T> aValue) : Value(std::move(aValue)) {}
    std::unique_ptr<T> Value;
};

using TQORSVCAdminListPayload = TQORSVCOwnedPayload<TQORSVCAdminList>;
using TQORSVCMuteBlockListPayload = TQORSVCOwnedPayload<TQORSVCMuteBlockList>;
using TQORSVCAccessListPayload = TQORSVCOwnedPayload<TQORSVCAccessList>;
using TQORSVCNoticePayload = TQORSVCOwnedPayload<TQORSVCNoticeData>;

}  // namespace gax
