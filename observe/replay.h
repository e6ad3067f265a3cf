#pragma once

/*
 * A watch shown again from its recording: the JSON lines of --json read
 * back into the events they were written from, and handed to reporters as
 * the watch handed them, with no job run and no root needed.
 *
 * A recording is untrusted input. It is read whole before anything is
 * reported, and one that is damaged, cut short, of another format version
 * or out of order is refused with the line and the reason: never half
 * reported, never read as something it does not say.
 */

#include "report/reporter.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace observe {

struct Recording {
	std::vector<Event> events;	/* from the start event to the end event */
};

/* The recording in `text`, or nothing with the reason in `error`. */
std::optional<Recording> read_recording(std::string const &text, std::string &error);

/* Reports every event of the recording, then finishes. */
void replay(Recording const &, Reporter &);

} // namespace observe
