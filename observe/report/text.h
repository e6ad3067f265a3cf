#pragma once

/*
 * The live report, for a person: a line for each event as it happens, its
 * time in seconds from the start, what the terminal receives shown a line
 * at a time.
 */

#include "reporter.h"

#include <cstdio>
#include <string>

namespace observe {

class TextReporter : public Reporter {
public:
	explicit TextReporter(FILE *out) : out_(out) {}
	void report(Event const &, ProcessTable const &) override;
	void flush() override { fflush(out_); }

private:
	FILE *out_;
	bool exact_ = false;	/* times to the microsecond, from the kernel */

	std::string stamp(Micros t) const;
	void line(Micros t, std::string const &text);
	void show_output(Micros t, std::string const &bytes);
};

} // namespace observe
