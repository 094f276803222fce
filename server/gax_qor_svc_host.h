// What work contexts and worker threads need of the service that owns them,
// and nothing more: the configuration, the posting side of the queues, the
// global-key counter, the log FIFO and the client log levels. The service
// implements it; tests give a small fake.
//
// Threads: every operation may be called from any thread (workers, the
// heartbeat thread, networks); an implementation keeps them thread-safe. The
// configuration is fixed once the service runs and is only read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/gax_qor_svc_poster.h"
#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_setup_t.h"

namespace gax {

class TQORSVCHost {
  public:
    TQORSVCHost() = default;
    virtual ~TQORSVCHost() = default;
    TQORSVCHost(const TQORSVCHost&) = delete;
    TQORSVCHost& operator=(const TQORSVCHost&) = delete;

    // The configuration record, valid for the service's lifetime.
    virtual const TQORServiceConfig& SvcConfig() const = 0;
    // The server and main queues with the wake-ups of their consumers.
    virtual TQORSVCPoster& SvcPoster() = 0;
    // The next global key (the first is 1); unique over the service's life.
    virtual TQORGlobalKey GetNextUniqCounter() = 0;
    // Pushes one log line into the log FIFO and wakes the service thread.
    virtual void Fifo(std::u16string aText) = 0;
    // Log levels in force for client and command-channel events (0..7).
    virtual int32_t LogClientLevel() const = 0;
    virtual int32_t LogCommandLevel() const = 0;

    // The service's event entries, built on Fifo.
    void evnt_Srv_Info(std::u16string_view aText) { Fifo(std::u16string(aText)); }
    void evnt_Srv_Error(std::u16string_view aText) { Fifo(Prefixed(u"ERROR: ", aText)); }
    void evnt_Srv_Debug(std::u16string_view aText) { Fifo(Prefixed(u"DEBUG: ", aText)); }

  private:
    static std::u16string Prefixed(std::u16string_view aPrefix, std::u16string_view aText) {
        std::u16string s;
        s.reserve(aPrefix.size() + aText.size());
        s.append(aPrefix).append(aText);
        return s;
    }
};

}  // namespace gax
