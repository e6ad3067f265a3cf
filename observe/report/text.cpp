#include "text.h"

#include "words.h"

#include "address.h"

#include <signal.h>

namespace observe {

void
TextReporter::line(Micros t, std::string const &text)
{
	auto seconds = static_cast<long long>(t / 1'000'000);
	auto micros = static_cast<long long>(t % 1'000'000);
	if (exact_)
		fprintf(out_, "%4lld.%06lld  %s\n", seconds, micros, text.c_str());
	else
		fprintf(out_, "%4lld.%03lld  %s\n", seconds, micros / 1000, text.c_str());
	fflush(out_);
}

/* What a child did, as its SIGCHLD's code tells. */
static char const *
child_did(int code)
{
	switch (code) {
	case CLD_EXITED:
		return "exited";
	case CLD_KILLED:
		return "was killed";
	case CLD_DUMPED:
		return "was killed and dumped core";
	case CLD_TRAPPED:
		return "was trapped";
	case CLD_STOPPED:
		return "stopped";
	case CLD_CONTINUED:
		return "continued";
	}
	return "changed state";
}

/* Why the terminal sent it. */
static char const *
terminal_words(int sig)
{
	switch (sig) {
	case SIGINT:
		return "Ctrl-C typed on the job's terminal";
	case SIGQUIT:
		return "Ctrl-\\ typed on the job's terminal";
	case SIGTSTP:
		return "Ctrl-Z typed on the job's terminal";
	case SIGWINCH:
		return "the job's terminal changed size";
	case SIGTTIN:
	case SIGTTOU:
		return "a process not in the terminal's foreground used it";
	}
	return "the job's terminal hung up: its session leader ended";
}

/* A place without its pid: "child 1", "the program". */
static std::string
place_of(pid_t pid, ProcessTable const &table)
{
	Process const *p = table.find(pid);
	if (p == nullptr)
		return std::to_string(pid);
	return p->place == "program" ? "the program" : p->place;
}

static std::string
signal_words(Signal const &e, ProcessTable const &table)
{
	std::string sig = signal_name(e.signal);
	std::string line = (e.from ? who(*e.from, table) : std::string("kernel")) + " \u2192 " + who(e.target, table) +
			   " " + sig;
	std::string target = place_of(e.target, table);
	std::string because = e.because_of ? place_of(*e.because_of, table) : "a process";
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
		line += ": sent by the kernel for a reason of its own";
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
	return line + "; ignored: " + target + " ignores " + sig;
}

static std::string
discard_words(Discarded const &e, ProcessTable const &table)
{
	std::string line = who(e.pid, table) + " " + signal_name(e.signal) + " discarded: ";
	if (e.reason == DiscardReason::orphaned_group)
		return line + "taken in an orphaned group, where a terminal stop does not stop";
	return line + "a SIGCONT came while it was still pending, and cleared it";
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
	switch (e.state) {
	case SocketState::time_wait:
		if (e.before)
			return ends + " in time-wait, left by an earlier run: until it ends (within a minute) "
				      "a server started now cannot bind " + e.local + " (Bind Failed)";
		return ends + " in time-wait: this end closed first, so the kernel keeps the connection "
			      "for about a minute, and until then nothing can bind " + e.local +
		       " without asking for address reuse" +
		       (e.local.ends_with(":" + std::to_string(server::listen_port)) ? " (the server does not)" : "");
	case SocketState::syn_sent:
		return ends + " syn-sent: connecting" + holder;
	case SocketState::syn_received:
		return ends + " syn-received: a connection arriving" + holder;
	case SocketState::close_wait:
		return ends + " close-wait: the other end has closed" + holder;
	case SocketState::fin_wait1:
		return ends + " fin-wait-1: this end has closed, the other end not yet" + holder;
	case SocketState::fin_wait2:
		return ends + " fin-wait-2: the other end has taken this end's close, and not closed yet" + holder;
	case SocketState::last_ack:
		return ends + " last-ack: this end has closed after the other" + holder;
	case SocketState::closing:
		return ends + " closing: both ends closed at once" + holder;
	case SocketState::closed:
		return ends + (e.reset ? " closed by a reset" : " closed") + holder;
	default:
		return ends + " " + socket_state_name(e.state) + holder;
	}
}

void
TextReporter::report(Event const &event, ProcessTable const &table)
{
	Micros t = event.t_us;
	auto name = [&](pid_t pid) { return who(pid, table); };
	std::visit(Overload{
		[&](Started const &e) {
			exact_ = e.source == SourceKind::kernel;
			fprintf(out_, "observe: watching %s (pid %d) as the foreground job of a new terminal, for up to %g s\n",
				e.program.c_str(), static_cast<int>(e.pid), e.limit_seconds);
			if (exact_)
				fputs("observe: events from the kernel's trace: exact times, and every signal\n", out_);
			else
				fprintf(out_, "observe: events from /proc, sampled every 10 ms, and no signals: %s\n",
					e.why.c_str());
			fflush(out_);
		},
		[&](Exec const &e) { line(t, name(e.pid) + " runs " + e.file); },
		[&](Signal const &e) { line(t, signal_words(e, table)); },
		[&](Discarded const &e) { line(t, discard_words(e, table)); },
		[&](Lost const &e) {
			line(t, "the kernel dropped " + std::to_string(e.records) +
					" of its records, its buffer full: some events are missing");
		},
		[&](Spawn const &e) { line(t, name(e.pid) + " appears, parent " + name(e.ppid)); },
		[&](StateChange const &e) { line(t, name(e.pid) + " " + state_name(e.state)); },
		[&](Adopted const &e) { line(t, name(e.pid) + " orphaned, adopted by " + name(e.ppid)); },
		[&](Ended const &e) {
			std::string words = name(e.pid) + " collected: " + end_words(e.wait_status, e.by_observe);
			Process const *p = table.find(e.pid);
			if (e.lost && !e.lost->empty())
				words += "; its stdout buffer held " + held_words(*e.lost) + ", never written: lost";
			else if (e.lost && p != nullptr && p->held && !p->held->empty())
				words += "; its exit wrote out the " + held_words(*p->held) + " its stdout buffer held: nothing lost";
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
