#include "olvex/errors.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// code, the condition it must equal, one it must not (what the system's own
// category made of it), and words its message must hold.
struct Row {
    int code;
    std::errc is;
    std::errc is_not;
    const char *says;
};

const Row kRows[] = {
    {1460, std::errc::timed_out, std::errc::device_or_resource_busy, "did not answer within the time limit"},
    {258, std::errc::timed_out, std::errc::device_or_resource_busy, "another exchange or program held it"},
    {995, std::errc::operation_canceled, std::errc::io_error, "cancelled"},
    {1167, std::errc::no_such_device, std::errc::io_error, "removed"},
    {13, std::errc::bad_message, std::errc::invalid_argument, "shorter than its header says"},
    {87, std::errc::invalid_argument, std::errc::bad_message, "key index outside the last listing"},
    {6, std::errc::bad_file_descriptor, std::errc::invalid_argument, "not open"},
    {2, std::errc::no_such_device, std::errc::invalid_argument, "list them again"},
};

TEST(ErrorCategory, EachCodeKeepsItsValueReadsInTheLibrarysTermsAndComparesAsItsErrc) {
    for (const Row &row : kRows) {
        const std::error_code ec(row.code, olvex::category());
        SCOPED_TRACE(row.code);
        EXPECT_EQ(ec.value(), row.code);
        EXPECT_TRUE(ec == row.is);
        EXPECT_FALSE(ec == row.is_not);
        EXPECT_NE(ec.message().find(row.says), std::string::npos) << ec.message();
        EXPECT_EQ(olvex::error_message(row.code), ec.message());
    }
}

TEST(ErrorCategory, EveryCodeHasOneRowAndEveryMessageSaysSomething) {
    std::set<int> seen;
    for (const olvex::detail::error_row &row : olvex::detail::error_table) {
        EXPECT_TRUE(seen.insert(row.code).second) << "code " << row.code << " twice";
        EXPECT_GT(std::string(row.message).size(), 10u) << row.code;
    }
    EXPECT_NE(olvex::error_message(1359).find("1359"), std::string::npos) << "a code outside the table keeps its number";
}

TEST(ErrorCategory, OwnLateAnswerIsStill258AndTimedOutButBlamesNoOtherProgram) {
    const std::error_code own(258, olvex::detail::finishing_category());
    const std::error_code other(258, olvex::category());
    EXPECT_EQ(own.value(), 258);
    EXPECT_TRUE(own == std::errc::timed_out);
    EXPECT_NE(own.message().find("this connection's earlier exchange"), std::string::npos) << own.message();
    EXPECT_EQ(own.message().find("program held it"), std::string::npos) << own.message();
    EXPECT_NE(own.message(), other.message());
    EXPECT_EQ(std::error_code(1460, olvex::detail::finishing_category()).message(), std::error_code(1460, olvex::category()).message());
}

}  // namespace
