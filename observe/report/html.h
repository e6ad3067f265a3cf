#pragma once

/*
 * The watch as one web page that stands alone (no network, nothing beside
 * it): a row per process, indented as the job's tree; its states as bars
 * on a time axis; each signal an arrow from sender to target with
 * observe's account of it; the terminal's text and each stdout buffer as
 * they were at the moment under the pointer; and any span enlarged beside
 * the whole. Everything the job wrote is data the page shows as text, never
 * markup it runs.
 */

#include "history.h"

namespace observe {

/* JSON text made safe to stand inside a <script> element: no '<', '>' or
 * '&' to end it or open a comment, no line separators older engines choke on. */
std::string script_safe(std::string const &json);

class HtmlReporter : public Drawing {
public:
	using Drawing::Drawing;

protected:
	void draw(FILE *out, History &) override;
};

} // namespace observe
