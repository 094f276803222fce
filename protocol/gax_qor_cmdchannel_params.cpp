#include "protocol/gax_qor_cmdchannel_params.h"

#include <algorithm>

#include "foundation/gax_inifile_utf8.h"
#include "protocol/gax_qor_connparams.h"

namespace gax {

void ReadCommandChannelParams(const TIniFileUTF8& aIni, std::u16string_view aSection,
                              bool aSupportsIPv6, TQORCommandChannelParams& aParams) {
    aParams = TQORCommandChannelParams{};
    aParams.cfg_SystemSupportsIPv6 = aSupportsIPv6;
    aParams.cfg_CmdEnabled = aIni.ReadLogical(aSection, u"CommandEnabled", false);

    TSynapseListenerIPVersions ver;
    if (aSupportsIPv6 &&
        TryParseIPVersionText(aIni.ReadString(aSection, u"CommandIPVersion", u""), ver))
        aParams.cfg_CmdIPVersion = ver;
    else
        aParams.cfg_CmdIPVersion = ipver_4;

    aParams.cfg_CmdPort = IniReadPort(aIni, aSection, u"CommandPort", 10023);
    aParams.cfg_CmdPreferIPV4 = aIni.ReadLogical(aSection, u"CommandPreferIPv4", true);
    aParams.cfg_CmdLogLevel = std::max(aIni.ReadInteger(aSection, u"CommandLogLevel", 0), 0);
    int32_t t = aIni.ReadInteger(aSection, u"CommandTimeout1", 1);
    aParams.cfg_CmdTimeout1 = std::clamp(t < 0 ? 1 : t, 1, 5);
    t = aIni.ReadInteger(aSection, u"CommandTimeout2", 2);
    aParams.cfg_CmdTimeout2 = std::clamp(t < 0 ? 2 : t, 1, 5);
}

}  // namespace gax
