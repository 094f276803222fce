// A network's own settings: the option records, their built-in defaults, the
// server-wide values they start from, the parser of the option text that
// follows a network's name in "networks.cfg" and the text that shows a
// network's options in logs and listings.
// Plain values without locks: a network's options are made once on the
// service thread while the networks list is read and only read afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_datetime.h"
#include "foundation/gax_types.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_globals.h"

namespace gax {

class TCharsetsCodeList;
struct TQORServiceConfig;

// The Parrot's part of a network's options.
struct TQORSVCParrotOptions {
    bool ParrotEnable = false;
    bool ParrotStartStopEnable = false;
    bool ParrotMuteEnable = false;
    TGaxTick32 ParrotMaxRecordTicks = 120000;
    TGaxTick32 ParrotPauseTicks = 2000;
    int32_t po_ParrotRepeatCount = 1;
    bool ParrotMessageDisable = false;
    std::u16string ParrotPrefixFileName;
    int32_t ParrotPrefixMaxTime = 10;  // seconds
    bool ParrotPrefixRepeatEach = false;

    bool operator==(const TQORSVCParrotOptions&) const = default;
};

// The built-in defaults are the member initialisers.
struct TQORSVCNetworkOptions {
    TQORSVCParrotOptions no_Parrot;
    int32_t no_NetMaxClients = 65533;
    std::vector<std::u16string> no_NetOwnersEMails;
    std::u16string no_NetCharsetNameUCS2;
    std::string no_NetCharsetNameUTF8;
    TGaxTick32 no_MaxSpeechTicks = 300000;
    TGaxTick32 no_SpeechPauseTicks = 0;
    TGaxTick32 no_QuarantineTicks = 0;
    TQORSystemManagerMode no_NetManagerMode = smm_Standalone;
    bool no_NetManagerModeSpecific = false;  // the option text set the mode
    int32_t no_OutputBufferLimit = 131072;
    int32_t no_OutputBufferFactor = 3;
    TQORSVCAccessInfoMode no_AccessInfoMode = TQORSVCAccessInfoMode::fsaim_Original;
    int32_t no_LogClientLevel = 2;
    int32_t no_ManagersMask = 15;  // one bit per manager index 0..3
    bool no_ShortFrames = true;
    bool no_SpeechLimit = true;
    int32_t no_SessionMaxTime = 0;  // seconds, 0 = unlimited
    bool no_Hidden = false;
    bool no_LogAdmin = true;
    bool no_TempMuteBlock = true;
    bool no_LevelMuteBlock = false;
    bool no_ExactMuteBlock = false;
    bool no_UniqCallsign = false;
    bool no_AdminMoveClient = false;  // no option sets it
    bool no_AlwaysAllowServerOwner = true;
    bool no_AlwaysAllowNetworkOwner = false;
    bool no_AlwaysAllowAdmin = false;
    bool no_ServerInfo = true;
    bool no_NetChangeInfo = true;

    bool operator==(const TQORSVCNetworkOptions&) const = default;
};

// The server-wide values a network's options start from.
struct TQORServiceNetOptions {
    std::u16string sno_CharsetName;
    TQORSystemManagerMode sno_ManagerMode = smm_Standalone;
    int32_t sno_OutputBufferLimit = 131072;
    int32_t sno_OutputBufferFactor = 3;
    int32_t sno_LogClientLevel = 2;
    int32_t sno_SessionMaxTime = 0;
    TGaxTick32 sno_MaxSpeechTicks = 300000;
    TGaxTick32 sno_SpeechPauseTicks = 0;
    TGaxTick32 sno_QuarantineTicks = 0;
    bool sno_ShortFrames = true;
    bool sno_SpeechLimit = true;
    bool sno_LogAdmin = true;
    bool sno_TempMuteBlock = true;
    bool sno_LevelMuteBlock = false;
    bool sno_ExactMuteBlock = false;
    bool sno_UniqCallsign = false;
    bool sno_AlwayAllowServerOwner = true;
    bool sno_AlwayAllowNetworkOwner = false;
    bool sno_AlwayAllowAdmin = false;
    bool sno_ServerInfo = true;
    bool sno_NetChangeInfo = true;
};

// The server-wide values from the loaded configuration (the program's start-up
// check of the networks file runs on these before any service exists).
void FillServiceNetOptionsFromConfig(TQORServiceNetOptions& aOpts, const TQORServiceConfig& aConfig);

// The built-in defaults with every server-wide value copied over.
void InitNetworkOptionsFromDefaults(const TQORServiceNetOptions& aServ,
                                    TQORSVCNetworkOptions& aOpts);

// InitNetworkOptionsFromDefaults, then the "key=value;..." items of the text.
// Every bad value falls back silently; only a CharsetName the code list does
// not know raises EAnsiUnicodeConverterInvalidCharsetName (or ...EmptyCharsetList),
// its message beginning with: Network option "CharsetName": 
// REQUIRES: aCodeList outlives the call (it may be null: then any name but
// "BIN" is refused).
void ParseNetworkOptionsText(const TQORServiceNetOptions& aServ, std::u16string_view aText,
                             TQORSVCNetworkOptions& aOpts, const TCharsetsCodeList* aCodeList);

// What differs from the server-wide values and the defaults, as "key=value"
// items joined by "; " in a fixed order; options identical to the server-wide
// values give the empty text. Parsing the result over the same server-wide
// values gives the same options (the Parrot's mute flag aside, which is never shown).
std::u16string FormatNetworkOptionsText(const TQORServiceNetOptions& aServ,
                                        const TQORSVCNetworkOptions& aOpts);

// Copies every field but no_AdminMoveClient, which stays as the destination had it.
void CopyNetworkOptions(TQORSVCNetworkOptions& aDest, const TQORSVCNetworkOptions& aSrc);
void CopyParrotOptions(TQORSVCParrotOptions& aDest, const TQORSVCParrotOptions& aSrc);

}  // namespace gax
