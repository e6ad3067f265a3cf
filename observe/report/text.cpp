#include "text.h"

#include "words.h"

namespace observe {

void
TextReporter::line(Micros t, std::string const &text)
{
	Micros ms = t / 1000;
	fprintf(out_, "%4lld.%03lld  %s\n", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000),
		text.c_str());
	fflush(out_);
}

/* Terminal text a line at a time; a line still open is shown as far as it goes. */
void
TextReporter::show_output(Micros t, std::string const &bytes)
{
	std::string const &text = bytes;
	size_t start = 0;
	for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
		std::string one = text.substr(start, nl - start);
		if (one.ends_with('\r'))
			one.pop_back();
		line(t, "| " + printable(one));
	}
	if (start < text.size())
		line(t, "| " + printable(text.substr(start)) + "   (no newline yet)");
}

/* What a socket's new state means, where a person needs telling. */
static std::string
socket_words(SocketChange const &e, ProcessTable const &table)
{
	std::string ends = "socket " + e.local + (e.remote ? " <-> " + *e.remote : "");
	std::string holder = e.pid ? ", held by " + who(*e.pid, table) : "";
	if (e.state == "time-wait" && e.before)
		return ends + " in time-wait, left by an earlier run: until it ends (within a minute) "
			      "a server started now cannot bind " + e.local + " (Bind Failed)";
	if (e.state == "time-wait")
		return ends + " in time-wait: this end closed first, so the kernel keeps the connection "
			      "for about a minute, and until then a new server cannot bind " + e.local;
	if (e.state == "close-wait")
		return ends + " close-wait: the other end has closed" + holder;
	if (e.state == "fin-wait")
		return ends + " fin-wait: this end has closed, the other end not yet" + holder;
	return ends + " " + e.state + holder;
}

void
TextReporter::report(Event const &event, ProcessTable const &table)
{
	Micros t = event.t_us;
	auto name = [&](pid_t pid) { return who(pid, table); };
	std::visit(Overload{
		[&](Started const &e) {
			fprintf(out_, "observe: watching %s (pid %d) as the foreground job of a new terminal, for up to %g s\n",
				e.program.c_str(), static_cast<int>(e.pid), e.limit_seconds);
			fflush(out_);
		},
		[&](Spawn const &e) { line(t, name(e.pid) + " appears, parent " + name(e.ppid)); },
		[&](StateChange const &e) { line(t, name(e.pid) + " " + state_name(e.state)); },
		[&](Adopted const &e) { line(t, name(e.pid) + " orphaned, adopted by " + name(e.ppid)); },
		[&](Ended const &e) {
			std::string words = name(e.pid) + " collected: " + end_words(e.wait_status, e.by_observe);
			Process const *p = table.find(e.pid);
			if (e.lost && !e.lost->empty())
				words += "; its stdout buffer held " + held_words(*e.lost) + ", never written: lost";
			else if (e.lost && p != nullptr && p->ever_held)
				words += "; its exit wrote out its stdout buffer: nothing lost";
			line(t, words);
		},
		[&](Held const &e) {
			if (e.inherited)
				line(t, name(e.pid) + " begins with a copy of its parent's stdout buffer: " + held_words(e.text));
			else if (e.text.empty())
				line(t, name(e.pid) + "'s stdout buffer is empty: written out");
			else
				line(t, name(e.pid) + " holds " + held_words(e.text) + " in its stdout buffer, not yet written");
		},
		[&](Unreadable const &e) { line(t, name(e.pid) + ": its stdout buffer is not shown: " + e.why); },
		[&](Output const &e) { show_output(t, e.text); },
		[&](Reply const &e) { line(t, "client received \"" + printable(e.text) + "\""); },
		[&](Eof const &) { line(t, "client: end of stream"); },
		[&](Reset const &) { line(t, "client: connection reset"); },
		[&](Gap const &e) {
			char since[32];
			snprintf(since, sizeof(since), "%.3f", e.since / 1e6);
			line(t, std::string("observe did not run since ") + since +
					" s (it was stopped, or starved): what it sees now may have happened any time since");
		},
		[&](NoListener const &) { line(t, "client: nothing listened on 127.0.0.1:3456, so it never connected"); },
		[&](SocketChange const &e) { line(t, socket_words(e, table)); },
		[&](End const &e) {
			std::string ended;
			for (pid_t pid : e.ended)
				ended += (ended.empty() ? "" : ", ") + name(pid);
			line(t, "watch over (" + e.reason + ")" +
					(ended.empty() ? "" : "; observe ended what was left: " + ended));
		},
	}, event.what);
}

} // namespace observe
