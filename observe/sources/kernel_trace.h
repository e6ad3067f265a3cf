#pragma once

/*
 * The kernel source: the kernel's own account of the job, from its trace
 * events, each at the microsecond it happened. It reads the records and
 * hands them to the interpreter, which tells the table of every fork,
 * exec, stop, resumption, end and collection, and of every signal sent to
 * the job or by it: who sent it, or why the kernel did of its own accord,
 * and what became of it.
 *
 * Where OBSERVE_RECORDS names a file, every record is also written there
 * as a line of text (record_text.h), times from the watch's start: what
 * the interpreter's tests replay.
 *
 * Pids are those of the initial pid namespace, which is why this source
 * works only there.
 */

#include "interpret/interpreter.h"
#include "kernel/trace.h"
#include "source.h"
#include "table.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace observe {

class KernelSource : public Source, private Host {
public:
	/* "" where the kernel source can be used, else why not. */
	static std::string unavailable();
	/* Follows observe itself and so everything it starts; nothing, with why, where it cannot. */
	static std::unique_ptr<KernelSource> open(ProcessTable &, Stopwatch const &, std::string &why);
	~KernelSource() override;

	/* The job, once it is started: its program and how it was started. */
	void set_job(pid_t leader, std::string name, bool adopting) { interpreter_.set_job(leader, std::move(name), adopting); }
	/* Called with a process that a fatal signal is about to end while it can
	 * still be read, and with a new child while it may still hold its copy
	 * of its parent's buffer. */
	void set_look(std::function<void(pid_t)> look) { look_ = std::move(look); }
	/* Called with every process of the job a signal is sent to, and when, once its record is read. */
	void set_stir(std::function<void(pid_t, Clock::time_point)> stir) { stir_ = std::move(stir); }

	/* Not polled while it rests after a take. */
	int fd() const override { return rest_until_ ? -1 : trace_->fd(); }
	std::optional<Clock::time_point> due() const override;
	void take() override;
	/* Records the kernel dropped, its buffer full. */
	long long lost() const { return trace_->lost(); }
	/* For another reader of the kernel's records, which it must not outlive. */
	kernel::Trace &trace() { return *trace_; }
	/* Each loss found since the last call, once. */
	std::vector<Lost> losses();

private:
	KernelSource(std::unique_ptr<kernel::Trace>, ProcessTable &, Stopwatch const &);

	std::unique_ptr<kernel::Trace> trace_;
	ProcessTable &table_;
	Stopwatch const &clock_;
	Interpreter interpreter_;
	std::function<void(pid_t)> look_;
	std::function<void(pid_t, Clock::time_point)> stir_;
	FILE *records_ = nullptr;
	/* Till when it waits before it reads again: records come in batches,
	 * not each with a wake-up of its own. */
	std::optional<Clock::time_point> rest_until_;
	/* Zombies found collected with no record of it yet, and when. */
	Clock::time_point next_look_;
	std::map<pid_t, Clock::time_point> reaped_;

	void look(pid_t pid) override
	{
		if (look_)
			look_(pid);
	}
	std::optional<pid_t> parent_of(pid_t) override;
	bool spared(pid_t, int signal) override;
	void look_for_the_collected();
};

} // namespace observe
