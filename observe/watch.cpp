#include "watch.h"

#include "client.h"
#include "jobshell.h"
#include "procfs.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

namespace observe {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/* How long a process that vanished may wait for the shell's word of its
 * status; on a busy machine the shell may be slow to run. */
constexpr milliseconds status_grace{2000};
/* How long the ending of what is left may take. */
constexpr milliseconds ending_limit{5000};

volatile sig_atomic_t interrupted = 0;

void
on_interrupt(int)
{
	interrupted = 1;
}

constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

/* The process descriptor calls, by number: this C library's header for them
 * declares them without C linkage. */
int
open_pidfd(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void
kill_pidfd(int pidfd)
{
	syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

struct Tracked {
	pid_t pid;
	pid_t ppid;
	std::string place;
	State state;
	int children = 0;		/* numbered in the order they appear */
	std::optional<int> zombie_status;	/* the wait status read while it was a zombie */
	std::optional<Clock::time_point> vanished;
	bool gone = false;
	/* Held from the first sight to the collection, so that a signal can
	 * never reach another process that came to use the same pid. */
	int pidfd = -1;
};

State
state_of(char letter)
{
	return static_cast<State>(procfs::state_of(letter));
}

std::string
base_name(std::string const &path)
{
	auto slash = path.rfind('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Watcher {
public:
	Watcher(WatchOptions const &options, Reporter &reporter)
		: options_(options), reporter_(reporter), name_(base_name(options.program))
	{
	}

	bool run(std::string &error);

private:
	WatchOptions const &options_;
	Reporter &reporter_;
	std::string name_;
	Clock::time_point start_;
	jobshell::Job job_;
	std::vector<Tracked> tracked_;
	std::map<pid_t, int> statuses_;	/* wait statuses told by the shell or collected here */
	std::set<pid_t> killed_;
	std::set<pid_t> collected_here_;
	std::optional<Client> client_;
	bool shell_collected_ = false;

	long long now_ms() const
	{
		return std::chrono::duration_cast<milliseconds>(Clock::now() - start_).count();
	}

	Event event(Kind kind, pid_t pid = 0) const
	{
		Event e;
		e.t_ms = now_ms();
		e.kind = kind;
		e.pid = pid;
		return e;
	}

	Tracked *find(pid_t pid)
	{
		for (auto &t : tracked_)
			if (t.pid == pid)
				return &t;
		return nullptr;
	}

	void wait_for_something(Clock::time_point until);
	void talk_to_server();
	std::vector<pid_t> living() const;
	void read_terminal();
	void read_reports();
	void collect_own();
	void sample();
	void discover();
	void track(pid_t pid, pid_t ppid, std::string place, State state);
	void update(Tracked &);
	void note_adoption(Tracked &, pid_t parent);
	void report_end(Tracked &, std::optional<int> status);
	bool all_gone() const;
	std::vector<pid_t> end_the_rest();
	void drain_terminal();
};

void
Watcher::track(pid_t pid, pid_t ppid, std::string place, State state)
{
	Tracked t;
	t.pid = pid;
	t.ppid = ppid;
	t.place = std::move(place);
	t.state = state;
	t.pidfd = open_pidfd(pid);
	tracked_.push_back(t);
	Event spawn = event(Kind::spawn, pid);
	spawn.ppid = ppid;
	spawn.name = name_;
	spawn.place = tracked_.back().place;
	reporter_.event(spawn);
	Event first = event(Kind::state, pid);
	first.state = state;
	reporter_.event(first);
}

/* New processes: children of the ones watched, and orphans adopted here before they were seen. */
void
Watcher::discover()
{
	for (size_t i = 0; i < tracked_.size(); i++) {
		if (tracked_[i].gone)
			continue;
		for (pid_t child : procfs::children(tracked_[i].pid)) {
			if (find(child) != nullptr)
				continue;
			auto stat = procfs::read_stat(child);
			if (!stat)
				continue;
			Tracked &parent = tracked_[i];
			std::string number = "child " + std::to_string(++parent.children);
			std::string place = parent.pid == job_.leader ? number : parent.place + ", " + number;
			track(child, parent.pid, place, state_of(stat->state));
		}
	}
	for (pid_t child : procfs::children(getpid())) {
		if (child == job_.shell || find(child) != nullptr)
			continue;
		if (auto stat = procfs::read_stat(child))
			track(child, stat->ppid, "orphan", state_of(stat->state));
	}
}

void
Watcher::update(Tracked &t)
{
	auto stat = procfs::read_stat(t.pid);
	if (!stat) {
		/* Orphaned and collected here between two samples: it was adopted all the same. */
		if (collected_here_.count(t.pid) && t.ppid != getpid())
			note_adoption(t, getpid());
		auto told = statuses_.find(t.pid);
		if (told != statuses_.end())
			report_end(t, told->second);
		else if (t.zombie_status)
			report_end(t, t.zombie_status);
		else if (t.ppid != job_.shell)
			report_end(t, std::nullopt);	/* collected by its own parent, which tells nobody */
		else if (!t.vanished)
			t.vanished = Clock::now();
		else if (Clock::now() - *t.vanished > status_grace)
			report_end(t, std::nullopt);
		return;
	}
	if (stat->ppid != t.ppid)
		note_adoption(t, stat->ppid);
	State state = state_of(stat->state);
	if (state == State::zombie)
		t.zombie_status = stat->exit_code;
	if (state != t.state) {
		t.state = state;
		Event change = event(Kind::state, t.pid);
		change.state = state;
		reporter_.event(change);
	}
}

void
Watcher::note_adoption(Tracked &t, pid_t parent)
{
	t.ppid = parent;
	Event adopted = event(Kind::adopted, t.pid);
	adopted.ppid = parent;
	reporter_.event(adopted);
}

void
Watcher::report_end(Tracked &t, std::optional<int> status)
{
	t.gone = true;
	if (t.pidfd >= 0)
		close(t.pidfd);
	t.pidfd = -1;
	t.state = State::ended;
	Event end = event(Kind::exit, t.pid);
	if (!status) {
		end.status = -1;
	} else if (WIFSIGNALED(*status)) {
		end.kind = Kind::signaled;
		end.signal = WTERMSIG(*status);
		end.by_watcher = end.signal == SIGKILL && killed_.count(t.pid) != 0;
	} else {
		end.status = WEXITSTATUS(*status);
	}
	reporter_.event(end);
}

void
Watcher::sample()
{
	read_reports();
	collect_own();
	for (size_t i = 0; i < tracked_.size(); i++)
		if (!tracked_[i].gone)
			update(tracked_[i]);
	discover();
}

/* The shell tells what it collected: the program, and children the program left to it. */
void
Watcher::read_reports()
{
	for (auto report : jobshell::read_reports(job_))
		if (WIFEXITED(report.status) || WIFSIGNALED(report.status))
			statuses_[report.pid] = report.status;
}

/* Orphans of the job come here, as to init; collect them as init would. */
void
Watcher::collect_own()
{
	int status;
	pid_t pid;
	while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
		if (pid == job_.shell) {
			shell_collected_ = true;
		} else {
			statuses_[pid] = status;
			collected_here_.insert(pid);
		}
	}
}

void
Watcher::read_terminal()
{
	char buffer[4096];
	for (;;) {
		ssize_t n = read(job_.terminal, buffer, sizeof(buffer));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;	/* nothing now, or EIO once no process holds the terminal */
		Event output = event(Kind::output);
		output.text.assign(buffer, n);
		reporter_.event(output);
	}
}

void
Watcher::wait_for_something(Clock::time_point until)
{
	pollfd fds[3] = {{job_.terminal, POLLIN, 0}, {job_.reports, POLLIN, 0}, {-1, POLLIN, 0}};
	if (client_)
		fds[2].fd = client_->poll_fd();
	auto left = std::max(until - Clock::now(), Clock::duration::zero());
	auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
	timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
	/* The interrupt signals are blocked but while waiting here, so none is missed. */
	sigset_t open;
	sigemptyset(&open);
	if (ppoll(fds, 3, &timeout, &open) <= 0)
		return;
	if (fds[0].revents & (POLLIN | POLLHUP))
		read_terminal();
	if (fds[1].revents & POLLIN)
		read_reports();
	if (fds[2].revents)
		talk_to_server();
}

std::vector<pid_t>
Watcher::living() const
{
	std::vector<pid_t> pids;
	for (auto const &t : tracked_)
		if (!t.gone)
			pids.push_back(t.pid);
	return pids;
}

void
Watcher::talk_to_server()
{
	if (!client_)
		return;
	client_->step(living(), [&](Kind kind, std::string const &text) {
		Event said = event(kind);
		said.text = text;
		reporter_.event(said);
	});
}

bool
Watcher::all_gone() const
{
	return std::all_of(tracked_.begin(), tracked_.end(), [](auto const &t) { return t.gone; });
}

/*
 * Kills whatever of the job still runs, and what appears while it goes,
 * and waits until all of it is collected. A zombie is left to whoever
 * collects it once its parent is gone.
 */
std::vector<pid_t>
Watcher::end_the_rest()
{
	std::vector<pid_t> ended;
	auto end_living = [&] {
		for (auto &t : tracked_) {
			if (t.gone || t.state == State::zombie || killed_.count(t.pid))
				continue;
			if (t.pidfd >= 0)
				kill_pidfd(t.pidfd);
			killed_.insert(t.pid);
			ended.push_back(t.pid);
		}
	};
	end_living();
	auto deadline = Clock::now() + ending_limit;
	while (!all_gone() && Clock::now() < deadline) {
		wait_for_something(Clock::now() + milliseconds(sample_interval_ms));
		sample();
		end_living();
	}
	return ended;
}

/* What the terminal still holds, until no process holds its other side. */
void
Watcher::drain_terminal()
{
	auto deadline = Clock::now() + milliseconds(500);
	while (Clock::now() < deadline) {
		pollfd fd{job_.terminal, POLLIN, 0};
		if (poll(&fd, 1, 50) <= 0 || (fd.revents & POLLIN) == 0)
			return;
		read_terminal();
	}
}

bool
Watcher::run(std::string &error)
{
	/* Orphans of the job are adopted here, so they can be watched, ended and collected. */
	prctl(PR_SET_CHILD_SUBREAPER, 1);

	jobshell::Options job_options;
	job_options.argv = {options_.program};
	start_ = Clock::now();
	auto job = jobshell::start(job_options, error);
	if (!job)
		return false;
	job_ = *job;
	reporter_.started(options_.program, job_.leader, options_.limit_seconds);
	track(job_.leader, job_.shell, "program", State::running);
	if (options_.send)
		client_.emplace(*options_.send);

	auto limit = start_ + milliseconds(static_cast<long long>(options_.limit_seconds * 1000));
	auto next_sample = start_ + milliseconds(sample_interval_ms);
	std::string reason;
	while (reason.empty()) {
		wait_for_something(std::min(next_sample, limit));
		if (Clock::now() >= next_sample) {
			sample();
			talk_to_server();
			next_sample = std::max(next_sample + milliseconds(sample_interval_ms), Clock::now());
		}
		if (all_gone())
			reason = "all ended";
		else if (interrupted)
			reason = "interrupted";
		else if (Clock::now() >= limit)
			reason = "time limit";
	}

	Event end = event(Kind::end);
	end.ended = end_the_rest();
	talk_to_server();
	/* The shell goes last; with it goes the last holder of the terminal. */
	if (!shell_collected_) {
		kill(job_.shell, SIGKILL);
		waitpid(job_.shell, nullptr, 0);
	}
	drain_terminal();
	jobshell::release(job_);
	end.t_ms = now_ms();
	end.text = reason;
	reporter_.event(end);
	reporter_.finished();
	return true;
}

} // namespace

bool
watch(WatchOptions const &options, Reporter &reporter, std::string &error)
{
	struct sigaction action {};
	action.sa_handler = on_interrupt;
	sigemptyset(&action.sa_mask);
	sigset_t blocked;
	sigemptyset(&blocked);
	for (int sig : interrupt_signals) {
		sigaction(sig, &action, nullptr);
		sigaddset(&blocked, sig);
	}
	sigprocmask(SIG_BLOCK, &blocked, nullptr);
	signal(SIGPIPE, SIG_IGN);

	Watcher watcher(options, reporter);
	return watcher.run(error);
}

} // namespace observe
