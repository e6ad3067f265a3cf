#include "words.h"

#include <sys/wait.h>

#include <cstdio>
#include <iterator>

namespace observe {

std::string
end_words(std::optional<int> wait_status, bool by_observe)
{
	if (!wait_status)
		return "status unknown";
	if (WIFSIGNALED(*wait_status))
		return signal_name(WTERMSIG(*wait_status)) + (WCOREDUMP(*wait_status) ? " (core dumped)" : "") +
		       (by_observe ? " (ended by observe)" : "");
	return "exit " + std::to_string(WEXITSTATUS(*wait_status));
}

std::string
group_words(pid_t group)
{
	if (group == 0)
		return "its own process group";
	if (group == -1)
		return "every process it may signal";
	return "process group " + std::to_string(-group);
}

int
generation(Place const &place)
{
	return place.root == Place::Root::program ? static_cast<int>(place.lineage.size()) : 0;
}

std::string
short_place(Place const &place)
{
	constexpr char const *prefixes[] = {"", "", "grand", "great-grand"};
	int depth = generation(place);
	if (depth == 0)
		return place_name(place);
	if (depth >= static_cast<int>(std::size(prefixes)))
		return "";
	/* Said by the last step of its line alone: "grandchild 2". */
	return prefixes[depth] + place_name(Place{Place::Root::program, {place.lineage.back()}});
}

std::string
who(pid_t pid, Story const &story)
{
	std::string number = std::to_string(pid);
	if (pid == story.observer())
		return "observe " + number;
	if (pid == story.shell())
		return "jobshell " + number + " (the job's shell)";
	Told const *p = story.find(pid);
	if (p == nullptr)
		return number;
	std::string place = short_place(p->place);
	return p->name + " " + number + (place.empty() ? "" : " (" + place + ")");
}

std::string
held_words(std::string const &bytes, size_t most)
{
	std::string count = std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
	if (bytes.size() <= most)
		return count + " \"" + printable(bytes) + "\"";
	size_t half = most / 2;
	return count + " \"" + printable(bytes.substr(0, half)) + "..." + printable(bytes.substr(bytes.size() - half)) +
	       "\"";
}

void
append_printable(std::string &out, std::string_view bytes)
{
	auto plain = [](unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\t'; };
	for (size_t at = 0; at < bytes.size();) {
		/* Runs of plain text go in whole: a job's output is mostly that. */
		size_t run = at;
		while (run < bytes.size() && plain(static_cast<unsigned char>(bytes[run])))
			run++;
		out.append(bytes, at, run - at);
		if (run == bytes.size())
			break;
		unsigned char c = static_cast<unsigned char>(bytes[run]);
		char escape[8];
		snprintf(escape, sizeof(escape), c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\x%02x", c);
		out += escape;
		at = run + 1;
	}
}

std::string
printable(std::string_view bytes)
{
	std::string out;
	append_printable(out, bytes);
	return out;
}

} // namespace observe
