#pragma once

/*
 * The watch: runs a program as the foreground job of a fresh terminal
 * session, follows its processes through the sources until they have all
 * ended, the time limit (if any) has come or the person has ended it, then ends what
 * is left, collects everything and reports it all in time order.
 *
 * observe's main must first have made it a child subreaper, so that the
 * job's orphans come to it, and blocked the signals it reads from
 * descriptors (sources/signals.h).
 */

#include "report/reporter.h"
#include "screen.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace observe {

/* Where the process events come from: the kernel's trace where it can be
 * used, else /proc; or the one asked for. */
enum class SourceChoice { automatic, kernel, proc };

struct WatchOptions {
	std::vector<std::string> argv;	/* argv[0] is the program's path */
	double limit_seconds = 0;	/* 0: none */
	std::optional<std::string> send;	/* be the server's client with this text */
	SourceChoice source = SourceChoice::automatic;
	std::vector<int> ignored_signals;	/* the job starts with these ignored */
	bool adopting = false;		/* the job's shell adopts its orphans */
	/* The user the job runs as, where observe is root only to trace it. */
	std::optional<uid_t> uid;
	gid_t gid = 0;
	/* observe's terminal, whose size the job's terminal follows. */
	Screen *screen = nullptr;
};

struct Outcome {
	EndReason reason;		/* as the End event gives it */
	/* The program's wait status, where it ended before observe ended it. */
	std::optional<int> program_status;
	std::optional<int> interrupt;	/* the signal that ended the watch */
};

/* Runs the whole watch. Returns nothing, with the reason, where the job
 * could not be started; `exec_error` is then the errno of a failed exec, or 0. */
std::optional<Outcome> watch(WatchOptions const &, Reporter &, std::string &error, int &exec_error);

} // namespace observe
