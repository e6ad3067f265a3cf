/*
 * observe - watch a demonstration's processes as it runs.
 *
 * The demonstrations print only their own texts; what they are about
 * happens out of sight: a worker stopped, a child ended but not collected,
 * an orphan adopted, a signal ending a process. observe runs a program as
 * the foreground job of a fresh terminal session, as an interactive shell
 * would, and shows, as it happens, what the terminal receives and every
 * process of the job appearing, changing state, being adopted and ending.
 * The job's terminal is as script(1) gives one: of observe's size and
 * following it, with what is typed or piped in. At the end observe ends
 * whatever is left, collects it, and draws a timeline.
 *
 *	observe [OPTIONS] [--] COMMAND [ARG...]
 *	observe [OPTIONS] --replay FILE
 */
#include "options.h"
#include "replay.h"
#include "report/html.h"
#include "report/json.h"
#include "report/svg.h"
#include "report/text.h"
#include "report/timeline.h"
#include "sources/keyboard.h"
#include "report/trace_event.h"
#include "sources/signals.h"
#include "watch.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

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

/* observe's terminal takes escape sequences: the job's colours and cursor moves can pass. */
static bool
takes_escapes()
{
	char const *term = getenv("TERM");
	return term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
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
 * itself and runs the job and its shell as the user who asked, with that
 * user's groups and account.
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
	for (int sig : observe::screen_signals)
		sigaddset(&blocked, sig);
	sigaddset(&blocked, observe::child_signal);
	sigprocmask(SIG_BLOCK, &blocked, nullptr);
	signal(SIGPIPE, SIG_IGN);
}

/* A drawing asked for, into its file: opened before anything is watched,
 * so that one that cannot be written stops nothing half done. */
template<typename Kind>
static bool
add_drawing(std::optional<std::string> const &path, observe::Reporters &reporters,
	    std::vector<observe::Drawing const *> &drawings, std::string &error)
{
	if (!path)
		return true;
	FILE *out = fopen(path->c_str(), "w");
	if (out == nullptr) {
		error = "cannot write " + *path + ": " + strerror(errno);
		return false;
	}
	auto drawing = std::make_unique<Kind>(out, *path);
	drawings.push_back(drawing.get());
	reporters.add(std::move(drawing));
	return true;
}

/* The reports asked for: text and timeline, or JSON; and the drawings. */
static bool
add_reporters(observe::Options const &options, observe::Screen const &screen, observe::Reporters &reporters,
	      std::vector<observe::Drawing const *> &drawings, std::string &error)
{
	using namespace observe;
	if (options.json) {
		reporters.add(std::make_unique<JsonReporter>(stdout));
	} else {
		bool colour = wants_colour(options.colour);
		TextStyle style{&screen, colour && takes_escapes(), Keyboard::keys_available()};
		reporters.add(std::make_unique<TextReporter>(stdout, style));
		reporters.add(std::make_unique<TimelineReporter>(stdout, colour, screen));
	}
	return add_drawing<HtmlReporter>(options.html, reporters, drawings, error) &&
	       add_drawing<SvgReporter>(options.svg, reporters, drawings, error) &&
	       add_drawing<TraceEventReporter>(options.trace_event, reporters, drawings, error);
}

/* The status once everything is reported: a drawing that could not be written is observe's failure. */
static int
drawn(std::vector<observe::Drawing const *> const &drawings, int status)
{
	for (auto const *drawing : drawings)
		if (!drawing->error().empty()) {
			fprintf(stderr, "observe: %s\n", drawing->error().c_str());
			status = observe::exit_status::failed;
		}
	return status;
}

/* A recording, whole: from a file, or "-" for standard input. */
static std::optional<std::string>
read_recording_file(std::string const &path, std::string &error)
{
	constexpr size_t most = 64 << 20;
	FILE *in = path == "-" ? stdin : fopen(path.c_str(), "r");
	if (in == nullptr) {
		error = "cannot read " + path + ": " + strerror(errno);
		return std::nullopt;
	}
	std::string text;
	char chunk[1 << 16];
	size_t n;
	while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0 && text.size() <= most)
		text.append(chunk, n);
	bool failed = ferror(in) != 0;
	if (in != stdin)
		fclose(in);
	if (failed || text.size() > most) {
		error = path + (failed ? ": cannot be read" : ": larger than any recording of a watch");
		return std::nullopt;
	}
	return text;
}

static int
replay_recording(observe::Options const &options)
{
	using namespace observe;
	std::string error;
	auto text = read_recording_file(*options.replay, error);
	auto recording = text ? read_recording(*text, error) : std::nullopt;
	if (!recording) {
		fprintf(stderr, "observe: %s%s\n", text ? (*options.replay + ": not a recording observe can show: ").c_str() : "",
			error.c_str());
		return exit_status::failed;
	}
	Screen screen;
	Reporters reporters;
	std::vector<Drawing const *> drawings;
	if (!add_reporters(options, screen, reporters, drawings, error)) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return exit_status::failed;
	}
	replay(*recording, reporters);
	return drawn(drawings, 0);
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
	if (options->version) {
		printf("observe %s\n", OBSERVE_VERSION);
		return 0;
	}
	if (options->replay)
		return replay_recording(*options);
	char const *path_list = getenv("PATH");
	auto found = find_command(options->watch.argv[0], own_path(), path_list ? path_list : "");
	if (!found.path) {
		fprintf(stderr, "observe: %s\n", found.error.c_str());
		return found.status;
	}
	options->watch.argv[0] = *found.path;
	run_as_the_user(options->watch);

	settle_process();
	Screen screen;
	options->watch.screen = &screen;
	Reporters reporters;
	std::vector<Drawing const *> drawings;
	if (!add_reporters(*options, screen, reporters, drawings, error)) {
		fprintf(stderr, "observe: %s\n", error.c_str());
		return exit_status::failed;
	}
	int exec_error = 0;
	auto outcome = watch(options->watch, reporters, error, exec_error);
	if (!outcome) {
		if (exec_error != 0)
			error = exec_words(options->watch.argv[0], exec_error);
		fprintf(stderr, "observe: %s\n", error.c_str());
		/* Found, but the exec failed: as the user it runs as, or for want of its interpreter. */
		return exec_error != 0 ? exec_exit_status(options->watch.argv[0], exec_error) : exit_status::failed;
	}
	return drawn(drawings, exit_status_of(*outcome));
}
