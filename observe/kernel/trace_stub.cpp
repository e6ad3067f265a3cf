/*
 * The kernel trace reader where observe is built without libtracefs and
 * libtraceevent: it never opens, and says why.
 */
#include "trace.h"

#include <unistd.h>

namespace observe::kernel {

struct Trace::State {
};

std::string
instance_name()
{
	return "observe-" + std::to_string(getpid());
}

std::string
Trace::unavailable()
{
	return "observe was built without libtracefs and libtraceevent";
}

std::unique_ptr<Trace>
Trace::open(std::vector<pid_t> const &, std::string &why)
{
	why = unavailable();
	return nullptr;
}

Trace::Trace(std::unique_ptr<State> state) : state_(std::move(state)) {}

Trace::~Trace() = default;

int
Trace::fd() const
{
	return -1;
}

void
Trace::take(std::vector<Record> &)
{
}

long long
Trace::lost() const
{
	return 0;
}

std::vector<Loss>
Trace::losses()
{
	return {};
}

bool
Trace::share(char const *, char const *, char const *, Receiver, std::string &why)
{
	why = unavailable();
	return false;
}

void
Trace::stop_sharing()
{
}

} // namespace observe::kernel
