/*
 * The worker loop and the timeline runner of childsig-a, childsig-b and
 * childsig-c.
 *
 * No result of a pause or a signal is looked at, and no disposition is
 * changed: each signal does to a worker whatever the disposition it
 * inherited says. Only a failed creation is handled, as the one case where
 * carrying on would send a signal to an identifier that names no worker.
 */
#include "childsig.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

namespace childsig {

static constexpr char const *labels[] = {"Child1", "Child2"};
static constexpr size_t worker_count = sizeof(labels) / sizeof(labels[0]);

static constexpr int status_done = 0;
static constexpr int status_fork_failed = 1;

/*
 * Announce, then pause, forever. A line reaches a terminal at once; a bare
 * label waits in this process's stdio buffer until the buffer fills, and is
 * lost if a signal ends the worker first.
 */
[[noreturn]] static void
work(char const *label, WriteForm form)
{
	for (;;) {
		if (form == WriteForm::line)
			puts(label);
		else
			printf("%s", label);
		sleep(1);
	}
}

/*
 * Without both workers there is nothing to show. A worker already created
 * is ended by the identifier its creation returned; -1 is never used as
 * one, since kill(-1, ...) would signal every process we may signal.
 */
static int
creation_failed(pid_t const *workers, size_t created)
{
	puts("fork failed");
	for (size_t i = 0; i < created; i++)
		kill(workers[i], SIGKILL);
	return status_fork_failed;
}

int
run(Variant const &variant)
{
	pid_t workers[worker_count];

	/*
	 * Nothing has been written yet, so no worker starts with a copy of
	 * pending output. Child 1 never returns from work(), so only the
	 * parent creates child 2.
	 */
	for (size_t i = 0; i < worker_count; i++) {
		pid_t pid = fork();
		if (pid == 0)
			work(labels[i], variant.form);
		if (pid < 0)
			return creation_failed(workers, i);
		workers[i] = pid;
	}

	/* A pause cut short is not made up; the workers are never waited for. */
	for (Step const &step : variant.timeline) {
		if (step.signal == 0)
			sleep(step.seconds);
		else
			kill(workers[static_cast<size_t>(step.to)], step.signal);
	}
	if (variant.closing != nullptr)
		printf("%s", variant.closing);
	return status_done;
}

} // namespace childsig
