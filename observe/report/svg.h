#pragma once

/*
 * The watch as one SVG picture, for slides: a row per process, named and
 * indented as the job's tree; its states as bars on a time axis; each
 * signal an arrow from its sender's row to its target's, named. Where the
 * signals come thick within a moment of a long watch, that moment is drawn
 * again beneath, enlarged.
 */

#include "history.h"

namespace observe {

/* Text as XML character data, or an attribute's value: what is not printable is shown as \xNN. */
std::string xml_text(std::string const &);

class SvgReporter : public Drawing {
public:
	using Drawing::Drawing;

protected:
	void draw(FILE *out, History &) override;
};

} // namespace observe
