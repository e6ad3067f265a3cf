#include "screen_text.h"

#include <algorithm>
#include <cstdio>

namespace observe {

namespace {

constexpr char esc = 0x1b;
/* An escape sequence longer than this is not one: its bytes are shown. */
constexpr size_t longest_sequence = 256;

/* The length of a valid UTF-8 character at `i`, 0 where it is not one, or
 * -1 where it may be one whose rest has not come. */
int
character_length(std::string const &s, size_t i)
{
	auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
	unsigned char c = byte(i);
	int length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
	if (length == 0 || c > 0xF4)
		return 0;
	for (int k = 1; k < length; k++) {
		if (i + k >= s.size())
			return -1;
		if ((byte(i + k) & 0xC0) != 0x80)
			return 0;
	}
	/* Overlong forms, surrogates and past U+10FFFF. */
	unsigned char next = byte(i + 1);
	if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next >= 0xA0) || (c == 0xF0 && next < 0x90) ||
	    (c == 0xF4 && next >= 0x90))
		return 0;
	return length;
}

/* The length of an escape sequence at `i` (CSI, OSC, or ESC and one
 * character), 0 where it is none, or -1 where its rest has not come. */
int
escape_length(std::string const &s, size_t i)
{
	size_t k = i + 1;
	if (k >= s.size())
		return -1;
	if (s[k] == '[') {
		for (k++; k < s.size() && k - i < longest_sequence; k++)
			if (s[k] >= 0x40 && s[k] <= 0x7E)
				return static_cast<int>(k - i + 1);
			else if (s[k] < 0x20 || s[k] > 0x3F)
				if (s[k] < 0x20 || s[k] > 0x2F)
					return 0;
		return k - i < longest_sequence ? -1 : 0;
	}
	if (s[k] == ']' || s[k] == 'P' || s[k] == '_') {
		/* Ended by BEL or by ESC \. */
		for (k++; k < s.size() && k - i < longest_sequence; k++) {
			if (s[k] == '\a')
				return static_cast<int>(k - i + 1);
			if (s[k] == esc)
				return k + 1 < s.size() ? (s[k + 1] == '\\' ? static_cast<int>(k - i + 2) : 0) : -1;
		}
		return k - i < longest_sequence ? -1 : 0;
	}
	return s[k] >= 0x20 && s[k] <= 0x7E ? 2 : 0;
}

/* A control byte as a terminal echoes it: "^G", "^?". */
std::string
caret(unsigned char c)
{
	return {'^', static_cast<char>(c == 0x7F ? '?' : c + '@')};
}

} // namespace

std::string
JobText::show(std::string const &bytes)
{
	std::string s = held_ + bytes;
	held_.clear();
	std::string out;
	for (size_t i = 0; i < s.size();) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		if (c == esc) {
			int n = escape_length(s, i);
			if (n < 0) {
				held_ = s.substr(i);
				break;
			}
			if (n > 0) {
				if (terminal_ && escapes_)
					out.append(s, i, n);
				i += n;
				continue;
			}
			out += caret(c);
			i++;
		} else if (c >= 0x80) {
			int n = character_length(s, i);
			if (n < 0) {
				held_ = s.substr(i);
				break;
			}
			if (n > 0) {
				out.append(s, i, n);
				i += n;
				continue;
			}
			char hex[8];
			snprintf(hex, sizeof(hex), "\\x%02x", c);
			out += hex;
			i++;
		} else {
			/* Line ends pass for the caller to split at; a terminal also takes
			 * the moves of a line being edited: carriage return, backspace, bell. */
			bool passes = c >= 0x20 ? c != 0x7F
					: c == '\n' || c == '\t' || c == '\r' || (terminal_ && (c == '\b' || c == '\a'));
			out += passes ? std::string(1, static_cast<char>(c)) : caret(c);
			i++;
		}
	}
	return out;
}

std::string
JobText::rest()
{
	std::string out;
	for (unsigned char c : held_) {
		char hex[8];
		snprintf(hex, sizeof(hex), "\\x%02x", c);
		out += c == esc ? caret(c) : c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(hex);
	}
	held_.clear();
	return out;
}

size_t
columns_of(std::string const &text)
{
	size_t n = 0;
	for (unsigned char c : text)
		n += (c & 0xC0) != 0x80;
	return n;
}

std::vector<std::string>
fold(std::string const &text, size_t width, size_t first)
{
	width = std::max<size_t>(width, 1);
	std::vector<std::string> lines{""};
	size_t room = width > first ? width - first : 1;
	size_t used = 0;
	auto next_line = [&] {
		lines.emplace_back();
		room = width;
		used = 0;
	};
	for (size_t start = 0; start < text.size();) {
		size_t end = text.find(' ', start);
		if (end == std::string::npos)
			end = text.size();
		std::string word = text.substr(start, end - start);
		start = end + 1;
		size_t size = columns_of(word);
		if (used > 0 && used + 1 + size > room)
			next_line();
		else if (used > 0) {
			lines.back() += ' ';
			used++;
		}
		/* A word wider than a whole line is cut where the line ends. */
		while (size > room - used) {
			size_t cut = 0;
			for (size_t taken = 0; cut < word.size() && taken < room - used; taken++)
				do
					cut++;
				while (cut < word.size() && (static_cast<unsigned char>(word[cut]) & 0xC0) == 0x80);
			if (cut == 0)
				break;
			lines.back() += word.substr(0, cut);
			word.erase(0, cut);
			size = columns_of(word);
			next_line();
		}
		lines.back() += word;
		used += size;
	}
	return lines;
}

} // namespace observe
