#include "options.h"

#include <getopt.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
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
	"  --for SECONDS     end the watch after SECONDS, a decimal number; 0 or inf\n"
	"                    (the default) for no limit\n"
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
	"  --version         observe's version\n"
	"\n"
	"The watch ends when every process of the job has ended, at --for, or\n"
	"when you end it. What you type goes to the job's terminal, Ctrl-C and\n"
	"Ctrl-Z included; Ctrl-] ends the watch, and Enter continues a job that\n"
	"Ctrl-Z stopped. Standard input that is not a terminal goes to the job's\n"
	"terminal, then an end of file. When the watch ends observe ends what is\n"
	"left of the job.\n"
	"\n"
	"Exit status: COMMAND's own (128+N where signal N ended it); 124 when the\n"
	"time limit ended it; 128+N when observe was ended by signal N first; 125\n"
	"when observe itself failed; 126 when COMMAND cannot be run; 127 when it\n"
	"is not found.\n";

/* Seconds as a person writes them: digits, a fraction, an exponent; "inf"
 * for none. Not strtod's hexadecimal, nor a sign: a limit is never negative. */
static std::optional<double>
parse_seconds(std::string const &text)
{
	if (text == "inf" || text == "infinity")
		return 0;
	size_t digits = text.find_first_not_of("0123456789.eE+-");
	if (text.empty() || digits != std::string::npos || !isdigit(static_cast<unsigned char>(text.back())) ||
	    !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
		return std::nullopt;
	char *end = nullptr;
	double value = strtod(text.c_str(), &end);
	if (*end != '\0' || !std::isfinite(value) || value < 0)
		return std::nullopt;
	/* Past a hundred years, a limit is none. */
	return value > 3.2e9 ? 0 : value;
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

enum Long { opt_for = 256, opt_send, opt_json, opt_source, opt_ignore, opt_adopting, opt_color, opt_version, opt_replay,
	    opt_html, opt_svg, opt_trace_event };

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
	{"version", no_argument, nullptr, opt_version},
	{nullptr, 0, nullptr, 0},
};

static constexpr char const *source_words[] = {"auto", "kernel", "proc"};
static constexpr char const *colour_words[] = {"auto", "always", "never"};

/* What was wrong with an option getopt refused: `given` is the word it was
 * in, `code` its optopt. A long option that takes no value has its own code. */
static std::string
unknown(std::string const &given, int code)
{
	size_t equals = given.find('=');
	if (code != 0 && given.starts_with("--") && equals != std::string::npos)
		return given.substr(0, equals) + " takes no value, not '" + given.substr(equals + 1) + "'";
	if (code != 0 && code < opt_for)
		return std::string("unknown option -") + static_cast<char>(code);
	return "unknown option " + given.substr(0, given.find('='));
}

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
			if (!seconds) {
				error = "--for takes seconds as a decimal number (0 or inf for no limit), not '" + value + "'";
				return std::nullopt;
			}
			options.watch.limit_seconds = *seconds;
			break;
		}
		case opt_version:
			options.version = true;
			return options;
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
			error = unknown(given, optopt);
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
	if (argv[optind][0] == '\0') {
		error = "the command is empty";
		return std::nullopt;
	}
	options.watch.argv.assign(argv + optind, argv + argc);
	return options;
}

/* Whether `path` exists; if so, what keeps it from being run, or "" for nothing. */
static bool
exists(std::string const &path, std::string &unusable)
{
	struct stat info;
	if (stat(path.c_str(), &info) != 0)
		return false;
	if (S_ISDIR(info.st_mode))
		unusable = "is a directory";
	else if (!S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0)
		unusable = "not executable";
	else
		unusable = "";
	return true;
}

Found
find_command(std::string const &name, std::string const &self, std::string const &path_list)
{
	std::string why;
	if (name.find('/') != std::string::npos) {
		if (!exists(name, why))
			return {std::nullopt, exit_status::not_found, "cannot run " + name + ": no such file"};
		if (!why.empty())
			return {std::nullopt, exit_status::not_executable, "cannot run " + name + ": " + why};
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
		if (!exists(candidate, why))
			continue;
		if (why.empty())
			return {candidate, 0, ""};
		if (!unusable)
			unusable = "cannot run " + candidate + ": " + why;
	}
	if (unusable)
		return {std::nullopt, exit_status::not_executable, *unusable};
	return {std::nullopt, exit_status::not_found, "cannot run " + name + ": not found in PATH (nor beside observe)"};
}

/* The interpreter a script names on its first line, if it names one. */
static std::optional<std::string>
interpreter_of(std::string const &path)
{
	FILE *file = fopen(path.c_str(), "re");
	if (file == nullptr)
		return std::nullopt;
	char line[256] = "";
	bool read = fgets(line, sizeof(line), file) != nullptr;
	fclose(file);
	if (!read || strncmp(line, "#!", 2) != 0)
		return std::nullopt;
	std::string rest = line + 2;
	size_t start = rest.find_first_not_of(" \t");
	if (start == std::string::npos)
		return std::nullopt;
	size_t end = rest.find_first_of(" \t\r\n", start);
	return rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string
exec_words(std::string const &path, int error)
{
	std::string what = "cannot run " + path + ": ";
	switch (error) {
	case ENOENT:
		if (auto interpreter = interpreter_of(path))
			return what + "its interpreter " + *interpreter + " is not found";
		return what + "no such file";
	case EACCES:
		return what + "permission denied";
	case ENOEXEC:
		return what + "not a program this system can run";
	case EISDIR:
		return what + "is a directory";
	}
	std::string words = strerror(error);
	if (!words.empty())
		words[0] = static_cast<char>(tolower(static_cast<unsigned char>(words[0])));
	return what + words;
}

int
exec_exit_status(std::string const &path, int error)
{
	/* The command is there; what is missing is its interpreter, as a shell counts it. */
	if (error == ENOENT && !interpreter_of(path))
		return exit_status::not_found;
	return exit_status::not_executable;
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
	if (outcome.reason == EndReason::time_limit)
		return exit_status::time_limit;
	return exit_status::failed;
}

} // namespace observe
