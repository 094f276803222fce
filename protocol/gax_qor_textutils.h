// Small text routines that go with the field codecs: cutting a text to a byte
// limit in an 8-bit character set, the control-character filter, the bounded
// line reader for 8-bit text files, prefix matching of short words and the
// names of the log-reopen signal. Stateless except for the reader, which
// belongs to one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/gax_faststring.h"
#include "foundation/gax_fileutils.h"
#include "protocol/gax_qor_consts.h"

namespace gax {

class TAnsiUnicodeConverter;

// The text in the converter's character set (the console set without one),
// cut to at most `limit` bytes by dropping whole characters from its end; a
// surrogate pair is dropped as a whole, never split.
std::string UnicodeToAnsiMaxBytes(const TAnsiUnicodeConverter* converter, size_t limit,
                                  std::u16string_view text);
std::string UnicodeToAnsiOrDefault(const TAnsiUnicodeConverter* converter,
                                   std::u16string_view text);

// At most 500 characters of the text without U+0000..U+0008 and U+000A..U+001F
// (TAB stays).
std::u16string FilterControlChars(std::u16string_view text);

// An 8-bit text file read through a buffer, for FastStrReadLn.
class TQORTextFileReaderA {
  public:
    explicit TQORTextFileReaderA(size_t bufferSize = 4096);
    // 0 or the system's error code; raises nothing.
    int Open(std::u16string_view name);
    void Close();
    bool IsOpen() const { return f_File.IsOpen(); }

  private:
    friend bool FastStrReadLn(TQORTextFileReaderA& file, FastStringA& f, size_t limit);
    // Refills when the buffer is used up; false at the end of the file. Raises
    // EFileException on a read error.
    bool Fill();

    TBinaryFile f_File;
    std::unique_ptr<char[]> f_Buf;
    size_t f_Size;
    size_t f_Len = 0;
    size_t f_Pos = 0;
    bool f_Eof = false;
};

// Empties f and reads the next line into it: at most `limit` bytes are kept
// and the rest of an over-long line is skipped unread into f; the LF is
// consumed and one CR before it removed. A last line without LF is returned as
// it stands. False (and f empty) at the end of the file.
bool FastStrReadLn(TQORTextFileReaderA& file, FastStringA& f, size_t limit);

// n = the shorter length: true when n >= max(minimum, 1) and the first n
// characters of both are equal (case-sensitive).
bool SamePrefixMinLen(std::u16string_view word, std::u16string_view text, size_t minimum);

// "SIGUSR1"/"USR1"/"U1" or 0 name SIGUSR1, "SIGUSR2"/"USR2"/"U2" or 1 name
// SIGUSR2 (trimmed, any case, a word may go on after its match).
bool TryParseReopenLogSignal(std::u16string_view text, TQORReopenLogSignal& signal);
TQORReopenLogSignal ReopenLogSignalFromText(std::u16string_view text);  // SIGUSR1 if invalid

}  // namespace gax
