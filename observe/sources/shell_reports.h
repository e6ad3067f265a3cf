#pragma once

/*
 * The job's shell collects the program, and tells over a pipe how each
 * process it collected ended: the program's exit status comes from here,
 * as the shell, not observe, is its parent; and when the program stops and
 * continues, which is when the shell takes the terminal and gives it back.
 */

#include "jobshell.h"
#include "source.h"
#include "table.h"

namespace observe {

class ShellReports : public Source {
public:
	ShellReports(jobshell::Job const &job, ProcessTable &table, Stopwatch const &clock)
		: job_(job), table_(table), clock_(clock)
	{
	}
	int fd() const override { return job_.reports; }
	void take() override;
	/* The program is stopped, as its shell last saw it. */
	bool job_stopped() const { return stopped_; }

private:
	jobshell::Job const &job_;
	ProcessTable &table_;
	Stopwatch const &clock_;
	bool stopped_ = false;
};

} // namespace observe
