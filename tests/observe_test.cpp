/*
 * observe: its JSON, its timeline, its options, and whole watches of real
 * programs, read back from its --json event stream.
 */
#include "network.h"
#include "options.h"
#include "process.h"
#include "report/json.h"
#include "report/timeline.h"
#include "table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <map>

namespace {

using namespace std::chrono_literals;
using observe::Event;
using observe::Micros;
using observe::State;

/* Wait statuses as waitpid gives them. */
constexpr int exited(int code) { return code << 8; }
constexpr int killed_by(int signal) { return signal; }

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

Escape const escapes[] = {
	Escape{"Plain", "Child1", "\"Child1\""},
	Escape{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
	Escape{"TerminalLineEnd", "Child1\r\n", "\"Child1\\r\\n\""},
	Escape{"ControlAndDelete", std::string("\x01\x1b\x7f\t", 4), "\"\\u0001\\u001b\\u007f\\t\""},
	Escape{"ZeroByte", std::string("a\0b", 3), "\"a\\u0000b\""},
	Escape{"Utf8PassesThrough", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\""},
	Escape{"StrayByte", "\xff", "\"\\u00ff\""},
	Escape{"CutSequence", "\xc3", "\"\\u00c3\""},
	Escape{"Overlong", "\xc0\xaf", "\"\\u00c0\\u00af\""},
	Escape{"Surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
};

INSTANTIATE_TEST_SUITE_P(Observe, JsonString, ::testing::ValuesIn(escapes),
	[](auto const &info) { return std::string(info.param.name); });

TEST(ObserveJson, EachEventHasItsFields)
{
	using namespace observe;
	auto json = [](Micros t, What what) { return json_event(Event{t, std::move(what)}); };
	EXPECT_EQ(json(0, Started{"build/bin/childsig-a", 11, 12, SourceKind::proc, "not root"}),
		  R"({"t_ms":0,"t_us":0,"event":"start","version":1,"limit_s":12,"source":"proc","why":"not root","program":"build/bin/childsig-a","pid":11})");
	EXPECT_EQ(json(5432, Spawn{12, 11, "childsig-a", {Place::Root::program, {1}}}),
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
	EXPECT_EQ(json(12001000, End{EndReason::time_limit, {13, 14}}),
		  R"({"t_ms":12001,"t_us":12001000,"event":"end","reason":"time limit","ended":[13,14]})");
}

/* ---- options ---- */

/* What a command line gives: the parsed options, or the start of the error. */
struct CommandLine {
	char const *name;
	std::vector<char const *> argv;
	char const *error;	/* nullptr where it parses */
	std::vector<std::string> command = {};
};

std::optional<observe::Options>
parse(std::vector<char const *> args, std::string &error)
{
	args.insert(args.begin(), "observe");
	std::vector<char *> argv;
	for (auto arg : args)
		argv.push_back(const_cast<char *>(arg));
	argv.push_back(nullptr);
	return observe::parse_options(static_cast<int>(args.size()), argv.data(), error);
}

class ObserveOptions : public ::testing::TestWithParam<CommandLine> {};

TEST_P(ObserveOptions, EndAtTheCommandAndSayWhatIsWrong)
{
	std::string error;
	auto options = parse(GetParam().argv, error);
	if (GetParam().error != nullptr) {
		EXPECT_FALSE(options);
		EXPECT_TRUE(error.starts_with(GetParam().error)) << error;
		return;
	}
	ASSERT_TRUE(options) << error;
	EXPECT_EQ(options->watch.argv, GetParam().command);
}

CommandLine const command_lines[] = {
	CommandLine{"NoCommand", {"--json"}, "no command"},
	CommandLine{"UnknownOption", {"--colour=never", "server"}, "unknown option --colour"},
	CommandLine{"UnknownShortOption", {"-x", "server"}, "unknown option -x"},
	CommandLine{"ForWithoutValue", {"--for"}, "--for needs a value"},
	CommandLine{"ForNotANumber", {"--for", "ten", "server"}, "--for takes seconds"},
	CommandLine{"ForHexadecimal", {"--for=0x10", "server"}, "--for takes seconds as a decimal number"},
	CommandLine{"JsonWithAValue", {"--json=yes", "server"}, "--json takes no value, not 'yes'"},
	CommandLine{"EmptyCommand", {"--", ""}, "the command is empty"},
	CommandLine{"ForNegative", {"--for", "-3", "server"}, "--for takes seconds"},
	CommandLine{"NoSuchSignal", {"--ignore", "SIGNONE", "childsig-b"}, "--ignore takes a signal"},
	CommandLine{"KillCannotBeIgnored", {"--ignore=9", "childsig-b"}, "--ignore: 9 cannot be ignored"},
	CommandLine{"NoSuchSource", {"--source=bpf", "server"}, "--source is auto, kernel or proc"},
	CommandLine{"NoSuchColour", {"--color", "sometimes", "server"}, "--color is auto, always or never"},
	CommandLine{"OptionsAfterTheCommandAreItsOwn", {"--for", "1", "sleep", "--for", "2"}, nullptr,
		    {"sleep", "--for", "2"}},
	CommandLine{"DoubleDashEndsTheOptions", {"--", "--json"}, nullptr, {"--json"}},
	CommandLine{"ReplayRunsNoCommand", {"--replay", "a.jsonl", "server"}, "--replay shows a recording and runs no command"},
	CommandLine{"ReplayWithDrawings", {"--replay=a.jsonl", "--html", "a.html", "--trace-event=a.json"}, nullptr, {}},
};

INSTANTIATE_TEST_SUITE_P(Observe, ObserveOptions, ::testing::ValuesIn(command_lines),
	[](auto const &info) { return std::string(info.param.name); });

TEST(ObserveOptions, TakesEveryOptionInBothForms)
{
	std::string error;
	auto options = parse({"--for=2.5", "--send", "", "--json", "--ignore", "INT", "--ignore=SIGTSTP",
			      "--ignore", "3", "--adopting", "--color=never", "--source", "proc", "--", "server", "-x"},
			     error);
	ASSERT_TRUE(options) << error;
	EXPECT_TRUE(options->json);
	EXPECT_EQ(options->watch.limit_seconds, 2.5);
	EXPECT_EQ(options->watch.send, "") << "an empty text is a text: connect and close";
	EXPECT_EQ(options->watch.ignored_signals, (std::vector<int>{SIGINT, SIGTSTP, SIGQUIT}));
	EXPECT_TRUE(options->watch.adopting);
	EXPECT_EQ(options->colour, observe::Colour::never);
	EXPECT_EQ(options->watch.source, observe::SourceChoice::proc);
	EXPECT_EQ(options->watch.argv, (std::vector<std::string>{"server", "-x"}));
	EXPECT_TRUE(parse({"--help", "server"}, error)->help);
}

TEST(ObserveOptions, FindsABareNameBesideItselfBeforePathAndSaysWhyNot)
{
	using observe::exit_status::not_executable;
	using observe::exit_status::not_found;
	auto self = harness::program("observe");
	auto beside = observe::find_command("server", self, "/usr/bin:/bin");
	EXPECT_EQ(beside.path, harness::program("server")) << beside.error;
	auto on_path = observe::find_command("true", self, "/nonexistent:/usr/bin:/bin");
	ASSERT_TRUE(on_path.path) << on_path.error;
	EXPECT_TRUE(on_path.path->ends_with("/true"));

	harness::TempFile plain("not a program");
	struct Missing {
		std::string name;
		int status;
		char const *words;
	} const missing[] = {
		{"no-such-program", not_found, "not found in PATH"},
		{"/nonexistent/program", not_found, "no such file"},
		{"/tmp", not_executable, "is a directory"},
		{plain.path(), not_executable, "not executable"},
	};
	for (auto const &m : missing) {
		auto found = observe::find_command(m.name, self, "/usr/bin");
		EXPECT_FALSE(found.path) << m.name;
		EXPECT_EQ(found.status, m.status) << m.name;
		EXPECT_NE(found.error.find(m.words), std::string::npos) << found.error;
	}
}

TEST(ObserveExitStatus, IsTheCommandsOwnUnlessObserveEndedIt)
{
	using observe::EndReason;
	using observe::Outcome;
	struct Case {
		Outcome outcome;
		int status;
	} const cases[] = {
		{{EndReason::all_ended, exited(0), std::nullopt}, 0},
		{{EndReason::all_ended, exited(2), std::nullopt}, 2},
		{{EndReason::all_ended, killed_by(SIGINT), std::nullopt}, 130},
		/* Its orphans, ended at the time limit, do not count. */
		{{EndReason::time_limit, exited(0), std::nullopt}, 0},
		{{EndReason::time_limit, std::nullopt, std::nullopt}, 124},
		{{EndReason::interrupted, std::nullopt, SIGTERM}, 143},
		{{EndReason::interrupted, std::nullopt, SIGHUP}, 129},
		{{EndReason::interrupted, exited(3), SIGTERM}, 3},
	};
	for (auto const &c : cases)
		EXPECT_EQ(observe::exit_status_of(c.outcome), c.status) << reason_name(c.outcome.reason);
}

/* ---- timeline ---- */

/* A table of made-up processes, drawn from the events it makes, as a watch's timeline is. */
struct Drawn {
	observe::EventQueue events;
	observe::ProcessTable table{events, 5};
	observe::Story story;
	observe::Marks marks;

	Drawn() { story.take({0, observe::Started{"demo", 10, 0, observe::SourceKind::proc, "", 5}}); }

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
	/* An event the table does not make, after those it has made. */
	void tell(Micros ms, observe::What what)
	{
		flush();
		Event e{ms * 1000, std::move(what)};
		story.take(e);
		marks.take(e);
	}
	void flush()
	{
		for (auto const &e : events.release(std::numeric_limits<Micros>::max())) {
			story.take(e);
			marks.take(e);
		}
	}
	std::vector<std::string> draw(Micros ms, size_t width = 200)
	{
		flush();
		return observe::draw_timeline(story, ms * 1000, false, width, marks);
	}
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
	EXPECT_EQ(lines[0], "           0s        1s   (10 columns a second)\n           |         |");
	EXPECT_EQ(lines[1], "demo 10    #########...  exit 0");
	EXPECT_EQ(lines[2], "  demo 11  ###zzzzzz^..  SIGINT, adopted by observe 5");
	EXPECT_EQ(lines[3], "  demo 12  ###---#####.  SIGKILL (ended by observe)");
	EXPECT_NE(lines[4].find("# running"), std::string::npos);
}

/*
 * A kill to a process group and a span the kernel dropped records in, each
 * marked at its time in a lane under the rows and told below it: the
 * sender, the group and each member's result; how many records, and when.
 */
TEST(ObserveTimeline, MarksAKillToAGroupAndTheRecordsLostInALaneOfTheirOwn)
{
	using observe::SignalResult;
	Drawn d;
	d.appear(0, 10, 1);
	d.appear(0, 11, 10);
	d.appear(0, 12, 11);
	d.tell(500, observe::GroupSignal{10, SIGTERM, -11});
	for (auto [pid, result] : {std::pair{11, SignalResult::queued}, std::pair{12, SignalResult::ignored}})
		d.tell(500, observe::Signal{pid, SIGTERM, 10, result, observe::SignalCause::none, 0, State::running,
					    false, std::nullopt, std::nullopt, std::nullopt, -11});
	/* A second kill in the same column: the first keeps the mark, and the second's note says so. */
	d.tell(520, observe::GroupSignal{10, SIGCONT, -11});
	/* Another kill by the same sender, to a process outside the group, is no member's share. */
	d.tell(600, observe::Signal{12, SIGTERM, 10, SignalResult::queued, observe::SignalCause::none, 0,
				    State::running});
	d.tell(950, observe::Lost{12, 700000, 900000});
	d.end(600, 11, killed_by(SIGTERM));
	d.end(1000, 10, exited(0));
	d.end_by_observe(1100, 12);

	auto lines = d.draw(1100, 80);
	ASSERT_GE(lines.size(), 11u);
	EXPECT_EQ(lines[2], "  demo 11    #####!......  SIGTERM") << "the member's share at the kill's time";
	EXPECT_EQ(lines[4], "                  1 ~~~") << "the kill at 0.5 s, the loss from 0.7 s to 0.9 s";
	EXPECT_EQ(lines[5], "  1  0.500 s  demo 10 (program) \u2192 process group 11 SIGTERM: demo 11 queued,");
	EXPECT_EQ(lines[6], "     demo 12 ignored");
	EXPECT_EQ(lines[7], "  2  0.520 s  (marked 1 above: the same column) demo 10 (program) \u2192 process");
	EXPECT_EQ(lines[9], "  ~  records lost: the kernel dropped 12 between 0.700 s and 0.900 s, so events");
	EXPECT_EQ(lines[10], "     may be missing there");
}

TEST(ObserveTimeline, KeepsAShortStopVisible)
{
	Drawn d;
	d.appear(0, 7, 1);
	d.change(420, 7, State::stopped);
	d.change(440, 7, State::running);
	d.end(800, 7, killed_by(SIGHUP));
	EXPECT_EQ(d.draw(800)[1], "demo 7  ####-###.  SIGHUP");
}

TEST(ObserveTimeline, AProgramThatEndsWithinAColumnStillShowsItRan)
{
	Drawn d;
	d.appear(3, 40, 1);
	d.end(20, 40, exited(2));
	EXPECT_EQ(d.draw(20)[1], "demo 40  #.  exit 2");
}

/* A build's tree, six generations deep with long commands: indented, and its labels within a quarter of 80 columns. */
TEST(ObserveTimeline, ADeepTreeIsIndentedWithinAQuarterOfTheWidth)
{
	Drawn d;
	char const *names[] = {"make", "make", "sh", "c++", "collect2", "x86_64-linux-gnu-ld.gold"};
	for (pid_t pid = 100; pid < 106; pid++)
		d.table.appear(0, pid, pid == 100 ? 1 : pid - 1, names[pid - 100], State::running);
	auto lines = d.draw(500, 80);
	size_t cells = lines[1].find('#');
	EXPECT_LE(cells, 80u / 4 + 2) << lines[1];
	size_t indent = 0;
	for (size_t row = 1; row <= 6; row++) {
		EXPECT_EQ(lines[row].find('#'), cells) << "the cells start in one column:\n" << lines[row];
		size_t this_indent = lines[row].find_first_not_of(' ');
		EXPECT_GT(this_indent + (row == 1), indent) << "each generation further in:\n" << lines[row];
		indent = this_indent;
	}
	EXPECT_NE(lines[6].find(" 105"), std::string::npos) << "the pid stays whole: " << lines[6];
}

/* A childsig-a watch of 10.5 s, as a terminal of 80 and one of 200 columns show it. */
TEST(ObserveTimeline, FitsTheWidthAndUsesTheRoomThereIs)
{
	Drawn d;
	d.appear(0, 16694, 16690);
	d.appear(1, 16695, 16694);
	d.appear(1, 16696, 16694);
	d.change(3000, 16696, State::stopped);
	d.change(6000, 16696, State::running);
	d.change(6000, 16695, State::stopped);
	d.end(6001, 16694, exited(0));
	d.adopt(6001, 16695, 5);
	d.adopt(6001, 16696, 5);
	d.end(6001, 16695, killed_by(SIGHUP));
	d.end_by_observe(10500, 16696);

	struct Fit {
		size_t width;
		char const *scale;
		size_t rows;	/* lines for the three processes, causes wrapped */
	} const fits[] = {{80, "(2 columns a second)", 4}, {200, "(10 columns a second)", 3}};
	for (auto const &fit : fits) {
		auto lines = d.draw(10500, fit.width);
		std::string all;
		for (auto const &line : lines)
			all += line + "\n";
		std::istringstream each(all);
		for (std::string line; std::getline(each, line);)
			EXPECT_LE(line.size(), fit.width) << line;
		EXPECT_NE(lines[0].find(fit.scale), std::string::npos) << lines[0];
		EXPECT_NE(lines[0].find("10s"), std::string::npos) << "the axis reaches the end: " << lines[0];
		size_t rows = 0;
		while (rows + 1 < lines.size() && lines[rows + 1].find("running") == std::string::npos)
			rows++;
		EXPECT_EQ(rows, fit.rows) << all;
		EXPECT_NE(all.find("SIGKILL (ended by observe)"), std::string::npos) << all;
		EXPECT_NE(all.find("adopted by observe 5"), std::string::npos) << all;
	}
	/* At ten columns a second child 1's stop at 6 s is where its row says. */
	auto wide = d.draw(10500, 200);
	EXPECT_EQ(wide[2].substr(wide[2].find('#'), 62),
		  std::string(60, '#') + "^.");
}

} // namespace
