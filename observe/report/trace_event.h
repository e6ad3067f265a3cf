#pragma once

/*
 * The watch as Chrome trace events, for Perfetto's UI and chrome://tracing:
 * a track per process, named and in tree order; its states as complete
 * slices; each signal a flow from its sender's track to its target's;
 * what the terminal received and each stdout buffer's changes as instant
 * events with their text. Times in microseconds, as the format has them.
 */

#include "history.h"

namespace observe {

class TraceEventReporter : public Drawing {
public:
	using Drawing::Drawing;

protected:
	void draw(FILE *out, History &) override;
};

} // namespace observe
