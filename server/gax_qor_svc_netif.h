// What the heartbeat pass and the service thread need from the parts built on
// top of the service: a network (room), a client context on a temporary move,
// and the data-file writer and reader of the lists. The service depends on
// these narrow interfaces only; the networks, sessions and data files
// implement them in their own layers and never include the service.
//
// Threads: every TQORSVCNetwork and TQORSVCMovedClient call is made on the
// heartbeat thread (the networks' state belongs to it). TQORSVCDataFiles is
// called on the service thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/gax_qor_svc_queues.h"
#include "server/gax_qor_svc_roles.h"

namespace gax {

// The lists the heartbeat snapshots and the service thread saves, in the
// order the snapshots are posted.
enum class TQORSVCListKind : uint8_t { Mutes, Blocks, Admins, Modes, Rights, Notices, Owner };
inline constexpr int kListKindCount = 7;

class TQORSVCNetwork {
  public:
    virtual ~TQORSVCNetwork() = default;

    // Name for log lines (UTF-16).
    virtual std::u16string NetName() const = 0;
    // The 8-bit character set of the network's texts; empty: none named.
    virtual std::u16string NetCharsetName() const { return {}; }

    // 500 ms ping grid: a heartbeat with ping advances the base by 500 ms.
    virtual uint32_t PingBase() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual void SetPingBase(uint32_t aTick) GAX_REQUIRES(kHeartbeat) = 0;
    // True when the next ping point has work: a client in the network, a
    // mute or block that may expire, or results still to send. A network
    // without any sleeps through its ping points (the heartbeat keeps its
    // base on the 500 ms phase).
    virtual bool PingWanted() const GAX_REQUIRES(kHeartbeat) { return true; }

    // The command array the dispatcher fills and NetHeartBeat drains within
    // one pass. Push takes the record; false when the array is full (the
    // record is then still the caller's).
    virtual bool HasCommands() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) GAX_REQUIRES(kHeartbeat) = 0;
    // Returns true when it found records in its command array (the pass then
    // starts over at once).
    virtual bool NetHeartBeat(bool aPing, uint32_t aTick) GAX_REQUIRES(kHeartbeat) = 0;

    // Speech pause between two talkers.
    virtual bool SpeechPauseOn() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual uint32_t SpeechPauseStartTick() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual uint32_t SpeechPauseTicks() const = 0;
    virtual void EndSpeechPause() GAX_REQUIRES(kHeartbeat) = 0;

    // The Parrot wants a heartbeat (it waits for the pause or plays back).
    virtual bool ParrotBusy() const GAX_REQUIRES(kHeartbeat) = 0;
    virtual void ParrotHeartBeat(uint32_t aTick) GAX_REQUIRES(kHeartbeat) = 0;

    // Appends the prepared file lines of the network's list of that kind
    // (not called for the owner).
    virtual void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const GAX_REQUIRES(kHeartbeat) = 0;

    // ---- command channel ----
    // Appends the network's part of a channel client listing (header line,
    // member count, items, info lines) and returns its member count; -1 when
    // the network keeps no client list (the service then lists it empty).
    virtual int32_t AppendChannelList(std::string&) const GAX_REQUIRES(kHeartbeat) { return -1; }
    // Appends the network's memory-report lines.
    virtual void AppendMemoryReport(std::vector<std::u16string>&) const GAX_REQUIRES(kHeartbeat) {}
};

// What a network may ask of the service, on the heartbeat thread. The service
// implements it; a network keeps a reference given at its creation.
class TQORSVCNetHost {
  public:
    virtual ~TQORSVCNetHost() = default;
    // A list changed: its snapshot is saved at the end of the pass.
    virtual void NetHostListChanged(TQORSVCListKind aKind) GAX_REQUIRES(kHeartbeat) = 0;
    // One log line (any thread).
    virtual void NetHostLog(std::u16string aText) = 0;
    // ---- command channel ----
    // An answer for a command-channel context (aText, with its line ends),
    // delivered through the server queue when the context still lives.
    virtual void NetHostCommandAnswer(TQORSVCCtxRef, std::string) {}
};

class TQORSVCMovedClient {
  public:
    virtual ~TQORSVCMovedClient() = default;
    virtual TQORSVCCtxRef MovedCtxRef() const = 0;
    // Seconds left on the temporary move.
    virtual int32_t MoveTimeLeft() const = 0;
    virtual void SetMoveTimeLeft(int32_t aSeconds) = 0;
    virtual TQORSVCHandle NetworkNow() const = 0;
    virtual TQORSVCHandle NetworkMovedFrom() const = 0;
};

class TQORSVCDataFiles {
  public:
    virtual ~TQORSVCDataFiles() = default;
    // Writes the lines into the list's file; false (or an exception) when the
    // file was not written.
    virtual bool WriteList(TQORSVCListKind aKind, const std::u16string& aFileName,
                           const TQORSVCWriteArray& aLines) GAX_REQUIRES(kServiceThread) = 0;
    // Reads a list file and posts what it read; false when it failed.
    virtual bool RereadList(TQORSVCMainQueueCmd aCmd, const std::u16string& aFileName)
        GAX_REQUIRES(kServiceThread) = 0;
};

}  // namespace gax
