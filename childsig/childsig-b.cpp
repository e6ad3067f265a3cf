/*
 * childsig-b - interrupting a child, and output that a signal throws away.
 *
 * Two workers bare-write "Child1" and "Child2" once a second: no newline,
 * so the labels collect in each worker's stdio buffer. The parent sends
 * SIGINT to child 1 at 3 s, SIGCONT to it at 6 s and SIGINT again at 9 s,
 * then ends. Child 2 is never signalled.
 *
 * What to watch:
 *   - Nothing appears while the parent runs.
 *   - Child 1 dies at 3 s with its labels still in its buffer: they are
 *     lost. It stays a zombie (ps shows it defunct) until the parent ends,
 *     as the parent never waits; the later SIGCONT and SIGINT do nothing.
 *   - Child 2 runs on as an orphan. Its labels appear in bursts, a buffer
 *     at a time (1024 bytes on a terminal, about every three minutes), a
 *     label sometimes split across two bursts. End it with kill.
 *   - Started with SIGINT ignored, as a shell without job control starts
 *     a background command (sh -c 'childsig-b &'), child 1 survives both
 *     SIGINTs.
 */
#include "childsig.h"

using namespace childsig;

static constexpr Step timeline[] = {
	pause(3),
	send(SIGINT, Worker::child1),
	pause(3),
	send(SIGCONT, Worker::child1),
	pause(3),
	send(SIGINT, Worker::child1),
};

static constexpr Variant variant_b{WriteForm::bare, timeline, nullptr};

int
main()
{
	return run(variant_b);
}
