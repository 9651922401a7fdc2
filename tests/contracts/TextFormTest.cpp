// The runtime's text-form primitives: number bounds, exact doubles, literal matching at the end of
// the text, and error messages that name the failing attribute.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "contracts/Kiln/EnumType.h"
#include "contracts/Kiln/Format.h"
#include "contracts/Kiln/TextForm.h"
#include "tests/support/Seed.h"
#include "tests/support/TextParsing.h"

namespace {

using TestSupport::parseExact;

template <class T>
bool rejects(const std::string& text) {
    try {
        std::size_t consumed = 0;
        parseExact<T>(text, &consumed);
        return false;
    } catch (const Kiln::RangeException&) {
        return true;
    }
}

TEST(TextFormNumbers, UnsignedBoundsAreExact) {
    EXPECT_EQ(parseExact<std::uint8_t>("255"), 255);
    EXPECT_TRUE(rejects<std::uint8_t>("256"));
    EXPECT_EQ(parseExact<std::uint16_t>("65535"), 65535);
    EXPECT_TRUE(rejects<std::uint16_t>("65536"));
    EXPECT_EQ(parseExact<std::uint32_t>("4294967295"), 4294967295u);
    EXPECT_TRUE(rejects<std::uint32_t>("4294967296"));
    EXPECT_EQ(parseExact<std::uint64_t>("18446744073709551615"),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(rejects<std::uint64_t>("18446744073709551616"));
    EXPECT_TRUE(rejects<std::uint64_t>("99999999999999999999999999"));
}

TEST(TextFormNumbers, SignsBlanksAndEmptyTextAreRejected) {
    for (const char* bad : {"-1", "-0", "+1", " 1", "", "x1"}) {
        EXPECT_TRUE(rejects<std::uint16_t>(bad)) << bad;
        EXPECT_TRUE(rejects<std::uint64_t>(bad)) << bad;
    }
    EXPECT_EQ(parseExact<std::int32_t>("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_TRUE(rejects<std::int32_t>("2147483648"));
}

TEST(TextFormNumbers, ParserStopsAtTheFirstNonDigit) {
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<std::uint32_t>("123, 'next'", &consumed), 123u);
    EXPECT_EQ(consumed, 3u);
}

TEST(TextFormNumbers, UnsignedTextIsPlainDecimal) {
    EXPECT_EQ(Kiln::valueToStrep(std::uint64_t{0}), "0");
    EXPECT_EQ(Kiln::valueToStrep(std::uint16_t{65535}), "65535");
    EXPECT_EQ(Kiln::valueToStrep(std::numeric_limits<std::uint64_t>::max()),
              "18446744073709551615");
}

TEST(TextFormDoubles, SpecialValuesHaveFixedTexts) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Kiln::valueToStrep(inf), "inf");
    EXPECT_EQ(Kiln::valueToStrep(-inf), "-inf");
    EXPECT_EQ(Kiln::valueToStrep(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(Kiln::valueToStrep(-std::numeric_limits<double>::quiet_NaN()), "-nan");
    EXPECT_EQ(parseExact<double>("inf"), inf);
    EXPECT_EQ(parseExact<double>("-inf"), -inf);
    EXPECT_TRUE(std::isnan(parseExact<double>("nan")));
    const double negNan = parseExact<double>("-nan");
    EXPECT_TRUE(std::isnan(negNan));
    EXPECT_TRUE(std::signbit(negNan));
}

TEST(TextFormDoubles, EveryFiniteValueRoundTripsToTheSameBits) {
    const double fixed[] = {0.0,
                            -0.0,
                            0.1,
                            1.0 / 3.0,
                            1e300,
                            -1e-300,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(),
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::lowest()};
    for (double d : fixed) {
        const Kiln::String text = Kiln::valueToStrep(d);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(parseExact<double>(text.stdString())),
                  std::bit_cast<std::uint64_t>(d))
            << text;
    }
    const auto seed = TestSupport::testSeed("doubles");
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 20000; ++i) {
        const double d = std::bit_cast<double>(rng());
        if (std::isnan(d)) continue;
        const Kiln::String text = Kiln::valueToStrep(d);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(parseExact<double>(text.stdString())),
                  std::bit_cast<std::uint64_t>(d))
            << text << " seed " << seed;
    }
}

TEST(TextFormDoubles, OverflowAndJunkAreRejected) {
    EXPECT_TRUE(rejects<double>("1e999"));
    EXPECT_TRUE(rejects<double>(""));
    EXPECT_TRUE(rejects<double>("e5"));
    // Hexadecimal is not a value text: the parser takes the "0" and leaves "x10" to whatever
    // follows, which then fails.
    std::size_t consumed = 0;
    EXPECT_EQ(parseExact<double>("0x10", &consumed), 0.0);
    EXPECT_EQ(consumed, 1u);
}

TEST(TextFormBooleans, OnlyTheCapitalisedWordsAreBooleans) {
    EXPECT_EQ(Kiln::valueToStrep(true), "True");
    EXPECT_EQ(Kiln::valueToStrep(false), "False");
    EXPECT_TRUE(parseExact<bool>("True"));
    EXPECT_FALSE(parseExact<bool>("False"));
    for (const char* bad : {"true", "1", "Tru", "", "F"}) EXPECT_TRUE(rejects<bool>(bad)) << bad;
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

TEST(TextFormErrors, AttributeNamesNestOutsideIn) {
    const std::string text = "70000";
    Kiln::String::IteratorConst pos = text.data();
    try {
        try {
            Kiln::deserializeAttr<std::uint16_t>(pos, text.data() + text.size(), "srcPort");
        } catch (const Kiln::RangeException& e) {
            Kiln::rethrowFromDeserializeAttr(e, "key");
        }
        FAIL() << "70000 is not a port";
    } catch (const Kiln::RangeException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("key: srcPort: ", 0), 0u) << e.what();
    }
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

TEST(TextFormEnumerations, NamesNumbersAndUnknownNames) {
    const Kiln::EnumType<unsigned> type("Test::Colour", {{1, "red"}, {2, "green"}});
    EXPECT_EQ(type.find(2u)->name, std::string("green"));
    EXPECT_EQ(type.find(0u), nullptr);
    EXPECT_EQ(type.find("red")->value, 1u);
    EXPECT_EQ(type.find("redd"), nullptr);
    EXPECT_EQ(type.text(1), "red");
    EXPECT_EQ(type.text(7), "7");

    const std::string text = "green, 7, blue";
    const char* end = text.data() + text.size();
    Kiln::String::IteratorConst pos = text.data();
    EXPECT_EQ(type.parse(pos, end), 2u);
    Kiln::needString(pos, end, ", ");
    EXPECT_EQ(type.parse(pos, end), 7u);
    Kiln::needString(pos, end, ", ");
    EXPECT_THROW(type.parse(pos, end), Kiln::RangeException);
}

TEST(TextFormFormat, LongResultsAreNotTruncated) {
    const std::string big(1000, 'x');
    const Kiln::String s = Kiln::format("<%s|%d>", big.c_str(), 42);
    EXPECT_EQ(s.size(), 1000u + 5u);
    EXPECT_EQ(s.stdString().substr(1000), "x|42>");
}

}  // namespace
