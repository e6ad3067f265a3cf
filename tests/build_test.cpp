/*
 * What every demonstration program is made of: the C library alone, and
 * none of the calls that would change what its output shows (an explicit
 * flush, a buffering change, standard error, the heap, threads).
 */
#include "process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

namespace {

std::vector<std::string>
programs()
{
	std::vector<std::string> names;
	std::istringstream list(DEMO_PROGRAM_NAMES);
	for (std::string name; std::getline(list, name, ',');)
		names.push_back(name);
	return names;
}

std::vector<std::string>
command_lines(std::string const &command)
{
	std::vector<std::string> lines;
	FILE *pipe = popen(command.c_str(), "r");
	if (pipe == nullptr)
		return lines;
	char line[1024];
	while (fgets(line, sizeof(line), pipe) != nullptr)
		lines.emplace_back(line);
	pclose(pipe);
	return lines;
}

class Program : public ::testing::TestWithParam<std::string> {};

TEST_P(Program, LinksTheCLibraryAlone)
{
	std::set<std::string> needed;
	for (auto const &line : command_lines("readelf -d " + harness::program(GetParam()))) {
		auto open = line.find("Shared library: [");
		if (open != std::string::npos)
			needed.insert(line.substr(open + 17, line.find(']') - open - 17));
	}
	EXPECT_EQ(needed, std::set<std::string>{"libc.so.6"});
}

TEST_P(Program, CallsNothingThatChangesItsOutput)
{
	static std::set<std::string> const forbidden{
		"fflush", "setvbuf", "setbuf", "setlinebuf", "setbuffer", "stderr", "fprintf",
		"fputs", "fputc", "putc", "putchar", "vprintf", "fwrite", "write", "malloc", "calloc",
		"realloc", "_Znwm", "_Znam", "pthread_create", "signal", "sigaction"};
	auto undefined = command_lines("nm -D --undefined-only " + harness::program(GetParam()));
	ASSERT_FALSE(undefined.empty());
	for (auto const &line : undefined) {
		std::istringstream fields(line);
		std::string kind, symbol;
		fields >> kind >> symbol;
		symbol = symbol.substr(0, symbol.find('@'));
		EXPECT_EQ(forbidden.count(symbol), 0u) << GetParam() << " uses " << symbol;
	}
}

INSTANTIATE_TEST_SUITE_P(All, Program, ::testing::ValuesIn(programs()),
			 [](auto const &info) {
				 std::string name = info.param;
				 for (char &c : name)
					 if (c == '-')
						 c = '_';
				 return name;
			 });

} // namespace
