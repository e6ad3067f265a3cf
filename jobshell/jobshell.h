#pragma once

/*
 * A program run as the foreground job of an interactive shell, built the
 * way a shell builds it: a small shell process starts a new session, makes
 * a fresh pseudo-terminal its controlling terminal, starts the program in a
 * process group of its own, hands that group the terminal and waits for it
 * with WUNTRACED, staying alive afterwards.
 *
 * Only in that setting do the job-control signals behave as they do for a
 * person at a terminal: a program started directly as a session leader is
 * in an orphaned process group from the start, and the kernel discards the
 * terminal stop signals sent to its members.
 *
 * The shell reports each process it collects (stopped, continued, ended)
 * over a pipe, so the starter learns the job's exit status although the
 * shell, not the starter, is its parent.
 */

#include <sys/ioctl.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace jobshell {

struct Options {
	std::vector<std::string> argv;	/* argv[0] is a path, or a name looked up in PATH */
	/* The shell is a child subreaper: orphans of the job are adopted inside the
	 * session, so the job's process group never becomes orphaned. */
	bool adopting = false;
	/* Signals the job starts with ignored. */
	std::vector<int> ignored_signals;
	/* Turn off output processing, so the terminal delivers the bytes as written. */
	bool raw_output = false;
	/* The user the job and its shell run as, with that user's groups, where
	 * the starter is root only to watch it. The job then has the user's
	 * HOME, USER, LOGNAME and SHELL, as login gives them; the rest of its
	 * environment is the starter's. */
	std::optional<uid_t> uid;
	gid_t gid = 0;
	/* The terminal's size, in rows and columns. */
	winsize size{24, 80, 0, 0};
	/* The shell's name in ps, so that it does not pass for its starter. */
	std::string shell_name = "jobshell";
};

struct Job {
	pid_t shell = -1;	/* session leader; also the session id */
	pid_t leader = -1;	/* the program; also its process group id */
	int terminal = -1;	/* master side of the pseudo-terminal, non-blocking */
	int reports = -1;	/* the shell's reports, non-blocking */
};

/* One process collected by the shell: its wait status as waitpid gave it. */
struct Report {
	pid_t pid;
	int status;
};

/* A new pseudo-terminal: the master side, close-on-exec and nobody's
 * controlling terminal, and the path of the slave side. */
struct Terminal {
	int master;
	std::string slave;
};
std::optional<Terminal> open_terminal(std::string &error);

/* Default dispositions for every signal but `ignored`, and none blocked:
 * how a program expects to start, whatever its starter had set. */
void reset_signals(std::vector<int> const &ignored);

/* Runs argv (argv[0] a path, or a name looked up in PATH) in place of this
 * process; returns only on failure, with errno set. */
void exec_program(std::vector<std::string> const &argv);

/* Starts the job. On failure returns nothing, says why in `error`, and
 * leaves no process behind; where the exec itself failed, `exec_error`
 * (if given) is its errno. */
std::optional<Job> start(Options const &, std::string &error, int *exec_error = nullptr);

/* Has the shell continue a job that has stopped, in the terminal's
 * foreground again, as a shell's fg does. */
void continue_job(Job const &);

/* The reports that have arrived, without blocking. */
std::vector<Report> read_reports(Job const &);

/* Kills the job's process group and the shell, and closes the job's
 * descriptors. The caller reaps the shell, its child. */
void kill_job(Job &);

/* Closes the job's descriptors, once its processes are gone. */
void release(Job &);

} // namespace jobshell
