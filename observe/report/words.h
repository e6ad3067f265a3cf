#pragma once

/*
 * The words a person reads, written once for the live report and the
 * timeline alike.
 */

#include "story.h"

#include <optional>
#include <string>
#include <string_view>

namespace observe {

/* How a process ended: "exit 0", "SIGHUP", "SIGKILL (ended by observe)",
 * "status unknown" where its collector told nobody. */
std::string end_words(std::optional<int> wait_status, bool by_observe);

/* A process by its command and pid, with its place in the family where
 * that is short: "cat 7001 (child 1)", "cc1plus 7012", "jobshell 7000 (the
 * job's shell)", "observe 6990", as the events so far have told of it. */
std::string who(pid_t, Story const &);

/* Whom one kill to many was for, by its pid argument: "process group 5012",
 * "its own process group" (the sender's), "every process it may signal". */
std::string group_words(pid_t group);

/* Generations below the program: 0 for the program (and an orphan whose
 * parent was never of the job, the program's sibling, and their lines), 1 for
 * a child, 2 for a grandchild. */
int generation(Place const &);

/* A place as a person says it, where that is short: "program", "child 2",
 * "grandchild 1", "orphan", "orphan, child 1", "program's sibling"; "" further
 * down the program's line. */
std::string short_place(Place const &);

/* Held bytes for a line: their count, and the bytes, printable; where they
 * are more than `most`, their start and their end: "12 bytes "Child1Child1"". */
std::string held_words(std::string const &bytes, size_t most = 60);

/* Text with control characters (but tabs) and bytes past ASCII shown as escapes. */
std::string printable(std::string_view bytes);
/* The same, appended to `out`. */
void append_printable(std::string &out, std::string_view bytes);

} // namespace observe
