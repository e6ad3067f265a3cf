/*
 * observe: its JSON, its timeline, its options, and whole watches of real
 * programs, read back from its --json event stream.
 */
#include "json.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "timeline.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>

namespace {

using namespace std::chrono_literals;
using observe::Event;
using observe::Kind;
using observe::State;

/* ---- JSON ---- */

struct Escape {
	char const *name;
	std::string bytes;
	std::string json;
};

class JsonString : public ::testing::TestWithParam<Escape> {};

TEST_P(JsonString, EscapesWhatJsonCannotHoldAndKeepsUtf8)
{
	EXPECT_EQ(observe::json_string(GetParam().bytes), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(Observe, JsonString, ::testing::Values(
	Escape{"Plain", "Child1", "\"Child1\""},
	Escape{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
	Escape{"TerminalLineEnd", "Child1\r\n", "\"Child1\\r\\n\""},
	Escape{"ControlAndDelete", std::string("\x01\x1b\x7f\t", 4), "\"\\u0001\\u001b\\u007f\\t\""},
	Escape{"ZeroByte", std::string("a\0b", 3), "\"a\\u0000b\""},
	Escape{"Utf8PassesThrough", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\""},
	Escape{"StrayByte", "\xff", "\"\\u00ff\""},
	Escape{"CutSequence", "\xc3", "\"\\u00c3\""},
	Escape{"Overlong", "\xc0\xaf", "\"\\u00c0\\u00af\""},
	Escape{"Surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""}),
	[](auto const &info) { return std::string(info.param.name); });

Event
make(Kind kind, long long t_ms, pid_t pid = 0)
{
	Event e;
	e.kind = kind;
	e.t_ms = t_ms;
	e.pid = pid;
	return e;
}

TEST(ObserveJson, EachEventHasItsFields)
{
	Event spawn = make(Kind::spawn, 5, 12);
	spawn.ppid = 11;
	spawn.name = "childsig-a";
	spawn.place = "child 1";
	Event stopped = make(Kind::state, 3001, 13);
	stopped.state = State::stopped;
	Event adopted = make(Kind::adopted, 6002, 13);
	adopted.ppid = 10;
	Event exited = make(Kind::exit, 6001, 11);
	exited.status = 0;
	Event unknown = make(Kind::exit, 7, 14);
	unknown.status = -1;
	Event hup = make(Kind::signaled, 6003, 13);
	hup.signal = SIGHUP;
	Event killed = make(Kind::signaled, 12000, 13);
	killed.signal = SIGKILL;
	killed.by_watcher = true;
	Event output = make(Kind::output, 6000);
	output.text = "Child term";
	Event end = make(Kind::end, 12001);
	end.text = "time limit";
	end.ended = {13, 14};

	EXPECT_EQ(observe::json_event(spawn),
		  R"({"t_ms":5,"event":"spawn","pid":12,"ppid":11,"name":"childsig-a","place":"child 1"})");
	EXPECT_EQ(observe::json_event(stopped), R"({"t_ms":3001,"event":"state","pid":13,"state":"stopped"})");
	EXPECT_EQ(observe::json_event(adopted), R"({"t_ms":6002,"event":"adopted","pid":13,"ppid":10})");
	EXPECT_EQ(observe::json_event(exited), R"({"t_ms":6001,"event":"exit","pid":11,"status":0})");
	EXPECT_EQ(observe::json_event(unknown), R"({"t_ms":7,"event":"exit","pid":14,"status":null})");
	EXPECT_EQ(observe::json_event(hup), R"({"t_ms":6003,"event":"signaled","pid":13,"signal":"SIGHUP"})");
	EXPECT_EQ(observe::json_event(killed),
		  R"({"t_ms":12000,"event":"signaled","pid":13,"signal":"SIGKILL","by_observe":true})");
	EXPECT_EQ(observe::json_event(output), R"({"t_ms":6000,"event":"output","text":"Child term"})");
	EXPECT_EQ(observe::json_event(make(Kind::eof, 20)), R"({"t_ms":20,"event":"eof"})");
	EXPECT_EQ(observe::json_event(end),
		  R"({"t_ms":12001,"event":"end","reason":"time limit","ended":[13,14]})");
}

/* ---- options ---- */

struct BadOptions {
	char const *name;
	std::vector<char const *> argv;
	char const *error;
};

class ObserveOptions : public ::testing::TestWithParam<BadOptions> {};

TEST_P(ObserveOptions, AreRefusedWithAReason)
{
	auto argv = GetParam().argv;
	argv.insert(argv.begin(), "observe");
	std::string error;
	EXPECT_FALSE(observe::parse_options(static_cast<int>(argv.size()), argv.data(), error));
	EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Observe, ObserveOptions, ::testing::Values(
	BadOptions{"NoProgram", {"--json"}, "no program"},
	BadOptions{"UnknownOption", {"--colour", "server"}, "unknown option --colour"},
	BadOptions{"ForWithoutValue", {"server", "--for"}, "--for needs a value"},
	BadOptions{"ForNotANumber", {"--for", "ten", "server"}, "--for takes seconds"},
	BadOptions{"ForZero", {"--for", "0", "server"}, "--for takes seconds"},
	BadOptions{"ForNegative", {"--for", "-3", "server"}, "--for takes seconds"},
	BadOptions{"SendWithoutValue", {"server", "--send"}, "--send needs a value"},
	BadOptions{"TwoPrograms", {"server", "procids"}, "one program only"}),
	[](auto const &info) { return std::string(info.param.name); });

TEST(ObserveOptions, TakesEveryOptionInAnyOrder)
{
	char const *argv[] = {"observe", "--for", "2.5", "server", "--send", "hi there", "--json"};
	std::string error;
	auto options = observe::parse_options(7, argv, error);
	ASSERT_TRUE(options) << error;
	EXPECT_TRUE(options->json);
	EXPECT_EQ(options->watch.limit_seconds, 2.5);
	EXPECT_EQ(options->watch.send, "hi there");
	EXPECT_EQ(options->watch.program, "server");
}

TEST(ObserveOptions, FindsABareNameBesideItselfBeforePath)
{
	std::string error;
	auto beside = observe::find_program("server", harness::program("observe"), "/usr/bin:/bin", error);
	ASSERT_TRUE(beside) << error;
	EXPECT_EQ(*beside, harness::program("server"));

	auto on_path = observe::find_program("true", harness::program("observe"), "/nonexistent:/usr/bin:/bin", error);
	ASSERT_TRUE(on_path) << error;
	EXPECT_TRUE(on_path->ends_with("/true"));

	EXPECT_FALSE(observe::find_program("no-such-program", harness::program("observe"), "/usr/bin", error));
	EXPECT_NE(error.find("cannot find program 'no-such-program'"), std::string::npos) << error;
	EXPECT_FALSE(observe::find_program("/tmp", harness::program("observe"), "", error)) << "a directory";
}

/* ---- timeline ---- */

TEST(ObserveTimeline, ShowsEachStateAtItsTimeAndEachEndWithItsCause)
{
	auto state = [](long long t, pid_t pid, State s) {
		Event e = make(Kind::state, t, pid);
		e.state = s;
		return e;
	};
	auto spawn = [](long long t, pid_t pid, char const *place) {
		Event e = make(Kind::spawn, t, pid);
		e.place = place;
		return e;
	};
	Event leader_exit = make(Kind::exit, 900, 10);
	Event adopted = make(Kind::adopted, 910, 11);
	adopted.ppid = 5;
	Event interrupted = make(Kind::signaled, 910, 11);
	interrupted.signal = SIGINT;
	Event killed = make(Kind::signaled, 1190, 12);
	killed.signal = SIGKILL;
	killed.by_watcher = true;
	std::vector<Event> events{
		spawn(0, 10, "program"), state(0, 10, State::running),
		spawn(10, 11, "child 1"), state(10, 11, State::running),
		spawn(10, 12, "child 2"), state(10, 12, State::running),
		state(300, 12, State::stopped), state(600, 12, State::running),
		state(310, 11, State::zombie), leader_exit, adopted, interrupted, killed};
	std::sort(events.begin(), events.end(), [](auto &a, auto &b) { return a.t_ms < b.t_ms; });

	auto lines = observe::draw_timeline(events, 5, false);
	ASSERT_EQ(lines.size(), 5u);
	EXPECT_EQ(lines[0], "            0s        1s\n            |         |");
	EXPECT_EQ(lines[1], "10 program  #########...  exit 0");
	EXPECT_EQ(lines[2], "11 child 1  ###zzzzzz^..  SIGINT, adopted by 5 (observe)");
	EXPECT_EQ(lines[3], "12 child 2  ###---#####.  SIGKILL (ended by observe)");
	EXPECT_NE(lines[4].find("# running"), std::string::npos);
}

TEST(ObserveTimeline, KeepsAShortStopVisible)
{
	Event spawn = make(Kind::spawn, 0, 7);
	spawn.place = "child 2";
	Event running = make(Kind::state, 0, 7);
	Event stopped = make(Kind::state, 420, 7);
	stopped.state = State::stopped;
	Event again = make(Kind::state, 440, 7);
	Event gone = make(Kind::signaled, 800, 7);
	gone.signal = SIGHUP;
	auto lines = observe::draw_timeline({spawn, running, stopped, again, gone}, 1, false);
	EXPECT_EQ(lines[1], "7 child 2  ####-###.  SIGHUP");
}

TEST(ObserveTimeline, AProgramThatEndsWithinAColumnStillShowsItRan)
{
	Event spawn = make(Kind::spawn, 3, 40);
	spawn.place = "program";
	Event running = make(Kind::state, 3, 40);
	Event exited = make(Kind::exit, 20, 40);
	exited.status = 2;
	auto lines = observe::draw_timeline({spawn, running, exited, make(Kind::end, 20)}, 1, false);
	EXPECT_EQ(lines[1], "40 program  #.  exit 2");
}

} // namespace
