/*
 * observe's process table at scale: a pid the kernel gives again within a
 * watch is a new process, and a watch of any number of processes keeps
 * bounded memory. Pids past any pid_max, so no process descriptor opens.
 */
#include "report/json.h"
#include "report/timeline.h"
#include "table.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

using observe::Micros;
using observe::State;

constexpr pid_t base = 5'000'000;	/* past PID_MAX_LIMIT */
constexpr pid_t table_shell = base - 1;

template<typename T>
std::vector<T>
events_of(std::vector<observe::Event> const &events)
{
	std::vector<T> found;
	for (auto const &e : events)
		if (auto *what = std::get_if<T>(&e.what))
			found.push_back(*what);
	return found;
}

/* A program that makes 5000 children one after another from 300 pids: each
 * reused pid is a new process of its own, ended apart from the one before,
 * and the table keeps what is alive and the last of what is not. */
TEST(ObserveTable, APidGivenAgainIsANewProcessAndMemoryStaysBounded)
{
	observe::EventQueue queue;
	observe::ProcessTable table(queue, getpid());
	table.set_shell(table_shell);
	table.appear(0, base, table_shell, "sh", State::running);
	constexpr int children = 5000;
	constexpr int pids = 300;
	Micros t = 0;
	for (int i = 0; i < children; i++) {
		pid_t pid = base + 1 + i % pids;
		t += 10'000;
		observe::Process &child = table.appear(t, pid, base, "sh", State::running);
		EXPECT_EQ(child.generation, static_cast<unsigned>(i / pids)) << "child " << i;
		EXPECT_EQ(child.place, (observe::Place{observe::Place::Root::program, {i + 1}})) << "child " << i;
		table.exec(t + 1, pid, "/bin/true");
		table.change(t + 2, pid, State::zombie);
		table.gone(t + 3, pid, false);
		ASSERT_EQ(table.find(pid), &child);
		EXPECT_TRUE(child.ended());
		EXPECT_EQ(child.name, "true");
	}
	/* The last of a pid's holders and the one before it, each itself. */
	pid_t last = base + 1 + (children - 1) % pids;
	unsigned generation = (children - 1) / pids;
	ASSERT_NE(table.find(last, generation), nullptr);
	EXPECT_EQ(table.find(last, generation), table.find(last));
	ASSERT_NE(table.find(last, generation - 1), nullptr) << "one ended a moment ago is kept";
	EXPECT_NE(table.find(last, generation - 1), table.find(last));
	EXPECT_EQ(table.find(base + 1, 0), nullptr) << "the first child, long ended, is forgotten";

	EXPECT_LE(table.all().size(), 2 * observe::ProcessTable::kept_ended + 1);
	EXPECT_EQ(table.all().size() + table.forgotten(), children + 1u);
	EXPECT_EQ(table.all().front().pid, base) << "the program is kept";
	EXPECT_EQ(table.living(), std::vector<pid_t>{base});
	EXPECT_FALSE(table.all_ended());

	auto events = queue.release(t + 10);
	EXPECT_EQ(events_of<observe::Spawn>(events).size(), children + 1u);
	EXPECT_EQ(events_of<observe::Ended>(events).size(), static_cast<size_t>(children));
	/* The reporters, told by these events alone, keep and forget what the table does, and the timeline says so. */
	observe::Story story;
	for (auto const &e : events)
		story.take(e);
	EXPECT_EQ(story.all().size(), table.all().size());
	EXPECT_EQ(story.forgotten(), table.forgotten());
	ASSERT_NE(story.find(last), nullptr);
	EXPECT_EQ(story.find(last)->name, "true");
	std::string said = "(and " + std::to_string(table.forgotten()) + " processes collected earlier";
	auto timeline = observe::draw_timeline(story, t, false);
	EXPECT_TRUE(std::any_of(timeline.begin(), timeline.end(), [&](auto const &line) { return line.find(said) != std::string::npos; }))
		<< said;

	/* A pid given again while its holder seemed alive: that one was collected unseen. */
	pid_t unseen = base + pids + 1;
	table.appear(t + 20, unseen, base, "sh", State::running);
	table.appear(t + 30, unseen, base, "sh", State::running);
	auto ended = events_of<observe::Ended>(queue.release(t + 40));
	ASSERT_EQ(ended.size(), 1u);
	EXPECT_EQ(ended[0].pid, unseen);
	EXPECT_FALSE(ended[0].wait_status) << "its status is unknown";
	EXPECT_EQ(table.find(unseen)->generation, 1u);
	EXPECT_EQ(table.living(), (std::vector<pid_t>{base, unseen}));
}

/* A loss names the span of time whose events may be missing. */
TEST(ObserveTable, ALossInJsonNamesItsSpan)
{
	auto json = observe::json_event(observe::Event{1'500'000, observe::Lost{42, 1'000'000, 1'250'000}});
	EXPECT_NE(json.find("\"event\":\"lost\""), std::string::npos) << json;
	EXPECT_NE(json.find("\"records\":42"), std::string::npos) << json;
	EXPECT_NE(json.find("\"from_us\":1000000"), std::string::npos) << json;
	EXPECT_NE(json.find("\"until_us\":1250000"), std::string::npos) << json;
}

} // namespace
