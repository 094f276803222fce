// Hands the networks of a networks list to the service's heartbeat. The list
// owns its networks (one owner for the data part and the network object);
// the service gets a link per network that forwards to it, so the heartbeat
// drives every network in file order without owning it twice.
//
// Threads: called on the service thread at service start, before the
// heartbeat is enabled. REQUIRES: the list outlives the service's heartbeat
// (it is cleared only after the service has ended), and every network in it
// was made by TQORServNetwork::Factory.
#pragma once

#include <memory>

#include "networks/gax_qor_svc_network.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

// The heartbeat's view of one network the list owns.
class TQORSVCNetworkLink final : public TQORSVCNetwork {
  public:
    explicit TQORSVCNetworkLink(TQORServNetwork& aNet) : e_Net(aNet) {}
    TQORServNetwork& Network() const { return e_Net; }

    std::u16string NetName() const override { return e_Net.NetName(); }
    uint32_t PingBase() const override { return e_Net.PingBase(); }
    void SetPingBase(uint32_t aTick) override { e_Net.SetPingBase(aTick); }
    bool HasCommands() const override { return e_Net.HasCommands(); }
    bool PushCommand(std::unique_ptr<TQORSVCNetQueueRecord>& aRec) override {
        return e_Net.PushCommand(aRec);
    }
    bool NetHeartBeat(bool aPing, uint32_t aTick) override { return e_Net.NetHeartBeat(aPing, aTick); }
    bool SpeechPauseOn() const override { return e_Net.SpeechPauseOn(); }
    uint32_t SpeechPauseStartTick() const override { return e_Net.SpeechPauseStartTick(); }
    uint32_t SpeechPauseTicks() const override { return e_Net.SpeechPauseTicks(); }
    void EndSpeechPause() override { e_Net.EndSpeechPause(); }
    bool ParrotBusy() const override { return e_Net.ParrotBusy(); }
    void ParrotHeartBeat(uint32_t aTick) override { e_Net.ParrotHeartBeat(aTick); }
    void AppendSnapshot(TQORSVCListKind aKind, TQORSVCWriteArray& aLines) const override {
        e_Net.AppendSnapshot(aKind, aLines);
    }
    // ---- command channel ----
    int32_t AppendChannelList(std::string& aOut) const override {
        return e_Net.AppendChannelList(aOut);
    }
    void AppendMemoryReport(std::vector<std::u16string>& aLines) const override {
        e_Net.AppendMemoryReport(aLines);
    }

  private:
    TQORServNetwork& e_Net;
};

// Adds a link for every network of aList, in file order (its index is its
// position), and sets each network's effective manager mask to aManagersMask.
// Raises when a network of the list is not a full network object.
void AddNetworksToService(TQORService& aService, const TQORNetworksList& aList,
                          uint32_t aManagersMask);

}  // namespace gax
