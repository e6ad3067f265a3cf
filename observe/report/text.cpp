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
