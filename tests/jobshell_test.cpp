/*
 * The job-control shell: the job really is the foreground job of its own
 * terminal session, its stops reach the shell, and a program that cannot
 * be run is reported, not started.
 */
#include "jobshell.h"
#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct RunningJob {
	jobshell::Job job;
	~RunningJob()
	{
		jobshell::kill_job(job);
		harness::end_all_descendants();
	}
};

TEST(JobShell, RunsTheProgramAsTheForegroundJobOfANewSession)
{
	std::string error;
	auto job = jobshell::start({.argv = {"sh", "-c", "printf ready; read line"}, .raw_output = true}, error);
	ASSERT_TRUE(job) << error;
	RunningJob running{*job};

	auto shell = harness::proc_stat(job->shell);
	auto leader = harness::proc_stat(job->leader);
	ASSERT_TRUE(shell && leader);
	EXPECT_EQ(shell->session, job->shell);
	EXPECT_EQ(leader->session, job->shell);
	EXPECT_EQ(leader->pgrp, job->leader);
	EXPECT_EQ(leader->ppid, job->shell);
	EXPECT_EQ(tcgetpgrp(job->terminal), job->leader) << "the job is not the terminal's foreground";

	/* The terminal hands written bytes on a moment later. */
	std::string text;
	harness::wait_until([&] {
		char buffer[16];
		ssize_t n = read(job->terminal, buffer, sizeof(buffer));
		if (n > 0)
			text.append(buffer, n);
		return text.size() >= 5;
	}, 5s);
	EXPECT_EQ(text, "ready");

	/* Stopped from the terminal, the job hands the terminal back to the shell. */
	kill(-job->leader, SIGTSTP);
	std::vector<jobshell::Report> reports;
	ASSERT_TRUE(harness::wait_until([&] {
		for (auto report : jobshell::read_reports(*job))
			reports.push_back(report);
		return !reports.empty();
	}, 5s));
	EXPECT_EQ(reports[0].pid, job->leader);
	EXPECT_TRUE(WIFSTOPPED(reports[0].status));
	EXPECT_EQ(WSTOPSIG(reports[0].status), SIGTSTP);
	EXPECT_EQ(tcgetpgrp(job->terminal), job->shell);
}

TEST(JobShell, AProgramThatCannotRunIsReported)
{
	std::string error;
	auto job = jobshell::start({.argv = {"/nonexistent/program"}}, error);
	EXPECT_FALSE(job);
	EXPECT_NE(error.find("cannot run /nonexistent/program"), std::string::npos) << error;
	EXPECT_TRUE(procfs::children(getpid()).empty());
}

} // namespace
