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
 *	observe [OPTIONS] [--] COMMAND [ARG...]
 */
#include "options.h"
#include "report/json.h"
#include "report/text.h"
#include "report/timeline.h"
#include "sources/signals.h"
#include "watch.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

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

/* The timeline's width: the terminal's, else COLUMNS, else 80. */
static size_t
output_width()
{
	constexpr size_t fallback = 80;
	winsize size{};
	if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
		return size.ws_col;
	if (char const *columns = getenv("COLUMNS")) {
		char *end;
		long n = strtol(columns, &end, 10);
		if (*columns != '\0' && *end == '\0' && n > 0)
			return static_cast<size_t>(n);
	}
	return fallback;
}

static bool
wants_colour(observe::Colour colour)
{
	if (colour != observe::Colour::automatic)
		return colour == observe::Colour::always;
	auto unset = [](char const *name) {
		char const *value = getenv(name);
		return value == nullptr || *value == '\0';
	};
	char const *term = getenv("TERM");
	return isatty(STDOUT_FILENO) && unset("NO_COLOR") && !(term != nullptr && strcmp(term, "dumb") == 0);
}

/* A number from the environment, where it holds one. */
static std::optional<unsigned long>
number_from(char const *name)
{
	char const *text = getenv(name);
	if (text == nullptr || *text == '\0')
		return std::nullopt;
	char *end;
	unsigned long n = strtoul(text, &end, 10);
	return *end == '\0' ? std::optional<unsigned long>(n) : std::nullopt;
}

/*
 * Root is for tracing alone: run under sudo, observe keeps root for
 * itself and runs the job as the user who asked, with that user's groups.
 */
static void
run_as_the_user(observe::WatchOptions &watch)
{
	auto uid = number_from("SUDO_UID");
	auto gid = number_from("SUDO_GID");
	if (getuid() != 0 || !uid || !gid || *uid == 0)
		return;
	watch.uid = static_cast<uid_t>(*uid);
	watch.gid = static_cast<gid_t>(*gid);
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
	using namespace observe;
	/* Written out a batch of events at a time, terminal or not: see Reporter::flush. */
	static char output[1 << 16];
	setvbuf(stdout, output, _IOFBF, sizeof(output));
	std::string error;
	auto options = parse_options(argc, argv, error);
	if (!options) {
		fprintf(stderr, "observe: %s\nTry 'observe --help'.\n", error.c_str());
		return exit_status::failed;
	}
	if (options->help) {
		fputs(help_text, stdout);
		return 0;
	}
	char const *path_list = getenv("PATH");
	auto found = find_command(options->watch.argv[0], own_path(), path_list ? path_list : "");
	if (!found.path) {
		fprintf(stderr, "observe: %s\n", found.error.c_str());
		return found.status;
	}
	options->watch.argv[0] = *found.path;
	run_as_the_user(options->watch);

	settle_process();
	Reporters reporters;
	if (options->json) {
		reporters.add(std::make_unique<JsonReporter>(stdout));
	} else {
		reporters.add(std::make_unique<TextReporter>(stdout));
		reporters.add(std::make_unique<TimelineReporter>(stdout, wants_colour(options->colour), output_width()));
	}
	int exec_error = 0;
	auto outcome = watch(options->watch, reporters, error, exec_error);
	if (!outcome) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		/* Found, but the exec failed: as the user it runs as, or for want of its interpreter. */
		if (exec_error == ENOENT)
			return exit_status::not_found;
		return exec_error != 0 ? exit_status::not_executable : exit_status::failed;
	}
	return exit_status_of(*outcome);
}
