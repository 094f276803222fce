#include "server/gax_qor_svc_notices.h"

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

// ---- notices

bool ParseNoticeLine(std::string_view aLine, TQORSVCNoticeRecord& aRec, bool& aRewrite) {
    std::string_view f[3];
    const int32_t n = SplitFieldsBuf(aLine, f, 3);
    if (n < 1) return false;
    std::string name;
    if (!ParseNetworkNameField(f[0], name)) return false;
    aRec.NetworkNameUCS2 = Utf8StrToUnicode(name);
    TQORSVCNoticeData& d = aRec.Data;
    if (DecodeHexField(d.nod_NoticeANSI, f[1]) < 0) return false;
    if (DecodeHexField(d.nod_NoticeUTF8, f[2]) < 0) return false;
    const bool anyInFile = !d.nod_NoticeANSI.empty() || !d.nod_NoticeUTF8.empty();
    if (!IsValidUtf8Str(d.nod_NoticeUTF8) || !anyInFile) return false;
    if (NormalizeNotice(d)) aRewrite = true;
    return true;
}

std::vector<TQORSVCNoticeRecord> ReadNoticeLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    std::vector<TQORSVCNoticeRecord> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            TQORSVCNoticeRecord rec;
            if (ParseNoticeLine(line, rec, aRewrite))
                out.push_back(std::move(rec));
            else
                aRewrite = true;
        } catch (const Exception& e) {
            QORSVCRaiseLineError(no, e);
        }
    }
    return out;
}

// ---- modes

// A mode value: a decimal integer (a sign allowed). Blanks around it are
// passed over: a hand-edited "Main | 1 | 1" dropped for them would silently
// open a network that was meant to be closed.
bool ParseModeValue(std::string_view aField, bool& aOn, bool& aRewrite) {
    int32_t v;
    if (!TryParseIntA(TrimBlanksViewA(aField), v)) return false;
    aOn = v != 0;
    if (aField != "0" && aField != "1") aRewrite = true;
    return true;
}

std::vector<TQORSVCModesRecord> ReadModesLines(TQORSVCListFileLines& aLines, bool& aRewrite) {
    std::vector<TQORSVCModesRecord> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        line = TrimBlanksViewA(line);
        std::string_view f[3];
        const int32_t n = SplitFieldsBuf(line, f, 3);
        TQORSVCModesRecord rec;
        std::string name;
        if (n < 3 || !ParseNetworkNameField(f[0], name) ||
            !ParseModeValue(f[1], rec.Data.md_ConnectOnlyListed, aRewrite) ||
            !ParseModeValue(f[2], rec.Data.md_TalkOnlyMarked, aRewrite) ||
            (!rec.Data.md_ConnectOnlyListed && !rec.Data.md_TalkOnlyMarked)) {
            aRewrite = true;
            continue;
        }
        rec.NetworkNameUCS2 = Utf8StrToUnicode(name);
        out.push_back(std::move(rec));
    }
    return out;
}

// ---- owner

bool ReadOwnerLines(TQORSVCListFileLines& aLines, TQORSVCOwnerData& aData, bool& aRewrite) {
    bool any = false;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            std::string_view f[12];
            const int32_t n = SplitFieldsBuf(line, f, 12);
            std::string ansi, utf8;
            const std::u16string word = AsciiUpperCaseW(Utf8StrToUnicode(TrimBlanksViewA(f[0])));
            if (n >= 3 && word == u"CALLSIGN" && DecodeHexTextField(ansi, f[1]) >= 0 &&
                DecodeHexTextField(utf8, f[2]) >= 0 && IsValidUtf8Str(utf8)) {
                aData.od_CallsignOpnameANSI = std::move(ansi);
                aData.od_CallsignOpnameUTF8 = std::move(utf8);
                any = true;
            } else {
                aData.od_aChanged = true;
                aRewrite = true;
            }
        } catch (const Exception& e) {
            QORSVCRaiseLineError(no, e);
        }
    }
    return any;
}

}  // namespace

bool NormalizeNotice(TQORSVCNoticeData& d) {
    const std::string oldA = d.nod_NoticeANSI;
    const std::string oldU = d.nod_NoticeUTF8;
    ControlBytesToBlanks(d.nod_NoticeANSI);
    ControlBytesToBlanks(d.nod_NoticeUTF8);
    if (d.nod_NoticeANSI.size() > static_cast<size_t>(kQORSVCNoticeMaxChars))
        d.nod_NoticeANSI.resize(kQORSVCNoticeMaxChars);
    d.nod_NoticeANSI = TrimBlanksA(d.nod_NoticeANSI);
    const int cut = Utf8PrefixByteLen(d.nod_NoticeUTF8.data(),
                                      static_cast<int>(d.nod_NoticeUTF8.size()),
                                      kQORSVCNoticeMaxChars);
    if (cut >= 0 && static_cast<size_t>(cut) < d.nod_NoticeUTF8.size())
        d.nod_NoticeUTF8.resize(static_cast<size_t>(cut));
    d.nod_NoticeUTF8 = TrimBlanksA(d.nod_NoticeUTF8);
    return d.nod_NoticeANSI != oldA || d.nod_NoticeUTF8 != oldU;
}

std::string MakeNoticeFileLine(std::string_view aNetworkNameUTF8, const TQORSVCNoticeData& d) {
    std::string s(aNetworkNameUTF8);
    s.append("|");
    AppendHexField(s, d.nod_NoticeANSI);
    s.append("|");
    AppendHexField(s, d.nod_NoticeUTF8);
    s.append("\r\n");
    return s;
}

std::vector<TQORSVCNoticeRecord> ReadNoticesFile(std::u16string_view aFileName, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, false);
    return ReadNoticeLines(lines, aRewrite);
}

std::vector<TQORSVCNoticeRecord> ParseNoticesFileBytes(std::string aBytes, bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCListLineLimit, false);
    return ReadNoticeLines(lines, aRewrite);
}

std::vector<std::optional<TQORSVCNoticeData>> DistributeNotices(
    const std::vector<TQORSVCNoticeRecord>& aRecords, const TQORSVCNetworkNames& aNetworks,
    bool aAtStartUp, bool& aRewrite) {
    std::vector<std::optional<TQORSVCNoticeData>> out(
        static_cast<size_t>(aNetworks.NetworkCount()));
    std::vector<bool> seen(out.size(), false);
    // Last line first: at start-up each record overwrites (the first line
    // stays); on a reread the first one taken stays (the last line).
    for (auto it = aRecords.rbegin(); it != aRecords.rend(); ++it) {
        const int32_t n = aNetworks.FindNetworkIndex(it->NetworkNameUCS2);
        if (n < 0) {
            aRewrite = true;
            continue;
        }
        const auto k = static_cast<size_t>(n);
        if (seen[k]) {
            aRewrite = true;
            if (!aAtStartUp) continue;
        }
        seen[k] = true;
        out[k] = it->Data;
    }
    return out;
}

std::vector<std::string> MakeNoticesSnapshot(
    const std::vector<std::optional<TQORSVCNoticeData>>& aNotices,
    const TQORSVCNetworkNames& aNetworks) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < aNotices.size(); ++i) {
        const auto& n = aNotices[i];
        if (!n || (n->nod_NoticeANSI.empty() && n->nod_NoticeUTF8.empty())) continue;
        lines.push_back(MakeNoticeFileLine(aNetworks.NetworkNameUTF8(static_cast<int32_t>(i)), *n));
    }
    return lines;
}

std::string MakeModesFileLine(std::string_view aNetworkNameUTF8, const TQORSVCModesData& d) {
    std::string s(aNetworkNameUTF8);
    s.append(d.md_ConnectOnlyListed ? "|1|" : "|0|");
    s.append(d.md_TalkOnlyMarked ? "1\r\n" : "0\r\n");
    return s;
}

std::vector<TQORSVCModesRecord> ReadModesFile(std::u16string_view aFileName, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCModesLineLimit, true);
    return ReadModesLines(lines, aRewrite);
}

std::vector<TQORSVCModesRecord> ParseModesFileBytes(std::string aBytes, bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCModesLineLimit, true);
    return ReadModesLines(lines, aRewrite);
}

std::vector<TQORSVCModesData> DistributeModes(const std::vector<TQORSVCModesRecord>& aRecords,
                                              const TQORSVCNetworkNames& aNetworks,
                                              bool& aRewrite) {
    std::vector<TQORSVCModesData> out(static_cast<size_t>(aNetworks.NetworkCount()));
    std::vector<bool> seen(out.size(), false);
    for (const TQORSVCModesRecord& r : aRecords) {
        const int32_t n = aNetworks.FindNetworkIndex(r.NetworkNameUCS2);
        if (n < 0 || seen[static_cast<size_t>(n)]) {
            aRewrite = true;
            continue;
        }
        seen[static_cast<size_t>(n)] = true;
        out[static_cast<size_t>(n)] = r.Data;
    }
    return out;
}

std::vector<std::string> MakeModesSnapshot(const std::vector<TQORSVCModesData>& aModes,
                                           const TQORSVCNetworkNames& aNetworks) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < aModes.size(); ++i) {
        if (!aModes[i].md_ConnectOnlyListed && !aModes[i].md_TalkOnlyMarked) continue;
        lines.push_back(
            MakeModesFileLine(aNetworks.NetworkNameUTF8(static_cast<int32_t>(i)), aModes[i]));
    }
    return lines;
}

std::string MakeOwnerFileLine(std::string_view aCallsignANSI, std::string_view aCallsignUTF8) {
    std::string s("CALLSIGN|");
    AppendHexField(s, aCallsignANSI);
    s.append("|");
    AppendHexField(s, aCallsignUTF8);
    s.append("\r\n");
    return s;
}

bool ReadOwnerFile(std::u16string_view aFileName, TQORSVCOwnerData& aData, bool& aRewrite) {
    TQORSVCListFileLines lines(aFileName, kQORSVCListLineLimit, false);
    return ReadOwnerLines(lines, aData, aRewrite);
}

bool ParseOwnerFileBytes(std::string aBytes, TQORSVCOwnerData& aData, bool& aRewrite) {
    TQORSVCListFileLines lines(std::move(aBytes), kQORSVCListLineLimit, false);
    return ReadOwnerLines(lines, aData, aRewrite);
}

}  // namespace gax
