// The [Command] settings of the configuration file: read by the server's
// configuration loader and by the console client of the command channel, so
// they live below both. Filled once on the reading thread, then only read.
#pragma once

#include <cstdint>
#include <string_view>

#include "sockets/gax_snps_ipversions.h"

namespace gax {

class TIniFileUTF8;

struct TQORCommandChannelParams {
    bool cfg_SystemSupportsIPv6 = false;
    bool cfg_CmdEnabled = false;
    int32_t cfg_CmdPort = 10023;
    TSynapseListenerIPVersions cfg_CmdIPVersion = ipver_4;
    bool cfg_CmdPreferIPV4 = true;
    int32_t cfg_CmdLogLevel = 0;  // above 0 the server logs command connections
    int32_t cfg_CmdTimeout1 = 1;
    int32_t cfg_CmdTimeout2 = 2;
};

// Reads the channel's keys of aSection; every bad value falls back to its
// default or nearest bound. Without IPv6 on the system the channel is IPv4 only.
void ReadCommandChannelParams(const TIniFileUTF8& aIni, std::u16string_view aSection,
                              bool aSupportsIPv6, TQORCommandChannelParams& aParams);

}  // namespace gax
