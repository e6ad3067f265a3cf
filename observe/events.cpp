#include "events.h"

#include <string.h>

namespace observe {

static constexpr char const *state_names[] = {"running", "stopped", "zombie"};

char const *
state_name(State state)
{
	return state_names[static_cast<int>(state)];
}

std::string
signal_name(int sig)
{
	char const *abbrev = sigabbrev_np(sig);
	if (abbrev == nullptr)
		return "signal " + std::to_string(sig);
	return std::string("SIG") + abbrev;
}

} // namespace observe
