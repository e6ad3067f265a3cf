#pragma once

/*
 * What each process of the job holds in its stdout buffer: the bytes it has
 * written that stdio has not yet delivered, read from outside at every
 * sample and again just before the end (a signal, observe's own kill), so
 * that what a process loses when a signal ends it is what it held last.
 * A sample passes over a process that has not run since the last, and
 * samples come further apart while nobody runs. Where every signal to the
 * job is told (the kernel's trace), a process asleep in a call that only
 * its timer or a signal ends (sleep, nanosleep, pause) is not looked at
 * again before its time is up or a signal is sent to it: a job asleep for
 * seconds wakes observe once, not 25 times a second.
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
	/* From now on it is told of every signal sent to a process of the job, by stir(). */
	void follow_signals() { signals_followed_ = true; }
	/* A signal was sent to the process at `at`: it may wake. */
	void stir(pid_t, Clock::time_point at);
	/* The job wrote to its terminal: one of it ran, and may be asleep again
	 * already; a look now, where the last was a tick ago, spares a wake-up. */
	void spoke();

private:
	ProcessTable &table_;
	Stopwatch const &clock_;
	StdoutReader reader_;
	std::set<pid_t> read_;	/* pids the reader keeps something of */
	/* What each held at the last sample, told only once a second sample agrees. */
	std::map<pid_t, std::string> candidates_;
	/* A process that has not run since its buffer was read and told holds
	 * the same: its processor time, all its threads', says whether it ran. */
	struct Ran {
		/* It has run since it appeared, and perhaps not since. */
		Ran(pid_t pid, Clock::time_point appeared) : files(pid), looked(appeared) {}
		procfs::ProcessFiles files;
		long long running_ns = -1;
		long long first_running_ns = -1;	/* at the first look */
		bool told = false;
		Clock::time_point looked{};	/* the last look that read its processor time */
		Clock::time_point ran_after{};	/* it last ran after this look */
		/* Asleep till then, at least, unless a signal wakes it; its call is read once a sleep. */
		bool sleep_read = false;
		std::optional<Clock::time_point> asleep_until;

		/* Its sleep is to be read again at the next look. */
		void forget_sleep()
		{
			sleep_read = false;
			asleep_until.reset();
		}
	};
	std::map<pid_t, Ran> ran_;

	/* Whether it read the buffer: false for one that has not run since it was told. */
	bool look(pid_t, bool at_once);
	/* Reads its sleep; whether it is blocked in a call that only its timer or a signal ends. */
	bool read_sleep(pid_t, Ran &);
	Clock::time_point next_;
	Clock::time_point last_take_{};
	bool signals_followed_ = false;
	int quiet_looks_ = 0;	/* looks in a row that found nobody had run */
};

} // namespace observe
