/*
 * The kernel trace reader, against a family whose every step the test
 * makes: a child that forks a grandchild and collects it, stops itself
 * with SIGSTOP, is resumed by the test with SIGCONT and killed with
 * SIGINT. The test's own signals show that signals from outside the
 * followed set are seen; the grandchild, that the kernel follows forks.
 */
#include "process.h"
#include "trace.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using namespace observe::kernel;

#define REQUIRE_KERNEL_TRACE()                                                       \
	do {                                                                         \
		if (auto why = Trace::unavailable(); !why.empty())                  \
			GTEST_SKIP() << "no kernel trace here, so nothing to read: " << why; \
	} while (0)

std::int64_t
now_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

/* Where tracefs is mounted; unavailable() has mounted it where it was not. */
std::string
instances_dir()
{
	std::ifstream mounts("/proc/self/mounts");
	std::string device, dir, type, rest;
	while (mounts >> device >> dir >> type && std::getline(mounts, rest))
		if (type == "tracefs")
			return dir + "/instances/";
	return "";
}

bool
exists(std::string const &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

/* The first record of type T that `match` accepts, with its index; -1 where none. */
template<typename T, typename Match>
std::pair<int, T const *>
first(std::vector<Record> const &records, Match match)
{
	for (size_t i = 0; i < records.size(); i++)
		if (auto *r = std::get_if<T>(&records[i].what); r != nullptr && match(*r))
			return {static_cast<int>(i), r};
	return {-1, nullptr};
}

/* The child: waits for the word, forks and collects a grandchild, stops itself, then waits for its end. */
[[noreturn]] void
family(int go)
{
	signal(SIGINT, SIG_DFL);
	char word;
	if (read(go, &word, 1) != 1)
		_exit(1);
	pid_t grandchild = fork();
	if (grandchild == 0)
		_exit(0);
	waitpid(grandchild, nullptr, 0);
	raise(SIGSTOP);
	for (;;)
		pause();
}

/* Whether a record names the process, in any of its roles. */
bool
names(Record const &record, pid_t pid)
{
	return std::visit(
		[&](auto const &what) {
			bool named = false;
			if constexpr (requires { what.pid; })
				named = named || what.pid == pid;
			if constexpr (requires { what.parent; })
				named = named || what.parent == pid || what.child == pid;
			if constexpr (requires { what.sender; })
				named = named || what.sender == pid || what.target == pid;
			if constexpr (requires { what.reaper; })
				named = named || what.reaper == pid;
			return named;
		},
		record.what);
}

/* Ends and reaps the child on every way out of the test. */
struct Reaped {
	pid_t pid;
	~Reaped()
	{
		if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
		}
	}
};

TEST(KernelTrace, FollowsAFamilyThroughItsStopSignalsAndCollection)
{
	REQUIRE_KERNEL_TRACE();
	int go[2];
	ASSERT_EQ(pipe(go), 0);
	std::int64_t before = now_ns();
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0)
		family(go[0]);
	Reaped reaped{child};
	close(go[0]);

	std::string why;
	auto trace = Trace::open({child}, why);
	ASSERT_TRUE(trace) << why;
	std::string instance = instances_dir() + instance_name();
	EXPECT_TRUE(exists(instance)) << instance;
	/* A process outside the family that forks, collects and ends: the kernel records it too, nothing tells of it. */
	pid_t stranger = fork();
	ASSERT_GE(stranger, 0);
	if (stranger == 0) {
		if (pid_t child = fork(); child > 0)
			waitpid(child, nullptr, 0);
		_exit(7);
	}
	ASSERT_EQ(waitpid(stranger, nullptr, 0), stranger);
	ASSERT_EQ(write(go[1], "g", 1), 1);
	close(go[1]);

	/* Takes records as the descriptor wakes, until `seen` holds or five seconds pass. */
	std::vector<Record> records;
	auto take_until = [&](auto seen) {
		auto deadline = now_ns() + 5'000'000'000;
		while (!seen() && now_ns() < deadline) {
			pollfd ready{trace->fd(), POLLIN, 0};
			poll(&ready, 1, 100);
			trace->take(records);
		}
		return seen();
	};

	ASSERT_TRUE(harness::wait_until([&] { return harness::proc_state(child) == 'T'; }, 5000ms));
	int status;
	ASSERT_EQ(waitpid(child, &status, WUNTRACED | WNOHANG), child);	/* tells of the stop */
	ASSERT_TRUE(WIFSTOPPED(status));
	ASSERT_TRUE(take_until([&] { return first<Collected>(records, [&](auto &c) { return c.pid == child; }).second; }));

	/* The resumed child only pauses: what records its resumption must wake the reader by itself. */
	kill(child, SIGCONT);
	pollfd ready{trace->fd(), POLLIN, 0};
	EXPECT_EQ(poll(&ready, 1, 5000), 1) << "not woken by a signal from outside the followed set";
	kill(child, SIGINT);
	ASSERT_EQ(waitpid(child, &status, 0), child);
	reaped.pid = -1;
	ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);

	/* Everything before the record of the last collection has been written by then. */
	auto collected = [&] { return first<Collected>(records, [&](auto &c) { return c.pid == child && c.ended; }); };
	EXPECT_TRUE(take_until([&] { return collected().second; }));
	std::int64_t after = now_ns();
	if (trace->lost() > 0)
		GTEST_SKIP() << "the machine is too busy: the kernel dropped " << trace->lost()
			     << " records of its signals and waits before they could be read";

	auto forked = first<Forked>(records, [&](auto &f) { return f.parent == child; });
	ASSERT_TRUE(forked.second) << "the grandchild's fork, followed by the kernel";
	pid_t grandchild = forked.second->child;
	EXPECT_EQ(forked.second->clone_flags & CLONE_THREAD, 0u) << "a process, not a thread";
	auto grandchild_exit = first<ExitCalled>(records, [&](auto &e) { return e.pid == grandchild; });
	ASSERT_TRUE(grandchild_exit.second) << "its _exit(0), whose code is its status";
	EXPECT_TRUE(grandchild_exit.second->group);
	EXPECT_EQ(grandchild_exit.second->code, 0);
	auto grandchild_collected = first<Collected>(records, [&](auto &c) { return c.pid == grandchild; });
	EXPECT_LT(grandchild_exit.first, grandchild_collected.first);
	ASSERT_TRUE(grandchild_collected.second);
	EXPECT_EQ(grandchild_collected.second->reaper, child);
	EXPECT_TRUE(grandchild_collected.second->ended);
	auto stop_sent = first<Generated>(records, [&](auto &g) { return g.signal == SIGSTOP; });
	ASSERT_TRUE(stop_sent.second);
	EXPECT_EQ(stop_sent.second->sender, child);
	EXPECT_EQ(stop_sent.second->target, child);
	auto stopped = first<Stopped>(records, [&](auto &s) { return s.pid == child; });
	ASSERT_TRUE(stopped.second) << "the switch into the stop";
	auto stop_told = first<Collected>(records, [&](auto &c) { return c.pid == child; });
	ASSERT_TRUE(stop_told.second);
	EXPECT_EQ(stop_told.second->reaper, getpid());
	EXPECT_FALSE(stop_told.second->ended) << "a wait that told of a stop collected nothing";
	auto resumed = first<Generated>(records, [&](auto &g) { return g.signal == SIGCONT; });
	auto interrupted = first<Generated>(records, [&](auto &g) { return g.signal == SIGINT; });
	for (auto *sent : {resumed.second, interrupted.second}) {
		ASSERT_TRUE(sent) << "a signal from outside the followed set";
		EXPECT_EQ(sent->sender, getpid());
		EXPECT_EQ(sent->target, child);
	}
	EXPECT_EQ(interrupted.second->result, signal_delivered);
	auto exited = first<Exited>(records, [&](auto &e) { return e.pid == child; });
	ASSERT_TRUE(exited.second);
	EXPECT_TRUE(exited.second->group_dead);
	auto end = collected();
	ASSERT_TRUE(end.second);
	EXPECT_EQ(end.second->reaper, getpid());

	/* The steps in the order they were made, and the times from the steady clock. */
	std::vector<int> order = {forked.first, grandchild_collected.first, stop_sent.first, stopped.first,
				  stop_told.first, resumed.first, interrupted.first, exited.first, end.first};
	EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << ::testing::PrintToString(order);
	for (size_t i = 1; i < records.size(); i++)
		EXPECT_LE(records[i - 1].t_ns, records[i].t_ns) << "record " << i;
	EXPECT_GT(records.front().t_ns, before);
	EXPECT_LT(records.back().t_ns, after);

	EXPECT_TRUE(std::none_of(records.begin(), records.end(), [&](Record const &r) { return names(r, stranger); }))
		<< "a record of the stranger " << stranger;

	trace.reset();
	EXPECT_TRUE(harness::wait_until([&] { return !exists(instance); }, 5s)) << instance << " left behind";
}

/* Making the instance's keeper leaves no SIGCHLD waiting for a reader that
 * takes them from a signalfd: its first SIGCHLD of a child is queued. */
TEST(KernelTrace, LeavesNoChildSignalOfItsOwnPending)
{
	REQUIRE_KERNEL_TRACE();
	sigset_t child_news, before;
	sigemptyset(&child_news);
	sigaddset(&child_news, SIGCHLD);
	sigprocmask(SIG_BLOCK, &child_news, &before);
	std::string why;
	auto trace = Trace::open({getpid()}, why);
	sigset_t pending;
	sigpending(&pending);
	bool waiting = sigismember(&pending, SIGCHLD);
	trace.reset();
	timespec now{};
	sigtimedwait(&child_news, nullptr, &now);
	sigprocmask(SIG_SETMASK, &before, nullptr);
	ASSERT_TRUE(why.empty()) << why;
	EXPECT_FALSE(waiting);
}

/* Its keeper removes the instance however its maker ends: here, killed outright while it reads. */
TEST(KernelTrace, ItsInstanceGoesWithAReaderKilledOutright)
{
	REQUIRE_KERNEL_TRACE();
	int ready[2];
	ASSERT_EQ(pipe(ready), 0);
	pid_t reader = fork();
	ASSERT_GE(reader, 0);
	if (reader == 0) {
		std::string why;
		auto trace = Trace::open({getpid()}, why);
		char opened = trace ? 'y' : 'n';
		if (write(ready[1], &opened, 1) != 1 || !trace)
			_exit(1);
		for (;;)
			pause();
	}
	close(ready[1]);
	char opened = 0;
	bool told = read(ready[0], &opened, 1) == 1;
	close(ready[0]);
	std::string instance = instances_dir() + "observe-" + std::to_string(reader);
	bool made = exists(instance);
	kill(reader, SIGKILL);
	ASSERT_EQ(waitpid(reader, nullptr, 0), reader);
	ASSERT_TRUE(told && opened == 'y') << "the reader could not open the trace";
	EXPECT_TRUE(made) << instance;
	EXPECT_TRUE(harness::wait_until([&] { return !exists(instance); }, 5s)) << instance << " left behind";
}

/* An instance named for an observe that is gone is removed; one whose observe lives is left alone. */
TEST(KernelTrace, RemovesTheInstancesOfAnObserveThatIsGone)
{
	REQUIRE_KERNEL_TRACE();
	pid_t gone = fork();
	ASSERT_GE(gone, 0);
	if (gone == 0)
		_exit(0);
	ASSERT_EQ(waitpid(gone, nullptr, 0), gone);

	std::string dir = instances_dir();
	std::string stale = dir + "observe-" + std::to_string(gone);
	std::string alive = dir + "observe-" + std::to_string(getpid()) + "-test";
	for (auto const &path : {stale, stale + "-signals", alive})
		ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
	std::string why;
	auto trace = Trace::open({getpid()}, why);
	EXPECT_TRUE(trace) << why;
	EXPECT_FALSE(exists(stale));
	EXPECT_FALSE(exists(stale + "-signals"));
	EXPECT_TRUE(exists(alive)) << "the instance of a living observe";
	for (auto const &path : {stale, stale + "-signals", alive})
		rmdir(path.c_str());
}

/* A child that sends itself far more signals than the buffers hold while
 * nobody reads them: the kernel drops records, and the reader says how many
 * and over what span of time, each loss once. */
TEST(KernelTrace, TellsEachLossWithItsSpan)
{
	REQUIRE_KERNEL_TRACE();
	constexpr long signals = 400'000;
	int go[2];
	ASSERT_EQ(pipe(go), 0);
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		signal(SIGUSR1, SIG_IGN);	/* generated all the same, and traced */
		char word;
		if (read(go[0], &word, 1) != 1)
			_exit(1);
		for (long i = 0; i < signals; i++)
			kill(getpid(), SIGUSR1);
		_exit(0);
	}
	Reaped reaped{child};
	close(go[0]);
	std::string why;
	std::int64_t before = now_ns();
	auto trace = Trace::open({child}, why);
	ASSERT_TRUE(trace) << why;
	ASSERT_EQ(write(go[1], "g", 1), 1);
	close(go[1]);
	int status;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	reaped.pid = -1;
	ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

	std::vector<Record> records;
	auto deadline = now_ns() + 10'000'000'000;
	while (!first<Collected>(records, [&](auto &c) { return c.pid == child; }).second && now_ns() < deadline)
		trace->take(records);
	std::int64_t after = now_ns();
	long read = 0;
	for (auto const &record : records)
		if (auto *g = std::get_if<Generated>(&record.what); g != nullptr && g->sender == child && g->signal == SIGUSR1)
			read++;
	EXPECT_LT(read, signals) << "the buffers held every signal: nothing was dropped to tell of";

	auto losses = trace->losses();
	ASSERT_FALSE(losses.empty()) << read << " of " << signals << " read, and no loss told";
	long long told = 0;
	for (auto const &loss : losses) {
		told += loss.records;
		EXPECT_GT(loss.records, 0);
		EXPECT_LE(loss.from_ns, loss.until_ns) << "a span that ends before it begins";
		EXPECT_GE(loss.from_ns, before);
		EXPECT_LE(loss.until_ns, after);
	}
	EXPECT_EQ(told, trace->lost());
	EXPECT_TRUE(trace->losses().empty()) << "a loss told twice";
}

} // namespace
