// The server's small index containers: sorted byte-string keys, sorted object
// sets, plain object lists and 64-bit keyed lists with duplicates. None owns its
// objects (only FreeObjects frees them, on request) and none is thread-safe:
// each list belongs to the one thread that uses it.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/gax_types.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EGaxObjectException, Exception);
GAX_DECLARE_EXCEPTION(EGaxObjectDuplicateString, EGaxObjectException);
GAX_DECLARE_EXCEPTION(EGaxObjectDuplicateObject, EGaxObjectException);

// Key order of the byte-string list. Keys are read as 32-bit little-endian
// words and compared word by word as unsigned numbers over the whole words of
// the shorter key; when those are all equal the shorter key sorts first. Bytes
// past the last whole word are never looked at, which is why every user pads
// its keys with zero bytes to a multiple of 4. Results are -1, 0 or +1.
//
// Both modes give the same order; they are kept apart because a text-mode
// list refuses the Fast lookups.
int32_t CompareKeysBinary(std::string_view aKeyA, std::string_view aKeyB) noexcept;
int32_t CompareKeysText(std::string_view aKeyA, std::string_view aKeyB) noexcept;

namespace qor_classes_detail {

[[noreturn]] void RaiseDuplicateString();
[[noreturn]] void RaiseDuplicateObject();
[[noreturn]] void RaiseNotAllowedInTextMode();

constexpr int32_t kMinCapacity = 8;

// The 32-bit little-endian word at p (four bytes must be there).
inline uint32_t WordAt(const char* p) noexcept {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// The binary search all sorted lists share. aCompare(i) compares item i with
// the searched key (item first). On a match rIndex is the match; otherwise it
// is where the key belongs.
template <class Compare>
bool BinarySearch(int32_t aCount, Compare aCompare, int32_t& rIndex) {
    int32_t lo = 0;
    int32_t hi = aCount - 1;
    while (hi >= lo) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int32_t c = aCompare(mid);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                rIndex = mid;
                return true;
            }
        }
    }
    rIndex = lo;
    return false;
}

// The array all four lists keep their items in: its length is the capacity,
// the items in use are at the front, and it grows by a quarter plus 4 when an
// insertion finds it full.
template <class Item>
class ItemArray {
  public:
    explicit ItemArray(int32_t aCapacity) : f_List(Clamp(aCapacity, 0)) {}

    int32_t Count() const { return f_Count; }
    int32_t Capacity() const { return static_cast<int32_t>(f_List.size()); }
    // Never below the count or 8; only a real change reallocates.
    void SetCapacity(int32_t aCapacity) {
        const int32_t c = Clamp(aCapacity, f_Count);
        if (c == Capacity()) return;
        std::vector<Item> fresh(c);
        for (int32_t i = 0; i < f_Count; ++i) fresh[i] = std::move(f_List[i]);
        f_List.swap(fresh);
    }
    Item& operator[](int32_t i) {
        assert(i >= 0 && i < f_Count);
        return f_List[i];
    }
    const Item& operator[](int32_t i) const {
        assert(i >= 0 && i < f_Count);
        return f_List[i];
    }
    std::span<const Item> Items() const { return {f_List.data(), static_cast<size_t>(f_Count)}; }

    void Insert(int32_t aIndex, Item aItem) {
        assert(aIndex >= 0 && aIndex <= f_Count);
        if (f_Count == Capacity()) SetCapacity(Capacity() + Capacity() / 4 + 4);
        for (int32_t i = f_Count; i > aIndex; --i) f_List[i] = std::move(f_List[i - 1]);
        f_List[aIndex] = std::move(aItem);
        ++f_Count;
    }
    Item Remove(int32_t aIndex) {
        assert(aIndex >= 0 && aIndex < f_Count);
        Item gone = std::move(f_List[aIndex]);
        for (int32_t i = aIndex; i + 1 < f_Count; ++i) f_List[i] = std::move(f_List[i + 1]);
        --f_Count;
        f_List[f_Count] = Item{};  // releases a key the slot may still share
        return gone;
    }
    void Reset() {
        std::vector<Item>(kMinCapacity).swap(f_List);
        f_Count = 0;
    }

  private:
    static int32_t Clamp(int32_t aCapacity, int32_t aCount) {
        int32_t c = aCapacity > aCount ? aCapacity : aCount;
        return c > kMinCapacity ? c : kMinCapacity;
    }

    std::vector<Item> f_List;
    int32_t f_Count = 0;
};

// What the two lists of bare object pointers share: the array and the access
// by index. InsertItem checks neither order nor duplicates, so a sorted list's
// caller inserts where Find pointed.
template <class T>
class ObjectPointerList {
  public:
    explicit ObjectPointerList(int32_t aInitCapacity) : f_List(aInitCapacity) {}

    int32_t Count() const { return f_List.Count(); }
    int32_t Capacity() const { return f_List.Capacity(); }
    void SetCapacity(int32_t aCapacity) { f_List.SetCapacity(aCapacity); }
    std::span<T* const> ObjectsList() const { return f_List.Items(); }

    void InsertItem(int32_t aIndex, T* aObject) { f_List.Insert(aIndex, aObject); }
    void Delete(int32_t aIndex) { f_List.Remove(aIndex); }
    T* Pull(int32_t aIndex) { return f_List.Remove(aIndex); }
    void Clear() { f_List.Reset(); }
    T* GetObject(int32_t aIndex) const { return f_List[aIndex]; }
    void PutObject(int32_t aIndex, T* aObject) { f_List[aIndex] = aObject; }

  protected:
    ItemArray<T*> f_List;
};

}  // namespace qor_classes_detail

// ------------------------------------------------------------ byte-string keys

template <class T>
struct TQORSortedAnsiStringItem {
    std::string f_String;
    T* f_Object = nullptr;
};

// Items {key, object} sorted by key, keys unique.
template <class T>
class TQORSortedAnsiStringList {
  public:
    using Item = TQORSortedAnsiStringItem<T>;

    // Capacity 64.
    explicit TQORSortedAnsiStringList(bool aTextCompare)
        : f_List(64), f_TextCompare(aTextCompare) {}
    // Capacity max(aCapacity, 8).
    TQORSortedAnsiStringList(int32_t aCapacity, bool aTextCompare)
        : f_List(aCapacity), f_TextCompare(aTextCompare) {}

    int32_t Count() const { return f_List.Count(); }
    int32_t Capacity() const { return f_List.Capacity(); }
    void SetCapacity(int32_t aCapacity) { f_List.SetCapacity(aCapacity); }
    bool TextCompare() const { return f_TextCompare; }
    std::span<const Item> ObjectsList() const { return f_List.Items(); }

    bool Find(std::string_view S, int32_t& rIndex) const {
        const auto cmp = f_TextCompare ? &CompareKeysText : &CompareKeysBinary;
        return qor_classes_detail::BinarySearch(
            Count(), [&](int32_t i) { return cmp(f_List[i].f_String, S); }, rIndex);
    }
    int32_t FindExact(std::string_view S) const {
        int32_t i;
        return Find(S, i) ? i : -1;
    }
    T* FindObject(std::string_view S, int32_t& rIndex) const {
        return Find(S, rIndex) ? f_List[rIndex].f_Object : nullptr;
    }
    T* FindObjectObj(std::string_view S) const {
        int32_t i;
        return FindObject(S, i);
    }
    // Binary mode only: the first words are compared inline, which settles
    // nearly every step for hashed client ids.
    bool FindFast(std::string_view S, int32_t& rIndex) const {
        if (f_TextCompare) qor_classes_detail::RaiseNotAllowedInTextMode();
        if (S.size() < 4) return Find(S, rIndex);
        const uint32_t w = qor_classes_detail::WordAt(S.data());
        return qor_classes_detail::BinarySearch(
            Count(),
            [&](int32_t i) -> int32_t {
                const std::string& key = f_List[i].f_String;
                if (key.size() >= 4) {
                    const uint32_t k = qor_classes_detail::WordAt(key.data());
                    if (k != w) return k < w ? -1 : 1;
                }
                return CompareKeysBinary(key, S);
            },
            rIndex);
    }
    int32_t FindExactFast(std::string_view S) const {
        int32_t i;
        return FindFast(S, i) ? i : -1;
    }

    // No order or duplicate check: the caller inserts where Find pointed.
    void InsertItem(int32_t aIndex, std::string_view S, T* aObject) {
        f_List.Insert(aIndex, Item{std::string(S), aObject});
    }
    // Raises EGaxObjectDuplicateString (list unchanged) when S is present.
    int32_t AddObject(std::string_view S, T* aObject) {
        int32_t i;
        if (Find(S, i)) qor_classes_detail::RaiseDuplicateString();
        InsertItem(i, S, aObject);
        return i;
    }
    // A present key gives -(its index) - 1, always negative, and inserts nothing.
    int32_t AddObjectIfNotExist(std::string_view S, T* aObject) {
        int32_t i;
        if (Find(S, i)) return -i - 1;
        InsertItem(i, S, aObject);
        return i;
    }
    // By identity, from the last item to the first; -1 when absent.
    int32_t IndexOfObject(const T* aObject) const {
        for (int32_t i = Count() - 1; i >= 0; --i)
            if (f_List[i].f_Object == aObject) return i;
        return -1;
    }
    // The object is not freed.
    void Delete(int32_t aIndex) { f_List.Remove(aIndex); }
    // Drops every item (objects not freed) and shrinks to 8; an empty list stays as it is.
    void Clear() {
        if (Count() > 0) f_List.Reset();
    }
    // Frees every object, last to first, and leaves nullptr in its place; keys stay.
    void FreeObjects() {
        for (int32_t i = Count() - 1; i >= 0; --i) {
            T*& obj = f_List[i].f_Object;
            if (obj != nullptr) {
                delete obj;
                obj = nullptr;
            }
        }
    }
    // Same comparer, capacity, keys and object references.
    TQORSortedAnsiStringList Copy() const { return *this; }

    const std::string& Get(int32_t aIndex) const { return f_List[aIndex].f_String; }
    T* GetObject(int32_t aIndex) const { return f_List[aIndex].f_Object; }
    void PutObject(int32_t aIndex, T* aObject) { f_List[aIndex].f_Object = aObject; }

  private:
    qor_classes_detail::ItemArray<Item> f_List;
    bool f_TextCompare;
};

// ------------------------------------------------------------ sorted object set

// Object pointers sorted by address, unique.
template <class T>
class TQORSortedObjectList : public qor_classes_detail::ObjectPointerList<T> {
    using Base = qor_classes_detail::ObjectPointerList<T>;

  public:
    using Base::Base;
    using Base::Count;
    using Base::InsertItem;

    bool Find(const T* aObject, int32_t& rIndex) const {
        const auto key = reinterpret_cast<uintptr_t>(aObject);
        return qor_classes_detail::BinarySearch(
            Count(),
            [&](int32_t i) -> int32_t {
                const auto item = reinterpret_cast<uintptr_t>(this->f_List[i]);
                return item < key ? -1 : (item > key ? 1 : 0);
            },
            rIndex);
    }
    int32_t FindExact(const T* aObject) const {
        int32_t i;
        return Find(aObject, i) ? i : -1;
    }
    int32_t IndexOfObject(const T* aObject) const { return FindExact(aObject); }
    int32_t IndexOf(const T* aObject) const { return FindExact(aObject); }

    // Raises EGaxObjectDuplicateObject (list unchanged) when present.
    int32_t AddObject(T* aObject) {
        int32_t i;
        if (Find(aObject, i)) qor_classes_detail::RaiseDuplicateObject();
        InsertItem(i, aObject);
        return i;
    }
    // Present: -(its index) - 1.
    int32_t AddObjectIfNotExist(T* aObject) {
        int32_t i;
        if (Find(aObject, i)) return -i - 1;
        InsertItem(i, aObject);
        return i;
    }
    // Present: -1, nothing inserted.
    int32_t AddObjectRet(T* aObject) {
        int32_t i;
        if (Find(aObject, i)) return -1;
        InsertItem(i, aObject);
        return i;
    }
    // The index the object had, or -1 when absent.
    int32_t DeleteIfExist(const T* aObject) {
        int32_t i;
        if (!Find(aObject, i)) return -1;
        this->Delete(i);
        return i;
    }
};

// ------------------------------------------------------------ plain object list

// Object pointers in insertion order.
template <class T>
class TQORObjectList : public qor_classes_detail::ObjectPointerList<T> {
    using Base = qor_classes_detail::ObjectPointerList<T>;

  public:
    using Base::Base;
    using Base::Count;

    int32_t Add(T* aItem) {
        this->InsertItem(Count(), aItem);
        return Count() - 1;
    }
    // From the last item to the first, so an object held twice gives the later index.
    int32_t IndexOfObject(const T* aObject) const {
        for (int32_t i = Count() - 1; i >= 0; --i)
            if (this->f_List[i] == aObject) return i;
        return -1;
    }
    int32_t IndexOf(const T* aObject) const { return IndexOfObject(aObject); }
};

// ------------------------------------------------------------ 64-bit keys

template <class T>
struct TQORSortedInt64NotUniqItem {
    int64_t f_Int64 = 0;
    T* f_Object = nullptr;
};

// Items {64-bit key, object} sorted by key ascending, equal keys allowed.
template <class T>
class TQORSortedInt64NotUniqList {
  public:
    using Item = TQORSortedInt64NotUniqItem<T>;

    explicit TQORSortedInt64NotUniqList(int32_t aInitCapacity) : f_List(aInitCapacity) {}

    int32_t Count() const { return f_List.Count(); }
    int32_t Capacity() const { return f_List.Capacity(); }
    std::span<const Item> ObjectsList() const { return f_List.Items(); }

    // A match is whichever equal item the search meets first.
    bool Find(int64_t aInt64, int32_t& rIndex) const {
        return qor_classes_detail::BinarySearch(
            Count(),
            [&](int32_t i) -> int32_t {
                const int64_t k = f_List[i].f_Int64;
                return k < aInt64 ? -1 : (k > aInt64 ? 1 : 0);
            },
            rIndex);
    }
    // Inserts before the equal item the search met, if any.
    int32_t AddObject(int64_t aInt64, T* aObject) {
        int32_t i;
        Find(aInt64, i);
        InsertItem(i, aInt64, aObject);
        return i;
    }
    // Moves the object's item (if it has one) under a new key.
    void ReInsertObjectTime(int64_t aInt64, T* aObject) {
        const int32_t i = IndexOfObject(aObject);
        if (i >= 0) Delete(i);
        AddObject(aInt64, aObject);
    }
    int32_t IndexOfObject(const T* aObject) const {
        for (int32_t i = Count() - 1; i >= 0; --i)
            if (f_List[i].f_Object == aObject) return i;
        return -1;
    }
    void InsertItem(int32_t aIndex, int64_t aInt64, T* aObject) {
        f_List.Insert(aIndex, Item{aInt64, aObject});
    }
    void Delete(int32_t aIndex) { f_List.Remove(aIndex); }
    void Clear() { f_List.Reset(); }
    T* GetObject(int32_t aIndex) const { return f_List[aIndex].f_Object; }

  private:
    qor_classes_detail::ItemArray<Item> f_List;
};

}  // namespace gax
