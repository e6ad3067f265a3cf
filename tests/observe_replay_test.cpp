/*
 * observe's recordings shown again, and its drawings of a watch: a replayed
 * recording gives the report the watch gave; a damaged or hostile one is
 * refused, or drawn without running what it holds; the page, the picture
 * and the trace are read by what reads them (a browser, librsvg, a JSON
 * reader), where those are installed.
 */
#include "json_reader.h"
#include "process.h"
#include "replay.h"
#include "report/json.h"
#include "report/text.h"
#include "report/timeline.h"
#include "screen.h"
#include "table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using observe::Event;

std::string const recordings = RECORDINGS_DIR;

/* What a reporter writes, kept in memory. */
class Captured {
public:
	Captured() : file_(open_memstream(&buffer_, &size_)) {}
	~Captured()
	{
		fclose(file_);
		free(buffer_);
	}
	FILE *file() const { return file_; }
	std::string text() const
	{
		fflush(file_);
		return std::string(buffer_, size_);
	}

private:
	char *buffer_ = nullptr;
	size_t size_ = 0;
	FILE *file_;
};

std::string
read_file(std::string const &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream all;
	all << in.rdbuf();
	return all.str();
}

size_t
count(std::string const &text, std::string const &what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
		n++;
	return n;
}

/* Pids above any pid_max, so that the table's process descriptors reach nothing real. */
constexpr pid_t observer = 5000001, shell = 5000002, program = 5000003, child1 = 5000004, child2 = 5000005,
		program_thread = 5000006, child1_thread = 5000007;

/*
 * A watch of every kind of event, as the sources tell the table of it, and
 * what the table releases reported live after each step, as a watch reports:
 * by the text, timeline and JSON reporters. Replaying the JSON gives the
 * same text and timeline, and the same JSON again, field for field.
 */
TEST(ObserveReplay, GivesTheReportAndTimelineTheWatchGave)
{
	using namespace observe;
	/* Both timelines at 80 columns, wherever the test runs. */
	setenv("COLUMNS", "80", 1);
	Screen const screen;
	EventQueue queue;
	ProcessTable table(queue, observer);
	table.set_shell(shell);
	Captured live_text, live_json;
	Reporters live;
	live.add(std::make_unique<TextReporter>(live_text.file()));
	live.add(std::make_unique<TimelineReporter>(live_text.file(), false, screen));
	live.add(std::make_unique<JsonReporter>(live_json.file()));

	Signal const group_share{child1, SIGWINCH, program, SignalResult::ignored, SignalCause::none, SI_USER,
				 State::running};
	std::function<void()> const steps[] = {
		[&] { queue.push(0, Started{"build/bin/childsig-a", program, 7, SourceKind::kernel, "", observer, shell}); },
		[&] { table.appear(700, program, shell, "observe", State::running); },
		[&] { table.exec(1400, program, "build/bin/childsig-a"); },
		[&] { table.appear(2100, child1, program, "childsig-a", State::running); },
		[&] { table.appear(2200, child2, program, "childsig-a", State::running); },
		[&] { table.hold(2300, child1, "Child1", true); },
		[&] { table.unreadable(2400, child2, "its memory cannot be read"); },
		[&] { queue.push(3400, Output{"Child1\r\nChild2\r\n<b>"}); },
		[&] { table.signal(3005000, Signal{child2, SIGSTOP, program, SignalResult::queued, SignalCause::none, 0, State::running}); },
		[&] {
			table.signal(3005100, Signal{program, SIGCHLD, std::nullopt, SignalResult::ignored,
						     SignalCause::child_changed_state, CLD_STOPPED, State::running, false, child2});
		},
		[&] { table.change(3005200, child2, State::stopped); },
		/* One kill to the program's group, from a thread of its; each member's share. */
		[&] { table.group_signal(4000000, GroupSignal{program, SIGWINCH, -program, program_thread}); },
		[&] {
			Signal to_child1 = group_share;
			to_child1.thread = program_thread;
			to_child1.group = -program;
			table.signal(4000001, to_child1);
			Signal to_child2 = to_child1;
			to_child2.target = child2;
			to_child2.target_state = State::stopped;
			table.signal(4000002, to_child2);
		},
		/* A thread named as the target, and the kernel's own reason for a signal. */
		[&] {
			table.signal(4100000, Signal{child1, SIGURG, program, SignalResult::ignored, SignalCause::none, SI_TKILL,
						     State::running, false, std::nullopt, std::nullopt, child1_thread});
		},
		[&] {
			table.signal(4200000, Signal{program, SIGPIPE, std::nullopt, SignalResult::ignored,
						     SignalCause::broken_pipe, SI_USER, State::running});
		},
		[&] { table.discard(6005300, Discarded{child2, SIGTSTP, DiscardReason::flushed_by_sigcont}); },
		[&] { table.change(6005400, program, State::zombie); },
		[&] { table.adopt(6005500, child1, observer); },
		[&] {
			table.signal(6005500, Signal{child1, SIGHUP, std::nullopt, SignalResult::queued,
						     SignalCause::orphaned_group, 128, State::stopped, false, program});
		},
		[&] {
			table.signal(6005510, Signal{child1, SIGCONT, std::nullopt, SignalResult::ignored, SignalCause::kernel, 0,
						     State::running, true});
		},
		[&] { table.told(6005700, program, 0); },
		[&] { table.gone(6005900, child1, true); },
		[&] { table.told(6006000, child1, SIGHUP); },
		[&] { queue.push(6100000, Reply{"Hello"}); },
		[&] { queue.push(6100001, Eof{}); },
		[&] { queue.push(6100002, Reset{}); },
		[&] { queue.push(6100003, NoListener{}); },
		[&] { queue.push(6100004, SocketChange{"127.0.0.1:3456", std::nullopt, SocketState::listening, program, true}); },
		[&] { queue.push(6100005, SocketChange{"127.0.0.1:3456", "127.0.0.1:5000", SocketState::time_wait, std::nullopt, false, true}); },
		[&] { queue.push(6200000, Gap{6100000}); },
		[&] { queue.push(6300000, Lost{3, 6250000, 6290000}); },
		[&] {
			table.signal(7000000, Signal{child2, SIGKILL, observer, SignalResult::queued, SignalCause::none, 0,
						     State::stopped});
		},
		[&] { table.kill(child2); },
		[&] { table.told(7000300, child2, SIGKILL); },
		[&] { queue.push(7000400, End{EndReason::time_limit, {child2}}); },
	};
	for (auto const &step : steps) {
		step();
		for (auto const &e : queue.release(std::numeric_limits<Micros>::max()))
			live.report(e);
	}
	live.finish();

	std::string error;
	auto recording = read_recording(live_json.text(), error);
	ASSERT_TRUE(recording) << error << "\n" << live_json.text();
	Captured again_text, again_json;
	Reporters again;
	again.add(std::make_unique<TextReporter>(again_text.file()));
	again.add(std::make_unique<TimelineReporter>(again_text.file(), false, screen));
	again.add(std::make_unique<JsonReporter>(again_json.file()));
	replay(*recording, again);
	EXPECT_EQ(again_text.text(), live_text.text());
	EXPECT_EQ(again_json.text(), live_json.text());
	/* The report replayed is the watch's, not an empty one, with each kind's own words. */
	for (char const *said : {"5000004 (child 1) collected: SIGHUP", "(program, its thread 5000006) \u2192 process group 5000003 SIGWINCH",
				 "(child 1, its thread 5000007) SIGURG", "SIGPIPE: it wrote to a pipe", "between 6.250000 s and 6.290000 s",
				 "the program has ended, and 2 processes"})
		EXPECT_NE(live_text.text().find(said), std::string::npos) << said << "\n" << live_text.text();
}

/*
 * The program ends with one child a zombie and another stopped: what is left
 * to wait for is the stopped one alone, said to be stopped, and it is one
 * process, not "they".
 */
TEST(ObserveReport, WhatIsLeftAfterTheProgramIsWhatHasNotEnded)
{
	using namespace observe;
	Captured text;
	TextReporter reporter(text.file());
	Place const top;
	Event const events[] = {
		{0, Started{"forkwait", program, 0, SourceKind::kernel, "", observer, shell}},
		{10, Spawn{program, shell, "forkwait", top}},
		{20, Spawn{child1, program, "forkwait", top.child(1)}},
		{30, Spawn{child2, program, "forkwait", top.child(2)}},
		{35, StateChange{child2, State::stopped}},
		{40, StateChange{child1, State::zombie}},
		{50, StateChange{program, State::zombie}},
		{60, Adopted{child1, observer}},
		{60, Adopted{child2, observer}},
		{70, Ended{program, 0, false}},
		{80, Ended{child1, 5 << 8, false}},
	};
	Captured at_the_end;
	TextReporter ending(at_the_end.file());
	for (auto const &e : events) {
		reporter.report(e);
		/* The same watch, but the program ended by observe as the watch ends: nothing is said to go on. */
		auto const *ended = std::get_if<Ended>(&e.what);
		ending.report(ended && ended->pid == program ? Event{e.t_us, Ended{program, SIGKILL, true}} : e);
	}
	EXPECT_EQ(at_the_end.text().find("the watch goes on"), std::string::npos) << at_the_end.text();
	std::string said = text.text();
	auto at = said.find("the program has ended, and 1 process of its job remains: forkwait 5000005 (child 2) stopped; "
			    "the watch goes on until it ends");
	EXPECT_NE(at, std::string::npos) << said;
	std::string told = at == std::string::npos ? "" : said.substr(at, said.find('\n', at) - at);
	EXPECT_EQ(told.find("5000004"), std::string::npos) << "a zombie counted as left:\n" << said;
}

/* ---- refusals ---- */

/* A recording spoilt one way, and the start of what observe says of it after the line number. */
struct Damage {
	char const *name;
	std::function<std::string(std::vector<std::string> &)> spoil;	/* the recording's text, made from its lines */
	char const *reason;
};

std::string
replace(std::string text, std::string const &from, std::string const &to)
{
	auto at = text.find(from);
	return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string
joined(std::vector<std::string> const &lines)
{
	std::string text;
	for (auto const &line : lines)
		text += line + "\n";
	return text;
}

/* Line 0 is the start event; 1 and 2 the program's spawn and state. */
Damage const damages[] = {
	{"CutMidLine", [](auto &l) { std::string t = joined(l); return t.substr(0, t.size() - 40); }, "cut short: the last line"},
	{"NoEndEvent", [](auto &l) { l.pop_back(); return joined(l); }, "cut short: no end"},
	{"OlderVersion", [](auto &l) { l[0] = replace(l[0], "\"version\":1,", ""); return joined(l); },
	 "a recording without a format version"},
	{"NewerVersion", [](auto &l) { l[0] = replace(l[0], "\"version\":1", "\"version\":2"); return joined(l); },
	 "a recording of format version 2"},
	{"NotJson", [](auto &l) { l[3] += "}"; return joined(l); }, "line 4: text after"},
	{"NotARecording", [](auto &l) { l.erase(l.begin()); return joined(l); }, "the first event is not a start"},
	{"TimesDisagree", [](auto &l) { l[5] = replace(l[5], "\"t_us\":", "\"t_us\":1"); return joined(l); },
	 "\"t_ms\" and \"t_us\" disagree"},
	{"TimeRunsBack", [](auto &l) { std::swap(l[3], l[20]); return joined(l); }, "an event earlier than the one before"},
	{"AfterTheEnd", [](auto &l) { l.push_back(l[3]); return joined(l); }, "an event after the end"},
	{"LostWithoutItsSpan", [](auto &l) {
		 l.insert(l.begin() + 3, "{\"t_ms\":0,\"t_us\":774,\"event\":\"lost\",\"records\":3}");
		 return joined(l);
	 }, "line 4: a \"lost\" event without the span"},
	{"UnknownKind", [](auto &l) { l[4] = replace(l[4], "\"event\":\"", "\"event\":\"x"); return joined(l); },
	 "line 5: an event of an unknown kind"},
	{"NegativePid", [](auto &l) { l[1] = replace(l[1], "\"pid\":", "\"pid\":-"); return joined(l); },
	 "line 2: \"pid\" is not a whole number"},
	{"UnknownState", [](auto &l) { l[2] = replace(l[2], "running", "dancing"); return joined(l); },
	 "\"state\" is not one of"},
	{"DeepNesting", [](auto &l) { l[3] = replace(l[3], "}", ",\"x\":" + std::string(50, '[') + std::string(50, ']') + "}"); return joined(l); },
	 "JSON nested too deep"},
	{"TerminalEscapeInAName", [](auto &l) { l[1] = replace(l[1], "\"place\":\"", "\"place\":\"\\u001b[2J"); return joined(l); },
	 "\"place\" holds a control character"},
	{"NulInAString", [](auto &l) { l[2] = replace(l[2], "\"state\":\"", std::string("\"state\":\"\0", 10)); return joined(l); },
	 "not JSON: a control character"},
	{"SignalBeyondTheKernels", [](auto &l) {
		 for (auto &line : l)
			 if (line.find("\"event\":\"signaled\"") != std::string::npos)
				 line = replace(line, "\"signal\":\"SIGHUP\"", "\"signal\":\"signal 999\"");
		 return joined(l);
	 }, "\"signal\" is not a signal"},
	{"Empty", [](auto &) { return std::string(); }, "empty"},
	{"NotEvenText", [](auto &) { return std::string("\x89PNG\r\n\x1a\n\0\0", 10); }, "line 1: not JSON"},
};

class ObserveRefusal : public ::testing::TestWithParam<Damage> {};

/* Refused whole, with the line and the reason, and status 125: nothing half reported. */
TEST_P(ObserveRefusal, RefusesADamagedRecordingWithTheLineAndWhy)
{
	std::vector<std::string> lines;
	std::istringstream in(read_file(recordings + "/childsig-a.kernel.jsonl"));
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	ASSERT_GT(lines.size(), 21u);
	harness::TempFile file(GetParam().spoil(lines));
	harness::Child observe({{harness::program("observe"), "--replay", file.path()}});
	ASSERT_TRUE(observe.wait_exit(10s));
	EXPECT_EQ(observe.exit_status(), 125) << observe.err();
	EXPECT_EQ(observe.out(), "");
	EXPECT_NE(observe.err().find("not a recording observe can show: "), std::string::npos) << observe.err();
	EXPECT_NE(observe.err().find(GetParam().reason), std::string::npos) << observe.err();
}

INSTANTIATE_TEST_SUITE_P(Observe, ObserveRefusal, ::testing::ValuesIn(damages),
			 [](auto const &info) { return std::string(info.param.name); });

/* A place and the end of a watch, said in a recording's words, read back as
 * what they were and said again alike; words observe never writes refused. */
TEST(ObserveReplay, ReadsPlacesAndEndsBackAsTheyWereSaid)
{
	using namespace observe;
	using Root = Place::Root;
	auto recording = [](std::string const &place, std::string const &reason) {
		return std::string(R"({"t_ms":0,"t_us":0,"event":"start","version":1,"limit_s":0,"observer":1,"shell":2,)"
				   R"("source":"kernel","why":null,"program":"sh","pid":3})") +
		       "\n" + R"({"t_ms":0,"t_us":1,"event":"spawn","pid":3,"ppid":2,"name":"sh","place":")" + place +
		       "\"}\n" + R"({"t_ms":0,"t_us":2,"event":"end","reason":")" + reason + R"(","ended":[]})" + "\n";
	};
	struct Said {
		char const *place;
		Place as;
		char const *reason;
		EndReason means;
	} const said[] = {
		{"program", {Root::program, {}}, "all ended", EndReason::all_ended},
		{"child 2", {Root::program, {2}}, "time limit", EndReason::time_limit},
		{"child 1, child 12, child 3", {Root::program, {1, 12, 3}}, "interrupted", EndReason::interrupted},
		{"orphan", {Root::orphan, {}}, "all ended", EndReason::all_ended},
		{"orphan, child 1", {Root::orphan, {1}}, "all ended", EndReason::all_ended},
	};
	for (auto const &s : said) {
		std::string text = recording(s.place, s.reason), error;
		auto read = read_recording(text, error);
		ASSERT_TRUE(read) << error;
		EXPECT_EQ(std::get<Spawn>(read->events[1].what).place, s.as) << s.place;
		EXPECT_EQ(std::get<End>(read->events[2].what).reason, s.means) << s.reason;
		EXPECT_EQ(json_event(read->events[1]) + "\n" + json_event(read->events[2]) + "\n",
			  text.substr(text.find('\n') + 1));
	}
	struct Unsaid {
		char const *place;
		char const *reason;
		char const *refusal;
	} const unsaid[] = {
		{"", "all ended", "line 2: \"place\" is not a place"},
		{"child 01", "all ended", "line 2: \"place\" is not a place"},
		{"child 0", "all ended", "line 2: \"place\" is not a place"},
		{"program, child 1", "all ended", "line 2: \"place\" is not a place"},
		{"child 1,child 2", "all ended", "line 2: \"place\" is not a place"},
		{"grandchild 1", "all ended", "line 2: \"place\" is not a place"},
		{"child 1", "done", "line 3: \"reason\" is not one of observe's words: \"done\""},
	};
	for (auto const &u : unsaid) {
		std::string error;
		EXPECT_FALSE(read_recording(recording(u.place, u.reason), error)) << u.place;
		EXPECT_NE(error.find(u.refusal), std::string::npos) << error;
	}
}

/* A drawing that cannot be written is observe's failure, and the report is still all there. */
TEST(ObserveReplay, SaysWhenADrawingCannotBeWrittenAndKeepsTheReport)
{
	std::string recording = recordings + "/childsig-a.kernel.jsonl";
	harness::Child unopened({{harness::program("observe"), "--replay", recording, "--svg", "/nonexistent/a.svg"}});
	ASSERT_TRUE(unopened.wait_exit(10s));
	EXPECT_EQ(unopened.exit_status(), 125);
	EXPECT_NE(unopened.err().find("cannot write /nonexistent/a.svg"), std::string::npos) << unopened.err();

	/* A watch that could not be drawn is not begun. */
	harness::Child live({{harness::program("observe"), "--source=proc", "--html", "/nonexistent/a.html", "procids"}});
	ASSERT_TRUE(live.wait_exit(10s));
	EXPECT_EQ(live.exit_status(), 125);
	EXPECT_EQ(live.out(), "");
	EXPECT_NE(live.err().find("cannot write /nonexistent/a.html"), std::string::npos) << live.err();

	harness::Child full({{harness::program("observe"), "--replay", recording, "--html", "/dev/full"}});
	ASSERT_TRUE(full.wait_exit(10s));
	EXPECT_EQ(full.exit_status(), 125);
	EXPECT_NE(full.err().find("cannot write /dev/full"), std::string::npos) << full.err();
	EXPECT_NE(full.out().find("watch over (time limit)"), std::string::npos) << full.out();
}

/* The drawings are made from the events alone: a watch draws the same page and trace as its recording replayed. */
TEST(ObserveReplay, AWatchDrawsWhatItsRecordingDraws)
{
	harness::TempFile recording, live_page, live_trace, page, trace;
	harness::Child live({{harness::program("observe"), "--json", "--source=proc", "--for", "1", "--html", live_page.path(),
			      "--trace-event", live_trace.path(), "procids"}});
	ASSERT_TRUE(live.wait_exit(20s));
	ASSERT_EQ(live.exit_status(), 124) << live.err();
	std::ofstream(recording.path()) << live.out();
	harness::Child again({{harness::program("observe"), "--replay", recording.path(), "--html", page.path(),
			       "--trace-event", trace.path()}});
	ASSERT_TRUE(again.wait_exit(20s));
	EXPECT_EQ(again.exit_status(), 0) << again.err();
	EXPECT_GT(page.text().size(), 10000u);
	EXPECT_EQ(page.text(), live_page.text());
	EXPECT_EQ(trace.text(), live_trace.text());
}

/* ---- drawings of recorded watches ---- */

struct Recorded {
	char const *name;
	char const *file;
	char const *told;	/* a line of the text report */
	char const *drawn;	/* what the page and the picture say of it, on hover at least */
};

/* group-kill: sh -c 'yes | head -c1 >/dev/null; sleep 5 & sleep 5 & sleep 0.2; kill -TERM 0', with a
 * loss of records written in by hand, as the kernel drops none on a quiet machine. */
Recorded const recorded[] = {
	{"ChildsigAKernel", "childsig-a.kernel.jsonl",
	 "kernel \u2192 childsig-a 23998 (child 1) SIGHUP: the program's end left its group orphaned while child 1 was stopped; queued",
	 "left its group orphaned while child 1 was stopped"},
	{"ChildsigBProc", "childsig-b.proc.jsonl", "14281 (child 1) collected: SIGINT; its stdout buffer held 18 bytes",
	 "ended: SIGINT"},
	{"GroupKill", "group-kill.kernel.jsonl",
	 "sh 18640 (program) \u2192 its own process group SIGTERM: one kill for all its members",
	 "sleep 18643 (child 3) SIGTERM, its share of one kill to the sender"},
	{"Hostile", "hostile.jsonl", "| <img src=x onerror=", "ended: SIGINT"},
};

/* The recording's processes and signals, kills to groups and spans where records may be missing, counted from its lines. */
struct Counts {
	size_t processes = 0, signals = 0, groups = 0, gaps = 0;
};

Counts
counts_of(std::string const &recording)
{
	return {count(recording, "\"event\":\"spawn\""), count(recording, "\"event\":\"signal\""),
		count(recording, "\"event\":\"group_signal\""),
		count(recording, "\"event\":\"lost\"") + count(recording, "\"event\":\"gap\"")};
}

class ObserveDrawing : public ::testing::TestWithParam<Recorded> {
protected:
	std::string recording() const { return recordings + "/" + GetParam().file; }
	/* observe --replay with the drawings asked for; its text report. */
	std::string replay(std::vector<std::string> drawings)
	{
		std::vector<std::string> argv{harness::program("observe"), "--replay", recording()};
		argv.insert(argv.end(), drawings.begin(), drawings.end());
		harness::Child observe({argv});
		EXPECT_TRUE(observe.wait_exit(20s));
		EXPECT_EQ(observe.exit_status(), 0) << observe.err();
		return observe.out();
	}
};

TEST_P(ObserveDrawing, TraceEventsHaveTheFormatsFieldsAndPairedFlows)
{
	harness::TempFile trace;
	std::string text = replay({"--trace-event", trace.path()});
	EXPECT_NE(text.find(GetParam().told), std::string::npos) << text;
	std::string error;
	auto json = harness::read_json(trace.text(), error);
	ASSERT_TRUE(json) << error;
	using Thread = std::pair<long long, long long>;
	std::map<long long, std::set<std::string>> flows;
	std::set<Thread> named;
	std::map<Thread, std::vector<std::pair<long long, long long>>> slices;
	size_t gaps = 0;
	for (auto const &e : json->at("traceEvents").items()) {
		for (char const *field : {"ph", "name", "pid", "tid", "ts"})
			ASSERT_TRUE(e.has(field)) << field;
		std::string const &ph = e.at("ph").text();
		Thread thread{e.at("pid").integer(), e.at("tid").integer()};
		if (ph == "M" && e.at("name").text() == "thread_name")
			named.insert(thread);
		if (ph == "X")
			slices[thread].emplace_back(e.at("ts").integer(), e.at("ts").integer() + e.at("dur").integer());
		if (ph == "X" && e.has("cat") && e.at("cat").text() == "missing") {
			gaps++;
			EXPECT_TRUE(named.count(thread)) << "a span on an unnamed thread";
		}
		if (ph == "s" || ph == "f") {
			EXPECT_TRUE(flows[e.at("id").integer()].insert(ph).second) << "flow " << e.at("id").integer();
			EXPECT_TRUE(named.count(thread)) << "a flow on an unnamed thread";
		}
	}
	Counts expected = counts_of(read_file(recording()));
	EXPECT_EQ(flows.size(), expected.signals);
	EXPECT_EQ(gaps, expected.gaps);
	for (auto const &[id, ends] : flows)
		EXPECT_EQ(ends.size(), 2u) << "flow " << id << " has one end";
	EXPECT_GE(named.size(), expected.processes + 1);	/* and the terminal's */
	/* Slices of a thread nest or follow one another: a viewer drops one that crosses another's end. */
	size_t states = 0;
	for (auto &[thread, spans] : slices) {
		std::sort(spans.begin(), spans.end(), [](auto a, auto b) { return a.first < b.first || (a.first == b.first && a.second > b.second); });
		std::vector<long long> open;
		for (auto [from, to] : spans) {
			EXPECT_LE(from, to);
			while (!open.empty() && open.back() <= from && !(open.back() == from && from == to))
				open.pop_back();
			EXPECT_TRUE(open.empty() || to <= open.back()) << "a slice crosses another's end on thread " << thread.second;
			open.push_back(to);
		}
		states += spans.size();
	}
	EXPECT_GE(states, expected.processes);
}

TEST_P(ObserveDrawing, ThePictureRenders)
{
	if (system("command -v rsvg-convert >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "rsvg-convert (Debian's librsvg2-bin) is not installed";
	harness::TempFile svg, png;
	replay({"--svg", svg.path()});
	Counts expected = counts_of(read_file(recording()));
	std::string picture = svg.text();
	/* Each row once in the whole watch; each signal at least once. */
	EXPECT_GE(count(picture, "<g class=\"row\">"), expected.processes);
	EXPECT_GE(count(picture, "<g class=\"signal\">"), expected.signals);
	EXPECT_GE(count(picture, "<g class=\"fan\">"), expected.groups);
	EXPECT_GE(count(picture, "<g class=\"gap\">"), expected.gaps);
	EXPECT_NE(picture.find(GetParam().drawn), std::string::npos) << GetParam().drawn;
	/* No signal's name is written over another's, whichever rows their arrows join. */
	std::vector<std::pair<double, double>> names;
	for (size_t at = picture.find("class=\"signame\" x=\""); at != std::string::npos;
	     at = picture.find("class=\"signame\" x=\"", at + 1)) {
		char const *x = picture.c_str() + at + strlen("class=\"signame\" x=\"");
		names.emplace_back(atof(x), atof(strstr(x, "y=\"") + 3));
	}
	for (size_t i = 0; i < names.size(); i++)
		for (size_t j = i + 1; j < names.size(); j++)
			EXPECT_FALSE(std::abs(names[i].first - names[j].first) < 40 && std::abs(names[i].second - names[j].second) < 10)
				<< "names at " << names[i].first << "," << names[i].second << " and " << names[j].first << ","
				<< names[j].second;
	std::string command = "rsvg-convert -o " + png.path() + " " + svg.path();
	EXPECT_EQ(system(command.c_str()), 0);
	struct stat info{};
	ASSERT_EQ(stat(png.path().c_str(), &info), 0);
	EXPECT_GT(info.st_size, 10000) << "a picture of nothing";
}

/* Headless Chromium, with a profile of its own; its standard output, and its log on standard error. */
struct Browser {
	std::string out, log;
	bool done = false;
};

Browser
browse(std::string const &page, std::string const &what)
{
	harness::TempFile profile_marker;
	std::string profile = profile_marker.path() + ".profile";
	harness::Child chromium({{"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
				  "--disable-background-networking", "--disable-component-update", "--disable-sync",
				  "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", "--window-size=1300,1400",
				  what, "file://" + page}});
	Browser b;
	b.done = chromium.wait_exit(60s) && chromium.exited() && chromium.exit_status() == 0;
	b.out = chromium.out();
	b.log = chromium.err();
	chromium.end();
	harness::end_all_descendants();
	std::string remove = "rm -rf '" + profile + "'";
	EXPECT_EQ(system(remove.c_str()), 0);
	return b;
}

/* The part of the page between two texts. */
std::string
between(std::string const &text, std::string const &from, std::string const &to)
{
	size_t start = text.find(from);
	if (start == std::string::npos)
		return "";
	size_t end = text.find(to, start);
	return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST_P(ObserveDrawing, ThePageLoadsInABrowserWithARowPerProcessAndAnArrowPerSignal)
{
	if (system("command -v chromium >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "chromium (Debian's chromium) is not installed";
	/* Read as a page for its name's ending. */
	harness::TempFile marker;
	std::string page = marker.path() + ".html";
	replay({"--html", page});
	Browser b = browse(page, "--dump-dom");
	ASSERT_TRUE(b.done) << b.log;
	EXPECT_EQ(count(b.log, "CONSOLE"), 0u) << b.log;
	EXPECT_NE(b.out.find("data-drawn=\"yes\""), std::string::npos) << "its script did not finish";
	std::string overview = between(b.out, "id=\"overview\"", "</svg>");
	Counts expected = counts_of(read_file(recording()));
	EXPECT_EQ(count(overview, "class=\"row process\""), expected.processes);
	EXPECT_EQ(count(overview, "class=\"signal\""), expected.signals);
	EXPECT_EQ(count(overview, "class=\"fan\""), expected.groups);
	EXPECT_EQ(count(overview, "class=\"gap\""), expected.gaps);
	EXPECT_NE(overview.find(GetParam().drawn), std::string::npos) << GetParam().drawn;
	/* What the job wrote is shown, never run: no element of its, the title its own. */
	EXPECT_EQ(count(b.out, "<img"), 0u);
	EXPECT_EQ(count(b.out, "<script"), 2u);
	EXPECT_EQ(b.out.find("<title>ran</title>"), std::string::npos);
	if (std::string(GetParam().name) == "Hostile") {
		EXPECT_NE(b.out.find("&lt;script&gt;document.title=\"ran\"&lt;/script&gt;"), std::string::npos);
	}

	harness::TempFile shot_marker;
	std::string shot = shot_marker.path() + ".png";
	Browser s = browse(page, "--screenshot=" + shot);
	unlink(page.c_str());
	struct stat info{};
	ASSERT_EQ(stat(shot.c_str(), &info), 0) << s.log;
	unlink(shot.c_str());
	/* A blank page of that size is under 10 kB; the drawn one several times that. */
	EXPECT_GT(info.st_size, 40000);
}

INSTANTIATE_TEST_SUITE_P(Observe, ObserveDrawing, ::testing::ValuesIn(recorded),
			 [](auto const &info) { return std::string(info.param.name); });

} // namespace
