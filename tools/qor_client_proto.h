// The client side of the station protocol, for the test client, the load tool
// and the tests that drive a running server over TCP: building the connect
// string (8-bit and UTF-8 forms), reading the two-line handshake answer, the
// client commands ("TX0", "TX1" + 325 bytes, "TX8" + 65, "RX0", "P", "TM:",
// "TME:") and a splitter that cuts the server's byte stream into whole frames.
//
// Header-only: tools/ builds one program per .cpp, and the tests include this
// file directly. The pure parts (builders, MeasureFrame, FrameReader, the
// answer and text parsers) keep no state beyond their arguments and are safe
// from any thread. A QorConnection belongs to one thread; every read and write
// on it is bounded by the caller's time-out and waits with poll(), never with
// a fixed sleep.
//
// The server's frames carry no length: the splitter knows each kind's layout
// (fixed sizes, count lines followed by lines or typed-field items, the
// difference-list entries). Input is hostile: a frame above kMaxFrameBytes or
// a count above kMaxFrameItems is refused rather than buffered.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_fields.h"

namespace qortool {

// ---- sizes and frame codes ----

inline constexpr size_t kSoundPayload = 325;     // five 65-byte blocks, 200 ms
inline constexpr size_t kSoundFrame = 328;       // 0x02, index (2 bytes), payload
inline constexpr size_t kShortPayload = 65;      // one block, 40 ms
inline constexpr size_t kShortFrame = 68;        // 0x81, index, payload
inline constexpr size_t kMaxFrameBytes = 16u << 20;
inline constexpr long kMaxFrameItems = 1000000;

enum FrameCode : uint8_t {
    kFrameEndTx = 0x00,  // end of transmission, refusal of the floor, keep-alive
    kFrameTxApproval = 0x01,
    kFrameSound = 0x02,
    kFrameListV0 = 0x03,
    kFrameText = 0x04,
    kFrameNetworks = 0x05,
    kFrameAdmins = 0x06,
    kFrameRights = 0x07,
    kFrameBlocks = 0x08,
    kFrameMutes = 0x09,
    kFrameModes = 0x0A,
    kFrameNotice = 0x0B,
    kFrameSoundShort = 0x81,
    kFrameCountList = 0x82,
    kFrameListV1 = 0x83,
    kFrameListDiff = 0x84,
    kFrameTextUtf8 = 0x85,
    kFrameBlocksUtf8 = 0x86,
    kFrameMutesUtf8 = 0x87,
    kFrameAdminsUtf8 = 0x88,
    kFrameSoundAck = 0x89,
    kFrameNoticeUtf8 = 0x8A,
    kFrameRightsUtf8 = 0x8B,
    kFrameSpeakerInfo = 0x8E,
    kFrameMessengerInfo = 0x8F,
    kFrameNetChange = 0x90,
    kFrameCacheSet = 0x91,
    kFrameSpeakerIndex = 0x92,
    kFrameMessengerIndex = 0x93,
};

// A short name of a frame kind for printing ("?" for an unknown code).
inline const char* FrameName(uint8_t code) {
    switch (code) {
        case kFrameEndTx: return "END-TX";
        case kFrameTxApproval: return "TX-APPROVAL";
        case kFrameSound: return "SOUND";
        case kFrameListV0: return "LIST-V0";
        case kFrameText: return "TEXT";
        case kFrameNetworks: return "NETWORKS";
        case kFrameAdmins: return "ADMINS";
        case kFrameRights: return "RIGHTS";
        case kFrameBlocks: return "BLOCKS";
        case kFrameMutes: return "MUTES";
        case kFrameModes: return "MODES";
        case kFrameNotice: return "NOTICE";
        case kFrameSoundShort: return "SOUND-SHORT";
        case kFrameCountList: return "COUNT-LIST";
        case kFrameListV1: return "LIST-UTF8";
        case kFrameListDiff: return "LIST-DIFF";
        case kFrameTextUtf8: return "TEXT-UTF8";
        case kFrameBlocksUtf8: return "BLOCKS-UTF8";
        case kFrameMutesUtf8: return "MUTES-UTF8";
        case kFrameAdminsUtf8: return "ADMINS-UTF8";
        case kFrameSoundAck: return "SOUND-ACK";
        case kFrameNoticeUtf8: return "NOTICE-UTF8";
        case kFrameRightsUtf8: return "RIGHTS-UTF8";
        case kFrameSpeakerInfo: return "SPEAKER-INFO";
        case kFrameMessengerInfo: return "MESSENGER-INFO";
        case kFrameNetChange: return "NET-CHANGE";
        case kFrameCacheSet: return "CACHE-SET";
        case kFrameSpeakerIndex: return "SPEAKER-INDEX";
        case kFrameMessengerIndex: return "MESSENGER-INDEX";
        default: return "?";
    }
}

// The one byte 0x00 says different things by where the station stands:
// the answer to its "TX0" (refused), the end of its own floor, the end of
// somebody else's transmission, or, with nobody talking, a keep-alive.
enum class FloorState { Idle, Asking, Holding, Listening };
inline const char* ZeroFrameName(FloorState state) {
    switch (state) {
        case FloorState::Asking: return "TX-REFUSED";
        case FloorState::Holding: return "TX-ENDED";
        case FloorState::Listening: return "END-TX";
        default: return "KEEP-ALIVE";
    }
}

// Follows a station's floor through what it sends and receives, so that each
// frame gets its name. The 0x00 ends every state.
class FloorTracker {
  public:
    // The bytes of one command the station sent.
    void Sent(const std::string& bytes) {
        if (bytes.compare(0, 3, "TX0") == 0 && state_ != FloorState::Holding)
            state_ = FloorState::Asking;
        // Giving the floor back is answered by the 0x00 that ends it, to the
        // talker too; a request taken back before its answer is not.
        if (bytes.compare(0, 3, "RX0") == 0 && state_ == FloorState::Asking)
            state_ = FloorState::Idle;
    }
    // The frame's name, as it reads in the state before the frame.
    const char* Received(const std::string& frame) {
        if (frame.empty()) return "?";
        const uint8_t code = uint8_t(frame[0]);
        if (code == kFrameEndTx) {
            const char* name = ZeroFrameName(state_);
            state_ = FloorState::Idle;
            return name;
        }
        if (code == kFrameTxApproval) state_ = FloorState::Holding;
        if ((code == kFrameSound || code == kFrameSoundShort) && state_ == FloorState::Idle)
            state_ = FloorState::Listening;
        return FrameName(code);
    }
    FloorState State() const { return state_; }

  private:
    FloorState state_ = FloorState::Idle;
};

// ---- connect string ----

enum class ConnectForm { Ansi, Utf8 };

// The station's identity. Values are bytes: in the 8-bit form they travel as
// given; in the UTF-8 form they are UTF-8 text, carried in the U8TF part, and
// the 8-bit elements get an ASCII stand-in ("?" per non-ASCII character).
struct ConnectFields {
    std::string Version = "2014004";  // VX
    std::string Email;                // EA
    std::string Password;             // PW
    std::string Callsign;             // ON
    std::string BandChannel = "PC Only";  // BC; also gives the client type
    std::string City;                 // CT
    std::string Country;              // NN (sent even when empty: the server's default)
    std::string Network;              // NT (sent even when empty: the default network)
    std::string Description;          // DS, left out when empty
    // CEF; negative leaves the element out. The UTF-8 form adds 0x08, which the
    // server honours only with a list format other than 0 (bits 0x03).
    int64_t ExtFlags = -1;
};

struct BuildResult {
    std::string Line;   // "CT:" ... CR LF, or empty on error
    std::string Error;  // why the fields cannot travel
    bool Ok() const { return Error.empty(); }
};

namespace detail {

inline bool HasControlByte(std::string_view v) {
    for (unsigned char c : v)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// A tag value ends only at its own closing tag, so that is the one text it may
// not hold; control bytes end the server's parse as an error.
inline std::string CheckTagValue(std::string_view tag, std::string_view value) {
    if (HasControlByte(value)) return std::string(tag) + ": control byte in value";
    const std::string close = "</" + std::string(tag) + ">";
    if (value.find(close) != std::string_view::npos)
        return std::string(tag) + ": value holds its own closing tag";
    return {};
}

inline void AppendTag(std::string& out, std::string_view tag, std::string_view value) {
    out += '<';
    out += tag;
    out += '>';
    out += value;
    out += "</";
    out += tag;
    out += '>';
}

// Each UTF-8 sequence beyond ASCII becomes one "?".
inline std::string AsciiStandIn(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (unsigned char c : utf8) {
        if (c < 0x80)
            out += char(c);
        else if (c >= 0xC0)
            out += '?';
        // continuation bytes belong to the "?" already written
    }
    return out;
}

inline bool IsBlank(std::string_view v) {
    for (unsigned char c : v)
        if (c > 32) return false;
    return true;
}

}  // namespace detail

// The connect-string line: "CT:" and the tag list VX EA PW ON BC CT NN NT
// [DS] [CEF] [U8TF], then CR LF. Refuses fields the server would drop the
// connection for: a required field blank, a control byte, a value holding its
// own closing tag.
inline BuildResult BuildConnectString(const ConnectFields& f, ConnectForm form) {
    BuildResult r;
    const bool utf8 = form == ConnectForm::Utf8;
    struct Req {
        const char* tag;
        const std::string* value;
    };
    const Req required[] = {{"VX", &f.Version}, {"EA", &f.Email},       {"PW", &f.Password},
                            {"ON", &f.Callsign}, {"BC", &f.BandChannel}, {"CT", &f.City}};
    for (const Req& q : required)
        if (detail::IsBlank(*q.value)) {
            r.Error = std::string(q.tag) + ": required field is empty";
            return r;
        }

    auto ansi = [&](const std::string& v) { return utf8 ? detail::AsciiStandIn(v) : v; };
    struct Elem {
        std::string_view tag;
        std::string value;
    };
    Elem elems[] = {{"VX", f.Version},
                    {"EA", ansi(f.Email)},
                    {"PW", ansi(f.Password)},
                    {"ON", ansi(f.Callsign)},
                    {"BC", ansi(f.BandChannel)},
                    {"CT", ansi(f.City)},
                    {"NN", ansi(f.Country)},
                    {"NT", ansi(f.Network)},
                    {"DS", ansi(f.Description)}};
    std::string line = "CT:";
    for (const Elem& e : elems) {
        if (e.tag == "DS" && e.value.empty()) continue;
        if (std::string err = detail::CheckTagValue(e.tag, e.value); !err.empty()) {
            r.Error = err;
            return r;
        }
        detail::AppendTag(line, e.tag, e.value);
    }
    int64_t cef = f.ExtFlags;
    if (utf8) cef = (cef < 0 ? 0 : cef) | gax::QOR_EXT_UTF8;
    if (cef >= 0) detail::AppendTag(line, "CEF", std::to_string(cef));
    if (utf8) {
        // The type digit must agree with the one the server derives from BC.
        const std::string band8 = detail::AsciiStandIn(f.BandChannel);
        std::string part(1, char('0' + gax::ClientTypeFromBandChannel(band8)));
        part += gax::TypedFieldStr('0', f.Email);
        part += gax::TypedFieldStr('1', f.Password);
        part += gax::TypedFieldStr('2', f.Callsign);
        part += gax::TypedFieldStr('3', f.BandChannel);
        part += gax::TypedFieldStr('4', f.Description);
        part += gax::TypedFieldStr('5', f.Country);
        part += gax::TypedFieldStr('6', f.City);
        part += gax::TypedFieldStr('7', f.Network);
        if (std::string err = detail::CheckTagValue("U8TF", part); !err.empty()) {
            r.Error = err;
            return r;
        }
        detail::AppendTag(line, "U8TF", part);
    }
    line += "\r\n";
    r.Line = std::move(line);
    return r;
}

// ---- handshake answer ----

// The answer is two lines: the version line, then one line of tag elements
// (MT or MTT, SV, AL, BN, BP, SEF, ID, NT, CZ, TT, EM, UT, AVR).
struct HandshakeAnswer {
    std::string VersionLine;
    std::map<std::string, std::string> Tags;  // the first element of each name

    std::string Tag(const std::string& name) const {
        auto it = Tags.find(name);
        return it == Tags.end() ? std::string() : it->second;
    }
    std::string Access() const { return Tag("AL"); }
    // "OK", "ADMIN", "NETOWNER", "OWNER"; the refusals are "BLOCK", "WRONG", "DUPL".
    bool Positive() const {
        const std::string a = Access();
        return a == "OK" || a == "ADMIN" || a == "NETOWNER" || a == "OWNER";
    }
    std::string ClientId() const { return Tag("ID"); }
    std::string Network() const { return Tag("NT"); }
    uint32_t GrantedFlags() const {
        const std::string s = Tag("SEF");
        uint32_t v = 0;
        for (char c : s) {
            if (c < '0' || c > '9' || v > 100000000u) return 0;
            v = v * 10 + uint32_t(c - '0');
        }
        return v;
    }
};

// Lines without their CR LF. False, with the reason, when the second line is
// not a tag list or carries no access word.
inline bool ParseHandshakeAnswer(std::string_view line1, std::string_view line2,
                                 HandshakeAnswer& out, std::string* error = nullptr) {
    out = HandshakeAnswer{};
    out.VersionLine = std::string(line1);
    std::string data(line2);
    gax::TQORTagItemRec items[40];
    gax::TQORTagParseRec rec;
    rec.Items = items;
    rec.Capacity = 40;
    rec.Data = data.data();
    rec.DataLen = int32_t(data.size());
    const int n = gax::ParseTagList(rec);
    if (n <= 0) {
        if (error) *error = "answer is not a tag list";
        return false;
    }
    for (int i = 0; i < rec.Count; ++i)
        out.Tags.emplace(std::string(items[i].Name()), std::string(items[i].Value()));
    if (out.Access().empty()) {
        if (error) *error = "answer carries no access word";
        return false;
    }
    return true;
}

// ---- client commands ----

inline std::string CmdTx0() { return "TX0\r\n"; }
inline std::string CmdRx0() { return "RX0\r\n"; }
inline std::string CmdKeepAlive() { return "P\r\n"; }

// "TX1" and exactly 325 sound bytes (they may hold line ends: the server
// reads them by count). Empty when the payload has the wrong size.
inline std::string CmdSound(std::string_view payload) {
    if (payload.size() != kSoundPayload) return {};
    std::string s = "TX1\r\n";
    s += payload;
    return s;
}
inline std::string CmdSoundShort(std::string_view payload) {
    if (payload.size() != kShortPayload) return {};
    std::string s = "TX8\r\n";
    s += payload;
    return s;
}

// "TM:" with MS and, for one addressee, ID; empty when the text cannot travel
// (control bytes, or its own closing tag).
inline std::string CmdText(std::string_view text, std::string_view toId = {}) {
    if (!detail::CheckTagValue("MS", text).empty()) return {};
    if (!detail::CheckTagValue("ID", toId).empty()) return {};
    std::string s = "TM:";
    detail::AppendTag(s, "MS", text);
    if (!toId.empty()) detail::AppendTag(s, "ID", toId);
    s += "\r\n";
    return s;
}

// "TME:" F(id) F(8-bit text) F(UTF-8 text); empty id = to all.
inline std::string CmdTextExt(std::string_view toId, std::string_view text8,
                              std::string_view textUtf8) {
    if (detail::HasControlByte(toId) || detail::HasControlByte(text8) ||
        detail::HasControlByte(textUtf8))
        return {};
    std::string s = "TME:";
    s += gax::HexLenStr(toId);
    s += gax::HexLenStr(text8);
    s += gax::HexLenStr(textUtf8);
    s += "\r\n";
    return s;
}

// ---- frame splitter ----

namespace detail {

// Cursor over the bytes received so far. Every step answers: done (>0 next
// position), need more bytes (0) or not a frame (-1).
struct Scan {
    const uint8_t* p;
    size_t n;

    // Position after the CR LF of the line starting at pos.
    long Line(size_t pos) const {
        if (pos >= n) return 0;
        const void* lf = std::memchr(p + pos, '\n', n - pos);
        if (!lf) return n > kMaxFrameBytes ? -1 : 0;
        const size_t at = size_t(static_cast<const uint8_t*>(lf) - p);
        if (at == pos || p[at - 1] != '\r') return -1;
        return long(at + 1);
    }
    // A line of decimal digits; its value in count.
    long CountLine(size_t pos, long& count) const {
        const long end = Line(pos);
        if (end <= 0) return end;
        count = 0;
        const size_t last = size_t(end) - 2;
        if (last == pos) return -1;
        for (size_t i = pos; i < last; ++i) {
            if (p[i] < '0' || p[i] > '9') return -1;
            count = count * 10 + (p[i] - '0');
            if (count > kMaxFrameItems) return -1;
        }
        return end;
    }
    static int HexDigit(uint8_t c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }
    // Hex digits at pos into value; 0 when they have not all arrived.
    long HexValue(size_t pos, size_t digits, uint32_t& value) const {
        if (pos + digits > n) return 0;
        value = 0;
        for (size_t i = 0; i < digits; ++i) {
            const int d = HexDigit(p[pos + i]);
            if (d < 0) return -1;
            value = (value << 4) | uint32_t(d);
        }
        return long(pos + digits);
    }
    // The integer header form I(v): "00".."7F" (and "80" read as 128), or
    // 0x80 + k followed by k bytes in hex.
    long HeaderInt(size_t pos, uint32_t& value) const {
        uint32_t b = 0;
        long at = HexValue(pos, 2, b);
        if (at <= 0) return at;
        if (b <= 0x80) {
            value = b;
            return at;
        }
        if (b > 0x84) return -1;
        return HexValue(size_t(at), 2 * (b - 0x80), value);
    }
    // A hex-length field: header, then that many bytes. Unlike the integer
    // form, a length header never reads "80".
    long HexLenField(size_t pos) const {
        uint32_t len = 0;
        if (pos + 2 <= n && p[pos] == '8' && p[pos + 1] == '0') return -1;
        const long at = HeaderInt(pos, len);
        if (at <= 0) return at;
        if (len > kMaxFrameBytes) return -1;
        const size_t end = size_t(at) + len;
        return end > n ? 0 : long(end);
    }
    // A V1 item (client lists, speaker and messenger information, access
    // lists): two header bytes, typed fields (type byte, F(value)), CR LF.
    // Values are skipped by length, so they may hold any byte.
    long Item(size_t pos) const {
        if (pos + 2 > n) return 0;
        size_t at = pos + 2;
        for (;;) {
            if (at >= n) return 0;
            if (p[at] == '\r') {
                if (at + 1 >= n) return 0;
                return p[at + 1] == '\n' ? long(at + 2) : -1;
            }
            const long next = HexLenField(at + 1);
            if (next <= 0) return next;
            at = size_t(next);
        }
    }
    template <typename Each>
    long Repeat(long at, long count, Each each) const {
        for (long i = 0; i < count && at > 0; ++i) at = each(size_t(at));
        return at;
    }
};

inline long MeasureDiffEntries(const Scan& s, size_t pos, long count) {
    long at = long(pos);
    for (long i = 0; i < count; ++i) {
        uint32_t position = 0;
        at = s.HexValue(size_t(at), 4, position);
        if (at <= 0) return at;
        if (size_t(at) >= s.n) return 0;
        const uint8_t op = s.p[at];
        ++at;
        switch (op) {
            case '=':
            case '+': at = s.Item(size_t(at)); break;
            case '*':
                if (size_t(at) + 4 > s.n) return 0;
                if (s.p[at + 2] != '\r' || s.p[at + 3] != '\n') return -1;
                at += 4;
                break;
            case '-': {
                long removed = 0;
                at = s.CountLine(size_t(at), removed);
                break;
            }
            default: return -1;
        }
        if (at <= 0) return at;
    }
    return at;
}

}  // namespace detail

// Length of the complete frame at the start of the bytes, 0 when more bytes
// are needed, -1 when they are not a frame of the catalogue.
inline long MeasureFrame(const void* data, size_t n) {
    if (n == 0) return 0;
    const detail::Scan s{static_cast<const uint8_t*>(data), n};
    auto fixed = [n](size_t len) { return n >= len ? long(len) : 0L; };
    auto lines = [&s](size_t pos) {
        long count = 0;
        const long at = s.CountLine(pos, count);
        if (at <= 0) return at;
        return s.Repeat(at, count, [&s](size_t p) { return s.Line(p); });
    };
    auto items = [&s](size_t pos) {
        long count = 0;
        const long at = s.CountLine(pos, count);
        if (at <= 0) return at;
        return s.Repeat(at, count, [&s](size_t p) { return s.Item(p); });
    };
    switch (s.p[0]) {
        case kFrameEndTx:
        case kFrameSoundAck: return 1;
        case kFrameTxApproval: return fixed(3);
        case kFrameSound: return fixed(kSoundFrame);
        case kFrameSoundShort: return fixed(kShortFrame);
        // code, speaker index (2 bytes), count line, items
        case kFrameListV0: return n < 3 ? 0 : lines(3);
        case kFrameListV1: return n < 3 ? 0 : items(3);
        case kFrameListDiff: {
            if (n < 3) return 0;
            long count = 0;
            const long at = s.CountLine(3, count);
            if (at <= 0) return at;
            return detail::MeasureDiffEntries(s, size_t(at), count);
        }
        case kFrameCountList: {
            long count = 0;
            return s.CountLine(1, count);
        }
        // count line, then that many lines
        case kFrameText:
        case kFrameTextUtf8:
        case kFrameAdmins:
        case kFrameRights:
        case kFrameBlocks:
        case kFrameMutes:
        case kFrameModes:
        case kFrameNotice:
        case kFrameNoticeUtf8: return lines(1);
        // the networks list: "0" and the count form one decimal line
        case kFrameNetworks: return lines(1);
        case kFrameBlocksUtf8:
        case kFrameMutesUtf8:
        case kFrameAdminsUtf8:
        case kFrameRightsUtf8: return items(1);
        case kFrameSpeakerInfo:
        case kFrameMessengerInfo: return s.Item(1);
        case kFrameNetChange:
        case kFrameSpeakerIndex:
        case kFrameMessengerIndex: return s.Line(1);
        case kFrameCacheSet: {
            uint32_t slot = 0;
            const long at = s.HeaderInt(1, slot);
            if (at <= 0) return at;
            return s.Item(size_t(at));
        }
        default: return -1;
    }
}

// Accumulates received bytes and hands out whole frames in order.
class FrameReader {
  public:
    void Feed(const void* p, size_t n) {
        if (head_ > 0 && head_ >= buf_.size() / 2) {
            buf_.erase(0, head_);
            head_ = 0;
        }
        buf_.append(static_cast<const char*>(p), n);
    }
    // 1: a frame in `frame` (valid until the next Feed or Next); 0: more bytes
    // needed; -1: the stream holds no frame of the catalogue (it cannot be
    // resynchronised, since frames carry no marker).
    int Next(std::string_view& frame) {
        const long len = MeasureFrame(buf_.data() + head_, buf_.size() - head_);
        if (len <= 0) return len < 0 ? -1 : 0;
        frame = std::string_view(buf_.data() + head_, size_t(len));
        head_ += size_t(len);
        return 1;
    }
    // Lines before the frames (the handshake answer): one line without its
    // CR LF; same results as Next.
    int NextLine(std::string& line) {
        const detail::Scan s{reinterpret_cast<const uint8_t*>(buf_.data()) + head_,
                             buf_.size() - head_};
        const long end = s.Line(0);
        if (end <= 0) return end < 0 ? -1 : 0;
        line.assign(buf_.data() + head_, size_t(end) - 2);
        head_ += size_t(end);
        return 1;
    }
    size_t Buffered() const { return buf_.size() - head_; }

  private:
    std::string buf_;
    size_t head_ = 0;
};

// ---- reading frames ----

// The talker's network index of a sound frame (bytes 1..2, big-endian).
inline unsigned SoundIndex(std::string_view frame) {
    if (frame.size() < 3) return 0;
    return unsigned(uint8_t(frame[1])) << 8 | uint8_t(frame[2]);
}

struct TextMessage {
    std::string SenderId;
    std::string Text;
    bool Private = false;
};

// A 0x04 or 0x85 frame: "3" CR LF, sender id, text, "P" or "A", each a line.
inline bool ParseTextFrame(std::string_view frame, TextMessage& out) {
    if (frame.empty() || (uint8_t(frame[0]) != kFrameText && uint8_t(frame[0]) != kFrameTextUtf8))
        return false;
    std::string_view rest = frame.substr(1);
    std::string_view parts[4];
    for (auto& part : parts) {
        const size_t crlf = rest.find("\r\n");
        if (crlf == std::string_view::npos) return false;
        part = rest.substr(0, crlf);
        rest.remove_prefix(crlf + 2);
    }
    if (parts[0] != "3" || !rest.empty() || (parts[3] != "P" && parts[3] != "A")) return false;
    out.SenderId = std::string(parts[1]);
    out.Text = std::string(parts[2]);
    out.Private = parts[3] == "P";
    return true;
}

// The member count of a list frame (V0, UTF-8, count list), or -1.
inline long ListCount(std::string_view frame) {
    if (frame.empty()) return -1;
    const uint8_t code = uint8_t(frame[0]);
    const size_t pos = code == kFrameCountList ? 1 : 3;
    if (code != kFrameCountList && code != kFrameListV0 && code != kFrameListV1) return -1;
    long count = 0;
    const detail::Scan s{reinterpret_cast<const uint8_t*>(frame.data()), frame.size()};
    return s.CountLine(pos, count) > 0 ? count : -1;
}

// ---- the connection ----

enum class ReadStatus { Ok, Timeout, Closed, Error, BadData };

inline const char* ReadStatusText(ReadStatus s) {
    switch (s) {
        case ReadStatus::Ok: return "ok";
        case ReadStatus::Timeout: return "time-out";
        case ReadStatus::Closed: return "closed by the server";
        case ReadStatus::Error: return "socket error";
        case ReadStatus::BadData: return "bytes that are no frame";
    }
    return "?";
}

// An IPv4 address and port, optionally bound to a chosen local address first
// (127.0.0.2 and up keep per-address limits apart).
inline bool MakeIPv4(const std::string& host, uint16_t port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

// A blocking TCP client connection with deadline-bounded operations.
// Owned by one thread.
class QorConnection {
  public:
    QorConnection() = default;
    ~QorConnection() { Close(); }
    QorConnection(const QorConnection&) = delete;
    QorConnection& operator=(const QorConnection&) = delete;

    // host is an IPv4 address text; source, when not empty, the local address
    // to bind before connecting.
    bool Connect(const std::string& host, uint16_t port, const std::string& source,
                 int timeoutMs) {
        Close();
        sockaddr_in to{}, from{};
        if (!MakeIPv4(host, port, to)) return Fail("bad server address " + host);
        if (!source.empty() && !MakeIPv4(source, 0, from))
            return Fail("bad source address " + source);
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) return Fail(Errno("socket"));
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!source.empty() && ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
            return FailClose(Errno("bind " + source));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (errno != EINPROGRESS) return FailClose(Errno("connect"));
            if (Wait(POLLOUT, Deadline(timeoutMs)) <= 0) return FailClose("connect: time-out");
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                errno = err;
                return FailClose(Errno("connect"));
            }
        }
        return true;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        reader_ = FrameReader{};
    }
    int Fd() const { return fd_; }
    // Hands the socket over to another owner (the load engine's receivers);
    // bytes already read but not consumed are dropped with the connection object.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        reader_ = FrameReader{};
        return fd;
    }
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

    bool SendAll(std::string_view bytes, int timeoutMs) {
        if (fd_ < 0) return Fail("not connected");
        const auto deadline = Deadline(timeoutMs);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += size_t(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Wait(POLLOUT, deadline) <= 0) return Fail("send: time-out");
                continue;
            }
            return Fail(Errno("send"));
        }
        return true;
    }

    // Sends the connect string and reads the answer. Ok with the answer
    // parsed (positive or a refusal); Closed when the server dropped the
    // connection without one (an unusable connect string).
    ReadStatus Handshake(const std::string& connectLine, HandshakeAnswer& answer, int timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        if (!SendAll(connectLine, timeoutMs)) return ReadStatus::Error;
        std::string l1, l2;
        ReadStatus st = ReadLine(l1, deadline);
        if (st == ReadStatus::Ok) st = ReadLine(l2, deadline);
        if (st != ReadStatus::Ok) return st;
        std::string err;
        if (!ParseHandshakeAnswer(l1, l2, answer, &err)) {
            Fail(err);
            return ReadStatus::BadData;
        }
        return ReadStatus::Ok;
    }

    // The next whole frame into `frame`, waiting at most timeoutMs.
    ReadStatus ReadFrame(std::string& frame, int timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        for (;;) {
            std::string_view v;
            const int r = reader_.Next(v);
            if (r > 0) {
                frame.assign(v);
                return ReadStatus::Ok;
            }
            if (r < 0) return ReadStatus::BadData;
            const ReadStatus st = Fill(deadline);
            if (st != ReadStatus::Ok) return st;
        }
    }

    // Reads frames until one of the given code arrives (the others are
    // dropped), e.g. the TX approval after "TX0".
    ReadStatus WaitForFrame(uint8_t code, std::string& frame, int timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        for (;;) {
            const ReadStatus st = ReadFrame(frame, RemainingMs(deadline));
            if (st != ReadStatus::Ok) return st;
            if (!frame.empty() && uint8_t(frame[0]) == code) return st;
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    static Clock::time_point Deadline(int timeoutMs) {
        return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    }
    static int RemainingMs(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left < 0 ? 0 : int(left);
    }
    // >0 ready, 0 time-out, <0 failure.
    int Wait(short events, Clock::time_point deadline) {
        for (;;) {
            pollfd pfd{fd_, events, 0};
            const int r = ::poll(&pfd, 1, RemainingMs(deadline));
            if (r < 0 && errno == EINTR) continue;
            return r;
        }
    }
    ReadStatus Fill(Clock::time_point deadline) {
        if (fd_ < 0) return ReadStatus::Error;
        char buf[16384];
        for (;;) {
            const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r > 0) {
                reader_.Feed(buf, size_t(r));
                return ReadStatus::Ok;
            }
            if (r == 0) return ReadStatus::Closed;
            const int err = errno;
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK) {
                Fail(Errno("recv"));
                return err == ECONNRESET ? ReadStatus::Closed : ReadStatus::Error;
            }
            const int w = Wait(POLLIN, deadline);
            if (w == 0) return ReadStatus::Timeout;
            if (w < 0) return ReadStatus::Error;
        }
    }
    ReadStatus ReadLine(std::string& line, Clock::time_point deadline) {
        for (;;) {
            const int r = reader_.NextLine(line);
            if (r > 0) return ReadStatus::Ok;
            if (r < 0) return ReadStatus::BadData;
            const ReadStatus st = Fill(deadline);
            if (st != ReadStatus::Ok) return st;
        }
    }
    bool Fail(std::string text) {
        error_ = std::move(text);
        return false;
    }
    bool FailClose(std::string text) {
        Close();
        return Fail(std::move(text));
    }
    static std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

    int fd_ = -1;
    FrameReader reader_;
    std::string error_;
};

}  // namespace qortool
