// What the command channel's server context needs of the service, and what
// the service's handlers need of the context, declared in the server layer so
// that the service, its heartbeat handlers and the networks can answer a
// command connection without knowing the control layer that implements it.
//
// Threads: every TQORSVCCommandHost operation may be called from any worker
// thread while the service runs. TQORSVCCommandCtx's PutData and PutStr may
// be called from any thread (the context's writer has its own lock); the
// caller wakes the context's worker (WakeUpWorker) after its last append.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/gax_qor_svc_host.h"
#include "server/gax_qor_svc_wrkctx.h"

namespace gax {

class TCharsetsCodeList;

// A network as the command channel names it: the handle the records carry and
// the 8-bit character set the network's notices are kept in (empty: each
// UTF-16 unit to its low byte), with the list the set is named in (not
// owned; it outlives the service).
struct TQORSVCCmdNetwork {
    TQORSVCHandle Handle;
    std::u16string CharsetName;
    const TCharsetsCodeList* CodeList = nullptr;
};

// Outcome of a manager look-up by address: how many active managers matched.
enum class TQORSVCCmdManagerMatch : uint8_t { None, One, Many };

// What a command context asks of the service. Every operation may be called
// from any worker thread at any time while the service runs.
class TQORSVCCommandHost : public TQORSVCHost {
  public:
    // The network of exactly that name, else of that name compared in ASCII
    // upper case; false when none.
    virtual bool CmdFindNetwork(std::u16string_view aNameU, std::string_view aNameUTF8,
                                TQORSVCCmdNetwork& aNetwork) = 0;
    // The staged stop with that abort text (only the first request counts).
    virtual void CmdAbortService(std::u16string_view aAbortText) = 0;
    // Writes an operator's text to the server log.
    virtual void CmdLogText(std::u16string_view aConnectionText, std::u16string_view aText) = 0;
    // The server-wide client log level, stored at once.
    virtual void CmdSetLogClientLevel(int32_t aLevel) = 0;
    // Seconds since the service started.
    virtual uint32_t CmdServerUptime() const = 0;
    // Manager password and e-mail changes: by index (true when a manager of
    // that index is active), by address (and authentication e-mail).
    virtual bool CmdManagerNewPasswordIdx(int32_t aIndex, std::string_view aPasswordUTF8) = 0;
    virtual TQORSVCCmdManagerMatch CmdManagerNewPasswordAddr(std::string_view aAddressUTF8,
                                                             std::string_view aEmailUTF8,
                                                             bool aMatchEmail,
                                                             std::string_view aPasswordUTF8) = 0;
    virtual bool CmdManagerNewEmailIdx(int32_t aIndex, std::string_view aEmailUTF8) = 0;
};

// A command-channel connection as the service's handlers see it: a work
// context that takes answer bytes.
class TQORSVCCommandCtx : public TQORSVCWrkCtx {
  public:
    using TQORSVCWrkCtx::TQORSVCWrkCtx;
    // Append answer bytes and mark them for flushing (any thread).
    virtual void PutData(const void* aPtr, int32_t aLen) = 0;
    virtual void PutStr(std::string_view aStr) = 0;

    // One reread in flight per connection, so that a connection cannot queue
    // any number of them for the service thread. Its worker takes the slot
    // when it posts one (false: one is still in flight); the heartbeat frees
    // it when it writes the reread's answer.
    bool TryStartReread() { return !f_RereadInFlight.exchange(true, std::memory_order_acq_rel); }
    void RereadAnswered() { f_RereadInFlight.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> f_RereadInFlight{false};
};

// Makes the context of one accepted command connection; the program sets it
// (the control layer builds the context), the heartbeat calls it. It owns
// aSocket from the call on, also when it throws.
using TQORSVCCommandFactory = std::function<std::unique_ptr<TQORSVCCommandCtx>(
    TQORSVCCommandHost* aService, TSocket aSocket, std::string aPeerAddrBin, int32_t aPeerPort)>;

}  // namespace gax
