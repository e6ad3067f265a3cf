#pragma once

/*
 * The /proc source: every 10 ms it reads the state of each process of the
 * job, finds the children they have made and the orphans that came to
 * observe, and notices who has gone. It sees what lasts longer than a
 * sample; what is shorter it can miss, and it sees no signal at all.
 * Taken whenever the terminal or another source speaks as well, so that a
 * child is found before the output it writes.
 */

#include "source.h"
#include "table.h"

#include <map>

namespace observe {

/* How often the states are sampled. */
constexpr auto sample_interval = std::chrono::milliseconds(10);
/* A time between two samples past which observe says it was away. */
constexpr auto gap_threshold = std::chrono::milliseconds(250);

class ProcSampler : public Source {
public:
	ProcSampler(ProcessTable &table, EventQueue &events, Stopwatch const &clock);
	std::optional<Clock::time_point> due() const override { return next_; }
	void take() override;

private:
	ProcessTable &table_;
	EventQueue &events_;
	Stopwatch const &clock_;
	Clock::time_point next_;
	Clock::time_point last_;
	/* Each process's files, kept open from its first sample to its end. */
	std::map<pid_t, procfs::ProcessFiles> files_;

	procfs::ProcessFiles &files(pid_t);
	void update(Process &, Micros now);
	void discover(Micros now);
	bool known(pid_t) const;
};

} // namespace observe
