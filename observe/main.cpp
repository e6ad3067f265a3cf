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
#include "report/json.h"
#include "report/text.h"
#include "report/timeline.h"
#include "sources/signals.h"
#include "watch.h"

#include <signal.h>
#include <sys/prctl.h>
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

/*
 * What holds for the whole of observe: the job's orphans come here, as they
 * would come to init, so that they can be watched, ended and collected; the
 * signals it reads from descriptors wait blocked until it takes them; and a
 * client whose server has gone is told so by an error, not killed.
 */
static void
settle_process()
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	sigset_t blocked;
	sigemptyset(&blocked);
	for (int sig : observe::interrupt_signals)
		sigaddset(&blocked, sig);
	sigaddset(&blocked, observe::child_signal);
	sigprocmask(SIG_BLOCK, &blocked, nullptr);
	signal(SIGPIPE, SIG_IGN);
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
	auto program = observe::find_program(options->watch.argv[0], own_path(), path_list ? path_list : "", error);
	if (!program) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return status_failed;
	}
	options->watch.argv[0] = *program;

	settle_process();
	observe::Reporters reporters;
	if (options->json) {
		reporters.add(std::make_unique<observe::JsonReporter>(stdout));
	} else {
		reporters.add(std::make_unique<observe::TextReporter>(stdout));
		reporters.add(std::make_unique<observe::TimelineReporter>(stdout, wants_colour()));
	}
	if (!observe::watch(options->watch, reporters, error)) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return status_failed;
	}
	return 0;
}
