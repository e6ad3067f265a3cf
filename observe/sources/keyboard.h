#pragma once

/*
 * What the person at observe's terminal types goes to the job's terminal,
 * as script(1) passes it: observe's terminal takes raw input for the watch,
 * so that Ctrl-C, Ctrl-Z and Ctrl-\ become bytes for the job's terminal,
 * which makes them the signals a person at a terminal would send, and so
 * that nothing typed is left for the shell afterwards. Two keys are kept
 * back: Ctrl-], as telnet's escape, ends the watch; and while the job is
 * stopped, when a shell would be reading a command, Enter continues it as
 * the shell's fg would.
 *
 * Raw only where observe's standard input is a terminal and observe is in
 * its foreground; the terminal's settings are put back exactly as they were
 * when observe is stopped, sent to the background or ends, and taken again
 * when it is back in the foreground.
 *
 * Standard input that is not a terminal (a pipe, a file) is passed to the
 * job's terminal as it comes, and its end as the terminal's end-of-file
 * character, as script(1) does.
 */

#include "source.h"

#include <termios.h>

#include <functional>
#include <string>

namespace observe {

constexpr char end_key = 0x1d;		/* Ctrl-] */
constexpr char continue_key = '\r';	/* Enter, in raw input */
constexpr char end_key_name[] = "Ctrl-]";
constexpr char continue_key_name[] = "Enter";

/* What the keyboard needs of the job: whether it is stopped, and a way to continue it. */
struct JobControl {
	std::function<bool()> stopped;
	std::function<void()> resume;
};

class Keyboard : public Source {
public:
	Keyboard(int job_terminal, JobControl job);
	~Keyboard() override;
	Keyboard(Keyboard const &) = delete;
	Keyboard &operator=(Keyboard const &) = delete;

	/* observe's standard input is a terminal, its keys are read: the end and continue keys work. */
	static bool keys_available();

	int fd() const override;
	std::optional<Clock::time_point> due() const override;
	void take() override;
	/* The end key was typed. */
	bool ended() const { return ended_; }

	/* Gives the terminal back as it was (observe is stopping), or takes it
	 * again where observe is in its foreground (it was continued). */
	void release();
	void retake();
	/* observe was continued, from a stop that may not have let it give the terminal back. */
	void continued();

private:
	int job_terminal_;
	JobControl job_;
	bool feeding_ = false;	/* standard input is not a terminal: its bytes go to the job */
	bool at_terminal_ = false;	/* standard input is a terminal: its keys go to the job */
	bool raw_ = false;	/* the terminal's settings are ours until we go */
	bool reading_ = false;
	bool ended_ = false;
	termios saved_{};
	std::string pending_;	/* what the job's terminal could not take yet */
	bool eof_pending_ = false;
	char last_ = 0;
	Clock::time_point next_;	/* when to try again: the job's terminal, or the foreground */		/* the last byte passed */

	void keys(char const *bytes, size_t n);
	void feed(char const *bytes, ssize_t n);
	void pass(std::string const &bytes);
};

} // namespace observe
