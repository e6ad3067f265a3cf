#include "events.h"

namespace observe {

static constexpr char const *state_names[] = {"running", "stopped", "zombie"};
static constexpr char const *reason_names[] = {"orphaned group", "flushed by SIGCONT"};
/* By the kernel's numbers, from 1; each FIN-WAIT as one, as a person needs only that this end closed. */
static constexpr char const *socket_state_names[] = {
	"established", "syn-sent", "syn-received", "fin-wait",  "fin-wait", "time-wait",
	"closed",      "close-wait", "last-ack",   "listening", "closing",  "syn-received",
};

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

} // namespace observe
