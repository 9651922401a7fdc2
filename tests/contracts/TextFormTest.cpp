// The runtime's text-form primitives: number bounds, exact doubles, literal matching at the end of
// the text, and trailing text quoted printably.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contracts/Kiln/Format.h"
#include "contracts/Kiln/TextForm.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using TestSupport::parseExact;
using TestSupport::parserOf;

const TestSupport::Parsers kParsers = {
    {"u8", parserOf<std::uint8_t>()},   {"u16", parserOf<std::uint16_t>()},
    {"u32", parserOf<std::uint32_t>()}, {"u64", parserOf<std::uint64_t>()},
    {"i32", parserOf<std::int32_t>()},  {"double", parserOf<double>()},
    {"bool", parserOf<bool>()},
};

// Numbers are plain decimal with exact bounds, no sign on unsigned numbers and no blanks; doubles
// have fixed texts for the special values; booleans are the capitalised words only.
TEST(TextForm, TableOfTexts) {
    TestSupport::expectRows(
        kParsers, {
                      {"u8", "255", "255"},
                      {"u16", "65535", "65535"},
                      {"u32", "4294967295", "4294967295"},
                      {"u64", "0", "0"},
                      {"u64", "18446744073709551615", "18446744073709551615"},
                      {"i32", "-2147483648", "-2147483648"},
                      {"double", "inf", "inf"},
                      {"double", "-inf", "-inf"},
                      {"double", "nan", "nan"},
                      {"double", "-nan", "-nan"},
                      // Hexadecimal is not a value text: the parser takes the "0" and leaves "x10".
                      {"double", "0x10", "0", 1},
                      {"bool", "True", "True"},
                      {"bool", "False", "False"},
                  });
    TestSupport::expectRejected(
        kParsers,
        {
            {"u8", {"256"}},
            {"u16", {"65536", "-1", "-0", "+1", " 1", "", "x1"}},
            {"u32", {"4294967296"}},
            {"u64", {"18446744073709551616", "99999999999999999999999999", "-1", "+1", " 1", ""}},
            {"i32", {"2147483648"}},
            {"double", {"1e999", "", "e5"}},
            {"bool", {"true", "1", "Tru", "", "F"}},
        });
    EXPECT_TRUE(std::signbit(parseExact<double>("-nan")));
}

TEST(TextFormDoubles, EveryNonNanValueRoundTripsToTheSameBits) {
    using Limits = std::numeric_limits<double>;
    std::vector<double> values = {0.0, -0.0, 0.1, 1e300, -1e-300, -Limits::infinity()};
    for (double d : {Limits::min(), Limits::max(), Limits::lowest(), Limits::denorm_min()}) {
        values.push_back(d);
    }
    const auto seed = TestSupport::testSeed("doubles");
    std::mt19937_64 rng(seed);
    while (values.size() < 20000) {
        const double d = std::bit_cast<double>(rng());
        if (!std::isnan(d)) values.push_back(d);
    }
    for (double d : values) {
        const Kiln::String text = Kiln::valueToStrep(d);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(parseExact<double>(text.stdString())),
                  std::bit_cast<std::uint64_t>(d))
            << text << " seed " << seed;
    }
}

TEST(TextFormLiterals, NeedStringMatchesExactlyAndNeverReadsPastTheEnd) {
    const std::string text = "Value('X'";
    auto buf = std::make_unique<char[]>(text.size());
    std::memcpy(buf.get(), text.data(), text.size());
    const char* end = buf.get() + text.size();
    Kiln::String::IteratorConst pos = buf.get();
    Kiln::needString(pos, end, "Value('");
    EXPECT_EQ(pos, buf.get() + 7);
    // The literal runs past the end of the text: rejected, position unchanged.
    EXPECT_THROW(Kiln::needString(pos, end, "X', ** {"), Kiln::RangeException);
    EXPECT_EQ(pos, buf.get() + 7);
    EXPECT_THROW(Kiln::needString(pos, end, "Y"), Kiln::RangeException);
    Kiln::needString(pos, end, "X'");
    EXPECT_EQ(pos, end);
    EXPECT_THROW(Kiln::needString(pos, end, "'"), Kiln::RangeException);
}

TEST(TextFormErrors, TrailingTextIsRejectedAndQuotedPrintably) {
    const Kiln::String text("12\x01 tail");
    try {
        Kiln::strepToValue<std::uint32_t>(text);
        FAIL();
    } catch (const Kiln::RangeException& e) {
        EXPECT_NE(std::string(e.what()).find("\\x01 tail"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Kiln::strepToValue<std::uint32_t>(Kiln::String("12")), 12u);
}

TEST(TextFormFormat, LongResultsAreNotTruncated) {
    const std::string big(1000, 'x');
    const Kiln::String s = Kiln::format("<%s|%d>", big.c_str(), 42);
    EXPECT_EQ(s.size(), 1000u + 5u);
    EXPECT_EQ(s.stdString().substr(1000), "x|42>");
}

}  // namespace
