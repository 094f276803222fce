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
