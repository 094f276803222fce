// Client and server ids.
#include "protocol/gax_qor_sourceid.h"

#include <algorithm>

#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_types.h"
#include "sockets/gax_snps_base64.h"
#include "sockets/gax_snps_md5.h"

namespace gax {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint16_t kCheckCrcStart = 0xADB9;

bool InAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

void CheckChars(const char* body, char& c23, char& c24) {
    const uint16_t c = Crc16Update(kCheckCrcStart, body, int(QOR_SOURCE_ID_BODY_LEN));
    c23 = kAlphabet[(c >> 8) & 63];
    c24 = kAlphabet[c & 63];
}

TQORDigest DigestOf(const void* p, size_t n) {
    TMd5ContextRec ctx;
    Md5InitContext(ctx);
    if (n > 0) Md5UpdateBuffer(ctx, p, n);
    TMd5Digest d;
    Md5FinishDigest(ctx, d);
    return d;
}

// The 24-character Base64 text of a digest ends in "==", which the id
// replaces with its check characters.
std::string IdOfDigest(const TQORDigest& d) {
    std::string id =
        EncodeBase64A(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
    id.resize(QOR_SOURCE_ID_LEN);
    CheckChars(id.data(), id[22], id[23]);
    return id;
}

}  // namespace

std::string MakeSourceIdFromText(std::string_view text, TQORDigest& digest) {
    digest = DigestOf(text.data(), text.size());
    return IdOfDigest(digest);
}

std::string MakeSourceId(std::string_view text) {
    return IdOfDigest(DigestOf(text.data(), text.size()));
}

std::string MakeSourceIdFromBuffer(const void* p, int32_t len) {
    return IdOfDigest(DigestOf(p, len > 0 ? size_t(len) : 0));
}

std::string MakeSourceIdFromUnicodeLowBytes(std::u16string_view text) {
    return MakeSourceId(UnicodeToByteStr(text));
}

std::string AddSourceIdCheckChars(std::string_view text) {
    if (text.size() < QOR_SOURCE_ID_BODY_LEN) throw Exception("Invalid source id length");
    std::string id(text.substr(0, QOR_SOURCE_ID_BODY_LEN));
    id.resize(QOR_SOURCE_ID_LEN);
    CheckChars(id.data(), id[22], id[23]);
    return id;
}

bool IsValidSourceId(const char* p, int32_t len) {
    if (p == nullptr || len != int32_t(QOR_SOURCE_ID_LEN)) return false;
    for (size_t i = 0; i < QOR_SOURCE_ID_BODY_LEN; ++i)
        if (!InAlphabet(p[i])) return false;
    char c23, c24;
    CheckChars(p, c23, c24);
    return p[22] == c23 && p[23] == c24;
}

bool IsValidSourceIdStr(std::string_view text) {
    return IsValidSourceId(text.data(), int32_t(std::min<size_t>(text.size(), 0x7FFFFFFF)));
}

bool HasSourceIdBrackets(const char* p, int32_t len) {
    for (int32_t i = 0; i < len; ++i)
        if (p[i] == '[' || p[i] == ']') return true;
    return false;
}

void RepairSourceIdBrackets(char* p, int32_t len) {
    for (int32_t i = 0; i < len; ++i) {
        if (p[i] == '[')
            p[i] = '+';
        else if (p[i] == ']')
            p[i] = '/';
    }
}

bool NormalizeSourceId(std::string& id, bool& changed) {
    if (id.size() == QOR_SOURCE_ID_BODY_LEN) {
        RepairSourceIdBrackets(id.data(), int32_t(id.size()));
        id = AddSourceIdCheckChars(id);
        changed = true;
        // A body with bytes outside the alphabet could never match a client.
        return IsValidSourceIdStr(id);
    }
    if (id.size() != QOR_SOURCE_ID_LEN) return false;
    // A padded digest and the bracket spelling both get fresh check characters.
    if ((id[22] == '=' && id[23] == '=') || HasSourceIdBrackets(id.data(), int32_t(id.size()))) {
        RepairSourceIdBrackets(id.data(), int32_t(id.size()));
        CheckChars(id.data(), id[22], id[23]);
        changed = true;
    }
    return IsValidSourceIdStr(id);
}

}  // namespace gax
