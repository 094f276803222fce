#include "control/gax_qor_cmdchannel.h"

#include <algorithm>
#include <limits>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_inifile_utf8.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_connapply.h"
#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_fields.h"
#include "sockets/gax_snps_sockets.h"
#include "sockets/gax_snps_tcpsock.h"
#include "sockets/gax_snps_waiter.h"

namespace gax {

namespace {

struct AnswerInfo {
    std::string_view word;
    int exitCode;
    std::u16string_view message;
};

// In value order; the operators' scripts depend on these exit codes.
constexpr AnswerInfo kAnswers[kChannelAnswerCount] = {
    {"+OK", 0, u"OK"},
    {"", 24, u"No answer"},
    {"", 3, u"Unknown answer"},
    {"-NONET", 25, u"Wrong network"},
    {"", 1, u"Wrong parameter(s)"},
    {"-NOSUPPORT", 20, u"Not supported"},
    {"-NOCLIENT", 27, u"No client online"},
    {"-FAKE", 26, u"Fake"},
    {"-DENIED", 18, u"Operation denied"},
    {"-BUSY", 21, u"Busy"},
    {"-NOTCONNECTED", 19, u"Not connected"},
    {"", 28, u"Answer timed out"},
    {"-NOTADMIN", 18, u"Not admin"},
    {"-NOTOWNER", 18, u"Not owner"},
    {"-NOLIST", 29, u"No clients list mode"},
    {"-ERROR", 3, u"Operation error"},
    {"-NOMANAGER", 30, u"QOR System Manager not found"},
    {"-TOOMANYMANAGERS", 31, u"Found too many QOR System Managers"},
    {"-WRONGTEXT", 32, u"Wrong command parameters or text"},
    {"-WRONGEMAIL", 33, u"Wrong email"},
    {"-NOTREGISTERED", 34, u"Not registered"},
    {"-NOSPEAKER", 36, u"No speaker"},
};

const AnswerInfo& Info(TQORChannelCommandAnswer a) {
    // An out-of-range value (a corrupted byte from a queue record) reads as
    // the unknown answer rather than past the table.
    return a < kChannelAnswerCount ? kAnswers[a] : kAnswers[fsca_Unknown];
}

// One F field: header, the bytes it announces (which must fit), trimmed.
bool ReadRawField(const char*& p, int32_t& remain, const char*& fieldPtr, int32_t& fieldLen) {
    int32_t len;
    if (!ReadHexLen(p, remain, len)) return false;
    fieldPtr = p;
    fieldLen = len;
    p += len;
    remain -= len;
    TrimBlanksRange(fieldPtr, fieldLen);
    return true;
}

// One text field into its three forms. Only text that is valid UTF-8 and
// decodes one sequence per UTF-16 unit is taken: anything looser would let
// two different byte strings stand for the same text.
bool ReadTextField(const char*& p, int32_t& remain, std::u16string& ucs2, std::string& utf8,
                   const char*& ptr, int32_t& len) {
    if (!ReadRawField(p, remain, ptr, len)) return false;
    ucs2.clear();
    utf8.clear();
    if (len == 0) return true;
    const std::string_view bytes(ptr, static_cast<size_t>(len));
    if (!IsValidUtf8Str(bytes)) return false;
    std::u16string text = Utf8BufToUnicodeLenient(ptr, len);
    if (UnicodeUtf8ByteLen(text) != len) return false;
    ucs2 = std::move(text);
    utf8.assign(bytes);
    return true;
}

// Plain decimal digits (no sign, no blanks) of a value not above aMax; an
// empty text reads as 0.
bool DecimalUpTo(std::string_view aDigits, uint64_t aMax, uint64_t& aValue) {
    uint64_t v = 0;
    for (const char c : aDigits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > aMax) return false;
    }
    aValue = v;
    return true;
}

bool ReadUInt32Field(const char*& p, int32_t& remain, const char*& ptr, int32_t& len,
                     uint32_t& value) {
    if (!ReadRawField(p, remain, ptr, len)) return false;
    uint64_t v;
    if (!DecimalUpTo(std::string_view(ptr, static_cast<size_t>(len)),
                     std::numeric_limits<uint32_t>::max(), v))
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Runs aRead on a copy of the cursor and remainder and moves the caller's
// only when every field was read, so a failed decoder leaves them as they were.
template <class Read>
bool ReadAllOrNothing(const char*& aCursor, int32_t& aRemain, Read aRead) {
    const char* p = aCursor;
    int32_t n = aRemain;
    if (!aRead(p, n)) return false;
    aCursor = p;
    aRemain = n;
    return true;
}

}  // namespace

// ------------------------------------------------------------ answers

std::string_view ChannelAnswerWord(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).word;
}

bool FindChannelAnswerWord(std::string_view aText, TQORChannelCommandAnswer& aAnswer) {
    for (int i = 0; i < kChannelAnswerCount; ++i) {
        if (!kAnswers[i].word.empty() && kAnswers[i].word == aText) {
            aAnswer = static_cast<TQORChannelCommandAnswer>(i);
            return true;
        }
    }
    return false;
}

int ChannelAnswerExitCode(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).exitCode;
}

std::u16string_view ChannelAnswerMessage(TQORChannelCommandAnswer aAnswer) {
    return Info(aAnswer).message;
}

std::string ChannelAnswerLine(TQORChannelCommandAnswer aAnswer) {
    const std::string_view w = ChannelAnswerWord(aAnswer);
    if (w.empty()) return {};
    std::string s(w);
    s += "\r\n";
    return s;
}

// ------------------------------------------------------------ console output

std::u16string ConsoleCharsetName(TQORConsoleCharset aConsoleCharset, std::u16string_view aName) {
    switch (aConsoleCharset) {
        case ccs_UTF8:
            return u"UTF-8";
        case ccs_ANSI:
            return ByteStrToUnicode(DefaultAnsiCharsetName());
        case ccs_OEM:
            return ByteStrToUnicode(DefaultOemCharsetName());
        default:
            return std::u16string(aName);
    }
}

int ChannelOutcomeExitCode(int aSocketError, TQORChannelCommandAnswer aAnswer) {
    return aSocketError != 0 ? 16 : ChannelAnswerExitCode(aAnswer);
}

std::u16string ChannelOutcomeText(int aSocketError, TQORChannelCommandAnswer aAnswer,
                                  std::u16string_view aTitle) {
    if (aSocketError == 0 && aAnswer == fsca_OK) return {};
    std::u16string line(aTitle);
    line += u": ";
    if (aSocketError != 0)
        line += FormatSocketSysError(aSocketError);
    else
        line += ChannelAnswerMessage(aAnswer);
    return line;
}

int PrintChannelOutcome(int aSocketError, TQORChannelCommandAnswer aAnswer,
                        std::u16string_view aTitle, std::u16string_view aCharsetName,
                        const TCharsetsCodeList* aCodeList, std::FILE* aOut) {
    const std::u16string line = ChannelOutcomeText(aSocketError, aAnswer, aTitle);
    if (!line.empty()) {
        TAnsiUnicodeConverter conv;
        try {
            if (aCodeList != nullptr && aCodeList->Count() > 0) conv.SetCharsetsCodeList(aCodeList);
            conv.SetCharsetName(aCharsetName);
        } catch (const Exception&) {
            // The converter is left on the default set; see the header.
        }
        std::string bytes = conv.UnicodeToAnsi(line);
        bytes += "\r\n";
        std::fwrite(bytes.data(), 1, bytes.size(), aOut);
        std::fflush(aOut);
    }
    return ChannelOutcomeExitCode(aSocketError, aAnswer);
}

// ------------------------------------------------------------ server-side decoders

bool ParseCommandStr(const char*& aCursor, int32_t& aRemain, TCommandParse_Str& aRec) {
    return ReadAllOrNothing(aCursor, aRemain, [&aRec](const char*& p, int32_t& n) {
        return ReadTextField(p, n, aRec.cpn_Str1UCS2, aRec.cpn_Str1UTF8, aRec.cpn_str1_ptr,
                             aRec.cpn_str1_len);
    });
}

bool ParseCommandStrStr(const char*& aCursor, int32_t& aRemain, TCommandParse_StrStr& aRec) {
    return ReadAllOrNothing(aCursor, aRemain, [&aRec](const char*& p, int32_t& n) {
        return ReadTextField(p, n, aRec.cpne_Str1UCS2, aRec.cpne_Str1UTF8, aRec.cpne_str1_ptr,
                             aRec.cpne_str1_len) &&
               ReadTextField(p, n, aRec.cpne_Str2UCS2, aRec.cpne_Str2UTF8, aRec.cpne_str2_ptr,
                             aRec.cpne_str2_len);
    });
}

bool ParseCommandStrUInt32Str(const char*& aCursor, int32_t& aRemain,
                              TCommandParse_StrUInt32Str& aRec) {
    aRec.cpntc_UInt32 = 0;
    return ReadAllOrNothing(aCursor, aRemain, [&aRec](const char*& p, int32_t& n) {
        return ReadTextField(p, n, aRec.cpntc_Str1UCS2, aRec.cpntc_Str1UTF8, aRec.cpntc_str1_ptr,
                             aRec.cpntc_str1_len) &&
               ReadUInt32Field(p, n, aRec.cpntc_int32_ptr, aRec.cpntc_int32_len,
                               aRec.cpntc_UInt32) &&
               ReadTextField(p, n, aRec.cpntc_Str2UCS2, aRec.cpntc_Str2UTF8, aRec.cpntc_str2_ptr,
                             aRec.cpntc_str2_len);
    });
}

bool ParseCommandStrStrStrInt32(const char*& aCursor, int32_t& aRemain,
                                TCommandParse_StrStrStrInt32& aRec) {
    return ReadAllOrNothing(aCursor, aRemain, [&aRec](const char*& p, int32_t& n) {
        if (!ReadTextField(p, n, aRec.cpcnn_Str1UCS2, aRec.cpcnn_Str1UTF8, aRec.cpcnn_str1_ptr,
                           aRec.cpcnn_str1_len) ||
            !ReadTextField(p, n, aRec.cpcnn_Str2UCS2, aRec.cpcnn_Str2UTF8, aRec.cpcnn_str2_ptr,
                           aRec.cpcnn_str2_len) ||
            !ReadTextField(p, n, aRec.cpcnn_Str3UCS2, aRec.cpcnn_Str3UTF8, aRec.cpcnn_str3_ptr,
                           aRec.cpcnn_str3_len))
            return false;
        aRec.cpcnn_int32 = 0;
        if (n < 2) return true;
        uint32_t v;
        if (!ReadHexLenInt(p, n, v)) return false;
        // A count of seconds beyond the signed range would turn negative
        // and read as "no time limit": refuse it instead.
        if (v > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return false;
        aRec.cpcnn_int32 = static_cast<int32_t>(v);
        return true;
    });
}

// ------------------------------------------------------------ communicator

namespace {

constexpr TGaxTick32 kCmdConnectTimeout = 3000;
constexpr TGaxTick32 kCmdReadTimeout = 2000;
constexpr TGaxTick32 kCmdWriteTimeout = 2000;
// A list answer longer than this is no answer of ours; the bound also keeps
// a hostile count from reserving memory.
constexpr int64_t kMaxListLines = 1000000;
// Each announced line extends the list's deadline by this much.
constexpr int64_t kPerLineMs = 10;
// Far above any answer line the server writes; a peer that streams bytes
// without a line end is cut off here instead of filling memory.
constexpr int32_t kMaxAnswerLineLength = 1 << 20;
// All lines of one list together. The longest list the server writes (a
// client list at the largest line count) stays far below this; without it a
// hostile peer could send the full line count at the full line length.
constexpr int64_t kMaxListBytes = int64_t{256} << 20;

// "+N" with N a decimal count in range.
bool ParseListCount(std::string_view digits, int64_t& count) {
    uint64_t n;
    if (digits.empty() || !DecimalUpTo(digits, kMaxListLines, n)) return false;
    count = static_cast<int64_t>(n);
    return true;
}

}  // namespace

TQORCommandCommunicator::TQORCommandCommunicator(const TQORCommandChannelParams& aSetup)
    : f_Port(aSetup.cfg_CmdPort),
      f_Syna(std::make_unique<TTCPBlockSocket>()),
      f_Waiter(std::make_unique<TWaiter2Socket>(1)),
      f_PreferIPv4(aSetup.cfg_CmdPreferIPV4),
      f_ListenerIPVersion(aSetup.cfg_CmdIPVersion) {
    f_cp.ServerConnectTimeoutTicks = kCmdConnectTimeout;
    f_cp.ProxyConnectTimeoutTicks = kCmdConnectTimeout;
    f_cp.ReadTimeoutTicks = kCmdReadTimeout;
    f_cp.WriteTimeoutTicks = kCmdWriteTimeout;
    f_cp.ProxyType = QOR_PROXY_TYPE_NONE;
    switch (f_ListenerIPVersion) {
        case ipver_4:
            f_cp.PreferIPv4 = true;
            break;
        case ipver_6:
            f_cp.PreferIPv4 = false;
            break;
        default:
            f_cp.PreferIPv4 = f_PreferIPv4;
            break;
    }
}

TQORCommandCommunicator::~TQORCommandCommunicator() {
    // The socket's hooks point back here; none may run while we go.
    f_Syna->OnExtSocketCreated = nullptr;
    f_Syna->OnExtCanConnect = nullptr;
    f_Syna->OnExtCanWrite = nullptr;
    f_Syna->OnExtCanRead = nullptr;
    if (f_Resource != nullptr) f_Waiter->UnregisterResource(f_Resource);
    f_Resource = nullptr;
    f_Syna->CloseSocket();
}

bool TQORCommandCommunicator::WaitSocket(uint8_t aWaitFlags, uint32_t aTimeout, int& aError) {
    if (f_Resource == nullptr) {
        aError = plat::kSockErrNotSocket;
        return false;
    }
    f_Waiter->SetWaitMode(f_Resource, aWaitFlags);
    TWaiter2WaitParams wp;
    wp.w2wp_TimeoutTicks =
        aTimeout == WAITER_INFINITE ? WAITER_INFINITE : std::min(aTimeout, WAITER_MAX_TIMEOUT);
    switch (f_Waiter->WaitForHandler(wp)) {
        case wr_Descriptor:
            aError = 0;
            return true;
        case wr_Timeout:
            aError = plat::kSockErrTimedOut;
            return false;
        case wr_Interrupt:
            aError = plat::kSockErrInterrupted;
            return false;
        case wr_Error:
            aError = f_Waiter->LastWaitErrorCode();
            if (aError == 0) aError = plat::kSockErrInvalidArg;
            return false;
    }
    aError = plat::kSockErrInvalidArg;
    return false;
}

int TQORCommandCommunicator::ConnectAndSend(std::string_view aCommandText) {
    TTCPBlockSocket& s = *f_Syna;
    ApplyConnectionParams(s, f_cp);
    s.OnExtSocketCreated = [this](TBlockSocket*, TSocket h) {
        if (f_Resource != nullptr) f_Waiter->UnregisterResource(f_Resource);
        f_Resource = f_Waiter->RegisterResource(this, h);
    };
    s.OnExtCanConnect = [this](TBlockSocket*, uint32_t t, int& err) {
        return WaitSocket(wf_Write, t, err);
    };
    s.OnExtCanWrite = s.OnExtCanConnect;
    s.OnExtCanRead = [this](TBlockSocket*, uint32_t t, int& err) {
        return WaitSocket(wf_Read, t, err);
    };
    s.SetRaiseExcept(false);
    s.SetMaxLineLength(kMaxAnswerLineLength);
    // The time limit holds for the whole line, not for each piece of it.
    s.SetInterPacketTimeout(false);
    s.Reuse(true);
    s.SetTcpNoDelay(true);
    s.ResetLastError();
    s.SetNonBlockMode(false);

    s.Connect(u"localhost", IntToDecStrW(f_Port));
    if (s.LastError() == 0) s.SendString(aCommandText);
    const int err = s.LastError();
    if (err != 0) s.CloseSocket();
    return err;
}

int TQORCommandCommunicator::SendCommandAndGetAnswer(std::string_view aCommandText,
                                                     TQORChannelCommandAnswer& aAnswer) {
    aAnswer = fsca_NoAnswer;
    if (const int err = ConnectAndSend(aCommandText); err != 0) return err;
    TTCPBlockSocket& s = *f_Syna;
    const std::string line = s.RecvString(static_cast<int>(f_cp.ReadTimeoutTicks));
    if (const int err = s.LastError(); err != 0) {
        s.CloseSocket();
        return err;
    }
    const std::string_view t = TrimBlanksViewA(line);
    if (t.empty())
        aAnswer = fsca_NoAnswer;
    else if (t.front() == '+')
        aAnswer = fsca_OK;
    else if (!FindChannelAnswerWord(t, aAnswer))
        aAnswer = fsca_Unknown;
    s.CloseSocket();
    return 0;
}

int TQORCommandCommunicator::SendCommandAndGetAnswerList(std::string_view aCommandText,
                                                         TQORChannelCommandAnswer& aAnswer,
                                                         TQORChannelCommandAnswerList& aList) {
    aAnswer = fsca_NoAnswer;
    aList.clear();
    if (const int err = ConnectAndSend(aCommandText); err != 0) return err;
    TTCPBlockSocket& s = *f_Syna;
    const int64_t readTimeout = f_cp.ReadTimeoutTicks;
    const std::string first = s.RecvString(static_cast<int>(readTimeout));
    int err = s.LastError();
    if (err == 0) {
        const std::string_view t = TrimBlanksViewA(first);
        int64_t count = 0;
        if (t.empty()) {
            aAnswer = fsca_NoAnswer;
        } else if (t.front() == '-') {
            if (!FindChannelAnswerWord(t, aAnswer)) aAnswer = fsca_Unknown;
        } else if (t.front() != '+' || !ParseListCount(t.substr(1), count)) {
            aAnswer = fsca_Unknown;
        } else if (count == 0) {
            aAnswer = fsca_OK;
        } else {
            // 64-bit ticks: the deadline of a long list must not wrap.
            const int64_t start = GetTick32();
            const int64_t deadline = start + readTimeout + count * kPerLineMs;
            aAnswer = fsca_OK;
            int64_t budget = kMaxListBytes;
            for (int64_t i = 0; i < count; ++i) {
                const int64_t now = start + TickDiff32(static_cast<TGaxTick32>(start), GetTick32());
                const int64_t left = deadline - now;
                if (left <= 0) {
                    aAnswer = fsca_AnswerTimeout;
                    aList.clear();
                    break;
                }
                // A line longer than what is left of the list's budget fails
                // like an endless one.
                s.SetMaxLineLength(
                    static_cast<int32_t>(std::clamp<int64_t>(budget, 1, kMaxAnswerLineLength)));
                // One line never waits longer than a single answer would: a
                // server that announces a long list and goes silent must not
                // hold the console for the whole list's allowance.
                std::string line = s.RecvString(
                    static_cast<int>(std::min<int64_t>({left, readTimeout, WAITER_MAX_TIMEOUT})));
                err = s.LastError();
                if (err == 0 && static_cast<int64_t>(line.size()) > budget)
                    err = plat::kSockErrNoBuffers;
                if (err != 0) {
                    aList.clear();
                    aList.shrink_to_fit();
                    break;
                }
                budget -= static_cast<int64_t>(line.size());
                aList.push_back(std::move(line));
            }
        }
    }
    s.CloseSocket();
    return err;
}

int ChannelSendCommand(const TQORCommandChannelParams& aSetup, std::string_view aCommandText,
                       TQORChannelCommandAnswer& aAnswer) {
    TQORCommandCommunicator c(aSetup);
    return c.SendCommandAndGetAnswer(aCommandText, aAnswer);
}

int ChannelSendCommandList(const TQORCommandChannelParams& aSetup, std::string_view aCommandText,
                           TQORChannelCommandAnswer& aAnswer, TQORChannelCommandAnswerList& aList) {
    TQORCommandCommunicator c(aSetup);
    return c.SendCommandAndGetAnswerList(aCommandText, aAnswer, aList);
}

}  // namespace gax
