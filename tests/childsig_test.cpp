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
#include "requirements.h"
#include "states.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>

namespace {

using harness::Clock;
using harness::seconds_since;
using procfs::State;
using namespace std::chrono_literals;

/* Seconds allowed around each step of a timeline. */
constexpr double slack = 0.5;
/*
 * How long the workers are watched once the parent has ended, and from when:
 * until each one's fate has shown, or for watched_after at the most.
 */
constexpr double settle_after = 0.2;
constexpr double watched_after = 1.6;
/* Samples of an ended worker, after the settling, that show it stays ended. */
constexpr size_t fewest_samples_ended = 5;
/* How much later than its timeline the parent may end before the watch gives up. */
constexpr double parent_late_at_most = 3;
constexpr auto sample_every = 20ms;
/* Fewer samples than this in a second of a phase, and the phase was not seen. */
constexpr double fewest_samples_a_second = 10;
/* The parent creates both workers at once; they appear within this time. */
constexpr auto workers_appear_within = 3s;
/*
 * The closing message is the parent's last write, so it arrives as the parent
 * ends: as this test learns of that end from the shell, which on a busy
 * machine can be a good part of a second later.
 */
constexpr double closing_at_the_end_within = 0.5;
/* A running worker writes a line a second, one more or less in a stretch. */
constexpr double lines_a_second = 1;
constexpr double lines_more_or_less = 1;
/* The end of a range that runs to the end of the watch. */
constexpr double watch_end = std::numeric_limits<double>::infinity();

constexpr char const *labels[] = {"Child1", "Child2"};

/* A worker's line, as a worker that writes lines writes it. */
std::string
line_of(int worker)
{
	return std::string(labels[worker]) + "\n";
}

/* A stretch of a timeline between two signals, and what each worker is meanwhile. */
struct Phase {
	double from, to;
	State workers[2];
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
	bool writes_lines;	/* or bare labels, which stay in the workers' buffers */
	char const *closing;	/* the parent's last write, "" for none */
	std::vector<Phase> phases;	/* the last one ends as the parent does */
	After after[2];
	std::vector<int> ignored_signals = {};
	bool adopting = false;
};

/* A sample's letter for a process that is gone (collected), in the samples as text. */
constexpr char gone = '-';

/* Whether each letter of `seen` is a state among `allowed`; gone is none. */
bool
all_among(std::string const &seen, std::initializer_list<State> allowed)
{
	return std::all_of(seen.begin(), seen.end(), [&](char letter) {
		return letter != gone &&
		       std::find(allowed.begin(), allowed.end(), procfs::state_of(letter)) != allowed.end();
	});
}

/*
 * The samples from the first that is not running on. A signal takes effect
 * only once its target runs, and a busy machine can put that off past any
 * settling time: a worker may be seen running a while before it stops or ends.
 */
std::string
once_changed(std::string const &seen)
{
	auto changed = std::find_if(seen.begin(), seen.end(), [](char letter) {
		return letter == gone || procfs::state_of(letter) != State::running;
	});
	return std::string(changed, seen.end());
}

/* Whether the last letter of `seen` is a zombie: the worker has ended and is still there to collect. */
bool
ends_a_zombie(std::string const &seen)
{
	return !seen.empty() && seen.back() != gone && procfs::state_of(seen.back()) == State::zombie;
}

char const *
name_of(State state)
{
	switch (state) {
	case State::running:
		return "running";
	case State::stopped:
		return "stopped";
	case State::zombie:
		return "zombie";	/* ended, and not collected by the parent */
	}
	return "";
}

/* A worker line or the closing message on the terminal, and when it arrived. */
struct Token {
	int worker;	/* 0 or 1; -1 for the closing message */
	double at;
};

/* What is seen of one worker. */
struct Worker {
	pid_t pid = -1;
	/* The most children it had at once while the parent ran. */
	size_t most_children = 0;
	/* Its voluntary switches at the start and at the end of the watch after the parent's end. */
	std::optional<long> switches_first, switches_last;
};

class Demonstration : public ::testing::TestWithParam<Course> {
protected:
	Course const &course = GetParam();
	Clock::time_point origin;
	jobshell::Job job;
	Worker workers[2];
	std::optional<harness::Stream> terminal;
	std::optional<harness::StateLog> states;
	std::vector<jobshell::Report> reports;
	size_t most_children = 0;	/* of the parent, while it runs */
	double parent_end = -1;
	int parent_status = 0;

	void TearDown() override { jobshell::kill_job(job); }

	double parent_ends() const { return course.phases.back().to; }
	bool parent_ended() const { return parent_end >= 0; }

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
		}, workers_appear_within, 1ms)) << "the parent created " << found.size() << " workers";
		workers[0].pid = found[0];
		workers[1].pid = found[1];
	}

	/* The shell's reports: the parent's end among them. */
	void read_reports()
	{
		for (auto report : jobshell::read_reports(job)) {
			reports.push_back(report);
			bool ended = WIFEXITED(report.status) || WIFSIGNALED(report.status);
			if (report.pid == job.leader && ended) {
				parent_end = seconds_since(origin);
				parent_status = report.status;
			}
		}
	}

	void sample_states()
	{
		for (auto const &worker : workers)
			states->sample(worker.pid);
	}

	/* While the parent runs: how many processes it and each worker created. */
	void count_children()
	{
		if (parent_ended())
			return;
		most_children = std::max(most_children, procfs::children(job.leader).size());
		for (auto &worker : workers)
			worker.most_children = std::max(worker.most_children, procfs::children(worker.pid).size());
	}

	/* Once the parent has ended and the kernel's signals have landed: whether each worker still loops. */
	void count_switches()
	{
		if (!parent_ended() || seconds_since(origin) < parent_end + settle_after)
			return;
		for (auto &worker : workers) {
			worker.switches_last = harness::voluntary_switches(worker.pid);
			if (!worker.switches_first)
				worker.switches_first = worker.switches_last;
		}
	}

	/* Whether the worker slept again between the first and the last count after the parent's end. */
	bool loops(int i) const
	{
		auto const &first = workers[i].switches_first;
		auto const &last = workers[i].switches_last;
		return first && last && *last > *first;
	}

	/* The worker's lines that arrived from `from` on. */
	int lines_since(int worker, double from) const
	{
		std::string const &text = terminal->text();
		std::string const line = line_of(worker);
		int n = 0;
		for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
			n += terminal->arrival_at(at + line.size() - 1) >= from;
		return n;
	}

	/*
	 * Whether what the worker became after the parent's end has shown: one
	 * that runs on has looped, and written where it writes lines; an ended
	 * one is a zombie, which nothing but our own wait changes. Staying
	 * stopped shows only over the whole watch.
	 */
	bool fate_shown(int i) const
	{
		double after = parent_end + settle_after;
		auto seen = states_seen(i, after, watch_end);
		bool ended = once_changed(seen).size() >= fewest_samples_ended && ends_a_zombie(seen);
		bool runs_on = loops(i) && (!course.writes_lines || lines_since(i, after) >= 1);
		switch (course.after[i]) {
		case After::runs_on:
			return runs_on;
		case After::stays_stopped:
			return false;
		case After::ended_by_sigint:
			return ended;
		case After::hung_up_or_runs_on:
			return ended || runs_on;
		}
		return false;
	}

	/* Samples until the workers' fates after the parent's end have shown, or for a while after it. */
	void watch()
	{
		auto deadline = std::chrono::duration<double>(parent_ends() + watched_after + parent_late_at_most);
		harness::wait_until([&] {
			terminal->pump();
			read_reports();
			sample_states();
			count_children();
			count_switches();
			if (!parent_ended())
				return false;
			return seconds_since(origin) >= parent_end + watched_after || (fate_shown(0) && fate_shown(1));
		}, std::chrono::duration_cast<std::chrono::milliseconds>(deadline), sample_every);
	}

	/* The letters sampled of a worker from `from` to `to`, gone shown as such. */
	std::string states_seen(int worker, double from, double to) const
	{
		std::string seen;
		for (auto sample : states->between(workers[worker].pid, from, to))
			seen += sample.state != 0 ? sample.state : gone;
		return seen;
	}

	/* The worker's changes of state, as "running@0.00 stopped@3.01 running@6.00", for the log. */
	std::string transitions(int worker) const
	{
		std::string line;
		std::string last;
		for (auto sample : states->of(workers[worker].pid)) {
			std::string now = sample.state != 0 ? name_of(procfs::state_of(sample.state)) : "gone";
			if (now == last)
				continue;
			char at[32];
			snprintf(at, sizeof(at), "@%.2f", sample.at);
			line += (line.empty() ? "" : " ") + now + at;
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
			int worker = -1;
			size_t size = 0;
			for (int i = 0; i < 2; i++)
				if (text.compare(at, line_of(i).size(), line_of(i)) == 0) {
					worker = i;
					size = line_of(i).size();
				}
			if (size == 0 && !closing.empty() && text.compare(at, closing.size(), closing) == 0)
				size = closing.size();
			if (size == 0) {
				ADD_FAILURE() << "unexpected output at byte " << at << ": \"" << text << "\"";
				break;
			}
			found.push_back({.worker = worker, .at = terminal->arrival_at(at + size - 1)});
			at += size;
		}
		return found;
	}

	static int count(std::vector<Token> const &tokens, int worker, double from, double to)
	{
		int n = 0;
		for (auto token : tokens)
			n += token.worker == worker && token.at >= from && token.at <= to;
		return n;
	}

	void expect_parent_ended()
	{
		ASSERT_TRUE(parent_ended()) << "the parent did not end";
		EXPECT_EQ(most_children, 2u) << "the parent's children";
		EXPECT_EQ(workers[0].most_children + workers[1].most_children, 0u) << "a worker created a process";
		EXPECT_TRUE(WIFEXITED(parent_status) && WEXITSTATUS(parent_status) == 0)
			<< "wait status " << parent_status;
		EXPECT_NEAR(parent_end, parent_ends(), slack);
	}

	void expect_phases()
	{
		for (auto const &phase : course.phases)
			for (int i = 0; i < 2; i++) {
				double from = phase.from + slack, to = phase.to - slack;
				auto seen = states_seen(i, from, to);
				EXPECT_GE(seen.size(), (to - from) * fewest_samples_a_second)
					<< "too few samples of " << labels[i];
				EXPECT_TRUE(all_among(seen, {phase.workers[i]}))
					<< labels[i] << " from " << from << " s to " << to << " s: " << seen;
			}
	}

	/* Checks each worker's state after the parent's end; returns whether it runs on. */
	bool expect_after(int i)
	{
		pid_t worker = workers[i].pid;
		auto seen = states_seen(i, parent_end + settle_after, watch_end);
		bool looping = loops(i);
		auto fate = [&](std::initializer_list<State> allowed, std::string const &from) {
			EXPECT_FALSE(from.empty()) << labels[i] << " after the parent's end: " << seen;
			EXPECT_TRUE(all_among(from, allowed)) << labels[i] << " after the parent's end: " << seen;
		};
		auto expect_end_by = [&](int signal) {
			int status = 0;
			ASSERT_EQ(waitpid(worker, &status, WNOHANG), worker) << labels[i] << " was not left to us";
			EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
				<< labels[i] << ": wait status " << status;
		};

		switch (course.after[i]) {
		case After::runs_on:
			fate({State::running}, seen);
			EXPECT_TRUE(looping) << labels[i] << " does not loop any more";
			return true;
		case After::stays_stopped: {
			fate({State::stopped}, once_changed(seen));
			bool by_tstp = false;
			for (auto report : reports)
				by_tstp |= report.pid == worker && WIFSTOPPED(report.status) &&
					   WSTOPSIG(report.status) == SIGTSTP;
			EXPECT_TRUE(by_tstp) << "the shell saw no SIGTSTP stop of " << labels[i];
			return false;
		}
		case After::ended_by_sigint:
			fate({State::zombie}, once_changed(seen));
			expect_end_by(SIGINT);
			return false;
		case After::hung_up_or_runs_on:
			/* Never left stopped: SIGHUP ended it, or its stop never took effect. */
			fate({State::running, State::zombie}, seen);
			if (ends_a_zombie(seen)) {
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
				if (phase.workers[i] == State::running) {
					double expected = (to - from) * lines_a_second;
					EXPECT_GE(lines, expected - lines_more_or_less)
						<< labels[i] << " from " << from << " s to " << to << " s";
					EXPECT_LE(lines, expected + lines_more_or_less)
						<< labels[i] << " from " << from << " s to " << to << " s";
				} else {
					EXPECT_EQ(lines, 0) << labels[i] << " wrote from " << from << " s to " << to << " s";
				}
			}
			int later = count(found, i, parent_end + settle_after, watch_end);
			if (runs_on[i]) {
				EXPECT_GE(later, 1) << labels[i] << " wrote nothing after the parent's end";
			} else {
				EXPECT_EQ(later, 0) << labels[i] << " wrote after the parent's end";
			}
		}

		int closings = 0;
		for (auto token : found)
			if (token.worker < 0) {
				closings++;
				EXPECT_NEAR(token.at, parent_end, closing_at_the_end_within)
					<< "the closing message came apart from the parent's end";
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
	       transitions(0).c_str(), runs_on[0] ? " (runs on)" : "",
	       transitions(1).c_str(), runs_on[1] ? " (runs on)" : "");
}

constexpr State R = State::running, T = State::stopped, Z = State::zombie;

Course const courses[] = {
	Course{.name = "A", .program = "childsig-a", .writes_lines = true, .closing = "Child term",
	       .phases = {{.from = 0, .to = 3, .workers = {R, R}}, {.from = 3, .to = 6, .workers = {R, T}}},
	       .after = {After::hung_up_or_runs_on, After::hung_up_or_runs_on}},
	/* Adopted inside the session, the workers' group is never orphaned: both stops take effect. */
	Course{.name = "AUnderAnAdoptingShell", .program = "childsig-a", .writes_lines = true,
	       .closing = "Child term",
	       .phases = {{.from = 0, .to = 3, .workers = {R, R}}, {.from = 3, .to = 6, .workers = {R, T}}},
	       .after = {After::stays_stopped, After::stays_stopped}, .adopting = true},
	Course{.name = "AWithSigtstpIgnored", .program = "childsig-a", .writes_lines = true,
	       .closing = "Child term",
	       .phases = {{.from = 0, .to = 3, .workers = {R, R}}, {.from = 3, .to = 6, .workers = {R, T}}},
	       .after = {After::runs_on, After::runs_on}, .ignored_signals = {SIGTSTP}},
	Course{.name = "B", .program = "childsig-b", .writes_lines = false, .closing = "",
	       .phases = {{.from = 0, .to = 3, .workers = {R, R}}, {.from = 3, .to = 9, .workers = {Z, R}}},
	       .after = {After::ended_by_sigint, After::runs_on}},
	Course{.name = "BWithSigintIgnored", .program = "childsig-b", .writes_lines = false, .closing = "",
	       .phases = {{.from = 0, .to = 9, .workers = {R, R}}},
	       .after = {After::runs_on, After::runs_on}, .ignored_signals = {SIGINT}},
	Course{.name = "C", .program = "childsig-c", .writes_lines = false, .closing = "",
	       .phases = {{.from = 0, .to = 3, .workers = {R, R}}, {.from = 3, .to = 6, .workers = {R, T}},
			  {.from = 6, .to = 9, .workers = {R, R}}},
	       .after = {After::ended_by_sigint, After::runs_on}},
};

INSTANTIATE_TEST_SUITE_P(Childsig, Demonstration, ::testing::ValuesIn(courses),
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
	std::vector<long> workers;
	std::vector<std::string> steps;
	std::istringstream calls(log);
	for (std::string line; std::getline(calls, line);) {
		/* The result follows the last ") = ": an argument holds no blanks around its '='. */
		auto result = line.rfind(") = ");
		auto pause = line.find("{tv_sec=");
		long created, pid;
		unsigned seconds;
		char signal[32], end;
		if (line.starts_with("clone(") && result != std::string::npos &&
		    sscanf(line.c_str() + result, ") = %ld", &created) == 1) {
			if (created == -1) {
				steps.push_back("create failed");
				continue;
			}
			workers.push_back(created);
			steps.push_back("create child " + std::to_string(workers.size()));
		} else if (line.starts_with("clock_nanosleep(") && pause != std::string::npos &&
			   sscanf(line.c_str() + pause, "{tv_sec=%u, tv_nsec=0%c", &seconds, &end) == 2 && end == '}') {
			steps.push_back("pause " + std::to_string(seconds));
		} else if (sscanf(line.c_str(), "kill(%ld, %31[A-Z0-9_]%c", &pid, signal, &end) == 3 && end == ')') {
			auto worker = std::find(workers.begin(), workers.end(), pid);
			std::string to = worker == workers.end() ? "pid " + std::to_string(pid)
								 : "child " + std::to_string(worker - workers.begin() + 1);
			steps.push_back(std::string(signal) + " to " + to);
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
	REQUIRE_PID_NAMESPACE();
	REQUIRE_PROGRAM("strace");
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

Failure const creation_failures[] = {
	Failure{.name = "AFirst", .program = "childsig-a", .failing = 1},
	Failure{.name = "ASecond", .program = "childsig-a", .failing = 2},
	Failure{.name = "BFirst", .program = "childsig-b", .failing = 1},
	Failure{.name = "BSecond", .program = "childsig-b", .failing = 2},
	Failure{.name = "CFirst", .program = "childsig-c", .failing = 1},
	Failure{.name = "CSecond", .program = "childsig-c", .failing = 2},
};

INSTANTIATE_TEST_SUITE_P(Childsig, FailedCreation, ::testing::ValuesIn(creation_failures),
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
	REQUIRE_PID_NAMESPACE();
	REQUIRE_PROGRAM("strace");
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

/* The program's name without "childsig-", for the test's. */
constexpr size_t variant_letter = std::string_view("childsig-").size();

Timeline const timelines[] = {
	Timeline{.program = "childsig-a",
		 .steps = {"create child 1", "create child 2",
			   "pause 3", "SIGSTOP to child 2", "pause 3", "SIGCONT to child 2",
			   "SIGTSTP to child 1", "SIGTSTP to child 2"}},
	Timeline{.program = "childsig-b",
		 .steps = {"create child 1", "create child 2",
			   "pause 3", "SIGINT to child 1", "pause 3", "SIGCONT to child 1",
			   "pause 3", "SIGINT to child 1"}},
	Timeline{.program = "childsig-c",
		 .steps = {"create child 1", "create child 2",
			   "pause 3", "SIGSTOP to child 2", "pause 3", "SIGCONT to child 2",
			   "pause 3", "SIGINT to child 1"}},
};

INSTANTIATE_TEST_SUITE_P(Childsig, ParentCalls, ::testing::ValuesIn(timelines),
	[](auto const &info) { return std::string(info.param.program).substr(variant_letter); });

} // namespace
