#pragma once

/*
 * The closing picture of a watch: one row per process, time across, one
 * glyph per state, each end labelled with its cause. Drawn from the
 * process table once everything has been reported.
 */

#include "reporter.h"

#include <cstdio>
#include <string>
#include <vector>

namespace observe {

constexpr int columns_per_second = 10;

/* What a cell of a row shows. */
enum class Cell { running, stopped, zombie, ended, adopted };

struct Glyph {
	Cell cell;
	char mark;
	char const *colour;	/* an SGR sequence */
	char const *meaning;
};

constexpr Glyph glyphs[] = {
	{Cell::running, '#', "\033[32m", "running"},
	{Cell::stopped, '-', "\033[33m", "stopped"},
	{Cell::zombie, 'z', "\033[31m", "zombie (ended, not collected)"},
	{Cell::ended, '.', "\033[2m", "ended and collected"},
	{Cell::adopted, '^', "\033[1;36m", "adopted"},
};
constexpr char colour_off[] = "\033[0m";

/* The lines of the timeline of a watch that ended at `end`. */
std::vector<std::string> draw_timeline(ProcessTable const &, Micros end, bool colour);

class TimelineReporter : public Reporter {
public:
	TimelineReporter(FILE *out, bool colour) : out_(out), colour_(colour) {}
	void report(Event const &e, ProcessTable const &) override { last_ = e.t_us; }
	void finish(ProcessTable const &) override;

private:
	FILE *out_;
	bool colour_;
	Micros last_ = 0;
};

} // namespace observe
