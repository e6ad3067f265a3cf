#pragma once

/*
 * What the watcher sees happen to a job, in the order it saw it. Every
 * event carries its time in milliseconds from the start of the watch.
 */

#include <sys/types.h>

#include <string>
#include <vector>

namespace observe {

enum class Kind { spawn, state, adopted, exit, signaled, output, reply, eof, reset, end };

/* The states a living process is shown in; `ended` is past collection. */
enum class State { running, stopped, zombie, ended };

struct Event {
	long long t_ms = 0;
	Kind kind = Kind::spawn;
	pid_t pid = 0;
	pid_t ppid = 0;		/* spawn: the parent; adopted: the new parent */
	std::string name;	/* spawn: the program's file name */
	std::string place;	/* spawn: "program", "child 1", ... */
	State state = State::running;
	int status = 0;		/* exit: the exit status, -1 where nobody could tell */
	int signal = 0;		/* signaled: the signal that ended it */
	bool by_watcher = false;	/* signaled: ended by the watcher at the end */
	std::string text;	/* output, reply: the bytes; end: the reason */
	std::vector<pid_t> ended;	/* end: what the watcher had to end */
};

char const *kind_name(Kind);
char const *state_name(State);
/* "SIGHUP" for 1, or "signal 99" for a number without a name. */
std::string signal_name(int);

/* Where events go as they happen, and what is said once the watch is over. */
class Reporter {
public:
	virtual ~Reporter() = default;
	virtual void started(std::string const &program, pid_t leader, double limit_seconds) = 0;
	virtual void event(Event const &) = 0;
	virtual void finished() = 0;
};

} // namespace observe
