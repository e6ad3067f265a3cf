#pragma once

/*
 * What /proc tells about a process: its state letter, its parent, its
 * group and session, its processor time, and once it has ended but is not
 * yet collected, the wait status its parent will be given.
 */

#include <sys/types.h>

#include <optional>
#include <vector>

namespace procfs {

struct Stat {
	char state;		/* R, S, D, I running or sleeping; T, t stopped; Z zombie */
	pid_t ppid;
	pid_t pgrp;
	pid_t session;
	long long cpu_ticks;	/* user and system time, in clock ticks */
	int exit_code;		/* wait status, meaningful for a zombie */
};

/* The process's /proc/PID/stat, or nothing once it is gone (collected). */
std::optional<Stat> read_stat(pid_t);

/* The children of a single-threaded process, from /proc/PID/task/PID/children. */
std::vector<pid_t> children(pid_t);

} // namespace procfs
