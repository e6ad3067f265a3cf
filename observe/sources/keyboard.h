#pragma once

/*
 * What the person at observe's terminal types goes to the job's terminal,
 * as script(1) passes it: observe's terminal takes raw input for the watch,
 * so that Ctrl-C, Ctrl-Z and Ctrl-\ become bytes for the job's terminal,
 * which makes them the signals a person at a terminal would send, and so
 * that nothing typed is left for the shell afterwards. One key is kept
 * back and ends the watch instead: Ctrl-], as telnet's escape.
 *
 * Only where observe's standard input is a terminal and observe is in its
 * foreground; the terminal's settings are put back exactly as they were
 * when the keyboard goes.
 */

#include "source.h"

#include <termios.h>

namespace observe {

constexpr char end_key = 0x1d;	/* Ctrl-] */

class Keyboard : public Source {
public:
	explicit Keyboard(int job_terminal);
	~Keyboard() override;
	Keyboard(Keyboard const &) = delete;
	Keyboard &operator=(Keyboard const &) = delete;

	int fd() const override { return reading_ ? 0 : -1; }
	void take() override;
	/* The end key was typed. */
	bool ended() const { return ended_; }

private:
	int job_terminal_;
	bool raw_ = false;	/* the terminal's settings are ours until we go */
	bool reading_ = false;
	bool ended_ = false;
	termios saved_{};
};

} // namespace observe
