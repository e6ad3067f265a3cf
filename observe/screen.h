#pragma once

/*
 * observe's own terminal, where it has one: its size, which the job's
 * terminal takes at the start and at every change, and whether observe's
 * report goes there, to be folded to its width and to carry the job's
 * text as the terminal shows it.
 */

#include <sys/ioctl.h>

#include <cstddef>

namespace observe {

class Screen {
public:
	/* Looks at the terminal now. */
	Screen();
	/* Looks again, after a SIGWINCH. */
	void update();

	/* The report goes to a terminal. */
	bool shows_report() const { return report_on_terminal_; }
	/* The width to fold and draw at: the terminal's, else COLUMNS, else 80. */
	size_t columns() const;
	/* The size to give the job: that of the terminal observe was started
	 * from (its output, else its input), else 24 by 80. */
	winsize size() const { return size_; }

private:
	bool report_on_terminal_ = false;
	bool sized_ = false;
	winsize size_{};
};

} // namespace observe
