#include "kernel_trace.h"

#include "interpret/record_text.h"
#include "proc_sampler.h"
#include "procfs.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace observe {

namespace {

using namespace std::chrono_literals;

/* How long it rests after a take, unwoken by the trace, at most: half of how
 * long events are held back before they are reported, so they still come in
 * order. A rest ends on the ticks of the looks at the job's buffers: on a busy
 * machine the trace always holds others' records, and the two then share one
 * wake-up instead of taking one each, out of step. */
constexpr auto read_rest = sample_interval;
/* How often zombies are asked, through their process descriptors, whether
 * they were collected, and how long one may be so before the kernel's
 * record of it is given up for lost. */
constexpr auto collection_look = 100ms;
constexpr auto record_wait = 1s;

std::int64_t
ns_of(Clock::time_point t)
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

} // namespace

std::string
KernelSource::unavailable()
{
	return kernel::Trace::unavailable();
}

std::unique_ptr<KernelSource>
KernelSource::open(ProcessTable &table, Stopwatch const &clock, std::string &why)
{
	auto trace = kernel::Trace::open({getpid()}, why);
	if (!trace)
		return nullptr;
	return std::unique_ptr<KernelSource>(new KernelSource(std::move(trace), table, clock));
}

KernelSource::KernelSource(std::unique_ptr<kernel::Trace> trace, ProcessTable &table, Stopwatch const &clock)
	: trace_(std::move(trace)), table_(table), clock_(clock), interpreter_(table, *this, clock),
	  next_look_(Clock::now() + collection_look)
{
	table.set_exact_collections();
	if (char const *path = getenv("OBSERVE_RECORDS"); path != nullptr && *path != '\0')
		records_ = fopen(path, "we");
}

KernelSource::~KernelSource()
{
	if (records_ != nullptr)
		fclose(records_);
}

std::optional<Clock::time_point>
KernelSource::due() const
{
	std::optional<Clock::time_point> first = rest_until_;
	if (auto at = interpreter_.due()) {
		auto settle = Clock::time_point(std::chrono::nanoseconds(*at));
		first = first ? std::min(*first, settle) : settle;
	}
	for (Process const *p : table_.alive())
		if (p->state == State::zombie) {
			first = first ? std::min(*first, next_look_) : next_look_;
			break;
		}
	return first;
}

std::vector<Lost>
KernelSource::losses()
{
	std::vector<Lost> told;
	auto micros = [&](std::int64_t t_ns) { return (t_ns - ns_of(clock_.start())) / 1000; };
	for (auto const &loss : trace_->losses())
		/* A loss before any record read spans from the trace's opening, before the watch's start. */
		told.push_back({loss.records, std::max<Micros>(0, micros(loss.from_ns)), std::max<Micros>(0, micros(loss.until_ns))});
	return told;
}

/*
 * A zombie collected with no record of it: the kernel dropped the record.
 * Its descriptor says so; the time is when that was first seen.
 */
void
KernelSource::look_for_the_collected()
{
	if (Clock::now() < next_look_)
		return;
	next_look_ = Clock::now() + collection_look;
	std::vector<Process const *> zombies;
	for (Process const *p : table_.alive())
		if (p->state == State::zombie && table_.reaped(p->pid))
			zombies.push_back(p);
	std::map<pid_t, Clock::time_point> seen;
	for (Process const *p : zombies) {
		auto first = reaped_.find(p->pid);
		auto at = first != reaped_.end() ? first->second : Clock::now();
		if (Clock::now() - at > record_wait)
			table_.gone(clock_.at(at), p->pid, table_.tells(p->ppid));
		else
			seen[p->pid] = at;
	}
	reaped_ = std::move(seen);
}

/* Read while it lives: a nested pid namespace's first process, not ignoring the signal itself. */
bool
KernelSource::spared(pid_t pid, int signal)
{
	auto status = procfs::read_signal_status(pid);
	return status && status->namespace_init && ((status->ignored >> (signal - 1)) & 1) == 0;
}

/* Its parent now, read while it lives: an orphan's new one, where no record names it (a pid namespace's init). */
std::optional<pid_t>
KernelSource::parent_of(pid_t pid)
{
	if (auto stat = procfs::read_stat(pid))
		return stat->ppid;
	return std::nullopt;
}

void
KernelSource::take()
{
	/* Nothing read where nothing waits: the end of a rest, or another source's turn. */
	rest_until_.reset();
	pollfd waiting{trace_->fd(), POLLIN, 0};
	if (poll(&waiting, 1, 0) <= 0) {
		interpreter_.settle(ns_of(Clock::now()));
		look_for_the_collected();
		return;
	}
	std::vector<kernel::Record> records;
	trace_->take(records);
	rest_until_ = clock_.next_tick(read_rest);
	for (auto &record : records) {
		interpreter_.take(record);
		if (auto *generated = std::get_if<kernel::Generated>(&record.what); generated != nullptr && stir_)
			stir_(table_.process_of(generated->target), Clock::time_point(std::chrono::nanoseconds(record.t_ns)));
		if (records_ != nullptr) {
			record.t_ns -= ns_of(clock_.start());
			fprintf(records_, "%s\n", kernel::record_line(record).c_str());
		}
	}
	if (records_ != nullptr)
		fflush(records_);
	interpreter_.settle(ns_of(Clock::now()));
	look_for_the_collected();
}

} // namespace observe
