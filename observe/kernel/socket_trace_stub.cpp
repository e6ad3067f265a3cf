/*
 * The socket trace where observe is built without libtracefs and
 * libtraceevent: it never opens, and says why.
 */
#include "socket_trace.h"

#include "trace.h"

namespace observe::kernel {

struct SocketTrace::State {
};

std::unique_ptr<SocketTrace>
SocketTrace::open(bool, std::string &why)
{
	why = Trace::unavailable();
	return nullptr;
}

SocketTrace::SocketTrace(std::unique_ptr<State> state) : state_(std::move(state)) {}

SocketTrace::~SocketTrace() = default;

int
SocketTrace::fd() const
{
	return -1;
}

void
SocketTrace::take(std::vector<SocketRecord> &)
{
}

long long
SocketTrace::lost() const
{
	return 0;
}

} // namespace observe::kernel
