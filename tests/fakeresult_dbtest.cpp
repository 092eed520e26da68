// The in-memory result sets of the continuation fuzzer (fuzz/fakeresult.h)
// against real ones: for the same rows the client library's fetch_row,
// fetch_lengths, num_rows and num_fields give the same answers on both, and
// mysql_free_result frees both.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fuzz/fakeresult.h"
#include "testdb.h"

namespace {

using namespace std::string_literals;

// The rows a set yields, walked with the library's own calls; fetch_lengths
// is asked after the last row too (a finished set answers null).
std::vector<FakeRow> Walk(MYSQL_RES* result, bool* lengthsAfterEnd)
{
    std::vector<FakeRow> rows;
    unsigned int fields = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        FakeRow values;
        for (unsigned int i = 0; i < fields; i++) {
            if (row[i] == nullptr) {
                EXPECT_EQ(lengths[i], 0u);
                values.push_back(std::nullopt);
                continue;
            }
            EXPECT_EQ(row[i][lengths[i]], '\0') << "column " << i;   // values end in a zero byte
            values.push_back(std::string(row[i], lengths[i]));
        }
        rows.push_back(values);
    }
    *lengthsAfterEnd = mysql_fetch_lengths(result) != nullptr;
    return rows;
}

class FakeResultTest : public ::testing::Test {
protected:
    // Runs the statement for real and builds a set from the expected rows;
    // both must agree with each other and with the expectation.
    void Compare(const std::string& statement, unsigned int fields, const std::vector<FakeRow>& expected)
    {
        MYSQL* connection = database.Connection();
        ASSERT_NE(connection, nullptr);
        ASSERT_EQ(mysql_real_query(connection, statement.data(), statement.size()), 0)
            << mysql_error(connection);
        MYSQL_RES* real = mysql_store_result(connection);
        ASSERT_NE(real, nullptr) << mysql_error(connection);
        FakeResult builder;
        MYSQL_RES* fake = builder.Build(fields, expected);

        EXPECT_EQ(mysql_num_rows(real), expected.size());
        EXPECT_EQ(mysql_num_rows(fake), expected.size());
        EXPECT_EQ(mysql_num_fields(real), fields);
        EXPECT_EQ(mysql_num_fields(fake), fields);
        bool realAfterEnd = true, fakeAfterEnd = true;
        EXPECT_EQ(Walk(real, &realAfterEnd), expected);
        EXPECT_EQ(Walk(fake, &fakeAfterEnd), expected);
        EXPECT_EQ(realAfterEnd, fakeAfterEnd);
        EXPECT_EQ(mysql_fetch_row(fake), nullptr);   // stays at its end

        mysql_free_result(real);
        mysql_free_result(fake);
    }

    FreshDatabase database;
};

TEST_F(FakeResultTest, OneRowWithANullInTheMiddle)
{
    Compare("SELECT 1, NULL, 'xyz'", 3, {{"1"s, std::nullopt, "xyz"s}});
}

TEST_F(FakeResultTest, RowOfNullsOnly)
{
    Compare("SELECT NULL, NULL", 2, {{std::nullopt, std::nullopt}});
}

TEST_F(FakeResultTest, NoRows)
{
    Compare("SELECT 1, 2, 3 FROM DUAL WHERE 1=0", 3, {});
}

TEST_F(FakeResultTest, RowsWithZeroBytesEmptyValuesAndNullsAtBothEnds)
{
    std::string longValue(300, 'q');
    Compare("SELECT X'00FF0041', '', NULL "
            "UNION ALL SELECT NULL, 'a', X'' "
            "UNION ALL SELECT REPEAT('q', 300), NULL, '7'",
            3,
            {{"\0\xff\0A"s, ""s, std::nullopt},
             {std::nullopt, "a"s, ""s},
             {longValue, std::nullopt, "7"s}});
}

TEST_F(FakeResultTest, AnAccountRowAsTheLoginReadsIt)
{
    database.Exec("INSERT INTO accounts(Email, AccessLevel, InterfaceDataSize, InterfaceData) "
                  "VALUES(X'6100', 60, 3, X'010203')");
    Compare("SELECT Password, AccessLevel, AccountID, TimeAccountMarked, DurationOfMark, "
            "InterfaceDataSize, InterfaceData FROM accounts",
            7, {{std::nullopt, "60"s, "1"s, "0"s, "0"s, "3"s, "\x01\x02\x03"s}});
}

TEST(FakeResult, RowsAreCutOrPaddedToTheColumnCount)
{
    FakeResult builder;
    MYSQL_RES* fake = builder.Build(2, {{"a"s}, {"b"s, "c"s, "dropped"s}});
    bool afterEnd = true;
    std::vector<FakeRow> expected = {{"a"s, std::nullopt}, {"b"s, "c"s}};
    EXPECT_EQ(Walk(fake, &afterEnd), expected);
    EXPECT_FALSE(afterEnd);
    mysql_free_result(fake);
}

} // namespace
