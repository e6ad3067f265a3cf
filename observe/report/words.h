#pragma once

/*
 * The words a person reads, written once for the live report and the
 * timeline alike.
 */

#include "table.h"

#include <optional>
#include <string>
#include <string_view>

namespace observe {

/* How a process ended: "exit 0", "SIGHUP", "SIGKILL (ended by observe)",
 * "status unknown" where its collector told nobody. */
std::string end_words(std::optional<int> wait_status, bool by_observe);

/* A pid with what it is: "7001 (child 1)", "7000 (the shell)", "6990 (observe)". */
std::string who(pid_t, ProcessTable const &);

/* Held bytes for a line: their count, and the bytes, printable; where they
 * are more than `most`, their start and their end: "12 bytes "Child1Child1"". */
std::string held_words(std::string const &bytes, size_t most = 60);

/* Text with control characters (but tabs) and bytes past ASCII shown as escapes. */
std::string printable(std::string_view bytes);
/* The same, appended to `out`. */
void append_printable(std::string &out, std::string_view bytes);

} // namespace observe
