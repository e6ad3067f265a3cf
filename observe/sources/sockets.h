#pragma once

/*
 * The job's TCP sockets as their states change: each socket a process of
 * the job holds (its descriptors, matched with /proc/net/tcp), and the
 * connections they leave behind in TIME-WAIT, which nobody holds and which
 * keep the port taken for a minute. A TIME-WAIT on the greeting server's
 * port found at the start is the reason a server started again at once
 * cannot bind.
 */

#include "source.h"
#include "table.h"

#include <map>
#include <set>
#include <string>

namespace observe {

class Sockets : public Source {
public:
	Sockets(ProcessTable const &table, EventQueue &events, Stopwatch const &clock);
	std::optional<Clock::time_point> due() const override { return next_; }
	void take() override;
	/* Looks now, due or not; `changed` where something is known to have changed. */
	void look(bool changed = true);

private:
	/* A connection, or a listener, by its two ends. */
	struct Seen {
		std::string state;
		std::optional<pid_t> pid;
		unsigned long inode;
		bool job;	/* a job process held it, now or before */
	};
	using Ends = std::pair<std::string, std::string>;	/* local, remote ("" for a listener) */

	ProcessTable const &table_;
	EventQueue &events_;
	Stopwatch const &clock_;
	std::map<Ends, Seen> seen_;
	std::set<std::string> listened_;	/* local ends the job has listened on */
	Clock::time_point next_;

	void report(Micros t, Ends const &ends, Seen const &seen, bool before = false);
};

} // namespace observe
