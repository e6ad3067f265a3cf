#include "json.h"

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

static std::string
field_name(char const *name)
{
	std::string out = ",\"";
	out.append(name);
	out.append("\":");
	return out;
}

static std::string
field(char const *name, long long value)
{
	return field_name(name).append(std::to_string(value));
}

static std::string
field(char const *name, std::string const &value)
{
	return field_name(name).append(json_string(value));
}

std::string
json_event(Event const &event)
{
	std::string out = "{\"t_ms\":" + std::to_string(event.t_ms) + field("event", kind_name(event.kind));
	switch (event.kind) {
	case Kind::spawn:
		out += field("pid", event.pid) + field("ppid", event.ppid) + field("name", event.name) +
		       field("place", event.place);
		break;
	case Kind::state:
		out += field("pid", event.pid) + field("state", state_name(event.state));
		break;
	case Kind::adopted:
		out += field("pid", event.pid) + field("ppid", event.ppid);
		break;
	case Kind::exit:
		out += field("pid", event.pid);
		out += event.status < 0 ? ",\"status\":null" : field("status", event.status);
		break;
	case Kind::signaled:
		out += field("pid", event.pid) + field("signal", signal_name(event.signal));
		if (event.by_watcher)
			out += ",\"by_observe\":true";
		break;
	case Kind::output:
	case Kind::reply:
		out += field("text", event.text);
		break;
	case Kind::eof:
	case Kind::reset:
		break;
	case Kind::end: {
		out += field("reason", event.text) + ",\"ended\":[";
		for (size_t i = 0; i < event.ended.size(); i++) {
			if (i > 0)
				out += ',';
			out += std::to_string(event.ended[i]);
		}
		out += "]";
		break;
	}
	}
	return out + "}";
}

} // namespace observe
