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

/* One event as one JSON object, without a newline. */
std::string json_event(Event const &);

class JsonReporter : public Reporter {
public:
	explicit JsonReporter(FILE *out) : out_(out) {}
	void report(Event const &, ProcessTable const &) override;
	void flush() override { fflush(out_); }

private:
	FILE *out_;
};

} // namespace observe
