#pragma once

/*
 * The watch's one wait: on every source's descriptor and until the first
 * time a source is due. It owns nothing but the wait.
 */

#include "sources/source.h"

#include <vector>

namespace observe {

class Loop {
public:
	/* A source taken before the others whenever any source has something
	 * to say: one whose account of what happened earlier must be in before
	 * what the others saw later. */
	void add_first(Source &source) { first_.push_back(&source); }
	void add(Source &source) { sources_.push_back(&source); }

	/* Waits until a source has something, one is due, or `until`; then has
	 * each such source take what it has. */
	void turn(Clock::time_point until);

private:
	std::vector<Source *> first_;
	std::vector<Source *> sources_;
};

} // namespace observe
