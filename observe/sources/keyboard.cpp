#include "keyboard.h"

#include <errno.h>
#include <unistd.h>

namespace observe {

/* How soon to try again what the job's terminal could not take. */
static constexpr auto retry_interval = std::chrono::milliseconds(10);
/* How often to look whether observe is back in its terminal's foreground:
 * a shell's fg of a job that runs sends no signal. */
static constexpr auto foreground_interval = std::chrono::milliseconds(200);

static bool
in_foreground()
{
	return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool
Keyboard::keys_available()
{
	return in_foreground();
}

Keyboard::Keyboard(int job_terminal, JobControl job) : job_terminal_(job_terminal), job_(std::move(job))
{
	if (!isatty(STDIN_FILENO)) {
		feeding_ = reading_ = true;
		return;
	}
	/* The settings to put back are those found at the start, whatever a stop in between left. */
	at_terminal_ = tcgetattr(STDIN_FILENO, &saved_) == 0;
	next_ = Clock::now() + foreground_interval;
	retake();
}

Keyboard::~Keyboard()
{
	if (!raw_)
		return;
	/* What was typed after the end is the watch's too, not the shell's. */
	tcflush(STDIN_FILENO, TCIFLUSH);
	release();
}

void
Keyboard::release()
{
	if (raw_)
		tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
	raw_ = reading_ = false;
	next_ = Clock::now() + foreground_interval;
}

void
Keyboard::retake()
{
	/* In the background, taking the terminal's input would stop observe. */
	if (!at_terminal_ || raw_ || !in_foreground())
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

void
Keyboard::continued()
{
	/* Stopped by a SIGSTOP, observe could not give the terminal back; its
	 * shell has set it as it wants since. Take it again, or wait for the foreground. */
	raw_ = reading_ = false;
	next_ = Clock::now() + foreground_interval;
	retake();
}

int
Keyboard::fd() const
{
	/* Input waits while the job's terminal is full. */
	return reading_ && pending_.empty() && !eof_pending_ ? STDIN_FILENO : -1;
}

std::optional<Clock::time_point>
Keyboard::due() const
{
	if (!pending_.empty() || eof_pending_ || (at_terminal_ && !raw_ && !ended_))
		return next_;
	return std::nullopt;
}

void
Keyboard::take()
{
	if (at_terminal_ && !raw_) {
		retake();
		next_ = Clock::now() + foreground_interval;
		return;
	}
	pass("");
	if (!pending_.empty() || eof_pending_ || !reading_)
		return;
	char bytes[4096];
	ssize_t n;
	while ((n = read(STDIN_FILENO, bytes, sizeof(bytes))) < 0 && errno == EINTR)
		;
	if (feeding_)
		return feed(bytes, n);
	if (n <= 0) {
		reading_ = n < 0 && errno == EAGAIN;	/* a hangup: nobody types any more */
		return;
	}
	keys(bytes, static_cast<size_t>(n));
}

void
Keyboard::keys(char const *bytes, size_t n)
{
	std::string passed;
	for (size_t i = 0; i < n; i++) {
		if (bytes[i] == end_key) {
			ended_ = true;
			break;	/* what follows it is not the job's */
		}
		/* A stopped job reads nothing; a shell would read its command. */
		if (job_.stopped && job_.stopped()) {
			if (bytes[i] == continue_key && job_.resume)
				job_.resume();
			continue;
		}
		passed += bytes[i];
	}
	pass(passed);
}

void
Keyboard::feed(char const *bytes, ssize_t n)
{
	if (n < 0 && errno == EAGAIN)
		return;
	if (n > 0)
		return pass(std::string(bytes, static_cast<size_t>(n)));
	/* The end of the input: the terminal's end-of-file character, twice
	 * where a line is still open, as the first only ends that line. */
	reading_ = false;
	eof_pending_ = true;
	pass("");
}

void
Keyboard::pass(std::string const &bytes)
{
	pending_ += bytes;
	if (pending_.empty() && eof_pending_) {
		termios mode{};
		char eof = tcgetattr(job_terminal_, &mode) == 0 ? static_cast<char>(mode.c_cc[VEOF]) : '\x04';
		pending_.assign(last_ == '\n' || last_ == 0 ? 1 : 2, eof);
		eof_pending_ = false;
	}
	size_t done = 0;
	while (done < pending_.size()) {
		ssize_t w = write(job_terminal_, pending_.data() + done, pending_.size() - done);
		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0 && errno != EAGAIN) {
			done = pending_.size();	/* the job's terminal is gone: what it cannot take is lost */
			break;
		}
		if (w <= 0)
			break;
		last_ = pending_[done + w - 1];
		done += w;
	}
	pending_.erase(0, done);
	next_ = Clock::now() + retry_interval;
}

} // namespace observe
