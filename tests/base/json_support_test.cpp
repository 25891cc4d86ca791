#include "base/json_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace cordavelle {
namespace {

TEST(JsonInteger, WholeNumbersInRangeOnly)
{
    EXPECT_EQ(jsonInteger<int>(Json::parse("4532")), 4532);
    EXPECT_EQ(jsonInteger<int>(Json::parse("4532.0")), 4532);
    EXPECT_EQ(jsonInteger<int>(Json::parse("-0.0")), 0);
    EXPECT_EQ(jsonInteger<int>(Json::parse("1e3")), 1000);
    EXPECT_EQ(jsonInteger<int>(Json::parse("-7")), -7);

    EXPECT_EQ(jsonInteger<int>(Json::parse("4532.5")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("true")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("false")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse(R"("4532")")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("null")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("[1]")), std::nullopt);

    // Range edges, both as integers and as whole reals.
    EXPECT_EQ(jsonInteger<int>(Json::parse("2147483647")), 2147483647);
    EXPECT_EQ(jsonInteger<int>(Json::parse("2147483648")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("2147483647.0")), 2147483647);
    EXPECT_EQ(jsonInteger<int>(Json::parse("2147483648.0")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json::parse("-2147483648.0")), INT32_MIN);
    EXPECT_EQ(jsonInteger<int>(Json::parse("-2147483649")), std::nullopt);
    EXPECT_EQ(jsonInteger<std::uint16_t>(Json::parse("-1")), std::nullopt);
    EXPECT_EQ(jsonInteger<std::uint16_t>(Json::parse("65535.0")), 65535);
    EXPECT_EQ(jsonInteger<std::int64_t>(Json::parse("9223372036854775807")), INT64_MAX);
    EXPECT_EQ(jsonInteger<std::int64_t>(Json::parse("9223372036854775808")), std::nullopt);
    EXPECT_EQ(jsonInteger<std::int64_t>(Json::parse("9.3e18")), std::nullopt);
    EXPECT_EQ(jsonInteger<std::uint64_t>(Json::parse("18446744073709551615")), UINT64_MAX);
    EXPECT_EQ(jsonInteger<std::uint64_t>(Json::parse("1.8446744073709552e19")), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json(std::numeric_limits<double>::infinity())), std::nullopt);
    EXPECT_EQ(jsonInteger<int>(Json(std::numeric_limits<double>::quiet_NaN())), std::nullopt);
}

TEST(JsonDecode, ScalarsKeepTheirJsonType)
{
    EXPECT_TRUE(decodeJsonValue<bool>(Json(true)));
    EXPECT_THROW(decodeJsonValue<bool>(Json(1)), JsonDecodeError);
    EXPECT_THROW(decodeJsonValue<bool>(Json("true")), JsonDecodeError);
    EXPECT_DOUBLE_EQ(decodeJsonValue<double>(Json(3)), 3.0);
    EXPECT_THROW(decodeJsonValue<double>(Json(true)), JsonDecodeError);
    EXPECT_EQ(decodeJsonValue<QString>(Json("caf\u00e9")), QString::fromUtf8("caf\u00e9"));
    EXPECT_THROW(decodeJsonValue<QString>(Json(5)), JsonDecodeError);
    EXPECT_THROW(decodeJsonValue<QStringList>(Json::parse(R"(["a",1])")), JsonDecodeError);
    EXPECT_EQ(decodeJsonValue<QStringList>(Json::parse(R"(["a","b"])")), QStringList({"a", "b"}));
}

TEST(JsonDecode, ErrorsNameTheFailingMember)
{
    const Json j = Json::parse(R"({"port":"x","list":["a",2],"nothing":null})");
    const JsonObjectReader r(j);
    try {
        r.required<int>("port");
        ADD_FAILURE();
    } catch (const JsonDecodeError &e) {
        EXPECT_EQ(e.path(), "port");
        EXPECT_EQ(e.reason(), "Expected an integer, found string");
        EXPECT_EQ(e.description(), "port: Expected an integer, found string");
    }
    try {
        r.required<QStringList>("list");
        ADD_FAILURE();
    } catch (const JsonDecodeError &e) {
        EXPECT_EQ(e.path(), "list[1]");
    }
    EXPECT_THROW(r.required<int>("missing"), JsonDecodeError);
    EXPECT_THROW(r.required<int>("nothing"), JsonDecodeError);
    EXPECT_EQ(r.optional<int>("nothing"), std::nullopt);
    EXPECT_FALSE(r.has("nothing"));

    EXPECT_THROW(JsonObjectReader{Json::array()}, JsonDecodeError);
    EXPECT_THROW(decodeJson<QString>("not json"), JsonDecodeError);
    EXPECT_THROW(decodeJson<QString>(""), JsonDecodeError);
    EXPECT_THROW(decodeJson<int>("1e400"), JsonDecodeError);
    EXPECT_THROW(decodeJson<QString>("\"\xff\""), JsonDecodeError);
}

TEST(JsonDecode, CompactOutputKeepsInsertionOrder)
{
    Json j = Json::object();
    j["zeta"] = QString::fromUtf8("\u00e9/x");
    j["alpha"] = 1;
    EXPECT_EQ(dumpJson(j), QByteArray("{\"zeta\":\"\xc3\xa9/x\",\"alpha\":1}"));
}

} // namespace
} // namespace cordavelle
