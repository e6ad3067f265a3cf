#pragma once

#include "events.h"

#include <cstdio>
#include <map>
#include <vector>

namespace observe {

/* One JSON object per line, for scripts. */
class JsonReporter : public Reporter {
public:
	explicit JsonReporter(FILE *out) : out_(out) {}
	void started(std::string const &, pid_t, double) override {}
	void event(Event const &) override;
	void finished() override {}

private:
	FILE *out_;
};

/* Lines for a person as things happen, then the timeline. */
class TextReporter : public Reporter {
public:
	TextReporter(FILE *out, bool colour) : out_(out), colour_(colour) {}
	void started(std::string const &program, pid_t leader, double limit_seconds) override;
	void event(Event const &) override;
	void finished() override;

private:
	FILE *out_;
	bool colour_;
	std::vector<Event> events_;
	std::map<pid_t, std::string> places_;
	std::string partial_;	/* terminal text after its last newline */
	pid_t shell_ = 0;

	std::string who(pid_t) const;
	void line(long long t_ms, std::string const &text);
	void show_output(long long t_ms, std::string const &bytes);
};

/* Text with control characters (but tabs) and bytes past ASCII shown as escapes. */
std::string printable(std::string const &bytes);

} // namespace observe
