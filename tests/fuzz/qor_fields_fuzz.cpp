// libFuzzer target for the protocol's field readers and parsers: the tag-list
// parser, the typed-field parser and the hex-length readers. Every input is
// copied into a heap block of exactly its size so that AddressSanitizer
// catches any read past the data; every span returned must lie inside it and
// no length may be negative.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/gax_qor_fields.h"

using namespace gax;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool Inside(const char* base, size_t size, const char* p, int32_t len) {
    return len >= 0 && p >= base && size_t(p - base) + size_t(len) <= size;
}

void FuzzTagList(const uint8_t* data, size_t size, uint8_t selector) {
    auto buf = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(buf.get(), data, size);
    const int32_t capacity = selector & 15;
    auto items = std::make_unique<TQORTagItemRec[]>(size_t(capacity ? capacity : 1));
    TQORTagParseRec r;
    r.Items = capacity ? items.get() : nullptr;
    r.Capacity = capacity;
    r.Data = buf.get();
    r.DataLen = int32_t(size);
    r.Flags = (selector >> 4) & 7;
    const int res = ParseTagList(r);
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
}

void FuzzTypedFields(const uint8_t* data, size_t size, uint8_t selector) {
    auto buf = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(buf.get(), data, size);
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
    auto buf = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(buf.get(), data, size);
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
    return 0;
}
