// The IOReturn name table: every code and every name once, each code found
// under its own name, and nothing for a code the table does not hold.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "driver/engine/ZrIOReturnNames.h"

namespace {

TEST(IOReturnNames, EachCodeAndNameOnceAndFoundUnderItsName) {
    std::set<IOReturn> codes;
    std::set<std::string> names;
    for (const ZrIOReturnName& row : kZrIOReturnNames) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(codes.insert(row.code).second);
        EXPECT_TRUE(names.insert(row.name).second);
        EXPECT_EQ(std::string(row.name).rfind("kIOReturn", 0), 0u);
        EXPECT_STREQ(ZrIOReturnNameOf(row.code), row.name);
    }
}

TEST(IOReturnNames, KnownCodesByValueAndUnknownOnes) {
    static_assert(ZrIOReturnNameOf(kIOReturnSuccess) != nullptr);
    EXPECT_STREQ(ZrIOReturnNameOf(0), "kIOReturnSuccess");
    EXPECT_STREQ(ZrIOReturnNameOf(IOReturn(0xE00002C2)), "kIOReturnBadArgument");
    EXPECT_STREQ(ZrIOReturnNameOf(IOReturn(0xE00002EC)), "kIOReturnNoBandwidth");
    EXPECT_STREQ(ZrIOReturnNameOf(IOReturn(0xE00002ED)), "kIOReturnNotResponding");
    EXPECT_EQ(ZrIOReturnNameOf(IOReturn(0xE00002DC)), nullptr); // a gap in the range
    EXPECT_EQ(ZrIOReturnNameOf(IOReturn(12345)), nullptr);
}

TEST(IOReturnNames, AResultShowsItsNameAndCodeOrItsCodeAlone) {
    EXPECT_EQ(ZrIOReturnText(IOReturn(0xE00002EC)), "kIOReturnNoBandwidth (0xE00002EC)");
    EXPECT_EQ(ZrIOReturnText(kIOReturnSuccess), "kIOReturnSuccess (0x00000000)");
    EXPECT_EQ(ZrIOReturnText(IOReturn(0xE00002DC)), "0xE00002DC");
}

} // namespace
