#pragma once

/*
 * The kernel's own account of a job: its trace events, read from a
 * private tracefs instance, each with the exact time the kernel took it.
 *
 * Sampling /proc sees states, and only those that last past a sample; the
 * trace sees each step as it happens: a fork, an exec, a stop, a signal
 * made pending and its result, a signal acted on, an exit, a wait that
 * collected a process. Those are what tell why a process stopped, or why
 * a stop never came.
 *
 * The followed processes are a set of roots and all their descendants,
 * each added at its fork, in the order of the kernel's records, as the
 * kernel's own pid filter (set_event_pid with event-fork) would add it. A
 * signal is seen wherever it comes from, the kernel included, as long as
 * its sender or its target is followed; so is a wait that collected a
 * followed process, whoever waited.
 *
 * Times are CLOCK_MONOTONIC nanoseconds, those of std::chrono::steady_clock.
 * Process identifiers are those of the initial pid namespace.
 */

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct tep_event;

namespace observe::kernel {

/*
 * task_newtask: the thread `parent` (its process's main one, or another) made
 * `child`: a thread of its own process where clone_flags hold
 * CLONE_THREAD, else a process, its own parent's child with CLONE_PARENT.
 */
struct Forked {
	pid_t parent;
	pid_t child;
	std::uint64_t clone_flags = 0;
};

/* sched_process_exec: the process now runs this file. */
struct Executed {
	pid_t pid;
	std::string file;
};

/* sched_process_exit: the task ended; group_dead once the last of its thread group has. */
struct Exited {
	pid_t pid;
	bool group_dead;
};

/* sys_enter_exit_group (group) or sys_enter_exit: the thread asked to end with this code. */
struct ExitCalled {
	pid_t pid;
	int code;
	bool group;
};

/* sys_enter_kill: the thread sends `signal` to `target`, a process, or a group (0, -1, -PGID). */
struct KillCalled {
	pid_t pid;
	pid_t target;
	int signal;
};

/* sys_exit_kill: its kill is done; the signals it sent were generated in between. */
struct KillReturned {
	pid_t pid;
	long result;
};

/* sys_enter_waitid: the thread waits for a child: `which` P_ALL, P_PID, P_PGID or P_PIDFD, with `id`. */
struct WaitidCalled {
	pid_t pid;
	int which;
	int id;
	int options;
};

/* sys_exit_waitid: its waitid is done; 0 where it told of a child (but for WNOHANG with none). */
struct WaitidReturned {
	pid_t pid;
	long result;
};

/* sched_process_free: the last reference to the thread went, some time after it was collected
 * (a grace period): the one word of a collection no wait4 made (waitid, a parent that
 * ignores SIGCHLD). */
struct Freed {
	pid_t pid;
};

/* sys_enter_prctl with PR_SET_CHILD_SUBREAPER: orphans among the process's descendants come to it, or no longer. */
struct Subreaper {
	pid_t pid;
	bool on;
};

/* sched_switch away from a task put in the stopped state (__TASK_STOPPED). */
struct Stopped {
	pid_t pid;
};

/*
 * signal_generate: a signal was sent, by a process or by the kernel in
 * that process's stead (the sender is the task that was running). result
 * is the kernel's TRACE_SIGNAL_* value: 0 delivered (made pending), 1
 * ignored, 2 already pending, 3 overflow, 4 lose_info.
 */
struct Generated {
	pid_t sender;
	pid_t target;
	int signal;
	int code;	/* si_code: SI_USER 0, SI_KERNEL 0x80, CLD_* for SIGCHLD */
	int error;	/* si_errno */
	bool group;	/* sent to the whole thread group */
	int result;
};

/* signal_deliver: the target took the signal off its pending set to act on it. */
struct Delivered {
	pid_t pid;
	int signal;
	int code;
	unsigned long handler;	/* 0 SIG_DFL, 1 SIG_IGN, else the handler's address */
};

/*
 * sys_exit_wait4 that returned a pid. The kernel does not say what the
 * wait told: where the pid had exited (an Exited record came first) the
 * wait collected it, or told its tracer of its end; otherwise it told of a
 * stop or a continue, as a shell's waitpid with WUNTRACED or WCONTINUED does.
 */
struct Collected {
	pid_t reaper;
	pid_t pid;	/* 0: a child of the reaper, by its own pid namespace's number, which is no pid here */
	bool ended;	/* the pid had exited: this wait collected it, or was its tracer's */
};

struct Record {
	std::int64_t t_ns;
	std::variant<Forked, Executed, Exited, Stopped, Generated, Delivered, Collected, ExitCalled, KillCalled,
		     KillReturned, WaitidCalled, WaitidReturned, Freed, Subreaper>
		what;
};

/* The TRACE_SIGNAL_* results of signal_generate. */
enum SignalResult {
	signal_delivered = 0,
	signal_ignored = 1,
	signal_already_pending = 2,
	signal_overflow = 3,
	signal_lose_info = 4,
};

/*
 * Records the kernel dropped, its buffer full when it had them to write:
 * what happened between `from_ns` and `until_ns` (the last record read
 * before, the first after) may be missing.
 */
struct Loss {
	long long records;	/* at least: a page may say only that some were lost */
	std::int64_t from_ns;
	std::int64_t until_ns;
};

class Trace {
public:
	/*
	 * "" where the kernel trace can be used here, else why not, in words
	 * for a user: built without the libraries, not root, a nested pid
	 * namespace, tracefs not mounted and not mountable, or not writable.
	 * Mounts tracefs where it is not.
	 */
	static std::string unavailable();

	/*
	 * Starts following `roots` and every descendant, those alive now and
	 * those to come. Instances that an observe which is gone left behind
	 * are removed first. On failure returns nothing and says why.
	 */
	static std::unique_ptr<Trace> open(std::vector<pid_t> const &roots, std::string &why);

	~Trace();	/* removes the instance */
	Trace(Trace const &) = delete;
	Trace &operator=(Trace const &) = delete;

	/* One descriptor to poll: readable while records wait in the kernel. */
	int fd() const;

	/*
	 * Appends, without blocking and in time order across processors and
	 * takes, everything recorded before the call. What is recorded while
	 * it reads waits for the next take and keeps fd() readable. Only a
	 * record whose writing straddled the call (the kernel takes its time
	 * a moment before it is readable) may come a take late, out of order.
	 */
	void take(std::vector<Record> &out);

	/* How many records the kernel dropped because its buffer was full (at least). */
	long long lost() const;
	/* The losses found since the last call, each once, oldest first. */
	std::vector<Loss> losses();

	/*
	 * Another reader's event, recorded from everyone in the instance
	 * without a pid filter (with `filter`, where not NULL), and handed to
	 * `receiver` as each is read, in a take: an instance fewer to set up
	 * and remove is some 60 ms less of a watch. Until stop_sharing().
	 */
	using Receiver = std::function<void(tep_event *, void *data, int size, std::int64_t t_ns)>;
	bool share(char const *system, char const *name, char const *filter, Receiver, std::string &why);
	void stop_sharing();

	struct State;

private:
	explicit Trace(std::unique_ptr<State>);
	std::unique_ptr<State> state_;
};

/* The name of this process's tracefs instance, "observe-PID" (earlier builds added others, "observe-PID-..."). */
std::string instance_name();

} // namespace observe::kernel
