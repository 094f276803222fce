// Request decoding of the command channel: pure, so the fuzz target and the
// tests drive it without a server.
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/gax_ansi_unicode_converter.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "control/gax_qor_svc_command.h"
#include "server/gax_qor_svc_intflags.h"

namespace gax {
namespace {

using R = TQORCmdDecodeResult;

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
    return s;
}

// A trimmed decimal text within [aMin, aMax]; no sign, no other byte.
bool ParseDecimal(std::string_view aText, int64_t aMin, int64_t aMax, int32_t& aOut) {
    const std::string_view s = TrimBlanks(aText);
    if (s.empty() || s.size() > 10) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < aMin || v > aMax) return false;
    aOut = static_cast<int32_t>(v);
    return true;
}

// A client is named by its id or by its e-mail, which becomes the id.
std::string ClientIdOf(const std::string& aText) {
    return IsValidSourceIdStr(aText) ? aText : MakeSourceId(aText);
}

// The rest of the line is exactly one byte of aAllowed.
bool OneByteOf(const char* aCur, int32_t aRem, std::string_view aAllowed, char& aByte) {
    if (aRem != 1 || aAllowed.find(aCur[0]) == std::string_view::npos) return false;
    aByte = aCur[0];
    return true;
}

// "00".."03" at the cursor; aExact: nothing may follow.
bool ModeDigits(const char* aCur, int32_t aRem, bool aExact, int32_t& aMode) {
    if (aRem < 2 || (aExact && aRem != 2)) return false;
    if (aCur[0] != '0' || aCur[1] < '0' || aCur[1] > '3') return false;
    aMode = aCur[1] - '0';
    return true;
}

bool StartsWith00(const char* aCur, int32_t aRem) {
    return aRem >= 2 && aCur[0] == '0' && aCur[1] == '0';
}

// One field of length 0 ("00"): what the argument-less requests carry.
bool EmptyField(const char* aCur, int32_t aRem) {
    TCommandParse_Str f;
    return ParseCommandStr(aCur, aRem, f) && f.cpn_str1_len == 0;
}

R Refuse(TQORCmdRequest& aReq, TQORChannelCommandAnswer aWord = fsca_NoAnswer) {
    aReq.Word = aWord;
    return R::Refuse;
}

R DecodeArgs(char aCode, const char* cur, int32_t rem, TQORCmdRequest& q) {
    switch (aCode) {
        case '1':
        case 'd': {
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            if (!ParseDecimal(f.cpne_Str1UTF8, 0, 3, q.Num1)) return Refuse(q);
            q.Text1 = f.cpne_Str2UTF8;
            if (aCode == 'd' && q.Text1.empty()) return Refuse(q);
            return R::Request;
        }
        case '2': {
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            if (f.cpne_Str1UTF8.empty() || f.cpne_Str2UTF8.empty()) return Refuse(q);
            q.Text1 = f.cpne_Str1UTF8;
            q.Text2 = f.cpne_Str2UTF8;
            return R::Request;
        }
        case 'c': {
            TCommandParse_StrStrStrInt32 f;
            if (!ParseCommandStrStrStrInt32(cur, rem, f)) return Refuse(q);
            if (f.cpcnn_Str1UTF8.empty() || f.cpcnn_Str2UTF8.empty() || f.cpcnn_Str3UTF8.empty())
                return Refuse(q);
            q.Text1 = f.cpcnn_Str1UTF8;  // address
            q.Net1 = f.cpcnn_Str2UTF8;   // e-mail (kept apart from the password)
            q.Text2 = f.cpcnn_Str3UTF8;  // password
            return R::Request;
        }
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case 't': {
            TCommandParse_Str f;
            if (!ParseCommandStr(cur, rem, f)) return Refuse(q);
            if (aCode >= '5' && aCode <= '8' && rem != 0) return Refuse(q);
            q.Text1 = f.cpn_Str1UTF8;
            q.Text1U = f.cpn_Str1UCS2;
            return R::Request;
        }
        case '9':
        case 'A':
        case 'B':
            return EmptyField(cur, rem) ? R::Request : Refuse(q);
        case 'M':
            return EmptyField(cur, rem) ? Refuse(q, fsca_NotSupported) : Refuse(q);
        case 'C': {
            if (rem == 2 && cur[0] == '0' && cur[1] == '0') {
                q.Sub = 0;
                return R::Request;
            }
            TCommandParse_Str f;
            if (!ParseCommandStr(cur, rem, f)) return Refuse(q);
            q.Sub = 1;
            q.Net1 = f.cpn_Str1UTF8;
            q.Net1U = f.cpn_Str1UCS2;
            return R::Request;
        }
        case 'D':
        case 'E': {
            TCommandParse_StrUInt32Str f;
            if (!ParseCommandStrUInt32Str(cur, rem, f)) return Refuse(q);
            char b = 0;
            if (f.cpntc_Str1UTF8.empty() || f.cpntc_Str2UTF8.empty() || !OneByteOf(cur, rem, "01", b))
                return Refuse(q);
            if (f.cpntc_UInt32 > static_cast<uint32_t>(INT32_MAX)) return Refuse(q);
            q.Net1 = f.cpntc_Str1UTF8;
            q.Net1U = f.cpntc_Str1UCS2;
            q.Num1 = static_cast<int32_t>(f.cpntc_UInt32);
            q.ClientId = ClientIdOf(f.cpntc_Str2UTF8);
            q.Flag = b == '1';
            return R::Request;
        }
        case 'F':
        case 'G':
        case 'H': {
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            char b = 0;
            if (f.cpne_Str1UTF8.empty() || f.cpne_Str2UTF8.empty() || !OneByteOf(cur, rem, "01", b))
                return Refuse(q);
            q.Net1 = f.cpne_Str1UTF8;
            q.Net1U = f.cpne_Str1UCS2;
            if (aCode == 'F')
                q.ClientId = ClientIdOf(f.cpne_Str2UTF8);
            else
                q.Text1 = f.cpne_Str2UTF8;
            q.Flag = b == '1';
            return R::Request;
        }
        case 'I': {
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            if (f.cpne_Str1UTF8.empty() || f.cpne_Str2UTF8.empty()) return Refuse(q);
            q.Net1 = f.cpne_Str1UTF8;
            q.Net1U = f.cpne_Str1UCS2;
            q.Text1 = f.cpne_Str2UTF8;
            q.Text1U = f.cpne_Str2UCS2;
            return R::Request;
        }
        case 'J':
        case 'K':
        case 'L':
        case 'O': {
            TCommandParse_Str f;
            if (!ParseCommandStr(cur, rem, f) || f.cpn_Str1UTF8.empty()) return Refuse(q);
            q.Net1 = f.cpn_Str1UTF8;
            q.Net1U = f.cpn_Str1UCS2;
            if (aCode == 'K' || aCode == 'L') {
                char b = 0;
                if (!OneByteOf(cur, rem, "01?", b)) return Refuse(q);
                q.Num1 = b == '?' ? -1 : b - '0';
            } else if (aCode == 'O') {
                if (!ModeDigits(cur, rem, true, q.Num1)) return Refuse(q);
            }
            return R::Request;
        }
        case 'N':
            return ModeDigits(cur, rem, false, q.Num1) ? R::Request : Refuse(q);
        case 'P':
        case 'Q':
        case 'R':
        case 'X':
        case 'r':
            return StartsWith00(cur, rem) ? R::Request : Refuse(q);
        case 'S': {
            TCommandParse_StrStrStrInt32 f;
            if (!ParseCommandStrStrStrInt32(cur, rem, f) || rem != 0) return Refuse(q);
            if (f.cpcnn_Str1UTF8.empty() || f.cpcnn_Str2UTF8.empty() || f.cpcnn_Str3UTF8.empty())
                return Refuse(q);
            // The console names the client by its id, as for every other
            // client command; an e-mail is taken too and turned into the id.
            if (f.cpcnn_int32 < 0) return Refuse(q);
            q.ClientId = ClientIdOf(f.cpcnn_Str1UTF8);
            q.Net1 = f.cpcnn_Str2UTF8;
            q.Net1U = f.cpcnn_Str2UCS2;
            q.Net2 = f.cpcnn_Str3UTF8;
            q.Net2U = f.cpcnn_Str3UCS2;
            q.Num1 = f.cpcnn_int32;
            return R::Request;
        }
        case 'T': {
            if (rem <= 3) return Refuse(q);
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            const bool net = !f.cpne_Str1UTF8.empty();
            const bool client = !f.cpne_Str2UTF8.empty();
            if (client && !net) return Refuse(q);
            q.Sub = !net ? 0 : (client ? 2 : 1);
            q.Net1 = f.cpne_Str1UTF8;
            q.Net1U = f.cpne_Str1UCS2;
            if (client) q.ClientId = ClientIdOf(f.cpne_Str2UTF8);
            return R::Request;
        }
        case 'W': {
            if (rem < 2) return Refuse(q);
            TCommandParse_Str f;
            if (!ParseCommandStr(cur, rem, f)) return Refuse(q);
            q.Text1U = f.cpn_Str1UCS2;
            return R::Request;
        }
        case 'Y':
            if (rem != 2 || cur[0] != '0' || cur[1] < '0' || cur[1] > '3') return Refuse(q);
            q.Num1 = cur[1] - '0';
            return R::Request;
        case 'Z': {
            if (rem <= 5) return Refuse(q);
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            // Port 0 stands for any port: the console has no way to name one.
            if (f.cpne_Str1UTF8.empty() || !ParseDecimal(f.cpne_Str2UTF8, 0, 65535, q.Num1))
                return Refuse(q);
            q.Text1 = f.cpne_Str1UTF8;
            return R::Request;
        }
        case 'b': {
            if (rem <= 3) return Refuse(q);
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            if (!ParseDecimal(f.cpne_Str2UTF8, 0, 7, q.Num1)) return Refuse(q);
            q.Net1 = f.cpne_Str1UTF8;
            q.Net1U = f.cpne_Str1UCS2;
            return R::Request;
        }
        case 'i': {
            int32_t sub = 0;
            if (rem < 2 || cur[0] != '0' || cur[1] < '0' || cur[1] > '3') return Refuse(q);
            sub = cur[1] - '0';
            cur += 2;
            rem -= 2;
            q.Sub = sub;
            if (sub == 3) return R::Request;
            if (sub == 2) {
                if (rem <= 3) return Refuse(q);
                TCommandParse_StrStr f;
                if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
                if (f.cpne_Str1UTF8.empty() || f.cpne_Str2UTF8.empty()) return Refuse(q);
                q.ClientId = ClientIdOf(f.cpne_Str1UTF8);
                q.Net1 = f.cpne_Str2UTF8;
                q.Net1U = f.cpne_Str2UCS2;
                return R::Request;
            }
            if (rem < 6) return Refuse(q);
            TCommandParse_StrStrStrInt32 f;
            if (!ParseCommandStrStrStrInt32(cur, rem, f) || rem != 0) return Refuse(q);
            if (f.cpcnn_Str1UTF8.empty() || f.cpcnn_Str2UTF8.empty() || f.cpcnn_Str3UTF8.empty())
                return Refuse(q);
            TQORIntFlagsWordsRec words;
            ParseIntFlagsWords(f.cpcnn_Str3UTF8, words);
            if (words.iwr_Unknown != 0 || words.iwr_Known == 0) return Refuse(q, fsca_WrongText);
            q.ClientId = ClientIdOf(f.cpcnn_Str1UTF8);
            q.Net1 = f.cpcnn_Str2UTF8;
            q.Net1U = f.cpcnn_Str2UCS2;
            q.Num1 = static_cast<int32_t>(words.iwr_Flags);
            q.Num2 = static_cast<int32_t>(words.iwr_Inverted);
            return R::Request;
        }
        case 'm': {
            TCommandParse_StrStr f;
            if (!ParseCommandStrStr(cur, rem, f)) return Refuse(q);
            if (f.cpne_Str1UTF8.empty() || f.cpne_Str2UTF8.empty()) return Refuse(q);
            q.ClientId = ClientIdOf(f.cpne_Str1UTF8);
            q.Net1 = f.cpne_Str2UTF8;
            q.Net1U = f.cpne_Str2UCS2;
            return R::Request;
        }
        case 'p': {
            if (rem <= 3) return Refuse(q);
            uint32_t idx = 0, level = 0;
            if (!ReadHexLenInt(cur, rem, idx) || !ReadHexLenInt(cur, rem, level)) return Refuse(q);
            if (idx > 3 || level > 7) return Refuse(q);
            q.Num1 = static_cast<int32_t>(idx);
            q.Num2 = static_cast<int32_t>(level);
            return R::Request;
        }
        case 's':
            if (rem < 2 || cur[0] < '0' || cur[0] > '3' || (cur[1] != '0' && cur[1] != '1'))
                return Refuse(q);
            q.Num1 = cur[0] - '0';
            q.Flag = cur[1] == '1';
            return R::Request;
        default:
            return Refuse(q);
    }
}

}  // namespace

TQORCmdDecodeResult DecodeChannelRequest(std::string_view aLine, TQORCmdRequest& aReq) {
    aReq = TQORCmdRequest{};
    for (char c : aLine) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 && c != '\t') return R::Refuse;
    }
    const std::string_view line = TrimBlanks(aLine);
    if (line.empty()) return R::Empty;
    if (line.size() < 6 || line[0] != '0' || line[1] != '0' || line[3] != ':') return R::Refuse;
    aReq.Code = line[2];
    const std::string_view args = line.substr(4);
    return DecodeArgs(aReq.Code, args.data(), static_cast<int32_t>(args.size()), aReq);
}

}  // namespace gax
