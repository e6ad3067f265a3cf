#include "json.h"

#include <sys/wait.h>

#include <cstdio>

namespace observe {

/* Length of the valid UTF-8 sequence at `at`, or 0 where the bytes are not one. */
static size_t
utf8_length(std::string const &bytes, size_t at)
{
	auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
	unsigned char lead = byte(at);
	size_t length;
	unsigned int low_limit;
	if (lead >= 0xC2 && lead <= 0xDF) {
		length = 2;
		low_limit = 0x80;
	} else if (lead >= 0xE0 && lead <= 0xEF) {
		length = 3;
		low_limit = 0x800;
	} else if (lead >= 0xF0 && lead <= 0xF4) {
		length = 4;
		low_limit = 0x10000;
	} else {
		return 0;
	}
	if (at + length > bytes.size())
		return 0;
	unsigned int code = lead & (0x7F >> length);
	for (size_t i = 1; i < length; i++) {
		if ((byte(at + i) & 0xC0) != 0x80)
			return 0;
		code = (code << 6) | (byte(at + i) & 0x3F);
	}
	bool surrogate = code >= 0xD800 && code <= 0xDFFF;
	if (code < low_limit || code > 0x10FFFF || surrogate)
		return 0;
	return length;
}

std::string
json_string(std::string const &bytes)
{
	std::string out = "\"";
	for (size_t i = 0; i < bytes.size();) {
		unsigned char c = bytes[i];
		if (c >= 0x80) {
			if (size_t length = utf8_length(bytes, i)) {
				out.append(bytes, i, length);
				i += length;
				continue;
			}
		}
		switch (c) {
		case '"': out += "\\\""; break;
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\r': out += "\\r"; break;
		case '\t': out += "\\t"; break;
		default:
			if (c < 0x20 || c >= 0x7F) {
				char escape[8];
				snprintf(escape, sizeof(escape), "\\u%04x", c);
				out += escape;
			} else {
				out += static_cast<char>(c);
			}
		}
		i++;
	}
	return out + "\"";
}

/* One object, built field by field. */
class Object {
public:
	Object(Micros t_us, char const *kind)
	{
		text_ = "{\"t_ms\":" + std::to_string(t_us / 1000) + ",\"t_us\":" + std::to_string(t_us);
		add("event", kind);
	}
	Object &add(char const *name, long long value) { return raw(name, std::to_string(value)); }
	Object &add(char const *name, std::string const &value) { return raw(name, json_string(value)); }
	Object &add(char const *name, char const *value) { return raw(name, json_string(value)); }
	Object &add_null(char const *name) { return raw(name, "null"); }
	Object &raw(char const *name, std::string const &json)
	{
		text_ += ",\"";
		text_ += name;
		text_ += "\":";
		text_ += json;
		return *this;
	}
	std::string done() const { return text_ + "}"; }

private:
	std::string text_;
};

static std::string
pid_list(std::vector<pid_t> const &pids)
{
	std::string out = "[";
	for (size_t i = 0; i < pids.size(); i++)
		out += (i > 0 ? "," : "") + std::to_string(pids[i]);
	return out + "]";
}

std::string
json_event(Event const &event)
{
	Micros t = event.t_us;
	return std::visit(Overload{
		[&](Started const &e) {
			Object o(t, "start");
			o.add("version", recording_version);
			/* What a replay needs to word the report as the watch did. */
			char limit[32];
			snprintf(limit, sizeof(limit), "%g", e.limit_seconds);
			o.raw("limit_s", limit);
			if (e.observer > 0)
				o.add("observer", e.observer).add("shell", e.shell);
			o.add("source", e.source == SourceKind::kernel ? "kernel" : "proc");
			if (e.why.empty())
				o.add_null("why");
			else
				o.add("why", e.why);
			return o.add("program", e.program).add("pid", e.pid).done();
		},
		[&](Spawn const &e) {
			return Object(t, "spawn").add("pid", e.pid).add("ppid", e.ppid).add("name", e.name)
				.add("place", place_name(e.place)).done();
		},
		[&](Exec const &e) { return Object(t, "exec").add("pid", e.pid).add("file", e.file).done(); },
		[&](StateChange const &e) {
			return Object(t, "state").add("pid", e.pid).add("state", state_name(e.state)).done();
		},
		[&](Adopted const &e) { return Object(t, "adopted").add("pid", e.pid).add("ppid", e.ppid).done(); },
		[&](Ended const &e) {
			if (e.wait_status && WIFSIGNALED(*e.wait_status)) {
				Object o(t, "signaled");
				o.add("pid", e.pid).add("signal", signal_name(WTERMSIG(*e.wait_status)));
				if (WCOREDUMP(*e.wait_status))
					o.raw("core", "true");
				if (e.by_observe)
					o.raw("by_observe", "true");
				if (e.lost)
					o.add("lost", *e.lost);
				return o.done();
			}
			Object o(t, "exit");
			o.add("pid", e.pid);
			if (e.wait_status)
				o.add("status", WEXITSTATUS(*e.wait_status));
			else
				o.add_null("status");
			if (e.lost)
				o.add("lost", *e.lost);
			return o.done();
		},
		[&](Signal const &e) {
			Object o(t, "signal");
			o.add("pid", e.target).add("signal", signal_name(e.signal));
			if (e.from)
				o.add("from", *e.from);
			else
				o.add_null("from");
			o.add("result", result_name(e.result));
			if (char const *cause = cause_name(e.cause))
				o.add("cause", cause);
			else
				o.add_null("cause");
			if (e.because_of)
				o.add("because_of", *e.because_of);
			if (e.thread)
				o.add("thread", *e.thread);
			if (e.target_thread)
				o.add("target_thread", *e.target_thread);
			if (e.group)
				o.add("group", *e.group);
			if (e.cause != SignalCause::none)
				if (CodeMeaning const *meaning = code_meaning(e.signal, e.code))
					o.add("reason", meaning->words);
			o.add("code", e.code).add("code_name", code_name(e.signal, e.code));
			o.add("target_state", state_name(e.target_state));
			if (e.target_ending)
				o.raw("target_ending", "true");
			if (e.target_spared)
				o.raw("target_spared", "true");
			return o.done();
		},
		[&](GroupSignal const &e) {
			Object o(t, "group_signal");
			o.add("from", e.from).add("group", e.group).add("signal", signal_name(e.signal));
			if (e.thread)
				o.add("thread", *e.thread);
			return o.done();
		},
		[&](Discarded const &e) {
			return Object(t, "discarded").add("pid", e.pid).add("signal", signal_name(e.signal))
				.add("reason", reason_name(e.reason)).done();
		},
		[&](Lost const &e) {
			return Object(t, "lost").add("records", e.records).add("from_us", e.from).add("until_us", e.until).done();
		},
		[&](Held const &e) {
			Object o(t, "buffer");
			o.add("pid", e.pid).add("text", e.text);
			if (e.inherited)
				o.raw("inherited", "true");
			return o.done();
		},
		[&](Unreadable const &e) {
			return Object(t, "buffer").add("pid", e.pid).add_null("text").add("why", e.why).done();
		},
		[&](Output const &e) { return Object(t, "output").add("text", e.text).done(); },
		[&](Reply const &e) { return Object(t, "reply").add("text", e.text).done(); },
		[&](Eof const &) { return Object(t, "eof").done(); },
		[&](Reset const &) { return Object(t, "reset").done(); },
		[&](Gap const &e) { return Object(t, "gap").add("since_us", e.since).done(); },
		[&](NoListener const &) { return Object(t, "no_listener").done(); },
		[&](SocketChange const &e) {
			Object o(t, "socket");
			o.add("local", e.local);
			if (e.remote)
				o.add("remote", *e.remote);
			else
				o.add_null("remote");
			o.add("state", socket_state_name(e.state));
			if (e.pid)
				o.add("pid", *e.pid);
			else
				o.add_null("pid");
			if (e.before)
				o.raw("before", "true");
			if (e.reset)
				o.raw("reset", "true");
			return o.done();
		},
		[&](End const &e) {
			return Object(t, "end").add("reason", reason_name(e.reason)).raw("ended", pid_list(e.ended)).done();
		},
	}, event.what);
}

void
JsonReporter::report(Event const &event)
{
	fprintf(out_, "%s\n", json_event(event).c_str());
}

} // namespace observe
