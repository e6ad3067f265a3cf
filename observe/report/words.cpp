#include "words.h"

#include <sys/wait.h>

#include <cstdio>

namespace observe {

std::string
end_words(std::optional<int> wait_status, bool by_observe)
{
	if (!wait_status)
		return "status unknown";
	if (WIFSIGNALED(*wait_status))
		return signal_name(WTERMSIG(*wait_status)) + (by_observe ? " (ended by observe)" : "");
	return "exit " + std::to_string(WEXITSTATUS(*wait_status));
}

std::string
who(pid_t pid, ProcessTable const &table)
{
	std::string number = std::to_string(pid);
	if (pid == table.observer())
		return number + " (observe)";
	if (pid == table.shell())
		return number + " (the shell)";
	if (Process const *p = table.find(pid))
		return number + " (" + p->place + ")";
	return number;
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

std::string
printable(std::string const &bytes)
{
	std::string out;
	for (unsigned char c : bytes) {
		if ((c >= 0x20 && c < 0x7F) || c == '\t') {
			out += static_cast<char>(c);
		} else {
			char escape[8];
			snprintf(escape, sizeof(escape), c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\x%02x", c);
			out += escape;
		}
	}
	return out;
}

} // namespace observe
