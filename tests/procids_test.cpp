/*
 * The identity report: what each process prints on a terminal and on a
 * pipe, the finished child left a zombie behind a parent that really keeps
 * a processor busy, the order of its calls, and a failed fork. Every case
 * runs against the program as built and, where clang++ is installed,
 * against a clang++ -O2 build, which deletes a busy loop that has no effect.
 *
 * Each test ends the spinning parent as soon as it has what it needs; the
 * test runner reaps the child that the parent leaves behind.
 */
#include "process.h"
#include "requirements.h"
#include "states.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <thread>

namespace {

using harness::Child;
using harness::Clock;
using harness::Launch;
using harness::Output;
using namespace std::chrono_literals;

struct Build {
	char const *name;
	std::string path;
};

std::vector<Build> const builds{
	{"AsBuilt", harness::program("procids")},
	{"ClangO2", PROCIDS_CLANG},
};

void
PrintTo(Build const &build, std::ostream *out)
{
	*out << build.name;
}

std::string
initial_report(pid_t self, pid_t parent)
{
	return "Initial Process ID: " + std::to_string(self) + "\t Parent Process ID: " +
	       std::to_string(parent) + "\n";
}

std::string
process_report(pid_t self, pid_t parent)
{
	return "Process ID: " + std::to_string(self) + "\t Parent Process ID: " + std::to_string(parent) + "\n";
}

/* The identifier that a report line of `output` starting with `prefix` gives first. */
pid_t
reported_id(std::string const &output, std::string const &prefix)
{
	auto at = output.find(prefix);
	return at == std::string::npos ? -1 : atoi(output.c_str() + at + prefix.size());
}

/* The lines of `text`, each with its newline; a last line without one stays so. */
std::vector<std::string>
lines_of(std::string const &text)
{
	std::vector<std::string> lines;
	for (size_t start = 0; start < text.size();) {
		auto end = text.find('\n', start);
		end = end == std::string::npos ? text.size() : end + 1;
		lines.push_back(text.substr(start, end - start));
		start = end;
	}
	return lines;
}

/* A started program and the identifiers its reports should name. */
struct Running {
	std::unique_ptr<Child> program;
	pid_t parent;	/* P, the program */
	pid_t starter;	/* S, this test */
	pid_t child;	/* C */
};

class Procids : public ::testing::TestWithParam<Build> {
protected:
	void SetUp() override
	{
		if (GetParam().path.empty())
			GTEST_SKIP() << "clang++ not found: no clang++ -O2 build to check";
	}

	/*
	 * Starts the program and waits for `lines` lines of output and for its
	 * child to be a zombie, so that the child has written all it ever will.
	 */
	static Running start(Output output, size_t lines)
	{
		Running run{std::make_unique<Child>(Launch{.argv = {GetParam().path}, .output = output}), 0,
			    getpid(), -1};
		auto &program = *run.program;
		run.parent = program.pid();
		EXPECT_TRUE(harness::wait_until([&] {
			program.pump();
			auto children = procfs::children(run.parent);
			run.child = children.size() == 1 ? children[0] : -1;
			return lines_of(program.out()).size() >= lines && run.child > 0 &&
			       harness::proc_state(run.child) == 'Z';
		}, 5s)) << "output " << ::testing::PrintToString(program.out()) << ", "
			<< procfs::children(run.parent).size() << " children";
		program.pump();
		return run;
	}
};

TEST_P(Procids, OnATerminalEachProcessReportsItsPairOnce)
{
	auto run = start(Output::terminal, 5);
	ASSERT_GT(run.child, 0);
	auto lines = lines_of(run.program->out());
	ASSERT_EQ(lines.size(), 5u) << run.program->out();
	EXPECT_EQ(lines[0], initial_report(run.parent, run.starter));

	/* The two processes' pairs may interleave; each keeps its own order. */
	std::vector<std::string> const parent_pair{"Parent Process\n", process_report(run.parent, run.starter)};
	std::vector<std::string> const child_pair{"Child Process\n", process_report(run.child, run.parent)};
	std::vector<std::string> parent_lines, child_lines;
	for (size_t i = 1; i < lines.size(); i++) {
		if (lines[i] == parent_pair[0] || lines[i] == parent_pair[1])
			parent_lines.push_back(lines[i]);
		else if (lines[i] == child_pair[0] || lines[i] == child_pair[1])
			child_lines.push_back(lines[i]);
		else
			ADD_FAILURE() << "unexpected line " << ::testing::PrintToString(lines[i]);
	}
	EXPECT_EQ(parent_lines, parent_pair);
	EXPECT_EQ(child_lines, child_pair);
}

TEST_P(Procids, TheChildStaysAZombieWhileTheParentKeepsAProcessorBusy)
{
	auto run = start(Output::terminal, 5);
	ASSERT_GT(run.child, 0);
	auto const output = run.program->out();

	/*
	 * Over about a second the parent must always be runnable: on a
	 * processor or waiting for one, never giving one up of its own accord.
	 * How much of a processor it gets depends on what else runs here;
	 * a parent that pauses, waits or has ended gets next to none. The
	 * kernel adds a wait for a processor to the sum only once it is over,
	 * and on a busy machine one wait can be a good part of a second: so
	 * half the span, not all of it.
	 */
	auto before = procfs::read_schedule(run.parent);
	auto switches = harness::voluntary_switches(run.parent);
	auto const started = Clock::now();
	std::set<char> states;
	while (Clock::now() - started < 1s) {
		states.insert(harness::proc_state(run.parent));
		std::this_thread::sleep_for(10ms);
	}
	auto after = procfs::read_schedule(run.parent);
	double seconds = std::chrono::duration<double>(Clock::now() - started).count();
	ASSERT_TRUE(before && after) << "the parent has gone";
	double share = (after->running_ns - before->running_ns) / 1e9 / seconds;
	double runnable = share + (after->waiting_ns - before->waiting_ns) / 1e9 / seconds;
	EXPECT_EQ(states, std::set<char>{'R'});
	EXPECT_GE(runnable, 0.5) << "the parent was runnable for " << runnable << " of the time";
	EXPECT_EQ(harness::voluntary_switches(run.parent), switches) << "the parent gave up the processor";
	RecordProperty("processor_share", std::to_string(share));

	auto child = harness::proc_stat(run.child);
	ASSERT_TRUE(child);
	EXPECT_EQ(child->state, 'Z');
	EXPECT_EQ(child->ppid, run.parent);
	run.program->pump();
	EXPECT_EQ(run.program->out(), output) << "more output while the parent spins";
}

TEST_P(Procids, OnAPipeOnlyTheChildsBufferArrivesAndTheParentsIsLost)
{
	auto run = start(Output::pipe, 3);
	ASSERT_GT(run.child, 0);
	auto &program = *run.program;
	auto const expected = initial_report(run.parent, run.starter) + "Child Process\n" +
			      process_report(run.child, run.parent);
	EXPECT_EQ(program.out(), expected);
	EXPECT_FALSE(program.drain(200ms)) << "end of file while the parent runs";
	EXPECT_EQ(harness::proc_state(run.parent), 'R');

	/* Interrupted, the parent ends without flushing its buffer. */
	kill(run.parent, SIGINT);
	EXPECT_TRUE(program.drain(5s)) << "no end of file after the parent has gone";
	EXPECT_EQ(program.out(), expected);
	ASSERT_TRUE(program.wait_exit(5s));
	EXPECT_EQ(program.term_signal(), SIGINT) << program.describe_status();

	/* This process is a child subreaper, so the orphaned zombie is now ours to collect. */
	int status = 0;
	ASSERT_TRUE(harness::wait_until([&] { return waitpid(run.child, &status, WNOHANG) == run.child; }, 5s));
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

/* The calls of one traced process, by name, among those traced. */
std::vector<std::string>
traced_calls(std::string const &file)
{
	std::vector<std::string> calls;
	std::ifstream trace(file);
	for (std::string line; std::getline(trace, line);) {
		auto open = line.find('(');
		if (open != std::string::npos && line.compare(0, 3, "+++") != 0 && line.compare(0, 3, "---") != 0)
			calls.push_back(line.substr(0, open));
	}
	return calls;
}

struct TemporaryDirectory {
	std::string path;
	TemporaryDirectory()
	{
		char name[] = "/tmp/procids-test.XXXXXX";
		path = mkdtemp(name) ? name : "";
	}
	~TemporaryDirectory()
	{
		if (!path.empty())
			std::filesystem::remove_all(path);
	}
};

/*
 * Each process reads its parent's identifier before its own. The child's
 * one wait is its first call; on a pipe it writes once, as it ends. Once
 * spinning, the parent calls nothing: no wait, pause, sleep or write.
 */
TEST_P(Procids, ReadsItsParentFirstAndOnlyTheChildWaits)
{
	TemporaryDirectory directory;
	ASSERT_FALSE(directory.path.empty());
	auto const prefix = directory.path + "/trace";
	Child strace(Launch{.argv = {"strace", "-qq", "-f", "-ff", "-o", prefix, "-e",
				     "trace=getpid,getppid,fork,vfork,clone,clone3,wait4,waitid,write,pause,"
				     "nanosleep,clock_nanosleep,exit_group",
				     GetParam().path}});

	/* On a pipe, the child's one write carries everything it prints. */
	ASSERT_TRUE(harness::wait_until([&] { strace.pump(); return lines_of(strace.out()).size() >= 3; }, 5s))
		<< strace.out() << strace.err();
	pid_t parent = reported_id(strace.out(), "Initial Process ID: ");
	pid_t child = reported_id(strace.out(), "Child Process\nProcess ID: ");
	auto const parent_trace = prefix + "." + std::to_string(parent);
	auto const child_trace = prefix + "." + std::to_string(child);
	std::vector<std::string> const parent_calls{"getppid", "getpid", "clone", "getppid", "getpid"};
	std::vector<std::string> const child_calls{"wait4", "getppid", "getpid", "write", "exit_group"};
	harness::wait_until([&] {
		return traced_calls(parent_trace).size() >= parent_calls.size() &&
		       traced_calls(child_trace).size() >= child_calls.size();
	}, 5s);
	EXPECT_EQ(traced_calls(parent_trace), parent_calls);
	EXPECT_EQ(traced_calls(child_trace), child_calls);
}

INSTANTIATE_TEST_SUITE_P(Procids, Procids, ::testing::ValuesIn(builds),
			 [](auto const &info) { return std::string(info.param.name); });

/*
 * fork() fails with EAGAIN, as when the process limit is reached. glibc's
 * fork makes the clone system call (not clone3) on this platform. strace
 * is the first process of a private pid namespace and starts the program,
 * so the starter the program reports is strace, process 1 there.
 */
struct FailureCase {
	Build build;
	Output output;
};

void
PrintTo(FailureCase const &failure, std::ostream *out)
{
	*out << failure.build.name << (failure.output == Output::pipe ? " on a pipe" : " on a terminal");
}

class FailedFork : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailedFork, IsReportedAndEndsTheProgram)
{
	auto const &[build, output] = GetParam();
	if (build.path.empty())
		GTEST_SKIP() << "clang++ not found: no clang++ -O2 build to check";
	REQUIRE_PID_NAMESPACE();
	REQUIRE_PROGRAM("strace");
	Child program(Launch{.argv = harness::in_pid_namespace(
				     harness::with_fault("clone", "clone:error=EAGAIN", {build.path})),
			     .output = output});
	ASSERT_TRUE(program.wait_exit(5s)) << "still running after " << ::testing::PrintToString(program.out());
	program.drain(1s);
	pid_t self = reported_id(program.out(), "Initial Process ID: ");
	EXPECT_EQ(program.out(), initial_report(self, 1) + "fork failed\n");
	EXPECT_EQ(program.exit_status(), 1) << program.describe_status();
	EXPECT_EQ(program.err(), "");
}

std::vector<FailureCase>
failure_cases()
{
	std::vector<FailureCase> cases;
	for (auto const &build : builds)
		for (auto output : {Output::pipe, Output::terminal})
			cases.push_back({build, output});
	return cases;
}

INSTANTIATE_TEST_SUITE_P(Procids, FailedFork, ::testing::ValuesIn(failure_cases()),
			 [](auto const &info) {
				 return std::string(info.param.build.name) +
					(info.param.output == Output::pipe ? "OnAPipe" : "OnATerminal");
			 });

} // namespace
