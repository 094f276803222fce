#include "control/gax_qor_paramedit.h"

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_inifile_utf8.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_setup.h"

namespace gax {

namespace {

using C = TQORSVCCommand;

// A missing file is the file layer's error for "no such file", raised: the
// editor never creates a configuration of its own.
void RequireFile(std::u16string_view aFileName) {
    if (!FileExists(aFileName)) RaiseFileError(2, aFileName);
}

void WriteErrLine(std::FILE* aErr, std::u16string_view aText) {
    const std::string s = UnicodeToOemStr(aText) + "\r\n";
    std::fwrite(s.data(), 1, s.size(), aErr);
    std::fflush(aErr);
}

}  // namespace

int32_t IniGetParameter(std::u16string_view aFileName, std::u16string_view aSection,
                        std::u16string_view aParam, std::u16string& aValue) {
    try {
        TIniFileUTF8 ini(aFileName, true);
        aValue = TrimSpaceW(ini.ReadString(aSection, aParam, u""));
        return 0;
    } catch (const Exception& e) {
        aValue = e.Message();
        return 2;
    }
}

int32_t IniSetParameter(std::u16string_view aFileName, std::u16string_view aSection,
                        std::u16string_view aParam, std::u16string& aError,
                        std::u16string_view aValue) {
    RequireFile(aFileName);
    try {
        TIniFileUTF8 ini(aFileName, true);
        ini.WriteString(aSection, aParam, aValue);
        ini.Save();
        return 0;
    } catch (const Exception& e) {
        aError = e.Message();
        return 2;
    }
}

int32_t IniDeleteParameter(std::u16string_view aFileName, std::u16string_view aSection,
                           std::u16string_view aParam, std::u16string& aError) {
    RequireFile(aFileName);
    try {
        TIniFileUTF8 ini(aFileName, true);
        ini.WriteEmptySections = true;
        ini.DeleteParameter(aSection, aParam);
        ini.Save();
        return 0;
    } catch (const Exception& e) {
        aError = e.Message();
        return 2;
    }
}

bool IsParameterCommand(TQORSVCCommand aCommand) {
    switch (aCommand) {
        case C::getparameter:
        case C::setparameter:
        case C::deleteparameter:
        case C::clearparameter:
        case C::setmanpassidx:
        case C::setmanemailidx:
        case C::setmanpassaddr:
        case C::setmanpassaddremail: return true;
        default: return false;
    }
}

int RunParameterCommand(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& o,
                        std::u16string_view aFileName, const TQORServiceConfig& aConfig,
                        std::u16string_view aConsoleCharset, const TCharsetsCodeList* aCodeList,
                        std::FILE* aOut, std::FILE* aErr) {
    std::u16string text;
    int32_t result = 0;
    // The manager section of an address; 0 when found, else the exit code.
    auto byAddress = [&](bool aWithEmail, int32_t& aIndex) {
        const TQORSVCManagerSearchResult found =
            aWithEmail ? FindManagerByAddressEMail(aConfig, o.sclo_Par2, o.sclo_Par3, aIndex)
                       : FindManagerByAddress(aConfig, o.sclo_Par2, aIndex);
        if (found == TQORSVCManagerSearchResult::fsmsr_Found) return 0;
        const bool none = found == TQORSVCManagerSearchResult::fsmsr_NotFound;
        std::u16string line = u"ERROR: ";
        line += none ? u"QOR System Manager not found" : u"Found too many QOR System Managers";
        line += u": " + o.sclo_Par2;
        if (aWithEmail) line += u"/" + o.sclo_Par3;
        WriteErrLine(aErr, line);
        return none ? 30 : 31;
    };
    int32_t index = o.sclo_ManagerIndex;
    switch (aCommand) {
        case C::getparameter:
            result = IniGetParameter(aFileName, o.sclo_Par2, o.sclo_Par3, text);
            if (result == 0) {
                if (!text.empty()) {
                    std::string bytes;
                    try {
                        TAnsiUnicodeConverter conv;
                        conv.SetCharsetsCodeList(aCodeList);
                        conv.SetCharsetName(aConsoleCharset);
                        bytes = conv.UnicodeToAnsi(text);
                    } catch (const Exception&) {
                        // No usable console set: the default 8-bit one still shows the value.
                        bytes = UnicodeToSysAnsiStr(text);
                    }
                    bytes += "\r\n";
                    std::fwrite(bytes.data(), 1, bytes.size(), aOut);
                    std::fflush(aOut);
                }
                return 0;
            }
            break;
        case C::setparameter:
            result = IniSetParameter(aFileName, o.sclo_Par2, o.sclo_Par3, text, o.sclo_Par4);
            break;
        case C::clearparameter:
            result = IniSetParameter(aFileName, o.sclo_Par2, o.sclo_Par3, text, u"");
            break;
        case C::deleteparameter:
            result = IniDeleteParameter(aFileName, o.sclo_Par2, o.sclo_Par3, text);
            break;
        case C::setmanpassidx:
            result = IniSetParameter(aFileName, kQORManagerSectionNames[size_t(index)],
                                     u"ManagerAuthPassword", text, o.sclo_Par3);
            break;
        case C::setmanemailidx:
            result = IniSetParameter(aFileName, kQORManagerSectionNames[size_t(index)],
                                     u"ManagerAuthEMail", text, o.sclo_Par3);
            break;
        case C::setmanpassaddr:
            if (int code = byAddress(false, index); code != 0) return code;
            result = IniSetParameter(aFileName, kQORManagerSectionNames[size_t(index)],
                                     u"ManagerAuthPassword", text, o.sclo_Par3);
            break;
        case C::setmanpassaddremail:
            if (int code = byAddress(true, index); code != 0) return code;
            result = IniSetParameter(aFileName, kQORManagerSectionNames[size_t(index)],
                                     u"ManagerAuthPassword", text, o.sclo_Par4);
            break;
        default: throw Exception(std::string_view("Not a configuration editing command"));
    }
    if (result != 0 && !text.empty()) WriteErrLine(aErr, u"ERROR: " + text);
    return result;
}

}  // namespace gax
