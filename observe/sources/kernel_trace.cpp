#include "kernel_trace.h"

#include "procfs.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace observe {

namespace {

using namespace std::chrono_literals;

/* A terminal stop taken is followed by its stop within microseconds; one
 * not followed by a stop in this long was discarded. */
constexpr std::int64_t stop_wait_ns = 10'000'000;
/* How often ended processes not seen collected are looked for in /proc:
 * one whose parent collects it with a call the trace does not follow
 * (waitid), or none (SIGCHLD ignored), is gone without a record. */
constexpr auto collection_look = 100ms;
/* How long it rests after a take, unwoken by the trace: half of how long
 * events are held back before they are reported, so they still come in order. */
constexpr auto read_rest = 10ms;

bool
is_stop(int sig)
{
	return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

/* The stops a terminal asks for, which an orphaned group is spared. */
bool
is_terminal_stop(int sig)
{
	return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

/* Ends the process, if it keeps the default action. */
bool
fatal_by_default(int sig)
{
	return !ignored_by_default(sig) && !is_stop(sig);
}

/* The signals a terminal sends: keys typed, a hangup, a resize, a background read or write. */
bool
sent_by_terminals(int sig)
{
	return sig == SIGINT || sig == SIGQUIT || sig == SIGTSTP || sig == SIGHUP || sig == SIGCONT ||
	       sig == SIGWINCH || sig == SIGTTIN || sig == SIGTTOU;
}

bool
ends_a_child(int code)
{
	return code == CLD_EXITED || code == CLD_KILLED || code == CLD_DUMPED;
}

std::int64_t
now_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

std::string
KernelSource::unavailable()
{
	return kernel::Trace::unavailable();
}

std::unique_ptr<KernelSource>
KernelSource::open(ProcessTable &table, Stopwatch const &clock, std::string &why)
{
	auto trace = kernel::Trace::open({getpid()}, why);
	if (!trace)
		return nullptr;
	return std::unique_ptr<KernelSource>(new KernelSource(std::move(trace), table, clock));
}

KernelSource::KernelSource(std::unique_ptr<kernel::Trace> trace, ProcessTable &table, Stopwatch const &clock)
	: trace_(std::move(trace)), table_(table), clock_(clock), next_look_(Clock::now() + collection_look)
{
}

void
KernelSource::set_job(pid_t leader, std::string name, bool adopting)
{
	leader_ = leader;
	name_ = std::move(name);
	adopting_ = adopting;
}

std::optional<Clock::time_point>
KernelSource::due() const
{
	std::optional<Clock::time_point> first = rest_until_;
	for (auto const &[pid, taken] : taken_stops_) {
		auto at = Clock::time_point(std::chrono::nanoseconds(taken.second + stop_wait_ns));
		first = first ? std::min(*first, at) : at;
	}
	bool zombies = false;
	for (Process const *p : table_.alive())
		zombies |= p->state == State::zombie;
	if (zombies)
		first = first ? std::min(*first, next_look_) : next_look_;
	return first;
}

void
KernelSource::handle(std::int64_t t, kernel::Forked const &fork)
{
	/* A pid the table holds for a process collected is given to a new one. */
	if (Process const *known = table_.find(fork.child); known != nullptr && !known->ended())
		return;
	if (fork.child == leader_ && fork.parent == table_.shell()) {
		table_.appear(micros(t), fork.child, fork.parent, name_, State::running);
		return;
	}
	Process const *parent = table_.find(fork.parent);
	if (parent == nullptr || parent->ended())
		return;
	/* A thread is its process's, not a process of the job. */
	char task[64];
	snprintf(task, sizeof(task), "/proc/%d/task/%d", static_cast<int>(fork.parent), static_cast<int>(fork.child));
	if (access(task, F_OK) == 0)
		return;
	table_.appear(micros(t), fork.child, fork.parent, parent->name, State::running);
	if (look_)
		look_(fork.child);
}

void
KernelSource::handle(std::int64_t t, kernel::Executed const &exec)
{
	table_.exec(micros(t), exec.pid, exec.file);
}

void
KernelSource::handle(std::int64_t t, kernel::Exited const &exit)
{
	Process *p = table_.find(exit.pid);
	if (p == nullptr || !exit.group_dead)
		return;
	/* The status its parent will be given, while it is still there to read;
	 * for one a fatal signal ended, that signal, should its collector tell
	 * nobody before it can be read. */
	if (auto dying = dying_.find(exit.pid); dying != dying_.end())
		p->zombie_status = dying->second;
	if (auto stat = procfs::read_stat(exit.pid); stat && procfs::state_of(stat->state) == State::zombie)
		p->zombie_status = stat->exit_code;
	dying_.erase(exit.pid);
	fatal_.erase(exit.pid);
	table_.change(micros(t), exit.pid, State::zombie);
	exiting_.insert(exit.pid);
	taken_stops_.erase(exit.pid);
	pending_stops_.erase(exit.pid);
}

void
KernelSource::handle(std::int64_t t, kernel::Stopped const &stop)
{
	taken_stops_.erase(stop.pid);
	table_.change(micros(t), stop.pid, State::stopped);
}

/*
 * The consequences of a process's end, which the kernel carries out in its
 * name once its exit record is out: its children go to their new parent,
 * and where it was the last link of the job's group to the session, the
 * group is orphaned.
 */
void
KernelSource::exit_done(std::int64_t t, pid_t pid)
{
	if (!exiting_.erase(pid))
		return;
	std::vector<pid_t> children;
	for (Process const *child : table_.alive())
		if (child->ppid == pid)
			children.push_back(child->pid);
	for (pid_t child : children) {
		pid_t parent = adopting_ ? table_.shell() : table_.observer();
		if (auto stat = procfs::read_stat(child))
			parent = stat->ppid;
		table_.adopt(micros(t), child, parent);
	}
	if (pid == leader_ && !adopting_ && !orphaned_since_)
		orphaned_since_ = t;
}

void
KernelSource::handle(std::int64_t t, kernel::Generated const &sent)
{
	Process const *sender = table_.find(sent.sender);
	/* A dying parent hands its zombie children to their new parent with a
	 * SIGCHLD in its own name and the zombie's code: the news is the zombie's.
	 * Looked for before the hand-over is recorded, while they are still its. */
	std::optional<pid_t> handed;
	if (sent.signal == SIGCHLD && sender != nullptr && sender->ppid != sent.target)
		for (Process const *child : table_.alive())
			if (child->ppid == sent.sender && child->state == State::zombie)
				handed = child->pid;
	/* The kernel's SIGHUP and SIGCONT in the name of a process of the job that has ended. */
	bool orphaning = sent.code == SI_KERNEL && (sent.signal == SIGHUP || sent.signal == SIGCONT) &&
			 sender != nullptr && sender->state == State::zombie;
	/* The dying process's first word after its exit record: its children have a new parent by now. */
	if (orphaning || (sent.signal == SIGCHLD && ends_a_child(sent.code)))
		exit_done(t, sent.sender);
	if (orphaning && !adopting_ && !orphaned_since_)
		orphaned_since_ = t;

	Process const *target = table_.find(sent.target);
	if (target == nullptr && sender == nullptr)
		return;
	State target_state = target != nullptr ? target->state : State::running;

	Signal signal{sent.target, sent.signal, std::nullopt, SignalResult::queued, SignalCause::none, sent.code,
		      target_state};
	/* A fatal signal already on its way: the kernel drops whatever comes after it. */
	signal.target_ending = fatal_.count(sent.target) != 0 || dying_.count(sent.target) != 0;
	if (sent.code <= 0) {
		signal.from = sent.sender;	/* kill(), tkill(), sigqueue(): a process's own doing */
	} else if (sent.signal == SIGCHLD) {
		signal.cause = SignalCause::child_changed_state;
		signal.because_of = handed ? *handed : sent.sender;
	} else if (orphaning) {
		signal.cause = SignalCause::orphaned_group;
		signal.because_of = sent.sender;
	} else if (sent.code == SI_KERNEL && sent_by_terminals(sent.signal)) {
		signal.cause = SignalCause::terminal;
	} else {
		signal.cause = SignalCause::kernel;
	}

	switch (sent.result) {
	case kernel::signal_delivered:
	case kernel::signal_lose_info:
		signal.result = SignalResult::queued;
		break;
	case kernel::signal_ignored:
		signal.result = SignalResult::ignored;
		break;
	case kernel::signal_already_pending:
		signal.result = SignalResult::already_pending;
		break;
	default:
		signal.result = SignalResult::failed;
		break;
	}
	/* The kernel calls every SIGCONT ignored, as it is not queued; to a stopped process it resumes it. */
	if (sent.signal == SIGCONT && target != nullptr && target_state == State::stopped)
		signal.result = SignalResult::resumed;

	table_.signal(micros(t), signal);
	if (target == nullptr || target->ended())
		return;

	if (sent.signal == SIGCONT) {
		/* Any SIGCONT clears the stop signals still pending. */
		auto pending = pending_stops_.find(sent.target);
		if (pending != pending_stops_.end()) {
			for (int stop : pending->second)
				table_.discard(micros(t), Discarded{sent.target, stop, DiscardReason::flushed_by_sigcont});
			pending_stops_.erase(pending);
		}
		if (signal.result == SignalResult::resumed)
			table_.change(micros(t), sent.target, State::running);
	}
	if (is_stop(sent.signal) && signal.result == SignalResult::queued)
		pending_stops_[sent.target].insert(sent.signal);
	if (fatal_by_default(sent.signal) && signal.result == SignalResult::queued) {
		fatal_[sent.target] = sent.signal;
		if (look_)
			look_(sent.target);
	}
}

void
KernelSource::handle(std::int64_t t, kernel::Delivered const &taken)
{
	if (table_.find(taken.pid) == nullptr)
		return;
	auto pending = pending_stops_.find(taken.pid);
	if (pending != pending_stops_.end())
		pending->second.erase(taken.signal);
	bool by_default = taken.handler == reinterpret_cast<unsigned long>(SIG_DFL);
	if (is_terminal_stop(taken.signal) && by_default)
		taken_stops_[taken.pid] = {taken.signal, t};
	if (fatal_by_default(taken.signal) && by_default) {
		auto fatal = fatal_.find(taken.pid);
		dying_[taken.pid] = taken.signal == SIGKILL && fatal != fatal_.end() ? fatal->second : taken.signal;
	} else if (fatal_.count(taken.pid) && fatal_[taken.pid] == taken.signal) {
		fatal_.erase(taken.pid);	/* caught, not fatal after all */
	}
}

void
KernelSource::handle(std::int64_t t, kernel::Collected const &collected)
{
	Process const *p = table_.find(collected.pid);
	if (!collected.ended || p == nullptr || p->ended())
		return;
	exit_done(t, collected.pid);
	table_.adopt(micros(t), collected.pid, collected.reaper);
	table_.gone(micros(t), collected.pid, table_.tells(collected.reaper));
}

/* A terminal stop taken and not followed by a stop was discarded: its group is orphaned. */
void
KernelSource::settle_stops(std::int64_t now)
{
	for (auto taken = taken_stops_.begin(); taken != taken_stops_.end();) {
		auto [sig, at] = taken->second;
		if (now - at < stop_wait_ns) {
			++taken;
			continue;
		}
		table_.discard(micros(at), Discarded{taken->first, sig, DiscardReason::orphaned_group});
		taken = taken_stops_.erase(taken);
	}
}

void
KernelSource::look_for_the_collected()
{
	if (Clock::now() < next_look_)
		return;
	next_look_ = Clock::now() + collection_look;
	std::vector<Process const *> zombies;
	for (Process const *p : table_.alive())
		if (p->state == State::zombie)
			zombies.push_back(p);
	for (Process const *p : zombies)
		if (table_.reaped(p->pid))
			table_.gone(clock_.now(), p->pid, table_.tells(p->ppid));
}

std::vector<Lost>
KernelSource::losses()
{
	std::vector<Lost> told;
	for (auto const &loss : trace_->losses())
		/* A loss before any record read spans from the trace's opening, before the watch's start. */
		told.push_back({loss.records, std::max<Micros>(0, micros(loss.from_ns)), std::max<Micros>(0, micros(loss.until_ns))});
	return told;
}

void
KernelSource::take()
{
	/* Nothing read where nothing waits: the end of a rest, or another source's turn. */
	rest_until_.reset();
	pollfd waiting{trace_->fd(), POLLIN, 0};
	if (poll(&waiting, 1, 0) <= 0) {
		settle_stops(now_ns());
		look_for_the_collected();
		return;
	}
	std::vector<kernel::Record> records;
	trace_->take(records);
	rest_until_ = Clock::now() + read_rest;
	for (auto const &record : records)
		std::visit([&](auto const &what) { handle(record.t_ns, what); }, record.what);
	settle_stops(now_ns());
	look_for_the_collected();
}

} // namespace observe
