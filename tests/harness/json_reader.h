#pragma once

/*
 * A reader of JSON values, for reading back what observe writes with
 * --json: one event a line, each an object. It reads; it writes nothing.
 *
 * A string has two readings. text() is JSON's own: each \uXXXX escape, or
 * surrogate pair of them, becomes its character in UTF-8. bytes() is the
 * reading of observe's strings, which carry the bytes a program wrote:
 * valid UTF-8 is written as it is, and each byte that is not UTF-8 as an
 * escape from \u0080 to \u00ff. So there an escape below \u0100 stands for
 * the single byte of that value, and the bytes come back as they were
 * written. Bytes of the line that are not escaped pass into both readings
 * unchanged.
 */

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace harness {

class JsonValue {
public:
	enum class Kind { null, boolean, number, string, array, object };
	using Member = std::pair<std::string, JsonValue>;

	Kind kind() const { return kind_; }
	bool is_null() const { return kind_ == Kind::null; }

	/*
	 * Each throws std::logic_error where the value is of another kind, so
	 * that a test asking for the number 0 fails where the stream has null,
	 * rather than reading a default.
	 */
	bool boolean() const;
	double number() const;
	/* The number, which must be whole. */
	long long integer() const;
	std::string const &text() const;
	std::string const &bytes() const;
	std::vector<JsonValue> const &items() const;
	std::vector<Member> const &members() const;

	/* An object's member by name, the first of that name; at() throws
	 * std::out_of_range where there is none. has() is false for a value
	 * that is not an object. */
	bool has(std::string_view key) const;
	JsonValue const &at(std::string_view key) const;

private:
	friend class JsonReader;

	Kind kind_ = Kind::null;
	bool boolean_ = false;
	double number_ = 0;
	std::string text_;
	std::string bytes_;
	std::vector<JsonValue> items_;
	std::vector<Member> members_;

	void expect(Kind) const;
};

/* The one value that `json` holds, with blanks around it allowed; nothing,
 * and why in `error`, where it holds anything else. */
std::optional<JsonValue> read_json(std::string_view json, std::string &error);

} // namespace harness
