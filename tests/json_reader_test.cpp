/*
 * The harness's JSON reader, by which the tests read observe's --json
 * stream: every kind of value, both readings of a string, what it refuses,
 * and the bytes observe writes coming back as they were.
 */
#include "json_reader.h"
#include "report/json_string.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace {

using harness::JsonValue;

/* Printable ASCII as itself, every other byte as \xHH, so that each byte shows. */
std::string
quoted(std::string const &bytes)
{
	std::string out = "\"";
	for (unsigned char c : bytes) {
		if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
			out += static_cast<char>(c);
		} else {
			char escape[8];
			snprintf(escape, sizeof(escape), "\\x%02x", c);
			out += escape;
		}
	}
	return out + "\"";
}

/* A value as compact JSON of the test's own; a string whose two readings
 * differ shows both, as "text" / "bytes". */
std::string
describe(JsonValue const &value)
{
	std::string out;
	switch (value.kind()) {
	case JsonValue::Kind::null:
		return "null";
	case JsonValue::Kind::boolean:
		return value.boolean() ? "true" : "false";
	case JsonValue::Kind::number: {
		char number[32];
		auto end = std::to_chars(number, number + sizeof(number), value.number()).ptr;
		return std::string(number, end);
	}
	case JsonValue::Kind::string:
		out = quoted(value.text());
		if (value.bytes() != value.text())
			out += " / " + quoted(value.bytes());
		return out;
	case JsonValue::Kind::array:
		for (auto const &item : value.items())
			out += (out.empty() ? "" : ",") + describe(item);
		return "[" + out + "]";
	case JsonValue::Kind::object:
		for (auto const &[key, member] : value.members())
			out += (out.empty() ? "" : ",") + quoted(key) + ":" + describe(member);
		return "{" + out + "}";
	}
	return "?";
}

struct Reading {
	char const *name;
	std::string json;
	char const *read;	/* as described, or nullptr where the text must be refused */
};

class JsonReader : public ::testing::TestWithParam<Reading> {};

TEST_P(JsonReader, ReadsOneValueOrSaysWhyNot)
{
	auto const &reading = GetParam();
	std::string error;
	auto value = harness::read_json(reading.json, error);
	if (reading.read == nullptr) {
		EXPECT_FALSE(value) << "read as " << describe(*value);
		EXPECT_NE(error, "");
	} else {
		ASSERT_TRUE(value) << error;
		EXPECT_EQ(describe(*value), reading.read);
	}
}

INSTANTIATE_TEST_SUITE_P(Harness, JsonReader, ::testing::Values(
	Reading{.name = "NullWithBlanks", .json = " null\t", .read = "null"},
	Reading{.name = "Numbers", .json = "[0,-7,4194304,2.5,-0.125,1e3,2E-2,5e+1]",
		.read = "[0,-7,4194304,2.5,-0.125,1000,0.02,50]"},
	Reading{.name = "Booleans", .json = "[true,false]", .read = "[true,false]"},
	Reading{.name = "ShortEscapes", .json = R"("\"\\\/\b\f\n\r\t")",
		.read = R"("\x22\x5c/\x08\x0c\x0a\x0d\x09")"},
	Reading{.name = "ControlEscapes", .json = R"("\u0000\u001b\u007f")", .read = R"("\x00\x1b\x7f")"},
	Reading{.name = "EscapesBelow256AreSingleBytesAsBytes", .json = R"("caf\u00e9 \u00FF")",
		.read = R"("caf\xc3\xa9 \xc3\xbf" / "caf\xe9 \xff")"},
	Reading{.name = "EscapeOfThreeUtf8Bytes", .json = R"("\u20ac")", .read = R"("\xe2\x82\xac")"},
	Reading{.name = "SurrogatePair", .json = R"("\ud83d\ude00")", .read = R"("\xf0\x9f\x98\x80")"},
	Reading{.name = "Utf8PassesThrough", .json = "\"gr\xc3\xbc\xc3\x9f\"", .read = R"("gr\xc3\xbc\xc3\x9f")"},
	Reading{.name = "AnEventOfObserve", .json = R"({"t_ms":12001,"event":"end","reason":"time limit","ended":[13,14]})",
		.read = R"({"t_ms":12001,"event":"end","reason":"time limit","ended":[13,14]})"},
	Reading{.name = "NestedWithBlanks", .json = R"( { "a" : [ 1 , { "b" : null } , [ ] ] , "c" : { } } )",
		.read = R"({"a":[1,{"b":null},[]],"c":{}})"},
	Reading{.name = "Nothing", .json = "", .read = nullptr},
	Reading{.name = "TwoValues", .json = "1 2", .read = nullptr},
	Reading{.name = "LeadingZero", .json = "01", .read = nullptr},
	Reading{.name = "NoDigitsAfterThePoint", .json = "1.", .read = nullptr},
	Reading{.name = "NoDigitsInTheExponent", .json = "1e+", .read = nullptr},
	Reading{.name = "CutWord", .json = "tru", .read = nullptr},
	Reading{.name = "UnclosedString", .json = R"("abc)", .read = nullptr},
	Reading{.name = "RawTabInAString", .json = "\"a\tb\"", .read = nullptr},
	Reading{.name = "UnknownEscape", .json = R"("\x41")", .read = nullptr},
	Reading{.name = "ShortUnicodeEscape", .json = R"("\u00e")", .read = nullptr},
	Reading{.name = "LoneHighSurrogate", .json = R"("\ud83d.")", .read = nullptr},
	Reading{.name = "LoneLowSurrogate", .json = R"("\ude00")", .read = nullptr},
	Reading{.name = "TrailingComma", .json = "[1,]", .read = nullptr},
	Reading{.name = "UnclosedArray", .json = "[1", .read = nullptr},
	Reading{.name = "UnquotedName", .json = "{a:1}", .read = nullptr},
	Reading{.name = "NoColon", .json = R"({"a" 1})", .read = nullptr}),
	[](auto const &info) { return std::string(info.param.name); });

/* Whatever bytes observe writes as a JSON string, bytes() gives back. */
TEST(Harness, JsonReaderGivesBackTheBytesObserveWrote)
{
	std::vector<std::string> samples{"Child1\r\n", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80",
					 "\xc3", "\xc0\xaf", "\xed\xa0\x80"};
	std::string every_byte;
	for (int byte = 0; byte < 256; byte++) {
		samples.emplace_back(1, static_cast<char>(byte));
		every_byte += static_cast<char>(byte);
	}
	samples.push_back(every_byte);
	for (auto const &bytes : samples) {
		auto json = observe::json_string(bytes);
		std::string error;
		auto value = harness::read_json(json, error);
		ASSERT_TRUE(value) << json << ": " << error;
		EXPECT_EQ(value->bytes(), bytes) << json;
	}
}

/* Asked for a value of the wrong kind, the reader says so rather than give a default: null is not 0. */
TEST(Harness, JsonReaderRefusesAValueOfAnotherKind)
{
	std::string error;
	auto event = harness::read_json(R"({"status":null,"t_ms":12.5})", error);
	ASSERT_TRUE(event) << error;
	EXPECT_TRUE(event->at("status").is_null());
	EXPECT_THROW(event->at("status").integer(), std::logic_error);
	EXPECT_THROW(event->at("t_ms").integer(), std::logic_error);
	EXPECT_THROW(event->text(), std::logic_error);
	EXPECT_FALSE(event->has("signal"));
	EXPECT_THROW(event->at("signal"), std::out_of_range);
}

} // namespace
