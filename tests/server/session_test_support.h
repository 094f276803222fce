// Stand-ins for what a client session reads from the server: a service with
// defaults and networks, networks with their lists and options, and a session
// that records what it is asked to send.
#pragma once

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"
#include "server/gax_qor_svc_context.h"

namespace session_test {

using namespace gax;

struct FakeNetwork : TQORSVCClientNetwork {
    FakeNetwork(std::string aNameA, std::string aNameUTF8)
        : nameA(std::move(aNameA)),
          nameUTF8(std::move(aNameUTF8)),
          nameU(Utf8StrToUnicodeLenient(nameUTF8)) {}

    std::string nameA, nameUTF8;
    std::u16string nameU;
    const TAnsiUnicodeConverter* conv = nullptr;
    std::set<std::string> owners, admins, blocked, muted, noAccess, noTalk;
    bool differs = false;  // every matched entry reports other texts
    bool shortFrames = false, tempMuteBlock = false, adminMove = false, parrotMute = false;
    bool allowByPriv[4] = {false, true, true, true};
    TQORSystemManagerMode mode = smm_Standalone;
    uint32_t mask = 0;

    std::string_view NetNameA() const override { return nameA; }
    std::string_view NetNameUTF8() const override { return nameUTF8; }
    std::u16string_view NetNameU() const override { return nameU; }
    const TAnsiUnicodeConverter* NetConverter() const override { return conv; }
    bool IsNetOwnerByHash(std::string_view aId) const override {
        return owners.count(std::string(aId)) != 0;
    }
    bool Has(const std::set<std::string>& aSet, const TQORSVCContext& aCtx, bool& aDiffers) const {
        const bool found = aSet.count(aCtx.CliHashA()) != 0;
        aDiffers = found && differs;
        return found;
    }
    bool NetFindAdmin(const TQORSVCContext& c, bool& d) const override { return Has(admins, c, d); }
    bool IsBlockedOnNetwork(const TQORSVCContext& c, bool& d) const override {
        return Has(blocked, c, d);
    }
    bool IsMutedOnNetwork(const TQORSVCContext& c, bool& d) const override {
        return Has(muted, c, d);
    }
    TQORSVCClientRights GetRights(const TQORSVCContext& c) const override {
        TQORSVCClientRights r;
        r.Access = noAccess.count(c.CliHashA()) == 0;
        r.Talk = noTalk.count(c.CliHashA()) == 0;
        return r;
    }
    bool OptShortFrames() const override { return shortFrames; }
    bool OptTempMuteBlock() const override { return tempMuteBlock; }
    bool OptAdminMoveClient() const override { return adminMove; }
    bool OptParrotMuteEnable() const override { return parrotMute; }
    bool AllowByPrivilege(TQORClientPrivilege p) const override { return allowByPriv[p & 3]; }
    TQORSystemManagerMode EffManagerMode() const override { return mode; }
    uint32_t EffManagerMask() const override { return mask; }
};

// The service both as the sessions' host (key counter, log, log level) and as
// their facts about defaults and networks.
struct FakeService : TQORSVCClientService, TQORSVCHost {
    int32_t level = kLogLevelExtra;
    TQORGlobalKey nextKey = 1;
    TQORServiceConfig cfg;
    TQORSVCPoster poster;
    std::vector<std::u16string> lines;
    std::string countryA = "Land", countryUTF8 = "Land";
    std::u16string countryU = u"Land";
    std::vector<TQORSVCClientNetwork*> nets;
    TQORSVCClientNetwork* def = nullptr;
    std::string ownerId;
    bool ownerDiffers = false;
    bool enabled = true;
    // What the heartbeat would have counted; read by sessions on any thread.
    std::atomic<uint32_t> uptime{0};
    struct Unregister {
        int32_t Index;
        std::string ManagerId, ClientId;
    };
    std::vector<Unregister> unregistered;
    // The next unregistrations fail (a test of the callers' error paths).
    int failUnregisters = 0;

    const TQORServiceConfig& SvcConfig() const override { return cfg; }
    TQORSVCPoster& SvcPoster() override { return poster; }
    TQORGlobalKey GetNextUniqCounter() override { return nextKey++; }
    void Fifo(std::u16string aText) override { lines.push_back(std::move(aText)); }
    int32_t LogClientLevel() const override { return level; }
    int32_t LogCommandLevel() const override { return 0; }
    bool HasDefaultCountry() const override { return !countryA.empty(); }
    std::string_view DefaultCountryA() const override { return countryA; }
    std::string_view DefaultCountryUTF8() const override { return countryUTF8; }
    std::u16string_view DefaultCountryU() const override { return countryU; }
    int32_t NetworkCount() const override { return static_cast<int32_t>(nets.size()); }
    TQORSVCClientNetwork* NetworkAt(int32_t i) const override { return nets[i]; }
    TQORSVCClientNetwork* DefaultNetwork() const override { return def; }
    std::string_view ServOwnerId() const override { return ownerId; }
    bool ServOwnerInfoDiffers(const TQORSVCContext&) const override GAX_REQUIRES(kHeartbeat) {
        return ownerDiffers;
    }
    uint32_t ServerUptimeSec() const override { return uptime.load(); }
    bool ServiceEnabled() const override { return enabled; }
    bool ManagerEnabled(int32_t) const override { return true; }
    void ManagerUnregisterClient(int32_t aIndex, std::string_view aManagerId,
                                 std::string_view aClientId, const TQORSVCClientNetwork*) override {
        if (failUnregisters > 0 && failUnregisters--) throw std::runtime_error("queue refused");
        unregistered.push_back({aIndex, std::string(aManagerId), std::string(aClientId)});
    }
};

class TestSession : public TQORSVCContext {
  public:
    explicit TestSession(FakeService& aSvc, TQORGlobalKey aKey = 7)
        : TQORSVCContext(WithKey(aSvc, aKey), aSvc, INVALID_SOCKET_HANDLE,
                         std::string("\x7f\x00\x00\x01", 4), 5000) {}

    std::string sent;
    int aborts = 0;
    void vSendBytes(const void* p, int32_t n) override {
        sent.append(static_cast<const char*>(p), n);
    }
    void vSendBytesDontWakeWorker(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vSendBytesAnswerOK(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vSendBytesFlushAndTerm(const void* p, int32_t n) override { vSendBytes(p, n); }
    void vAbortConnection() override { ++aborts; }
    void MakeParrot() { SetParrotIdentity(); }

    void vExecStart(TQORSVCStepParams&) override {}
    TQORSVCWorkerExecResult vExecStep(TQORSVCStepParams&) override { return wer__OK; }
    TQORSVCWorkerExecResult vExecParameters(TQORSVCStepParams&) override { return wer__OK; }
    bool vExecTimeout(TQORSVCStepParams&) override { return false; }

    // Reads a connect string as the worker would, and lets the heartbeat
    // take what it found as the handshake does.
    void Connect(std::string aLine) GAX_REQUIRES(kHeartbeat) {
        ReadConnect(std::move(aLine));
        tmTakeConnect();
    }
    // The worker's part alone.
    void ReadConnect(std::string aLine) {
        line = std::move(aLine);
        TCP_QOR_ParseClientConnectStr(line.data(), static_cast<int32_t>(line.size()));
    }

  private:
    static TQORSVCHost* WithKey(FakeService& aSvc, TQORGlobalKey aKey) {
        aSvc.nextKey = aKey;
        return &aSvc;
    }
    std::string line;
};

inline std::string Tag(std::string_view aName, std::string_view aValue) {
    std::string s = "<";
    s.append(aName).append(">").append(aValue).append("</").append(aName).append(">");
    return s;
}
inline std::string Typed(char aType, std::string_view aValue) {
    return std::string(1, aType) + HexLenStr(aValue);
}

// A complete 8-bit connect string (the fields of the transport-block example).
inline std::string BasicConnect(std::string aExtra = {}) {
    return Tag("VX", "2014004") + Tag("EA", "a@b.c") + Tag("PW", "pw") + Tag("ON", "CALL Name") +
           Tag("BC", "PC Only") + Tag("CT", "City") + Tag("NN", "Country") + Tag("NT", "Test") +
           aExtra;
}

// The UTF-8 part of a PC client, with the fields given.
inline std::string U8(std::string aFields) {
    return Tag("U8TF", "2" + aFields);
}
inline std::string FullU8NoCity(std::string aExtra = {}) {
    return Typed('0', "a@b.c") + Typed('1', "pw") + Typed('2', "J\xC3\xBCrgen") +
           Typed('3', "PC Only") + aExtra;
}
inline std::string FullU8(std::string aExtra = {}) {
    return FullU8NoCity(Typed('6', "K\xC3\xB6ln") + aExtra);
}

// A service with networks "Test" (default) and "Other" (UTF-8 name "Andere").
struct World {
    FakeService svc;
    FakeNetwork test{"Test", "Test"};
    FakeNetwork other{"Other", "Andere"};
    World() {
        svc.nets = {&test, &other};
        svc.def = &test;
    }
};

}  // namespace session_test
