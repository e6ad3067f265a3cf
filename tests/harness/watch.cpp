#include "watch.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace harness {

double
seconds_since(Clock::time_point origin, Clock::time_point at)
{
	return std::chrono::duration<double>(at - origin).count();
}

bool
Stream::pump()
{
	char buffer[4096];
	while (!ended_) {
		ssize_t n = read(fd_, buffer, sizeof(buffer));
		if (n > 0) {
			text_.append(buffer, n);
			chunks_.push_back({Clock::now(), std::string(buffer, n)});
		} else if (n < 0 && errno == EINTR) {
			continue;
		} else if (n < 0 && errno == EAGAIN) {
			break;
		} else {
			ended_ = true;
		}
	}
	return ended_;
}

double
Stream::arrival_at(size_t offset) const
{
	size_t seen = 0;
	for (auto const &chunk : chunks_) {
		seen += chunk.bytes.size();
		if (offset < seen)
			return seconds_since(origin_, chunk.at);
	}
	return -1;
}

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

std::optional<double>
StateLog::first_in(pid_t pid, std::string_view states, double after) const
{
	for (auto const &sample : of(pid))
		if (sample.at >= after && states.find(sample.state) != std::string_view::npos)
			return sample.at;
	return std::nullopt;
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
