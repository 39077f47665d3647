// Numbers past the range of their target, read from the library's text forms:
// a value token of a record and a width token of a structure. Each must fail
// the stream or raise the field's out-of-range error, leaving the record as it
// was; none may be taken modulo a power of two.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "Core/Orvex/__field.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// Tokens that a reader which wraps would take for small numbers: 2^32 + 5 and
// 2^64 + 5 give 5, 2^64 gives 0, 2^64 - 1 gives 4294967295 or -1.
const char* const kWrappingTokens[] = {"4294967301", "18446744073709551621", "18446744073709551616",
                                       "18446744073709551615", "-18446744073709551621", "-4294967301"};

// Reads `token` as the value of field 0 of a record holding 7; true when the
// read was refused (stream failed or out-of-range raised) and 7 is still there.
template <class T, class F>
::testing::AssertionResult refusedAndKept(const F& field, const std::string& token) {
    TFields fields;
    fields += field;
    TRecord record(fields);
    record[0] = static_cast<T>(7);
    std::istringstream in(token);
    bool raised = false;
    try {
        record.from_stream(in);
    } catch (const std::out_of_range&) {
        raised = true;
    }
    if (!raised && !in.fail())
        return ::testing::AssertionFailure() << token << " was taken as " << record[0].template get<T>();
    if (record[0].template get<T>() != static_cast<T>(7))
        return ::testing::AssertionFailure() << token << " changed the record to " << record[0].template get<T>();
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(TextNumbers, ValueTokensOutsideEveryFieldAreRefusedNotWrapped) {
    for (const char* token : kWrappingTokens) {
        EXPECT_TRUE(refusedAndKept<int>(TField<int>("v", 32), token));
        EXPECT_TRUE(refusedAndKept<unsigned int>(TField<unsigned int>("v", 32), token));
        EXPECT_TRUE(refusedAndKept<long>(TField<long>("v", 32), token));
        EXPECT_TRUE(refusedAndKept<unsigned long>(TField<unsigned long>("v", 32), token));
    }
}

TEST(TextNumbers, TheLargest32BitValuesStillRead) {
    TFields fields;
    fields += TField<unsigned long>("u", 32);
    fields += TField<long>("s", 32);
    TRecord record(fields);
    std::istringstream in("4294967295\t-2147483648\t");
    record.from_stream(in);
    ASSERT_FALSE(in.fail());
    EXPECT_EQ(record[0].get<unsigned long>(), 4294967295UL);
    EXPECT_EQ(record[1].get<long>(), -2147483648L);
}

TEST(TextNumbers, AWidthTokenPastAByteFailsTheStructureInsteadOfWrapping) {
    // 261 and 2^64 + 5 would both wrap to a 5-bit field.
    for (const char* width : {"261", "18446744073709551621"}) {
        std::istringstream in(std::string("1\t1\t\n\"u_long\"\t\"id\"\t") + width + "\t\n");
        TFields fields(in);
        EXPECT_TRUE(in.fail()) << width;
    }
}
