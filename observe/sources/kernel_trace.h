#pragma once

/*
 * The kernel source: the kernel's own account of the job, from its trace
 * events, each at the microsecond it happened. It tells the table of every
 * fork, exec, stop, resumption, end and collection, and tells of every
 * signal sent to the job or by it: who sent it, or why the kernel did of
 * its own accord, and what became of it; and of the signals that never
 * took effect, and why.
 *
 * What the records mean is not always what they say (measured on 6.18):
 *   - An exit's record comes first; its consequences (children handed to
 *     their new parent, the check for an orphaned group, the SIGCHLD to the
 *     parent) come some hundred microseconds later, in the dying process's
 *     name. A group is orphaned from the kernel's SIGHUP/SIGCONT, or, where
 *     no member is stopped and there are none, from the dying leader's
 *     SIGCHLD to its parent.
 *   - A SIGCONT is reported ignored even when it resumes a stopped process.
 *   - A stop signal still pending when a SIGCONT comes is cleared by it and
 *     never delivered; a terminal stop delivered in an orphaned group is
 *     delivered all the same, and then nothing: no stop follows.
 *   - A fatal signal is delivered as SIGKILL; the wait status says which
 *     signal it was.
 * Pids are those of the initial pid namespace, which is why this source
 * works only there.
 */

#include "kernel/trace.h"
#include "source.h"
#include "table.h"

#include <functional>
#include <map>
#include <memory>
#include <set>

namespace observe {

class KernelSource : public Source {
public:
	/* "" where the kernel source can be used, else why not. */
	static std::string unavailable();
	/* Follows observe itself and so everything it starts; nothing, with why, where it cannot. */
	static std::unique_ptr<KernelSource> open(ProcessTable &, Stopwatch const &, std::string &why);

	/* The job, once it is started: its program and how it was started. */
	void set_job(pid_t leader, std::string name, bool adopting);
	/* Called with a process that a fatal signal is about to end while it can
	 * still be read, and with a new child while it may still hold its copy
	 * of its parent's buffer. */
	void set_look(std::function<void(pid_t)> look) { look_ = std::move(look); }

	/* Not polled while it rests after a take. */
	int fd() const override { return rest_until_ ? -1 : trace_->fd(); }
	std::optional<Clock::time_point> due() const override;
	void take() override;
	/* Records the kernel dropped, its buffer full. */
	long long lost() const { return trace_->lost(); }
	/* Each loss found since the last call, once. */
	std::vector<Lost> losses();

private:
	KernelSource(std::unique_ptr<kernel::Trace>, ProcessTable &, Stopwatch const &);

	std::unique_ptr<kernel::Trace> trace_;
	ProcessTable &table_;
	Stopwatch const &clock_;
	pid_t leader_ = -1;
	std::string name_;
	bool adopting_ = false;
	std::function<void(pid_t)> look_;
	/* Till when it waits before it reads again: records come in batches,
	 * not each with a wake-up of its own. */
	std::optional<Clock::time_point> rest_until_;

	/* Stop signals sent and not yet taken, which a SIGCONT would clear. */
	std::map<pid_t, std::set<int>> pending_stops_;
	/* Terminal stops taken, each waiting for its stop, by when it was taken. */
	std::map<pid_t, std::pair<int, std::int64_t>> taken_stops_;
	/* Fatal signals queued to each process, the last first: a fatal signal
	 * is taken as SIGKILL, and the wait status will name this one. */
	std::map<pid_t, int> fatal_;
	/* Processes taking a fatal signal, and which. */
	std::map<pid_t, int> dying_;
	/* Ended processes whose end's consequences have not yet come. */
	std::set<pid_t> exiting_;
	/* Ended processes not yet seen collected, looked for now and then in /proc. */
	Clock::time_point next_look_;
	std::optional<std::int64_t> orphaned_since_;

	Micros micros(std::int64_t t_ns) const
	{
		auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.start().time_since_epoch());
		return (t_ns - start.count()) / 1000;
	}
	void handle(std::int64_t t, kernel::Forked const &);
	void handle(std::int64_t t, kernel::Executed const &);
	void handle(std::int64_t t, kernel::Exited const &);
	void handle(std::int64_t t, kernel::Stopped const &);
	void handle(std::int64_t t, kernel::Generated const &);
	void handle(std::int64_t t, kernel::Delivered const &);
	void handle(std::int64_t t, kernel::Collected const &);
	void exit_done(std::int64_t t, pid_t pid);
	void settle_stops(std::int64_t now);
	void look_for_the_collected();
};

} // namespace observe
