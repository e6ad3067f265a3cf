#pragma once

/*
 * The live report, for a person: a line for each event as it happens, its
 * time in seconds from the start.
 *
 * Into a pipe or a file, one line an event, and what the job's terminal
 * receives a line at a time behind "| ". On a terminal, the job's text as
 * the terminal shows it, as script(1) relays it, and observe's own lines
 * around it, folded to the width at word boundaries under the time column;
 * a line the job has left open is shown again below them.
 */

#include "reporter.h"
#include "screen.h"
#include "screen_text.h"
#include "story.h"

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace observe {

struct TextStyle {
	Screen const *screen = nullptr;	/* where the report goes to a terminal, that terminal */
	bool escapes = false;		/* it takes escape sequences: the job's colours pass */
	bool keys = false;		/* the person's keys reach observe: the end and continue keys work */
};

class TextReporter : public Reporter {
public:
	explicit TextReporter(FILE *out, TextStyle style = {});
	void report(Event const &) override;
	void flush() override { fflush(out_); }

private:
	FILE *out_;
	TextStyle style_;
	bool live_;		/* the report goes to a terminal */
	bool exact_ = false;	/* times to the microsecond, from the kernel */
	JobText job_text_;
	/* The job's line still open on the screen, and whether observe's copy
	 * of it is what was written last. */
	std::string open_line_;
	bool reshown_ = false;
	bool someone_runs_ = false;	/* a process of the job runs, and may go on with an open line */
	bool told_left_ = false;	/* said that the program ended with processes left */
	/* Each process as the events so far have told of it: its command, its place. */
	Story story_;
	/* What each process not yet collected holds in its stdout buffer. */
	std::unordered_map<pid_t, std::string> held_;
	pid_t program_ = 0;

	std::string stamp(Micros t) const;
	void line(Micros t, std::string const &text);
	void say(std::string const &text);
	void write_folded(std::string const &prefix, std::string const &text);
	void show_output(Micros t, std::string const &bytes);
	std::string name(pid_t) const;
	std::string started_words(Started const &) const;
	std::string stopped_words(StateChange const &) const;
	void tell_left(Micros t, Ended const &);
};

} // namespace observe
