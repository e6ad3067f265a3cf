#pragma once

#include <string>

namespace observe {

/* A JSON string literal of the bytes: valid UTF-8 passes through, control
 * characters and bytes that are not UTF-8 become \u00XX. */
std::string json_string(std::string const &bytes);

} // namespace observe
