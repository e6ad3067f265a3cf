#include "events.h"

#include <iterator>

namespace observe {

static constexpr char const *state_names[] = {"running", "stopped", "zombie"};
static constexpr char const *reason_names[] = {"orphaned group", "flushed by SIGCONT"};
/* By the kernel's numbers, from 1. */
static constexpr char const *socket_state_names[] = {
	"established", "syn-sent", "syn-received", "fin-wait-1", "fin-wait-2", "time-wait",
	"closed", "close-wait", "last-ack", "listening", "closing", "syn-received",
};

std::string
base_name(std::string const &path)
{
	auto slash = path.rfind('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

char const *
state_name(State state)
{
	return state_names[static_cast<int>(state)];
}

char const *
reason_name(DiscardReason reason)
{
	return reason_names[static_cast<int>(reason)];
}

char const *
socket_state_name(SocketState state)
{
	return socket_state_names[static_cast<int>(state) - 1];
}

SocketState
socket_state(int kernel_state)
{
	if (kernel_state < 1 || kernel_state > static_cast<int>(std::size(socket_state_names)))
		return SocketState::closed;
	return static_cast<SocketState>(kernel_state);
}

std::optional<SocketState>
socket_state_named(std::string const &name)
{
	/* "syn-received" names two states that are one to a person: the first, the socket's own, is meant. */
	for (size_t n = 1; n <= std::size(socket_state_names); n++)
		if (name == socket_state_names[n - 1])
			return static_cast<SocketState>(n);
	return std::nullopt;
}

} // namespace observe
