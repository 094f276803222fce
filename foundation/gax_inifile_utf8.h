// The UTF-8 INI file behind "server.ini": loaded whole by the constructor, read
// and edited in memory, written back by Save() through a safe replacement that
// never leaves the file missing or half written. Comment and blank lines keep
// their places across an edit. One thread creates, uses and destroys an instance.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_types.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EIniFileUTF8Exception, Exception);
GAX_DECLARE_EXCEPTION(EIniFileUTF8ExceptionInvalidCharacters, EIniFileUTF8Exception);
GAX_DECLARE_EXCEPTION(EIniFileUTF8ExceptionWrongFormat, EIniFileUTF8Exception);

std::u16string BoolToTrueFalseText(bool aValue);  // "TRUE" / "FALSE"
std::u16string BoolToYesNoText(bool aValue);      // "Yes" / "No"

class TIniFileUTF8 {
  public:
    // With aCheckFileExists a missing file raises EFileExceptionOpenError; without
    // it a missing file is an empty configuration. Load errors propagate.
    TIniFileUTF8(std::u16string_view aIniFileName, bool aCheckFileExists);
    // Saves a modified configuration that nobody saved, as a last resort: a failure
    // is written to standard error, never thrown. Callers should call Save().
    ~TIniFileUTF8();
    TIniFileUTF8(const TIniFileUTF8&) = delete;
    TIniFileUTF8& operator=(const TIniFileUTF8&) = delete;

    // Writes the file when modified; raises the file errors with the old file kept.
    void Save();

    const std::u16string& FileName() const { return f_IniFileName; }
    bool Exists() const { return f_Exists; }
    bool Modified() const { return f_Modified; }

    // When set, sections without parameters are written too (a section read
    // from the file is always written back, so a load and a save change nothing).
    bool WriteEmptySections = false;

    // What the load noticed but let pass, one text per finding (a section
    // header that is not UTF-8, whose name then reads as empty); the caller logs them.
    const std::vector<std::u16string>& Warnings() const { return f_Warnings; }

    // For tests and fuzzing: replaces the content by what the bytes of a file
    // parse to (load errors raise as from the file), and the bytes Save()
    // would write.
    void LoadFromBytes(std::string_view aData);
    std::string RenderBytes() const { return Render(); }

    // Writers refuse, with EIniFileUTF8ExceptionInvalidCharacters, control
    // characters other than TAB, and with EIniFileUTF8ExceptionWrongFormat an
    // empty section or name, "]" in a section name, "=" in a name and a name
    // beginning with ";", "#" or "[": the file could not hold them.
    void WriteString(std::u16string_view aSection, std::u16string_view aName,
                     std::u16string_view aValue);
    void WriteInteger(std::u16string_view aSection, std::u16string_view aName, int32_t aValue);
    void WriteInt64(std::u16string_view aSection, std::u16string_view aName, int64_t aValue);
    void WriteBool(std::u16string_view aSection, std::u16string_view aName, bool aValue);
    void WriteLogicalYN(std::u16string_view aSection, std::u16string_view aName, bool aValue);
    void WriteSingle(std::u16string_view aSection, std::u16string_view aName, float aValue,
                     char16_t aDecimalSeparator = u'.');

    bool SectionExists(std::u16string_view aSection) const;
    bool DeleteSection(std::u16string_view aSection);
    bool DeleteParameter(std::u16string_view aSection, std::u16string_view aName);

    std::u16string ReadStringOriginal(std::u16string_view aSection, std::u16string_view aName,
                                      std::u16string_view aDefaultValue) const;
    std::u16string ReadString(std::u16string_view aSection, std::u16string_view aName,
                              std::u16string_view aDefaultValue) const;
    std::u16string ReadStringTrimLeft(std::u16string_view aSection, std::u16string_view aName,
                                      std::u16string_view aDefaultValue) const;
    std::u16string ReadStringDef2(std::u16string_view aSection, std::u16string_view aName,
                                  std::u16string_view aDefaultNotExist,
                                  std::u16string_view aDefaultEmpty) const;
    int32_t ReadInteger(std::u16string_view aSection, std::u16string_view aName,
                        int32_t aDefaultValue) const;
    int32_t ReadIntegerDef3(std::u16string_view aSection, std::u16string_view aName,
                            int32_t aDefaultIfNotExist, int32_t aDefaultIfEmpty,
                            int32_t aDefaultIfInvalid) const;
    int64_t ReadInt64(std::u16string_view aSection, std::u16string_view aName,
                      int64_t aDefaultValue) const;
    bool ReadBool(std::u16string_view aSection, std::u16string_view aName,
                  bool aDefaultValue) const;
    bool ReadLogical(std::u16string_view aSection, std::u16string_view aName,
                     bool aDefaultValue) const;
    int32_t ReadLogicalInt(std::u16string_view aSection, std::u16string_view aName,
                           int32_t aDefaultValue) const;
    int32_t ReadLogicalInt2(std::u16string_view aSection, std::u16string_view aName,
                            int32_t aDefaultValueNotExist, int32_t aDefaultEmptyOrInvalid) const;
    float ReadSingle(std::u16string_view aSection, std::u16string_view aName, float aDefaultValue,
                     char16_t aDecimalSeparator = u'.') const;

  private:
    // One line of a section: a parameter, or a line kept as the operator wrote it.
    struct TItem {
        bool IsParam = false;
        std::u16string Name;
        std::u16string Value;
        std::string RawName;   // bytes as loaded: the name keeps its first spelling
        std::string RawValue;  // written back unchanged unless the value was written
        bool Changed = false;  // true for values set in memory
        std::string RawLine;   // comment, blank or unrecognised line
    };
    struct TSection {
        std::u16string Name;
        std::string RawName;
        bool FromFile = false;
        std::vector<std::string> Leading;  // comments and blank lines above the header
        std::vector<TItem> Items;
        bool HasParams() const;
    };

    void Load();
    void Parse(std::string_view data);
    std::string Render() const;
    // Whether Save() writes the section.
    bool IsWritten(const TSection& aSection) const;
    TSection* FindSection(std::u16string_view aSection);
    const TSection* FindSection(std::u16string_view aSection) const;
    const TItem* FindParam(std::u16string_view aSection, std::u16string_view aName) const;
    // The value of a parameter without surrounding spaces; false when it is missing.
    bool TrimmedValue(std::u16string_view aSection, std::u16string_view aName,
                      std::u16string& aValue) const;

    bool f_Modified = false;
    bool f_Exists = false;
    std::u16string f_IniFileName;
    std::vector<std::string> f_Preamble;  // lines before the first section
    std::vector<TSection> f_Sections;
    bool f_CheckFileExists = false;
    std::vector<std::u16string> f_Warnings;
};

}  // namespace gax
