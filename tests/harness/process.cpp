#include "process.h"

#include "jobshell.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

static void
fail(std::string const &what)
{
	throw std::runtime_error(what + ": " + strerror(errno));
}

/* A pseudo-terminal in raw mode, so the bytes read are the bytes written. */
static void
open_terminal(int &master, int &slave)
{
	std::string error;
	auto terminal = jobshell::open_terminal(error);
	if (!terminal)
		throw std::runtime_error(error);
	master = terminal->master;
	slave = open(terminal->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (slave < 0)
		fail("pseudo-terminal slave");
	termios mode{};
	tcgetattr(slave, &mode);
	cfmakeraw(&mode);
	tcsetattr(slave, TCSANOW, &mode);
}

static void
make_pipe(int &reader, int &writer)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		fail("pipe");
	reader = fds[0];
	writer = fds[1];
}

[[noreturn]] static void
exec_child(Launch const &launch, int out, int err)
{
	setpgid(0, 0);
	jobshell::reset_signals({});

	int devnull = open("/dev/null", O_RDONLY);
	dup2(devnull, 0);
	if (!launch.output_file.empty())
		out = open(launch.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	dup2(out, 1);
	dup2(err, 2);

	jobshell::exec_program(launch.argv);
	_exit(127);
}

Child::Child(Launch const &launch)
{
	int out_writer = -1, err_writer = -1;
	if (launch.output == Output::terminal)
		open_terminal(out_fd_, out_writer);
	else
		make_pipe(out_fd_, out_writer);
	make_pipe(err_fd_, err_writer);

	started_ = Clock::now();
	pid_ = fork();
	if (pid_ < 0)
		fail("fork");
	if (pid_ == 0)
		exec_child(launch, out_writer, err_writer);
	setpgid(pid_, pid_);
	close(out_writer);
	close(err_writer);
	fcntl(out_fd_, F_SETFL, O_NONBLOCK);
	fcntl(err_fd_, F_SETFL, O_NONBLOCK);
	out_ = Stream(out_fd_, started_);
	err_ = Stream(err_fd_, started_);
}

Child::~Child()
{
	end();
	if (out_fd_ >= 0)
		close(out_fd_);
	if (err_fd_ >= 0)
		close(err_fd_);
}

void
Child::pump()
{
	out_.pump();
	err_.pump();
}

bool
Child::drain(milliseconds timeout)
{
	return wait_until([&] { err_.pump(); return out_.pump(); }, timeout, milliseconds(5));
}

double
seconds_since(Clock::time_point origin, Clock::time_point at)
{
	return std::chrono::duration<double>(at - origin).count();
}

bool
Stream::shows(std::string const &wanted, milliseconds timeout)
{
	return wait_until([&] {
		pump();
		return text_.find(wanted) != std::string::npos;
	}, timeout);
}

bool
Stream::pump()
{
	char buffer[4096];
	while (!ended_) {
		ssize_t n = read(fd_, buffer, sizeof(buffer));
		if (n > 0) {
			text_.append(buffer, n);
			chunks_.push_back({Clock::now(), std::string(buffer, n)});
		} else if (n < 0 && errno == EINTR) {
			continue;
		} else if (n < 0 && errno == EAGAIN) {
			break;
		} else {
			ended_ = true;
		}
	}
	return ended_;
}

double
Stream::arrival_at(size_t offset) const
{
	size_t seen = 0;
	for (auto const &chunk : chunks_) {
		seen += chunk.bytes.size();
		if (offset < seen)
			return seconds_since(origin_, chunk.at);
	}
	return -1;
}

bool
Child::wait_exit(milliseconds timeout)
{
	return wait_until([&] {
		pump();
		if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_)
			reaped_ = true;
		return reaped_;
	}, timeout, milliseconds(5));
}

bool
Child::exited() const
{
	return reaped_ && WIFEXITED(status_);
}

int
Child::exit_status() const
{
	return exited() ? WEXITSTATUS(status_) : -1;
}

bool
Child::signaled() const
{
	return reaped_ && WIFSIGNALED(status_);
}

int
Child::term_signal() const
{
	return signaled() ? WTERMSIG(status_) : 0;
}

std::string
Child::describe_status() const
{
	if (!reaped_)
		return "still running";
	if (exited())
		return "exited with status " + std::to_string(exit_status());
	if (signaled())
		return std::string("killed by ") + sigabbrev_np(term_signal());
	return "ended oddly";
}

void
Child::end()
{
	if (pid_ <= 0 || reaped_)
		return;
	kill(-pid_, SIGKILL);
	kill(pid_, SIGKILL);
	while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR)
		;
	reaped_ = true;
	pump();
}

bool
wait_until(std::function<bool()> const &condition, milliseconds timeout, milliseconds step)
{
	auto deadline = Clock::now() + timeout;
	for (;;) {
		if (condition())
			return true;
		if (Clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(step);
	}
}

char
proc_state(pid_t pid)
{
	auto stat = proc_stat(pid);
	return stat ? stat->state : 0;
}

static std::vector<pid_t>
descendants_of(pid_t root)
{
	auto table = procfs::processes();
	std::vector<pid_t> found{root};
	for (size_t i = 0; i < found.size(); i++)
		for (auto [pid, ppid] : table)
			if (ppid == found[i])
				found.push_back(pid);
	found.erase(found.begin());
	return found;
}

void
await_trace_keepers(milliseconds timeout)
{
	wait_until([] {
		bool waiting = false;
		for (pid_t pid : descendants_of(getpid())) {
			auto stat = proc_stat(pid);
			if (!stat || strcmp(stat->comm, "observe-keeper") != 0)
				continue;
			/* Its own child (this process is a subreaper): collected once it has ended. */
			if (stat->state == 'Z' && stat->ppid == getpid())
				waitpid(pid, nullptr, 0);
			else
				waiting = true;
		}
		return !waiting;
	}, timeout, milliseconds(2));
}

void
end_all_descendants()
{
	/* A keeper ended now would leave its trace instance behind. */
	await_trace_keepers();
	auto deadline = Clock::now() + std::chrono::seconds(10);
	for (;;) {
		auto left = descendants_of(getpid());
		for (pid_t pid : left)
			kill(pid, SIGKILL);
		while (waitpid(-1, nullptr, WNOHANG) > 0)
			;
		if (left.empty() || Clock::now() > deadline)
			return;
		std::this_thread::sleep_for(milliseconds(5));
	}
}

std::string
program(std::string const &name)
{
	return std::string(DEMO_BIN_DIR) + "/" + name;
}

std::vector<std::string>
traced(std::string const &trace, std::vector<std::string> argv, std::string const &log)
{
	std::vector<std::string> full{"strace", "-qq", "-o", log, "-e", "trace=" + trace};
	full.insert(full.end(), argv.begin(), argv.end());
	return full;
}

std::vector<std::string>
with_fault(std::string const &trace, std::string const &inject, std::vector<std::string> argv,
	   std::string const &log)
{
	auto full = traced(trace, std::move(argv), log);
	full.insert(full.begin() + 6, {"-e", "inject=" + inject});
	return full;
}

TempFile::TempFile(std::string const &contents, bool executable)
{
	char name[] = "/tmp/demo-test-XXXXXX";
	int fd = mkstemp(name);
	if (fd < 0)
		fail("temporary file");
	path_ = name;
	if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
		fail("temporary file");
	if (executable)
		fchmod(fd, 0755);
	close(fd);
}

TempFile::~TempFile()
{
	unlink(path_.c_str());
}

std::string
TempFile::text() const
{
	std::ifstream file(path_);
	std::stringstream all;
	all << file.rdbuf();
	return all.str();
}

std::vector<std::string>
in_pid_namespace(std::vector<std::string> argv)
{
	std::vector<std::string> full{"unshare", "--pid", "--fork", "--mount-proc", "--kill-child"};
	/* Not being root, a user namespace of one's own gives the right to the others. */
	if (geteuid() != 0)
		full.insert(full.begin() + 1, {"--user", "--map-root-user"});
	full.insert(full.end(), argv.begin(), argv.end());
	return full;
}

} // namespace harness
