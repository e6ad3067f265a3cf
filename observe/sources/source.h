#pragma once

/*
 * A source of what a watch sees: the job's terminal, the shell's reports,
 * observe's own collections, the /proc sampler, the kernel's trace, the
 * server's client. Each has at most one descriptor to wait on and a time at
 * which it wants to look again; when either comes, the loop has it take
 * what has arrived, and it tells the process table or queues events.
 */

#include "events.h"

#include <optional>

namespace observe {

class Source {
public:
	virtual ~Source() = default;
	/* The descriptor to wait on, or -1. */
	virtual int fd() const { return -1; }
	/* When it next wants to look without being woken, if ever. */
	virtual std::optional<Clock::time_point> due() const { return std::nullopt; }
	/* Takes what has arrived, without blocking. */
	virtual void take() = 0;
};

} // namespace observe
