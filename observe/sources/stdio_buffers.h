#pragma once

/*
 * What each process of the job holds in its stdout buffer: the bytes it has
 * written that stdio has not yet delivered, read from outside at every
 * sample and again just before the end (a signal, observe's own kill), so
 * that what a process loses when a signal ends it is what it held last.
 * A sample passes over a process that has not run since the last, and
 * samples come further apart while nobody runs.
 */

#include "source.h"
#include "stdio/stdout_buffer.h"
#include "procfs.h"
#include "table.h"

#include <map>
#include <set>

namespace observe {

class StdioBuffers : public Source {
public:
	StdioBuffers(ProcessTable &table, Stopwatch const &clock);
	std::optional<Clock::time_point> due() const override { return next_; }
	void take() override;
	/* Reads one process's buffer now, and tells what it holds at once. */
	void look(pid_t pid) { look(pid, true); }

private:
	ProcessTable &table_;
	Stopwatch const &clock_;
	StdoutReader reader_;
	std::set<pid_t> read_;	/* pids the reader keeps something of */
	/* What each held at the last sample, told only once a second sample agrees. */
	std::map<pid_t, std::string> candidates_;
	/* A process that has not run since its buffer was read and told holds
	 * the same: its processor time says whether it ran. */
	struct Ran {
		procfs::ProcessFiles files;
		long long running_ns = -1;
		long long first_running_ns = -1;	/* at the first look */
		bool told = false;
	};
	std::map<pid_t, Ran> ran_;

	/* Whether it read the buffer: false for one that has not run since it was told. */
	bool look(pid_t, bool at_once);
	Clock::time_point next_;
	int quiet_looks_ = 0;	/* looks in a row that found nobody had run */
};

} // namespace observe
