#pragma once

/*
 * What the three signal demonstrations share: two worker children that
 * announce themselves once a second forever, and a parent that follows a
 * timeline of pauses and signals, then ends without waiting for either.
 *
 * A variant is constant data: how its workers write, its timeline and its
 * closing message. Its program hands that to run() and returns what run()
 * returns.
 */

#include <signal.h>

#include <span>

namespace childsig {

/* A line write puts the label and a newline; a bare write, the label alone. */
enum class WriteForm { line, bare };

/* The worker a signal goes to, in the order the two are created. */
enum class Worker { child1, child2 };

/* One step of the timeline: a pause of whole seconds, or a signal to one worker. */
struct Step {
	unsigned seconds;	/* the pause, when signal is 0 */
	int signal;
	Worker to;
};

constexpr Step
pause(unsigned seconds)
{
	return {seconds, 0, Worker::child1};
}

constexpr Step
send(int signal, Worker to)
{
	return {0, signal, to};
}

struct Variant {
	WriteForm form;
	std::span<Step const> timeline;
	char const *closing;	/* bare-written after the timeline, or nullptr */
};

/* Creates the two workers and runs the timeline; returns the exit status. */
int run(Variant const &);

} // namespace childsig
