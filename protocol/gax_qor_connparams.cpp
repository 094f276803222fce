// Connection settings, configuration value parsers and path resolution.
#include "protocol/gax_qor_connparams.h"

#include <vector>

#include "foundation/gax_fileutils.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_inifile_utf8.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

template <class C>
bool PortOfDigits(std::basic_string_view<C> t, int32_t& port) {
    // The value decides, not the number of digits: "010024" is port 10024.
    if (t.empty()) return false;
    int32_t v = 0;
    for (C c : t) {
        if (c < C('0') || c > C('9')) return false;
        v = v * 10 + (c - C('0'));
        if (v > 65535) return false;
    }
    if (v < 1 || v > 65535) return false;
    port = v;
    return true;
}

// A hexadecimal or decimal number of at most 0xFFFF; false for an empty text,
// any other character, or a larger value.
bool CharCode(std::u16string_view t, unsigned base, char16_t& out) {
    if (t.empty()) return false;
    uint32_t v = 0;
    for (char16_t c : t) {
        const int d = HexDigitValue(c);
        if (d < 0 || unsigned(d) >= base) return false;
        v = v * base + unsigned(d);
        if (v > 0xFFFF) return false;
    }
    out = char16_t(v);
    return true;
}

// Resolves "." and ".." lexically; ".." at the top stays at the top.
std::u16string Normalize(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(u'/', i);
        if (j == std::u16string_view::npos) j = path.size();
        const std::u16string_view part = path.substr(i, j - i);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    const bool absolute = !path.empty() && path[0] == u'/';
    std::u16string out;
    for (auto p : parts) {
        if (absolute || !out.empty()) out += u'/';
        out += p;
    }
    if (out.empty()) return absolute ? u"/" : u".";
    return out;
}

std::u16string WithoutTrailingSlashes(std::u16string_view p) {
    size_t e = p.size();
    while (e > 1 && p[e - 1] == u'/') --e;
    return std::u16string(p.substr(0, e));
}

}  // namespace

void ClearClientRec(TQORClientRec& rec) {
    const uint32_t counter = rec.cr_CacheCounter;
    rec = TQORClientRec{};
    rec.cr_CacheCounter = counter;
}

bool TryParsePortText(std::u16string_view text, int32_t& port) {
    return PortOfDigits(std::u16string_view(TrimSpaceW(text)), port);
}

bool TryParsePortAnsi(std::string_view text, int32_t& port) {
    return PortOfDigits(TrimBlanksViewA(text), port);
}

bool TryParseIPVersionText(std::u16string_view text, TSynapseListenerIPVersions& versions) {
    const std::u16string t = TrimSpaceW(text);
    if (t == u"46" || t == u"64")
        versions = ipver_46;
    else if (t == u"4")
        versions = ipver_4;
    else if (t == u"6")
        versions = ipver_6;
    else
        return false;
    return true;
}

int32_t IniReadPort(const TIniFileUTF8& ini, std::u16string_view section, std::u16string_view key,
                    int32_t defaultPort) {
    const std::u16string text = ini.ReadString(section, key, IntToDecStrW(defaultPort));
    int32_t port = defaultPort;
    return TryParsePortText(text, port) ? port : defaultPort;
}

char16_t ParseDelimiterCharSpec(std::u16string_view t, char16_t defaultChar) {
    if (t.empty()) return defaultChar;
    if (t.size() >= 2 && t[0] == u'\\' && t[1] == u't') return u'\t';
    char16_t c;
    if (SameTextAsciiW(t.substr(0, 3), u"\\UX"))
        return CharCode(t.substr(3), 16, c) ? c : defaultChar;
    if (SameTextAsciiW(t.substr(0, 2), u"\\X"))
        return CharCode(t.substr(2), 16, c) ? c : defaultChar;
    if (t.size() >= 2 && t[0] == u'\\' && t[1] == u'\\') return u'\\';
    if (t[0] != u'\\') return t[0];
    return CharCode(t.substr(1), 10, c) ? c : defaultChar;
}

std::u16string ResolvePathRelative(std::u16string_view path, std::u16string_view baseDir) {
    if (GetPathKind(path) == 2) return std::u16string(path);
    std::u16string full(baseDir);
    full += u'/';
    full += path;
    return Normalize(full);
}

std::u16string ResolveDirSetting(std::u16string_view dir) {
    const std::u16string t = TrimSpaceW(dir);
    const std::u16string exe = GetProgramDirectory();
    if (t.empty()) return WithoutTrailingSlashes(exe);
    // The resolved path keeps no trailing "/" of its own: an absolute one comes
    // back as given, a relative one comes back normalised.
    return ResolvePathRelative(WithoutTrailingSlashes(t), exe);
}

std::u16string ResolveDataFileName(std::u16string_view dataDir, std::u16string_view fileName) {
    return ResolvePathRelative(fileName, ResolveDirSetting(dataDir));
}

std::u16string ResolveFileSettingDef(std::u16string_view setting, std::u16string_view defaultName,
                                     std::u16string_view baseDir) {
    std::u16string t = TrimSpaceW(setting);
    if (t.empty()) t = std::u16string(defaultName);
    return ResolvePathRelative(t, baseDir);
}

TQORClientType ClientTypeFromBandChannel(std::string_view bc) {
    if (bc == "Crosslink") return clt_CROSSLINK;
    if (bc == "PC Only" || bc == "Parrot") return clt_PC;
    return clt_GATEWAY;
}

uint32_t ProtocolFlagsFromVersion(int32_t serverVersion, int32_t clientVersion,
                                  int32_t& actLikeVersion) {
    actLikeVersion = serverVersion;
    uint32_t flags = 0;
    if (clientVersion <= 2012002) flags |= QOR_PROTO_OWNER_WORD;
    if (clientVersion >= 2014003) flags |= QOR_PROTO_NEW_BACKUP_FIELDS;
    return flags;
}

}  // namespace gax
