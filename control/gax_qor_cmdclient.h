// The console's side of the command channel: the request line each command
// word sends, the title its failures are reported under, and the printers of
// list answers (plain lines, the worker-thread counts and the formatted
// client list). The answers come from a server that may be damaged or
// hostile, so every reader here checks every length before it uses it.
// Runs on the console program's main thread; keeps no state between calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "control/gax_qor_cmdchannel.h"
#include "control/gax_qor_cmdwords.h"
#include "protocol/gax_qor_connparams.h"

namespace gax {

class TAnsiUnicodeConverter;
class TCharsetsCodeList;

// What is printed on standard output when a list answer arrives.
enum TQORChannelPrint : uint8_t {
    cpr_None = 0,
    cpr_LinesSystem,   // the lines in the configuration's system character set
    cpr_LinesConsole,  // the lines in the console character set
    cpr_Threads,       // "Working thread #i: n connection(s)"
    cpr_ClientList,    // the formatted client list
};

struct TQORChannelRequest {
    std::string Line;  // the request with its CR LF
    bool List = false;  // a list exchange ("+N" and N lines) rather than one answer line
    std::u16string Title;
    TQORChannelPrint Print = cpr_None;
};

// The request of a command-channel command; false for any other command.
// REQUIRES: aOptions passed ParseCommandLine for aCommand (its checks filled
// the index, level, mode and seconds read here).
bool BuildChannelRequest(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& aOptions,
                         TQORChannelRequest& aRequest);

// Decodes one item line of a client list. Raises Exception with "Data is too
// short", "Invalid status", "Invalid TLV" or "Invalid format client line".
// Texts of a non-UTF-8 item go through aConverter when one is given, else
// each byte becomes the unit of the same value.
void ParseClientListItem(std::string_view aLine, TQORClientRec& aRec,
                         const TAnsiUnicodeConverter* aConverter);

// Appends the formatted client list to aOut (lines in the console character
// set aConsoleCharset, CR LF). Returns 0, or 3 with aError set when the
// answer is malformed: what came before the fault stays in aOut.
int FormatClientList(const TQORChannelCommandAnswerList& aList,
                     const TQORSVCCommandLineOptions& aOptions,
                     std::u16string_view aConsoleCharset, const TCharsetsCodeList* aCodeList,
                     std::string& aOut, std::u16string& aError);
// Each line decoded as UTF-8 and written in the named character set, CR LF.
std::string FormatAnswerLines(const TQORChannelCommandAnswerList& aList,
                              const TCharsetsCodeList* aCodeList, std::u16string_view aCharsetName);
std::string FormatThreadsList(const TQORChannelCommandAnswerList& aList);

// Where a channel command prints and which character sets it uses.
struct TQORConsoleOutput {
    std::FILE* Out = stdout;
    std::FILE* Err = stderr;
    const TCharsetsCodeList* CodeList = nullptr;  // not owned
    std::u16string ConsoleCharset;                // chosen by -u, -a, -o or the configuration
    std::u16string SystemCharset;                 // the configuration's SystemCharsetName
};

// Sends the command's request over the channel of aChannel, prints the
// outcome (standard error) and the answer (standard output) and returns the
// exit code.
// REQUIRES: BuildChannelRequest accepts aCommand.
int RunChannelCommand(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& aOptions,
                      const TQORCommandChannelParams& aChannel, const TQORConsoleOutput& aOutput);

}  // namespace gax
