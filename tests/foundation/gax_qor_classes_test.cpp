#include "foundation/gax_qor_classes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

using namespace gax;
using namespace std::string_literals;

namespace {

struct Obj {
    int id = 0;
};

// Counts destructions so FreeObjects can be checked.
struct Tracked {
    explicit Tracked(int* aCounter) : counter(aCounter) {}
    ~Tracked() { ++*counter; }
    int* counter;
};

int Sign(int32_t v) {
    return (v > 0) - (v < 0);
}

std::string Key(int i) {
    // Zero-padded 8-byte keys, as every user builds them.
    std::string k = "key" + std::to_string(i);
    k.resize((k.size() + 3) / 4 * 4, '\0');
    return k;
}

}  // namespace

TEST(CompareKeys, OrderInBothModes) {
    struct Case {
        std::string a, b;
        int sign;
    };
    const Case cases[] = {
        {"ABCD", "ABCD\0\0\0\0"s, -1},  // equal first words: the shorter key first
        {"ABCD\0\0\0\0"s, "ABCE", -1},  // different first words decide before lengths
        {"ABCD", "ABCE", -1},
        {"ABCDE", "ABCDF", 0},  // bytes past the last whole word are not compared
        {"ABCDE\0\0\0"s, "ABCDF\0\0\0"s, -1},
        {"ABC", "XYZ", 0},  // no whole word at all: lengths alone
        {"", "ABCD", -1},
        // Words are little-endian: the fourth byte weighs most.
        {"\xff\xff\xff\x10"s, "\x00\x00\x00\x11"s, -1},
        {"\x00\x00\x00\x80"s, "\xff\xff\xff\x7f"s, 1},
        {"\x00\x00\x00\x00"s, "\xd0\xd0\xd0\xd0"s, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sign(CompareKeysBinary(c.a, c.b)), c.sign) << "binary " << c.a << " " << c.b;
        EXPECT_EQ(Sign(CompareKeysBinary(c.b, c.a)), -c.sign) << "binary reversed";
        EXPECT_EQ(Sign(CompareKeysText(c.a, c.b)), c.sign) << "text " << c.a << " " << c.b;
        EXPECT_EQ(Sign(CompareKeysText(c.b, c.a)), -c.sign) << "text reversed";
    }
}

TEST(SortedAnsiStringList, KeysFarApartAreAllFoundInEveryInsertionOrder) {
    // A signed difference of these words is cyclic (00 < 55 < AA < D0 < 00);
    // every key must still be found, in both modes and by the Fast lookups.
    const std::array<std::string, 4> keys = {"\x00\x00\x00\x00"s, "\x55\x55\x55\x55"s,
                                             "\xaa\xaa\xaa\xaa"s, "\xd0\xd0\xd0\xd0"s};
    std::array<int, 4> order = {0, 1, 2, 3};
    Obj objs[4];
    do {
        for (bool text : {false, true}) {
            TQORSortedAnsiStringList<Obj> list(text);
            for (int i : order) list.AddObject(keys[i], &objs[i]);
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(list.FindExact(keys[i]), i) << "text=" << text;
                EXPECT_EQ(list.FindObjectObj(keys[i]), &objs[i]);
                if (!text) {
                    EXPECT_EQ(list.FindExactFast(keys[i]), i);
                }
            }
        }
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(SortedAnsiStringList, FindAndFastFindAgreeOnALargeList) {
    TQORSortedAnsiStringList<Obj> list(false);
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) {
        keys.push_back(Key(i * 7919 % 1000));
        list.AddObjectIfNotExist(keys.back(), nullptr);
    }
    for (int i = 1; i < list.Count(); ++i)
        EXPECT_LT(CompareKeysBinary(list.Get(i - 1), list.Get(i)), 0);
    for (int i = 0; i < 1000; i += 3) {
        const std::string k = Key(i);
        int32_t slow = -7, fast = -7;
        const bool a = list.Find(k, slow);
        const bool b = list.FindFast(k, fast);
        EXPECT_EQ(a, b) << i;
        EXPECT_EQ(slow, fast) << i;
    }
    // Keys shorter than a word take the full comparison.
    int32_t idx;
    EXPECT_FALSE(list.FindFast("ke", idx));
    EXPECT_EQ(idx, 0);
}

TEST(SortedAnsiStringList, DuplicatesAndTheirResults) {
    TQORSortedAnsiStringList<Obj> list(false);
    Obj a, b;
    for (int i = 0; i < 5; ++i) list.AddObject(Key(i), &a);
    try {
        list.AddObject(Key(2), &b);
        FAIL() << "no exception";
    } catch (const EGaxObjectDuplicateString& e) {
        EXPECT_EQ(e.Message(), u"Duplicate string");
        EXPECT_EQ(e.ClassName(), u"EGaxObjectDuplicateString");
    }
    EXPECT_THROW(list.AddObject(Key(2), &b), EGaxObjectException);
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.FindExact(Key(3)), 3);
    EXPECT_EQ(list.AddObjectIfNotExist(Key(3), &b), -4);
    EXPECT_EQ(list.GetObject(3), &a);
    EXPECT_EQ(list.AddObjectIfNotExist(Key(9), &b), 5);
    EXPECT_EQ(list.Count(), 6);

    int32_t idx = -1;
    EXPECT_EQ(list.FindObject(Key(7), idx), nullptr);
    EXPECT_EQ(idx, 5);  // where key7 belongs
    EXPECT_EQ(list.FindExact(Key(7)), -1);
}

TEST(SortedAnsiStringList, FastLookupIsRefusedInTextMode) {
    TQORSortedAnsiStringList<Obj> list(true);
    int32_t idx;
    try {
        list.FindFast("ABCD", idx);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Not allowed in text mode");
    }
    EXPECT_THROW(list.FindExactFast("AB"), Exception);
}

TEST(SortedAnsiStringList, CapacityRule) {
    TQORSortedAnsiStringList<Obj> list(false);
    EXPECT_EQ(list.Capacity(), 64);
    for (int i = 0; i < 64; ++i) list.AddObject(Key(i), nullptr);
    EXPECT_EQ(list.Capacity(), 64);
    list.AddObject(Key(64), nullptr);
    EXPECT_EQ(list.Capacity(), 84);
    list.SetCapacity(10);  // never below the count
    EXPECT_EQ(list.Capacity(), 65);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 8);
    list.SetCapacity(100);
    list.Clear();  // empty: nothing changes
    EXPECT_EQ(list.Capacity(), 100);
    list.SetCapacity(-3);
    EXPECT_EQ(list.Capacity(), 8);

    TQORSortedAnsiStringList<Obj> small(0, true);
    EXPECT_EQ(small.Capacity(), 8);
    EXPECT_TRUE(small.TextCompare());
    const int expected[] = {8, 14, 21, 30};
    int step = 0;
    for (int i = 0; i < 30; ++i) {
        if (i == small.Capacity()) ++step;
        small.AddObject(Key(i), nullptr);
        EXPECT_EQ(small.Capacity(), expected[step]) << i;
    }
}

TEST(SortedAnsiStringList, DeleteCopyAndFreeObjects) {
    int freed = 0;
    TQORSortedAnsiStringList<Tracked> list(false);
    Tracked* held[4];
    for (int i = 0; i < 4; ++i) {
        held[i] = new Tracked(&freed);
        list.AddObject(Key(i), held[i]);
    }
    list.AddObject(Key(4), nullptr);

    TQORSortedAnsiStringList<Tracked> copy = list.Copy();
    EXPECT_EQ(copy.Count(), 5);
    EXPECT_EQ(copy.Capacity(), list.Capacity());
    EXPECT_FALSE(copy.TextCompare());
    EXPECT_EQ(copy.GetObject(2), held[2]);

    list.Delete(1);  // the object is not freed
    EXPECT_EQ(freed, 0);
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Get(1), Key(2));
    EXPECT_EQ(list.IndexOfObject(held[1]), -1);
    EXPECT_EQ(list.IndexOfObject(held[3]), 2);
    list.PutObject(0, held[1]);
    EXPECT_EQ(list.IndexOfObject(held[1]), 0);

    list.FreeObjects();  // frees 1, 2, 3 (0 was swapped out for 1) and skips the nil
    EXPECT_EQ(freed, 3);
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.GetObject(0), nullptr);
    EXPECT_EQ(list.Get(0), Key(0));
    delete held[0];
}

TEST(SortedObjectList, SetOperations) {
    std::vector<Obj> pool(20);
    TQORSortedObjectList<Obj> set(0);
    EXPECT_EQ(set.Capacity(), 8);
    // Insert in a scrambled order; the list keeps them by address.
    for (int i = 0; i < 20; ++i) set.AddObject(&pool[(i * 7) % 20]);
    EXPECT_EQ(set.Count(), 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(set.GetObject(i), &pool[i]);
    EXPECT_EQ(set.IndexOf(&pool[5]), 5);
    EXPECT_EQ(set.IndexOfObject(&pool[5]), 5);

    EXPECT_EQ(set.AddObjectRet(&pool[5]), -1);
    EXPECT_EQ(set.AddObjectIfNotExist(&pool[5]), -6);
    try {
        set.AddObject(&pool[5]);
        FAIL() << "no exception";
    } catch (const EGaxObjectDuplicateObject& e) {
        EXPECT_EQ(e.Message(), u"Duplicate object");
    }
    EXPECT_EQ(set.Count(), 20);

    EXPECT_EQ(set.DeleteIfExist(&pool[5]), 5);
    EXPECT_EQ(set.DeleteIfExist(&pool[5]), -1);
    EXPECT_EQ(set.FindExact(&pool[5]), -1);
    EXPECT_EQ(set.AddObjectRet(&pool[5]), 5);
    EXPECT_EQ(set.Pull(0), &pool[0]);
    EXPECT_EQ(set.Count(), 19);
    set.Clear();
    EXPECT_EQ(set.Count(), 0);
    EXPECT_EQ(set.Capacity(), 8);
}

TEST(ObjectList, InsertionOrderAndLastIndex) {
    Obj a, b, c;
    TQORObjectList<Obj> list(0);
    EXPECT_EQ(list.Capacity(), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(list.Add(i % 2 ? &b : &a), i);
    EXPECT_EQ(list.Capacity(), 8);
    list.Add(&c);
    EXPECT_EQ(list.Capacity(), 14);
    EXPECT_EQ(list.IndexOfObject(&a), 6);  // held four times: the last one
    EXPECT_EQ(list.IndexOf(&c), 8);
    list.InsertItem(0, &c);
    EXPECT_EQ(list.Pull(1), &a);
    list.Delete(0);
    EXPECT_EQ(list.GetObject(0), &b);
    EXPECT_EQ(list.IndexOf(&c), 7);
    list.Clear();
    EXPECT_EQ(list.IndexOf(&c), -1);
    EXPECT_EQ(list.Capacity(), 8);
}

TEST(SortedInt64NotUniqList, DuplicatesAndReinsertion) {
    Obj x, y, z;
    TQORSortedInt64NotUniqList<Obj> list(0);
    list.AddObject(5, &x);
    list.AddObject(3, &y);
    list.AddObject(5, &z);
    auto keys = [&] {
        std::vector<int64_t> k;
        for (const auto& item : list.ObjectsList()) k.push_back(item.f_Int64);
        return k;
    };
    EXPECT_EQ(keys(), (std::vector<int64_t>{3, 5, 5}));
    list.ReInsertObjectTime(1, &x);
    EXPECT_EQ(keys(), (std::vector<int64_t>{1, 3, 5}));
    EXPECT_EQ(list.GetObject(0), &x);
    EXPECT_EQ(list.IndexOfObject(&z), 2);
    // An object not yet listed is simply added.
    Obj w;
    list.ReInsertObjectTime(4, &w);
    EXPECT_EQ(list.IndexOfObject(&w), 2);

    // Extreme keys still sort in plain signed order.
    list.AddObject(INT64_MIN, &y);
    list.AddObject(INT64_MAX, &y);
    list.AddObject(0, &y);
    const auto k = keys();
    EXPECT_TRUE(std::is_sorted(k.begin(), k.end()));
    int32_t idx;
    EXPECT_TRUE(list.Find(INT64_MAX, idx));
    EXPECT_EQ(idx, list.Count() - 1);
    EXPECT_FALSE(list.Find(2, idx));
    EXPECT_EQ(list.ObjectsList()[idx].f_Int64, 3);
    list.Delete(0);
    EXPECT_EQ(list.ObjectsList()[0].f_Int64, 0);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 8);
}
