#pragma once

/*
 * How much of a watch's ended processes a record of them keeps: every one
 * not yet collected, the program, and at least the last `kept_ended` of
 * those collected. Past twice that many the oldest are forgotten, in one
 * pass, so that each process is moved a bounded number of times over the
 * watch, and a watch of any number of processes keeps bounded memory. The
 * process table and the reporters' story keep alike, so that what one
 * still knows of a process the other does too.
 */

#include "events.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>

namespace observe {

class Forgetting {
public:
	/* The collected processes kept, besides the program. */
	static constexpr std::size_t kept_ended = 1000;
	/* One collected this lately is kept whatever the count: its events may still wait
	 * to be reported, or a late word of it still come. */
	static constexpr Micros grace = 1'000'000;

	/* One more process collected. */
	void ended() { ended_++; }
	std::size_t forgotten() const { return forgotten_; }

	/*
	 * Drops from `all` the oldest ended processes that `forgettable` lets go
	 * (neither the program nor one collected within the grace), down to
	 * kept_ended; true where it went through them, so that pointers into
	 * `all` have moved.
	 */
	template<typename Kept, typename Forgettable>
	bool forget_oldest(std::deque<Kept> &all, Forgettable const &forgettable)
	{
		if (ended_ < forget_at_)
			return false;
		std::size_t excess = ended_ - kept_ended;
		std::deque<Kept> kept;
		for (auto &p : all) {
			if (excess > 0 && forgettable(p)) {
				excess--;
				ended_--;
				forgotten_++;
				continue;
			}
			kept.push_back(std::move(p));
		}
		all = std::move(kept);
		forget_at_ = std::max(2 * kept_ended, ended_ + kept_ended);
		return true;
	}

private:
	std::size_t ended_ = 0;	/* collected ones kept, the program aside */
	std::size_t forgotten_ = 0;
	std::size_t forget_at_ = 2 * kept_ended;
};

} // namespace observe
