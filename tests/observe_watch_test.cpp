/*
 * Whole watches: observe runs a real program and its --json stream is
 * read back and checked against what the program is known to do.
 */
#include "network.h"
#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace {

using namespace std::chrono_literals;
using harness::Child;
using harness::Launch;

/* One event of the stream: its fields, strings unescaped, other values as written. */
using Fields = std::map<std::string, std::string>;

std::string
unescape(std::string const &line, size_t &at)
{
	std::string text;
	for (at++; at < line.size() && line[at] != '"'; at++) {
		if (line[at] != '\\') {
			text += line[at];
			continue;
		}
		char c = line[++at];
		switch (c) {
		case 'n': text += '\n'; break;
		case 'r': text += '\r'; break;
		case 't': text += '\t'; break;
		case 'u':
			text += static_cast<char>(std::stoi(line.substr(at + 1, 4), nullptr, 16));
			at += 4;
			break;
		default: text += c;
		}
	}
	at++;
	return text;
}

Fields
parse(std::string const &line)
{
	Fields fields;
	size_t at = 1;
	while (at < line.size() && line[at] == '"') {
		std::string key = unescape(line, at);
		at++;	/* ':' */
		if (line[at] == '"') {
			fields[key] = unescape(line, at);
		} else {
			size_t end = line.find_first_of(line[at] == '[' ? "]" : ",}", at);
			fields[key] = line.substr(at, end - at + (line[at] == '['));
			at = end + (line[at] == '[');
		}
		if (line[at] == ',')
			at++;
	}
	return fields;
}

struct Watch {
	std::unique_ptr<Child> observer;
	std::vector<Fields> events;

	explicit Watch(std::vector<std::string> args)
	{
		args.insert(args.begin(), {harness::program("observe"), "--json"});
		observer = std::make_unique<Child>(Launch{.argv = args});
	}

	Watch(std::vector<std::string> args, std::chrono::milliseconds timeout) : Watch(std::move(args))
	{
		finish(timeout);
	}

	void finish(std::chrono::milliseconds timeout)
	{
		EXPECT_TRUE(observer->wait_exit(timeout)) << "observe did not end";
		observer->drain(1s);
		size_t start = 0;
		for (size_t nl; (nl = observer->out().find('\n', start)) != std::string::npos; start = nl + 1)
			events.push_back(parse(observer->out().substr(start, nl - start)));
	}

	std::vector<Fields> all(std::string const &kind, std::string const &pid = "") const
	{
		std::vector<Fields> found;
		for (auto const &e : events)
			if (e.at("event") == kind && (pid.empty() || (e.count("pid") && e.at("pid") == pid)))
				found.push_back(e);
		return found;
	}

	std::string pid_of(std::string const &place) const
	{
		for (auto const &e : all("spawn"))
			if (e.at("place") == place)
				return e.at("pid");
		return "";
	}

	std::string output() const
	{
		std::string text;
		for (auto const &e : all("output"))
			text += e.at("text");
		return text;
	}

	/* Seconds at which `pid` was first seen in `state`, or -1. */
	double when(std::string const &pid, std::string const &state) const
	{
		for (auto const &e : all("state", pid))
			if (e.at("state") == state)
				return std::stod(e.at("t_ms")) / 1000;
		return -1;
	}

	Fields const &last() const { return events.back(); }
};

/* No process of the watch may outlive it: observe's orphans would have come here. */
void
expect_nothing_left(Watch const &watch)
{
	EXPECT_TRUE(harness::children_of(getpid()).empty());
	for (auto const &spawn : watch.all("spawn"))
		EXPECT_EQ(harness::proc_state(std::stoi(spawn.at("pid"))), 0) << spawn.at("place") << " is left";
}

TEST(ObserveWatch, AMissingProgramIsAClearError)
{
	Child observer(Launch{.argv = {harness::program("observe"), "no-such-demo"}});
	ASSERT_TRUE(observer.wait_exit(5s));
	observer.drain(1s);
	EXPECT_EQ(observer.exit_status(), 1);
	EXPECT_EQ(observer.out(), "");
	EXPECT_NE(observer.err().find("observe: cannot find program 'no-such-demo'"), std::string::npos)
		<< observer.err();
}

TEST(ObserveWatch, ABadOptionShowsTheUsage)
{
	Child observer(Launch{.argv = {harness::program("observe"), "--for", "soon", "server"}});
	ASSERT_TRUE(observer.wait_exit(5s));
	observer.drain(1s);
	EXPECT_EQ(observer.exit_status(), 2);
	EXPECT_NE(observer.err().find("usage: observe"), std::string::npos) << observer.err();
}

TEST(ObserveWatch, ATimeLimitEndsWhatIsLeftAndLeavesNothingBehind)
{
	/* cat waits forever on the terminal, which nobody types into. */
	Watch watch({"--for", "1", "/bin/cat"}, 10s);
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	auto cat = watch.pid_of("program");
	ASSERT_NE(cat, "");
	EXPECT_EQ(watch.last().at("event"), "end");
	EXPECT_EQ(watch.last().at("reason"), "time limit");
	EXPECT_EQ(watch.last().at("ended"), "[" + cat + "]");
	double ended_at = std::stod(watch.last().at("t_ms")) / 1000;
	EXPECT_NEAR(ended_at, 1.0, 0.5);
	auto killed = watch.all("signaled", cat);
	ASSERT_EQ(killed.size(), 1u);
	EXPECT_EQ(killed[0].at("signal"), "SIGKILL");
	EXPECT_EQ(killed[0].at("by_observe"), "true");
	expect_nothing_left(watch);
}

TEST(ObserveWatch, AnInterruptEndsTheWatchTheSameWay)
{
	Watch watch({"--for", "30", "/bin/cat"});
	ASSERT_TRUE(harness::wait_until([&] {
		watch.observer->pump();
		return watch.observer->out().find("\"state\"") != std::string::npos;
	}, 5s));
	kill(watch.observer->pid(), SIGINT);
	watch.finish(5s);
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->describe_status();
	EXPECT_EQ(watch.last().at("reason"), "interrupted");
	EXPECT_EQ(watch.last().at("ended"), "[" + watch.pid_of("program") + "]");
	expect_nothing_left(watch);
}

TEST(ObserveWatch, BeingTheServersClientShowsTheWholeExchange)
{
	REQUIRE_PRIVATE_NETWORK();
	Watch watch({"--send", "hi", "server"}, 20s);
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();

	auto server = watch.pid_of("program");
	ASSERT_NE(server, "");
	EXPECT_EQ(watch.all("spawn")[0].at("name"), "server");
	std::string reply;
	for (auto const &e : watch.all("reply"))
		reply += e.at("text");
	EXPECT_EQ(reply, "Hello From ZOR");
	EXPECT_EQ(watch.all("eof").size(), 1u);
	EXPECT_EQ(watch.all("reset").size(), 0u);
	EXPECT_EQ(watch.output(), "Data Received from client : hi ");
	auto exits = watch.all("exit", server);
	ASSERT_EQ(exits.size(), 1u);
	EXPECT_EQ(exits[0].at("status"), "0");
	EXPECT_EQ(watch.last().at("event"), "end");
	EXPECT_EQ(watch.last().at("reason"), "all ended");
	EXPECT_EQ(watch.last().at("ended"), "[]");
	expect_nothing_left(watch);
}

} // namespace
