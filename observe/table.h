#pragma once

/*
 * The job's processes as they are now: the one place that knows each
 * one's place in the job, its parent, its state, how it ended, and the
 * process descriptor that lets observe signal it safely. Sources tell the
 * table what they saw; the table turns each real change into an event, so
 * two sources seeing the same thing make one event. Reporters never read
 * it: each event carries what they need.
 */

#include "events.h"
#include "forgetting.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace observe {

/* Events waiting to be reported, in time order. A source that sees late
 * what happened earlier (a sample, a pipe) gets its events in place, so
 * they are held back a little before they are released. */
class EventQueue {
public:
	void push(Micros t, What what);
	/* The events up to `until`, oldest first. */
	std::vector<Event> release(Micros until);

private:
	std::deque<Event> waiting_;
};

struct Process {
	pid_t pid;
	/* How many processes of the watch held this pid before it: a pid the
	 * kernel gives again is another process. */
	unsigned generation = 0;
	pid_t ppid;
	std::string name;
	Place place;
	State state;
	Micros appeared;
	Micros since;	/* when its present state began */
	int children = 0;			/* numbered in the order they appear */
	std::optional<int> zombie_status;	/* the wait status its parent will get */
	std::optional<Micros> gone_at;		/* seen collected; its status may still come */
	std::optional<Micros> ended_at;		/* collected, and its end reported */
	std::optional<int> wait_status;
	std::optional<int> told_status;		/* its collector's word, come before the kernel's record of the collection */
	bool killed = false;		/* observe has sent it SIGKILL */
	/* What its stdout buffer held at the last look; none before one, or where it cannot be read. */
	std::optional<std::string> held;
	bool unreadable = false;
	/* Held from the first sight to the collection, so that a signal can
	 * never reach another process that came to use the same pid. */
	int pidfd = -1;
	std::uint64_t serial = 0;	/* its place in the order of appearance */

	bool ended() const { return ended_at.has_value(); }
	/* Its end was observe's own SIGKILL. */
	bool ended_by_observe() const;
};

class ProcessTable {
public:
	ProcessTable(EventQueue &events, pid_t observer) : events_(events), observer_(observer) {}
	~ProcessTable();
	ProcessTable(ProcessTable const &) = delete;
	ProcessTable &operator=(ProcessTable const &) = delete;

	/* The shell that leads the job's session: not of the job, but its parent. */
	void set_shell(pid_t shell) { shell_ = shell; }
	pid_t shell() const { return shell_; }
	pid_t observer() const { return observer_; }
	/* The shell and observe tell how what they collect ended; any other collector tells nobody. */
	bool tells(pid_t collector) const { return collector == shell_ || collector == observer_; }

	/* The process that holds the pid now, or held it last; in constant time. */
	Process *find(pid_t);
	Process const *find(pid_t) const;
	/* The one of that generation, where the table still keeps it. */
	Process const *find(pid_t, unsigned generation) const;
	/* The process a thread is of, by its tid: the tid itself where it is no
	 * thread the trace has shown. The kernel's records name threads; a job's are its processes'. */
	pid_t process_of(pid_t tid) const
	{
		auto thread = threads_.find(tid);
		return thread == threads_.end() ? tid : thread->second;
	}
	void thread(pid_t tid, pid_t process) { threads_[tid] = process; }
	void thread_gone(pid_t tid) { threads_.erase(tid); }
	/* The kernel's records say when each process is collected, and with what
	 * status: a collector's word only confirms it, and never ends it sooner. */
	void set_exact_collections() { exact_ = true; }
	bool exact_collections() const { return exact_; }
	/*
	 * The processes kept, in the order they appeared: every one not yet
	 * collected, the program, and the last of those collected; past
	 * `kept_ended` of these the oldest are forgotten, so that a watch of
	 * any number of processes keeps bounded memory.
	 */
	std::deque<Process> const &all() const { return processes_; }
	/* How many collected processes were forgotten. */
	std::size_t forgotten() const { return forgetting_.forgotten(); }
	/* The processes not yet collected, in the order they appeared. */
	std::vector<pid_t> living() const;
	/* The same, as the processes themselves: a walk that costs what is alive, not what was. */
	class Alive;
	Alive alive() const;
	bool all_ended() const { return living_.empty(); }
	/* The collected processes kept, besides the program. */
	static constexpr std::size_t kept_ended = Forgetting::kept_ended;

	/* A new process of the job. The first is the program; one whose parent is
	 * of the job is that parent's next child; one whose parent is the shell,
	 * the program's sibling (made for it, CLONE_PARENT); any other is an orphan. */
	Process &appear(Micros t, pid_t pid, pid_t ppid, std::string name, State state);
	void change(Micros t, pid_t pid, State state);
	void exec(Micros t, pid_t pid, std::string file);
	/* A signal sent to a process of the job, or by one. */
	void signal(Micros t, Signal const &);
	void group_signal(Micros t, GroupSignal const &);
	void discard(Micros t, Discarded const &);
	void adopt(Micros t, pid_t pid, pid_t parent);
	/* It is gone: collected at `t`. Where its collector will tell its wait
	 * status (the shell, observe), that word ends it; else it ends now with
	 * what was seen while it was a zombie, or with no status at all. */
	void gone(Micros t, pid_t pid, bool status_coming);
	/* A collector's word: it collected the process, which ended so. */
	void told(Micros t, pid_t pid, int wait_status);
	/* Ends, status unknown, what has waited too long for its collector's word. */
	void expire(Micros now, Micros grace);
	/* What its stdout buffer holds now; `inherited` where it is the copy of
	 * its parent's that a child begins with. */
	void hold(Micros t, pid_t pid, std::string bytes, bool inherited);
	void unreadable(Micros t, pid_t pid, std::string why);
	/* The kernel holds it no more: collected, though perhaps unseen (a
	 * waitid, an ignored SIGCHLD). Asked of its process descriptor, so a
	 * new process given its pid does not answer for it. */
	bool reaped(pid_t pid) const;
	/* Ends it with SIGKILL, through its process descriptor; false where it
	 * could not be sent (it is already gone). */
	bool kill(pid_t pid);

private:
	EventQueue &events_;
	pid_t observer_;
	pid_t shell_ = -1;
	bool exact_ = false;
	std::unordered_map<pid_t, pid_t> threads_;	/* a thread's tid, to its process */
	std::deque<std::pair<Micros, pid_t>> told_at_;	/* told of before the kernel's record, in order */
	/* Stable addresses as it grows; a forgetting moves them, in appear() alone. */
	std::deque<Process> processes_;
	/* Each pid's current generation, kept for the whole watch. */
	std::unordered_map<pid_t, unsigned> generations_;
	/* The processes kept, by pid and generation. */
	std::unordered_map<std::uint64_t, Process *> kept_;
	/* The processes not yet collected, by the order they appeared. */
	std::map<std::uint64_t, Process *> living_;
	std::uint64_t appeared_ = 0;
	Forgetting forgetting_;

	void end(Process &, Micros t, std::optional<int> wait_status);
	void index();
};

/* The processes not yet collected, walked in place (clang 14 cannot take libstdc++'s views of a map). */
class ProcessTable::Alive {
public:
	using Map = std::map<std::uint64_t, Process *>;
	struct iterator {
		Map::const_iterator at;
		Process const *operator*() const { return at->second; }
		iterator &operator++()
		{
			++at;
			return *this;
		}
		bool operator==(iterator const &) const = default;
	};
	explicit Alive(Map const &living) : living_(living) {}
	iterator begin() const { return {living_.begin()}; }
	iterator end() const { return {living_.end()}; }

private:
	Map const &living_;
};

inline ProcessTable::Alive
ProcessTable::alive() const
{
	return Alive(living_);
}

} // namespace observe
