/*
 * The stdout reader against live processes: childsig-b's workers piling
 * labels up in their buffers on a terminal until SIGINT throws child 1's
 * away, procids's parent holding its lines on a pipe after an exec the
 * reader must notice, the processes an unprivileged watcher may not read,
 * and what a read costs.
 */
#include "process.h"
#include "requirements.h"
#include "stdout_buffer.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

namespace {

using harness::Launch;
using observe::StdoutReader;
using Status = StdoutReader::Status;
using namespace std::chrono_literals;

/* A fork of this process holding `text` alone, unwritten, in its stdout
 * buffer; stopped, and once continued it runs `then`. */
pid_t
hold(char const *text, int out = -1, char const *then = nullptr)
{
	pid_t pid = fork();
	if (pid == 0) {
		if (out >= 0)
			dup2(out, 1);
		__fpurge(stdout);
		fputs(text, stdout);
		raise(SIGSTOP);
		if (then != nullptr)
			execl(then, then, nullptr);
		_exit(127);
	}
	int status = 0;
	if (pid < 0 || waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status))
		return -1;
	return pid;
}

TEST(StdoutBuffer, TerminalWorkerPilesUpLabelsUntilSigintThrowsThemAway)
{
	harness::Child program(Launch{.argv = {harness::program("childsig-b")}, .output = harness::Output::terminal});
	std::vector<pid_t> workers;
	ASSERT_TRUE(harness::wait_until([&] {
		workers = procfs::children(program.pid());
		return workers.size() == 2;
	}, 5s));
	StdoutReader reader;

	/* No newline ever comes; the first label's write gave the buffer. */
	std::vector<std::string> seen;
	ASSERT_TRUE(harness::wait_until([&] {
		auto held = reader.read(workers[0]);
		if (held.capacity > 0 && (seen.empty() || seen.back() != held.bytes)) {
			EXPECT_EQ(held.capacity, 1024u);
			EXPECT_TRUE(held.line_buffered);
			seen.push_back(held.bytes);
		}
		return held.bytes.size() >= 18;
	}, 5s));
	EXPECT_EQ(seen, (std::vector<std::string>{"Child1", "Child1Child1", "Child1Child1Child1"}));
	auto parent = reader.read(program.pid());	/* it never writes */
	EXPECT_EQ(parent.status, Status::held);
	EXPECT_EQ(parent.capacity, 0u);

	/* observe reads up to four processes every 10 ms within 1 % of a
	 * processor, and a look at /proc/PID/maps costs some 25 us. */
	constexpr int reads = 10000;
	std::clock_t start = std::clock();	/* processor time, user and system */
	for (int i = 0; i < reads; i++)
		reader.read(workers[1]);
	double each_us = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / reads * 1e6;
	RecordProperty("read_us", std::to_string(each_us));
	EXPECT_LT(each_us, 10.0);

	/* SIGINT at 3 s: child 1 a zombie, its labels lost; child 2 keeps piling up. */
	ASSERT_TRUE(harness::wait_until([&] { return reader.read(workers[0]).status == Status::gone; }, 5s));
	/* Its memory goes first, early in its exit: it is a zombie only a moment later. */
	EXPECT_TRUE(harness::wait_until([&] { return harness::proc_state(workers[0]) == 'Z'; }, 1s))
		<< "child 1 is " << harness::proc_state(workers[0]);
	auto other = reader.read(workers[1]).bytes;
	EXPECT_GE(other.size(), 18u);
	std::string labels;
	while (labels.size() < other.size())
		labels += "Child2";
	EXPECT_EQ(other, labels);
	EXPECT_EQ(program.out(), "");
}

TEST(StdoutBuffer, PipedParentHoldsItsLinesAfterAnExecItsChildIsGone)
{
	int out[2];
	ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
	std::string const procids = harness::program("procids");
	pid_t pid = hold("before exec", out[1], procids.c_str());
	close(out[1]);
	ASSERT_GT(pid, 0);
	StdoutReader reader;
	EXPECT_EQ(reader.read(pid).bytes, "before exec");

	/* The places cached in the copy of this process die with the exec. */
	kill(pid, SIGCONT);
	std::string const ids = std::to_string(pid) + "\t Parent Process ID: " + std::to_string(getpid()) + "\n";
	std::string const lines = "Initial Process ID: " + ids + "Parent Process\nProcess ID: " + ids;
	StdoutReader::Result parent;
	EXPECT_TRUE(harness::wait_until([&] { return (parent = reader.read(pid)).bytes == lines; }, 5s))
		<< parent.bytes;
	EXPECT_EQ(parent.capacity, 4096u);
	EXPECT_FALSE(parent.line_buffered);

	std::vector<pid_t> child;
	ASSERT_TRUE(harness::wait_until([&] {
		child = procfs::children(pid);
		return child.size() == 1 && harness::proc_state(child[0]) == 'Z';
	}, 5s));
	EXPECT_EQ(reader.read(child[0]).status, Status::gone);
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	EXPECT_EQ(reader.read(pid).status, Status::gone);
	close(out[0]);
}

TEST(StdoutBuffer, UnprivilegedWatcherReadsOnlyItsOwnDumpableChildren)
{
	REQUIRE_SECOND_USER();
	int results[2];
	ASSERT_EQ(pipe2(results, O_CLOEXEC), 0);
	pid_t watcher = fork();
	ASSERT_GE(watcher, 0);
	if (watcher == 0) {
		constexpr gid_t nobody = 65534;
		if (setgroups(0, nullptr) < 0 || setresgid(nobody, nobody, nobody) < 0 ||
		    setresuid(nobody, nobody, nobody) < 0)
			_exit(1);
		/* The change of user left this process not dumpable, and a fork inherits that. */
		pid_t hidden = hold("hidden");
		prctl(PR_SET_DUMPABLE, 1);
		pid_t mine = hold("mine");
		StdoutReader reader;
		auto own = reader.read(mine);
		Status said[] = {own.status, reader.read(hidden).status, reader.read(getppid()).status};
		bool sent = own.bytes == "mine" && write(results[1], said, sizeof(said)) == sizeof(said);
		_exit(sent ? 0 : 2);	/* the test runner ends the two it leaves */
	}
	close(results[1]);
	int status = 0;
	waitpid(watcher, &status, 0);
	Status said[3] = {};
	bool heard = read(results[0], said, sizeof(said)) == sizeof(said);
	close(results[0]);
	ASSERT_NE(WEXITSTATUS(status), 1) << "could not become user 65534";
	ASSERT_TRUE(heard) << "its own child's bytes were not read";
	EXPECT_EQ(said[0], Status::held);
	EXPECT_EQ(said[1], Status::no_access);	/* its own, not dumpable */
	EXPECT_EQ(said[2], Status::no_access);	/* root's */
}

} // namespace
