// libFuzzer target for the protocol's field readers and parsers: the tag-list
// parser, the typed-field parser and the hex-length readers, and the other
// readers of hostile bytes beside them: the 8-bit line reader, id checks and
// normalisation, and the parsers of ports, delimiters and signal names. Every
// input is copied into a heap block of exactly its size so that
// AddressSanitizer catches any read past the data; every span returned must
// lie inside it and no length may be negative.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "protocol/gax_qor_textutils.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool Inside(const char* base, size_t size, const char* p, int32_t len) {
    return len >= 0 && p >= base && size_t(p - base) + size_t(len) <= size;
}

std::unique_ptr<char[]> ExactCopy(const uint8_t* data, size_t size) {
    auto buf = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(buf.get(), data, size);
    return buf;
}

int ParseTags(TQORTagParseRec& r, TQORTagItemRec* items, int32_t capacity, char* data, size_t size,
              uint32_t flags) {
    r.Items = items;
    r.Capacity = capacity;
    r.Data = data;
    r.DataLen = int32_t(size);
    r.Flags = flags;
    return ParseTagList(r);
}

void FuzzTagList(const uint8_t* data, size_t size, uint8_t selector) {
    auto buf = ExactCopy(data, size);
    const int32_t capacity = selector & 15;
    auto items = std::make_unique<TQORTagItemRec[]>(size_t(capacity ? capacity : 1));
    TQORTagParseRec r;
    const int res = ParseTags(r, capacity ? items.get() : nullptr, capacity, buf.get(), size,
                              (selector >> 4) & 7);
    Check(res >= -3);
    Check(r.Count >= 0 && r.Count <= capacity);
    if (res >= 0) Check(res == r.Count);
    for (int32_t i = 0; i < r.Count; ++i) {
        const TQORTagItemRec& it = items[size_t(i)];
        Check(it.NameLen > 0 && Inside(buf.get(), size, it.NamePtr, it.NameLen));
        Check(Inside(buf.get(), size, it.ValuePtr, it.ValueLen));
        Check(FindTag(r, it.Name()) != nullptr);
        TQORTagItemRec t = it;
        TrimTagValue(t);
        Check(Inside(buf.get(), size, t.ValuePtr, t.ValueLen));
    }
    if (res == -3) Check(r.DupIndex >= 0 && r.DupIndex < r.Count);

    // The stored elements written out again parse back into the same names
    // and values.
    if (res > 0) {
        FastStringA out(1);
        for (int32_t i = 0; i < r.Count; ++i) {
            const TQORTagItemRec& it = items[size_t(i)];
            FastStrAddTag2Buf(out, it.Name(), it.ValuePtr, it.ValueLen);
        }
        std::string again(out.View());
        auto items2 = std::make_unique<TQORTagItemRec[]>(size_t(r.Count));
        TQORTagParseRec r2;
        Check(ParseTags(r2, items2.get(), r.Count, again.data(), again.size(), r.Flags) == r.Count);
        for (int32_t i = 0; i < r.Count; ++i) {
            Check(items2[size_t(i)].Name() == items[size_t(i)].Name());
            Check(items2[size_t(i)].Value() == items[size_t(i)].Value());
        }
    }
}

void FuzzTypedFields(const uint8_t* data, size_t size, uint8_t selector) {
    auto buf = ExactCopy(data, size);
    const int32_t maxItems = selector & 31;
    auto items = std::make_unique<TQORTypedFieldRec[]>(size_t(maxItems ? maxItems : 1));
    TQORTypedFieldParseRec r;
    r.Items = items.get();
    r.MaxItems = maxItems;
    r.Data = buf.get();
    r.DataLen = int32_t(size);
    const int res = ParseTypedFields(r);
    Check(res == -1 || res == -3 || res == -4 || res >= 0);
    Check(r.Count >= 0 && r.Count <= maxItems);
    for (int32_t i = 0; i < r.Count; ++i) {
        const TQORTypedFieldRec& f = items[size_t(i)];
        Check(Inside(buf.get(), size, f.Ptr, f.Len));
        // every field read back re-encodes to the same bytes
        if (res >= 0) {
            const std::string again = TypedFieldStr(f.Ch, f.Value());
            if (f.Len > 0) Check(again.size() == SizeTypedField(size_t(f.Len)));
        }
    }
}

void FuzzHexLen(const uint8_t* data, size_t size) {
    auto buf = ExactCopy(data, size);
    const char* base = buf.get();

    const char* cur = base;
    int32_t rem = int32_t(size);
    int32_t len = -1;
    if (ReadHexLen(cur, rem, len)) {
        Check(len >= 0 && rem >= 0 && len <= rem);
        Check(cur >= base && size_t(cur - base) + size_t(rem) == size);
        // the header this reader accepts is the one the writer produces
        Check(HexLenUIntToStr(uint32_t(len)).size() == size_t(cur - base) ||
              size_t(cur - base) > SizeHexLenInt(uint32_t(len)));
    } else {
        Check(cur == base && rem == int32_t(size));
    }

    cur = base;
    rem = int32_t(size);
    uint32_t v = 0;
    if (ReadHexLenInt(cur, rem, v)) {
        Check(rem >= 0 && cur > base && size_t(cur - base) + size_t(rem) == size);
    } else {
        Check(cur == base && rem == int32_t(size));
    }

    uint8_t b;
    cur = base;
    rem = int32_t(size);
    if (ReadHexByte(cur, rem, b)) Check(rem == int32_t(size) - 2);

    // The unchecked reader relies on a NUL terminator.
    auto z = std::make_unique<char[]>(size + 1);
    if (size) std::memcpy(z.get(), data, size);
    z[size] = '\0';
    const char* zc = z.get();
    if (ReadHexLenUnchecked(zc, v)) Check(zc > z.get() && zc <= z.get() + size);
}

// The line reader over a file holding the input, read through a small buffer
// so that lines cross refills, against a plain model of its rule: each line
// cut to the limit, one CR before the LF dropped, a last line without LF kept
// as it stands.
void FuzzLineReader(const uint8_t* data, size_t size, uint8_t selector) {
    static const int fd = memfd_create("qor_lines", 0);
    if (fd < 0) return;
    if (ftruncate(fd, 0) != 0) return;
    if (size && pwrite(fd, data, size, 0) != ssize_t(size)) return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    const size_t limit = size_t(selector & 7) * 5;
    const size_t bufSize = selector & 0x80 ? 4096 : 1 + ((selector >> 3) & 15);
    std::vector<std::string> expect;
    const char* d = reinterpret_cast<const char*>(data);
    for (size_t i = 0; i < size;) {
        const void* nl = std::memchr(d + i, '\n', size - i);
        const size_t end = nl ? size_t(static_cast<const char*>(nl) - d) : size;
        std::string line(d + i, std::min(end - i, limit));
        if (nl && !line.empty() && line.back() == '\r') line.pop_back();
        expect.push_back(std::move(line));
        i = nl ? end + 1 : size;
    }

    TQORTextFileReaderA reader(bufSize);
    Check(reader.Open(std::u16string(path.begin(), path.end())) == 0);
    FastStringA f(1);
    size_t n = 0;
    while (FastStrReadLn(reader, f, limit)) {
        Check(n < expect.size() && f.View() == expect[n]);
        Check(f.Data()[f.Len()] == '\0');
        ++n;
    }
    Check(n == expect.size() && f.Empty());
}

// Ids, port and signal texts and delimiter specifications.
void FuzzWords(const uint8_t* data, size_t size, uint8_t selector) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) text += char16_t(data[i] | data[i + 1] << 8);

    const bool valid = IsValidSourceIdStr(bytes);
    Check(valid == IsValidSourceId(bytes.data(), int32_t(size)));
    Check(!valid || (size == 24 && bytes.find('@') == std::string::npos));
    std::string id = bytes;
    bool changed = false;
    const bool usable = NormalizeSourceId(id, changed);
    if (usable) Check(IsValidSourceIdStr(id));
    if (!changed) Check(id == bytes);
    if (valid) Check(usable && !changed);

    int32_t port = -1;
    if (TryParsePortAnsi(bytes, port)) Check(port >= 1 && port <= 65535);
    port = -1;
    if (TryParsePortText(text, port)) Check(port >= 1 && port <= 65535);
    TQORReopenLogSignal sig;
    TryParseReopenLogSignal(text, sig);
    ParseDelimiterCharSpec(text, u'#');

    const std::u16string filtered = FilterControlChars(text);
    Check(filtered.size() <= 500);
    for (char16_t c : filtered) Check(c >= 0x20 || c == u'\t');

    // Cut UTF-8 is a prefix of the whole text's bytes and never splits a pair.
    static const auto charsets = CreateCharsetsCodeList();
    static const auto utf8 = [] {
        auto c = std::make_unique<TAnsiUnicodeConverter>();
        c->SetCharsetsCodeList(charsets.get());
        c->SetCharsetName(u"UTF-8");
        return c;
    }();
    const size_t limit = selector & 63;
    const std::string cut = UnicodeToAnsiMaxBytes(utf8.get(), limit, text);
    Check(cut.size() <= limit);
    Check(utf8->UnicodeToAnsi(text).compare(0, cut.size(), cut) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    if (size > 1 << 20) return 0;
    FuzzTagList(data, size, selector);
    FuzzTypedFields(data, size, selector);
    FuzzHexLen(data, size);
    FuzzLineReader(data, size, selector);
    FuzzWords(data, size, selector);
    return 0;
}
