#include "server/gax_qor_svc_datafile.h"

#include <cerrno>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_datetime.h"
#include "foundation/gax_filemover.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_hex.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_file.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"

namespace gax {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr size_t kWriteBufferSize = 32768;
constexpr size_t kReadBlock = 65536;
// Far above any real list (a line per entry, under 4.2 KB each), it only keeps
// a damaged or wrong file from taking the server's memory.
constexpr size_t kMaxListFileSize = size_t(256) << 20;

std::string ReadWholeFile(std::u16string_view aFileName) {
    TBinaryFile file;
    OpenBinaryFile(aFileName, fmOpenRead | fmShareDenyNone, file);
    std::string data;
    std::string block(kReadBlock, '\0');
    for (;;) {
        const size_t got = ReadBinaryFileOrRaise(file, block.data(), block.size());
        if (got == 0) break;
        if (data.size() + got > kMaxListFileSize)
            throw EQORSVCDataFileError(u"File is too large: \"" + std::u16string(aFileName) + u"\"");
        data.append(block.data(), got);
    }
    CloseBinaryFile(file);
    return data;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Register times past this (the year 9999) are damage, and adding a duration
// to them could overflow.
constexpr int64_t kMaxRegisterEpoch = 253402300799;

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int32_t DigitsValue(std::string_view s) {
    int32_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// A save killed half-way leaves its staging tree behind (under the data
// directory, or already beside the target). The target itself was whole all
// the time, since it is only ever replaced by a rename, so such trees hold
// nothing that is still needed; the next save of this process removes them.
void RemoveStaleStagingTrees(const std::u16string& aDir) {
    static constexpr std::string_view kPrefix = ".QORSVC$";
    std::vector<std::string> names;
    const std::string dir = FileNameToSys(aDir);
    if (plat::ListDir(dir, names) != 0) return;
    for (const std::string& n : names) {
        if (n.size() != kPrefix.size() + 10 || n.compare(0, kPrefix.size(), kPrefix) != 0) continue;
        plat::FileInfo info;
        const std::string path = dir + "/" + n;
        if (plat::Lstat(path, info) == 0 && info.isDir) DeleteDirectoryTree(SysToFileName(path));
    }
}

}  // namespace

std::u16string QORSVCTooLongLineText() {
    return u"Collector got too long string";
}

// ---- lines

TQORSVCListFileLines::TQORSVCListFileLines(std::u16string_view aFileName, size_t aLineLimit,
                                           bool aSemicolonComments)
    : f_Data(ReadWholeFile(aFileName)), f_Limit(aLineLimit), f_Semicolon(aSemicolonComments) {}

TQORSVCListFileLines::TQORSVCListFileLines(std::string aBytes, size_t aLineLimit,
                                           bool aSemicolonComments)
    : f_Data(std::move(aBytes)), f_Limit(aLineLimit), f_Semicolon(aSemicolonComments) {}

bool TQORSVCListFileLines::Next(int32_t& aLineNo, std::string_view& aLine) {
    const std::string_view data(f_Data);
    while (f_Pos < data.size()) {
        ++f_LineNo;
        const size_t nl = data.find('\n', f_Pos);
        const size_t end = nl == std::string_view::npos ? data.size() : nl;
        std::string_view line = data.substr(f_Pos, end - f_Pos);
        f_Pos = nl == std::string_view::npos ? data.size() : nl + 1;
        if (nl != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (f_LineNo == 1 && line.substr(0, 3) == kBom) {
            f_HadBom = true;
            line.remove_prefix(3);
        }
        if (line.size() > f_Limit && f_Cut) line = line.substr(0, f_Limit);
        if (line.size() > f_Limit)
            throw EQORSVCDataFileError(u"line " + IntToDecStrW(f_LineNo) + u": " +
                                       QORSVCTooLongLineText());
        size_t k = 0;
        while (k < line.size() && static_cast<unsigned char>(line[k]) < 33) ++k;
        line.remove_prefix(k);
        if (line.empty() || line[0] == '#' || (f_Semicolon && line[0] == ';')) continue;
        aLineNo = f_LineNo;
        aLine = line;
        return true;
    }
    return false;
}

bool TQORSVCListFileLines::BomMissing() const {
    return !f_Data.empty() && std::string_view(f_Data).substr(0, 3) != kBom;
}

void QORSVCRaiseLineError(int32_t aLineNo, const Exception& aError) {
    throw EQORSVCDataFileError(u"line " + IntToDecStrW(aLineNo) + u": " + aError.Message());
}

// ---- fields

int32_t SplitFieldsBuf(std::string_view aLine, std::string_view* aFields, int32_t aMaxFields) {
    if (HasControlBytes(aLine.data(), static_cast<int>(aLine.size()))) return -2;
    int32_t n = 0;
    size_t start = 0;
    while (n < aMaxFields) {
        const size_t bar = aLine.find('|', start);
        if (bar == std::string_view::npos) {
            aFields[n++] = aLine.substr(start);
            break;
        }
        aFields[n++] = aLine.substr(start, bar - start);
        start = bar + 1;
    }
    for (int32_t i = n; i < aMaxFields; ++i) aFields[i] = aLine.substr(aLine.size());
    return n;
}

int32_t DecodeHexField(std::string& aOut, std::string_view aField) {
    const std::string_view t = TrimBlanksViewA(aField);
    aOut.assign(t.size() / 2 + 1, '\0');
    const int r = TryHexToBytesBuf(aOut.data(), static_cast<int>(aOut.size()), t.data(),
                                   static_cast<int>(t.size()));
    if (r < 0) {
        aOut.clear();
        return -1;
    }
    aOut.resize(static_cast<size_t>(r));
    return r;
}

int32_t DecodeHexTextField(std::string& aOut, std::string_view aField) {
    const int32_t r = DecodeHexField(aOut, aField);
    if (r > 0) ControlBytesToBlanks(aOut);
    return r;
}

int32_t ParseClientTypeField(TQORClientType& aType, std::string_view aField) {
    aType = clt_PC;
    int32_t v;
    if (!TryParseIntA(TrimBlanksViewA(aField), v) || v < 0 || v > 2) return -1;
    aType = static_cast<TQORClientType>(v);
    return v;
}

int64_t ParseRegisterTimeField(std::string_view aField, bool aZeroIsBad, bool& aRewrite) {
    const std::string_view t = TrimBlanksViewA(aField);
    if (t.empty()) return 0;
    if (t[0] == 'u') {
        const std::string_view digits = t.substr(1);
        int64_t v;
        if (!AllDigits(digits) ||
            !TryParseInt64BufA(digits.data(), static_cast<int>(digits.size()), v) || v < 0 ||
            v > kMaxRegisterEpoch ||
            (v == 0 && aZeroIsBad)) {
            aRewrite = true;
            return 0;
        }
        return v;
    }
    aRewrite = true;
    if (t.size() != 17 || !AllDigits(t)) return 0;
    TDateTimeFields f;
    f.Year = DigitsValue(t.substr(0, 4));
    f.Month = DigitsValue(t.substr(4, 2));
    f.Day = DigitsValue(t.substr(6, 2));
    f.Hour = DigitsValue(t.substr(8, 2));
    f.Minute = DigitsValue(t.substr(10, 2));
    f.Second = DigitsValue(t.substr(12, 2));
    f.Millisecond = DigitsValue(t.substr(14, 3));
    TDateTime check;
    if (!TryEncodeDateTime(f, check)) return 0;
    const int64_t local = DaysFromCivil(f.Year, f.Month, f.Day) * 86400 + f.Hour * 3600 +
                          f.Minute * 60 + f.Second;
    const int64_t utc = local + GetTimeZoneBiasSeconds();
    return utc > 0 ? utc : 0;
}

std::string RegisterTimeFieldText(int64_t aEpoch) {
    if (aEpoch <= 0) return {};
    return "u" + std::to_string(aEpoch);
}

bool ParseNetworkNameField(std::string_view aField, std::string& aName) {
    const std::string_view t = TrimBlanksViewA(aField);
    if (t.empty() || !IsValidUtf8Str(t)) return false;
    aName.assign(t);
    return true;
}

bool ParseClientIdField(std::string_view aField, std::string& aId, bool& aRewrite) {
    const std::string_view t = TrimBlanksViewA(aField);
    if (t.size() != 22 && t.size() != 24) return false;
    aId.assign(t);
    bool changed = false;
    if (!NormalizeSourceId(aId, changed)) return false;
    if (changed) aRewrite = true;
    return true;
}

void ControlBytesToBlanks(std::string& aText) {
    for (char& c : aText)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
}

std::string MakeDwordPaddedKey(std::string_view aText) {
    std::string k(aText);
    k.resize((k.size() + 3) / 4 * 4, '\0');
    return k;
}

void AppendTagItem(std::string& aOut, std::string_view aTag, std::string_view aValue) {
    aOut.append("<").append(aTag).append(">").append(aValue);
    aOut.append("</").append(aTag).append(">");
}

void AppendTypedFieldItem(std::string& aOut, char aType, std::string_view aValue) {
    aOut.push_back(aType);
    aOut.append(HexLenStr(aValue));
}

void AppendHexField(std::string& aOut, std::string_view aBytes) {
    aOut.append(BytesToHexA(aBytes));
}

// ---- networks

int32_t TQORSVCNetworkNameList::FindNetworkIndex(std::u16string_view aName) const {
    for (size_t i = 0; i < f_Names.size(); ++i)
        if (SameTextAsciiW(f_Names[i], aName)) return static_cast<int32_t>(i);
    return -1;
}

std::string TQORSVCNetworkNameList::NetworkNameUTF8(int32_t aIndex) const {
    return UnicodeToUtf8Str(f_Names.at(static_cast<size_t>(aIndex)));
}

// ---- writing

void WriteDataFile(std::u16string_view aFileName, std::u16string_view aDataDir,
                   const std::vector<std::string>& aLines) {
    const std::u16string target(aFileName);
    const std::u16string dir = StripTrailingBackslashes(ExtractFilePath(target));
    const std::u16string name = ExtractFileName(target);
    if (dir.empty() || name.empty() || GetPathKind(target) != 2)
        throw EQORSVCDataFileError(u"Data file needs an absolute path: \"" + target + u"\"");
    if (GetPathKind(aDataDir) != 2)
        throw EQORSVCDataFileError(u"Data directory needs an absolute path: \"" +
                                   std::u16string(aDataDir) + u"\"");
    RemoveStaleStagingTrees(StripTrailingBackslashes(aDataDir));
    if (dir != StripTrailingBackslashes(aDataDir)) RemoveStaleStagingTrees(dir);
    TFileMoverGuard mover(FileMoverCreate(u"QORSVC", nullptr, aDataDir));
    TFileMoverSync* sync = FileMoverAddSyncro(mover.Get(), dir);
    const std::u16string staged = FileMoverSetMasterFile(sync, name);

    TTextFile f;
    // Born private; it gets the old file's mode when it replaces one, else 0640.
    CreatePrivateTextFileBuffered(staged, f, kWriteBufferSize);
    try {
        TextWriteRawBytesOrRaise(f, kQORSVCDataFileHeader);
        for (const std::string& line : aLines)
            if (!line.empty()) TextWriteRawBytesOrRaise(f, line);
        CheckTextWriteError(TryFlushTextFile(f, true), f);
        CheckTextWriteError(CloseTextFile(f), f);
        const int rc = plat::Chmod(FileNameToSys(staged), 0640);
        if (rc != 0) RaiseFileError(rc, staged);
    } catch (...) {
        CloseTextFile(f);
        TryEraseFile(staged);
        throw;
    }
    FileMoverExecute(mover.Get());
}

// ---- guard

bool TQORSVCDataFileGuard::NoteReadFailure(std::u16string_view aFileName) {
    plat::FileInfo info;
    // Only a name that is certainly absent counts as a fresh installation. It
    // also lifts an earlier hold: a file that was taken away has nothing left
    // to lose, and what the lists hold now must reach a new file.
    if (plat::Lstat(FileNameToSys(aFileName), info) == ENOENT) {
        f_Blocked = false;
        return false;
    }
    f_Blocked = true;
    return true;
}

}  // namespace gax
