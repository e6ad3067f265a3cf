#include "json_reader.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace harness {

namespace {

char const *const kind_names[] = {"null", "boolean", "number", "string", "array", "object"};

constexpr unsigned high_surrogates = 0xD800, low_surrogates = 0xDC00, surrogates_end = 0xE000;
/* Below this, an escape in one of observe's strings is a single byte. */
constexpr unsigned byte_escapes_end = 0x100;

void
append_utf8(std::string &out, unsigned code)
{
	if (code < 0x80) {
		out += static_cast<char>(code);
	} else if (code < 0x800) {
		out += static_cast<char>(0xC0 | code >> 6);
		out += static_cast<char>(0x80 | (code & 0x3F));
	} else if (code < 0x10000) {
		out += static_cast<char>(0xE0 | code >> 12);
		out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
		out += static_cast<char>(0x80 | (code & 0x3F));
	} else {
		out += static_cast<char>(0xF0 | code >> 18);
		out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
		out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
		out += static_cast<char>(0x80 | (code & 0x3F));
	}
}

bool
is_digit(char c)
{
	return c >= '0' && c <= '9';
}

} // namespace

/* Reads from left to right; each step says whether what it reads was there. */
class JsonReader {
public:
	explicit JsonReader(std::string_view json) : json_(json) {}

	std::optional<JsonValue> read_whole(std::string &error)
	{
		JsonValue value;
		skip_blanks();
		if (read_value(value)) {
			skip_blanks();
			if (at_ == json_.size())
				return value;
			fail("more after the value");
		}
		error = error_;
		return std::nullopt;
	}

private:
	std::string_view json_;
	size_t at_ = 0;
	std::string error_;

	bool fail(std::string const &why)
	{
		error_ = "at byte " + std::to_string(at_) + ": " + why;
		return false;
	}

	bool more() const { return at_ < json_.size(); }
	char next() const { return more() ? json_[at_] : '\0'; }

	void skip_blanks()
	{
		while (more() && (next() == ' ' || next() == '\t' || next() == '\n' || next() == '\r'))
			at_++;
	}

	bool take(char c)
	{
		if (!more() || json_[at_] != c)
			return false;
		at_++;
		return true;
	}

	bool take_word(std::string_view word)
	{
		if (json_.substr(at_, word.size()) != word)
			return fail("not a value");
		at_ += word.size();
		return true;
	}

	bool read_value(JsonValue &value)
	{
		switch (next()) {
		case 'n':
			value.kind_ = JsonValue::Kind::null;
			return take_word("null");
		case 't':
		case 'f':
			value.kind_ = JsonValue::Kind::boolean;
			value.boolean_ = next() == 't';
			return take_word(value.boolean_ ? "true" : "false");
		case '"':
			value.kind_ = JsonValue::Kind::string;
			return read_string(value.text_, value.bytes_);
		case '[':
			value.kind_ = JsonValue::Kind::array;
			return read_array(value);
		case '{':
			value.kind_ = JsonValue::Kind::object;
			return read_object(value);
		default:
			value.kind_ = JsonValue::Kind::number;
			return read_number(value);
		}
	}

	bool take_digits()
	{
		size_t from = at_;
		while (more() && is_digit(json_[at_]))
			at_++;
		return at_ > from;
	}

	/* -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? */
	bool read_number(JsonValue &value)
	{
		size_t from = at_;
		take('-');
		if (take('0')) {
			if (is_digit(next()))
				return fail("a number with a leading zero");
		} else if (!take_digits()) {
			return fail("not a value");
		}
		if (take('.') && !take_digits())
			return fail("no digits after the decimal point");
		if (take('e') || take('E')) {
			if (!take('+'))
				take('-');
			if (!take_digits())
				return fail("no digits in the exponent");
		}
		auto text = json_.substr(from, at_ - from);
		auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value.number_);
		if (error != std::errc() || end != text.data() + text.size())
			return fail("a number out of range");
		return true;
	}

	bool read_hex4(unsigned &code)
	{
		if (json_.size() - at_ < 4)
			return fail("a \\u escape cut short");
		auto digits = json_.substr(at_, 4);
		auto [end, error] = std::from_chars(digits.data(), digits.data() + 4, code, 16);
		if (error != std::errc() || end != digits.data() + 4)
			return fail("a \\u escape without four hex digits");
		at_ += 4;
		return true;
	}

	/* After the backslash of \uXXXX: one character, or a surrogate pair of escapes. */
	bool read_code(std::string &text, std::string &bytes)
	{
		unsigned code;
		if (!read_hex4(code))
			return false;
		if (code >= low_surrogates && code < surrogates_end)
			return fail("a low surrogate without a high one before it");
		if (code >= high_surrogates && code < low_surrogates) {
			unsigned low;
			if (!take('\\') || !take('u') || !read_hex4(low) || low < low_surrogates || low >= surrogates_end)
				return fail("a high surrogate without a low one after it");
			code = 0x10000 + ((code - high_surrogates) << 10) + (low - low_surrogates);
		}
		append_utf8(text, code);
		if (code < byte_escapes_end)
			bytes += static_cast<char>(code);
		else
			append_utf8(bytes, code);
		return true;
	}

	bool read_string(std::string &text, std::string &bytes)
	{
		take('"');
		for (;;) {
			if (!more())
				return fail("a string without its closing quote");
			char c = json_[at_++];
			if (c == '"')
				return true;
			if (static_cast<unsigned char>(c) < 0x20)
				return fail("a control character inside a string");
			if (c != '\\') {
				text += c;
				bytes += c;
				continue;
			}
			if (!more())
				return fail("a string without its closing quote");
			char escaped = json_[at_++];
			char const *simple = nullptr;
			switch (escaped) {
			case '"': simple = "\""; break;
			case '\\': simple = "\\"; break;
			case '/': simple = "/"; break;
			case 'b': simple = "\b"; break;
			case 'f': simple = "\f"; break;
			case 'n': simple = "\n"; break;
			case 'r': simple = "\r"; break;
			case 't': simple = "\t"; break;
			case 'u':
				if (!read_code(text, bytes))
					return false;
				continue;
			default:
				at_--;
				return fail("an unknown escape");
			}
			text += simple;
			bytes += simple;
		}
	}

	bool read_array(JsonValue &array)
	{
		take('[');
		skip_blanks();
		if (take(']'))
			return true;
		for (;;) {
			skip_blanks();
			if (!read_value(array.items_.emplace_back()))
				return false;
			skip_blanks();
			if (take(']'))
				return true;
			if (!take(','))
				return fail("neither ',' nor ']' after an item");
		}
	}

	bool read_object(JsonValue &object)
	{
		take('{');
		skip_blanks();
		if (take('}'))
			return true;
		for (;;) {
			skip_blanks();
			if (next() != '"')
				return fail("a member without a quoted name");
			auto &[key, value] = object.members_.emplace_back();
			std::string raw_key;
			if (!read_string(key, raw_key))
				return false;
			skip_blanks();
			if (!take(':'))
				return fail("no ':' after a member's name");
			skip_blanks();
			if (!read_value(value))
				return false;
			skip_blanks();
			if (take('}'))
				return true;
			if (!take(','))
				return fail("neither ',' nor '}' after a member");
		}
	}
};

void
JsonValue::expect(Kind kind) const
{
	if (kind_ != kind)
		throw std::logic_error(std::string("a JSON ") + kind_names[static_cast<int>(kind_)] + " read as " +
				       kind_names[static_cast<int>(kind)]);
}

bool
JsonValue::boolean() const
{
	expect(Kind::boolean);
	return boolean_;
}

double
JsonValue::number() const
{
	expect(Kind::number);
	return number_;
}

long long
JsonValue::integer() const
{
	expect(Kind::number);
	if (number_ != std::trunc(number_))
		throw std::logic_error("a JSON number with a fraction read as a whole one");
	return static_cast<long long>(number_);
}

std::string const &
JsonValue::text() const
{
	expect(Kind::string);
	return text_;
}

std::string const &
JsonValue::bytes() const
{
	expect(Kind::string);
	return bytes_;
}

std::vector<JsonValue> const &
JsonValue::items() const
{
	expect(Kind::array);
	return items_;
}

std::vector<JsonValue::Member> const &
JsonValue::members() const
{
	expect(Kind::object);
	return members_;
}

bool
JsonValue::has(std::string_view key) const
{
	if (kind_ != Kind::object)
		return false;
	for (auto const &member : members_)
		if (member.first == key)
			return true;
	return false;
}

JsonValue const &
JsonValue::at(std::string_view key) const
{
	for (auto const &member : members())
		if (member.first == key)
			return member.second;
	throw std::out_of_range("no member \"" + std::string(key) + "\"");
}

std::optional<JsonValue>
read_json(std::string_view json, std::string &error)
{
	return JsonReader(json).read_whole(error);
}

} // namespace harness
