#include "stdio_buffers.h"

#include "proc_sampler.h"

#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>

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

/* A sleep longer than this is taken for one that only a signal ends. */
static constexpr auto longest_sleep = std::chrono::hours(24 * 365);

/*
 * When a process that has not run since `ran_after` may wake at the
 * earliest: stopped, or blocked in a call that nothing but a signal or the
 * call's own timer ends. Nothing for a process of several threads, any
 * other call, or a time on a clock that may be set or stop meanwhile: of
 * absolute times only CLOCK_MONOTONIC's are taken, of relative ones those
 * of CLOCK_MONOTONIC and CLOCK_REALTIME (which the kernel counts on
 * CLOCK_MONOTONIC).
 */
/* Till when at the earliest a process sleeps, and whether in a call (not a stop). */
struct Sleep {
	Clock::time_point until;
	bool in_call;
};

static std::optional<Sleep>
earliest_wake(pid_t pid, procfs::ProcessFiles &files, Clock::time_point ran_after)
{
	auto stat = files.stat();
	if (stat && stat->state == 'T')
		return Sleep{Clock::time_point::max(), false};	/* stopped, till a SIGCONT */
	if (!stat || stat->threads != 1)
		return std::nullopt;	/* another thread may write while this one sleeps */
	auto call = files.blocked();
	if (!call)
		return std::nullopt;
	auto in_call = [](Clock::time_point until) { return std::optional(Sleep{until, true}); };
	unsigned long request;
	clockid_t clock = CLOCK_MONOTONIC;
	bool absolute = false;
	switch (call->number) {
#ifdef SYS_pause
	case SYS_pause:
#endif
	case SYS_rt_sigsuspend:
		return in_call(Clock::time_point::max());
#ifdef SYS_nanosleep
	case SYS_nanosleep:
		request = call->args[0];
		break;
#endif
	case SYS_clock_nanosleep:
		clock = static_cast<clockid_t>(call->args[0]);
		absolute = (call->args[1] & TIMER_ABSTIME) != 0;
		request = call->args[2];
		break;
	default:
		return std::nullopt;
	}
	timespec length;
	iovec local{&length, sizeof(length)};
	iovec remote{reinterpret_cast<void *>(request), sizeof(length)};
	if (process_vm_readv(pid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof(length)) ||
	    length.tv_sec < 0 || length.tv_nsec < 0 || length.tv_nsec >= 1'000'000'000)
		return std::nullopt;
	if (length.tv_sec >= std::chrono::duration_cast<std::chrono::seconds>(longest_sleep).count())
		return in_call(Clock::time_point::max());
	auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(length.tv_sec) +
								 std::chrono::nanoseconds(length.tv_nsec));
	if (absolute)
		return clock == CLOCK_MONOTONIC ? in_call(Clock::time_point(span)) : std::nullopt;
	if (clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC)
		return in_call(ran_after + span);
	return std::nullopt;
}

bool
StdioBuffers::read_sleep(pid_t pid, Ran &ran)
{
	ran.sleep_read = true;
	auto sleep = earliest_wake(pid, ran.files, ran.ran_after);
	ran.asleep_until = sleep ? std::optional(sleep->until) : std::nullopt;
	return sleep && sleep->in_call;
}

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
		ran = ran_.try_emplace(pid, pid, clock_.start() + std::chrono::microseconds(p->appeared)).first;
		reader_.inherit(pid, p->ppid);
	}
	/* A look at once needs no processor time: one that often comes as the
	 * process is already gone (a fork's) opens nothing to find that out. */
	long long running = -1;
	if (!at_once) {
		/* A sleep's end passed unlooked: it did not run before then. */
		if (ran->second.asleep_until)
			ran->second.looked = std::max(ran->second.looked, std::min(*ran->second.asleep_until, Clock::now()));
		if (auto used = procfs::processor_time_ns(pid))
			running = *used;
		if (running != ran->second.running_ns) {
			ran->second.ran_after = ran->second.looked;
			ran->second.forget_sleep();
		}
		ran->second.looked = Clock::now();
	}
	if (!at_once && running >= 0 && running == ran->second.running_ns && ran->second.told) {
		if (signals_followed_ && !ran->second.sleep_read)
			read_sleep(pid, ran->second);
		return false;
	}
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
		/* Blocked in its sleep, and not run while it was read: no write was
		 * caught midway, and no second look need confirm it. A stop may
		 * come midway: the second look confirms, and reads the stop. */
		if (!settled && signals_followed_ && !at_once) {
			settled = read_sleep(pid, ran->second) && procfs::processor_time_ns(pid) == std::optional(running);
			if (!settled)
				ran->second.forget_sleep();
		}
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
	bool awake = false;	/* someone not known to be asleep */
	auto wake = Clock::time_point::max();
	for (pid_t pid : table_.living()) {
		/* Till when it sleeps yet, where it does: read again after a look, which may find a sleep. */
		auto asleep_till = [&]() -> std::optional<Clock::time_point> {
			auto r = ran_.find(pid);
			if (r != ran_.end() && r->second.asleep_until && *r->second.asleep_until > now)
				return r->second.asleep_until;
			return std::nullopt;
		};
		if (!asleep_till())
			ran |= look(pid, false);
		if (auto till = asleep_till())
			wake = std::min(wake, *till);
		else
			awake = true;
	}
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
	last_take_ = now;
	quiet_looks_ = ran ? 0 : std::min(quiet_looks_ + 1, longest_rest_in_ticks);
	next_ = awake ? clock_.next_tick(sample_interval) + quiet_looks_ * sample_interval : Clock::time_point::max();
	/* The first tick at the end of the first sleep. */
	if (wake != Clock::time_point::max())
		next_ = std::min(next_, clock_.start() + ((wake - clock_.start()) / sample_interval + 1) * sample_interval);
}

void
StdioBuffers::spoke()
{
	if (signals_followed_)
		next_ = std::min(next_, std::max(Clock::now(), last_take_ + sample_interval));
}

void
StdioBuffers::stir(pid_t pid, Clock::time_point at)
{
	auto ran = ran_.find(pid);
	if (ran == ran_.end() || !ran->second.asleep_until)
		return;
	/* It slept till the signal, at least; its call is read again at the
	 * next look: a signal that left it asleep leaves the same sleep. */
	ran->second.looked = std::max(ran->second.looked, std::min(*ran->second.asleep_until, at));
	ran->second.forget_sleep();
	next_ = std::min(next_, clock_.next_tick(sample_interval));
}

} // namespace observe
