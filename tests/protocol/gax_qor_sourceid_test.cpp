#include "protocol/gax_qor_sourceid.h"

#include <gtest/gtest.h>

#include "foundation/gax_types.h"

using namespace gax;

TEST(SourceId, KnownIdsAndDigest) {
    const struct {
        std::string text, id;
    } cases[] = {
        {"abc", "kAFQmDzST7DWlj99KOF/cg/9"},
        {"", "1B2M2Y8AsgTpgAmY7PhCfgR5"},
        {" ", "chXunH2dwinSkhpA6JnsXwge"},   // the Parrot
        {"  ", "I7WN7xG0VyfTNRcCUV+GrwTC"},  // the aggregate list client
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MakeSourceId(c.text), c.id);
        EXPECT_EQ(MakeSourceIdFromBuffer(c.text.data(), int32_t(c.text.size())), c.id);
        EXPECT_TRUE(IsValidSourceIdStr(c.id)) << c.id;
    }
    EXPECT_EQ(MakeSourceIdFromBuffer(nullptr, -1), "1B2M2Y8AsgTpgAmY7PhCfgR5");
    TQORDigest d;
    EXPECT_EQ(MakeSourceIdFromText("abc", d), "kAFQmDzST7DWlj99KOF/cg/9");
    // MD5("abc") = 900150983cd24fb0d6963f7d28e17f72
    EXPECT_EQ(d[0], 0x90);
    EXPECT_EQ(d[15], 0x72);
    // digests over more than one 64-byte block
    EXPECT_TRUE(IsValidSourceIdStr(MakeSourceId(std::string(1000, 'z'))));
    EXPECT_NE(MakeSourceId(std::string(55, 'a')), MakeSourceId(std::string(56, 'a')));
}

TEST(SourceId, OwnerIdMatchesAClientSendingTheSameBytes) {
    EXPECT_EQ(MakeSourceIdFromUnicodeLowBytes(u"owner@example.org"),
              MakeSourceId("owner@example.org"));
}

TEST(SourceId, Validity) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"kAFQmDzST7DWlj99KOF/cg/9", true},
        {"kAFQmDzST7tWlj99KOF/cg/9", true},    // 12 check bits cannot catch every change
        {"kAFQmDzST7DWlj99KOF/cg/8", false},   // damaged check character
        {"lAFQmDzST7DWlj99KOF/cg/9", false},   // damaged body
        {"kAFQmDzST7DWlj99KOF/cg/", false},    // 23 characters
        {"kAFQmDzST7DWlj99KOF/cg/9A", false},  // 25 characters
        {"kAFQmDzST7DWlj99KOF[cg/9", false},   // old spelling is not valid as it stands
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsValidSourceIdStr(c.text), c.valid) << c.text;
    EXPECT_FALSE(IsValidSourceId(nullptr, 24));

    // A 24-character e-mail is never taken for an id, even where its last two
    // characters happen to be the check characters of its first 22.
    std::string mail = "abcdefghij@example.o";
    mail += "rg";
    ASSERT_EQ(mail.size(), 22u);
    std::string forged = AddSourceIdCheckChars(mail);
    EXPECT_FALSE(IsValidSourceIdStr(forged));
}

TEST(SourceId, CheckCharsAndBrackets) {
    EXPECT_EQ(AddSourceIdCheckChars("kAFQmDzST7DWlj99KOF/cg"), "kAFQmDzST7DWlj99KOF/cg/9");
    EXPECT_EQ(AddSourceIdCheckChars("kAFQmDzST7DWlj99KOF/cgXXXX"), "kAFQmDzST7DWlj99KOF/cg/9");
    try {
        AddSourceIdCheckChars("short");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Invalid source id length");
    }
    std::string s = "a[b]c";
    EXPECT_TRUE(HasSourceIdBrackets(s.data(), int32_t(s.size())));
    RepairSourceIdBrackets(s.data(), int32_t(s.size()));
    EXPECT_EQ(s, "a+b/c");
    EXPECT_FALSE(HasSourceIdBrackets(s.data(), int32_t(s.size())));
}

TEST(SourceId, Normalize) {
    const struct {
        std::string in;
        bool result;
        bool changed;
        std::string out;
    } cases[] = {
        {"kAFQmDzST7DWlj99KOF]cg/9", true, true, "kAFQmDzST7DWlj99KOF/cg/9"},
        // "[" stood for "+": the repaired body gets its own check characters
        {"kAFQmDzST7DWlj99KOF[cg/9", true, true, "kAFQmDzST7DWlj99KOF+cg+8"},
        {"kAFQmDzST7DWlj99KOF/cg==", true, true, "kAFQmDzST7DWlj99KOF/cg/9"},
        {"kAFQmDzST7DWlj99KOF]cg==", true, true, "kAFQmDzST7DWlj99KOF/cg/9"},
        {"kAFQmDzST7DWlj99KOF/cg", true, true, "kAFQmDzST7DWlj99KOF/cg/9"},
        {"kAFQmDzST7DWlj99KOF/cg/9", true, false, "kAFQmDzST7DWlj99KOF/cg/9"},
        {"kAFQmDzST7DWlj99KOF/cgAB", false, false, "kAFQmDzST7DWlj99KOF/cgAB"},
        {"kAFQmDzST7DWlj99KOF/c", false, false, "kAFQmDzST7DWlj99KOF/c"},
        {"kAFQmDzST7DWlj99KOF/cg/9x", false, false, "kAFQmDzST7DWlj99KOF/cg/9x"},
        {"abcdefghij@example.org", false, true, ""},  // not an id body: dropped
    };
    for (const auto& c : cases) {
        std::string id = c.in;
        bool changed = false;
        EXPECT_EQ(NormalizeSourceId(id, changed), c.result) << c.in;
        EXPECT_EQ(changed, c.changed) << c.in;
        if (!c.out.empty()) {
            EXPECT_EQ(id, c.out) << c.in;
        }
    }
}
