/*
 * observe - watch a demonstration's processes as it runs.
 *
 * The demonstrations print only their own texts; what they are about
 * happens out of sight: a worker stopped, a child ended but not collected,
 * an orphan adopted, a signal ending a process. observe runs a program as
 * the foreground job of a fresh terminal session, as an interactive shell
 * would, and shows, as it happens, what the terminal receives and every
 * process of the job appearing, changing state, being adopted and ending.
 * At the end it ends whatever is left, collects it, and draws a timeline.
 *
 *	observe [--json] [--for SECONDS] [--send TEXT] PROGRAM
 */
#include "options.h"
#include "report.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

static constexpr int status_failed = 1;
static constexpr int status_usage = 2;

static std::string
own_path()
{
	char path[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
	if (n <= 0)
		return "";
	path[n] = '\0';
	return path;
}

static bool
wants_colour()
{
	char const *no_colour = getenv("NO_COLOR");
	return isatty(STDOUT_FILENO) && (no_colour == nullptr || *no_colour == '\0');
}

int
main(int argc, char **argv)
{
	std::string error;
	auto options = observe::parse_options(argc, argv, error);
	if (!options) {
		fprintf(stderr, "observe: %s\n%s", error.c_str(), observe::usage);
		return status_usage;
	}
	if (options->help) {
		fputs(observe::usage, stdout);
		return 0;
	}
	char const *path_list = getenv("PATH");
	auto program = observe::find_program(options->watch.program, own_path(), path_list ? path_list : "", error);
	if (!program) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return status_failed;
	}
	options->watch.program = *program;

	std::unique_ptr<observe::Reporter> reporter;
	if (options->json)
		reporter = std::make_unique<observe::JsonReporter>(stdout);
	else
		reporter = std::make_unique<observe::TextReporter>(stdout, wants_colour());
	if (!observe::watch(options->watch, *reporter, error)) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return status_failed;
	}
	return 0;
}
