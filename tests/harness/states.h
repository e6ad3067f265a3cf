#pragma once

/*
 * Watching a demonstration from outside while it runs: the /proc state of
 * the processes of interest, sampled over time. Times are seconds from an
 * origin the watcher chooses, usually the moment the program was started.
 */

#include "process.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

/* Process states (the letter of /proc/PID/stat, 0 once the process is gone)
 * sampled over time. */
class StateLog {
public:
	struct Sample {
		double at;
		char state;
	};

	explicit StateLog(Clock::time_point origin) : origin_(origin) {}

	void sample(pid_t);
	std::vector<Sample> const &of(pid_t) const;
	/* The samples of `pid` taken between `from` and `to`, both included. */
	std::vector<Sample> between(pid_t, double from, double to) const;

private:
	Clock::time_point origin_;
	std::map<pid_t, std::vector<Sample>> samples_;
};

/* How often the process has given up the processor of its own accord (to
 * sleep, say): it grows while a process loops over a pause, and not while
 * it is stopped, dead or blocked for good. Nothing once it is gone. */
std::optional<long> voluntary_switches(pid_t);

} // namespace harness
