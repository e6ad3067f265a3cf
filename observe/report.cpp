#include "report.h"

#include "json.h"
#include "timeline.h"

#include <unistd.h>

namespace observe {

void
JsonReporter::event(Event const &e)
{
	fprintf(out_, "%s\n", json_event(e).c_str());
	fflush(out_);
}

std::string
printable(std::string const &bytes)
{
	std::string out;
	for (unsigned char c : bytes) {
		if ((c >= 0x20 && c < 0x7F) || c == '\t') {
			out += static_cast<char>(c);
		} else {
			char escape[8];
			snprintf(escape, sizeof(escape), c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\x%02x", c);
			out += escape;
		}
	}
	return out;
}

void
TextReporter::started(std::string const &program, pid_t leader, double limit_seconds)
{
	fprintf(out_, "observe: watching %s (pid %d) as the foreground job of a new terminal, for up to %g s\n",
		program.c_str(), static_cast<int>(leader), limit_seconds);
	fflush(out_);
}

std::string
TextReporter::who(pid_t pid) const
{
	auto found = places_.find(pid);
	if (pid == getpid())
		return std::to_string(pid) + " (observe)";
	if (pid == shell_)
		return std::to_string(pid) + " (the shell)";
	if (found == places_.end())
		return std::to_string(pid);
	return std::to_string(pid) + " (" + found->second + ")";
}

void
TextReporter::line(long long t_ms, std::string const &text)
{
	fprintf(out_, "%4lld.%03lld  %s\n", t_ms / 1000, t_ms % 1000, text.c_str());
	fflush(out_);
}

/* Terminal text a line at a time; a line still open is shown when the next event comes. */
void
TextReporter::show_output(long long t_ms, std::string const &bytes)
{
	std::string text = partial_ + bytes;
	partial_.clear();
	size_t start = 0;
	for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
		std::string one = text.substr(start, nl - start);
		if (one.ends_with('\r'))
			one.pop_back();
		line(t_ms, "| " + printable(one));
	}
	if (start < text.size())
		line(t_ms, "| " + printable(text.substr(start)) + "   (no newline yet)");
}

void
TextReporter::event(Event const &e)
{
	events_.push_back(e);
	switch (e.kind) {
	case Kind::spawn:
		if (places_.empty())
			shell_ = e.ppid;
		places_[e.pid] = e.place;
		line(e.t_ms, who(e.pid) + " appears, parent " + who(e.ppid));
		break;
	case Kind::state:
		line(e.t_ms, who(e.pid) + " " + state_name(e.state));
		break;
	case Kind::adopted:
		line(e.t_ms, who(e.pid) + " orphaned, adopted by " + who(e.ppid));
		break;
	case Kind::exit:
		if (e.status < 0)
			line(e.t_ms, who(e.pid) + " ended and was collected; its status is unknown");
		else
			line(e.t_ms, who(e.pid) + " collected: exit status " + std::to_string(e.status));
		break;
	case Kind::signaled:
		line(e.t_ms, who(e.pid) + " collected: ended by " + signal_name(e.signal) +
				     (e.by_watcher ? " from observe" : ""));
		break;
	case Kind::output:
		show_output(e.t_ms, e.text);
		break;
	case Kind::reply:
		line(e.t_ms, "client received \"" + printable(e.text) + "\"");
		break;
	case Kind::eof:
		line(e.t_ms, "client: end of stream");
		break;
	case Kind::reset:
		line(e.t_ms, "client: connection reset");
		break;
	case Kind::end: {
		std::string ended;
		for (pid_t pid : e.ended)
			ended += (ended.empty() ? "" : ", ") + who(pid);
		line(e.t_ms, "watch over (" + e.text + ")" +
				     (ended.empty() ? "" : "; observe ended what was left: " + ended));
		break;
	}
	}
}

void
TextReporter::finished()
{
	fputs("\n", out_);
	for (auto const &row : draw_timeline(events_, getpid(), colour_))
		fprintf(out_, "%s\n", row.c_str());
	fflush(out_);
}

} // namespace observe
