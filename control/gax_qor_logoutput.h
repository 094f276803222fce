// The console program's log output: every log line of a running server is
// written here, with the 25-character local-time prefix, in the console
// character set, ended by CR LF, to the current output (the log file in run
// mode, standard output in debug mode). The runner drains the service's log
// FIFO into InfoMessage and calls InfoFlush once per batch; the start-up
// writes its notes through WriteConsoleLine.
// Owned and used by the console program's main thread only (the service
// hands its lines over through synchronous calls), so nothing here locks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/gax_datetime.h"
#include "foundation/gax_fileutils.h"

namespace gax {

class TAnsiUnicodeConverter;
class TCharsetsCodeList;

// The prefix "YYYY-MM-DD hh:mm:ss.mmm: " kept between lines: month to second
// are written every time, the year and the milliseconds only when they change.
class TQORLogTimePrefix {
  public:
    static constexpr size_t kLength = 25;
    // Starts from out-of-range values so that the first line fills every field.
    TQORLogTimePrefix();
    std::string_view Update(const TDateTimeFields& aNow);
    std::string_view Text() const { return {f_DateTimeText, kLength}; }

  private:
    char f_DateTimeText[kLength + 1];
    uint16_t f_YYYY = 9999, f_MM = 99, f_DD = 99, f_HH = 99, f_NN = 99, f_SS = 99, f_ZZZ = 999;
};

// Log files are created readable by their owner's group but not by others:
// they name clients and addresses.
inline constexpr unsigned kLogFileMode = 0640;
inline constexpr size_t kLogOutputBufferSize = 4096;

class TQORLogOutput {
  public:
    // Standard output (aStdout) is the current output until OpenLogFile.
    explicit TQORLogOutput(std::FILE* aStdout = stdout);
    ~TQORLogOutput();
    TQORLogOutput(const TQORLogOutput&) = delete;
    TQORLogOutput& operator=(const TQORLogOutput&) = delete;

    // The console character set; an empty name, or none set, converts with
    // the system's default 8-bit set. Raises for a name the list lacks.
    void SetConsoleCharset(std::u16string_view aName, const TCharsetsCodeList* aCodeList);

    // Opens the log file for appending (created with kLogFileMode when
    // missing) and makes it the current output. Raises the file error.
    void OpenLogFile(std::u16string_view aFileName);
    const std::u16string& LogFileName() const { return f_LogFileName; }

    // One stamped line with the local time; nothing is flushed.
    void InfoMessage(std::u16string_view aInfo);
    // The same at a given time (the tests' clock).
    void InfoMessageAt(const TDateTimeFields& aNow, std::u16string_view aInfo);
    void InfoFlush();
    // Flushes and closes the current output and opens it again: the log file
    // is reopened for appending (a rotated file is created anew). Raises the
    // file error when the log file cannot be opened; the output is then
    // standard output, so later lines are not lost.
    void ReopenLogFile();

    // The runner's drain of the service's log FIFO: at most kDrainBatch lines
    // pulled by aPull (false when nothing is left) are written stamped, the
    // rest stay queued for the next call; one flush when any line was
    // written. Returns the number written.
    static constexpr int kDrainBatch = 128;
    int DrainLines(const std::function<bool(std::u16string&)>& aPull);

    // A line without time stamp, flushed at once.
    void WriteConsoleLine(std::u16string_view aText);
    // An error line of the program, in the system's console ("OEM") set,
    // without time stamp, flushed at once.
    void WriteErrorLine(std::u16string_view aText);
    // "YYYY-MM-DD hh:mm:ss.mmm: Aborted: [text]", flushed: the program's last line.
    void WriteAbortedLine(std::u16string_view aAbortText);

  private:
    std::string ToConsole(std::u16string_view aText) const;
    // 0 or the error of the write.
    int WriteBytes(std::string_view aBytes);

    std::FILE* f_Std;
    std::u16string f_LogFileName;
    TTextFile f_File;  // open while the log file is the current output
    std::unique_ptr<TAnsiUnicodeConverter> f_Console;
    TQORLogTimePrefix f_Prefix;
};

}  // namespace gax
