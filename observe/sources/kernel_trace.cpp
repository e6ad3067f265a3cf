#include "kernel_trace.h"

#include "interpret/record_text.h"
#include "procfs.h"

#include <stdlib.h>
#include <unistd.h>

namespace observe {

namespace {

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
	: trace_(std::move(trace)), clock_(clock), interpreter_(table, *this, clock)
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
	auto at = interpreter_.due();
	if (!at)
		return std::nullopt;
	return Clock::time_point(std::chrono::nanoseconds(*at));
}

/* Its parent now, read while it lives: an orphan's new one, where no record names it. */
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
	std::vector<kernel::Record> records;
	trace_->take(records);
	for (auto &record : records) {
		interpreter_.take(record);
		if (records_ != nullptr) {
			record.t_ns -= ns_of(clock_.start());
			fprintf(records_, "%s\n", kernel::record_line(record).c_str());
		}
	}
	if (records_ != nullptr)
		fflush(records_);
	interpreter_.settle(ns_of(Clock::now()));
}

} // namespace observe
