/*
 * Whole watches with the /proc source: observe runs a real program and its
 * --json stream is read back and checked against what the program is known
 * to do, as far as samples of /proc can tell it.
 */
#include "network.h"
#include "observe_watch.h"
#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using harness::Child;
using harness::Launch;
using namespace observe_test;

TEST(ObserveWatch, AMissingProgramIsAClearError)
{
	Child observer(Launch{.argv = {harness::program("observe"), "no-such-demo"}});
	ASSERT_TRUE(observer.wait_exit(5s));
	observer.drain(1s);
	EXPECT_EQ(observer.exit_status(), 127);
	EXPECT_EQ(observer.out(), "");
	EXPECT_NE(observer.err().find("observe: cannot run no-such-demo: not found in PATH"), std::string::npos)
		<< observer.err();
}

TEST(ObserveWatch, ABadOptionShowsTheUsage)
{
	Child observer(Launch{.argv = {harness::program("observe"), "--for", "soon", "server"}});
	ASSERT_TRUE(observer.wait_exit(5s));
	observer.drain(1s);
	EXPECT_EQ(observer.exit_status(), 125);
	EXPECT_NE(observer.err().find("Try 'observe --help'"), std::string::npos) << observer.err();
}

TEST(ObserveWatch, ATimeLimitEndsWhatIsLeftAndLeavesNothingBehind)
{
	Watch watch({"--for", "1", "/bin/sleep", "60"}, 10s);
	EXPECT_EQ(watch.observer->exit_status(), 124) << watch.observer->err();
	auto cat = watch.pid_of("program");
	ASSERT_NE(cat, 0);
	EXPECT_EQ(watch.last().at("event").text(), "end");
	EXPECT_EQ(watch.last().at("reason").text(), "time limit");
	EXPECT_EQ(pids(watch.last().at("ended")), std::vector<pid_t>{cat});
	double ended_at = watch.last().at("t_ms").number() / 1000;
	EXPECT_NEAR(ended_at, 1.0, 0.5);
	auto killed = watch.one("signaled", cat);
	EXPECT_EQ(killed.at("signal").text(), "SIGKILL");
	EXPECT_TRUE(killed.at("by_observe").boolean());
	expect_nothing_left(watch);
}

TEST(ObserveWatch, AnInterruptEndsTheWatchTheSameWay)
{
	Watch watch({"--for", "30", "/bin/sleep", "60"});
	ASSERT_TRUE(harness::wait_until([&] {
		watch.observer->pump();
		return watch.observer->out().find("\"state\"") != std::string::npos;
	}, 5s));
	kill(watch.observer->pid(), SIGINT);
	watch.finish(5s);
	EXPECT_EQ(watch.observer->exit_status(), 130) << watch.observer->describe_status();
	EXPECT_EQ(watch.last().at("reason").text(), "interrupted");
	EXPECT_EQ(pids(watch.last().at("ended")), std::vector<pid_t>{watch.pid_of("program")});
	expect_nothing_left(watch);
}

TEST(ObserveWatch, BeingTheServersClientShowsTheWholeExchange)
{
	REQUIRE_PRIVATE_NETWORK();
	Watch watch({"--send", "hi", "server"}, 20s);
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();

	auto server = watch.pid_of("program");
	ASSERT_NE(server, 0);
	EXPECT_EQ(watch.all("spawn")[0].at("name").text(), "server");
	std::string reply;
	for (auto const &e : watch.all("reply"))
		reply += e.at("text").bytes();
	EXPECT_EQ(reply, "Hello From ZOR");
	EXPECT_EQ(watch.all("eof").size(), 1u);
	EXPECT_EQ(watch.all("reset").size(), 0u);
	EXPECT_EQ(watch.output(), "Data Received from client : hi ");
	auto exits = watch.one("exit", server);
	EXPECT_EQ(exits.at("status").integer(), 0);
	EXPECT_EQ(watch.last().at("event").text(), "end");
	EXPECT_EQ(watch.last().at("reason").text(), "all ended");
	EXPECT_EQ(pids(watch.last().at("ended")), std::vector<pid_t>{});
	expect_nothing_left(watch);
}

/* A worker of childsig-a ends by the platform's SIGHUP, or runs on until observe ends it. */
void
expect_hung_up_or_ended_by_observe(Watch const &watch, pid_t pid)
{
	auto hup = watch.all("signaled", pid);
	ASSERT_EQ(hup.size(), 1u) << "pid " << pid << " has no end";
	if (hup[0].at("signal").text() == "SIGHUP")
		EXPECT_FALSE(hup[0].has("by_observe"));
	else
		EXPECT_TRUE(hup[0].at("by_observe").boolean()) << hup[0].at("signal").text();
}

TEST(ObserveWatch, ChildsigAStopsChild2AndLeavesNoWorkerStopped)
{
	Watch watch({"--for", "9", "childsig-a"}, 30s);
	REQUIRE(missing_time_for_course(watch, 6, 9));
	double const start = watch.course_start();
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	auto parent = watch.pid_of("program");
	auto child1 = watch.pid_of("child 1");
	auto child2 = watch.pid_of("child 2");
	ASSERT_TRUE(parent != 0 && child1 != 0 && child2 != 0);
	for (auto const &spawn : watch.all("spawn"))
		EXPECT_EQ(spawn.at("name").text(), "childsig-a");

	EXPECT_NEAR(watch.when(child2, "stopped") - start, 3.0, 0.5);
	double child1_stopped = watch.when(child1, "stopped");
	EXPECT_TRUE(child1_stopped == -1 || child1_stopped - start > 5.5) << "child 1 stopped at " << child1_stopped;
	auto exits = watch.one("exit", parent);
	EXPECT_EQ(exits.at("status").integer(), 0);
	EXPECT_NEAR(seconds(exits) - start, 6.0, 0.5);

	auto output = watch.output();
	auto closing = output.find("Child term");
	ASSERT_NE(closing, std::string::npos) << output;
	EXPECT_NE(output.substr(closing + 10, 1), "\r") << "a newline followed the closing message";
	EXPECT_NE(output.find("Child1\r\n"), std::string::npos);
	EXPECT_NE(output.find("Child2\r\n"), std::string::npos);

	pid_t observer = watch.observer->pid();
	for (auto const &worker : {child1, child2}) {
		expect_hung_up_or_ended_by_observe(watch, worker);
		auto adopted = watch.all("adopted", worker);
		ASSERT_FALSE(adopted.empty()) << worker << " was never adopted";
		EXPECT_EQ(adopted[0].at("ppid").integer(), observer);
	}
	EXPECT_EQ(watch.last().at("event").text(), "end");
	expect_nothing_left(watch);
}

TEST(ObserveWatch, ChildsigCShowsTheStopTheInterruptAndTheOrphan)
{
	Watch watch({"--for", "10", "childsig-c"}, 30s);
	REQUIRE(missing_time_for_course(watch, 9, 10));
	double const start = watch.course_start();
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	auto parent = watch.pid_of("program");
	auto child1 = watch.pid_of("child 1");
	auto child2 = watch.pid_of("child 2");
	ASSERT_TRUE(parent != 0 && child1 != 0 && child2 != 0);

	EXPECT_NEAR(watch.when(child2, "stopped") - start, 3.0, 0.5);
	EXPECT_NEAR(watch.when(child2, "running") - start, 0.0, 0.5) << "the first state is the start";
	auto states = watch.all("state", child2);
	ASSERT_EQ(states.size(), 3u);
	EXPECT_EQ(states[2].at("state").text(), "running");
	EXPECT_NEAR(seconds(states[2]) - start, 6.0, 0.5);

	auto interrupted = watch.one("signaled", child1);
	EXPECT_EQ(interrupted.at("signal").text(), "SIGINT");
	EXPECT_FALSE(interrupted.has("by_observe"));
	EXPECT_NEAR(seconds(interrupted) - start, 9.0, 0.5);
	auto exits = watch.one("exit", parent);
	EXPECT_EQ(exits.at("status").integer(), 0);
	EXPECT_NEAR(seconds(exits) - start, 9.0, 0.5);

	pid_t observer = watch.observer->pid();
	auto adopted = watch.one("adopted", child2);
	EXPECT_EQ(adopted.at("ppid").integer(), observer);
	auto ended = watch.one("signaled", child2);
	EXPECT_TRUE(ended.at("by_observe").boolean());

	EXPECT_EQ(watch.output(), "") << "the bare-written labels never fill a buffer in 10 s";
	EXPECT_EQ(watch.last().at("reason").text(), "time limit");
	EXPECT_EQ(pids(watch.last().at("ended")), std::vector<pid_t>{child2});
	expect_nothing_left(watch);
}

TEST(ObserveWatch, ProcidsLeavesAZombieUntilTheTimeLimitEndsItsParent)
{
	Watch watch({"--for", "2", "procids"}, 15s);
	EXPECT_EQ(watch.observer->exit_status(), 124) << watch.observer->err();
	auto parent = watch.pid_of("program");
	auto child = watch.pid_of("child 1");
	ASSERT_TRUE(parent != 0 && child != 0);

	double zombie_at = watch.when(child, "zombie") - watch.course_start();
	EXPECT_GE(zombie_at, 0.0);
	EXPECT_LT(zombie_at, 1.0);
	EXPECT_EQ(watch.when(parent, "zombie"), -1);
	EXPECT_NE(watch.output().find("Child Process\r\n"), std::string::npos) << watch.output();
	EXPECT_NE(watch.output().find("Parent Process\r\n"), std::string::npos) << watch.output();

	EXPECT_EQ(watch.last().at("reason").text(), "time limit");
	EXPECT_EQ(pids(watch.last().at("ended")), std::vector<pid_t>{parent});
	auto killed = watch.one("signaled", parent);
	EXPECT_TRUE(killed.at("by_observe").boolean());
	auto adopted = watch.one("adopted", child);
	EXPECT_EQ(adopted.at("ppid").integer(), watch.observer->pid());
	auto collected = watch.one("exit", child);
	EXPECT_EQ(collected.at("status").integer(), 0);
	expect_nothing_left(watch);
}

/* Processor time a process has used. */
std::chrono::nanoseconds
processor_time(pid_t pid)
{
	auto schedule = procfs::read_schedule(pid);
	return std::chrono::nanoseconds(schedule ? schedule->running_ns : 0);
}

TEST(ObserveWatch, UsesLittleOfAProcessorWhileItWatches)
{
	Watch watch({"--for", "4", "/bin/sleep", "60"});
	ASSERT_TRUE(harness::wait_until([&] {
		watch.observer->pump();
		return watch.observer->out().find("\"state\"") != std::string::npos;
	}, 5s));
	auto before = processor_time(watch.observer->pid());
	auto from = harness::Clock::now();
	std::this_thread::sleep_for(2s);	/* the span being measured, not a wait for a condition */
	auto used = processor_time(watch.observer->pid()) - before;
	auto span = harness::Clock::now() - from;
	watch.finish(10s);
	EXPECT_LT(used.count(), span.count() / 20) << "observe used " << used.count() / 1000 << " us";
}

/* A shell script to watch, as an executable file of its own. */
harness::TempFile
script(std::string const &body)
{
	return harness::TempFile("#!/bin/sh\n" + body, true);
}

/* How long a process has waited for a processor, from the first look to the last that found it. */
class ProcessorWait {
public:
	explicit ProcessorWait(pid_t pid) : pid_(pid) {}
	void look()
	{
		if (auto schedule = procfs::read_schedule(pid_)) {
			first_ = first_.value_or(schedule->waiting_ns);
			last_ = schedule->waiting_ns;
		}
	}
	std::chrono::milliseconds waited() const
	{
		auto ns = std::chrono::nanoseconds(last_ - first_.value_or(last_));
		return std::chrono::duration_cast<std::chrono::milliseconds>(ns);
	}

private:
	pid_t pid_;
	std::optional<long long> first_;
	long long last_ = 0;
};

/*
 * The script stops its child for 50 ms: sampled every 10 ms, the stop cannot
 * be missed, unless the machine kept observe from its samples, which no
 * sampler can help.
 */
TEST(ObserveWatch, SamplesOftenEnoughToSeeAShortStop)
{
	auto stopper = script("sleep 30 & child=$!\nsleep 0.3\nkill -STOP $child\nsleep 0.05\n"
		      "kill -CONT $child\nsleep 0.3\nkill $child\nwait\n");
	Watch watch({"--for", "10", stopper.path()});
	ProcessorWait observer_wait(watch.observer->pid());
	harness::wait_until([&] { observer_wait.look(); return watch.observer->wait_exit(0ms); }, 20s);
	watch.finish(1s);
	auto child = watch.pid_of("child 1");
	ASSERT_NE(child, 0);
	auto states = watch.all("state", child);
	/*
	 * Killed, the child is a zombie until the shell collects it: a moment
	 * that a sample on a busy machine may catch, and then observe has read
	 * how it ended.
	 */
	bool zombie_seen = !states.empty() && states.back().at("state").text() == "zombie";
	if (zombie_seen)
		states.pop_back();
	/* Waiting less than 20 ms in all, no two samples were as much as 50 ms apart. */
	auto const waited = observer_wait.waited();
	if (states.size() == 1 && waited >= 20ms)
		GTEST_SKIP() << "the machine is too busy: observe waited " << waited.count()
			     << " ms for a processor, and a 50 ms stop can fall between two samples";
	ASSERT_EQ(states.size(), 3u) << watch.observer->out();
	EXPECT_EQ(states[1].at("state").text(), "stopped");
	EXPECT_EQ(states[2].at("state").text(), "running");
	if (zombie_seen) {
		EXPECT_EQ(watch.one("signaled", child).at("signal").text(), "SIGTERM");
	} else {
		/* Its own parent collected it, and tells nobody how it ended. */
		auto ended = watch.one("exit", child);
		EXPECT_TRUE(ended.at("status").is_null());
	}
	EXPECT_EQ(watch.last().at("reason").text(), "all ended");
	expect_nothing_left(watch);
}

/*
 * Run by a link of another name, the program's command name ("nap") and its
 * path's last part ("sleep") differ: sampled, that is one exec, not one a sample.
 */
TEST(ObserveWatch, AProgramRunByALinkOfAnotherNameIsExecutedOnce)
{
	auto runner = script("exec \"$0.d/nap\" 0.3\n");
	std::string const dir = runner.path() + ".d", link = dir + "/nap";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
	ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0) << link;
	Watch watch({runner.path()}, 15s);
	unlink(link.c_str());
	rmdir(dir.c_str());
	auto execs = watch.all("exec", watch.pid_of("program"));
	ASSERT_EQ(execs.size(), 1u) << watch.observer->out();
	EXPECT_TRUE(execs[0].at("file").text().ends_with("/sleep")) << execs[0].at("file").text();
	EXPECT_EQ(watch.last().at("reason").text(), "all ended");
}

TEST(ObserveWatch, EndsWhatAppearsWhileItEndsTheRest)
{
	/* A new child every few milliseconds: some appear after the last sample. */
	auto breeder = script("while :; do sleep 30 & sleep 0.005; done\n");
	Watch watch({"--for", "1", breeder.path()}, 15s);
	EXPECT_EQ(watch.observer->exit_status(), 124) << watch.observer->err();
	EXPECT_EQ(watch.last().at("reason").text(), "time limit");
	EXPECT_LT(watch.last().at("t_ms").number(), 2500) << "the ending waited out its limit";
	for (auto const &spawn : watch.all("spawn")) {
		auto pid = static_cast<pid_t>(spawn.at("pid").integer());
		EXPECT_EQ(watch.all("exit", pid).size() + watch.all("signaled", pid).size(), 1u) << pid;
	}
	expect_nothing_left(watch);
}

} // namespace
