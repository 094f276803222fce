// The service's side of the command channel: what a command context asks of
// it directly from its worker thread. Everything here reads settings fixed
// before the service started or atomics.
#include <string>

#include "server/gax_qor_svc_server_id.h"
#include "server/gax_qor_svc_wrkctx.h"
#include "sockets/gax_snps_sockets.h"

namespace gax {
namespace {

std::u16string AsciiUpper(std::u16string_view aText) {
    std::u16string s(aText);
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
    return s;
}

}  // namespace

bool TQORService::CmdFindNetwork(std::u16string_view aNameU, std::string_view,
                                 TQORSVCCmdNetwork& aNetwork) {
    // f_CmdNetNames is complete before the heartbeat is enabled, and command
    // connections are served only after that: no lock is needed to read it.
    const TQORSVCCmdNetName* found = nullptr;
    for (const TQORSVCCmdNetName& n : f_CmdNetNames) {
        if (n.Name == aNameU) {
            found = &n;
            break;
        }
    }
    // Operators type network names in any letter case.
    if (found == nullptr) {
        const std::u16string upper = AsciiUpper(aNameU);
        for (const TQORSVCCmdNetName& n : f_CmdNetNames) {
            if (AsciiUpper(n.Name) == upper) {
                found = &n;
                break;
            }
        }
    }
    if (found == nullptr) return false;
    aNetwork.Handle = found->Net;
    aNetwork.CharsetName = found->CharsetName;
    aNetwork.CodeList = e_CodeList;
    return true;
}

void TQORService::CmdAbortService(std::u16string_view aAbortText) {
    ServiceAbortThread(aAbortText);
}

void TQORService::CmdLogText(std::u16string_view, std::u16string_view aText) {
    ChannelLogText(nullptr, aText);
}

void TQORService::CmdSetLogClientLevel(int32_t aLevel) {
    f_LogClientLevel.store(aLevel, std::memory_order_relaxed);
}

uint32_t TQORService::CmdServerUptime() const {
    if (!f_HeartbeatEnabled.load(std::memory_order_acquire)) return 0;
    const uint64_t up = f_CmdUptime.load(std::memory_order_acquire);
    return static_cast<uint32_t>(up >> 32) +
           TickElapsed(e_Clock.Tick(), static_cast<uint32_t>(up)) / 1000;
}

// The manager look-ups are in gax_qor_svc_server_sysman.cpp.

void TQORService::SetCommandContextFactory(TQORSVCCommandFactory aFactory) {
    CheckNotStarted();
    f_CommandFactory = std::move(aFactory);
}

std::unique_ptr<TQORSVCCommandCtx> TQORService::tmMakeCommandContext(TSocket aSocket,
                                                                     std::string aPeerAddrBin,
                                                                     int32_t aPeerPort) {
    if (!f_CommandFactory) {
        SocketCloseHandle(aSocket);
        return nullptr;
    }
    return f_CommandFactory(this, aSocket, std::move(aPeerAddrBin), aPeerPort);
}

}  // namespace gax
