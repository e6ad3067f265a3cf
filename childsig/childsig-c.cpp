/*
 * childsig-c - a stopped child keeps its buffer; an interrupted one loses it.
 *
 * Two workers bare-write "Child1" and "Child2" once a second, so the labels
 * collect in each worker's stdio buffer. The parent stops child 2 with
 * SIGSTOP at 3 s, resumes it with SIGCONT at 6 s, sends SIGINT to child 1 at
 * 9 s and ends.
 *
 * What to watch:
 *   - Nothing appears while the parent runs. `ps -o pid,stat,cmd` in another
 *     terminal shows child 2 in state T from 3 s to 6 s.
 *   - Child 1's labels are lost with it at 9 s.
 *   - Child 2 runs on as an orphan; its labels appear in bursts, a buffer at
 *     a time (1024 bytes on a terminal, about every three minutes). End it
 *     with kill.
 */
#include "childsig.h"

using namespace childsig;

static constexpr Step timeline[] = {
	pause(3),
	send(SIGSTOP, Worker::child2),
	pause(3),
	send(SIGCONT, Worker::child2),
	pause(3),
	send(SIGINT, Worker::child1),
};

static constexpr Variant variant_c{WriteForm::bare, timeline, nullptr};

int
main()
{
	return run(variant_c);
}
