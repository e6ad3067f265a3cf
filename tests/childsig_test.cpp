/*
 * The signal demonstrations, each run as the foreground job of a terminal
 * session built the way an interactive shell builds one: what the terminal
 * shows and when, the states the workers pass through (sampled from /proc
 * every 20 ms), how the parent ends, and what becomes of the workers once
 * it has. Then the output redirected to a file, and failed creations.
 *
 * Every time is allowed half a second around its step, and lines are
 * counted only within a range: the machine is shared and pauses drift.
 */
#include "jobshell.h"
#include "process.h"
#include "watch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

using harness::Clock;
using harness::seconds_since;
using namespace std::chrono_literals;

/* Seconds allowed around each step of a timeline. */
constexpr double slack = 0.5;
/* How long the workers are watched once the parent has ended, and from when. */
constexpr double settle_after = 0.2;
constexpr double watched_after = 1.6;
constexpr auto sample_every = 20ms;

constexpr char const *labels[] = {"Child1", "Child2"};

enum class Is { running, stopped, ended };

/* A stretch of a timeline between two signals, and what each worker is meanwhile. */
struct Phase {
	double from, to;
	Is child[2];
};

/* What a worker is once the parent has ended. */
enum class After {
	runs_on,
	stays_stopped,		/* by SIGTSTP, taken back by no one */
	ended_by_sigint,	/* while the parent ran, which left it unreaped */
	/*
	 * The parent's end orphans the workers' group. The kernel then sends
	 * SIGHUP to the members already stopped and SIGCONT to all, and drops
	 * a stop still pending: each worker ends or runs on, whatever the
	 * other does, and neither stays stopped.
	 */
	hung_up_or_runs_on,
};

struct Course {
	char const *name;
	char const *program;
	bool writes_lines;
	char const *closing;
	std::vector<Phase> phases;	/* the last one ends as the parent does */
	After after[2];
	std::vector<int> ignored_signals = {};
	bool adopting = false;
};

char const *
states_of(Is is)
{
	switch (is) {
	case Is::running:
		return "RSD";
	case Is::stopped:
		return "T";
	case Is::ended:
		return "Z";	/* ended, and not collected by the parent */
	}
	return "";
}

/* A worker line or the closing message on the terminal, and when it arrived. */
struct Token {
	int child;	/* 0 or 1; -1 for the closing message */
	double at;
};

class Demonstration : public ::testing::TestWithParam<Course> {
protected:
	Course const &course = GetParam();
	Clock::time_point origin;
	jobshell::Job job;
	pid_t workers[2] = {-1, -1};
	std::optional<harness::Stream> terminal;
	std::optional<harness::StateLog> states;
	std::vector<jobshell::Report> reports;
	double parent_end = -1;
	int parent_status = 0;
	std::optional<long> switches_after[2][2];	/* [worker][start, end of the watch after] */
	size_t most_children[3] = {};	/* of the parent and of each worker, while the parent runs */

	void TearDown() override { jobshell::kill_job(job); }

	double parent_ends() const { return course.phases.back().to; }

	void start()
	{
		std::string error;
		origin = Clock::now();
		auto started = jobshell::start({.argv = {harness::program(course.program)},
						.adopting = course.adopting,
						.ignored_signals = course.ignored_signals,
						.raw_output = true}, error);
		ASSERT_TRUE(started) << error;
		job = *started;
		terminal.emplace(job.terminal, origin);
		states.emplace(origin);

		std::vector<pid_t> found;
		ASSERT_TRUE(harness::wait_until([&] {
			found = procfs::children(job.leader);
			return found.size() >= 2;
		}, 3s, 1ms)) << "the parent created " << found.size() << " workers";
		workers[0] = found[0];
		workers[1] = found[1];
	}

	void poll()
	{
		terminal->pump();
		for (auto report : jobshell::read_reports(job)) {
			reports.push_back(report);
			if (report.pid == job.leader && (WIFEXITED(report.status) || WIFSIGNALED(report.status))) {
				parent_end = seconds_since(origin);
				parent_status = report.status;
			}
		}
		for (pid_t worker : workers)
			states->sample(worker);
		if (parent_end < 0)
			for (int i = 0; i < 3; i++) {
				auto children = procfs::children(i == 0 ? job.leader : workers[i - 1]);
				most_children[i] = std::max(most_children[i], children.size());
			}
		if (parent_end >= 0 && seconds_since(origin) >= parent_end + settle_after)
			for (int i = 0; i < 2; i++) {
				auto &[first, last] = switches_after[i];
				last = harness::voluntary_switches(workers[i]);
				if (!first)
					first = last;
			}
	}

	/* Samples until the workers have been watched for a while after the parent's end. */
	void watch()
	{
		auto deadline = std::chrono::duration<double>(parent_ends() + watched_after + 3);
		harness::wait_until([&] {
			poll();
			return parent_end >= 0 && seconds_since(origin) >= parent_end + watched_after;
		}, std::chrono::duration_cast<std::chrono::milliseconds>(deadline), sample_every);
	}

	std::string states_seen(pid_t worker, double from, double to) const
	{
		std::string seen;
		for (auto sample : states->between(worker, from, to))
			seen += sample.state != 0 ? sample.state : '-';
		return seen;
	}

	/* The worker's changes of state, as "S@0.00 T@3.01 S@6.00", for the log. */
	std::string transitions(pid_t worker) const
	{
		std::string line;
		char last = '?';
		for (auto sample : states->of(worker)) {
			char now = sample.state == 'R' || sample.state == 'D' ? 'S' : sample.state;
			if (now == last)
				continue;
			char at[32];
			snprintf(at, sizeof(at), "%s%c@%.2f", line.empty() ? "" : " ", now ? now : '-', sample.at);
			line += at;
			last = now;
		}
		return line;
	}

	/* The terminal's text as worker lines and the closing message; fails at anything else. */
	std::vector<Token> tokens() const
	{
		std::vector<Token> found;
		std::string const &text = terminal->text();
		std::string const closing = course.closing;
		for (size_t at = 0; at < text.size();) {
			int child = -1;
			size_t size = 0;
			for (int i = 0; i < 2; i++)
				if (text.compare(at, 7, std::string(labels[i]) + "\n") == 0)
					child = i, size = 7;
			if (size == 0 && !closing.empty() && text.compare(at, closing.size(), closing) == 0)
				size = closing.size();
			if (size == 0) {
				ADD_FAILURE() << "unexpected output at byte " << at << ": \"" << text << "\"";
				break;
			}
			found.push_back({child, terminal->arrival_at(at + size - 1)});
			at += size;
		}
		return found;
	}

	static int count(std::vector<Token> const &tokens, int child, double from, double to)
	{
		int n = 0;
		for (auto token : tokens)
			n += token.child == child && token.at >= from && token.at <= to;
		return n;
	}

	void expect_parent_ended()
	{
		ASSERT_GE(parent_end, 0) << "the parent did not end";
		EXPECT_EQ(most_children[0], 2u) << "the parent's children";
		EXPECT_EQ(most_children[1] + most_children[2], 0u) << "a worker created a process";
		EXPECT_TRUE(WIFEXITED(parent_status) && WEXITSTATUS(parent_status) == 0)
			<< "wait status " << parent_status;
		EXPECT_NEAR(parent_end, parent_ends(), slack);
	}

	void expect_phases()
	{
		for (auto const &phase : course.phases)
			for (int i = 0; i < 2; i++) {
				double from = phase.from + slack, to = phase.to - slack;
				auto seen = states_seen(workers[i], from, to);
				EXPECT_GE(seen.size(), (to - from) * 10) << "too few samples of " << labels[i];
				EXPECT_EQ(seen.find_first_not_of(states_of(phase.child[i])), std::string::npos)
					<< labels[i] << " from " << from << " s to " << to << " s: " << seen;
			}
	}

	/* Checks each worker's state after the parent's end; returns whether it runs on. */
	bool expect_after(int i)
	{
		pid_t worker = workers[i];
		auto seen = states_seen(worker, parent_end + settle_after, 1e9);
		auto [first, last] = switches_after[i];
		bool looping = first && last && *last > *first;
		auto fate = [&](char const *allowed) {
			EXPECT_FALSE(seen.empty());
			EXPECT_EQ(seen.find_first_not_of(allowed), std::string::npos)
				<< labels[i] << " after the parent's end: " << seen;
		};
		auto expect_end_by = [&](int signal) {
			int status = 0;
			ASSERT_EQ(waitpid(worker, &status, WNOHANG), worker) << labels[i] << " was not left to us";
			EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
				<< labels[i] << ": wait status " << status;
		};

		switch (course.after[i]) {
		case After::runs_on:
			fate("RSD");
			EXPECT_TRUE(looping) << labels[i] << " does not loop any more";
			return true;
		case After::stays_stopped: {
			fate("T");
			bool by_tstp = false;
			for (auto report : reports)
				by_tstp |= report.pid == worker && WIFSTOPPED(report.status) &&
					   WSTOPSIG(report.status) == SIGTSTP;
			EXPECT_TRUE(by_tstp) << "the shell saw no SIGTSTP stop of " << labels[i];
			return false;
		}
		case After::ended_by_sigint:
			fate("Z");
			expect_end_by(SIGINT);
			return false;
		case After::hung_up_or_runs_on:
			/* Never left stopped: SIGHUP ended it, or its stop never took effect. */
			fate("RSDZ");
			if (!seen.empty() && seen.back() == 'Z') {
				expect_end_by(SIGHUP);
				return false;
			}
			EXPECT_TRUE(looping) << labels[i] << " is neither ended nor looping";
			return true;
		}
		return false;
	}

	void expect_output(bool const runs_on[2])
	{
		if (!course.writes_lines) {
			EXPECT_EQ(terminal->text(), "") << "bare labels left a worker's buffer";
			return;
		}
		auto found = tokens();
		for (int i = 0; i < 2; i++) {
			/* A worker writes before its first pause. */
			EXPECT_EQ(count(found, i, 0, slack), 1) << labels[i] << " did not write at once";
			for (auto const &phase : course.phases) {
				double from = phase.from + slack, to = phase.to - slack;
				int lines = count(found, i, from, to);
				if (phase.child[i] == Is::running) {
					EXPECT_GE(lines, to - from - 1) << labels[i] << " from " << from << " s to " << to << " s";
					EXPECT_LE(lines, to - from + 1) << labels[i] << " from " << from << " s to " << to << " s";
				} else {
					EXPECT_EQ(lines, 0) << labels[i] << " wrote from " << from << " s to " << to << " s";
				}
			}
			int later = count(found, i, parent_end + settle_after, 1e9);
			if (runs_on[i]) {
				EXPECT_GE(later, 1) << labels[i] << " wrote nothing after the parent's end";
			} else {
				EXPECT_EQ(later, 0) << labels[i] << " wrote after the parent's end";
			}
		}

		int closings = 0;
		for (auto token : found)
			if (token.child < 0) {
				closings++;
				EXPECT_NEAR(token.at, parent_end, 0.1) << "the closing message came apart from the parent's end";
			}
		EXPECT_EQ(closings, 1) << terminal->text();
	}
};

TEST_P(Demonstration, RunsItsCourse)
{
	ASSERT_NO_FATAL_FAILURE(start());
	watch();
	ASSERT_NO_FATAL_FAILURE(expect_parent_ended());
	expect_phases();
	bool runs_on[2];
	for (int i = 0; i < 2; i++)
		runs_on[i] = expect_after(i);
	expect_output(runs_on);

	printf("measured %s: parent ended at %.2f s; Child1 %s%s; Child2 %s%s\n", course.name, parent_end,
	       transitions(workers[0]).c_str(), runs_on[0] ? " (runs on)" : "",
	       transitions(workers[1]).c_str(), runs_on[1] ? " (runs on)" : "");
}

constexpr Is R = Is::running, T = Is::stopped, Z = Is::ended;

INSTANTIATE_TEST_SUITE_P(Childsig, Demonstration, ::testing::Values(
	Course{"A", "childsig-a", true, "Child term",
	       {{0, 3, {R, R}}, {3, 6, {R, T}}},
	       {After::hung_up_or_runs_on, After::hung_up_or_runs_on}},
	/* Adopted inside the session, the workers' group is never orphaned: both stops take effect. */
	Course{"AUnderAnAdoptingShell", "childsig-a", true, "Child term",
	       {{0, 3, {R, R}}, {3, 6, {R, T}}},
	       {After::stays_stopped, After::stays_stopped}, {}, true},
	Course{"AWithSigtstpIgnored", "childsig-a", true, "Child term",
	       {{0, 3, {R, R}}, {3, 6, {R, T}}},
	       {After::runs_on, After::runs_on}, {SIGTSTP}},
	Course{"B", "childsig-b", false, "",
	       {{0, 3, {R, R}}, {3, 9, {Z, R}}},
	       {After::ended_by_sigint, After::runs_on}},
	Course{"BWithSigintIgnored", "childsig-b", false, "",
	       {{0, 9, {R, R}}},
	       {After::runs_on, After::runs_on}, {SIGINT}},
	Course{"C", "childsig-c", false, "",
	       {{0, 3, {R, R}}, {3, 6, {R, T}}, {6, 9, {R, R}}},
	       {After::ended_by_sigint, After::runs_on}}),
	[](auto const &info) { return std::string(info.param.name); });

/* A file of this test's own, removed when the test lets go of it. */
TEST(Childsig, AToAFileHoldsOnlyTheClosingMessageWhenTheParentEnds)
{
	harness::TempFile file;
	harness::Child a({.argv = {harness::program("childsig-a")}, .output_file = file.path()});
	ASSERT_TRUE(a.wait_exit(8s));
	double ended = seconds_since(a.started());
	/* The workers' lines wait in their buffers, which a file fills only after minutes. */
	EXPECT_EQ(file.text(), "Child term");
	EXPECT_EQ(a.exit_status(), 0) << a.describe_status();
	EXPECT_NEAR(ended, 6, slack);
}

/*
 * The parent's own calls, as strace logged them, told as steps: "create
 * child 1" (or "create failed"), "pause 3", "SIGSTOP to child 2", or "... to
 * pid N" for an identifier that no creation returned. The workers are not
 * traced.
 *
 *   clone(...) = 7   clone(...) = -1 EAGAIN (...) (INJECTED)
 *   clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=3, tv_nsec=0}, ...) = 0   kill(7, SIGSTOP) = 0
 */
std::vector<std::string>
parent_steps(std::string const &log)
{
	static std::regex const clone_call(R"(^clone\(.*\) += (-?\d+))");
	static std::regex const pause_call(R"(^clock_nanosleep\(.*\{tv_sec=(\d+), tv_nsec=0\})");
	static std::regex const kill_call(R"(^kill\((-?\d+), (\w+)\))");
	std::vector<std::string> workers, steps;
	std::istringstream calls(log);
	for (std::string line; std::getline(calls, line);) {
		std::smatch match;
		if (std::regex_search(line, match, clone_call)) {
			if (match[1] == "-1") {
				steps.push_back("create failed");
				continue;
			}
			workers.push_back(match[1]);
			steps.push_back("create child " + std::to_string(workers.size()));
		} else if (std::regex_search(line, match, pause_call)) {
			steps.push_back("pause " + std::string(match[1]));
		} else if (std::regex_search(line, match, kill_call)) {
			auto worker = std::find(workers.begin(), workers.end(), match[1]);
			std::string to = worker == workers.end() ? "pid " + std::string(match[1])
								 : "child " + std::to_string(worker - workers.begin() + 1);
			steps.push_back(std::string(match[2]) + " to " + to);
		}
	}
	return steps;
}

struct Failure {
	char const *name;
	char const *program;
	int failing;	/* which creation fails: 1 or 2 */
};

class FailedCreation : public ::testing::TestWithParam<Failure> {};

/*
 * Inside a private pid namespace, so that a kill(-1, ...) could reach
 * nothing outside; the program's own calls are logged, to see which
 * signals it sent and to whom.
 */
TEST_P(FailedCreation, EndsTheFirstWorkerAndSignalsNothingElse)
{
	auto const &failure = GetParam();
	harness::TempFile log;
	auto inject = "clone:error=EAGAIN:when=" + std::to_string(failure.failing);
	harness::Child run({.argv = harness::in_pid_namespace(harness::with_fault(
				    "clone,kill", inject, {harness::program(failure.program)}, log.path()))});
	ASSERT_TRUE(run.wait_exit(10s));
	run.drain(1s);
	EXPECT_EQ(run.out(), "fork failed\n");
	EXPECT_EQ(run.exit_status(), 1) << run.describe_status();

	std::vector<std::string> expected{"create failed"};
	if (failure.failing == 2)
		expected = {"create child 1", "create failed", "SIGKILL to child 1"};
	EXPECT_EQ(parent_steps(log.text()), expected) << "strace saw:\n" << log.text();
	EXPECT_TRUE(procfs::children(getpid()).empty()) << "something outlived the namespace";
}

INSTANTIATE_TEST_SUITE_P(Childsig, FailedCreation, ::testing::Values(
	Failure{"AFirst", "childsig-a", 1},
	Failure{"ASecond", "childsig-a", 2},
	Failure{"BFirst", "childsig-b", 1},
	Failure{"BSecond", "childsig-b", 2},
	Failure{"CFirst", "childsig-c", 1},
	Failure{"CSecond", "childsig-c", 2}),
	[](auto const &info) { return std::string(info.param.name); });

/*
 * What the parent itself does, call by call, traced: its creations, its
 * pauses and its signals, each to the worker it names, in the variant's
 * order, and nothing else.
 */
struct Timeline {
	char const *program;
	std::vector<std::string> steps;
};

class ParentCalls : public ::testing::TestWithParam<Timeline> {};

TEST_P(ParentCalls, AreTheVariantsTimeline)
{
	harness::TempFile log;
	auto strace = harness::traced("clone,kill,clock_nanosleep", {harness::program(GetParam().program)},
				      log.path());
	/*
	 * A shell is the namespace's first process: strace would wait there for
	 * the orphaned workers it inherits. The shell waits for strace alone, and
	 * its end ends the namespace and the workers with it.
	 */
	strace.insert(strace.begin(), {"sh", "-c", "\"$@\"; exit $?", "init"});
	harness::Child run({.argv = harness::in_pid_namespace(strace)});
	ASSERT_TRUE(run.wait_exit(20s));
	EXPECT_EQ(run.exit_status(), 0) << run.describe_status();
	EXPECT_EQ(parent_steps(log.text()), GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Childsig, ParentCalls, ::testing::Values(
	Timeline{"childsig-a", {"create child 1", "create child 2",
				"pause 3", "SIGSTOP to child 2", "pause 3", "SIGCONT to child 2",
				"SIGTSTP to child 1", "SIGTSTP to child 2"}},
	Timeline{"childsig-b", {"create child 1", "create child 2",
				"pause 3", "SIGINT to child 1", "pause 3", "SIGCONT to child 1",
				"pause 3", "SIGINT to child 1"}},
	Timeline{"childsig-c", {"create child 1", "create child 2",
				"pause 3", "SIGSTOP to child 2", "pause 3", "SIGCONT to child 2",
				"pause 3", "SIGINT to child 1"}}),
	[](auto const &info) { return std::string(info.param.program).substr(9); });

} // namespace
