// Editing "server.ini" from the command line, without a running server: the
// parameter commands (get, set, delete, clear) and the configuration-only
// manager commands (password or e-mail by index, password by address).
// Every change goes through the INI file's own save, which writes a new file
// beside the old one and replaces it in one step, keeping its mode, owner and
// a symbolic link: a failure leaves the file as it was.
// Runs on the console program's main thread; no state between calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "control/gax_qor_cmdwords.h"

namespace gax {

struct TQORServiceConfig;
class TCharsetsCodeList;

// 0 with the value (trimmed; empty when absent), or 2 with the error message.
int32_t IniGetParameter(std::u16string_view aFileName, std::u16string_view aSection,
                        std::u16string_view aParam, std::u16string& aValue);
// 0, or 2 with the message; the file is unchanged on failure. A missing file
// raises the file error (the start-up creates it first).
int32_t IniSetParameter(std::u16string_view aFileName, std::u16string_view aSection,
                        std::u16string_view aParam, std::u16string& aError,
                        std::u16string_view aValue);
// Removes the parameter; its section stays even when it becomes empty.
int32_t IniDeleteParameter(std::u16string_view aFileName, std::u16string_view aSection,
                           std::u16string_view aParam, std::u16string& aError);

// True for the commands this unit carries out.
bool IsParameterCommand(TQORSVCCommand aCommand);

// Carries out one editing command on aFileName and returns the exit code:
// 0; 2 with "ERROR: " and the message on aErr; 30 or 31 when no enabled
// manager section, or more than one, has the given address. A got value goes
// to aOut in aConsoleCharset.
// REQUIRES: IsParameterCommand(aCommand); for the manager commands aConfig
// holds the file as read at start-up (it is not used by the others).
int RunParameterCommand(TQORSVCCommand aCommand, const TQORSVCCommandLineOptions& aOptions,
                        std::u16string_view aFileName, const TQORServiceConfig& aConfig,
                        std::u16string_view aConsoleCharset, const TCharsetsCodeList* aCodeList,
                        std::FILE* aOut, std::FILE* aErr);

}  // namespace gax
