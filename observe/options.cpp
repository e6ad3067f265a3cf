#include "options.h"

#include <getopt.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace observe {

char const help_text[] =
	"usage: observe [OPTIONS] [--] COMMAND [ARG...]\n"
	"       observe [OPTIONS] --replay FILE\n"
	"\n"
	"Runs COMMAND as the foreground job of a new terminal, as an interactive\n"
	"shell would, and shows what its processes do as it happens: what the\n"
	"terminal receives, each process appearing, stopping, continuing, being\n"
	"adopted and ending, and the signals among them; then a timeline.\n"
	"COMMAND is a path, or a name looked up beside observe, then in PATH.\n"
	"\n"
	"  --for SECONDS     end the watch after SECONDS (0.1 to 3600, default 12)\n"
	"  --send TEXT       be the greeting server's client: once the job listens on\n"
	"                    127.0.0.1:3456, send TEXT and show the reply; with '' it\n"
	"                    connects and closes its sending side without sending\n"
	"  --json            one JSON object per line instead of text: a recording\n"
	"  --replay FILE     show a recording (FILE, or - for standard input) instead\n"
	"                    of watching a command: no command is run\n"
	"  --html FILE       also draw the watch as a web page, --svg FILE as a\n"
	"                    picture, --trace-event FILE as Chrome trace events\n"
	"  --source=SOURCE   auto (default), kernel (the kernel's trace events: exact\n"
	"                    times and every signal; needs root) or proc (/proc\n"
	"                    sampled every 10 ms)\n"
	"  --ignore SIGNAL   start COMMAND with SIGNAL ignored (INT, SIGINT or 2), as a\n"
	"                    shell without job control starts a background command;\n"
	"                    may be given more than once\n"
	"  --adopting        the job's shell adopts the job's orphans, so the job's\n"
	"                    process group never becomes orphaned\n"
	"  --color=WHEN      auto (default: on a terminal, TERM not dumb, NO_COLOR\n"
	"                    unset), always or never\n"
	"  -h, --help        this text\n"
	"\n"
	"What you type goes to the job's terminal, Ctrl-C and Ctrl-Z included;\n"
	"Ctrl-] ends the watch. When the watch ends observe ends what is left of\n"
	"the job.\n"
	"\n"
	"Exit status: COMMAND's own (128+N where signal N ended it); 124 when the\n"
	"time limit ended it; 128+N when observe was ended by signal N first; 125\n"
	"when observe itself failed; 126 when COMMAND cannot be run; 127 when it\n"
	"is not found.\n";

/* The watch must leave room for a demonstration to be seen, and must end. */
static constexpr double limit_min = 0.1;
static constexpr double limit_max = 3600;

static std::optional<double>
parse_seconds(std::string const &text)
{
	char *end = nullptr;
	double value = strtod(text.c_str(), &end);
	if (text.empty() || *end != '\0' || !std::isfinite(value))
		return std::nullopt;
	return value;
}

std::optional<int>
parse_signal(std::string const &text)
{
	if (text.empty())
		return std::nullopt;
	char *end = nullptr;
	long number = strtol(text.c_str(), &end, 10);
	if (*end == '\0')
		return number > 0 && number < NSIG ? std::optional<int>(static_cast<int>(number)) : std::nullopt;
	std::string name = text.starts_with("SIG") ? text.substr(3) : text;
	for (int sig = 1; sig < NSIG; sig++)
		if (char const *abbrev = sigabbrev_np(sig); abbrev != nullptr && name == abbrev)
			return sig;
	return std::nullopt;
}

/* A choice among words, by the index of the one given. */
template<typename Choice, size_t N>
static std::optional<Choice>
choose(char const *given, char const *const (&words)[N])
{
	for (size_t i = 0; i < N; i++)
		if (strcmp(given, words[i]) == 0)
			return static_cast<Choice>(i);
	return std::nullopt;
}

enum Long { opt_for = 256, opt_send, opt_json, opt_source, opt_ignore, opt_adopting, opt_color, opt_replay, opt_html,
	    opt_svg, opt_trace_event };

static constexpr option long_options[] = {
	{"for", required_argument, nullptr, opt_for},
	{"send", required_argument, nullptr, opt_send},
	{"json", no_argument, nullptr, opt_json},
	{"source", required_argument, nullptr, opt_source},
	{"ignore", required_argument, nullptr, opt_ignore},
	{"adopting", no_argument, nullptr, opt_adopting},
	{"color", required_argument, nullptr, opt_color},
	{"replay", required_argument, nullptr, opt_replay},
	{"html", required_argument, nullptr, opt_html},
	{"svg", required_argument, nullptr, opt_svg},
	{"trace-event", required_argument, nullptr, opt_trace_event},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

static constexpr char const *source_words[] = {"auto", "kernel", "proc"};
static constexpr char const *colour_words[] = {"auto", "always", "never"};

std::optional<Options>
parse_options(int argc, char *const *argv, std::string &error)
{
	Options options;
	/* A fresh scan each time, and the errors are ours to word. */
	optind = 0;
	opterr = 0;
	for (;;) {
		int c = getopt_long(argc, argv, "+:h", long_options, nullptr);
		if (c == -1)
			break;
		std::string value = optarg ? optarg : "";
		std::string given = argv[optind - 1];
		switch (c) {
		case 'h':
			options.help = true;
			return options;
		case opt_for: {
			auto seconds = parse_seconds(value);
			if (!seconds || *seconds < limit_min || *seconds > limit_max) {
				error = "--for takes seconds from 0.1 to 3600, not '" + value + "'";
				return std::nullopt;
			}
			options.watch.limit_seconds = *seconds;
			break;
		}
		case opt_send:
			options.watch.send = value;
			break;
		case opt_json:
			options.json = true;
			break;
		case opt_source:
			if (auto source = choose<SourceChoice>(optarg, source_words)) {
				options.watch.source = *source;
				break;
			}
			error = "--source is auto, kernel or proc, not '" + value + "'";
			return std::nullopt;
		case opt_ignore: {
			auto sig = parse_signal(value);
			if (!sig) {
				error = "--ignore takes a signal (INT, SIGINT or 2), not '" + value + "'";
				return std::nullopt;
			}
			if (*sig == SIGKILL || *sig == SIGSTOP) {
				error = "--ignore: " + value + " cannot be ignored";
				return std::nullopt;
			}
			options.watch.ignored_signals.push_back(*sig);
			break;
		}
		case opt_adopting:
			options.watch.adopting = true;
			break;
		case opt_color:
			if (auto colour = choose<Colour>(optarg, colour_words)) {
				options.colour = *colour;
				break;
			}
			error = "--color is auto, always or never, not '" + value + "'";
			return std::nullopt;
		case opt_replay: options.replay = value; break;
		case opt_html: options.html = value; break;
		case opt_svg: options.svg = value; break;
		case opt_trace_event: options.trace_event = value; break;
		case ':':
			error = given + " needs a value";
			return std::nullopt;
		default:
			error = "unknown option " + (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : given);
			return std::nullopt;
		}
	}
	if (options.replay && optind < argc) {
		error = "--replay shows a recording and runs no command";
		return std::nullopt;
	}
	if (options.replay)
		return options;
	if (optind >= argc) {
		error = "no command to watch";
		return std::nullopt;
	}
	options.watch.argv.assign(argv + optind, argv + argc);
	return options;
}

static bool
exists(std::string const &path, bool &executable)
{
	struct stat info;
	if (stat(path.c_str(), &info) != 0)
		return false;
	executable = S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
	return true;
}

Found
find_command(std::string const &name, std::string const &self, std::string const &path_list)
{
	bool executable = false;
	if (name.find('/') != std::string::npos) {
		if (!exists(name, executable))
			return {std::nullopt, exit_status::not_found, "cannot run " + name + ": no such file"};
		if (!executable)
			return {std::nullopt, exit_status::not_executable, "cannot run " + name + ": not executable"};
		return {name, 0, ""};
	}
	std::vector<std::string> candidates;
	auto slash = self.rfind('/');
	if (slash != std::string::npos)
		candidates.push_back(self.substr(0, slash + 1) + name);
	std::istringstream dirs(path_list);
	for (std::string dir; std::getline(dirs, dir, ':');)
		candidates.push_back((dir.empty() ? "." : dir) + "/" + name);
	std::optional<std::string> unusable;
	for (auto const &candidate : candidates) {
		if (!exists(candidate, executable))
			continue;
		if (executable)
			return {candidate, 0, ""};
		if (!unusable)
			unusable = candidate;
	}
	if (unusable)
		return {std::nullopt, exit_status::not_executable, "cannot run " + *unusable + ": not executable"};
	return {std::nullopt, exit_status::not_found, "cannot run " + name + ": not found in PATH (nor beside observe)"};
}

int
exit_status_of(Outcome const &outcome)
{
	if (outcome.program_status) {
		int status = *outcome.program_status;
		if (WIFSIGNALED(status))
			return exit_status::signal_base + WTERMSIG(status);
		return WEXITSTATUS(status);
	}
	if (outcome.interrupt)
		return exit_status::signal_base + *outcome.interrupt;
	if (outcome.reason == "time limit")
		return exit_status::time_limit;
	return exit_status::failed;
}

} // namespace observe
