#include "interpreter.h"

#include <linux/sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

namespace observe {

namespace {

/* A terminal stop taken is followed by its stop within microseconds; one
 * not followed by a stop in this long was discarded. */
constexpr std::int64_t stop_wait_ns = 10'000'000;

bool
ends_a_child(int code)
{
	return code == CLD_EXITED || code == CLD_KILLED || code == CLD_DUMPED;
}

/* The wait status of an exit with this code. */
int
wait_status_of_exit(int code)
{
	return (code & 0xff) << 8;
}

void
forget(std::vector<pid_t> &pids, pid_t pid)
{
	auto found = std::find(pids.begin(), pids.end(), pid);
	if (found != pids.end())
		pids.erase(found);
}

} // namespace

void
Interpreter::set_job(pid_t leader, std::string name, bool adopting)
{
	leader_ = leader;
	name_ = std::move(name);
	adopting_ = adopting;
}

Micros
Interpreter::micros(std::int64_t t_ns) const
{
	auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.start().time_since_epoch());
	return (t_ns - start.count()) / 1000;
}

pid_t
Interpreter::process_of(pid_t tid) const
{
	return table_.process_of(tid);
}

Process const *
Interpreter::living(pid_t pid) const
{
	Process const *p = table_.find(pid);
	return p != nullptr && !p->ended() && !p->gone_at ? p : nullptr;
}

bool
Interpreter::zombie(pid_t pid) const
{
	Process const *p = living(pid);
	return p != nullptr && p->state == State::zombie;
}

void
Interpreter::take(kernel::Record const &record)
{
	std::visit([&](auto const &what) { handle(record.t_ns, what); }, record.what);
}

std::optional<std::int64_t>
Interpreter::due() const
{
	std::optional<std::int64_t> first;
	for (auto const &[pid, taken] : taken_stops_)
		first = std::min(first.value_or(taken.second + stop_wait_ns), taken.second + stop_wait_ns);
	return first;
}

/* A terminal stop taken and not followed by a stop was discarded: its group is orphaned. */
void
Interpreter::settle(std::int64_t now)
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
Interpreter::handle(std::int64_t t, kernel::Forked const &fork)
{
	runs_on(fork.parent);
	pid_t creator = process_of(fork.parent);
	if (fork.clone_flags & CLONE_THREAD) {
		table_.thread(fork.child, creator);
		if (living(creator) != nullptr)
			procs_[creator].threads.push_back(fork.child);
		return;
	}
	table_.thread_gone(fork.child);
	/* A zombie's number given again: it was gone before its freeing came. */
	gone_unseen(fork.child);
	/* Already known (seen before its record came); an ended process's pid is a new one's. */
	if (living(fork.child) != nullptr)
		return;
	pid_t parent = creator;
	if (fork.clone_flags & CLONE_PARENT)
		if (Process const *p = living(creator))
			parent = p->ppid;
	if (fork.child == leader_ && parent == table_.shell() && table_.find(fork.child) == nullptr) {
		table_.appear(micros(t), fork.child, parent, name_, State::running);
		return;
	}
	/* A process of the job may make its own parent's child (CLONE_PARENT): the program, the shell's. */
	Process const *p = living(parent);
	Process const *maker = p != nullptr ? p : living(creator);
	if (maker == nullptr)
		return;
	table_.appear(micros(t), fork.child, parent, maker->name, State::running);
	if (p != nullptr)
		procs_[parent].children.push_back(fork.child);
	host_.look(fork.child);
}

void
Interpreter::handle(std::int64_t t, kernel::Executed const &exec)
{
	table_.exec(micros(t), exec.pid, exec.file);
	/* An exec leaves one thread: the others, killed by it, took a SIGKILL that ends none but them. */
	if (auto proc = procs_.find(exec.pid); proc != procs_.end()) {
		for (pid_t thread : proc->second.threads)
			table_.thread_gone(thread);
		proc->second.threads.clear();
		proc->second.dying = 0;
	}
}

void
Interpreter::handle(std::int64_t, kernel::ExitCalled const &call)
{
	pid_t pid = process_of(call.pid);
	if (living(pid) == nullptr)
		return;
	Proc &proc = procs_[pid];
	/* The first exit_group decides; a thread's exit, only the main one's. */
	if (call.group && !proc.status)
		proc.status = wait_status_of_exit(call.code);
	else if (!call.group && call.pid == pid)
		proc.own_exit = wait_status_of_exit(call.code);
}

void
Interpreter::handle(std::int64_t t, kernel::Exited const &exit)
{
	pid_t pid = process_of(exit.pid);
	in_kill_.erase(exit.pid);
	in_waitid_.erase(exit.pid);
	if (!exit.group_dead) {
		/* A thread's end; its process goes on. Its number may be reused at once. */
		if (exit.pid != pid) {
			table_.thread_gone(exit.pid);
			if (auto proc = procs_.find(pid); proc != procs_.end())
				forget(proc->second.threads, exit.pid);
		}
		return;
	}
	Process *p = table_.find(pid);
	if (p == nullptr || p->ended() || p->gone_at)
		return;
	Proc &proc = procs_[pid];
	if (proc.dying != 0)
		p->zombie_status = proc.status ? *proc.status : proc.dying;
	else if (proc.status)
		p->zombie_status = proc.status;
	else if (proc.own_exit)
		p->zombie_status = proc.own_exit;
	table_.change(micros(t), pid, State::zombie);
	proc.exiting = true;
	proc.pending_stops.clear();
	taken_stops_.erase(pid);
	/* Its zombie children go to their new parent each with a SIGCHLD in its name, in its children's order. */
	for (pid_t child : proc.children)
		if (zombie(child))
			proc.handing.push_back(child);
}

void
Interpreter::handle(std::int64_t t, kernel::Stopped const &stop)
{
	pid_t pid = process_of(stop.pid);
	taken_stops_.erase(pid);
	table_.change(micros(t), pid, State::stopped);
}

void
Interpreter::adopt(std::int64_t t, pid_t child, pid_t parent)
{
	Process const *c = living(child);
	if (c == nullptr || c->ppid == parent)
		return;
	if (auto old = procs_.find(c->ppid); old != procs_.end())
		forget(old->second.children, child);
	table_.adopt(micros(t), child, parent);
	if (living(parent) != nullptr)
		procs_[parent].children.push_back(child);
}

/*
 * A thread of the process makes a system call: a fatal signal queued to it
 * before did not end it, as the kernel would have killed every thread at
 * once; it was blocked (for a signalfd, a sigwait) or caught.
 */
void
Interpreter::runs_on(pid_t tid)
{
	if (auto proc = procs_.find(process_of(tid)); proc != procs_.end())
		proc->second.fatal = 0;
}

/*
 * Where the kernel sends a dying process's orphans: to its nearest ancestor
 * that is a subreaper and not ending itself; above the job, to the shell
 * where it adopts them, else to observe, both subreapers.
 */
pid_t
Interpreter::reaper_for(pid_t dying) const
{
	for (Process const *p = living(dying); p != nullptr;) {
		Process const *up = living(p->ppid);
		auto proc = up != nullptr ? procs_.find(up->pid) : procs_.end();
		if (proc != procs_.end() && proc->second.subreaper && up->state != State::zombie)
			return up->pid;
		p = up;
	}
	return adopting_ ? table_.shell() : table_.observer();
}

/*
 * An orphan's new parent: a subreaper of the job, as the records tell; else
 * its parent as the machine says while it lives, which knows a pid
 * namespace's init, where the records do not; else observe or the shell.
 */
pid_t
Interpreter::new_parent(pid_t orphan, pid_t dying)
{
	pid_t reaper = reaper_for(dying);
	if (reaper != table_.shell() && reaper != table_.observer())
		return reaper;
	std::optional<pid_t> now = host_.parent_of(orphan);
	Process const *p = now ? living(*now) : nullptr;
	return p != nullptr && p->pid != dying && p->state != State::zombie ? p->pid : reaper;
}

void
Interpreter::handle(std::int64_t, kernel::Subreaper const &prctl)
{
	pid_t pid = process_of(prctl.pid);
	if (living(pid) != nullptr)
		procs_[pid].subreaper = prctl.on;
}

/*
 * The consequences of a process's end, which the kernel carries out in its
 * name once its exit record is out: its living children go to their new
 * parent; its zombie ones go each with its SIGCHLD, which names the parent.
 */
void
Interpreter::exit_done(std::int64_t t, pid_t pid)
{
	auto proc = procs_.find(pid);
	if (proc == procs_.end() || !proc->second.exiting)
		return;
	proc->second.exiting = false;
	std::vector<pid_t> children = proc->second.children;
	auto const &handing = proc->second.handing;
	for (pid_t child : children) {
		/* One a zombie when its parent ended goes with its SIGCHLD; one that became a zombie since, now. */
		if (living(child) == nullptr || std::find(handing.begin(), handing.end(), child) != handing.end())
			continue;
		adopt(t, child, new_parent(child, pid));
	}
}

/* It is gone, and its number free for another process. */
void
Interpreter::collected(std::int64_t t, pid_t pid, pid_t collector)
{
	exit_done(t, pid);
	if (Process const *p = living(pid))
		if (auto parent = procs_.find(p->ppid); parent != procs_.end())
			forget(parent->second.children, pid);
	if (auto proc = procs_.find(pid); proc != procs_.end()) {
		for (pid_t thread : proc->second.threads)
			table_.thread_gone(thread);
		procs_.erase(proc);
	}
	table_.gone(micros(t), pid, table_.tells(collector));
}

void
Interpreter::handle(std::int64_t t, kernel::Collected const &wait)
{
	if (wait.pid == 0) {
		unnamed_wait(t, process_of(wait.reaper));
		return;
	}
	Process const *p = living(wait.pid);
	if (!wait.ended || p == nullptr)
		return;
	pid_t collector = process_of(wait.reaper);
	if (auto proc = procs_.find(wait.pid); proc != procs_.end() && proc->second.tracer == collector && collector != p->ppid)
		return;	/* its tracer's wait: the parent collects it */
	exit_done(t, wait.pid);
	adopt(t, wait.pid, collector);
	collected(t, wait.pid, collector);
}

void
Interpreter::handle(std::int64_t, kernel::WaitidCalled const &call)
{
	in_waitid_[call.pid] = call;
	runs_on(call.pid);
}

/* A waitid that told of an end collected the zombie it names, or the first its caller may take. */
void
Interpreter::handle(std::int64_t t, kernel::WaitidReturned const &done)
{
	auto call = in_waitid_.find(done.pid);
	if (call == in_waitid_.end())
		return;
	kernel::WaitidCalled const args = call->second;
	in_waitid_.erase(call);
	if (done.result != 0 || (args.options & WNOWAIT) || !(args.options & WEXITED))
		return;
	pid_t collector = process_of(done.pid);
	auto proc = procs_.find(collector);
	if (proc == procs_.end())
		return;
	if (args.which == P_ALL || args.which == P_PID) {
		auto const &children = proc->second.children;
		auto found = std::find_if(children.begin(), children.end(), [&](pid_t child) {
			return zombie(child) && (args.which == P_ALL || child == args.id);
		});
		if (found != children.end())
			collected(t, *found, collector);
		return;
	}
	/* A group's members, or a pidfd's process, are not known here. */
	unnamed_wait(t, collector);
}

/* A wait that collected a child it does not name, or names by a number that is
 * no pid here: a zombie child alone is the one; among several, the one whose
 * freeing comes next was collected now; with none, it told of a stop. */
void
Interpreter::unnamed_wait(std::int64_t t, pid_t collector)
{
	auto proc = procs_.find(collector);
	if (proc == procs_.end())
		return;
	auto is_zombie = [&](pid_t child) { return zombie(child); };
	auto const &children = proc->second.children;
	auto zombies = std::count_if(children.begin(), children.end(), is_zombie);
	if (zombies == 1)
		collected(t, *std::find_if(children.begin(), children.end(), is_zombie), collector);
	else if (zombies > 1)
		proc->second.unnamed_waits.push_back(t);
}

void
Interpreter::handle(std::int64_t, kernel::Freed const &freed)
{
	/* A thread's number, or a process that nothing collected: its parent ignores SIGCHLD, and it went at its exit. */
	if (process_of(freed.pid) != freed.pid) {
		table_.thread_gone(freed.pid);
		return;
	}
	gone_unseen(freed.pid);
}

/* A zombie that no wait4 was seen to collect, and is gone: at its exit, or at a waitid that named no pid. */
void
Interpreter::gone_unseen(pid_t pid)
{
	Process const *p = living(pid);
	if (p == nullptr || p->state != State::zombie)
		return;
	auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.start().time_since_epoch()).count();
	std::int64_t at = start + p->since * 1000;
	if (auto parent = procs_.find(p->ppid); parent != procs_.end()) {
		auto &waits = parent->second.unnamed_waits;
		auto after = std::find_if(waits.begin(), waits.end(), [&](std::int64_t w) { return w >= at; });
		if (after != waits.end()) {
			at = *after;
			waits.erase(after);
		}
	}
	collected(at, pid, p->ppid);
}

void
Interpreter::handle(std::int64_t t, kernel::KillCalled const &call)
{
	Kill &kill = in_kill_[call.pid] = Kill{call.target, call.signal, t, false};
	runs_on(call.pid);
	pid_t from = process_of(call.pid);
	if (living(from) != nullptr || from == table_.shell() || from == table_.observer())
		tell_group_kill(call.pid, kill);
}

/* One kill to many, before its members' results: those of the job are told why they got it. */
void
Interpreter::tell_group_kill(pid_t tid, Kill &kill)
{
	if (kill.told || kill.target > 0 || kill.signal == 0)
		return;
	kill.told = true;
	pid_t from = process_of(tid);
	GroupSignal group{from, kill.signal, kill.target};
	if (from != tid)
		group.thread = tid;
	table_.group_signal(micros(kill.t), group);
}

void
Interpreter::handle(std::int64_t, kernel::KillReturned const &done)
{
	in_kill_.erase(done.pid);
}

/* Who sent it, or why the kernel did of its own accord: what the record's si_code and its context tell. */
Signal
Interpreter::classify(kernel::Generated const &sent, pid_t sender, pid_t target)
{
	Process const *t = table_.find(target);
	Signal signal{target, sent.signal, std::nullopt, SignalResult::queued, SignalCause::none, sent.code,
		      t != nullptr ? t->state : State::running};
	if (target != sent.target && !sent.group)
		signal.target_thread = sent.target;
	auto kill = in_kill_.find(sent.sender);
	bool killing = kill != in_kill_.end() && kill->second.signal == sent.signal;
	CodeMeaning const *meaning = code_meaning(sent.signal, sent.code);
	auto proc = procs_.find(sender);
	Process const *s = table_.find(sender);
	/* The kernel's SIGHUP and SIGCONT in the name of a process of the job that has ended. */
	bool orphaning = sent.code == SI_KERNEL && (sent.signal == SIGHUP || sent.signal == SIGCONT) && s != nullptr &&
			 s->state == State::zombie;

	/* The kernel's on the target's own system call (a write, an exec while traced): to that thread
	 * alone, where a process's kill or pidfd_send_signal with SI_USER is to a whole process. */
	if (sent.code == SI_USER && sender == target && !killing && !sent.group && s != nullptr) {
		signal.cause = meaning != nullptr ? meaning->cause : SignalCause::kernel;
	} else if (sent.code == SI_USER && !killing && s != nullptr && s->state == State::zombie && t != nullptr &&
		   t->ppid == sender) {
		/* No process sends once it has ended: the kernel does, in its name, to a child that asked
		 * for a signal at its parent's end (PR_SET_PDEATHSIG). */
		signal.cause = SignalCause::parent_ended;
		signal.because_of = sender;
	} else if (sent.code <= 0 && sent.code != SI_TIMER && (meaning == nullptr || sent.code == SI_USER)) {
		signal.from = sender;	/* kill(), tgkill(), sigqueue(): a process's own doing */
		if (sender != sent.sender)
			signal.thread = sent.sender;
		if (killing && sent.code == SI_USER && kill->second.target <= 0) {
			signal.group = kill->second.target;
			if (living(target) != nullptr)
				tell_group_kill(sent.sender, kill->second);
		}
	} else if (sent.signal == SIGCHLD && sent.code > 0) {
		signal.cause = SignalCause::child_changed_state;
		signal.because_of = sender;
		/* A tracer that waited for its tracee's end, or that ends itself, tells the tracee's parent. */
		for (auto &[pid, traced] : procs_) {
			Process const *c = living(pid);
			if (traced.tracer == sender && !traced.released && ends_a_child(sent.code) && c != nullptr &&
			    c->state == State::zombie && c->ppid == target) {
				traced.released = true;
				signal.because_of = pid;
				return signal;
			}
		}
		/* A dying parent's zombie children are handed over first, each with its own SIGCHLD to their
		 * new parent. One to another is its own: those left were gone at their exit, its SIGCHLD
		 * ignored or SA_NOCLDWAIT, and only their freeing is to come. */
		if (proc != procs_.end() && !proc->second.handing.empty() && target == reaper_for(sender)) {
			signal.because_of = proc->second.handing.front();
			proc->second.handing.pop_front();
		}
	} else if (orphaning) {
		signal.cause = SignalCause::orphaned_group;
		signal.because_of = sender;
	} else if (sent.code == SI_KERNEL && sent_by_terminals(sent.signal)) {
		signal.cause = SignalCause::terminal;
	} else if (meaning != nullptr) {
		signal.cause = meaning->cause;
	} else {
		signal.cause = SignalCause::kernel;
	}
	return signal;
}

void
Interpreter::handle(std::int64_t t, kernel::Generated const &sent)
{
	pid_t sender = process_of(sent.sender);
	pid_t target = process_of(sent.target);
	Process const *to = living(target);
	if (to == nullptr && living(sender) == nullptr)
		return;
	/* A stop for a tracer (CLD_TRAPPED) told to another than its parent: that one traces it. */
	if (Process const *s = living(sender); s != nullptr && sent.signal == SIGCHLD && sent.code == CLD_TRAPPED &&
	    s->ppid != target)
		procs_[sender].tracer = target;
	Signal signal = classify(sent, sender, target);
	if (signal.because_of && *signal.because_of != sender)
		adopt(t, *signal.because_of, target);	/* a zombie handed over: its SIGCHLD names its new parent */
	/* The dying process's first word after its exit record: its children have a new parent by now. */
	if ((sent.signal == SIGCHLD && ends_a_child(sent.code)) || signal.cause == SignalCause::orphaned_group)
		exit_done(t, sender);
	if (sent.signal == SIGCHLD && sent.code == CLD_DUMPED && signal.because_of)
		if (Process *child = table_.find(*signal.because_of); child != nullptr && child->zombie_status)
			*child->zombie_status |= 0x80;	/* WCOREDUMP */
	Proc *proc = to != nullptr ? &procs_[target] : nullptr;
	/* A fatal signal taken, or SIGKILL, ends it; one only queued may yet be caught, or wait blocked,
	 * and a signal ignored by default tells nothing of it. */
	signal.target_ending = proc != nullptr && (proc->killed || proc->dying != 0 ||
						   (proc->fatal != 0 && !ignored_by_default(sent.signal)));

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
	/* The kernel calls every SIGCONT ignored, as it is not queued; to a stopped
	 * process it resumes it, unless a SIGKILL has it ending already. */
	bool resumes = sent.signal == SIGCONT && to != nullptr && to->state == State::stopped && !proc->killed &&
		       proc->dying == 0;
	if (resumes)
		signal.result = SignalResult::resumed;
	/* Ignored, not by default nor by the ending: by its disposition, or the
	 * kernel spares a namespace's first process, whose record looks the same. */
	if (signal.result == SignalResult::ignored && to != nullptr && to->state != State::zombie &&
	    !signal.target_ending && sent.signal != SIGCONT && !ignored_by_default(sent.signal))
		signal.target_spared = host_.spared(target, sent.signal);

	table_.signal(micros(t), signal);
	if (proc == nullptr)
		return;
	if (sent.signal == SIGCONT && !proc->killed) {
		/* Any SIGCONT clears the stop signals still pending. */
		for (int stop : proc->pending_stops)
			table_.discard(micros(t), Discarded{target, stop, DiscardReason::flushed_by_sigcont});
		proc->pending_stops.clear();
		if (resumes)
			table_.change(micros(t), target, State::running);
	}
	if (signal.result != SignalResult::queued)
		return;
	if (is_stop(sent.signal))
		proc->pending_stops.insert(sent.signal);
	if (fatal_by_default(sent.signal)) {
		proc->fatal = sent.signal;
		proc->killed |= sent.signal == SIGKILL;
		host_.look(target);
	}
}

void
Interpreter::handle(std::int64_t t, kernel::Delivered const &taken)
{
	pid_t pid = process_of(taken.pid);
	if (living(pid) == nullptr)
		return;
	Proc &proc = procs_[pid];
	proc.pending_stops.erase(taken.signal);
	bool by_default = taken.handler == reinterpret_cast<unsigned long>(SIG_DFL);
	if (is_terminal_stop(taken.signal) && by_default)
		taken_stops_[pid] = {taken.signal, t};
	if (fatal_by_default(taken.signal) && by_default) {
		/* A fatal signal is taken as SIGKILL; the status names the one queued. */
		proc.dying = taken.signal == SIGKILL && proc.fatal != 0 ? proc.fatal : taken.signal;
	} else if (proc.fatal == taken.signal) {
		proc.fatal = 0;	/* caught, not fatal after all */
	}
}

} // namespace observe
