#include "terminal.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace observe {

static constexpr auto drain_limit = std::chrono::milliseconds(500);
static constexpr int drain_quiet_ms = 50;

void
TerminalSource::take()
{
	char buffer[4096];
	bool spoke = false;
	for (;;) {
		ssize_t n = read(master_, buffer, sizeof(buffer));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0 && !(n < 0 && errno == EAGAIN))
			open_ = false;	/* EIO: no process holds the terminal any more */
		if (n <= 0)
			break;
		events_.push(clock_.now(), Output{std::string(buffer, n)});
		spoke = true;
	}
	if (spoke && spoken_)
		spoken_();
}

void
TerminalSource::drain()
{
	auto deadline = Clock::now() + drain_limit;
	while (open_ && Clock::now() < deadline) {
		pollfd fd{master_, POLLIN, 0};
		if (poll(&fd, 1, drain_quiet_ms) <= 0 || (fd.revents & POLLIN) == 0)
			return;
		take();
	}
}

} // namespace observe
