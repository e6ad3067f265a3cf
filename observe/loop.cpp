#include "loop.h"

#include <poll.h>

#include <algorithm>

namespace observe {

void
Loop::turn(Clock::time_point until)
{
	std::vector<pollfd> fds;
	std::vector<Source *> waited;
	for (auto *list : {&first_, &sources_})
		for (Source *source : *list) {
			if (auto due = source->due())
				until = std::min(until, *due);
			if (source->fd() >= 0) {
				fds.push_back({source->fd(), POLLIN, 0});
				waited.push_back(source);
			}
		}
	auto left = std::max(until - Clock::now(), Clock::duration::zero());
	auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
	timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
	/* Signals are blocked and read from descriptors, so none can slip in here. */
	ppoll(fds.data(), fds.size(), &timeout, nullptr);

	auto now = Clock::now();
	auto ready = [&](Source *source) {
		auto at = std::find(waited.begin(), waited.end(), source);
		if (at != waited.end() && fds[at - waited.begin()].revents != 0)
			return true;
		auto due = source->due();
		return due && *due <= now;
	};
	/* A turn that is only a sampler's tick does not need the others' account. */
	bool spoken = std::any_of(fds.begin(), fds.end(), [](pollfd const &fd) { return fd.revents != 0; });
	for (Source *source : first_)
		if (spoken || ready(source))
			source->take();
	for (Source *source : sources_)
		if (ready(source))
			source->take();
}

} // namespace observe
