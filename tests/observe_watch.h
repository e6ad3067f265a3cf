#pragma once

/*
 * A whole watch for a test: observe runs a real program with --json, and
 * its event stream is read back, one JSON object a line.
 */

#include "jobshell.h"
#include "json_reader.h"
#include "process.h"
#include "requirements.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace observe_test {

using namespace std::chrono_literals;

/* One event of the stream: a JSON object. */
using Fields = harness::JsonValue;

/* The pids of an array, such as the end's "ended". */
inline std::vector<pid_t>
pids(Fields const &array)
{
	std::vector<pid_t> found;
	for (auto const &item : array.items())
		found.push_back(static_cast<pid_t>(item.integer()));
	return found;
}

struct Watch {
	std::unique_ptr<harness::Child> observer;
	std::vector<Fields> events;

	/* The /proc source unless the arguments name one. `wrap` is put before
	 * observe, to run it as another user, say. */
	explicit Watch(std::vector<std::string> args, std::vector<std::string> wrap = {})
	{
		bool named = std::any_of(args.begin(), args.end(), [](auto const &a) { return a.starts_with("--source"); });
		if (!named)
			args.insert(args.begin(), "--source=proc");
		args.insert(args.begin(), {harness::program("observe"), "--json"});
		args.insert(args.begin(), wrap.begin(), wrap.end());
		observer = std::make_unique<harness::Child>(harness::Launch{.argv = args});
	}

	Watch(std::vector<std::string> args, std::chrono::milliseconds timeout, std::vector<std::string> wrap = {})
		: Watch(std::move(args), std::move(wrap))
	{
		finish(timeout);
	}

	void finish(std::chrono::milliseconds timeout)
	{
		EXPECT_TRUE(observer->wait_exit(timeout)) << "observe did not end";
		observer->drain(1s);
		size_t start = 0;
		for (size_t nl; (nl = observer->out().find('\n', start)) != std::string::npos; start = nl + 1) {
			auto line = observer->out().substr(start, nl - start);
			std::string error;
			if (auto event = harness::read_json(line, error))
				events.push_back(*event);
			else
				ADD_FAILURE() << "not JSON, " << error << ": " << line;
		}
	}

	std::vector<Fields> all(std::string const &kind, pid_t pid = 0) const
	{
		std::vector<Fields> found;
		for (auto const &e : events)
			if (e.at("event").text() == kind && (pid == 0 || (e.has("pid") && e.at("pid").integer() == pid)))
				found.push_back(e);
		return found;
	}

	/* The one event of `kind` for `pid`; none, and a failure, where there is not exactly one. */
	Fields one(std::string const &kind, pid_t pid) const
	{
		auto found = all(kind, pid);
		EXPECT_EQ(found.size(), 1u) << kind << " events of " << pid;
		return found.size() == 1 ? found[0] : Fields{};
	}

	/* The pid of the process spawned in `place`, or 0. */
	pid_t pid_of(std::string const &place) const
	{
		for (auto const &e : all("spawn"))
			if (e.at("place").text() == place)
				return static_cast<pid_t>(e.at("pid").integer());
		return 0;
	}

	std::string output() const
	{
		std::string text;
		for (auto const &e : all("output"))
			text += e.at("text").bytes();
		return text;
	}

	/* Seconds at which `pid` was first seen in `state`, or -1. */
	double when(pid_t pid, std::string const &state) const
	{
		for (auto const &e : all("state", pid))
			if (e.at("state").text() == state)
				return e.at("t_ms").number() / 1000;
		return -1;
	}

	Fields const &last() const { return events.back(); }

	/*
	 * Seconds at which the program created its first child, or 0: a
	 * signal demonstration's timeline counts from there, and a busy
	 * machine can start the program well after the watch.
	 */
	double course_start() const
	{
		for (auto const &e : all("spawn"))
			if (e.at("place").text() == "child 1")
				return e.at("t_ms").number() / 1000;
		return 0;
	}
};

/* When an event happened, in seconds from the start of the watch. */
inline double
seconds(Fields const &event)
{
	return event.has("t_ms") ? event.at("t_ms").number() / 1000 : -1;
}

/*
 * "" where the kernel's trace reached observe whole, else what it dropped: on
 * a busy machine its buffers can fill faster than observe is let run to read
 * them, and then what is missing cannot be told. For REQUIRE().
 */
inline std::string
missing_trace_records(Watch const &watch)
{
	long long dropped = 0;
	for (auto const &e : watch.all("lost"))
		dropped += e.at("records").integer();
	if (dropped == 0)
		return "";
	return "the machine is too busy: the kernel dropped " + std::to_string(dropped) +
	       " trace records before observe could read them";
}

/*
 * "" where the program's course of `length` seconds began early enough to
 * end within the watch's time `limit`, else why not. For REQUIRE().
 */
inline std::string
missing_time_for_course(Watch const &watch, double length, double limit)
{
	constexpr double late_at_most = 0.3;	/* the course's own steps, each a little late */
	double start = watch.course_start();
	if (start + length + late_at_most <= limit)
		return "";
	char why[160];
	snprintf(why, sizeof(why), "the machine is too busy: the course began %.2f s into the watch, so its %.1f s "
		 "may not end within the %.1f s limit", start, length, limit);
	return why;
}

/* No process of the watch may outlive it: observe's orphans would have come here. */
inline void
expect_nothing_left(Watch const &watch)
{
	harness::await_trace_keepers();
	EXPECT_TRUE(procfs::children(getpid()).empty());
	for (auto const &spawn : watch.all("spawn"))
		EXPECT_EQ(harness::proc_state(spawn.at("pid").integer()), 0) << spawn.at("place").text() << " is left";
}

/*
 * observe run as the foreground job of a terminal the test makes and types
 * at, with what it writes read as that terminal shows it. `argv` is the
 * command from observe on, so a test can set its environment (TERM, say).
 */
struct AtATerminal {
	jobshell::Job job;
	harness::Stream screen;
	std::optional<int> status;
	std::chrono::milliseconds end_wait = 10s;	/* how long ends() waits for observe's end */

	explicit AtATerminal(std::vector<std::string> argv, winsize size = jobshell::Options{}.size)
	{
		std::string error;
		auto started = jobshell::start({.argv = argv, .size = size}, error);
		EXPECT_TRUE(started) << error;
		if (started)
			job = *started;
		screen = harness::Stream(job.terminal, harness::Clock::now());
	}
	~AtATerminal()
	{
		/* The end key first, so that observe ends its job; then whatever is left. */
		if (!status && job.terminal >= 0) {
			type("\x1d");
			ends();
		}
		jobshell::kill_job(job);
		waitpid(job.shell, nullptr, 0);
	}
	AtATerminal(AtATerminal const &) = delete;
	AtATerminal &operator=(AtATerminal const &) = delete;

	bool shows(std::string const &text) { return screen.shows(text, 10s); }
	void type(std::string const &keys) { EXPECT_EQ(write(job.terminal, keys.data(), keys.size()), ssize_t(keys.size())); }
	/* observe's exit status, as its shell tells it; what it wrote is read to its end. */
	std::optional<int> ends()
	{
		harness::wait_until([&] {
			screen.pump();
			for (auto report : jobshell::read_reports(job))
				if (report.pid == job.leader && WIFEXITED(report.status))
					status = WEXITSTATUS(report.status);
			return status.has_value();
		}, end_wait);
		screen.pump();
		return status;
	}
	/* The JSON events shown so far, where observe was run with --json. */
	std::vector<Fields> events() const
	{
		std::vector<Fields> found;
		std::string const &all = screen.text();
		for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
			std::string error;
			if (auto event = harness::read_json(all.substr(start, nl - start), error))
				found.push_back(*event);
		}
		return found;
	}
	/* What the job's terminal delivered, from observe's output events. */
	std::string outputs() const
	{
		std::string text;
		for (auto const &e : events())
			if (e.at("event").text() == "output")
				text += e.at("text").bytes();
		return text;
	}
};

} // namespace observe_test
