#pragma once

/*
 * JSON lines, for scripts: one object per event, each with its time
 * (t_ms, and t_us in microseconds) and its kind.
 */

#include "json_string.h"
#include "reporter.h"

#include <cstdio>
#include <string>

namespace observe {

/* The recording format's version, in the start event: a replay reads its
 * own and refuses any other. Kinds and fields are described in the README. */
constexpr int recording_version = 1;

/* One event as one JSON object, without a newline. The start event names
 * observe's and the shell's pids where it knows them, as a replay needs. */
std::string json_event(Event const &);

class JsonReporter : public Reporter {
public:
	explicit JsonReporter(FILE *out) : out_(out) {}
	void report(Event const &) override;
	void flush() override { fflush(out_); }

private:
	FILE *out_;
};

} // namespace observe
