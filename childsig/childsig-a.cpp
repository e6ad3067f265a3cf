/*
 * childsig-a - stopping and resuming child processes, and what becomes of
 * stopped children when their parent ends.
 *
 * Two workers write a line, "Child1" and "Child2", once a second. After 3 s
 * the parent stops child 2 with SIGSTOP; 3 s later it resumes child 2 with
 * SIGCONT, sends SIGTSTP to both workers, writes "Child term" without a
 * newline and ends, waiting for neither.
 *
 * What to watch (run it in the foreground of an interactive shell):
 *   - From 3 s to 6 s only "Child1" lines appear.
 *   - The parent's end leaves the workers' process group orphaned. A worker
 *     that is stopped by then is sent SIGHUP, which ends it, and SIGCONT; a
 *     stop still pending is discarded, as a terminal stop means nothing in
 *     an orphaned group, and that worker runs on, writing lines. Which
 *     happens to each worker varies from run to run; none stays stopped.
 *   - With the output redirected to a file, only "Child term" is there when
 *     the parent ends: the workers' lines wait in their stdio buffers.
 */
#include "childsig.h"

using namespace childsig;

static constexpr Step timeline[] = {
	pause(3),
	send(SIGSTOP, Worker::child2),
	pause(3),
	send(SIGCONT, Worker::child2),
	send(SIGTSTP, Worker::child1),
	send(SIGTSTP, Worker::child2),
};

static constexpr Variant variant_a{WriteForm::line, timeline, "Child term"};

int
main()
{
	return run(variant_a);
}
