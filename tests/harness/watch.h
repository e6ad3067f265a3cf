#pragma once

/*
 * Watching a demonstration from outside while it runs: what a descriptor
 * delivers, each byte with the time it arrived, and the /proc state of the
 * processes of interest, sampled over time. Times are seconds from an
 * origin the watcher chooses, usually the moment the program was started.
 */

#include "process.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

/* Seconds from `origin` to `at`. */
double seconds_since(Clock::time_point origin, Clock::time_point at = Clock::now());

/* Text read from a non-blocking descriptor that the stream does not own. */
class Stream {
public:
	Stream(int fd, Clock::time_point origin) : fd_(fd), origin_(origin) {}

	/* Reads what the descriptor holds now; true once it is at end of file
	 * (or EIO, as a terminal gives once nothing holds its other side). */
	bool pump();

	std::string const &text() const { return text_; }
	std::vector<Chunk> const &chunks() const { return chunks_; }
	/* When the byte at `offset` of text() arrived. */
	double arrival_at(size_t offset) const;

private:
	int fd_;
	Clock::time_point origin_;
	bool ended_ = false;
	std::string text_;
	std::vector<Chunk> chunks_;
};

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
	/* When `pid` was first seen in one of `states` at or after `after`. */
	std::optional<double> first_in(pid_t, std::string_view states, double after = 0) const;

private:
	Clock::time_point origin_;
	std::map<pid_t, std::vector<Sample>> samples_;
};

/* How often the process has given up the processor of its own accord (to
 * sleep, say): it grows while a process loops over a pause, and not while
 * it is stopped, dead or blocked for good. Nothing once it is gone. */
std::optional<long> voluntary_switches(pid_t);

} // namespace harness
