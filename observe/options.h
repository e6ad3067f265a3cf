#pragma once

/*
 * observe's command line, in the manner of POSIX utilities and timeout(1):
 *
 *	observe [OPTIONS] [--] COMMAND [ARG...]
 *
 * Options end at the first operand or at "--", so that COMMAND's own
 * options stay its own.
 */

#include "watch.h"

#include <optional>
#include <string>

namespace observe {

enum class Colour { automatic, always, never };

struct Options {
	WatchOptions watch;
	bool json = false;
	bool help = false;
	bool version = false;
	/* A recording to show instead of a watch; files to draw the watch into. */
	std::optional<std::string> replay, html, svg, trace_event;
	Colour colour = Colour::automatic;
};

/* What observe exits with, besides the command's own status. */
namespace exit_status {
constexpr int time_limit = 124;		/* the time limit ended the command */
constexpr int failed = 125;		/* observe itself failed: a bad option, no pseudo-terminal */
constexpr int not_executable = 126;	/* the command was found but cannot be run */
constexpr int not_found = 127;		/* the command was not found */
constexpr int signal_base = 128;	/* + N: signal N ended the command, or observe itself */
} // namespace exit_status

extern char const help_text[];

/* The options, or nothing with the reason in `error`. COMMAND is left as given. */
std::optional<Options> parse_options(int argc, char *const *argv, std::string &error);

/* A signal by name, with or without SIG, or by number; nothing for neither. */
std::optional<int> parse_signal(std::string const &);

/* Where COMMAND is: a path is used as it is; a bare name is looked for beside
 * `self` (observe's own path), then in `path_list` (PATH). */
struct Found {
	std::optional<std::string> path;
	int status;		/* exit_status::not_found or not_executable, where there is no path */
	std::string error;
};
Found find_command(std::string const &name, std::string const &self, std::string const &path_list);

/* Why an exec of `path` failed with `error`, in observe's words: a script's
 * missing interpreter is named, as the kernel's ENOENT does not. */
std::string exec_words(std::string const &path, int error);
/* What observe exits with for that failure: 127 where the file is not
 * found, 126 where it is there but cannot be run. */
int exec_exit_status(std::string const &path, int error);

/* What observe exits with once the watch is over. */
int exit_status_of(Outcome const &);

} // namespace observe
