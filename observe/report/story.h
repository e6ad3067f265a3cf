#pragma once

/*
 * The job's processes as the reporters know them: told by the events alone,
 * as they are reported, so that a watch shown live and the same watch
 * replayed from its recording name and draw each process alike. Each
 * process's name, place and parent, its states and what it went through,
 * and how it ended; observe's and the shell's pids from the first event.
 */

#include "events.h"
#include "forgetting.h"

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace observe {

struct Told {
	pid_t pid;
	pid_t ppid;
	std::string name;	/* its command as of the last event: an exec changes it */
	Place place;
	State state = State::running;
	/* Every state from the first, and when it began. */
	std::vector<std::pair<Micros, State>> history;
	/* Each adoption, and by whom. */
	std::vector<std::pair<Micros, pid_t>> adoptions;
	/* Each signal sent to it, and when; SIGCHLD aside, which is its child's doing. */
	std::vector<std::pair<Micros, int>> signals;
	std::optional<Micros> ended_at;
	std::optional<int> wait_status;
	bool by_observe = false;
	std::optional<std::string> lost;	/* what its buffer held where a signal ended it */
	bool first = false;	/* the program */

	bool ended() const { return ended_at.has_value(); }
};

class Story {
public:
	void take(Event const &);

	pid_t observer() const { return observer_; }
	pid_t shell() const { return shell_; }
	/* The process that holds the pid, or held it last, where it is still kept. */
	Told const *find(pid_t) const;
	/*
	 * The processes in the order they appeared: every one not yet collected,
	 * the program, and the last of those collected, as Forgetting keeps
	 * them and as the process table does.
	 */
	std::deque<Told> const &all() const { return processes_; }
	std::size_t forgotten() const { return forgetting_.forgotten(); }
	/* How many not yet collected are running now (not stopped, not zombies). */
	std::size_t running() const { return running_; }

private:
	pid_t observer_ = -1;
	pid_t shell_ = -1;
	/* Stable addresses as it grows; a forgetting moves them, in spawn() alone. */
	std::deque<Told> processes_;
	std::unordered_map<pid_t, Told *> latest_;
	Forgetting forgetting_;
	std::size_t running_ = 0;

	Told *latest(pid_t);
	void spawn(Micros t, Spawn const &);
	void end(Told &, Micros t);
	void change(Told &, State);
};

} // namespace observe
