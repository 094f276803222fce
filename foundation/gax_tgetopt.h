// Command-line option parser in the manner of the classic getopt: grouped
// short letters with attached or separate arguments, and --name / --name=value
// long options that are options of their own or stand for a short letter.
// Parsing stops at the first word that is not an option; it and the words
// after it are the remaining arguments. One parser per command line, one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_types.h"

namespace gax {

enum TArgumentType : uint8_t { atNone, atRequired, atOptional };

struct TLongopt {
    std::u16string Name;              // without the leading dashes
    char16_t EqualsShort = 0;         // when set, the long option is that short letter
    TArgumentType Argument = atNone;  // used when EqualsShort is 0
};
using TLongopts = std::vector<TLongopt>;

class EGetoptException : public Exception {
  public:
    EGetoptException(std::string_view aMessage, int32_t aOptind, std::u16string aParamStr,
                     std::u16string aOffendingOption);
    std::u16string_view ClassName() const noexcept override { return u"EGetoptException"; }

    // Position inside the word at the failure (1-based).
    int32_t Optind() const { return f_Optind; }
    // The word being parsed.
    const std::u16string& ParamStr() const { return f_ParamStr; }
    // The long option's name or the short letter.
    const std::u16string& OffendingOption() const { return f_OffendingOption; }

  private:
    int32_t f_Optind;
    std::u16string f_ParamStr;
    std::u16string f_OffendingOption;
};

class TGetopt {
  public:
    // aParams[0] is the program's path; aParams[1..] are the words to parse.
    // aOptstring lists the short letters, each followed by ':' when it requires
    // an argument or by "::" when it takes an optional one.
    TGetopt(std::vector<std::u16string> aParams, std::u16string_view aOptstring,
            TLongopts aLongopts = {});

    void AddLongOption(std::u16string_view aName, char16_t aEqualsShort);
    void AddLongOption(std::u16string_view aName, TArgumentType aArgumentType);

    // True: one option was read and Option/IsLongOption/LongOption/Argument
    // describe it. False: no more options; RemainingArguments holds the rest
    // (a "--" word ends the options and is not among them). Raises
    // EGetoptException on an unknown option or a misplaced or missing argument.
    bool getopt();

    // The remaining argument at aIndex (from 0), trimmed; empty beyond the list.
    std::u16string GetRemain(int32_t aIndex) const;

    const std::u16string& Argument() const { return FArgument; }
    // The letter, or 0 for a long option of its own.
    char16_t Option() const { return FOption; }
    bool IsLongOption() const { return FIsLongOption; }
    // The long option's name; empty after a short one.
    const std::u16string& LongOption() const { return FLongOption; }
    const std::vector<std::u16string>& RemainingArguments() const { return FRemainingArguments; }
    std::u16string ProgramName() const;

  private:
    bool HasWord() const;
    const std::u16string& Word() const { return FParams[Current]; }
    void Advance();
    TArgumentType ShortArgumentType(char16_t aLetter, bool& rKnown) const;
    [[noreturn]] void Fail(std::string_view aMessage, std::u16string aOffending) const;

    std::vector<std::u16string> FParams;
    // Index of the word being parsed; 0 until the first word is entered, so
    // that the first word is judged like every other one.
    int32_t Current = 0;
    int32_t Optind = 1;  // 1-based position inside the word
    TLongopts FLongopts;
    std::u16string FOptString;
    std::u16string FArgument;
    char16_t FOption = 0;
    std::vector<std::u16string> FRemainingArguments;
    bool FIsLongOption = false;
    std::u16string FLongOption;
    bool FDone = false;
};

}  // namespace gax
