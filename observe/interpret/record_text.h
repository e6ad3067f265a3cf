#pragma once

/*
 * The kernel's records as lines of text, one a record, and back: what
 * observe writes where OBSERVE_RECORDS names a file, and what the
 * interpreter's tests read, so that a run recorded once is replayed on
 * any machine. A line is its time in nanoseconds, a word for its kind,
 * and the record's fields in the order they are declared:
 *
 *   1520300 fork 4100 4101 0x1200011
 *   1530000 signal 4101 4100 17 1 0 1 0
 *
 * Lines that begin with '#', and empty ones, are comments.
 */

#include "kernel/trace.h"

#include <optional>
#include <string>

namespace observe::kernel {

std::string record_line(Record const &);
/* The record a line holds; none for a comment or a line that is not one. */
std::optional<Record> parse_record(std::string const &line);

} // namespace observe::kernel
