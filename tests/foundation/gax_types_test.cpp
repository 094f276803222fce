#include "foundation/gax_types.h"

#include <gtest/gtest.h>

using namespace gax;

TEST(Exception, SubclassesReportTheirOwnNameAndMessage) {
    try {
        RaiseLineTooLong();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.ClassName(), u"ELineLengthTooLong");
        EXPECT_EQ(e.Message(), u"Line too long");
        EXPECT_STREQ(e.what(), "Line too long");
    }
    EWaiterNoFreeResources w(u"No free wait resources \u00e9");
    const EWaiterException& base = w;
    EXPECT_EQ(base.ClassName(), u"EWaiterNoFreeResources");
    EXPECT_STREQ(base.what(), "No free wait resources \xc3\xa9");
}

TEST(Exception, ByteMessagesAreReadAsUtf8) {
    // A UTF-8 name inside a message must reach Message() as the same text.
    Exception utf8(std::string_view("cannot open caf\xc3\xa9.ini"));
    EXPECT_EQ(utf8.Message(), u"cannot open caf\u00e9.ini");
    EXPECT_STREQ(utf8.what(), "cannot open caf\xc3\xa9.ini");
    // Bytes that are not UTF-8 are kept one unit per byte, and what() stays UTF-8.
    Exception latin(std::string_view("caf\xe9"));
    EXPECT_EQ(latin.Message(), u"caf\u00e9");
    EXPECT_STREQ(latin.what(), "caf\xc3\xa9");
}
