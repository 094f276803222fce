// The local command channel: the answer vocabulary with exit codes and
// messages, the console's outcome printer, the decoders that read request
// arguments on the server side, the [Command] settings and the client-side
// communicator that carries one request per connection.
// Everything here is stateless or owned by the one thread that uses it: the
// communicator by the console program's main thread, the decoders' records by
// the worker that handles the request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_mlang.h"
#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_cmdchannel_params.h"

namespace gax {

class TIniFileUTF8;

// ------------------------------------------------------------ answers

// Outcome of one request. Four values (NoAnswer, Unknown, InvalidParameter,
// AnswerTimeout) have no answer word and are never sent by the server.
enum TQORChannelCommandAnswer : uint8_t {
    fsca_OK = 0,
    fsca_NoAnswer,
    fsca_Unknown,
    fsca_NoNetwork,
    fsca_InvalidParameter,
    fsca_NotSupported,
    fsca_NoClientOnline,
    fsca_Fake,
    fsca_Denied,
    fsca_Busy,
    fsca_NotConnectedToServer,
    fsca_AnswerTimeout,
    fsca_NotAdmin,
    fsca_NotOwner,
    fsca_NoListMode,
    fsca_OperationError,
    fsca_NoManager,
    fsca_TooManyManagers,
    fsca_WrongText,
    fsca_WrongEmail,
    fsca_NotRegistered,
    fsca_NoSpeaker,
};
inline constexpr int kChannelAnswerCount = 22;

// The lines of a list answer, without their CR LF.
using TQORChannelCommandAnswerList = std::vector<std::string>;

// The word on the wire ("+OK", "-NONET", ...), empty for the four without one.
std::string_view ChannelAnswerWord(TQORChannelCommandAnswer aAnswer);
// Exact, case-sensitive match against the 22 words in value order.
bool FindChannelAnswerWord(std::string_view aText, TQORChannelCommandAnswer& aAnswer);
int ChannelAnswerExitCode(TQORChannelCommandAnswer aAnswer);
std::u16string_view ChannelAnswerMessage(TQORChannelCommandAnswer aAnswer);
// The word and CR LF as the server writes it; empty for the four without a word.
std::string ChannelAnswerLine(TQORChannelCommandAnswer aAnswer);

// ------------------------------------------------------------ console output

// Console character set chosen on the command line.
enum TQORConsoleCharset : uint8_t { ccs_UNKNOWN = 0, ccs_UTF8 = 1, ccs_ANSI = 2, ccs_OEM = 3 };

std::u16string ConsoleCharsetName(TQORConsoleCharset aConsoleCharset, std::u16string_view aName);

// The exit code of an outcome: 16 for any socket error, else the answer's code.
int ChannelOutcomeExitCode(int aSocketError, TQORChannelCommandAnswer aAnswer);
// The line the console prints for an outcome (title, ": ", the socket error
// or the answer's message), empty for success.
std::u16string ChannelOutcomeText(int aSocketError, TQORChannelCommandAnswer aAnswer,
                                  std::u16string_view aTitle);
// Prints ChannelOutcomeText in the named character set with CR LF to aOut
// (standard error by default) and flushes it; returns the exit code. A name
// the list does not know prints in the default 8-bit set rather than failing,
// since the outcome must reach the operator either way.
int PrintChannelOutcome(int aSocketError, TQORChannelCommandAnswer aAnswer,
                        std::u16string_view aTitle, std::u16string_view aCharsetName,
                        const TCharsetsCodeList* aCodeList, std::FILE* aOut = stderr);

// ------------------------------------------------------------ server-side decoders

// Each text field is kept three ways: as UTF-16 text, as its UTF-8 bytes
// (trimmed of bytes up to 32), and as a span into the request line.
struct TCommandParse_Str {
    std::u16string cpn_Str1UCS2;
    std::string cpn_Str1UTF8;
    const char* cpn_str1_ptr = nullptr;
    int32_t cpn_str1_len = 0;
};

struct TCommandParse_StrStr {
    std::u16string cpne_Str1UCS2, cpne_Str2UCS2;
    std::string cpne_Str1UTF8, cpne_Str2UTF8;
    const char* cpne_str1_ptr = nullptr;
    const char* cpne_str2_ptr = nullptr;
    int32_t cpne_str1_len = 0;
    int32_t cpne_str2_len = 0;
};

struct TCommandParse_StrUInt32Str {
    std::u16string cpntc_Str1UCS2, cpntc_Str2UCS2;
    std::string cpntc_Str1UTF8, cpntc_Str2UTF8;
    const char* cpntc_str1_ptr = nullptr;
    const char* cpntc_int32_ptr = nullptr;
    const char* cpntc_str2_ptr = nullptr;
    int32_t cpntc_str1_len = 0;
    int32_t cpntc_int32_len = 0;
    int32_t cpntc_str2_len = 0;
    uint32_t cpntc_UInt32 = 0;
};

struct TCommandParse_StrStrStrInt32 {
    std::u16string cpcnn_Str1UCS2, cpcnn_Str2UCS2, cpcnn_Str3UCS2;
    std::string cpcnn_Str1UTF8, cpcnn_Str2UTF8, cpcnn_Str3UTF8;
    const char* cpcnn_str1_ptr = nullptr;
    const char* cpcnn_str2_ptr = nullptr;
    const char* cpcnn_str3_ptr = nullptr;
    int32_t cpcnn_str1_len = 0;
    int32_t cpcnn_str2_len = 0;
    int32_t cpcnn_str3_len = 0;
    int32_t cpcnn_int32 = 0;
};

// Each reads its hex-length fields from aCursor (aRemain bytes left) and
// moves past them. A field that does not fit, bytes that are not valid UTF-8
// (or that hold a character beyond 16 bits) make it fail, leaving cursor and
// remainder as they were. What follows the last field is the caller's to check.
bool ParseCommandStr(const char*& aCursor, int32_t& aRemain, TCommandParse_Str& aRec);
bool ParseCommandStrStr(const char*& aCursor, int32_t& aRemain, TCommandParse_StrStr& aRec);
// Text, decimal number (empty gives 0; must fit 32 bits unsigned), text.
bool ParseCommandStrUInt32Str(const char*& aCursor, int32_t& aRemain,
                              TCommandParse_StrUInt32Str& aRec);
// Three texts, then, when at least 2 bytes are left, a number in integer
// header form, which must fit a signed 32-bit value.
bool ParseCommandStrStrStrInt32(const char*& aCursor, int32_t& aRemain,
                                TCommandParse_StrStrStrInt32& aRec);

// ------------------------------------------------------------ communicator

class TTCPBlockSocket;
class TWaiter2Socket;
struct TWaiter2Resource;

// The client side of one exchange with a running server over the loopback
// address. One communicator carries one request: create, exchange, destroy.
class TQORCommandCommunicator {
  public:
    explicit TQORCommandCommunicator(const TQORCommandChannelParams& aSetup);
    ~TQORCommandCommunicator();
    TQORCommandCommunicator(const TQORCommandCommunicator&) = delete;
    TQORCommandCommunicator& operator=(const TQORCommandCommunicator&) = delete;

    // Sends aCommandText (a request line with its CR LF) and reads one answer
    // line. Returns 0 with aAnswer set, or the socket error code.
    int SendCommandAndGetAnswer(std::string_view aCommandText, TQORChannelCommandAnswer& aAnswer);
    // The same for a list answer: "+N" and N lines. A count above 1,000,000
    // is an unknown answer; a list not complete in time, or larger in all
    // than any list the server writes (10055), is emptied.
    int SendCommandAndGetAnswerList(std::string_view aCommandText,
                                    TQORChannelCommandAnswer& aAnswer,
                                    TQORChannelCommandAnswerList& aList);

  private:
    // Connects and sends; 0 or the socket error (the socket is then closed).
    int ConnectAndSend(std::string_view aCommandText);
    bool WaitSocket(uint8_t aWaitFlags, uint32_t aTimeout, int& aError);

    TQORConnectionParams f_cp;
    int32_t f_Port;
    std::unique_ptr<TTCPBlockSocket> f_Syna;
    std::unique_ptr<TWaiter2Socket> f_Waiter;
    TWaiter2Resource* f_Resource = nullptr;
    bool f_PreferIPv4;
    TSynapseListenerIPVersions f_ListenerIPVersion;
};

// One connection per request.
int ChannelSendCommand(const TQORCommandChannelParams& aSetup, std::string_view aCommandText,
                       TQORChannelCommandAnswer& aAnswer);
int ChannelSendCommandList(const TQORCommandChannelParams& aSetup, std::string_view aCommandText,
                           TQORChannelCommandAnswer& aAnswer, TQORChannelCommandAnswerList& aList);

}  // namespace gax
