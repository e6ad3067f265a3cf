/*
 * pingpong N: a parent and its child send SIGUSR1 to each other, turn
 * about, until N signals have gone between them; a benchmark's load for
 * a tracer of signals. Each waits for the other's signal before it sends.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static void
volley(pid_t other, long turns, int serves)
{
	sigset_t usr1;
	int sig;

	sigemptyset(&usr1);
	sigaddset(&usr1, SIGUSR1);
	for (long i = 0; i < turns; i++) {
		if (serves && kill(other, SIGUSR1) < 0)
			return;
		if (sigwait(&usr1, &sig) != 0)
			return;
		if (!serves && kill(other, SIGUSR1) < 0)
			return;
	}
}

int
main(int argc, char **argv)
{
	long signals = argc > 1 ? atol(argv[1]) : 100000;
	sigset_t usr1;
	pid_t child;

	sigemptyset(&usr1);
	sigaddset(&usr1, SIGUSR1);
	/* Blocked before the fork: a signal that comes early waits for sigwait. */
	sigprocmask(SIG_BLOCK, &usr1, NULL);
	child = fork();
	if (child < 0)
		return 1;
	if (child == 0) {
		volley(getppid(), signals / 2, 0);
		return 0;
	}
	volley(child, signals / 2, 1);
	waitpid(child, NULL, 0);
	printf("%ld signals\n", signals / 2 * 2);
	return 0;
}
