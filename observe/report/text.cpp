#include "text.h"

#include "sources/keyboard.h"
#include "words.h"

#include "address.h"

#include <signal.h>

#include <algorithm>

namespace observe {

TextReporter::TextReporter(FILE *out, TextStyle style)
	: out_(out), style_(style), live_(style.screen != nullptr && style.screen->shows_report()),
	  job_text_(live_, style.escapes)
{
}

/* A job's open line that puts nothing on the screen (a mode switch, a carriage return) leaves nothing to give way. */
static bool
shows_something(std::string const &open_line)
{
	std::string seen = JobText(false, false).show(open_line);
	return seen.find_first_not_of("\r") != std::string::npos;
}

/* Text at `prefix`'s end, folded on a terminal with the rest under it; else one line. */
void
TextReporter::write_folded(std::string const &prefix, std::string const &text)
{
	if (!live_) {
		fprintf(out_, "%s%s\n", prefix.c_str(), text.c_str());
		return;
	}
	/* The job's open line gives way: a copy of ours is erased, its own is left as it is. */
	if (!open_line_.empty() && !shows_something(open_line_))
		open_line_.clear();
	if (!open_line_.empty())
		fputs(reshown_ && style_.escapes ? "\r\033[K" : "\n", out_);
	std::string indent(prefix.size(), ' ');
	auto lines = fold(text, style_.screen->columns() - std::min(style_.screen->columns() - 1, prefix.size()));
	for (size_t i = 0; i < lines.size(); i++)
		fprintf(out_, "%s%s\n", (i == 0 ? prefix : indent).c_str(), lines[i].c_str());
	/* Below them, the job's open line again, where the job may go on with it. */
	if (!open_line_.empty() && someone_runs_) {
		fputs(open_line_.c_str(), out_);
		reshown_ = true;
	} else {
		open_line_.clear();
	}
}

/* observe's own word, outside the timed lines. */
void
TextReporter::say(std::string const &text)
{
	write_folded("observe: ", text);
}

/* "   1.234  ", or to the microsecond: what every line begins with. */
std::string
TextReporter::stamp(Micros t) const
{
	auto seconds = static_cast<long long>(t / 1'000'000);
	auto micros = static_cast<long long>(t % 1'000'000);
	char text[48];
	if (exact_)
		snprintf(text, sizeof(text), "%4lld.%06lld  ", seconds, micros);
	else
		snprintf(text, sizeof(text), "%4lld.%03lld  ", seconds, micros / 1000);
	return text;
}

void
TextReporter::line(Micros t, std::string const &text)
{
	write_folded(stamp(t), text);
}

/* A process as a place in the family, where that is short: "child 1",
 * "the program"; else by its command and pid. */
static std::string
place_of(pid_t pid, Story const &story)
{
	Told const *p = story.find(pid);
	if (p == nullptr)
		return std::to_string(pid);
	std::string place = short_place(p->place);
	if (place.empty())
		return who(pid, story);
	return p->place.program() ? "the program" : place;
}

/* A process, and its thread where not the main one: "sh 12 (program, its thread 13)". */
static std::string
with_thread(std::string process, std::optional<pid_t> thread)
{
	if (!thread)
		return process;
	std::string words = "its thread " + std::to_string(*thread) + ")";
	if (process.ends_with(')'))
		return process.substr(0, process.size() - 1) + ", " + words;
	return process + " (" + words;
}

/* The sender: a process, and its thread where not the main one. */
static std::string
sender_words(pid_t from, std::optional<pid_t> thread, Story const &story)
{
	return with_thread(who(from, story), thread);
}

static std::string
signal_words(Signal const &e, Story const &story)
{
	std::string sig = signal_name(e.signal);
	std::string to = with_thread(who(e.target, story), e.target_thread);
	/* A member's share of a kill to its group: the group's line named the sender. */
	std::string line = e.group ? "  \u21b3 " + to + " " + sig
				   : (e.from ? sender_words(*e.from, e.thread, story) : std::string("kernel")) + " \u2192 " +
					     to + " " + sig;
	std::string target = place_of(e.target, story);
	std::string because = e.because_of ? place_of(*e.because_of, story) : "a process";
	switch (e.cause) {
	case SignalCause::none:
		break;
	case SignalCause::orphaned_group:
		if (e.signal == SIGHUP && e.target_state == State::stopped)
			line += ": " + because + "'s end left its group orphaned while " + target + " was stopped";
		else if (e.signal == SIGHUP)
			line += ": " + because + "'s end left its group orphaned with a member stopped";
		else
			line += ": " + because + "'s end left its group orphaned with a member stopped, and every member is continued";
		break;
	case SignalCause::terminal:
		line += std::string(": ") + terminal_words(e.signal);
		break;
	case SignalCause::child_changed_state:
		line += ": " + because + " " + child_did(e.code);
		break;
	case SignalCause::kernel:
		line += ": sent by the kernel (" + code_name(e.signal, e.code) + "), for a reason its record does not tell";
		break;
	case SignalCause::parent_ended:
		line += ": " + because + " ended, and " + target + " had asked for " + sig + " then (PR_SET_PDEATHSIG)";
		break;
	case SignalCause::broken_pipe:
	case SignalCause::timer:
	case SignalCause::fault:
	case SignalCause::limit:
	case SignalCause::io:
	case SignalCause::traced:
		if (CodeMeaning const *meaning = code_meaning(e.signal, e.code))
			line += std::string(": ") + meaning->words + " (" + code_name(e.signal, e.code) + ")";
		break;
	}
	switch (e.result) {
	case SignalResult::queued:
		return line + "; queued";
	case SignalResult::resumed:
		return line + "; it resumed " + target;
	case SignalResult::already_pending:
		return line + "; already pending";
	case SignalResult::failed:
		return line + "; failed: no room to queue it";
	case SignalResult::ignored:
		break;
	}
	if (e.target_state == State::zombie)
		return line + "; ignored: " + target + " is a zombie";
	if (e.target_ending)
		return line + "; ignored: " + target + " is already ending, from the fatal signal before it";
	if (e.signal == SIGCONT)
		return line + "; ignored: " + target + " was not stopped";
	if (ignored_by_default(e.signal))
		return line + "; ignored, as it is by default";
	if (e.target_spared)
		return line + "; ignored: " + target + " is the first process (pid 1) of a pid namespace of its own, " +
		       "which the kernel spares any signal it has no handler for";
	return line + "; ignored: " + target + " ignores " + sig;
}

static std::string
discard_words(Discarded const &e, Story const &story)
{
	std::string line = who(e.pid, story) + " " + signal_name(e.signal) + " discarded: ";
	if (e.reason == DiscardReason::orphaned_group)
		return line + "taken in an orphaned group, where a terminal stop does not stop";
	return line + "a SIGCONT came while it was still pending, and cleared it";
}

/* Into a pipe or a file, the terminal's text a line at a time; a line still open is shown as far as it goes. */
void
TextReporter::show_output(Micros t, std::string const &bytes)
{
	std::string text = job_text_.show(bytes);
	if (live_) {
		fputs(text.c_str(), out_);
		size_t nl = text.rfind('\n');
		open_line_ = nl == std::string::npos ? open_line_ + text : text.substr(nl + 1);
		reshown_ = false;
		return;
	}
	auto readable = [](std::string one) {
		if (one.ends_with('\r'))
			one.pop_back();
		for (size_t cr; (cr = one.find('\r')) != std::string::npos;)
			one.replace(cr, 1, "^M");
		return one;
	};
	size_t start = 0;
	for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
		line(t, "| " + readable(text.substr(start, nl - start)));
	if (start < text.size())
		line(t, "| " + readable(text.substr(start)) + (someone_runs_ ? "   (no newline yet)" : ""));
}

/* What a socket's state means, where its name alone does not tell a person; nullptr where it does. */
static char const *
socket_meaning(SocketState state)
{
	struct Meaning {
		SocketState state;
		char const *words;
	};
	static constexpr Meaning meanings[] = {
		{SocketState::syn_sent, "connecting"},
		{SocketState::syn_received, "a connection arriving"},
		{SocketState::close_wait, "the other end has closed"},
		{SocketState::fin_wait1, "this end has closed, the other end not yet"},
		{SocketState::fin_wait2, "the other end has taken this end's close, and not closed yet"},
		{SocketState::last_ack, "this end has closed after the other"},
		{SocketState::closing, "both ends closed at once"},
	};
	for (auto const &m : meanings)
		if (m.state == state)
			return m.words;
	return nullptr;
}

/* A socket's new state, in words a person needs. */
static std::string
socket_words(SocketChange const &e, Story const &story)
{
	std::string ends = "socket " + e.local + (e.remote ? " <-> " + *e.remote : "");
	std::string holder = e.pid ? ", held by " + who(*e.pid, story) : "";
	switch (e.state) {
	case SocketState::time_wait:
		if (e.before)
			return ends + " in time-wait, left by an earlier run: until it ends (within a minute) "
				      "a server started now cannot bind " + e.local + " (Bind Failed)";
		return ends + " in time-wait: this end closed first, so the kernel keeps the connection "
			      "for about a minute, and until then nothing can bind " + e.local +
		       " without asking for address reuse" +
		       (e.local.ends_with(":" + std::to_string(server::listen_port)) ? " (the server does not)" : "");
	case SocketState::closed:
		return ends + (e.reset ? " closed by a reset" : " closed") + holder;
	default: {
		char const *meaning = socket_meaning(e.state);
		return ends + " " + socket_state_name(e.state) + (meaning ? std::string(": ") + meaning : "") + holder;
	}
	}
}

void
TextReporter::report(Event const &event)
{
	Micros t = event.t_us;
	auto name = [&](pid_t pid) { return this->name(pid); };
	/* A process is named as it was when the event happened: an exec by the command it leaves. */
	std::string leaving;
	if (auto const *exec = std::get_if<Exec>(&event.what))
		leaving = name(exec->pid);
	story_.take(event);
	/* As the event leaves them: the last process's end leaves nobody to go on with an open line. */
	someone_runs_ = story_.running() > 0;
	std::visit(Overload{
		[&](Started const &e) {
			exact_ = e.source == SourceKind::kernel;
			say(started_words(e));
			if (exact_)
				say("events from the kernel's trace: exact times, and every signal");
			else
				say("events from /proc, sampled every 10 ms, and no signals: " + e.why);
		},
		[&](Exec const &e) {
			line(t, leaving + " runs " + e.file);
		},
		[&](Signal const &e) { line(t, signal_words(e, story_)); },
		[&](GroupSignal const &e) {
			line(t, sender_words(e.from, e.thread, story_) + " \u2192 " + group_words(e.group) + " " +
					signal_name(e.signal) + ": one kill for all its members, each one's result below");
		},
		[&](Discarded const &e) { line(t, discard_words(e, story_)); },
		[&](Lost const &e) {
			char span[64];
			snprintf(span, sizeof(span), "%.6f s and %.6f s", e.from / 1e6, e.until / 1e6);
			line(t, "the kernel's trace buffer was full: it dropped " + std::to_string(e.records) +
					(e.records == 1 ? " record" : " records") + ", so what happened between " + span +
					" may be missing here");
		},
		[&](Spawn const &e) {
			if (e.place.program())
				program_ = e.pid;
			line(t, name(e.pid) + " appears, parent " + name(e.ppid));
		},
		[&](StateChange const &e) {
			/* Running from the start goes without saying, after "appears"; a first state of another kind does not. */
			Told const *p = story_.find(e.pid);
			if (e.state == State::running && p != nullptr && p->history.size() == 1)
				return;
			line(t, name(e.pid) + " " + state_name(e.state) + stopped_words(e));
		},
		[&](Adopted const &e) { line(t, name(e.pid) + " orphaned, adopted by " + name(e.ppid)); },
		[&](Ended const &e) {
			std::string words = name(e.pid) + " collected: " + end_words(e.wait_status, e.by_observe);
			auto held = held_.find(e.pid);
			if (e.lost && !e.lost->empty())
				words += "; its stdout buffer held " + held_words(*e.lost) + ", never written: lost";
			else if (e.lost && held != held_.end() && !held->second.empty())
				words += "; its exit wrote out the " + held_words(held->second) + " its stdout buffer held: nothing lost";
			line(t, words);
			tell_left(t, e);
			held_.erase(e.pid);
		},
		[&](Held const &e) {
			held_[e.pid] = e.text;
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
		[&](SocketChange const &e) { line(t, socket_words(e, story_)); },
		[&](End const &e) {
			if (std::string rest = job_text_.rest(); !rest.empty())
				show_output(t, rest);
			/* The job's open line ends here; a copy of ours is erased where the terminal can. */
			if (live_ && !open_line_.empty())
				fputs(reshown_ && style_.escapes ? "\r\033[K" : "\n", out_);
			open_line_.clear();
			std::string ended;
			for (pid_t pid : e.ended)
				ended += (ended.empty() ? "" : ", ") + name(pid);
			line(t, std::string("watch over (") + reason_name(e.reason) + ")" +
					(ended.empty() ? "" : "; observe ended what was left: " + ended));
		},
	}, event.what);
}

std::string
TextReporter::name(pid_t pid) const
{
	return who(pid, story_);
}

/* The keys, where the person's keys reach observe. */
static std::string
keys_words()
{
	return std::string(end_key_name) + " ends the watch, " + continue_key_name + " continues the job after Ctrl-Z";
}

std::string
TextReporter::started_words(Started const &e) const
{
	char limit[64] = "until its processes end";
	if (e.limit_seconds > 0)
		snprintf(limit, sizeof(limit), "for up to %.10g s", e.limit_seconds);
	return "watching " + e.program + " (pid " + std::to_string(e.pid) + ") as the foreground job of a new terminal, " +
	       limit + (style_.keys ? "; " + keys_words() : "");
}

/* As a shell says it when the job stops, with what can be done about it. */
std::string
TextReporter::stopped_words(StateChange const &e) const
{
	if (e.state != State::stopped || e.pid != program_)
		return "";
	if (!style_.keys)
		return ": the job is stopped";
	return std::string(": the job is stopped; ") + continue_key_name + " continues it, as a shell's fg, and " +
	       end_key_name + " ends the watch";
}

/* Once: the program has ended, and what of its job is left keeps the watch going.
 * A zombie is not counted: it no longer runs, and its collector (observe, once
 * it is orphaned) takes it without the watch waiting on it. A stopped one is
 * said to be stopped: it does not run, but keeps the watch going all the same. */
void
TextReporter::tell_left(Micros t, Ended const &e)
{
	/* Ended by observe, the program goes with the rest as the watch ends: nothing goes on. */
	if (told_left_ || e.pid != program_ || e.by_observe)
		return;
	std::string left;
	int count = 0;
	for (auto const &p : story_.all())
		if (!p.ended() && p.state != State::zombie) {
			left += (left.empty() ? "" : ", ") + name(p.pid) + (p.state == State::stopped ? " stopped" : "");
			count++;
		}
	if (count == 0)
		return;
	told_left_ = true;
	line(t, "the program has ended, and " + std::to_string(count) + (count == 1 ? " process" : " processes") +
			" of its job " + (count == 1 ? "remains: " : "remain: ") + left +
			(count == 1 ? "; the watch goes on until it ends, or " : "; the watch goes on until they end, or ") +
			(style_.keys ? std::string(end_key_name) + " ends it" : std::string("Ctrl-C or --for ends it")));
}

} // namespace observe
