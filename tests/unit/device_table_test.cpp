#include "discovery/device_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace olvex;

namespace {

int g_comparisons;

int CountingCompare(const FileTime *a, const FileTime *b) {
    ++g_comparisons;
    return CompareFileTimeValue(a, b);
}

FileTime T(uint64_t v) { return FileTime{uint32_t(v), uint32_t(v >> 32)}; }
uint64_t V(const FileTime &t) { return (uint64_t(t.high) << 32) | t.low; }

std::string PathFor(int i) { return "\\\\?\\usb#vid_1234&pid_5678#key" + std::to_string(i); }

class DeviceTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&table, 0x5C, sizeof table);  // garbage, as if left from earlier use
        Reset(&table);
        g_comparisons = 0;
    }
    bool SlotZeroBeyondPath(int i) {
        const size_t n = std::strlen(table.paths[i]);
        for (size_t k = n; k < DEVICE_PATH_SIZE; ++k)
            if (table.paths[i][k] != 0) return false;
        return true;
    }
    DeviceTable table;
};

}  // namespace

TEST_F(DeviceTableTest, ResetEmptiesPathsButKeepsTimes) {
    Append(&table, PathFor(1).c_str(), T(42));
    Reset(&table);
    EXPECT_EQ(table.count, 0);
    for (int i = 0; i < MAX_DEVICES; ++i)
        for (int k = 0; k < DEVICE_PATH_SIZE; ++k) ASSERT_EQ(table.paths[i][k], 0);
    EXPECT_EQ(V(table.times[0]), 42u);
    EXPECT_EQ(Lookup(&table, 0), nullptr);
}

TEST_F(DeviceTableTest, LookupOnlyWithinCount) {
    Append(&table, PathFor(0).c_str(), T(1));
    Append(&table, PathFor(1).c_str(), T(2));
    EXPECT_STREQ(Lookup(&table, 1), PathFor(1).c_str());
    EXPECT_EQ(Lookup(&table, -1), nullptr);
    EXPECT_EQ(Lookup(&table, 2), nullptr);
    EXPECT_EQ(Lookup(&table, INT32_MIN), nullptr);
}

TEST_F(DeviceTableTest, EmptyOrSingleTableCostsNoComparison) {
    SortDeviceTable(&table, CountingCompare);
    Append(&table, PathFor(0).c_str(), T(5));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_EQ(g_comparisons, 0);
    EXPECT_STREQ(Lookup(&table, 0), PathFor(0).c_str());
}

TEST_F(DeviceTableTest, ReversedTenSortInFortyFiveComparisons) {
    for (int i = 0; i < 10; ++i) Append(&table, PathFor(i).c_str(), T(uint64_t(100 - i)));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_EQ(g_comparisons, 45);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(V(table.times[i]), uint64_t(91 + i));
        EXPECT_STREQ(Lookup(&table, i), PathFor(9 - i).c_str());
    }
}

TEST_F(DeviceTableTest, SortedInputStillCostsEveryPass) {
    for (int i = 0; i < 4; ++i) Append(&table, PathFor(i).c_str(), T(uint64_t(i)));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_EQ(g_comparisons, 6);
}

TEST_F(DeviceTableTest, EqualTimesKeepEnumerationOrder) {
    Append(&table, "\\\\?\\b", T(7));
    Append(&table, "\\\\?\\a", T(7));
    Append(&table, "\\\\?\\c", T(3));
    Append(&table, "\\\\?\\d", T(7));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_STREQ(Lookup(&table, 0), "\\\\?\\c");
    EXPECT_STREQ(Lookup(&table, 1), "\\\\?\\b");
    EXPECT_STREQ(Lookup(&table, 2), "\\\\?\\a");
    EXPECT_STREQ(Lookup(&table, 3), "\\\\?\\d");
}

TEST_F(DeviceTableTest, TimesCompareUnsignedOnWholeValue) {
    Append(&table, "\\\\?\\late", T(0x8000000000000000ull));  // negative if signed
    Append(&table, "\\\\?\\early", T(0x00000001FFFFFFFFull));  // high half decides
    Append(&table, "\\\\?\\mid", T(0x0000000200000000ull));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_STREQ(Lookup(&table, 0), "\\\\?\\early");
    EXPECT_STREQ(Lookup(&table, 1), "\\\\?\\mid");
    EXPECT_STREQ(Lookup(&table, 2), "\\\\?\\late");
}

TEST_F(DeviceTableTest, ShorterPathSwappedOverLongerLeavesNoTrace) {
    const std::string longPath = "\\\\?\\" + std::string(255, 'x');
    Append(&table, longPath.c_str(), T(9));
    Append(&table, "\\\\?\\s", T(1));
    SortDeviceTable(&table, CountingCompare);
    EXPECT_STREQ(Lookup(&table, 0), "\\\\?\\s");
    EXPECT_STREQ(Lookup(&table, 1), longPath.c_str());
    EXPECT_TRUE(SlotZeroBeyondPath(0));
    EXPECT_TRUE(SlotZeroBeyondPath(1));
}

TEST_F(DeviceTableTest, PathsThatDoNotFitASlotAreRefused) {
    const std::string fits = "\\\\?\\" + std::string(255, 'p');  // 259 characters
    const std::string tooLong = fits + "q";                        // 260
    EXPECT_EQ(AddKey(&table, tooLong.c_str(), T(1), CountingCompare), AddResult::Refused);
    EXPECT_EQ(AddKey(&table, "", T(1), CountingCompare), AddResult::Refused);
    EXPECT_EQ(AddKey(&table, nullptr, T(1), CountingCompare), AddResult::Refused);
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(AddKey(&table, fits.c_str(), T(1), CountingCompare), AddResult::Added);
    EXPECT_STREQ(Lookup(&table, 0), fits.c_str());
}

TEST_F(DeviceTableTest, OverflowKeepsTenEarliestAttached) {
    // Twelve keys enumerated with times 50, 49, ... 39: the ten earliest are 39..48.
    for (int i = 0; i < 12; ++i) AddKey(&table, PathFor(i).c_str(), T(uint64_t(50 - i)), CountingCompare);
    ASSERT_EQ(table.count, 10);
    SortDeviceTable(&table, CountingCompare);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(V(table.times[i]), uint64_t(39 + i));
        EXPECT_STREQ(Lookup(&table, i), PathFor(11 - i).c_str());
    }
}

TEST_F(DeviceTableTest, OverflowDropsLaterOrEqualAndTiesFavourEarlierEnumerated) {
    for (int i = 0; i < 10; ++i) AddKey(&table, PathFor(i).c_str(), T(uint64_t(i == 3 || i == 7 ? 90 : i)), CountingCompare);
    EXPECT_EQ(AddKey(&table, PathFor(10).c_str(), T(90), CountingCompare), AddResult::Dropped);
    EXPECT_EQ(AddKey(&table, PathFor(11).c_str(), T(95), CountingCompare), AddResult::Dropped);
    // Strictly earlier: the later-enumerated of the two latest (key 7) gives way.
    EXPECT_EQ(AddKey(&table, PathFor(12).c_str(), T(20), CountingCompare), AddResult::Replaced);
    ASSERT_EQ(table.count, 10);
    for (int i = 0; i < 10; ++i) EXPECT_STRNE(Lookup(&table, i), PathFor(7).c_str());
    // A tie with an earlier-enumerated key stays behind it after the sort.
    EXPECT_EQ(AddKey(&table, PathFor(13).c_str(), T(2), CountingCompare), AddResult::Replaced);  // evicts key 3
    SortDeviceTable(&table, CountingCompare);
    EXPECT_STREQ(Lookup(&table, 2), PathFor(2).c_str());
    EXPECT_STREQ(Lookup(&table, 3), PathFor(13).c_str());
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(SlotZeroBeyondPath(i)) << i;
}
