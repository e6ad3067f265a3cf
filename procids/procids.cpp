/*
 * procids - process identifiers across one fork.
 *
 * The program reports its own identifier and its parent's, creates one
 * child, and then parent and child each print a label and report their
 * identifiers again. The parent then spins forever and never waits for the
 * child.
 *
 * What to watch:
 *   - The child's parent is the program itself: the parent is still alive,
 *     spinning, when the child reads its parent's identifier.
 *   - Once its report is done, the child has ended but is never collected:
 *     ps shows it as a zombie (state Z, <defunct>) for as long as the parent
 *     runs, and the parent at 100% of a processor. Kill the parent and the
 *     orphaned zombie is adopted and reaped.
 *   - On a terminal every line appears once, as it is written. With the
 *     output on a pipe or in a file, stdio holds it all in its buffer: the
 *     child inherits a copy holding the initial line and prints it again
 *     when it ends, and the parent's lines are lost when it is killed.
 *   - A failed fork prints "fork failed" and ends with status 1.
 */
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

static constexpr char initial_format[] = "Initial Process ID: %d\t Parent Process ID: %d\n";
static constexpr char process_format[] = "Process ID: %d\t Parent Process ID: %d\n";
static constexpr char parent_label[] = "Parent Process";
static constexpr char child_label[] = "Child Process";
static constexpr char fork_failed[] = "fork failed";

static constexpr int status_child_done = 0;
static constexpr int status_fork_failed = 1;

/* Reports this process and its parent; the parent's identifier is read first. */
static void
report_ids(char const *format)
{
	pid_t parent = getppid();
	pid_t self = getpid();
	printf(format, static_cast<int>(self), static_cast<int>(parent));
}

/*
 * Keeps a processor busy until the process is killed. A loop that has no
 * observable effect may be assumed to end, and an optimizer may delete it
 * (clang does, and the parent would run on into whatever code follows); a
 * store to a volatile object each time round is an effect it must keep.
 */
[[noreturn]] static void
spin_forever()
{
	volatile unsigned turns = 0;

	for (;;)
		turns = turns + 1;
}

int
main()
{
	/* On a terminal this line goes out now; otherwise it stays in the buffer the child copies. */
	report_ids(initial_format);

	pid_t child = fork();
	if (child == -1) {
		/* No child: say so rather than carry on as a parent without one. */
		puts(fork_failed);
		return status_fork_failed;
	}
	if (child != 0) {
		puts(parent_label);
		report_ids(process_format);
		spin_forever();
	}

	/* The child has no children of its own, so this wait fails at once. */
	wait(nullptr);
	puts(child_label);
	report_ids(process_format);
	return status_child_done;
}
