#include "foundation/gax_fileeventer.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace gax;

// Each report names its own event (the attribute and date reports are easy to
// swap) and overwrites only the fields it carries.
TEST(FileEventer, EachReportSetsItsTypeAndOnlyItsFields) {
    std::vector<TFileEventerEventData> seen;
    TFileEventer ev([&](TFileEventer& sender, TFileEventerEventData& d) {
        EXPECT_EQ(&sender, &ev);
        seen.push_back(d);
    });
    struct Case {
        std::function<void()> report;
        TFileEventerEventType type;
        std::u16string str1, str2;
        int32_t num;
        double date;
    } cases[] = {
        {[&] { ev.EventRename(u"old", u"new"); }, feet_Rename, u"old", u"new", 0, 0},
        {[&] { ev.EventFileOpen(u"f"); }, feet_FileOpen, u"f", u"new", 0, 0},
        {[&] { ev.EventRead(u"r", 131072); }, feet_Read, u"r", u"new", 131072, 0},
        {[&] { ev.EventWrite(u"w", 45056); }, feet_Write, u"w", u"new", 45056, 0},
        {[&] { ev.EventAttrSet(u"a", 0x21); }, feet_AttrSet, u"a", u"new", 0x21, 0},
        {[&] { ev.EventAttrGet(u"g"); }, feet_AttrGet, u"g", u"new", 0x21, 0},
        {[&] { ev.EventDateSet(u"d", 45000.5); }, feet_DateSet, u"d", u"new", 0x21, 45000.5},
        {[&] { ev.EventDateGet(u"e"); }, feet_DateGet, u"e", u"new", 0x21, 45000.5},
        {[&] { ev.EventFileClose(u"c"); }, feet_FileClose, u"c", u"new", 0x21, 45000.5},
        {[&] { ev.EventDirectoryCreate(u"dc"); }, feet_DirectoryCreate, u"dc", u"new", 0x21,
         45000.5},
        {[&] { ev.EventDirectoryDelete(u"dd"); }, feet_DirectoryDelete, u"dd", u"new", 0x21,
         45000.5},
        {[&] { ev.EventFileDelete(u"x"); }, feet_FileDelete, u"x", u"new", 0x21, 45000.5},
        {[&] { ev.EventFileTruncate(u"t"); }, feet_FileTruncate, u"t", u"new", 0x21, 45000.5},
        {[&] { ev.EventFlush(u"s"); }, feet_Flush, u"s", u"new", 0x21, 45000.5},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        cases[i].report();
        ASSERT_EQ(seen.size(), i + 1);
        const TFileEventerEventData& d = seen.back();
        EXPECT_EQ(d.EventType, cases[i].type) << "case " << i;
        EXPECT_EQ(d.Str1, cases[i].str1) << "case " << i;
        EXPECT_EQ(d.Str2, cases[i].str2) << "case " << i;
        EXPECT_EQ(d.Int, cases[i].num) << "case " << i;
        EXPECT_EQ(d.DateTime, cases[i].date) << "case " << i;
    }

    // Without a handler nothing is reported.
    ev.SetOnFileEvent(nullptr);
    ev.EventRename(u"a", u"b");
    ev.EventWrite(u"w", 1);
    EXPECT_EQ(seen.size(), std::size(cases));
}
