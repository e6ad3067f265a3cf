#include "states.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace harness {

void
StateLog::sample(pid_t pid)
{
	samples_[pid].push_back({seconds_since(origin_), proc_state(pid)});
}

std::vector<StateLog::Sample> const &
StateLog::of(pid_t pid) const
{
	static std::vector<Sample> const none;
	auto found = samples_.find(pid);
	return found == samples_.end() ? none : found->second;
}

std::vector<StateLog::Sample>
StateLog::between(pid_t pid, double from, double to) const
{
	std::vector<Sample> found;
	for (auto const &sample : of(pid))
		if (sample.at >= from && sample.at <= to)
			found.push_back(sample);
	return found;
}

std::optional<long>
voluntary_switches(pid_t pid)
{
	std::ifstream status("/proc/" + std::to_string(pid) + "/status");
	std::string key;
	long value;
	while (status >> key) {
		if (key == "voluntary_ctxt_switches:" && status >> value)
			return value;
		status.ignore(1 << 16, '\n');
	}
	return std::nullopt;
}

} // namespace harness
