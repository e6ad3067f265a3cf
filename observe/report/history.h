#pragma once

/*
 * A watch as a whole, kept from its events alone, for the reporters that
 * draw it once it is over (a page, a picture, a trace): each process with
 * its place in the job's tree, its states and its stdout buffer as they
 * changed; each signal from its sender to its target, in observe's words;
 * what the terminal received, and when.
 */

#include "reporter.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace observe {

/* Something said at a moment: terminal text, a buffer's contents, a line of observe's. */
struct Moment {
	Micros t;
	std::string text;
};

/* A row of the picture: a process of the job, or someone outside it who signalled it. */
struct Row {
	pid_t pid = 0;		/* 0 for the kernel */
	std::string name;	/* "childsig-a", "kernel", "5012 (the shell)" */
	std::optional<Place> place;	/* none outside the job */
	int depth = 0;		/* in the job's tree */
	Micros from = 0;
	std::optional<Micros> collected;
	std::string end;	/* how it ended: "exit 0", "SIGKILL (ended by observe)" */
	std::vector<std::pair<Micros, State>> states;
	std::vector<std::pair<Micros, pid_t>> adoptions;
	std::vector<Moment> buffer;	/* what its stdout buffer held, from each moment on */

	bool of_job() const { return place.has_value(); }
};

struct Arrow {
	Micros t;
	size_t from;		/* rows */
	size_t to;
	std::string name;	/* "SIGHUP" */
	std::string words;	/* observe's account of it */
	bool took_effect;	/* not ignored nor failed */
	std::optional<size_t> fan = std::nullopt;	/* one member's share of this kill to many */
};

/* One kill to many (a process group, or all the sender may signal): drawn
 * once at its sender, its members' shares as arrows fanning out from it. */
struct Fan {
	Micros t;
	size_t from;		/* the sender's row */
	std::string name;	/* "SIGTERM" */
	std::string whom;	/* "process group 5012", "its own process group" */
	std::string words;
	pid_t sender;		/* to match each member's share to it */
	pid_t group;
	int signal;
};

/* A span where the picture may be incomplete: records the kernel dropped, a time observe did not run. */
struct Span {
	Micros from;
	Micros until;
	char const *label;	/* "records may be missing" */
	std::string words;
};

/* A signal sent that never took effect. */
struct Discard {
	Micros t;
	size_t row;
	std::string name;	/* "SIGTSTP" */
	std::string words;
};

class History {
public:
	History();
	~History();
	History(History const &) = delete;
	History &operator=(History const &) = delete;

	void take(Event const &);

	std::string program;
	bool exact = false;	/* times from the kernel, to the microsecond */
	Micros end = 0;
	/* Rows in tree order: senders outside the job first, then each process
	 * followed by its children. Valid once the watch is over. */
	std::vector<Row> const &rows();
	std::vector<Arrow> const &arrows() { return rows(), arrows_; }
	std::vector<Discard> const &discards() { return rows(), discards_; }
	std::vector<Fan> const &fans() { return rows(), fans_; }
	/* What observe says makes the picture incomplete: records lost, a time it did not run. */
	std::vector<Moment> const &warnings() const { return warnings_; }
	std::vector<Span> const &gaps() const { return gaps_; }
	std::vector<Moment> const &output() const { return output_; }
	std::vector<Moment> const &said() const { return said_; }

private:
	std::vector<Row> rows_;		/* as they came */
	std::vector<long> parents_;	/* each row's parent when it appeared */
	std::vector<Arrow> arrows_;
	std::vector<Discard> discards_;
	std::vector<Fan> fans_;
	std::vector<Moment> warnings_;
	std::vector<Span> gaps_;
	std::vector<Moment> output_;
	std::vector<Moment> said_;
	bool ordered_ = false;
	/* observe's own words for each event, from its text report. */
	FILE *words_ = nullptr;
	char *words_buffer_ = nullptr;
	size_t words_size_ = 0;
	size_t words_read_ = 0;
	std::unique_ptr<Reporter> text_;

	size_t row_of(pid_t pid, std::string const &label);
	Row *process(pid_t pid);
	void signal(Micros t, Signal const &, std::string const &words);
};

/* A reporter that draws the whole watch into a file at its end. */
class Drawing : public Reporter {
public:
	/* Where it cannot be written, nothing is: the reason is in `error`. */
	Drawing(FILE *out, std::string path) : out_(out), path_(std::move(path)) {}
	~Drawing() override;
	void report(Event const &e) override { history_.take(e); }
	void finish() override;
	/* Why the file could not be written, once finished; empty where it was. */
	std::string const &error() const { return error_; }

protected:
	virtual void draw(FILE *out, History &) = 0;

private:
	FILE *out_;
	std::string path_;
	std::string error_;
	History history_;
};

/* How a state is drawn, in every picture: a colour, and a pattern and a word
 * besides, so that colour is never all that tells the states apart. */
struct StateLook {
	State state;
	char const *word;
	char const *fill;
	char const *pattern;	/* an SVG pattern's id, or "" */
};
constexpr StateLook state_looks[] = {
	{State::running, "running", "#4caf50", ""},
	{State::stopped, "stopped", "#f2b33d", "hatch"},
	{State::zombie, "zombie", "#d9534f", "dots"},
};
constexpr char arrow_colour[] = "#6a1b9a";

/* A span of time, for labels: "5.999812 s", to as many places as `step` needs. */
std::string seconds_text(Micros t, Micros step);
/* The step between ticks that puts about `count` of them across `span`: 1, 2 or 5 times a power of ten. */
Micros tick_step(Micros span, int count);
/* Where signals come thick: the span of the last run of signals close
 * together, where it is much narrower than the watch; none where there is none. */
std::optional<std::pair<Micros, Micros>> busiest_span(History &);

} // namespace observe
