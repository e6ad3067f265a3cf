#include "stdio_buffers.h"

#include "proc_sampler.h"

#include <algorithm>

namespace observe {

/*
 * How long after a process appears it may still be without the C library:
 * the loader maps it within a millisecond of running, but on a busy machine
 * a new process may wait long for a processor. So the grace is of the
 * process's own running, and of time only for one that never runs again
 * (a static program asleep).
 */
static constexpr Micros loader_grace = 200'000;
static constexpr long long loader_running_grace_ns = 5'000'000;
static constexpr Micros loader_longest_grace = 3'000'000;

/* Looks at a job that has not run since the last come at most this many
 * sample intervals apart, so that a write after a long sleep is seen
 * within 40 ms, and told within 50 (a second look confirms it). */
static constexpr int longest_rest_in_ticks = 3;

StdioBuffers::StdioBuffers(ProcessTable &table, Stopwatch const &clock)
	: table_(table), clock_(clock), next_(clock.next_tick(sample_interval))
{
}

/*
 * A sample may catch a stream in the middle of a write: the bytes gone to
 * the terminal, its pointers not yet put back (observe, woken by the very
 * write, may run first). So a sample's bytes are told once the next sample
 * finds them still there; a look before an end is told at once.
 */
bool
StdioBuffers::look(pid_t pid, bool at_once)
{
	Process const *p = table_.find(pid);
	if (p == nullptr || p->ended() || p->state == State::zombie || p->unreadable)
		return false;
	bool first = !p->held;
	auto ran = ran_.find(pid);
	if (ran == ran_.end()) {
		ran = ran_.emplace(pid, Ran{procfs::ProcessFiles(pid)}).first;
		reader_.inherit(pid, p->ppid);
	}
	/* A look at once needs no processor time: one that often comes as the
	 * process is already gone (a fork's) opens nothing to find that out. */
	long long running = -1;
	if (!at_once)
		if (auto schedule = ran->second.files.schedule())
			running = schedule->running_ns;
	if (!at_once && running >= 0 && running == ran->second.running_ns && ran->second.told)
		return false;
	ran->second.running_ns = running;
	if (ran->second.first_running_ns < 0)
		ran->second.first_running_ns = running;
	auto result = reader_.read(pid);
	read_.insert(pid);
	Micros now = clock_.now();
	switch (result.status) {
	case StdoutReader::Status::held: {
		/* A stream that delivers at each newline holds none: what it has up
		 * to its last newline is being written, this very moment. */
		if (result.line_buffered) {
			auto newline = result.bytes.rfind('\n');
			if (newline != std::string::npos)
				result.bytes.erase(0, newline + 1);
		}
		/* A child that has not written yet holds the copy of its parent's
		 * buffer it began with: the start of what the parent holds. */
		Process const *parent = table_.find(p->ppid);
		bool inherited = first && !result.bytes.empty() && parent != nullptr && parent->held &&
				 parent->held->starts_with(result.bytes);
		auto candidate = candidates_.find(pid);
		bool settled = at_once || (candidate != candidates_.end() && candidate->second == result.bytes);
		candidates_[pid] = result.bytes;
		ran->second.told = settled;
		if (settled)
			table_.hold(now, pid, std::move(result.bytes), inherited);
		break;
	}
	case StdoutReader::Status::gone:
		break;
	case StdoutReader::Status::other_library:
		/* Just after its exec the loader may not have mapped the C library yet. */
		if ((now - p->appeared >= loader_grace &&
		     running - ran->second.first_running_ns >= loader_running_grace_ns) ||
		    now - p->appeared >= loader_longest_grace)
			table_.unreadable(now, pid, "not this C library's stdio (a static program, or another C library)");
		break;
	case StdoutReader::Status::no_access:
		table_.unreadable(now, pid, "no access to its memory (another user's, or not dumpable)");
		break;
	}
	return true;
}

void
StdioBuffers::take()
{
	auto now = Clock::now();
	if (now < next_)
		return;
	bool ran = false;
	for (pid_t pid : table_.living())
		ran |= look(pid, false);
	for (auto pid = read_.begin(); pid != read_.end();) {
		Process const *p = table_.find(*pid);
		if (p != nullptr && !p->ended()) {
			++pid;
			continue;
		}
		candidates_.erase(*pid);
		ran_.erase(*pid);
		/* Its pid may come to another process. */
		reader_.forget(*pid);
		pid = read_.erase(pid);
	}
	/* A job asleep is looked at less and less often, down to a few times a
	 * second: its buffers cannot change, and every look wakes observe. */
	quiet_looks_ = ran ? 0 : std::min(quiet_looks_ + 1, longest_rest_in_ticks);
	next_ = clock_.next_tick(sample_interval) + quiet_looks_ * sample_interval;
}

} // namespace observe
