#include "foundation/gax_tgetopt.h"

#include <utility>

#include "foundation/gax_strutils.h"

namespace gax {

namespace {

enum WordKind { kNotOption = 0, kShort = 1, kLong = 2 };

// "--" alone is a short word and the single "-" no option at all, as in the classic getopt.
WordKind KindOf(const std::u16string& aWord) {
    if (aWord.size() > 2 && aWord[0] == u'-' && aWord[1] == u'-') return kLong;
    if (aWord.size() > 1 && aWord[0] == u'-') return kShort;
    return kNotOption;
}

}  // namespace

EGetoptException::EGetoptException(std::string_view aMessage, int32_t aOptind,
                                   std::u16string aParamStr, std::u16string aOffendingOption)
    : Exception(aMessage),
      f_Optind(aOptind),
      f_ParamStr(std::move(aParamStr)),
      f_OffendingOption(std::move(aOffendingOption)) {}

TGetopt::TGetopt(std::vector<std::u16string> aParams, std::u16string_view aOptstring,
                 TLongopts aLongopts)
    : FParams(std::move(aParams)), FLongopts(std::move(aLongopts)), FOptString(aOptstring) {}

void TGetopt::AddLongOption(std::u16string_view aName, char16_t aEqualsShort) {
    FLongopts.push_back(TLongopt{std::u16string(aName), aEqualsShort, atNone});
}

void TGetopt::AddLongOption(std::u16string_view aName, TArgumentType aArgumentType) {
    FLongopts.push_back(TLongopt{std::u16string(aName), 0, aArgumentType});
}

std::u16string TGetopt::ProgramName() const {
    return FParams.empty() ? std::u16string() : FParams[0];
}

std::u16string TGetopt::GetRemain(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= static_cast<int32_t>(FRemainingArguments.size())) return {};
    return std::u16string(TrimBlanksViewW(FRemainingArguments[aIndex]));
}

bool TGetopt::HasWord() const {
    return Current >= 1 && Current < static_cast<int32_t>(FParams.size());
}

void TGetopt::Advance() {
    if (HasWord() && Optind < static_cast<int32_t>(Word().size())) {
        ++Optind;
        return;
    }
    if (Current < static_cast<int32_t>(FParams.size())) ++Current;
    if (HasWord()) Optind = KindOf(Word()) + 1;  // past the word's dashes
}

TArgumentType TGetopt::ShortArgumentType(char16_t aLetter, bool& rKnown) const {
    const size_t pos = aLetter == u':' ? std::u16string::npos : FOptString.find(aLetter);
    rKnown = pos != std::u16string::npos;
    if (!rKnown || pos + 1 >= FOptString.size() || FOptString[pos + 1] != u':') return atNone;
    if (pos + 2 < FOptString.size() && FOptString[pos + 2] == u':') return atOptional;
    return atRequired;
}

void TGetopt::Fail(std::string_view aMessage, std::u16string aOffending) const {
    throw EGetoptException(aMessage, Optind, HasWord() ? Word() : std::u16string(),
                           std::move(aOffending));
}

bool TGetopt::getopt() {
    FArgument.clear();
    FOption = 0;
    FIsLongOption = false;
    FLongOption.clear();
    if (FDone) return false;
    Advance();

    if (!HasWord() || KindOf(Word()) == kNotOption || Word() == u"--") {
        FDone = true;
        FRemainingArguments.clear();
        if (HasWord()) {
            // "--" only marks the end of the options; an ordinary word is kept whole.
            if (Word() != u"--") FRemainingArguments.push_back(Word().substr(Optind - 1));
            for (size_t i = Current + 1; i < FParams.size(); ++i)
                FRemainingArguments.push_back(FParams[i]);
        }
        return false;
    }

    const std::u16string& word = Word();
    const int32_t size = static_cast<int32_t>(word.size());
    TArgumentType type = atNone;
    bool longForm = false;

    if (KindOf(word) == kShort) {
        FOption = word[Optind - 1];
        bool known;
        type = ShortArgumentType(FOption, known);
        if (!known) Fail("Invalid command line option encountered!", std::u16string(1, FOption));
    } else {
        longForm = true;
        int32_t end = Optind - 1;
        while (end < size && word[end] > u' ' && word[end] != u'=') ++end;
        std::u16string name = word.substr(Optind - 1, end - (Optind - 1));
        size_t dashes = 0;
        while (dashes + 1 < name.size() && name[dashes] == u'-') ++dashes;
        name.erase(0, dashes);
        const TLongopt* entry = nullptr;
        for (const TLongopt& l : FLongopts)
            if (l.Name == name) {
                entry = &l;
                break;
            }
        if (entry == nullptr) Fail("Invalid long command line option encountered!", name);
        FLongOption = entry->Name;
        Optind = end + 1;  // onto the '=' (or separator), or past the end
        if (entry->EqualsShort != 0) {
            FOption = entry->EqualsShort;
            bool known;
            type = ShortArgumentType(FOption, known);
        } else {
            FIsLongOption = true;
            type = entry->Argument;
        }
    }

    const std::u16string offending = longForm ? FLongOption : std::u16string(1, FOption);
    if (type == atNone) {
        if (longForm && Optind <= size)
            Fail("This long parameter expects no arguments!", offending);
        return true;
    }
    if (Optind < size) {
        FArgument = word.substr(Optind);
        Optind = size;
    } else if (Current + 1 < static_cast<int32_t>(FParams.size()) &&
               KindOf(FParams[Current + 1]) == kNotOption) {
        ++Current;
        FArgument = Word();
        Optind = static_cast<int32_t>(Word().size());
    }
    if (type == atRequired && FArgument.empty()) Fail("Required argument missing!", offending);
    return true;
}

}  // namespace gax
