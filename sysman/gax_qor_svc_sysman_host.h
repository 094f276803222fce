// What a manager thread needs from the service that runs it: a way to report
// through the server queue, the log, and the name resolver. The service
// implements it; tests implement it with a recorder. Every call may come from
// the manager thread, and SysManPost also from the threads that call the
// manager's public operations (an at-once NONE answer), so an implementation
// is thread-safe. The host outlives every manager thread it serves.
#pragma once

#include <memory>
#include <string>

#include "server/gax_qor_svc_queues.h"

namespace gax {

class TQORSvcSysManHost {
  public:
    virtual ~TQORSvcSysManHost() = default;
    // Pushes the record to the server queue and wakes the heartbeat thread.
    virtual void SysManPost(std::unique_ptr<TQORSVCNetQueueRecord> aRec) = 0;
    // One finished log line (without time stamp or line end).
    virtual void SysManLog(std::u16string aLine) = 0;
    // The service's LogExec: script command lines are logged.
    virtual bool SysManLogExec() const = 0;
};

}  // namespace gax
