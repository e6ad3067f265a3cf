#pragma once

#include "watch.h"

#include <optional>
#include <string>

namespace observe {

struct Options {
	WatchOptions watch;
	bool json = false;
	bool help = false;
};

constexpr char usage[] = "usage: observe [--json] [--for SECONDS] [--send TEXT] PROGRAM\n";

/* The options, or nothing with the reason in `error`. The program is left as given. */
std::optional<Options> parse_options(int argc, char const *const *argv, std::string &error);

/* A path is used as it is; a bare name is looked for beside `self` (the
 * watcher's own path), then in `path_list` (PATH). */
std::optional<std::string> find_program(std::string const &name, std::string const &self,
					std::string const &path_list, std::string &error);

} // namespace observe
