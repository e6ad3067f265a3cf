#include "jobshell.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace jobshell {

namespace {

/* What the shell sends first: the job's pid, or why it could not start. */
struct Start {
	pid_t leader;	/* -1 when the job could not start */
	int error;	/* errno of the failed step */
	int step;	/* index into start_steps */
};

constexpr char const *start_steps[] = {"setsid", "terminal", "user", "fork", "exec"};
enum Step { step_session, step_terminal, step_user, step_fork, step_exec };

constexpr int shell_ignores[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGINT, SIGQUIT};

void
write_all(int fd, void const *data, size_t size)
{
	auto bytes = static_cast<char const *>(data);
	while (size > 0) {
		ssize_t n = write(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		bytes += n;
		size -= n;
	}
}

/* The job's identity, worked out before the fork: the user's groups and
 * account come from files. */
struct Identity {
	uid_t uid;
	gid_t gid;
	std::vector<gid_t> groups;
	std::vector<std::pair<char const *, std::string>> account;	/* HOME and the like */
};

std::optional<Identity>
identity_of(Options const &options)
{
	if (!options.uid)
		return std::nullopt;
	Identity id{*options.uid, options.gid, {options.gid}, {}};
	if (passwd const *user = getpwuid(id.uid)) {
		id.account = {{"HOME", user->pw_dir}, {"USER", user->pw_name}, {"LOGNAME", user->pw_name},
			      {"SHELL", *user->pw_shell != '\0' ? user->pw_shell : "/bin/sh"}};
		int count = 64;
		id.groups.resize(count);
		if (getgrouplist(user->pw_name, id.gid, id.groups.data(), &count) < 0) {
			id.groups.resize(count);
			getgrouplist(user->pw_name, id.gid, id.groups.data(), &count);
		}
		id.groups.resize(count);
	}
	return id;
}

/* Groups first, then the group, then the user: each step needs the privilege the next one drops. */
bool
become(Identity const &id)
{
	if (setgroups(id.groups.size(), id.groups.data()) != 0 || setgid(id.gid) != 0 || setuid(id.uid) != 0)
		return false;
	for (auto const &[name, value] : id.account)
		setenv(name, value.c_str(), 1);
	return true;
}

/* What the shell's SIGCONT handler needs: a shell's fg, on the starter's word. */
int shell_tty = -1;
pid_t shell_job = -1;

void
bring_to_foreground(int)
{
	int saved = errno;
	tcsetpgrp(shell_tty, shell_job);
	kill(-shell_job, SIGCONT);
	errno = saved;
}

/* The shell's name, in its command name and its command line, both of
 * which it shares with its starter until told otherwise. */
void
name_process(std::string const &name)
{
	prctl(PR_SET_NAME, name.c_str());
	FILE *file = fopen("/proc/self/stat", "re");
	if (file == nullptr)
		return;
	char line[1024];
	bool read = fgets(line, sizeof(line), file) != nullptr;
	fclose(file);
	char const *fields = read ? strrchr(line, ')') : nullptr;
	if (fields == nullptr)
		return;
	/* arg_start and arg_end are fields 48 and 49; field 3 follows the ')'. */
	unsigned long start = 0, end = 0;
	char const *cursor = fields + 2;
	for (int field = 3; field < 48 && cursor != nullptr; field++) {
		cursor = strchr(cursor, ' ');
		if (cursor != nullptr)
			cursor++;
	}
	if (cursor == nullptr || sscanf(cursor, "%lu %lu", &start, &end) != 2 || end <= start)
		return;
	char *args = reinterpret_cast<char *>(start);
	size_t room = end - start;
	memset(args, 0, room);
	memcpy(args, name.c_str(), std::min(name.size(), room - 1));
}

[[noreturn]] void
run_job(Options const &options, int tty, int exec_error)
{
	/* As a shell does: both sides set the group and the foreground, so
	 * neither order of running after fork leaves a window. */
	setpgid(0, 0);
	tcsetpgrp(tty, getpid());

	reset_signals(options.ignored_signals);

	for (int fd = 0; fd < 3; fd++)
		dup2(tty, fd);
	if (tty > 2)
		close(tty);

	exec_program(options.argv);
	int error = errno;
	write_all(exec_error, &error, sizeof(error));
	_exit(127);
}

[[noreturn]] void
fail_start(int reports, Step step)
{
	Start start{-1, errno, step};
	write_all(reports, &start, sizeof(start));
	_exit(127);
}

/* Collects children forever, reporting each change, and takes the terminal
 * back when the job ends or stops, as an interactive shell does. */
[[noreturn]] void
collect(int tty, pid_t leader, int reports)
{
	for (;;) {
		int status;
		pid_t pid = waitpid(-1, &status, WUNTRACED | WCONTINUED);
		if (pid < 0) {
			if (errno == ECHILD)
				pause();
			continue;
		}
		if (pid == leader && !WIFCONTINUED(status))
			tcsetpgrp(tty, getpgrp());
		Report report{pid, status};
		write_all(reports, &report, sizeof(report));
	}
}

[[noreturn]] void
run_shell(Options const &options, std::optional<Identity> const &id, char const *tty_path, int reports)
{
	name_process(options.shell_name);
	if (setsid() < 0)
		fail_start(reports, step_session);
	int tty = open(tty_path, O_RDWR);
	if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) < 0)
		fail_start(reports, step_terminal);
	/* The job's terminal is its user's, as login makes it; and from here
	 * the shell is that user too: nothing of the job's session is root's. */
	if (id) {
		fchown(tty, id->uid, id->gid);
		if (!become(*id))
			fail_start(reports, step_user);
	}
	if (options.raw_output) {
		termios mode{};
		tcgetattr(tty, &mode);
		mode.c_oflag &= ~OPOST;
		tcsetattr(tty, TCSANOW, &mode);
	}
	/* The starter's handlers and blocked signals are not the shell's. */
	reset_signals({std::begin(shell_ignores), std::end(shell_ignores)});
	if (options.adopting)
		prctl(PR_SET_CHILD_SUBREAPER, 1);

	int exec_pipe[2];
	if (pipe2(exec_pipe, O_CLOEXEC) < 0)
		fail_start(reports, step_fork);
	pid_t leader = fork();
	if (leader < 0)
		fail_start(reports, step_fork);
	if (leader == 0) {
		close(exec_pipe[0]);
		close(reports);
		run_job(options, tty, exec_pipe[1]);
	}
	setpgid(leader, leader);
	tcsetpgrp(tty, leader);
	shell_tty = tty;
	shell_job = leader;
	signal(SIGCONT, bring_to_foreground);

	/* The exec pipe closes on a successful exec; an error comes through it. */
	close(exec_pipe[1]);
	int error = 0;
	ssize_t n;
	while ((n = read(exec_pipe[0], &error, sizeof(error))) < 0 && errno == EINTR)
		;
	close(exec_pipe[0]);
	if (n > 0)
		waitpid(leader, nullptr, 0);
	Start start{n > 0 ? -1 : leader, n > 0 ? error : 0, step_exec};
	write_all(reports, &start, sizeof(start));
	collect(tty, leader, reports);
}

bool
read_exactly(int fd, void *data, size_t size)
{
	auto bytes = static_cast<char *>(data);
	while (size > 0) {
		ssize_t n = read(fd, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		size -= n;
	}
	return true;
}

std::string
describe(char const *what, int error)
{
	return std::string(what) + ": " + strerror(error);
}

} // namespace

void
exec_program(std::vector<std::string> const &argv)
{
	std::vector<char *> args;
	for (auto const &arg : argv)
		args.push_back(const_cast<char *>(arg.c_str()));
	args.push_back(nullptr);
	execvp(args[0], args.data());
}

void
reset_signals(std::vector<int> const &ignored)
{
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	for (int sig : ignored)
		signal(sig, SIG_IGN);
}

std::optional<Terminal>
open_terminal(std::string &error)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	char const *slave = nullptr;
	if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0 || (slave = ptsname(master)) == nullptr) {
		error = describe("no pseudo-terminal", errno);
		if (master >= 0)
			close(master);
		return std::nullopt;
	}
	return Terminal{master, slave};
}

std::optional<Job>
start(Options const &options, std::string &error, int *exec_error)
{
	if (options.argv.empty()) {
		error = "no program to run";
		return std::nullopt;
	}
	auto id = identity_of(options);
	auto terminal = open_terminal(error);
	if (!terminal)
		return std::nullopt;
	Job job;
	job.terminal = terminal->master;
	std::string const &tty_path = terminal->slave;
	ioctl(job.terminal, TIOCSWINSZ, &options.size);

	int report_pipe[2];
	if (pipe2(report_pipe, O_CLOEXEC) < 0) {
		error = describe("pipe", errno);
		close(job.terminal);
		return std::nullopt;
	}
	job.shell = fork();
	if (job.shell < 0) {
		error = describe("fork", errno);
		close(job.terminal);
		close(report_pipe[0]);
		close(report_pipe[1]);
		return std::nullopt;
	}
	if (job.shell == 0) {
		close(job.terminal);
		close(report_pipe[0]);
		run_shell(options, id, tty_path.c_str(), report_pipe[1]);
	}
	close(report_pipe[1]);
	job.reports = report_pipe[0];

	Start started{};
	bool heard = read_exactly(job.reports, &started, sizeof(started));
	if (!heard || started.leader < 0) {
		if (!heard)
			error = "the shell ended before starting the job";
		else if (started.step == step_exec)
			error = "cannot run " + options.argv[0] + ": " + strerror(started.error);
		else
			error = describe(start_steps[started.step], started.error);
		if (heard && started.step == step_exec && exec_error != nullptr)
			*exec_error = started.error;
		kill_job(job);
		waitpid(job.shell, nullptr, 0);
		return std::nullopt;
	}
	job.leader = started.leader;
	fcntl(job.terminal, F_SETFL, O_NONBLOCK);
	fcntl(job.reports, F_SETFL, O_NONBLOCK);
	return job;
}

void
continue_job(Job const &job)
{
	if (job.shell > 0)
		kill(job.shell, SIGCONT);
}

std::vector<Report>
read_reports(Job const &job)
{
	std::vector<Report> reports;
	Report report;
	while (job.reports >= 0 && read(job.reports, &report, sizeof(report)) == sizeof(report))
		reports.push_back(report);
	return reports;
}

void
kill_job(Job &job)
{
	if (job.leader > 0)
		kill(-job.leader, SIGKILL);
	if (job.shell > 0)
		kill(job.shell, SIGKILL);
	release(job);
}

void
release(Job &job)
{
	for (int *fd : {&job.terminal, &job.reports}) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

} // namespace jobshell
