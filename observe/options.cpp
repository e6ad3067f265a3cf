#include "options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace observe {

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

std::optional<Options>
parse_options(int argc, char const *const *argv, std::string &error)
{
	Options options;
	std::optional<std::string> program;
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		auto value = [&]() -> std::optional<std::string> {
			if (i + 1 >= argc) {
				error = arg + " needs a value";
				return std::nullopt;
			}
			return std::string(argv[++i]);
		};
		if (arg == "--json") {
			options.json = true;
		} else if (arg == "--help" || arg == "-h") {
			options.help = true;
			return options;
		} else if (arg == "--for") {
			auto text = value();
			if (!text)
				return std::nullopt;
			auto seconds = parse_seconds(*text);
			if (!seconds || *seconds < limit_min || *seconds > limit_max) {
				error = "--for takes seconds from 0.1 to 3600, not '" + *text + "'";
				return std::nullopt;
			}
			options.watch.limit_seconds = *seconds;
		} else if (arg == "--send") {
			auto text = value();
			if (!text)
				return std::nullopt;
			options.watch.send = *text;
		} else if (arg.starts_with("-") && arg != "-") {
			error = "unknown option " + arg;
			return std::nullopt;
		} else if (program) {
			error = "one program only, not also '" + arg + "'";
			return std::nullopt;
		} else {
			program = arg;
		}
	}
	if (!program) {
		error = "no program to watch";
		return std::nullopt;
	}
	options.watch.argv = {*program};
	return options;
}

static bool
is_executable_file(std::string const &path)
{
	struct stat info;
	return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::optional<std::string>
find_program(std::string const &name, std::string const &self, std::string const &path_list, std::string &error)
{
	if (name.find('/') != std::string::npos) {
		if (is_executable_file(name))
			return name;
		error = "cannot run " + name + ": not an executable file";
		return std::nullopt;
	}
	auto slash = self.rfind('/');
	if (slash != std::string::npos) {
		std::string beside = self.substr(0, slash + 1) + name;
		if (is_executable_file(beside))
			return beside;
	}
	std::istringstream dirs(path_list);
	for (std::string dir; std::getline(dirs, dir, ':');) {
		std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
		if (is_executable_file(candidate))
			return candidate;
	}
	error = "cannot find program '" + name + "' beside observe or in PATH";
	return std::nullopt;
}

} // namespace observe
