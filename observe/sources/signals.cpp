#include "signals.h"

#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

namespace observe {

SignalSource::SignalSource(std::vector<int> const &signals)
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : signals)
		sigaddset(&set, sig);
	fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalSource::~SignalSource()
{
	if (fd_ >= 0)
		close(fd_);
}

std::vector<int>
SignalSource::arrived()
{
	std::vector<int> found;
	signalfd_siginfo info;
	for (;;) {
		ssize_t n = read(fd_, &info, sizeof(info));
		if (n < 0 && errno == EINTR)
			continue;
		if (n != sizeof(info))
			return found;
		found.push_back(static_cast<int>(info.ssi_signo));
	}
}

Reaper::Reaper(ProcessTable &table, Stopwatch const &clock)
	: SignalSource({child_signal}), table_(table), clock_(clock)
{
}

void
Reaper::take()
{
	arrived();
	int status;
	pid_t pid;
	while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
		if (pid == table_.shell()) {
			shell_collected_ = true;
			continue;
		}
		Micros now = clock_.now();
		/* Orphaned and collected here between two looks: it was adopted all the same.
		 * The kernel's records tell when, where they are read. */
		if (!table_.exact_collections())
			table_.adopt(now, pid, table_.observer());
		table_.told(now, pid, status);
	}
}

Interrupts::Interrupts() : SignalSource({std::begin(interrupt_signals), std::end(interrupt_signals)}) {}

void
Interrupts::take()
{
	for (int sig : arrived())
		if (!signal_)
			signal_ = sig;
}

ScreenSignals::ScreenSignals(std::function<void(int)> handle)
	: SignalSource({std::begin(screen_signals), std::end(screen_signals)}), handle_(std::move(handle))
{
}

/* Stops observe as SIGTSTP would have, had it not been blocked: its own shell sees it stopped by it. */
static void
stop_now()
{
	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGTSTP);
	raise(SIGTSTP);
	sigprocmask(SIG_UNBLOCK, &stop, nullptr);
	sigprocmask(SIG_BLOCK, &stop, nullptr);
}

void
ScreenSignals::take()
{
	for (int sig : arrived()) {
		handle_(sig);
		if (sig == SIGTSTP)
			stop_now();
	}
}

} // namespace observe
