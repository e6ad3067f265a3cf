/*
 * observe: its JSON, its timeline, its options, and whole watches of real
 * programs, read back from its --json event stream.
 */
#include "network.h"
#include "options.h"
#include "process.h"
#include "report/json.h"
#include "report/timeline.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>

namespace {

using namespace std::chrono_literals;
using observe::Event;
using observe::Micros;
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

/* Wait statuses as waitpid gives them. */
constexpr int exited(int code) { return code << 8; }
constexpr int killed_by(int signal) { return signal; }

TEST(ObserveJson, EachEventHasItsFields)
{
	using namespace observe;
	auto json = [](Micros t, What what) { return json_event(Event{t, std::move(what)}); };
	EXPECT_EQ(json(0, Started{"build/bin/childsig-a", 11, 12, SourceKind::proc, "not root"}),
		  R"({"t_ms":0,"t_us":0,"event":"start","source":"proc","why":"not root","program":"build/bin/childsig-a","pid":11})");
	EXPECT_EQ(json(5432, Spawn{12, 11, "childsig-a", "child 1"}),
		  R"({"t_ms":5,"t_us":5432,"event":"spawn","pid":12,"ppid":11,"name":"childsig-a","place":"child 1"})");
	EXPECT_EQ(json(3001000, StateChange{13, State::stopped}),
		  R"({"t_ms":3001,"t_us":3001000,"event":"state","pid":13,"state":"stopped"})");
	EXPECT_EQ(json(6002000, Adopted{13, 10}), R"({"t_ms":6002,"t_us":6002000,"event":"adopted","pid":13,"ppid":10})");
	EXPECT_EQ(json(6001000, Ended{11, exited(0), false}),
		  R"({"t_ms":6001,"t_us":6001000,"event":"exit","pid":11,"status":0})");
	EXPECT_EQ(json(7000, Ended{14, std::nullopt, false}),
		  R"({"t_ms":7,"t_us":7000,"event":"exit","pid":14,"status":null})");
	EXPECT_EQ(json(6003000, Ended{13, killed_by(SIGHUP), false}),
		  R"({"t_ms":6003,"t_us":6003000,"event":"signaled","pid":13,"signal":"SIGHUP"})");
	EXPECT_EQ(json(12000000, Ended{13, killed_by(SIGKILL), true}),
		  R"({"t_ms":12000,"t_us":12000000,"event":"signaled","pid":13,"signal":"SIGKILL","by_observe":true})");
	EXPECT_EQ(json(6000000, Output{"Child term"}),
		  R"({"t_ms":6000,"t_us":6000000,"event":"output","text":"Child term"})");
	EXPECT_EQ(json(20000, Eof{}), R"({"t_ms":20,"t_us":20000,"event":"eof"})");
	EXPECT_EQ(json(12001000, End{"time limit", {13, 14}}),
		  R"({"t_ms":12001,"t_us":12001000,"event":"end","reason":"time limit","ended":[13,14]})");
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
	EXPECT_EQ(options->watch.argv, std::vector<std::string>{"server"});
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

/* A table of made-up processes, for drawing. */
struct Drawn {
	observe::EventQueue events;
	observe::ProcessTable table{events, 5};

	void appear(Micros ms, pid_t pid, pid_t ppid) { table.appear(ms * 1000, pid, ppid, "demo", State::running); }
	void change(Micros ms, pid_t pid, State state) { table.change(ms * 1000, pid, state); }
	void adopt(Micros ms, pid_t pid, pid_t parent) { table.adopt(ms * 1000, pid, parent); }
	void end(Micros ms, pid_t pid, int status) { table.told(ms * 1000, pid, status); }
	/* As if observe had ended it; no signal is sent. */
	void end_by_observe(Micros ms, pid_t pid)
	{
		table.find(pid)->killed = true;
		end(ms, pid, killed_by(SIGKILL));
	}
	std::vector<std::string> draw(Micros ms) { return observe::draw_timeline(table, ms * 1000, false); }
};

TEST(ObserveTimeline, ShowsEachStateAtItsTimeAndEachEndWithItsCause)
{
	Drawn d;
	d.appear(0, 10, 1);
	d.appear(10, 11, 10);
	d.appear(10, 12, 10);
	d.change(300, 12, State::stopped);
	d.change(310, 11, State::zombie);
	d.change(600, 12, State::running);
	d.end(900, 10, exited(0));
	d.adopt(910, 11, 5);
	d.end(910, 11, killed_by(SIGINT));
	d.end_by_observe(1190, 12);

	auto lines = d.draw(1190);
	ASSERT_EQ(lines.size(), 5u);
	EXPECT_EQ(lines[0], "            0s        1s\n            |         |");
	EXPECT_EQ(lines[1], "10 program  #########...  exit 0");
	EXPECT_EQ(lines[2], "11 child 1  ###zzzzzz^..  SIGINT, adopted by 5 (observe)");
	EXPECT_EQ(lines[3], "12 child 2  ###---#####.  SIGKILL (ended by observe)");
	EXPECT_NE(lines[4].find("# running"), std::string::npos);
}

TEST(ObserveTimeline, KeepsAShortStopVisible)
{
	Drawn d;
	d.appear(0, 7, 1);
	d.table.find(7)->place = "child 2";
	d.change(420, 7, State::stopped);
	d.change(440, 7, State::running);
	d.end(800, 7, killed_by(SIGHUP));
	EXPECT_EQ(d.draw(800)[1], "7 child 2  ####-###.  SIGHUP");
}

TEST(ObserveTimeline, AProgramThatEndsWithinAColumnStillShowsItRan)
{
	Drawn d;
	d.appear(3, 40, 1);
	d.end(20, 40, exited(2));
	EXPECT_EQ(d.draw(20)[1], "40 program  #.  exit 2");
}

} // namespace
