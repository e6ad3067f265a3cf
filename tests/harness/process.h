#pragma once

/*
 * Starting a demonstration program the way a test needs it: in a process
 * group of its own, its standard output on a pipe or a pseudo-terminal,
 * everything it writes collected with the time it arrived, and the whole
 * group ended and reaped when the test lets go of it, pass or fail.
 */

#include "procfs.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Output { pipe, terminal };

struct Chunk {
	Clock::time_point at;
	std::string bytes;
};

/* Seconds from `origin` to `at`. */
double seconds_since(Clock::time_point origin, Clock::time_point at = Clock::now());

/* Text read from a non-blocking descriptor that the stream does not own,
 * each piece kept with the time it arrived. */
class Stream {
public:
	Stream() = default;
	Stream(int fd, Clock::time_point origin) : fd_(fd), origin_(origin) {}

	/* Reads what the descriptor holds now; true once it is at end of file
	 * (or EIO, as a terminal gives once nothing holds its other side). */
	bool pump();

	std::string const &text() const { return text_; }
	/* Reads until `wanted` has come, or for `timeout`; whether it came. */
	bool shows(std::string const &wanted, std::chrono::milliseconds timeout);
	/* Seconds from the origin to the arrival of the byte at `offset` of text(), or -1. */
	double arrival_at(size_t offset) const;

private:
	int fd_ = -1;
	Clock::time_point origin_;
	bool ended_ = false;
	std::string text_;
	std::vector<Chunk> chunks_;
};

struct Launch {
	std::vector<std::string> argv;
	Output output = Output::pipe;
	/* Standard output goes to this file instead of being collected, when set. */
	std::string output_file;
};

class Child {
public:
	explicit Child(Launch const &);
	~Child();
	Child(Child const &) = delete;
	Child &operator=(Child const &) = delete;

	pid_t pid() const { return pid_; }
	Clock::time_point started() const { return started_; }

	/* Reads whatever the program's outputs hold right now, without blocking. */
	void pump();
	/* Reads until end of file on standard output or the deadline; true at end of file. */
	bool drain(milliseconds timeout);

	std::string const &out() const { return out_.text(); }
	std::string const &err() const { return err_.text(); }
	/* Standard output, with the arrival time of each piece, from the start. */
	Stream const &output() const { return out_; }

	/* Waits for the program itself to end, collecting output meanwhile. */
	bool wait_exit(milliseconds timeout);
	bool ended() const { return reaped_; }
	bool exited() const;
	int exit_status() const;
	bool signaled() const;
	int term_signal() const;
	std::string describe_status() const;

	/* Ends the program's process group and reaps the program. */
	void end();

private:
	pid_t pid_ = -1;
	Clock::time_point started_;
	int out_fd_ = -1;
	int err_fd_ = -1;
	bool reaped_ = false;
	int status_ = 0;
	Stream out_;
	Stream err_;
};

/* Polls `condition` every `step` until it holds or `timeout` passes. */
bool wait_until(std::function<bool()> const &condition, milliseconds timeout, milliseconds step = milliseconds(10));

using ProcStat = procfs::Stat;

/* The process's line of /proc/PID/stat, or nothing once it is gone. */
inline std::optional<ProcStat>
proc_stat(pid_t pid)
{
	return procfs::read_stat(pid);
}
/* The state letter, or 0 once the process is gone (reaped). */
char proc_state(pid_t);
/* observe's trace instance is removed after observe, by a keeper of its
 * own: waits for every keeper descended from this process to end, and
 * collects those it has adopted. */
void await_trace_keepers(milliseconds timeout = milliseconds(5000));
/* Kills and reaps every process descended from this one. This process is a
 * child subreaper, so orphans of the programs under test end up here too. */
void end_all_descendants();

/* The path of a built program, by name. */
std::string program(std::string const &name);

/* A file of its own under /tmp, removed when it goes. */
class TempFile {
public:
	explicit TempFile(std::string const &contents = "", bool executable = false);
	~TempFile();
	TempFile(TempFile const &) = delete;
	TempFile &operator=(TempFile const &) = delete;

	std::string const &path() const { return path_; }
	std::string text() const;

private:
	std::string path_;
};

/* Arguments that run `argv` under strace, its calls in `trace` logged to `log`. */
std::vector<std::string> traced(std::string const &trace, std::vector<std::string> argv, std::string const &log);
/* Arguments that run `argv` under strace with one fault injected; `trace`
 * must name the injected call, or nothing is injected. The traced calls of
 * the program itself (not of its children) are logged to `log`. */
std::vector<std::string> with_fault(std::string const &trace, std::string const &inject,
				    std::vector<std::string> argv, std::string const &log = "/dev/null");
/* Arguments that run `argv` as the first process of a private pid namespace,
 * so that nothing it does can reach a process outside; not being root, in a
 * user namespace of its own too, where it is root. REQUIRE_PID_NAMESPACE()
 * skips a test where neither can be had. */
std::vector<std::string> in_pid_namespace(std::vector<std::string> argv);

} // namespace harness
