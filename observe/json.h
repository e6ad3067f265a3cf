#pragma once

#include "events.h"

#include <string>

namespace observe {

/* A JSON string literal of the bytes: valid UTF-8 passes through, control
 * characters and bytes that are not UTF-8 become \u00XX. */
std::string json_string(std::string const &bytes);

/* One event as one JSON object, without a newline. */
std::string json_event(Event const &);

} // namespace observe
