// Where the admin commands find the network's lists, modes and notice, and
// how they owe an acting member the current list.
//
// Heartbeat thread only.
#include "networks/gax_qor_svc_network.h"

namespace gax {

TQORSVCMuteBlockList& TQORServNetwork::CmdMutes() { return f_CmdMutes; }
TQORSVCMuteBlockList& TQORServNetwork::CmdBlocks() { return f_CmdBlocks; }
TQORSVCAdminList& TQORServNetwork::CmdAdmins() { return f_CmdAdmins; }
TQORSVCAccessList& TQORServNetwork::CmdRights() { return f_CmdRights; }

void TQORServNetwork::CmdOwe(TQORSVCListKind, TQORSVCContext*) {}

bool TQORServNetwork::ConnectOnlyListed() const { return f_CmdConnectOnlyListed; }
bool TQORServNetwork::TalkOnlyMarked() const { return f_CmdTalkOnlyMarked; }

bool TQORServNetwork::SetConnectOnlyListed(bool aOn) {
    if (f_CmdConnectOnlyListed == aOn) return false;
    f_CmdConnectOnlyListed = aOn;
    return true;
}

bool TQORServNetwork::SetTalkOnlyMarked(bool aOn) {
    if (f_CmdTalkOnlyMarked == aOn) return false;
    f_CmdTalkOnlyMarked = aOn;
    return true;
}

bool TQORServNetwork::SetNetNotice(std::string_view aTextANSI, std::string_view aTextUTF8) {
    if (f_CmdNoticeANSI == aTextANSI && f_CmdNoticeUTF8 == aTextUTF8) return false;
    f_CmdNoticeANSI.assign(aTextANSI);
    f_CmdNoticeUTF8.assign(aTextUTF8);
    return true;
}

}  // namespace gax
