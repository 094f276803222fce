#include "foundation/gax_inifile_utf8.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_file.h"

namespace gax {

namespace {

constexpr size_t kSaveBufferSize = 32768;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kCrLf = "\r\n";

// Bytes that are not UTF-8 read as the empty text, as the loader always did;
// the bytes themselves stay with the item so a save can write them back.

char16_t Fold(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 32;
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return c - 32;
    if (c >= 0x450 && c <= 0x45F) return c - 80;
    return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

// The parameter of that name in a section's lines (const or not), or null.
template <class Items>
auto FindParamIn(Items& items, std::u16string_view name) -> decltype(&items[0]) {
    for (auto& it : items)
        if (it.IsParam && SameName(it.Name, name)) return &it;
    return nullptr;
}

std::u16string Quoted(std::u16string_view s) {
    return u"\"" + std::u16string(s) + u"\"";
}

bool HasControl(std::u16string_view s) {
    for (char16_t c : s)
        if (c < 32 && c != u'\t') return true;
    return false;
}

[[noreturn]] void LineError(bool invalidChars, int line) {
    std::u16string n = IntToDecStrW(line);
    if (invalidChars)
        throw EIniFileUTF8ExceptionInvalidCharacters(u"Invalid characters on text line " + n);
    throw EIniFileUTF8ExceptionWrongFormat(u"Wrong format on text line " + n);
}

void CheckSection(std::u16string_view s) {
    if (HasControl(s))
        throw EIniFileUTF8ExceptionInvalidCharacters("Invalid characters in section name");
    if (TrimBlanksLeftW(s).empty())
        throw EIniFileUTF8ExceptionWrongFormat("Section name must not be empty");
    if (s.find(u']') != std::u16string_view::npos)
        throw EIniFileUTF8ExceptionWrongFormat(u"Character \"]\" is not allowed in section name " +
                                               Quoted(s));
}

void CheckName(std::u16string_view section, std::u16string_view name) {
    if (HasControl(name))
        throw EIniFileUTF8ExceptionInvalidCharacters(
            u"Invalid characters in parameter name of section " + Quoted(section));
    std::u16string lead = TrimBlanksLeftW(name);
    if (lead.empty())
        throw EIniFileUTF8ExceptionWrongFormat(u"Parameter name must not be empty in section " +
                                               Quoted(section));
    if (name.find(u'=') != std::u16string_view::npos)
        throw EIniFileUTF8ExceptionWrongFormat(
            u"Character \"=\" is not allowed in parameter name " + Quoted(name));
    if (lead[0] == u';' || lead[0] == u'#' || lead[0] == u'[')
        throw EIniFileUTF8ExceptionWrongFormat(u"Parameter name " + Quoted(name) +
                                               u" must not begin with \";\", \"#\" or \"[\"");
}

void CheckValue(std::u16string_view section, std::u16string_view name, std::u16string_view value) {
    if (HasControl(value))
        throw EIniFileUTF8ExceptionInvalidCharacters(u"Invalid characters in value of parameter " +
                                                     Quoted(name) + u" of section " +
                                                     Quoted(section));
}

// A symbolic link to the configuration is saved through: replacing the link with
// a plain file would quietly detach it from the file the operator maintains.
std::u16string ResolveLinks(const std::u16string& name) {
    std::string path = FileNameToSys(name);
    for (int depth = 0; depth < 16; ++depth) {
        plat::FileInfo info;
        if (plat::Lstat(path, info) != 0 || !info.isLink) break;
        std::string target;
        if (plat::ReadLink(path, target) != 0 || target.empty()) break;
        if (target[0] != '/') {
            size_t slash = path.find_last_of('/');
            target =
                (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
        path = target;
    }
    return SysToFileName(path);
}

}  // namespace

std::u16string BoolToTrueFalseText(bool aValue) {
    return aValue ? u"TRUE" : u"FALSE";
}
std::u16string BoolToYesNoText(bool aValue) {
    return aValue ? u"Yes" : u"No";
}

bool TIniFileUTF8::TSection::HasParams() const {
    for (const TItem& it : Items)
        if (it.IsParam) return true;
    return false;
}

TIniFileUTF8::TIniFileUTF8(std::u16string_view aIniFileName, bool aCheckFileExists)
    : f_IniFileName(aIniFileName), f_CheckFileExists(aCheckFileExists) {
    Load();
}

TIniFileUTF8::~TIniFileUTF8() {
    if (!f_Modified) return;
    try {
        Save();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: configuration file \"%s\" was not saved: %s\n",
                     FileNameToSys(f_IniFileName).c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "ERROR: configuration file \"%s\" was not saved\n",
                     FileNameToSys(f_IniFileName).c_str());
    }
}

void TIniFileUTF8::Load() {
    TBinaryFile file;
    int rc = TryOpenBinaryFile(f_IniFileName, fmOpenRead | fmShareDenyNone, file);
    if (rc == ENOENT && !f_CheckFileExists) return;
    if (rc != 0) OpenBinaryFile(f_IniFileName, fmOpenRead | fmShareDenyNone, file);  // raises
    f_Exists = true;
    std::string data;
    std::string block(kSaveBufferSize, '\0');
    for (;;) {
        size_t got = ReadBinaryFileOrRaise(file, block.data(), block.size());
        if (got == 0) break;
        data.append(block.data(), got);
    }
    CloseBinaryFile(file);
    Parse(data);
}

void TIniFileUTF8::Parse(std::string_view data) {
    size_t eof = data.find('\x1A');
    if (eof != std::string_view::npos) data = data.substr(0, eof);
    // The mark goes before the lines are cut, so a file of nothing but the
    // mark has no line at all, as the writer's empty file reads.
    if (data.substr(0, 3) == kBom) data.remove_prefix(3);

    std::vector<std::string> pending;
    TSection* current = nullptr;
    // At a section's end its trailing blank lines go: the writer adds its own.
    auto flushInto = [&](std::vector<TItem>& items, bool sectionEnd) {
        while (sectionEnd && !pending.empty() && TrimBlanksViewA(pending.back()).empty())
            pending.pop_back();
        for (std::string& l : pending) {
            TItem it;
            it.RawLine = std::move(l);
            items.push_back(std::move(it));
        }
        pending.clear();
    };

    int lineNo = 0;
    size_t pos = 0;
    while (pos < data.size()) {
        ++lineNo;
        size_t nl = data.find('\n', pos);
        std::string_view line =
            nl == std::string_view::npos ? data.substr(pos) : data.substr(pos, nl - pos);
        pos = nl == std::string_view::npos ? data.size() : nl + 1;
        if (nl != std::string_view::npos)
            while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (char ch : line)
            if (static_cast<unsigned char>(ch) < 32 && ch != '\t') LineError(true, lineNo);

        std::string_view t = TrimBlanksLeftViewA(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') {
            pending.emplace_back(line);
            continue;
        }
        if (t[0] == '[') {
            size_t close = t.size() >= 2 ? t.find(']', 1) : std::string_view::npos;
            if (close == std::string_view::npos) {
                pending.emplace_back(line);  // not a header: kept, the section goes on
                continue;
            }
            std::string_view raw = TrimBlanksViewA(t.substr(1, close - 1));
            if (raw.empty()) LineError(false, lineNo);
            if (!IsValidUtf8Str(raw))
                f_Warnings.push_back(u"Section name on text line " + IntToDecStrW(lineNo) +
                                     u" is not valid UTF-8");
            std::u16string name = Utf8BufToUnicodeStd(raw);
            TSection* existing = FindSection(name);
            if (existing != nullptr && !name.empty()) {
                // The section goes on; what stood above the repeated header stays
                // with the section it followed.
                if (current != nullptr)
                    flushInto(current->Items, true);
                else
                    f_Preamble.insert(f_Preamble.end(), pending.begin(), pending.end());
                pending.clear();
                current = existing;
                continue;
            }
            TSection s;
            s.Name = std::move(name);
            s.RawName = std::string(raw);
            s.FromFile = true;
            if (current == nullptr) {
                f_Preamble = std::move(pending);
            } else {
                // Comments right above a header belong to it; what stands up to
                // the last blank line stays with the section it followed (such as
                // its commented-out parameters). The writer puts one blank line
                // before every later header itself.
                size_t split = pending.size();
                while (split > 0 && !TrimBlanksViewA(pending[split - 1]).empty()) --split;
                s.Leading.assign(pending.begin() + static_cast<std::ptrdiff_t>(split),
                                 pending.end());
                pending.resize(split);
                flushInto(current->Items, true);
            }
            pending.clear();
            f_Sections.push_back(std::move(s));
            current = &f_Sections.back();
            continue;
        }
        size_t eq = t.find('=');
        if (current == nullptr || eq == std::string_view::npos || eq == 0) {
            pending.emplace_back(line);
            continue;
        }
        std::string_view rawName = TrimBlanksViewA(t.substr(0, eq));
        std::string_view rawValue = t.substr(eq + 1);
        std::u16string name = Utf8BufToUnicodeStd(rawName);
        flushInto(current->Items, false);
        TItem* found = name.empty() ? nullptr : FindParamIn(current->Items, name);
        if (found != nullptr) {
            found->Value = Utf8BufToUnicodeStd(rawValue);
            found->RawValue = std::string(rawValue);
            continue;
        }
        TItem it;
        it.IsParam = true;
        it.Name = std::move(name);
        it.RawName = std::string(rawName);
        it.Value = Utf8BufToUnicodeStd(rawValue);
        it.RawValue = std::string(rawValue);
        current->Items.push_back(std::move(it));
    }
    if (current != nullptr)
        flushInto(current->Items, true);
    else
        f_Preamble.insert(f_Preamble.end(), pending.begin(), pending.end());
}

void TIniFileUTF8::LoadFromBytes(std::string_view aData) {
    f_Preamble.clear();
    f_Sections.clear();
    f_Warnings.clear();
    Parse(aData);
}

bool TIniFileUTF8::IsWritten(const TSection& s) const {
    // A section of the file stays, empty or not, so that loading and saving
    // change nothing; one that holds only the operator's comments is written
    // too, so an edit elsewhere never drops them.
    if (s.FromFile || WriteEmptySections || s.HasParams() || !s.Leading.empty()) return true;
    for (const TItem& it : s.Items)
        if (!it.IsParam && !TrimBlanksViewA(it.RawLine).empty()) return true;
    return false;
}

std::string TIniFileUTF8::Render() const {
    std::string out(kBom);
    for (const std::string& l : f_Preamble) out.append(l).append(kCrLf);
    bool first = true;
    for (const TSection& s : f_Sections) {
        if (!IsWritten(s)) continue;
        // The blank line separates two written sections; a skipped first
        // section leaves none behind.
        if (!first) out.append(kCrLf);
        first = false;
        for (const std::string& l : s.Leading) out.append(l).append(kCrLf);
        out.append("[").append(s.FromFile ? s.RawName : UnicodeToUtf8Str(s.Name)).append("]");
        out.append(kCrLf);
        // Blank lines at a section's end are left to the separator before the next
        // header, as when the file was read.
        size_t end = s.Items.size();
        while (end > 0 && !s.Items[end - 1].IsParam &&
               TrimBlanksViewA(s.Items[end - 1].RawLine).empty())
            --end;
        for (size_t k = 0; k < end; ++k) {
            const TItem& it = s.Items[k];
            if (!it.IsParam) {
                out.append(it.RawLine).append(kCrLf);
                continue;
            }
            out.append(it.RawName.empty() ? UnicodeToUtf8Str(it.Name) : it.RawName);
            out.append("=");
            out.append(it.Changed ? UnicodeToUtf8Str(it.Value) : it.RawValue);
            out.append(kCrLf);
        }
    }
    return out;
}

void TIniFileUTF8::Save() {
    if (!f_Modified) return;
    const std::u16string target = ResolveLinks(f_IniFileName);
    const std::u16string dir = ExtractFilePath(target);
    const std::u16string base = ExtractFileName(target);
    const std::u16string newName = dir + u"." + base + u".$new";
    const std::u16string oldName = dir + u"." + base + u".$old";
    const bool existed = FileExists(target);

    TTextFile f;
    // The file holds passwords: the new copy is born private and gets the old
    // one's bits before anything is written into it.
    CreatePrivateTextFileBuffered(newName, f, kSaveBufferSize);
    try {
        if (existed) {
            int rc = TryCopyPermissions(target, newName);
            if (rc != 0) RaiseFileError(rc, newName);
        }
        TextWriteRawBytesOrRaise(f, Render());
        CheckTextWriteError(TryFlushTextFile(f, true), f);
        CheckTextWriteError(CloseTextFile(f), f);
        if (existed) {
            // A second name for the old file, not a move: the configuration is
            // never missing, and a leftover backup still stops the save.
            int rc = TryLinkBackup(target, oldName);
            if (rc != 0) RaiseRenameError(rc, target, oldName);
        }
    } catch (...) {
        CloseTextFile(f);
        TryEraseFile(newName);
        throw;
    }
    int rc = TryReplaceFile(newName, target);
    if (rc != 0) {
        TryEraseFile(newName);
        if (existed) TryEraseFile(oldName);
        RaiseRenameError(rc, newName, target);
    }
    if (existed) TryEraseFile(oldName);
    f_Exists = true;
    f_Modified = false;
    for (TSection& s : f_Sections) {
        // A section that was not written stays one the file does not have.
        if (!IsWritten(s)) continue;
        // A header read from the file keeps its bytes, also when they are no UTF-8.
        if (!s.FromFile) s.RawName = UnicodeToUtf8Str(s.Name);
        s.FromFile = true;
        for (TItem& it : s.Items) {
            if (!it.IsParam || !it.Changed) continue;
            it.RawValue = UnicodeToUtf8Str(it.Value);
            if (it.RawName.empty()) it.RawName = UnicodeToUtf8Str(it.Name);
            it.Changed = false;
        }
    }
}

TIniFileUTF8::TSection* TIniFileUTF8::FindSection(std::u16string_view aSection) {
    return const_cast<TSection*>(std::as_const(*this).FindSection(aSection));
}

const TIniFileUTF8::TSection* TIniFileUTF8::FindSection(std::u16string_view aSection) const {
    for (const TSection& s : f_Sections)
        if (SameName(s.Name, aSection)) return &s;
    return nullptr;
}

const TIniFileUTF8::TItem* TIniFileUTF8::FindParam(std::u16string_view aSection,
                                                   std::u16string_view aName) const {
    const TSection* s = FindSection(aSection);
    return s == nullptr ? nullptr : FindParamIn(s->Items, aName);
}

bool TIniFileUTF8::TrimmedValue(std::u16string_view aSection, std::u16string_view aName,
                                std::u16string& aValue) const {
    const TItem* it = FindParam(aSection, aName);
    if (it == nullptr) return false;
    aValue = TrimSpaceW(it->Value);
    return true;
}

// ---- writers

void TIniFileUTF8::WriteString(std::u16string_view aSection, std::u16string_view aName,
                               std::u16string_view aValue) {
    CheckSection(aSection);
    CheckName(aSection, aName);
    CheckValue(aSection, aName, aValue);
    TSection* s = FindSection(aSection);
    if (s == nullptr) {
        TSection n;
        n.Name.assign(aSection);
        f_Sections.push_back(std::move(n));
        s = &f_Sections.back();
    }
    TItem* found = FindParamIn(s->Items, aName);
    if (found == nullptr) {
        TItem it;
        it.IsParam = true;
        it.Name.assign(aName);
        s->Items.push_back(std::move(it));
        found = &s->Items.back();
    }
    found->Value.assign(aValue);
    found->Changed = true;
    f_Modified = true;
}

void TIniFileUTF8::WriteInteger(std::u16string_view aSection, std::u16string_view aName,
                                int32_t aValue) {
    WriteString(aSection, aName, IntToDecStrW(aValue));
}
void TIniFileUTF8::WriteInt64(std::u16string_view aSection, std::u16string_view aName,
                              int64_t aValue) {
    WriteString(aSection, aName, IntToDecStrW(aValue));
}
void TIniFileUTF8::WriteBool(std::u16string_view aSection, std::u16string_view aName, bool aValue) {
    WriteString(aSection, aName, BoolToTrueFalseText(aValue));
}
void TIniFileUTF8::WriteLogicalYN(std::u16string_view aSection, std::u16string_view aName,
                                  bool aValue) {
    WriteString(aSection, aName, aValue ? u"yes" : u"no");
}
void TIniFileUTF8::WriteSingle(std::u16string_view aSection, std::u16string_view aName,
                               float aValue, char16_t aDecimalSeparator) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, aValue);
    std::u16string text = ByteStrToUnicode(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
    for (char16_t& c : text) {
        if (c == u'.')
            c = aDecimalSeparator;
        else if (c == u'e')
            c = u'E';
    }
    WriteString(aSection, aName, text);
}

bool TIniFileUTF8::SectionExists(std::u16string_view aSection) const {
    return FindSection(aSection) != nullptr;
}

bool TIniFileUTF8::DeleteSection(std::u16string_view aSection) {
    const TSection* s = FindSection(aSection);
    if (s == nullptr) return false;
    f_Sections.erase(f_Sections.begin() + (s - f_Sections.data()));
    f_Modified = true;
    return true;
}

bool TIniFileUTF8::DeleteParameter(std::u16string_view aSection, std::u16string_view aName) {
    TSection* s = FindSection(aSection);
    const TItem* it = s == nullptr ? nullptr : FindParamIn(s->Items, aName);
    if (it == nullptr) return false;
    s->Items.erase(s->Items.begin() + (it - s->Items.data()));
    f_Modified = true;
    return true;
}

// ---- readers

std::u16string TIniFileUTF8::ReadStringOriginal(std::u16string_view aSection,
                                                std::u16string_view aName,
                                                std::u16string_view aDefaultValue) const {
    const TItem* it = FindParam(aSection, aName);
    return it ? it->Value : std::u16string(aDefaultValue);
}

std::u16string TIniFileUTF8::ReadString(std::u16string_view aSection, std::u16string_view aName,
                                        std::u16string_view aDefaultValue) const {
    const TItem* it = FindParam(aSection, aName);
    if (it == nullptr) {
        std::u16string d = TrimSpaceW(aDefaultValue);
        return d.empty() ? std::u16string(aDefaultValue) : d;
    }
    std::u16string v = TrimSpaceW(it->Value);
    return v.empty() ? std::u16string(aDefaultValue) : v;
}

std::u16string TIniFileUTF8::ReadStringTrimLeft(std::u16string_view aSection,
                                                std::u16string_view aName,
                                                std::u16string_view aDefaultValue) const {
    const TItem* it = FindParam(aSection, aName);
    return TrimBlanksLeftW(it ? std::u16string_view(it->Value) : aDefaultValue);
}

std::u16string TIniFileUTF8::ReadStringDef2(std::u16string_view aSection, std::u16string_view aName,
                                            std::u16string_view aDefaultNotExist,
                                            std::u16string_view aDefaultEmpty) const {
    const TItem* it = FindParam(aSection, aName);
    if (it == nullptr) return std::u16string(aDefaultNotExist);
    std::u16string v = TrimSpaceW(it->Value);
    return v.empty() ? std::u16string(aDefaultEmpty) : v;
}

int32_t TIniFileUTF8::ReadInteger(std::u16string_view aSection, std::u16string_view aName,
                                  int32_t aDefaultValue) const {
    std::u16string t;
    int32_t v;
    return TrimmedValue(aSection, aName, t) && TryParseIntW(t, v) ? v : aDefaultValue;
}

int32_t TIniFileUTF8::ReadIntegerDef3(std::u16string_view aSection, std::u16string_view aName,
                                      int32_t aDefaultIfNotExist, int32_t aDefaultIfEmpty,
                                      int32_t aDefaultIfInvalid) const {
    const TItem* it = FindParam(aSection, aName);
    if (it == nullptr) return aDefaultIfNotExist;
    if (TrimSpaceW(it->Value).empty()) return aDefaultIfEmpty;
    int32_t v;
    return TryParseIntW(it->Value, v) ? v : aDefaultIfInvalid;
}

int64_t TIniFileUTF8::ReadInt64(std::u16string_view aSection, std::u16string_view aName,
                                int64_t aDefaultValue) const {
    std::u16string t;
    int64_t v;
    return TrimmedValue(aSection, aName, t) && TryParseInt64W(t, v) ? v : aDefaultValue;
}

bool TIniFileUTF8::ReadBool(std::u16string_view aSection, std::u16string_view aName,
                            bool aDefaultValue) const {
    std::u16string t;
    if (!TrimmedValue(aSection, aName, t)) return aDefaultValue;
    int64_t n;
    if (TryParseInt64W(t, n)) return n != 0;
    if (SameName(t, u"TRUE")) return true;
    if (SameName(t, u"FALSE")) return false;
    return aDefaultValue;
}

bool TIniFileUTF8::ReadLogical(std::u16string_view aSection, std::u16string_view aName,
                               bool aDefaultValue) const {
    std::u16string t;
    bool v;
    return TrimmedValue(aSection, aName, t) && TryParseBoolW(t, v) ? v : aDefaultValue;
}

int32_t TIniFileUTF8::ReadLogicalInt(std::u16string_view aSection, std::u16string_view aName,
                                     int32_t aDefaultValue) const {
    return ReadLogicalInt2(aSection, aName, aDefaultValue, aDefaultValue);
}

int32_t TIniFileUTF8::ReadLogicalInt2(std::u16string_view aSection, std::u16string_view aName,
                                      int32_t aDefaultValueNotExist,
                                      int32_t aDefaultEmptyOrInvalid) const {
    const TItem* it = FindParam(aSection, aName);
    if (it == nullptr) return aDefaultValueNotExist;
    int32_t n;
    if (TryParseIntW(it->Value, n)) return n != 0 ? 1 : 0;
    bool b;
    if (TryParseBoolW(it->Value, b)) return b ? 1 : 0;
    return aDefaultEmptyOrInvalid;
}

float TIniFileUTF8::ReadSingle(std::u16string_view aSection, std::u16string_view aName,
                               float aDefaultValue, char16_t aDecimalSeparator) const {
    std::u16string t;
    if (!TrimmedValue(aSection, aName, t)) return aDefaultValue;
    std::string bytes;
    for (char16_t c : t) {
        if (c == aDecimalSeparator)
            bytes += '.';
        else if (c < 128 && c != u'.')
            bytes += static_cast<char>(c);
        else
            return aDefaultValue;
    }
    if (bytes.empty()) return aDefaultValue;
    const char* first = bytes.data();
    if (*first == '+') ++first;  // from_chars takes no plus sign
    float v;
    auto r = std::from_chars(first, bytes.data() + bytes.size(), v);
    if (r.ec != std::errc() || r.ptr != bytes.data() + bytes.size()) return aDefaultValue;
    return v;
}

}  // namespace gax
