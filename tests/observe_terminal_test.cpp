/*
 * observe as a person meets it at a terminal: the job's terminal has
 * observe's size and follows it, input from a pipe arrives with its end,
 * text is UTF-8 and the job's colours pass, Ctrl-Z stops the job and Enter
 * continues it, observe's own lines fold to the width; and under sudo
 * nothing of the job's session is root's.
 */
#include "jobshell.h"
#include "observe_watch.h"
#include "options.h"
#include "report/screen_text.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

using namespace observe_test;

/* observe at a terminal that takes escape sequences, wherever the suite runs. */
struct TerminalWatch : AtATerminal {
	TerminalWatch(std::vector<std::string> args, winsize size) : AtATerminal(with_observe(std::move(args)), size)
	{
		end_wait = 15s;
	}

	static std::vector<std::string> with_observe(std::vector<std::string> args)
	{
		args.insert(args.begin(), {"env", "TERM=xterm", harness::program("observe")});
		return args;
	}
	/* The program's states in order, as the events tell them. */
	std::vector<std::string> program_states() const
	{
		std::vector<std::string> states;
		for (auto const &e : events())
			if (e.at("event").text() == "state" && e.at("pid").integer() == job_pid())
				states.push_back(e.at("state").text());
		return states;
	}
	pid_t job_pid() const
	{
		for (auto const &e : events())
			if (e.at("event").text() == "start")
				return static_cast<pid_t>(e.at("pid").integer());
		return 0;
	}
	bool waits_for(std::function<bool()> const &condition)
	{
		return harness::wait_until([&] {
			screen.pump();
			return condition();
		}, 10s);
	}
};

bool
contains(std::string const &text, std::string const &part)
{
	return text.find(part) != std::string::npos;
}

/*
 * bash at a terminal as a person uses it: it finds observe's size, sees a
 * resize as its SIGWINCH and the new size, runs a pipeline on a typed line,
 * is stopped by Ctrl-Z and continued by Enter, and exits with its status,
 * which is observe's; nothing of it is left.
 */
TEST(ObserveTerminal, BashResizedStoppedAndContinuedAsAtARealTerminal)
{
	char const script[] = "trap 'echo winch' WINCH; echo size $(stty size);"
			      "while [ \"$(stty size)\" = '24 80' ]; do sleep 0.05; done; echo now $(stty size);"
			      "read a; echo got $a | tr a-z A-Z; read b; echo after $b; exit 3";
	TerminalWatch watch({"--json", "--", "bash", "--norc", "--noprofile", "-c", script}, {24, 80, 0, 0});
	ASSERT_TRUE(watch.waits_for([&] { return contains(watch.outputs(), "size 24 80"); })) << watch.screen.text();

	winsize wide{50, 200, 0, 0};
	ioctl(watch.job.terminal, TIOCSWINSZ, &wide);
	ASSERT_TRUE(watch.waits_for([&] {
		return contains(watch.outputs(), "now 50 200") && contains(watch.outputs(), "winch");
	})) << watch.outputs();

	watch.type("go\r");
	ASSERT_TRUE(watch.waits_for([&] { return contains(watch.outputs(), "GOT GO"); })) << watch.outputs();
	watch.type("\x1a");
	ASSERT_TRUE(watch.waits_for([&] { return watch.program_states().back() == "stopped"; })) << watch.screen.text();
	watch.type("\r");
	ASSERT_TRUE(watch.waits_for([&] { return watch.program_states().back() == "running"; })) << watch.screen.text();
	watch.type("more\r");
	EXPECT_EQ(watch.ends(), 3) << watch.screen.text();
	EXPECT_TRUE(contains(watch.outputs(), "after more")) << watch.outputs();

	auto events = watch.events();
	ASSERT_FALSE(events.empty());
	EXPECT_EQ(events.back().at("reason").text(), "all ended");
	for (auto const &e : events) {
		if (e.at("event").text() == "spawn") {
			EXPECT_EQ(harness::proc_state(e.at("pid").integer()), 0) << e.at("pid").integer() << " is left";
		}
	}
}

/* Stopped from outside, observe gives its terminal back as it found it; continued in the foreground, it takes it again. */
TEST(ObserveTerminal, StoppedItGivesTheTerminalBackAndTakesItAgain)
{
	TerminalWatch watch({"--json", "--", "cat"}, {24, 80, 0, 0});
	ASSERT_TRUE(watch.waits_for([&] { return watch.job_pid() != 0; })) << watch.screen.text();
	termios raw{};
	ASSERT_TRUE(watch.waits_for([&] { return tcgetattr(watch.job.terminal, &raw) == 0 && !(raw.c_lflag & ICANON); }));

	kill(watch.job.leader, SIGTSTP);
	bool stopped = false;
	ASSERT_TRUE(watch.waits_for([&] {
		for (auto report : jobshell::read_reports(watch.job))
			stopped = stopped || (report.pid == watch.job.leader && WIFSTOPPED(report.status));
		return stopped;
	}));
	termios given_back{};
	tcgetattr(watch.job.terminal, &given_back);
	EXPECT_TRUE(given_back.c_lflag & ICANON && given_back.c_lflag & ECHO) << "its settings as they were";

	jobshell::continue_job(watch.job);
	ASSERT_TRUE(watch.waits_for([&] { return tcgetattr(watch.job.terminal, &raw) == 0 && !(raw.c_lflag & ICANON); }))
		<< "raw again";
	watch.type("hello\r");
	EXPECT_TRUE(watch.waits_for([&] { return contains(watch.outputs(), "hello\r\nhello\r\n"); })) << watch.outputs();
}

/* Standard input from a pipe reaches the job's terminal, and its end ends the job's reading, as script(1) does. */
TEST(ObserveTerminal, InputFromAPipeArrivesWithItsEnd)
{
	harness::Child observer(
		{.argv = {"sh", "-c", "printf 'one\\ntwo\\nthree' | " + harness::program("observe") + " --json -- wc -l"}});
	ASSERT_TRUE(observer.wait_exit(20s));
	observer.drain(1s);
	EXPECT_EQ(observer.exit_status(), 0) << observer.err();
	auto const &output = observer.out();
	EXPECT_TRUE(contains(output, "2\\r\\n\"}")) << "two lines, and an end without a newline: " << output;
	EXPECT_TRUE(contains(output, "\"reason\":\"all ended\"")) << output;
}

/* Into a pipe, UTF-8 is shown as it is, colours are removed, and other controls are shown as a terminal echoes them. */
TEST(ObserveTerminal, TextIntoAPipeIsUtf8WithoutEscapes)
{
	harness::Child observer({.argv = {harness::program("observe"), "--", "printf",
					  "caf\xc3\xa9 \xe2\x86\x92 \033[1;31mred\033[0m\a \xff\n"}});
	ASSERT_TRUE(observer.wait_exit(20s));
	observer.drain(1s);
	EXPECT_TRUE(contains(observer.out(), "| caf\xc3\xa9 \xe2\x86\x92 red^G \\xff\n")) << observer.out();
}

/* On a terminal of 80 columns observe's lines fold at spaces under the time column; the job's text, colours included, is as it wrote it. */
TEST(ObserveTerminal, FoldsItsOwnLinesToTheWidthAndPassesTheJobsColours)
{
	TerminalWatch watch({"--color=always", "--", "sh", "-c", "printf '\\033[31mcaf\\303\\251\\033[0m\\n'; sleep 0.3 & exit 0"},
			    {24, 80, 0, 0});
	watch.ends();
	std::string const &all = watch.screen.text();
	EXPECT_TRUE(contains(all, "\033[31mcaf\xc3\xa9\033[0m")) << all;
	std::vector<std::string> lines;
	for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
		std::string line = all.substr(start, nl - start);
		if (line.ends_with('\r'))
			line.pop_back();
		/* Escapes take no column; the timeline's colours are escapes too. */
		lines.push_back(observe::JobText(false, false).show(line));
		EXPECT_LE(observe::columns_of(lines.back()), 80u) << line;
	}
	auto left = std::find_if(lines.begin(), lines.end(), [](auto const &l) { return contains(l, "the program has ended"); });
	ASSERT_TRUE(left != lines.end() && left + 1 != lines.end()) << all;
	size_t indent = left[1].find_first_not_of(' ');
	EXPECT_TRUE(indent == 10 || indent == 13) << "under the time column:\n" << left[0] << "\n" << left[1];
}

/* An ordinary user who may use sudo, if there is one. */
std::optional<passwd>
sudo_user()
{
	if (access("/usr/bin/sudo", X_OK) != 0)
		return std::nullopt;
	setpwent();
	std::optional<passwd> found;
	while (passwd *user = getpwent()) {
		if (user->pw_uid < 1000 || user->pw_uid >= 65534)
			continue;
		harness::Child probe({.argv = {"runuser", "-u", user->pw_name, "--", "sudo", "-n", "true"}});
		if (probe.wait_exit(10s) && probe.exit_status() == 0) {
			found = *user;
			break;
		}
	}
	endpwent();
	return found;
}

/* Under sudo only observe is root: the job and its session leader are the user's, with the user's HOME. */
TEST(ObserveTerminal, UnderSudoNothingButObserveIsRoot)
{
	if (getuid() != 0)
		GTEST_SKIP() << "needs root, to become an ordinary user who runs sudo";
	auto user = sudo_user();
	if (!user)
		GTEST_SKIP() << "no sudo, or no ordinary user who may use it without a password";
	std::string name = user->pw_name, home = user->pw_dir;
	Watch watch({"--", "sh", "-c",
		     "echo $(id -u) $HOME $USER; sid=$(ps -o sid= -p $$ | tr -d ' '); awk '/^Uid/ {print $2}' /proc/$sid/status"},
		    20s, {"runuser", "-u", name, "--", "sudo", "-n"});
	EXPECT_EQ(watch.observer->exit_status(), 0) << watch.observer->err();
	std::string uid = std::to_string(user->pw_uid);
	EXPECT_EQ(watch.output(), uid + " " + home + " " + name + "\r\n" + uid + "\r\n")
		<< "the job, then its session leader";
}

/* Why a command cannot be run, in observe's words. */
TEST(ObserveOptions, SayWhyACommandCannotRun)
{
	harness::TempFile script("#!/nonexistent/interpreter -x\necho\n");
	struct Case {
		std::string path;
		int error;
		char const *words;
	} const cases[] = {
		{script.path(), ENOENT, "its interpreter /nonexistent/interpreter is not found"},
		{"/nonexistent/program", ENOENT, "no such file"},
		{"/tmp", EACCES, "permission denied"},
		{"/tmp", EISDIR, "is a directory"},
	};
	for (auto const &c : cases)
		EXPECT_EQ(observe::exec_words(c.path, c.error), "cannot run " + c.path + ": " + c.words);
	EXPECT_EQ(observe::exec_exit_status(script.path(), ENOENT), 126) << "there, but its interpreter is not";
	EXPECT_EQ(observe::exec_exit_status("/nonexistent/program", ENOENT), 127);
}

} // namespace
