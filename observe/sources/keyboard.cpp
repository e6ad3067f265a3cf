#include "keyboard.h"

#include <errno.h>
#include <unistd.h>

#include <string>

namespace observe {

Keyboard::Keyboard(int job_terminal) : job_terminal_(job_terminal)
{
	/* In the background, taking the terminal's input would stop observe. */
	if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() || tcgetattr(STDIN_FILENO, &saved_) < 0)
		return;
	termios raw = saved_;
	/* Input only: keys as bytes, no echo, no signals, no line editing, no
	 * flow control; what observe writes is still turned into lines. */
	raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
	raw.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT);
	raw.c_cc[VMIN] = 1;
	raw.c_cc[VTIME] = 0;
	raw_ = reading_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

Keyboard::~Keyboard()
{
	if (!raw_)
		return;
	/* What was typed after the end is the watch's too, not the shell's. */
	tcflush(STDIN_FILENO, TCIFLUSH);
	tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void
Keyboard::take()
{
	char keys[256];
	ssize_t n;
	while ((n = read(STDIN_FILENO, keys, sizeof(keys))) < 0 && errno == EINTR)
		;
	if (n <= 0) {
		reading_ = n < 0 && errno == EAGAIN;	/* a hangup: nobody types any more */
		return;
	}
	std::string passed;
	for (ssize_t i = 0; i < n; i++) {
		if (keys[i] == end_key) {
			ended_ = true;
			break;	/* what follows it is not the job's */
		}
		passed += keys[i];
	}
	for (size_t done = 0; done < passed.size();) {
		ssize_t w = write(job_terminal_, passed.data() + done, passed.size() - done);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			break;	/* the job's terminal is full or gone: what it cannot take is lost */
		done += w;
	}
}

} // namespace observe
