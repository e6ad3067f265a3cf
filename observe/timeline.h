#pragma once

/*
 * The closing picture of a watch: one row per process, time across, one
 * glyph per state, each end labelled with its cause.
 */

#include "events.h"

#include <string>
#include <vector>

namespace observe {

constexpr int columns_per_second = 10;

struct Glyph {
	State state;
	char mark;
	char const *colour;	/* an SGR sequence */
	char const *meaning;
};

constexpr Glyph glyphs[] = {
	{State::running, '#', "\033[32m", "running"},
	{State::stopped, '-', "\033[33m", "stopped"},
	{State::zombie, 'z', "\033[31m", "zombie (ended, not collected)"},
	{State::ended, '.', "\033[2m", "ended and collected"},
};
constexpr char adoption_mark = '^';
constexpr char adoption_colour[] = "\033[1;36m";
constexpr char colour_off[] = "\033[0m";

/* The lines of the timeline for the events of one watch, `observer` being the watcher's own pid. */
std::vector<std::string> draw_timeline(std::vector<Event> const &, pid_t observer, bool colour);

} // namespace observe
