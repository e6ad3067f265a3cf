/*
 * The keeper's side and its maker's, over a socket pair: "r" says the maker
 * is done; so does the end of the pair, which comes however the maker ends,
 * though a child the maker made since may hold it until its exec.
 */
#include "instance_keeper.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace observe::kernel {

namespace {

/* How long the keeper tries to remove an instance its maker still holds a
 * file of: one killed outright closes its files as it ends. */
constexpr long removal_patience_ms = 5000;
constexpr long removal_retry_ms = 2;

long
now_ms()
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

/* Keeps nothing of the maker's but the channel, which becomes descriptor 3. */
void
let_go_of_the_makers_files(int channel)
{
	int kept = fcntl(channel, F_DUPFD, 3);
	int null = open("/dev/null", O_RDWR);
	for (int fd = 0; fd <= 2; fd++)
		if (null >= 0)
			dup2(null, fd);
	if (kept != 3)
		dup2(kept, 3);
	close_range(4, ~0U, 0);
}

void
remove_instance(char const *dir)
{
	long deadline = now_ms() + removal_patience_ms;
	while (rmdir(dir) < 0 && errno == EBUSY && now_ms() < deadline) {
		timespec pause{0, removal_retry_ms * 1'000'000};
		nanosleep(&pause, nullptr);
	}
}

/*
 * The keeper's life, in system calls alone: its maker may have had
 * threads, and after a fork only those are safe.
 */
[[noreturn]] void
keep(int channel, char const *dir)
{
	setsid();
	prctl(PR_SET_NAME, "observe-keeper");
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	let_go_of_the_makers_files(channel);
	char request;
	while (recv(3, &request, 1, 0) < 0 && errno == EINTR)
		;
	remove_instance(dir);
	_exit(0);
}

} // namespace

bool
InstanceKeeper::start(std::string const &dir)
{
	int pair[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0)
		return false;

	/* Made through a process that ends at once, subreaping off meanwhile,
	 * so that the keeper is adopted above us. */
	int subreaper = 0;
	prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
	if (subreaper)
		prctl(PR_SET_CHILD_SUBREAPER, 0);
	sigset_t pending;
	sigpending(&pending);
	bool child_news_waiting = sigismember(&pending, SIGCHLD);
	pid_t middle = fork();
	if (middle == 0) {
		close(pair[0]);
		pid_t keeper = fork();
		if (keeper == 0)
			keep(pair[1], dir.c_str());
		_exit(keeper < 0 ? 1 : 0);
	}
	int error = errno;
	int status = 1;
	if (middle > 0)
		while (waitpid(middle, &status, 0) < 0 && errno == EINTR)
			;
	if (subreaper)
		prctl(PR_SET_CHILD_SUBREAPER, 1);
	/* The middle's end is no news to the maker: a SIGCHLD of it left
	 * waiting (blocked, for a signalfd) would make the next one, of a child
	 * that matters, "already pending". */
	if (middle > 0 && !child_news_waiting) {
		sigset_t child_news;
		sigemptyset(&child_news);
		sigaddset(&child_news, SIGCHLD);
		timespec now{};
		sigtimedwait(&child_news, nullptr, &now);
	}
	close(pair[1]);
	if (middle < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		close(pair[0]);
		errno = middle < 0 ? error : EAGAIN;
		return false;
	}
	channel_ = pair[0];
	return true;
}

void
InstanceKeeper::release()
{
	if (channel_ < 0)
		return;
	send(channel_, "r", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
	close(channel_);
	channel_ = -1;
}

} // namespace observe::kernel
