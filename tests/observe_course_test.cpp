/*
 * What observe shows that no other tool shows, watched whole: every signal
 * of a signal demonstration with its sender, or the kernel's reason, and
 * what became of it, at exact times (the kernel source, which needs root
 * and the initial pid namespace); what each process holds in its stdout
 * buffer and loses; the server's sockets and the TIME-WAIT that a restart
 * runs into; keys typed at observe's terminal reaching the job; and the
 * user the job runs as.
 */
#include "jobshell.h"
#include "network.h"
#include "observe_watch.h"
#include "requirements.h"
#include "kernel/trace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

namespace {

using namespace observe_test;

/* A signal event, as the stream gives it. */
struct Sent {
	long long t_us;
	pid_t target;
	std::string signal;
	std::optional<pid_t> from;
	std::string result;
	std::string cause;	/* "" for null */
};

std::vector<Sent>
signals_of(Watch const &watch)
{
	std::vector<Sent> sent;
	for (auto const &e : watch.all("signal")) {
		Sent s{e.at("t_us").integer(), static_cast<pid_t>(e.at("pid").integer()), e.at("signal").text(),
		       std::nullopt, e.at("result").text(), e.at("cause").is_null() ? "" : e.at("cause").text()};
		if (!e.at("from").is_null())
			s.from = static_cast<pid_t>(e.at("from").integer());
		sent.push_back(s);
	}
	return sent;
}

/* The state `pid` was in at `t_us`, by its state events; "" before the first. */
std::string
state_at(Watch const &watch, pid_t pid, long long t_us)
{
	std::string state;
	for (auto const &e : watch.all("state", pid))
		if (e.at("t_us").integer() <= t_us)
			state = e.at("state").text();
	return state;
}

/* The texts of `pid`'s buffer events, in order. */
std::vector<std::string>
held_by(Watch const &watch, pid_t pid)
{
	std::vector<std::string> texts;
	for (auto const &e : watch.all("buffer", pid))
		if (!e.at("text").is_null())
			texts.push_back(e.at("text").bytes());
	return texts;
}

/* How many times `text` is `label` over and over, or -1 where it is anything else. */
int
repeats(std::string const &text, std::string const &label)
{
	if (text.size() % label.size() != 0)
		return -1;
	for (size_t at = 0; at < text.size(); at += label.size())
		if (text.compare(at, label.size(), label) != 0)
			return -1;
	return static_cast<int>(text.size() / label.size());
}

double
seconds_of(long long t_us)
{
	return t_us / 1e6;
}

/*
 * childsig-a, traced: the program's four signals to their targets in their
 * order at their times, and at its end each worker's fate as the kernel
 * decided it: SIGHUP exactly to the workers that had stopped when the
 * group was orphaned; a worker that runs on has its SIGTSTP discarded,
 * with the reason.
 */
TEST(ObserveKernel, ChildsigAShowsEachSignalAndWhyEachWorkerEndedOrRanOn)
{
	REQUIRE_KERNEL_SOURCE();
	Watch watch({"--source=kernel", "--for", "7.5", "childsig-a"}, 30s);
	REQUIRE(missing_trace_records(watch));
	REQUIRE(missing_time_for_course(watch, 6, 7.5));
	double const start = watch.course_start();
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err() << watch.observer->out();
	ASSERT_FALSE(watch.events.empty());
	EXPECT_EQ(watch.events[0].at("event").text(), "start");
	EXPECT_EQ(watch.events[0].at("source").text(), "kernel");
	pid_t parent = watch.pid_of("program"), child1 = watch.pid_of("child 1"), child2 = watch.pid_of("child 2");
	ASSERT_TRUE(parent != 0 && child1 != 0 && child2 != 0);

	auto sent = signals_of(watch);
	std::vector<Sent> by_parent;
	for (auto const &s : sent)
		if (s.from == parent)
			by_parent.push_back(s);
	struct Step {
		char const *signal;
		pid_t target;
		char const *result;
		double at;
	} const steps[] = {
		{"SIGSTOP", child2, "queued", 3}, {"SIGCONT", child2, "resumed", 6},
		{"SIGTSTP", child1, "queued", 6}, {"SIGTSTP", child2, "queued", 6},
	};
	ASSERT_EQ(by_parent.size(), std::size(steps));
	for (size_t i = 0; i < std::size(steps); i++) {
		EXPECT_EQ(by_parent[i].signal, steps[i].signal) << i;
		EXPECT_EQ(by_parent[i].target, steps[i].target) << i;
		EXPECT_EQ(by_parent[i].result, steps[i].result) << i;
		EXPECT_EQ(by_parent[i].cause, "") << i;
		EXPECT_NEAR(seconds_of(by_parent[i].t_us) - start, steps[i].at, 0.5) << i;
	}
	EXPECT_LT(by_parent[3].t_us - by_parent[1].t_us, 10'000) << "no pause between the last three";
	/* The resumption at its signal's microsecond; the stop once child 2 ran to take it, which a busy
	 * machine may put off, but never past the SIGCONT three seconds on. */
	EXPECT_EQ(state_at(watch, child2, by_parent[0].t_us), "running");
	EXPECT_EQ(state_at(watch, child2, by_parent[1].t_us - 1), "stopped");
	EXPECT_EQ(state_at(watch, child2, by_parent[1].t_us), "running");

	/* The orphaning: the kernel's own SIGHUP and SIGCONT, or none where nobody was stopped. */
	auto exit = watch.one("exit", parent);
	ASSERT_FALSE(exit.at("status").is_null()) << "the parent's status was never told";
	EXPECT_EQ(exit.at("status").integer(), 0);
	long long orphaned = exit.at("t_us").integer();
	std::vector<Sent> orphaning;
	for (auto const &s : sent)
		if (s.cause == "orphaned group") {
			EXPECT_FALSE(s.from) << s.signal << " has a sender";
			orphaning.push_back(s);
		}
	if (!orphaning.empty()) {
		orphaned = orphaning.front().t_us;
	}
	for (pid_t worker : {child1, child2}) {
		bool stopped = state_at(watch, worker, orphaned) == "stopped";
		auto hup = std::find_if(orphaning.begin(), orphaning.end(),
					[&](auto const &s) { return s.target == worker && s.signal == "SIGHUP"; });
		EXPECT_EQ(hup != orphaning.end(), stopped) << worker << ": SIGHUP goes to the stopped alone";
		auto end = watch.one("signaled", worker);
		if (stopped) {
			EXPECT_EQ(end.at("signal").text(), "SIGHUP");
			EXPECT_FALSE(end.has("by_observe"));
			continue;
		}
		EXPECT_TRUE(end.has("by_observe")) << worker << " ran on until observe ended it";
		auto discarded = watch.all("discarded", worker);
		ASSERT_EQ(discarded.size(), 1u) << worker << "'s SIGTSTP";
		EXPECT_EQ(discarded[0].at("signal").text(), "SIGTSTP");
		auto reason = discarded[0].at("reason").text();
		EXPECT_TRUE(reason == "orphaned group" || reason == "flushed by SIGCONT") << reason;
	}
	if (!orphaning.empty()) {
		for (pid_t member : {parent, child1, child2})
			EXPECT_TRUE(std::any_of(orphaning.begin(), orphaning.end(),
						[&](auto const &s) { return s.target == member && s.signal == "SIGCONT"; }))
				<< member << ": SIGCONT goes to every member";
	}

	/* Lines written to a terminal leave nothing in the buffer. */
	for (pid_t worker : {child1, child2})
		for (auto const &text : held_by(watch, worker))
			EXPECT_EQ(text, "") << worker;
	expect_nothing_left(watch);
}

/*
 * childsig-b: child 1's labels pile up in its buffer and are lost with it
 * at the SIGINT; child 2 loses what it held when observe ends it. Traced,
 * the later SIGCONT and SIGINT to the zombie do nothing; as an unprivileged
 * user, with the /proc source, the buffers show all the same.
 */
struct BufferWatch {
	char const *name;
	bool kernel;
};

class ObserveBuffers : public ::testing::TestWithParam<BufferWatch> {};

TEST_P(ObserveBuffers, ChildsigBLosesTheLabelsItsWorkersHeld)
{
	std::vector<std::string> wrap;
	if (GetParam().kernel) {
		REQUIRE_KERNEL_SOURCE();
	} else if (getuid() == 0) {
		wrap = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
	}
	Watch watch({GetParam().kernel ? "--source=kernel" : "--source=auto", "--for", "9.6", "childsig-b"}, 30s, wrap);
	REQUIRE(missing_trace_records(watch));
	REQUIRE(missing_time_for_course(watch, 9, 9.6));
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	ASSERT_FALSE(watch.events.empty()) << watch.observer->err();
	if (!wrap.empty()) {
		EXPECT_EQ(watch.events[0].at("source").text(), "proc") << "no root, no trace";
	}
	pid_t parent = watch.pid_of("program"), child1 = watch.pid_of("child 1"), child2 = watch.pid_of("child 2");
	ASSERT_TRUE(parent != 0 && child1 != 0 && child2 != 0);

	auto held = held_by(watch, child1);
	ASSERT_GE(held.size(), 2u) << "child 1's labels, one a second until the SIGINT at 3 s";
	for (size_t i = 0; i < held.size(); i++)
		EXPECT_EQ(repeats(held[i], "Child1"), static_cast<int>(i + 1)) << held[i];
	auto ended = watch.one("signaled", child1);
	EXPECT_EQ(ended.at("signal").text(), "SIGINT");
	EXPECT_FALSE(ended.has("by_observe"));
	ASSERT_TRUE(ended.has("lost"));
	EXPECT_EQ(ended.at("lost").bytes(), held.back()) << "lost is what it held at the last look";

	auto kept = held_by(watch, child2);
	ASSERT_FALSE(kept.empty());
	/* A label a second for 9.6 s, or for most of them on a busy machine. */
	EXPECT_GE(repeats(kept.back(), "Child2"), 6) << kept.back();
	auto killed = watch.one("signaled", child2);
	EXPECT_TRUE(killed.has("by_observe"));
	ASSERT_TRUE(killed.has("lost"));
	EXPECT_EQ(killed.at("lost").bytes(), kept.back()) << "read just before observe's kill";
	EXPECT_EQ(watch.output(), "") << "nothing reached the terminal";

	if (!GetParam().kernel)
		return;
	std::vector<Sent> to_child1;
	for (auto const &s : signals_of(watch))
		if (s.target == child1 && s.signal != "SIGKILL")
			to_child1.push_back(s);
	ASSERT_EQ(to_child1.size(), 3u);
	std::pair<char const *, char const *> const expected[] = {
		{"SIGINT", "queued"}, {"SIGCONT", "ignored"}, {"SIGINT", "ignored"}};
	for (size_t i = 0; i < 3; i++) {
		EXPECT_EQ(to_child1[i].signal, expected[i].first) << i;
		EXPECT_EQ(to_child1[i].result, expected[i].second) << i;
		EXPECT_EQ(to_child1[i].from, parent) << i;
		EXPECT_NEAR(seconds_of(to_child1[i].t_us) - watch.course_start(), 3.0 * (i + 1), 0.5) << i;
	}
	/* Ended by its SIGINT as soon as it ran to take it. */
	double zombie = -1;
	for (auto const &e : watch.all("state", child1))
		if (e.at("state").text() == "zombie")
			zombie = seconds_of(e.at("t_us").integer());
	EXPECT_NEAR(zombie, seconds_of(to_child1[0].t_us), 0.05);
	expect_nothing_left(watch);
}

BufferWatch const buffer_watches[] = {
	BufferWatch{"Traced", true}, BufferWatch{"Unprivileged", false},
};

INSTANTIATE_TEST_SUITE_P(Observe, ObserveBuffers, ::testing::ValuesIn(buffer_watches),
			 [](auto const &info) { return std::string(info.param.name); });

/*
 * childsig-c, traced: a worker asleep is not looked at again before its
 * sleep is up, or a stop before a signal; yet every label is seen, one more
 * at each look, before child 2's stop from 3 to 6 s and after it, and child
 * 1 loses at its SIGINT what it held.
 */
TEST(ObserveBuffers, ChildsigCShowsEachLabelThroughAStopWithoutLookingAtTheAsleep)
{
	REQUIRE_KERNEL_SOURCE();
	Watch watch({"--source=kernel", "--for", "10", "childsig-c"}, 30s);
	REQUIRE(missing_trace_records(watch));
	REQUIRE(missing_time_for_course(watch, 9, 10));
	pid_t child1 = watch.pid_of("child 1"), child2 = watch.pid_of("child 2");
	ASSERT_TRUE(child1 != 0 && child2 != 0);
	for (auto [pid, label] : {std::pair{child1, "Child1"}, std::pair{child2, "Child2"}}) {
		auto held = held_by(watch, pid);
		for (size_t i = 0; i < held.size(); i++)
			EXPECT_EQ(repeats(held[i], label), static_cast<int>(i + 1)) << held[i];
	}
	/* Three labels before the stop, three or more after it, the last read before observe's kill. */
	EXPECT_GE(held_by(watch, child2).size(), 6u);
	auto interrupted = watch.one("signaled", child1);
	ASSERT_TRUE(interrupted.has("lost"));
	EXPECT_EQ(interrupted.at("lost").bytes(), held_by(watch, child1).back());
	expect_nothing_left(watch);
}

/* A thread's writes while the main thread sleeps: the process ran, though its main thread did not. */
TEST(ObserveBuffers, AThreadsWritesAreSeenWhileTheMainThreadSleeps)
{
	Watch watch({"--source=auto", "--for", "10", THREAD_WRITER}, 30s);
	pid_t program = watch.pid_of("program");
	auto held = held_by(watch, program);
	ASSERT_GE(held.size(), 2u) << watch.observer->out();
	for (size_t i = 0; i < held.size(); i++)
		EXPECT_EQ(repeats(held[i], "tick"), static_cast<int>(i + 1)) << held[i];
	EXPECT_EQ(watch.output(), "ticktickticktick") << "its exit wrote them out";
	expect_nothing_left(watch);
}

/* procids with its output on a pipe: the parent's lines wait in its buffer, and the time limit throws them away. */
TEST(ObserveBuffers, ProcidsOnAPipeHoldsItsParentsLinesUntilTheyAreLost)
{
	Watch watch({"--source=auto", "--for", "1.5", "--", "sh", "-c", harness::program("procids") + " | cat"}, 20s);
	EXPECT_EQ(watch.observer->exit_status(), 124) << watch.observer->err();
	/* The child's buffer arrives, its copy of the initial line first: that names the parent. */
	auto output = watch.output();
	std::string const initial = "Initial Process ID: ";
	ASSERT_EQ(output.find(initial), 0u) << output;
	pid_t procids = atoi(output.c_str() + initial.size());
	std::string const parent_of = "\t Parent Process ID: ";
	auto tab = output.find(parent_of);
	ASSERT_NE(tab, std::string::npos);
	std::string shell = std::to_string(atoi(output.c_str() + tab + parent_of.size()));
	std::string pair = std::to_string(procids) + parent_of + shell + "\n";

	auto held = held_by(watch, procids);
	ASSERT_FALSE(held.empty()) << watch.observer->out();
	std::string const parents = initial + pair + "Parent Process\nProcess ID: " + pair;
	EXPECT_EQ(held.back(), parents);
	EXPECT_EQ(output.find("Parent Process\r\n"), std::string::npos) << "the parent's lines never appear";
	/*
	 * The shell collects the killed parent at once: with the /proc source
	 * only a sample that catches it a zombie tells how it ended, and load
	 * can take that moment away. The kernel sees the collection itself.
	 */
	if (watch.events[0].at("source").text() == "kernel") {
		auto killed = watch.one("signaled", procids);
		EXPECT_TRUE(killed.has("by_observe"));
		ASSERT_TRUE(killed.has("lost"));
		EXPECT_EQ(killed.at("lost").bytes(), parents);
	} else {
		EXPECT_EQ(watch.all("signaled", procids).size() + watch.all("exit", procids).size(), 1u)
			<< "the parent's end, told once however it was learnt";
	}
	expect_nothing_left(watch);
}

/* The socket events of a watch as "local remote state pid", remote and pid "-" for none. */
std::vector<std::string>
sockets_of(Watch const &watch)
{
	std::vector<std::string> seen;
	for (auto const &e : watch.all("socket")) {
		auto remote = e.at("remote").is_null() ? "-" : e.at("remote").text();
		auto pid = e.at("pid").is_null() ? "-" : std::to_string(e.at("pid").integer());
		seen.push_back(e.at("local").text() + " " + remote + " " + e.at("state").text() + " " + pid +
			       (e.has("before") ? " before" : ""));
	}
	return seen;
}

bool
has_server_time_wait(std::vector<std::string> const &sockets)
{
	return std::any_of(sockets.begin(), sockets.end(), [](auto const &s) {
		return s.starts_with("127.0.0.1:3456 127.0.0.1:") && s.find(" time-wait -") != std::string::npos;
	});
}

/*
 * The server as its client sees it, in one private network: a reset leaves
 * no TIME-WAIT, nor does a client that closes first; an orderly exchange
 * that the server closes leaves its end in TIME-WAIT, which a server
 * started again at once cannot bind past.
 */
TEST(ObserveSockets, ShowTheServersConnectionsAndTheTimeWaitARestartRunsInto)
{
	REQUIRE_PRIVATE_NETWORK();
	std::string const listening_prefix = "127.0.0.1:3456 - listening ";

	Watch reset({"--send", std::string(150, 'x'), "server"}, 20s);
	auto sockets = sockets_of(reset);
	ASSERT_FALSE(sockets.empty());
	EXPECT_EQ(sockets[0], listening_prefix + std::to_string(reset.pid_of("program")));
	EXPECT_EQ(reset.all("reset").size(), 1u) << "the 50 bytes left unread reset the connection";
	EXPECT_FALSE(has_server_time_wait(sockets));

	Watch empty({"--send", "", "server"}, 20s);
	EXPECT_EQ(empty.output(), "Data Received from client :  ");
	EXPECT_EQ(empty.all("eof").size(), 1u);
	EXPECT_FALSE(has_server_time_wait(sockets_of(empty))) << "the client closed first, and waits instead";

	Watch hi({"--send", "hi", "server"}, 20s);
	EXPECT_EQ(hi.all("eof").size(), 1u);
	EXPECT_TRUE(has_server_time_wait(sockets_of(hi))) << ::testing::PrintToString(sockets_of(hi));

	Watch other({"--for", "0.5", "procids"}, 20s);
	EXPECT_EQ(sockets_of(other), std::vector<std::string>{}) << "the TIME-WAIT explains nothing here";

	Watch again({"--send", "hi", "server"}, 20s);
	auto found = sockets_of(again);
	ASSERT_FALSE(found.empty());
	EXPECT_TRUE(found[0].starts_with("127.0.0.1:3456 127.0.0.1:") && found[0].ends_with(" time-wait - before"))
		<< found[0];
	EXPECT_EQ(again.output(), "Bind Failed");
	EXPECT_EQ(again.one("exit", again.pid_of("program")).at("status").integer(), 2);
	EXPECT_EQ(again.all("no_listener").size(), 1u);
	EXPECT_EQ(again.observer->exit_status(), 2) << "the server's own status";
}

/*
 * The kernel's account of the same exchange, over in a few milliseconds:
 * each state of the server's sockets at the microsecond the kernel made
 * it, in its order. The TIME-WAIT it leaves is not mentioned in a watch it
 * has nothing to do with, and is where a server started again cannot bind.
 */
TEST(ObserveSockets, TheKernelShowsEachStateOfTheExchangeAndWhatTheTimeWaitExplains)
{
	REQUIRE_KERNEL_SOURCE();
	REQUIRE_PRIVATE_NETWORK();
	Watch hi({"--source=kernel", "--send", "hi", "server"}, 20s);
	std::string const server = std::to_string(hi.pid_of("program"));
	std::vector<std::string> listener, connection;
	std::vector<long long> listener_t, connection_t;
	for (auto const &e : hi.all("socket")) {
		auto pid = e.at("pid").is_null() ? "-" : std::to_string(e.at("pid").integer());
		bool listens = e.at("remote").is_null();
		(listens ? listener : connection).push_back(e.at("state").text() + " " + pid);
		(listens ? listener_t : connection_t).push_back(e.at("t_us").integer());
	}
	EXPECT_EQ(listener, (std::vector<std::string>{"listening " + server, "closed " + server}));
	/* The handshake is the kernel's alone; the server closes first, and its end waits. */
	EXPECT_EQ(connection, (std::vector<std::string>{"syn-received -", "established -", "fin-wait-1 " + server,
							 "fin-wait-2 -", "time-wait -"}));
	ASSERT_EQ(connection_t.size(), 5u);
	ASSERT_EQ(listener_t.size(), 2u);
	EXPECT_TRUE(std::is_sorted(connection_t.begin(), connection_t.end()));
	EXPECT_LT(listener_t[0], connection_t[0]);
	EXPECT_LT(connection_t[1], connection_t[2]) << "the server's close comes after its read and reply";
	EXPECT_LT(connection_t[2], connection_t[4]);

	Watch other({"--source=kernel", "--for", "0.5", "procids"}, 20s);
	EXPECT_EQ(sockets_of(other), std::vector<std::string>{});

	Watch again({"--source=kernel", "server"}, 20s);
	auto found = sockets_of(again);
	ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
	EXPECT_TRUE(found[0].starts_with("127.0.0.1:3456 127.0.0.1:") && found[0].ends_with(" time-wait - before"))
		<< found[0];
	auto exit = again.one("exit", again.pid_of("program"));
	EXPECT_EQ(exit.at("status").integer(), 2);
	EXPECT_LE(again.all("socket")[0].at("t_us").integer(), exit.at("t_us").integer()) << "told at the failed bind";
}

/*
 * A connection over the IPv6 loopback, each state held half a second so
 * that the /proc source's looks see it: a server on [::1], a child that
 * connects, both exchange a few bytes, the child closes first, then the
 * server.
 */
constexpr char ipv6_pair[] = R"(
import os, socket, time
server = socket.socket(socket.AF_INET6)
server.bind(("::1", 5006))
server.listen()
time.sleep(0.5)
if os.fork() == 0:
    client = socket.create_connection(("::1", 5006))
    client.sendall(b"hi")
    client.recv(2)
    time.sleep(0.5)
    client.close()
    time.sleep(0.5)
    os._exit(0)
connection, _ = server.accept()
connection.recv(2)
connection.sendall(b"ok")
time.sleep(1)
connection.close()
server.close()
os.wait()
)";

/* What each source shows of each end, in order: the kernel every state, /proc those that last. */
struct Ipv6Course {
	char const *source;
	std::vector<std::string> server;
	std::vector<std::string> client;
};

Ipv6Course const ipv6_courses[] = {
	{"--source=proc", {"established", "close-wait", "closed"}, {"established", "fin-wait-2", "time-wait"}},
	{"--source=kernel",
	 {"syn-received", "established", "close-wait", "last-ack", "closed"},
	 {"established", "fin-wait-1", "fin-wait-2", "time-wait"}},
};

void
PrintTo(Ipv6Course const &course, std::ostream *out)
{
	*out << course.source;
}

class Ipv6Sockets : public ::testing::TestWithParam<Ipv6Course> {};

/* Whether `want` are in `seen`, in order, others possibly between. */
bool
in_order(std::vector<std::string> const &want, std::vector<std::string> const &seen)
{
	auto at = seen.begin();
	for (auto const &state : want)
		if ((at = std::find(at, seen.end(), state)) == seen.end())
			return false;
	return true;
}

TEST_P(Ipv6Sockets, AreShownWithTheirAddressesInBrackets)
{
	auto const &course = GetParam();
	if (course.source == std::string("--source=kernel"))
		REQUIRE_KERNEL_SOURCE();
	REQUIRE_PROGRAM("python3");
	REQUIRE_PRIVATE_NETWORK();
	Watch watch({course.source, "python3", "-c", ipv6_pair}, 20s);
	ASSERT_EQ(watch.one("exit", watch.pid_of("program")).at("status").integer(), 0);
	auto sockets = sockets_of(watch);
	auto const program = std::to_string(watch.pid_of("program"));
	EXPECT_EQ(std::count(sockets.begin(), sockets.end(), "[::1]:5006 - listening " + program), 1)
		<< ::testing::PrintToString(sockets);
	/* The client's end is the one its connection was given. */
	std::string port;
	for (auto const &e : watch.all("socket"))
		if (port.empty() && !e.at("remote").is_null() && e.at("remote").text() == "[::1]:5006" &&
		    e.at("state").text() == "established")
			port = e.at("local").text();
	ASSERT_TRUE(port.starts_with("[::1]:")) << ::testing::PrintToString(sockets);
	std::vector<std::string> server, client;
	for (auto const &e : watch.all("socket")) {
		auto ends = e.at("local").text() + " " + (e.at("remote").is_null() ? "-" : e.at("remote").text());
		if (ends == "[::1]:5006 " + port)
			server.push_back(e.at("state").text());
		else if (ends == port + " [::1]:5006")
			client.push_back(e.at("state").text());
		else
			EXPECT_TRUE(ends == "[::1]:5006 -" || ends == "[::1]:0 [::1]:5006") << ends;
	}
	EXPECT_TRUE(in_order(course.server, server)) << ::testing::PrintToString(server);
	EXPECT_TRUE(in_order(course.client, client)) << ::testing::PrintToString(client);
}

INSTANTIATE_TEST_SUITE_P(ObserveSockets, Ipv6Sockets, ::testing::ValuesIn(ipv6_courses),
			 [](auto const &info) { return std::string(info.param.source).substr(9); });

bool
same_settings(termios const &a, termios const &b)
{
	return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
	       std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

/*
 * What the person types reaches the job: text reaches cat, Ctrl-C ends
 * procids as at a real terminal, Ctrl-] ends the watch; and observe leaves
 * its terminal as it found it: as a new one is made.
 */
TEST(ObserveKeys, ReachTheJobAndTheTerminalIsLeftAsItWas)
{
	std::string error;
	auto fresh = jobshell::open_terminal(error);
	ASSERT_TRUE(fresh) << error;
	termios as_made{};
	tcgetattr(fresh->master, &as_made);
	close(fresh->master);

	{
		AtATerminal cat({harness::program("observe"), "--json", "--for", "20", "/bin/cat"});
		ASSERT_TRUE(cat.shows("\"state\"")) << cat.screen.text();
		cat.type("hello there\r");
		/* Echoed by the job's terminal, then written back by cat. */
		std::string const both = "hello there\r\nhello there\r\n";
		EXPECT_TRUE(harness::wait_until([&] {
			cat.screen.pump();
			return cat.outputs() == both;
		}, 10s)) << cat.outputs();
		cat.type("\x1d");
		EXPECT_EQ(cat.ends(), 130) << cat.screen.text();
		termios after{};
		tcgetattr(cat.job.terminal, &after);
		EXPECT_TRUE(same_settings(after, as_made));
	}
	{
		AtATerminal procids({harness::program("observe"), "--json", "--for", "20", "procids"});
		ASSERT_TRUE(procids.shows("Child Process")) << procids.screen.text();
		procids.type("\x03");
		EXPECT_EQ(procids.ends(), 130) << procids.screen.text();
		EXPECT_TRUE(procids.shows("\"signal\":\"SIGINT\"")) << procids.screen.text();
		if (observe::kernel::Trace::unavailable().empty()) {
			EXPECT_TRUE(procids.shows("\"cause\":\"terminal\"")) << procids.screen.text();
		}
		termios after{};
		tcgetattr(procids.job.terminal, &after);
		EXPECT_TRUE(same_settings(after, as_made));
	}
}

/* Run as root under sudo, observe keeps root for its trace and runs the job as the user who asked. */
TEST(ObserveUser, UnderSudoTheJobRunsAsTheUserWhoAsked)
{
	REQUIRE_ROOT();
	Watch watch({"--source=auto", "--", "sh", "-c", "id -u; id -g; id -G"}, 10s,
		    {"env", "SUDO_UID=65534", "SUDO_GID=65534"});
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	auto output = watch.output();
	EXPECT_EQ(output, "65534\r\n65534\r\n65534\r\n") << "the user, the group, and that user's groups alone";
	if (observe::kernel::Trace::unavailable().empty()) {
		EXPECT_EQ(watch.events[0].at("source").text(), "kernel") << "observe kept root for tracing";
	}
}

/* In a nested pid namespace the trace's pids are not observe's: asked for, it is an error; else /proc, and why. */
TEST(ObserveSource, InANestedPidNamespaceTheKernelSourceIsRefusedWithItsReason)
{
	REQUIRE_PID_NAMESPACE();
	REQUIRE_LIBTRACEFS();
	harness::Child asked({.argv = harness::in_pid_namespace({harness::program("observe"), "--source=kernel", "--",
								  "/bin/true"})});
	ASSERT_TRUE(asked.wait_exit(20s));
	asked.drain(1s);
	EXPECT_EQ(asked.exit_status(), 125) << asked.err();
	EXPECT_NE(asked.err().find("nested pid namespace"), std::string::npos) << asked.err();

	harness::Child automatic({.argv = harness::in_pid_namespace({harness::program("observe"), "--json", "--",
								      "/bin/true"})});
	ASSERT_TRUE(automatic.wait_exit(20s));
	automatic.drain(1s);
	EXPECT_EQ(automatic.exit_status(), 0) << automatic.err();
	std::string first = automatic.out().substr(0, automatic.out().find('\n'));
	std::string error;
	auto start = harness::read_json(first, error);
	ASSERT_TRUE(start) << error << ": " << first;
	EXPECT_EQ(start->at("source").text(), "proc");
	/* Root in the namespace, as in_pid_namespace makes it, so the namespace is all that stands in the way. */
	EXPECT_NE(start->at("why").text().find("nested pid namespace"), std::string::npos) << first;
}

/* The trace's instances go with observe on every way out; here, SIGTERM. */
TEST(ObserveKernel, ItsTraceInstancesGoWithItOnSigterm)
{
	REQUIRE_KERNEL_SOURCE();
	Watch watch({"--source=kernel", "--for", "30", "/bin/sleep", "60"});
	ASSERT_TRUE(harness::wait_until([&] {
		watch.observer->pump();
		return watch.observer->out().find("\"state\"") != std::string::npos;
	}, 10s));
	namespace fs = std::filesystem;
	fs::path const instances = "/sys/kernel/tracing/instances";
	std::string const ours = "observe-" + std::to_string(watch.observer->pid());
	auto count = [&] {
		int n = 0;
		std::error_code error;
		for (auto const &entry : fs::directory_iterator(instances, error))
			n += entry.path().filename().string().starts_with(ours);
		return n;
	};
	EXPECT_GT(count(), 0) << "no instance " << ours << " under " << instances;
	kill(watch.observer->pid(), SIGTERM);
	watch.finish(10s);
	EXPECT_EQ(watch.observer->exit_status(), 143);
	EXPECT_EQ(watch.last().at("reason").text(), "interrupted");
	/* Removed by its keeper, which outlives observe by as long as the kernel takes. */
	EXPECT_TRUE(harness::wait_until([&] { return count() == 0; }, 5s)) << ours << " was left behind";
	expect_nothing_left(watch);
}

} // namespace
