// Text routines of the field codecs.
#include "protocol/gax_qor_textutils.h"

#include <cstring>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"

namespace gax {

namespace {

// A prefix length that does not end between the halves of a surrogate pair.
size_t PairSafe(std::u16string_view t, size_t k) {
    if (k > 0 && k < t.size() && IsHighSurrogate(t[k - 1]) && IsLowSurrogate(t[k])) return k - 1;
    return k;
}

constexpr size_t kFilterMax = 500;

}  // namespace

std::string UnicodeToAnsiOrDefault(const TAnsiUnicodeConverter* converter,
                                   std::u16string_view text) {
    return converter ? converter->UnicodeToAnsi(text) : UnicodeToOemStr(text);
}

std::string UnicodeToAnsiMaxBytes(const TAnsiUnicodeConverter* converter, size_t limit,
                                  std::u16string_view text) {
    std::string whole = UnicodeToAnsiOrDefault(converter, text);
    if (whole.size() <= limit) return whole;
    // The encoded length only grows with the prefix, so the longest prefix that
    // fits is found by bisection instead of dropping one unit per conversion.
    size_t lo = 0, hi = text.size();  // prefix lo fits, prefix hi does not
    std::string best;
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        std::string s = UnicodeToAnsiOrDefault(converter, text.substr(0, mid));
        if (s.size() <= limit) {
            lo = mid;
            best = std::move(s);
        } else {
            hi = mid;
        }
    }
    const size_t safe = PairSafe(text, lo);
    if (safe != lo) best = UnicodeToAnsiOrDefault(converter, text.substr(0, safe));
    return best;
}

std::u16string FilterControlChars(std::u16string_view text) {
    std::u16string out;
    out.reserve(std::min(text.size(), kFilterMax));
    for (char16_t c : text) {
        if (out.size() >= kFilterMax) break;
        if (c < 0x20 && c != u'\t') continue;
        out += c;
    }
    return out;
}

// ---- line reader ----

TQORTextFileReaderA::TQORTextFileReaderA(size_t bufferSize)
    : f_Buf(std::make_unique<char[]>(bufferSize ? bufferSize : 1)),
      f_Size(bufferSize ? bufferSize : 1) {}

int TQORTextFileReaderA::Open(std::u16string_view name) {
    Close();
    return TryOpenBinaryFile(name, fmOpenRead, f_File);
}

void TQORTextFileReaderA::Close() {
    if (f_File.IsOpen()) CloseBinaryFile(f_File);
    f_Len = f_Pos = 0;
    f_Eof = false;
}

bool TQORTextFileReaderA::Fill() {
    if (f_Pos < f_Len) return true;
    if (f_Eof || !f_File.IsOpen()) return false;
    f_Pos = 0;
    f_Len = ReadBinaryFileOrRaise(f_File, f_Buf.get(), f_Size);
    if (f_Len == 0) f_Eof = true;
    return f_Len > 0;
}

bool FastStrReadLn(TQORTextFileReaderA& file, FastStringA& f, size_t limit) {
    f.Clear();
    bool any = false;
    while (file.Fill()) {
        any = true;
        const char* start = file.f_Buf.get() + file.f_Pos;
        const size_t avail = file.f_Len - file.f_Pos;
        const void* nl = std::memchr(start, '\n', avail);
        const size_t n = nl ? size_t(static_cast<const char*>(nl) - start) : avail;
        // Only what still fits under the limit is kept; the rest of the line is
        // passed over buffer by buffer.
        const size_t keep = f.Len() < limit ? std::min(n, limit - f.Len()) : 0;
        if (keep > 0) f.Append(start, keep);
        file.f_Pos += n;
        if (nl) {
            ++file.f_Pos;
            if (!f.Empty() && f.Data()[f.Len() - 1] == '\r') f.Truncate(f.Len() - 1);
            return true;
        }
    }
    return any;
}

// ---- words ----

bool SamePrefixMinLen(std::u16string_view word, std::u16string_view text, size_t minimum) {
    const size_t n = std::min(word.size(), text.size());
    if (n < std::max<size_t>(minimum, 1)) return false;
    return word.substr(0, n) == text.substr(0, n);
}

bool TryParseReopenLogSignal(std::u16string_view text, TQORReopenLogSignal& signal) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] <= 0x20) ++b;
    while (e > b && text[e - 1] <= 0x20) --e;
    const std::u16string t = AsciiUpperCaseW(text.substr(b, e - b));
    if (t.empty()) return false;

    bool digits = true;
    for (char16_t c : t) digits = digits && c >= u'0' && c <= u'9';
    if (digits) {
        const size_t nz = t.find_first_not_of(u'0');
        const std::u16string_view v =
            nz == std::u16string::npos ? u"0" : std::u16string_view(t).substr(nz);
        if (v == u"0")
            signal = rls_SIGUSR1;
        else if (v == u"1")
            signal = rls_SIGUSR2;
        else
            return false;
        return true;
    }

    static constexpr struct {
        std::u16string_view word;
        size_t minimum;
        TQORReopenLogSignal signal;
    } kWords[] = {
        {u"SIGUSR1", 7, rls_SIGUSR1}, {u"USR1", 4, rls_SIGUSR1}, {u"U1", 2, rls_SIGUSR1},
        {u"SIGUSR2", 7, rls_SIGUSR2}, {u"USR2", 4, rls_SIGUSR2}, {u"U2", 2, rls_SIGUSR2},
    };
    for (const auto& w : kWords) {
        if (SamePrefixMinLen(w.word, t, w.minimum)) {
            signal = w.signal;
            return true;
        }
    }
    return false;
}

TQORReopenLogSignal ReopenLogSignalFromText(std::u16string_view text) {
    TQORReopenLogSignal s = rls_SIGUSR1;
    return TryParseReopenLogSignal(text, s) ? s : rls_SIGUSR1;
}

}  // namespace gax
