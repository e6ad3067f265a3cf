#pragma once

/*
 * The closing picture of a watch: one row per process, time across, one
 * glyph per state, each end labelled with its cause, and under the rows
 * what happened to the job as a whole. Drawn from what the events told
 * once everything has been reported.
 */

#include "reporter.h"
#include "screen.h"
#include "story.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
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
constexpr char lost_colour[] = "\033[2;33m";
constexpr char colour_off[] = "\033[0m";

/*
 * What happened to the job as a whole rather than to one process, drawn
 * in a lane under the rows and told in notes: a kill that reached a
 * process group (its members' rows show their shares), and a span the
 * kernel dropped records in. Only the first few of each kind are told,
 * and of a watch that kills groups or loses records over and over, a
 * bounded number marked, the last stretches of loss merged into one.
 */
class Marks {
public:
	struct GroupKill {
		Micros t;
		GroupSignal kill;
		std::vector<std::pair<pid_t, SignalResult>> members;	/* each one's result */
	};
	static constexpr size_t kills_told = 9;	/* marked 1 to 9 */
	static constexpr size_t lost_told = 3;
	static constexpr size_t marked_most = 1000;

	void take(Event const &);
	std::vector<GroupKill> const &kills() const { return kills_; }
	/* The times of the kills after those told. */
	std::vector<Micros> const &more_kills() const { return more_kills_; }
	size_t kills_count() const { return kills_count_; }
	std::vector<Lost> const &lost() const { return lost_; }
	size_t lost_count() const { return lost_count_; }

private:
	std::vector<GroupKill> kills_;
	std::vector<Micros> more_kills_;
	size_t kills_count_ = 0;
	std::vector<Lost> lost_;
	size_t lost_count_ = 0;
	/* The latest kill by each sender, group and signal, which each member's share
	 * follows: its place in kills_, none where it is not told. */
	std::map<std::tuple<pid_t, pid_t, int>, std::optional<size_t>> latest_;
};

/* The lines of the timeline of a watch that ended at `end`, none wider than
 * `width`: time per column is chosen to fit. */
std::vector<std::string> draw_timeline(Story const &, Micros end, bool colour, size_t width = 80,
				       Marks const &marks = {});

class TimelineReporter : public Reporter {
public:
	/* Drawn at the screen's width when the watch ends. */
	TimelineReporter(FILE *out, bool colour, Screen const &screen) : out_(out), colour_(colour), screen_(screen) {}
	void report(Event const &e) override
	{
		story_.take(e);
		marks_.take(e);
		last_ = e.t_us;
	}
	void finish() override;

private:
	FILE *out_;
	bool colour_;
	Screen const &screen_;
	Micros last_ = 0;
	Story story_;
	Marks marks_;
};

} // namespace observe
