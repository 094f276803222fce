#include "control/gax_qor_logoutput.h"

#include <cerrno>
#include <cstring>

#include "foundation/gax_ansi_unicode_converter.h"
#include "platform/plat_file.h"

namespace gax {

namespace {

void Put2(char* aDst, unsigned aValue) {
    aDst[0] = char('0' + (aValue / 10) % 10);
    aDst[1] = char('0' + aValue % 10);
}

}  // namespace

TQORLogTimePrefix::TQORLogTimePrefix() {
    std::memcpy(f_DateTimeText, "9999-99-99 99:99:99.999: ", kLength + 1);
}

std::string_view TQORLogTimePrefix::Update(const TDateTimeFields& aNow) {
    char* t = f_DateTimeText;
    if (aNow.Year != f_YYYY) {
        Put2(t, unsigned(aNow.Year) / 100);
        Put2(t + 2, unsigned(aNow.Year) % 100);
        f_YYYY = uint16_t(aNow.Year);
    }
    if (aNow.Millisecond != f_ZZZ) {
        Put2(t + 20, unsigned(aNow.Millisecond) / 10);
        t[22] = char('0' + unsigned(aNow.Millisecond) % 10);
        f_ZZZ = uint16_t(aNow.Millisecond);
    }
    Put2(t + 5, unsigned(aNow.Month));
    Put2(t + 8, unsigned(aNow.Day));
    Put2(t + 11, unsigned(aNow.Hour));
    Put2(t + 14, unsigned(aNow.Minute));
    Put2(t + 17, unsigned(aNow.Second));
    f_MM = uint16_t(aNow.Month);
    f_DD = uint16_t(aNow.Day);
    f_HH = uint16_t(aNow.Hour);
    f_NN = uint16_t(aNow.Minute);
    f_SS = uint16_t(aNow.Second);
    return Text();
}

TQORLogOutput::TQORLogOutput(std::FILE* aStdout) : f_Std(aStdout) {}

TQORLogOutput::~TQORLogOutput() {
    InfoFlush();
    CloseTextFile(f_File);
}

void TQORLogOutput::SetConsoleCharset(std::u16string_view aName,
                                      const TCharsetsCodeList* aCodeList) {
    if (aName.empty()) {
        f_Console.reset();
        return;
    }
    auto conv = std::make_unique<TAnsiUnicodeConverter>();
    conv->SetCharsetsCodeList(aCodeList);
    conv->SetCharsetName(aName);
    f_Console = std::move(conv);
}

void TQORLogOutput::OpenLogFile(std::u16string_view aFileName) {
    // The exclusive create sets the mode of a new file; an existing one keeps
    // the mode its operator gave it.
    int fd = -1;
    if (plat::CreateExclusive(FileNameToSys(aFileName), fd, kLogFileMode) == 0) plat::Close(fd);
    TTextFile file;
    AppendOrCreateTextFile(aFileName, file, nullptr, kLogOutputBufferSize);
    InfoFlush();
    CloseTextFile(f_File);
    f_File = std::move(file);
    f_LogFileName = std::u16string(aFileName);
}

std::string TQORLogOutput::ToConsole(std::u16string_view aText) const {
    return f_Console ? f_Console->UnicodeToAnsi(aText) : UnicodeToSysAnsiStr(aText);
}

int TQORLogOutput::WriteBytes(std::string_view aBytes) {
    if (aBytes.empty()) return 0;
    if (f_File.IsOpen()) return TextWriteRawBytes(f_File, aBytes);
    if (std::fwrite(aBytes.data(), 1, aBytes.size(), f_Std) != aBytes.size()) return EIO;
    return 0;
}

void TQORLogOutput::InfoMessage(std::u16string_view aInfo) {
    InfoMessageAt(DecodeDateTime(LocalNow()), aInfo);
}

void TQORLogOutput::InfoMessageAt(const TDateTimeFields& aNow, std::u16string_view aInfo) {
    // Write errors are not reported: a failed line stays incomplete and the
    // next one follows.
    WriteBytes(f_Prefix.Update(aNow));
    if (WriteBytes(ToConsole(aInfo)) != 0) return;
    WriteBytes("\r\n");
}

int TQORLogOutput::DrainLines(const std::function<bool(std::u16string&)>& aPull) {
    int written = 0;
    std::u16string line;
    // The count is tested before a line is pulled, so a line is never taken
    // out of the FIFO without being written.
    while (written < kDrainBatch && aPull(line)) {
        InfoMessage(line);
        ++written;
    }
    if (written > 0) InfoFlush();
    return written;
}

void TQORLogOutput::InfoFlush() {
    if (f_File.IsOpen())
        TryFlushTextFile(f_File);
    else
        std::fflush(f_Std);
}

void TQORLogOutput::ReopenLogFile() {
    InfoFlush();
    // Standard output stays as it is; a log file that failed to open again
    // is tried again.
    if (f_LogFileName.empty()) return;
    CloseTextFile(f_File);
    OpenLogFile(std::u16string(f_LogFileName));
}

void TQORLogOutput::WriteConsoleLine(std::u16string_view aText) {
    if (WriteBytes(ToConsole(aText)) == 0) WriteBytes("\r\n");
    InfoFlush();
}

void TQORLogOutput::WriteErrorLine(std::u16string_view aText) {
    if (WriteBytes(UnicodeToOemStr(aText)) == 0) WriteBytes("\r\n");
    InfoFlush();
}

void TQORLogOutput::WriteAbortedLine(std::u16string_view aAbortText) {
    std::u16string line = FormatTimestampText(LocalNow());
    line += u": Aborted: [";
    line += aAbortText;
    line += u"]";
    WriteConsoleLine(line);
}

}  // namespace gax
