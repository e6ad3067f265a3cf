#pragma once

/*
 * The closing picture of a watch: one row per process, time across, one
 * glyph per state, each end labelled with its cause. Drawn from what the
 * events told once everything has been reported.
 */

#include "reporter.h"
#include "screen.h"
#include "story.h"

#include <cstdio>
#include <string>
#include <vector>

namespace observe {

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
constexpr char signal_colour[] = "\033[1;35m";
constexpr char colour_off[] = "\033[0m";

/* The lines of the timeline of a watch that ended at `end`, none wider than
 * `width`: time per column is chosen to fit. */
std::vector<std::string> draw_timeline(Story const &, Micros end, bool colour, size_t width = 80);

class TimelineReporter : public Reporter {
public:
	/* Drawn at the screen's width when the watch ends. */
	TimelineReporter(FILE *out, bool colour, Screen const &screen) : out_(out), colour_(colour), screen_(screen) {}
	void report(Event const &e) override
	{
		story_.take(e);
		last_ = e.t_us;
	}
	void finish() override;

private:
	FILE *out_;
	bool colour_;
	Screen const &screen_;
	Micros last_ = 0;
	Story story_;
};

} // namespace observe
