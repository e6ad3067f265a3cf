#pragma once

/*
 * The kernel's account of a job made into its processes and their events:
 * the records of its trace in, in time order; the table's changes out. No
 * tracefs here: the records may come from a live trace or from lines of
 * text recorded from one, and the rules are the same.
 *
 * What the records mean is not always what they say (measured on 6.18):
 *   - Records name threads, by their tid: a process's main thread has its
 *     pid, and one made with CLONE_THREAD is its creator's process's. A
 *     process ends when its last thread does, which need not be its main one.
 *   - An exit's record comes first; its consequences come some hundred
 *     microseconds later, in the dying process's name: its zombie children
 *     handed to their new parent, each with a SIGCHLD, in the order they
 *     became its children; the check for an orphaned group; then its own
 *     SIGCHLD to its parent. A group is orphaned from the kernel's
 *     SIGHUP/SIGCONT, or, where no member is stopped and there are none,
 *     from the dying leader's SIGCHLD to its parent.
 *   - A SIGCONT is reported ignored even when it resumes a stopped process;
 *     after a SIGKILL it is dropped, the group already exiting.
 *   - A stop signal still pending when a SIGCONT comes is cleared by it and
 *     never delivered; a terminal stop delivered in an orphaned group is
 *     delivered all the same, and then nothing: no stop follows.
 *   - A fatal signal is delivered as SIGKILL; the wait status says which
 *     signal it was. The status of an exit is the code of the first
 *     exit_group, else the main thread's exit's.
 *   - Signals the kernel raises in a thread's stead carry that thread's
 *     tid, or any at all (a timer's, from an interrupt): the si_code, and
 *     whether the thread was in kill(), tell whose they are.
 *   - A process traced by another than its parent tells its tracer of
 *     its end; the tracer's wait4 returns it but does not collect it: it
 *     tells the parent, with a SIGCHLD in the tracer's name.
 *   - A wait4 names what it collected; a waitid does not, but its
 *     arguments do, or the first zombie child it may take (the kernel
 *     looks through a parent's children in order). A parent that ignores
 *     SIGCHLD collects nothing: its children go at their exit, which only
 *     its freeing, a grace period later, confirms.
 */

#include "kernel/trace.h"
#include "table.h"

#include <deque>
#include <map>
#include <set>
#include <unordered_map>

namespace observe {

/*
 * What the interpreter may ask of the machine beside the records. None of
 * it is needed for a true account; each is a look while a process can
 * still be read, and does nothing where none can be.
 */
class Host {
public:
	virtual ~Host() = default;
	/* A process that a fatal signal is about to end; a new child, that may still hold its parent's buffer. */
	virtual void look(pid_t) {}
	/* The parent a process has now (an orphan's new one). */
	virtual std::optional<pid_t> parent_of(pid_t) { return std::nullopt; }
	/* Whether a signal it did not take was spared it as the first process
	 * of a pid namespace of its own, rather than ignored by its disposition. */
	virtual bool spared(pid_t, int /* signal */) { return false; }
};

class Interpreter {
public:
	Interpreter(ProcessTable &table, Host &host, Stopwatch const &clock) : table_(table), host_(host), clock_(clock) {}

	/* The job, once it is started: its program and how it was started. */
	void set_job(pid_t leader, std::string name, bool adopting);
	/* One record, each after those before it in time. */
	void take(kernel::Record const &);
	/* What no record will say, by the kernel's time `now_ns`: a terminal stop taken and never followed by its stop. */
	void settle(std::int64_t now_ns);
	/* When settle() next has something to do. */
	std::optional<std::int64_t> due() const;

private:
	/* A process of the job, as only the records tell it. */
	struct Proc {
		std::vector<pid_t> children;	/* not yet collected, in the order they became its */
		std::vector<pid_t> threads;	/* its threads beside the main one */
		std::optional<int> status;	/* its group's exit: exit_group's code, or a fatal signal */
		std::optional<int> own_exit;	/* its main thread's exit code */
		int fatal = 0;	/* the last fatal signal queued to it, which it may yet catch */
		int dying = 0;	/* the fatal signal it took */
		bool killed = false;	/* SIGKILL queued: it is ending, whatever comes */
		bool exiting = false;	/* its end's consequences have not all come */
		bool subreaper = false;	/* orphans among its descendants come to it */
		pid_t tracer = 0;	/* the ptrace tracer told of its stops and its end, where not its parent */
		bool released = false;	/* its tracer has waited for its end: its parent is told, and collects it */
		std::deque<pid_t> handing;	/* zombie children its end hands over, each with a SIGCHLD */
		std::set<int> pending_stops;	/* stop signals sent, not yet taken, which a SIGCONT clears */
		std::deque<std::int64_t> unnamed_waits;	/* its waits that collected one of several zombies, not said which */
	};
	struct Kill {
		pid_t target;
		int signal;
		std::int64_t t;
		bool told;	/* its GroupSignal is out: at once for the job's, at its first member of the job for anyone else's */
	};

	ProcessTable &table_;
	Host &host_;
	Stopwatch const &clock_;
	pid_t leader_ = -1;
	std::string name_;
	bool adopting_ = false;
	std::unordered_map<pid_t, Proc> procs_;
	std::unordered_map<pid_t, Kill> in_kill_;	/* threads inside kill(), by tid */
	std::unordered_map<pid_t, kernel::WaitidCalled> in_waitid_;	/* threads inside waitid(), by tid */
	/* Terminal stops taken, each waiting for its stop, by when it was taken. */
	std::map<pid_t, std::pair<int, std::int64_t>> taken_stops_;

	Micros micros(std::int64_t t_ns) const;
	pid_t process_of(pid_t tid) const;
	/* The job's living process with this pid, or none: an ended one's pid may be another's now. */
	Process const *living(pid_t pid) const;
	/* The job's living process with this pid is a zombie: ended, not yet collected. */
	bool zombie(pid_t pid) const;
	void handle(std::int64_t t, kernel::Forked const &);
	void handle(std::int64_t t, kernel::Executed const &);
	void handle(std::int64_t t, kernel::Exited const &);
	void handle(std::int64_t t, kernel::Stopped const &);
	void handle(std::int64_t t, kernel::Generated const &);
	void handle(std::int64_t t, kernel::Delivered const &);
	void handle(std::int64_t t, kernel::Collected const &);
	void handle(std::int64_t t, kernel::ExitCalled const &);
	void handle(std::int64_t t, kernel::KillCalled const &);
	void handle(std::int64_t t, kernel::KillReturned const &);
	void handle(std::int64_t t, kernel::WaitidCalled const &);
	void handle(std::int64_t t, kernel::WaitidReturned const &);
	void handle(std::int64_t t, kernel::Freed const &);
	void handle(std::int64_t t, kernel::Subreaper const &);
	void unnamed_wait(std::int64_t t, pid_t collector);
	void adopt(std::int64_t t, pid_t child, pid_t parent);
	pid_t reaper_for(pid_t dying) const;
	void runs_on(pid_t tid);
	pid_t new_parent(pid_t orphan, pid_t dying);
	void exit_done(std::int64_t t, pid_t pid);
	void collected(std::int64_t t, pid_t pid, pid_t collector);
	void gone_unseen(pid_t pid);
	Signal classify(kernel::Generated const &, pid_t sender, pid_t target);
	void tell_group_kill(pid_t tid, Kill &);
};

} // namespace observe
