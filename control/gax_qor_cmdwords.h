// The console program's command line: the flags, the command words with
// their synonyms, the parameter rule of every command and the checks that
// turn a command line into one parsed options record, so that the program's
// dispatch needs no further checks. Stateless; everything runs on the
// console program's main thread before any other thread exists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/gax_qor_cmdchannel.h"
#include "protocol/gax_qor_consts.h"

namespace gax {

// One value per command; a word and its synonyms give the same command.
enum class TQORSVCCommand : uint8_t {
    none = 0,
    charsets, ansi, oem, servercharset,
    logfilename, mutesfilename, blocksfilename, adminsfilename, rightsfilename, modesfilename,
    noticesfilename,
    managers, managerauthenable, managerauthdisable, dsetloglevelmanidx, setmanpassidx,
    dsetmanpassidx, setmanemailidx, dsetmanemailidx, setmanpassaddr, dsetmanpassaddr,
    setmanpassaddremail, dsetmanpassaddremail, disconnectmanidx, disconnectmanaddr,
    drereadadmins, frereadadmins, drereadmutes, frereadmutes, drereadblocks, frereadblocks,
    drereadrights, frereadrights, drereadmodes, frereadmodes, drereadnotices, frereadnotices,
    drereadintflags, frereadintflags, drereadall, syncintflags,
    memoryreport, dservmanmode, dnetmanmode, flushdata, threads, list, listnet,
    setloglevel, setnetloglevel, disconnectall, disconnectnet, disconnectclient,
    setintflags, clearintflags, getintflags, listintflags, sendhugesound,
    connenable, conndisable, connstatus, talkenable, talkdisable, talkstatus,
    move, movetemp, rightadd, rightdel, rightmark, rightunmark, adminadd, admindel,
    mute, unmute, block, unblock, mutetemp, blocktemp, noticeset, noticeclear,
    dreopenlog, dstop, uptime, logtext, dpid, cmdport,
    getparameter, setparameter, deleteparameter, clearparameter,
    run, debug, help, version, clientid,
};

// Parameter rule of a command. Positions are numbered as on the command line:
// P1 is the command word, P2..P6 its parameters.
inline constexpr uint8_t kRulePos(int aPos) {
    return uint8_t(1u << aPos);
}
enum TQORSVCCommandCheck : uint8_t {
    cchk_None = 0,
    cchk_P2ManagerIndex = 0x01,
    cchk_P2LogLevel = 0x02,
    cchk_P2ManagerMode = 0x04,
    cchk_P2TimeInterval = 0x08,
    cchk_P2ClientIdOrEmail = 0x10,
    cchk_P3LogLevel = 0x20,
};
struct TQORSVCCommandRule {
    uint8_t Required = 0;     // kRulePos bits of positions that must not be empty
    uint8_t RequiredNet = 0;  // those of them that name a network (-n is then an error)
    uint8_t ConfigPos = 0;    // 2..6: position of the optional configuration file; 0: none
    uint8_t Checks = 0;       // TQORSVCCommandCheck bits
    bool Channel = false;     // needs the command channel enabled in the configuration
    bool MayCreate = false;   // a missing configuration file is created empty
    bool NotParsed = false;   // the configuration file is not read into the record
    bool HasRow = false;      // false for the commands without a rule row
};

struct TQORSVCCommandLineOptions {
    std::u16string sclo_Par1, sclo_Par2, sclo_Par3, sclo_Par4, sclo_Par5, sclo_Par6;
    TQORConsoleCharset sclo_Charset = ccs_UNKNOWN;
    bool sclo_TimeOpt = false;
    bool sclo_NetOpt = false;
    bool sclo_ConfigOpt = false;
    bool sclo_ServerId = false;
    char16_t sclo_ListDelimiter = u';';
    bool sclo_Ip = false;
    bool sclo_Email = false;
    bool sclo_Proto = false;
    bool sclo_Flat = false;
    bool sclo_Empty = false;
    bool sclo_ManagerId = false;
    bool sclo_DefaultConfig = false;
    bool sclo_NoPidFile = false;
    bool sclo_DontVerifyDB = false;
    std::u16string sclo_ConfigFileNameU = u"server.ini";
    int32_t sclo_ManagerIndex = 0;
    TQORSystemManagerMode sclo_ManagerMode = smm_Standalone;
    int32_t sclo_LogLevel = 2;
    std::u16string sclo_DataFileNameU;
    std::u16string sclo_NetworkNameU;
    std::u16string sclo_ErrorText;
    int64_t sclo_TimeInterval = 0;  // seconds, at most 2^31 - 1 (what the server takes)
    std::u16string sclo_HeapFileName;

    // P2..P6 by position (2..6); empty for any other position.
    const std::u16string& Par(int aPos) const;
};

// The command of a word, lower-cased in ASCII and compared exactly; none for
// an unknown word.
TQORSVCCommand FindCommandWord(std::u16string_view aWord);
// The rule row of a command; a command without one gets an empty rule.
TQORSVCCommandRule FindCommandRule(TQORSVCCommand aCommand);
// The first word of the command's group ("list" for list, listall, alllist).
std::u16string_view CommandName(TQORSVCCommand aCommand);

// Parses the words after the program's path (aArgs[0] is that path). True:
// aCommand, aRule and aOptions are set and every check passed; no words at
// all is also true, with the command none. False: the command line is wrong;
// sclo_ErrorText holds the failed check's message, or is empty when the
// failure has none. Never raises.
bool ParseCommandLine(const std::vector<std::u16string>& aArgs, int32_t& aArgCount,
                      TQORSVCCommandLineOptions& aOptions, TQORSVCCommand& aCommand,
                      TQORSVCCommandRule& aRule);

namespace cmdwords {
// The checks behind the parser, shared with the tests.
// A decimal 0..7 or a prefix of the level names that only one name matches.
bool ParseLogLevelText(std::u16string_view aText, int32_t& aLevel);
// Letters, digits, "+-._@" and characters above U+0401; "+" and "_" only
// before the one "@"; after it at least one "." and no empty label; the last
// label at least 2 characters.
bool CheckEMailSyntax(std::u16string_view aText);
}  // namespace cmdwords

}  // namespace gax
