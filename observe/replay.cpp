#include "replay.h"

#include "options.h"
#include "report/json.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace observe {

namespace {

/* Bounds on what a recording may ask of the reader: far beyond any watch
 * observe makes, and small enough that a hostile one cannot exhaust it. */
constexpr size_t max_line = 4 << 20;
constexpr size_t max_depth = 8;
constexpr size_t max_processes = 4096;
constexpr Micros max_time = 366LL * 24 * 3600 * 1'000'000;	/* a year */

/* Why a recording is refused; caught once, with the line it was on. */
struct Refusal : std::runtime_error {
	using std::runtime_error::runtime_error;
};

/* A JSON value, as much of JSON as a recording may hold. */
struct Value {
	enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
	bool boolean = false;
	double number = 0;
	bool whole = false;		/* a number written without fraction or exponent */
	long long integer = 0;
	std::string text;		/* observe's strings carry bytes: \u00XX is the byte XX */
	std::vector<Value> items;	/* an array's; an object's values */
	std::vector<std::string> names;	/* an object's names, one for each of its items */
};

/* Strict JSON: a line holds one value and nothing else. */
class Parser {
public:
	explicit Parser(std::string_view text) : text_(text) {}

	Value whole_line()
	{
		Value v = value(0);
		space();
		if (at_ != text_.size())
			throw Refusal("text after the JSON object");
		return v;
	}

private:
	std::string_view text_;
	size_t at_ = 0;

	char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
	void space()
	{
		while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r'))
			at_++;
	}
	void expect(char c)
	{
		space();
		if (peek() != c || at_ >= text_.size())
			throw Refusal(std::string("not JSON: expected '") + c + "'");
		at_++;
	}
	bool word(std::string_view w)
	{
		if (text_.substr(at_, w.size()) != w)
			return false;
		at_ += w.size();
		return true;
	}

	Value value(size_t depth)
	{
		if (depth > max_depth)
			throw Refusal("JSON nested too deep");
		space();
		Value v;
		char c = peek();
		if (c == '{') {
			v.kind = Value::Kind::object;
			at_++;
			space();
			if (peek() == '}') {
				at_++;
				return v;
			}
			for (;;) {
				space();
				if (peek() != '"')
					throw Refusal("not JSON: expected a member's name");
				std::string name = string();
				expect(':');
				v.names.push_back(std::move(name));
				v.items.push_back(value(depth + 1));
				space();
				if (peek() == ',') {
					at_++;
					continue;
				}
				expect('}');
				return v;
			}
		}
		if (c == '[') {
			v.kind = Value::Kind::array;
			at_++;
			space();
			if (peek() == ']') {
				at_++;
				return v;
			}
			for (;;) {
				v.items.push_back(value(depth + 1));
				space();
				if (peek() == ',') {
					at_++;
					continue;
				}
				expect(']');
				return v;
			}
		}
		if (c == '"') {
			v.kind = Value::Kind::string;
			v.text = string();
			return v;
		}
		if (word("null"))
			return v;
		if (word("true") || word("false")) {
			v.kind = Value::Kind::boolean;
			v.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
			return v;
		}
		return number();
	}

	Value number()
	{
		size_t start = at_;
		auto digits = [&] {
			size_t from = at_;
			while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
				at_++;
			return at_ - from;
		};
		if (peek() == '-')
			at_++;
		size_t first = at_;
		if (digits() == 0)
			throw Refusal("not JSON: expected a value");
		if (text_[first] == '0' && at_ - first > 1)
			throw Refusal("not JSON: a number with a leading zero");
		bool whole = true;
		if (peek() == '.') {
			at_++;
			whole = false;
			if (digits() == 0)
				throw Refusal("not JSON: a number without digits after its point");
		}
		if (peek() == 'e' || peek() == 'E') {
			at_++;
			whole = false;
			if (peek() == '+' || peek() == '-')
				at_++;
			if (digits() == 0)
				throw Refusal("not JSON: a number without digits in its exponent");
		}
		std::string token(text_.substr(start, at_ - start));
		Value v;
		v.kind = Value::Kind::number;
		v.number = strtod(token.c_str(), nullptr);
		if (whole) {
			errno = 0;
			v.integer = strtoll(token.c_str(), nullptr, 10);
			v.whole = errno == 0;
		}
		return v;
	}

	unsigned hex4()
	{
		if (at_ + 4 > text_.size())
			throw Refusal("not JSON: a \\u escape cut short");
		unsigned code = 0;
		for (int i = 0; i < 4; i++) {
			char c = text_[at_++];
			int digit = c >= '0' && c <= '9' ? c - '0'
				  : c >= 'a' && c <= 'f' ? c - 'a' + 10
				  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
			if (digit < 0)
				throw Refusal("not JSON: a \\u escape that is not hexadecimal");
			code = code * 16 + static_cast<unsigned>(digit);
		}
		return code;
	}

	static void utf8(std::string &out, unsigned code)
	{
		if (code < 0x800) {
			out += static_cast<char>(0xC0 | (code >> 6));
		} else if (code < 0x10000) {
			out += static_cast<char>(0xE0 | (code >> 12));
			out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
		} else {
			out += static_cast<char>(0xF0 | (code >> 18));
			out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
			out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
		}
		out += static_cast<char>(0x80 | (code & 0x3F));
	}

	/* Bytes below \u0100 are the bytes themselves, as json_string writes them. */
	std::string string()
	{
		at_++;
		std::string out;
		for (;;) {
			if (at_ >= text_.size())
				throw Refusal("not JSON: a string cut short");
			unsigned char c = static_cast<unsigned char>(text_[at_++]);
			if (c == '"')
				return out;
			if (c < 0x20)
				throw Refusal("not JSON: a control character inside a string");
			if (c != '\\') {
				out += static_cast<char>(c);
				continue;
			}
			if (at_ >= text_.size())
				throw Refusal("not JSON: a string cut short");
			char e = text_[at_++];
			switch (e) {
			case '"': out += '"'; break;
			case '\\': out += '\\'; break;
			case '/': out += '/'; break;
			case 'b': out += '\b'; break;
			case 'f': out += '\f'; break;
			case 'n': out += '\n'; break;
			case 'r': out += '\r'; break;
			case 't': out += '\t'; break;
			case 'u': {
				unsigned code = hex4();
				if (code < 0x100) {
					out += static_cast<char>(code);
				} else if (code >= 0xD800 && code <= 0xDBFF) {
					if (!word("\\u"))
						throw Refusal("not JSON: half a surrogate pair");
					unsigned low = hex4();
					if (low < 0xDC00 || low > 0xDFFF)
						throw Refusal("not JSON: half a surrogate pair");
					utf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
				} else if (code >= 0xDC00 && code <= 0xDFFF) {
					throw Refusal("not JSON: half a surrogate pair");
				} else {
					utf8(out, code);
				}
				break;
			}
			default:
				throw Refusal("not JSON: an unknown escape in a string");
			}
		}
	}
};

/* One event's object, its fields asked for by name and kind. */
class Fields {
public:
	explicit Fields(Value const &object) : object_(object) {}

	Value const *find(char const *name) const
	{
		for (size_t i = 0; i < object_.names.size(); i++)
			if (object_.names[i] == name)
				return &object_.items[i];
		return nullptr;
	}
	Value const &need(char const *name) const
	{
		if (Value const *v = find(name))
			return *v;
		throw Refusal(std::string("no \"") + name + "\"");
	}
	bool null(char const *name) const { return need(name).kind == Value::Kind::null; }
	long long integer(char const *name, long long low, long long high) const
	{
		Value const &v = need(name);
		if (v.kind != Value::Kind::number || !v.whole || v.integer < low || v.integer > high)
			throw Refusal(std::string("\"") + name + "\" is not a whole number from " +
				      std::to_string(low) + " to " + std::to_string(high));
		return v.integer;
	}
	pid_t pid(char const *name) const { return static_cast<pid_t>(integer(name, 1, INT_MAX)); }
	std::optional<pid_t> maybe_pid(char const *name) const
	{
		Value const *v = find(name);
		if (v == nullptr || v->kind == Value::Kind::null)
			return std::nullopt;
		return pid(name);
	}
	std::string const &text(char const *name) const
	{
		Value const &v = need(name);
		if (v.kind != Value::Kind::string)
			throw Refusal(std::string("\"") + name + "\" is not a string");
		return v.text;
	}
	/* A name, a path, a word: shown as it is by the text report, so never
	 * with a control character that could drive the reader's terminal. */
	std::string const &name(char const *field) const
	{
		std::string const &given = text(field);
		for (unsigned char c : given)
			if (c < 0x20 || c == 0x7F)
				throw Refusal(std::string("\"") + field + "\" holds a control character");
		return given;
	}
	std::optional<std::string> maybe_name(char const *field) const
	{
		Value const *v = find(field);
		if (v == nullptr || v->kind == Value::Kind::null)
			return std::nullopt;
		return name(field);
	}
	std::optional<std::string> maybe_text(char const *name) const
	{
		Value const *v = find(name);
		if (v == nullptr || v->kind == Value::Kind::null)
			return std::nullopt;
		return text(name);
	}
	bool flag(char const *name) const
	{
		Value const *v = find(name);
		if (v == nullptr)
			return false;
		if (v->kind != Value::Kind::boolean)
			throw Refusal(std::string("\"") + name + "\" is not true or false");
		return v->boolean;
	}
	/* One of the words `name_of` gives for the values of an enumeration of `count`. */
	template<typename Enum>
	Enum word(char const *name, char const *(*name_of)(Enum), int count) const
	{
		std::string const &given = text(name);
		for (int i = 0; i < count; i++)
			if (char const *known = name_of(static_cast<Enum>(i)); known != nullptr && given == known)
				return static_cast<Enum>(i);
		throw Refusal(std::string("\"") + name + "\" is not one of observe's words: \"" + given + "\"");
	}
	int signal(char const *name) const
	{
		std::string const &given = text(name);
		if (given.starts_with("SIG"))
			if (auto sig = parse_signal(given))
				return *sig;
		/* A wait status holds a signal's number in 7 bits: none beyond the kernel's may pass. */
		if (given.starts_with("signal ")) {
			std::string digits = given.substr(7);
			if (!digits.empty() && digits.size() < 4 && digits.find_first_not_of("0123456789") == std::string::npos)
				if (int sig = std::stoi(digits); sig > 0 && sig < NSIG)
					return sig;
		}
		throw Refusal(std::string("\"") + name + "\" is not a signal: \"" + given + "\"");
	}

private:
	Value const &object_;
};

constexpr int state_count = 3;
constexpr int result_count = 5;
constexpr int reason_count = 2;
constexpr int end_reason_count = 3;
constexpr int cause_count = static_cast<int>(SignalCause::parent_ended) + 1;

/* The kinds of event, each by its JSON name. */
using Decoder = std::function<What(Fields const &)>;
struct EventKind {
	char const *name;
	Decoder decode;
};

What
decode_spawn(Fields const &f)
{
	std::string const &words = f.name("place");
	auto place = place_named(words);
	if (!place)
		throw Refusal("\"place\" is not a place in a job: \"" + words + "\"");
	return Spawn{f.pid("pid"), static_cast<pid_t>(f.integer("ppid", 0, INT_MAX)), f.name("name"), *place};
}

What
decode_ended(Fields const &f, bool signaled)
{
	Ended e{f.pid("pid"), std::nullopt, false};
	if (signaled) {
		e.wait_status = f.signal("signal") | (f.flag("core") ? WCOREFLAG : 0);	/* a signal's end: its number, and the core bit */
		e.by_observe = f.flag("by_observe");
	} else if (!f.null("status")) {
		e.wait_status = static_cast<int>(f.integer("status", 0, 255)) << 8;
	}
	e.lost = f.maybe_text("lost");
	return e;
}

/* A kill's pid argument for many: 0 the sender's group, -1 all it may signal, -PGID a group. */
pid_t
kill_target(Fields const &f)
{
	return static_cast<pid_t>(f.integer("group", -INT_MAX, 0));
}

What
decode_signal(Fields const &f)
{
	Signal s{};
	s.target = f.pid("pid");
	s.signal = f.signal("signal");
	s.from = f.maybe_pid("from");
	s.result = f.word<SignalResult>("result", result_name, result_count);
	/* None where a process sent it; the kernel's reason, named or not, where it sent its own. */
	if (!f.null("cause"))
		s.cause = f.word<SignalCause>("cause", cause_name, cause_count);
	else
		s.cause = s.from ? SignalCause::none : SignalCause::kernel;
	s.code = static_cast<int>(f.integer("code", INT_MIN, INT_MAX));
	s.target_state = f.word<State>("target_state", state_name, state_count);
	s.target_ending = f.flag("target_ending");
	s.target_spared = f.flag("target_spared");
	s.because_of = f.maybe_pid("because_of");
	s.thread = f.maybe_pid("thread");
	s.target_thread = f.maybe_pid("target_thread");
	if (f.find("group") != nullptr)
		s.group = kill_target(f);
	return s;
}

What
decode_group_signal(Fields const &f)
{
	return GroupSignal{f.pid("from"), f.signal("signal"), kill_target(f), f.maybe_pid("thread")};
}

What
decode_buffer(Fields const &f)
{
	if (f.null("text"))
		return Unreadable{f.pid("pid"), f.name("why")};
	return Held{f.pid("pid"), f.text("text"), f.flag("inherited")};
}

What
decode_socket(Fields const &f)
{
	auto state = socket_state_named(f.name("state"));
	if (!state)
		throw Refusal("\"state\" is no socket state observe knows");
	return SocketChange{f.name("local"), f.maybe_name("remote"), *state, f.maybe_pid("pid"), f.flag("before"),
			    f.flag("reset")};
}

What
decode_end(Fields const &f)
{
	End e{f.word<EndReason>("reason", reason_name, end_reason_count), {}};
	Value const &ended = f.need("ended");
	if (ended.kind != Value::Kind::array)
		throw Refusal("\"ended\" is not a list");
	for (auto const &pid : ended.items) {
		if (pid.kind != Value::Kind::number || !pid.whole || pid.integer < 1 || pid.integer > INT_MAX)
			throw Refusal("\"ended\" holds something other than a pid");
		e.ended.push_back(static_cast<pid_t>(pid.integer));
	}
	return e;
}

EventKind const kinds[] = {
	{"spawn", decode_spawn},
	{"exec", [](Fields const &f) -> What { return Exec{f.pid("pid"), f.name("file")}; }},
	{"state", [](Fields const &f) -> What {
		 return StateChange{f.pid("pid"), f.word<State>("state", state_name, state_count)};
	 }},
	{"adopted", [](Fields const &f) -> What { return Adopted{f.pid("pid"), f.pid("ppid")}; }},
	{"exit", [](Fields const &f) { return decode_ended(f, false); }},
	{"signaled", [](Fields const &f) { return decode_ended(f, true); }},
	{"signal", decode_signal},
	{"group_signal", decode_group_signal},
	{"discarded", [](Fields const &f) -> What {
		 return Discarded{f.pid("pid"), f.signal("signal"),
				  f.word<DiscardReason>("reason", reason_name, reason_count)};
	 }},
	{"lost", [](Fields const &f) -> What {
		 if (f.find("from_us") == nullptr)
			 throw Refusal("a \"lost\" event without the span whose events may be missing, written by an "
				       "older observe: record the watch again");
		 return Lost{f.integer("records", 0, LLONG_MAX), f.integer("from_us", 0, LLONG_MAX),
			     f.integer("until_us", 0, LLONG_MAX)};
	 }},
	{"buffer", decode_buffer},
	{"output", [](Fields const &f) -> What { return Output{f.text("text")}; }},
	{"reply", [](Fields const &f) -> What { return Reply{f.text("text")}; }},
	{"eof", [](Fields const &) -> What { return Eof{}; }},
	{"reset", [](Fields const &) -> What { return Reset{}; }},
	{"gap", [](Fields const &f) -> What { return Gap{f.integer("since_us", 0, LLONG_MAX)}; }},
	{"no_listener", [](Fields const &) -> What { return NoListener{}; }},
	{"socket", decode_socket},
	{"end", decode_end},
};

/* The start event, which says what the recording is. */
Started
decode_start(Fields const &f)
{
	Value const *version = f.find("version");
	if (version == nullptr)
		throw Refusal("a recording without a format version, made by an older observe: its events lack "
			      "what a replay needs; record the watch again");
	if (version->kind != Value::Kind::number || !version->whole || version->integer != recording_version)
		throw Refusal("a recording of format version " +
			      (version->kind == Value::Kind::number ? std::to_string(version->integer) : "?") +
			      ", which this observe cannot read: it reads version " +
			      std::to_string(recording_version));
	Value const &limit = f.need("limit_s");
	/* 0 for a watch without a limit. */
	if (limit.kind != Value::Kind::number || !(limit.number >= 0 && limit.number <= 1e6))
		throw Refusal("\"limit_s\" is not a time limit in seconds");
	pid_t observer = f.pid("observer");
	pid_t shell = f.pid("shell");
	std::string const &source = f.name("source");
	if (source != "kernel" && source != "proc")
		throw Refusal("\"source\" is neither kernel nor proc");
	return Started{f.name("program"), f.pid("pid"), limit.number,
		       source == "kernel" ? SourceKind::kernel : SourceKind::proc, f.maybe_name("why").value_or(""),
		       observer, shell};
}

/* One line: its time, checked against the time before it, and its event. */
Event
decode_line(std::string_view line, Recording &recording, Micros before)
{
	Value object = Parser(line).whole_line();
	if (object.kind != Value::Kind::object)
		throw Refusal("not a JSON object");
	Fields f(object);
	Micros t = f.integer("t_us", 0, max_time);
	if (f.integer("t_ms", 0, LLONG_MAX) != t / 1000)
		throw Refusal("\"t_ms\" and \"t_us\" disagree");
	if (t < before)
		throw Refusal("an event earlier than the one before it");
	std::string const &kind = f.text("event");
	if (recording.events.empty()) {
		if (kind != "start")
			throw Refusal("the first event is not a start event: not a recording of a watch");
		return Event{t, decode_start(f)};
	}
	if (kind == "start")
		throw Refusal("a second start event");
	for (auto const &k : kinds)
		if (kind == k.name)
			return Event{t, k.decode(f)};
	throw Refusal("an event of an unknown kind \"" + kind + "\"");
}

} // namespace

std::optional<Recording>
read_recording(std::string const &text, std::string &error)
{
	Recording recording;
	size_t processes = 0;
	size_t number = 0;
	size_t start = 0;
	try {
		while (start < text.size()) {
			number++;
			size_t newline = text.find('\n', start);
			if (newline == std::string::npos)
				throw Refusal("cut short: the last line has no end");
			if (newline - start > max_line)
				throw Refusal("a line longer than a recording holds");
			if (!recording.events.empty() && std::holds_alternative<End>(recording.events.back().what))
				throw Refusal("an event after the end event");
			std::string_view line(text.data() + start, newline - start);
			start = newline + 1;
			Micros before = recording.events.empty() ? 0 : recording.events.back().t_us;
			recording.events.push_back(decode_line(line, recording, before));
			if (std::holds_alternative<Spawn>(recording.events.back().what) && ++processes > max_processes)
				throw Refusal("more processes than a watch follows");
		}
		if (recording.events.empty())
			throw Refusal("empty: not a recording of a watch");
		if (!std::holds_alternative<End>(recording.events.back().what)) {
			number++;
			throw Refusal("cut short: no end event");
		}
	} catch (Refusal const &refusal) {
		error = (number > 0 ? "line " + std::to_string(number) + ": " : "") + refusal.what();
		return std::nullopt;
	}
	return recording;
}

void
replay(Recording const &recording, Reporter &reporter)
{
	for (auto const &event : recording.events)
		reporter.report(event);
	reporter.finish();
}

} // namespace observe
