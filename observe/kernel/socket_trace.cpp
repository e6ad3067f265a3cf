/*
 * The socket trace reader: its events recorded in the kernel trace's
 * instance, observe-PID, which has no pid filter and wakes its
 * reader on any record; each is decoded here as that reader hands it over.
 * TCP state changes are few, a handful a connection, and each must come in
 * its place among the job's events.
 */
#include "socket_trace.h"

#include "field_number.h"

#include "trace.h"

#include "procfs.h"

#include <event-parse.h>

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace observe::kernel {

namespace {

/* TCP over IPv4 and IPv6 (AF_INET, AF_INET6): the sockets /proc/net/tcp and tcp6 tell of too. */
constexpr char state_filter[] = "(family == 2 || family == 10) && protocol == 6";
/* -EADDRINUSE */
constexpr char bind_filter[] = "ret == -98";
/* CLONE_THREAD; the kernel trace records every task_newtask whole for itself. */
constexpr long clone_thread = 0x10000;
constexpr char thread_filter[] = "clone_flags & 0x10000";

/* An interrupt's flags in a record's common_flags: hard, soft, NMI. */
constexpr long in_interrupt = 0x08 | 0x10 | 0x40;

enum class Kind { state, bind, thread };

struct EventSpec {
	Kind kind;
	char const *system;
	char const *name;
	char const *filter;
};

constexpr EventSpec state_event{Kind::state, "sock", "inet_sock_set_state", state_filter};
constexpr EventSpec bind_event{Kind::bind, "syscalls", "sys_exit_bind", bind_filter};
constexpr EventSpec thread_event{Kind::thread, "task", "task_newtask", thread_filter};

long long
number(tep_event *event, void *data, char const *name)
{
	tep_format_field *field = tep_find_field(event, name);
	return field_number(field != nullptr ? field : tep_find_common_field(event, name), data);
}

/*
 * An address and a port as procfs::endpoint() writes them, so that the
 * trace's ends and /proc's match: an IPv6 socket's from its IPv6 field (an
 * IPv4 peer of a dual-stack one as ::ffff:a.b.c.d, which reads as IPv4),
 * else the IPv4 field, four bytes as on the wire.
 */
std::string
endpoint(tep_event *event, void *data, bool ipv6, char const *address, long long port)
{
	std::string name = std::string(address) + (ipv6 ? "_v6" : "");
	tep_format_field *field = tep_find_field(event, name.c_str());
	if (field == nullptr || static_cast<size_t>(field->size) != (ipv6 ? sizeof(in6_addr) : sizeof(in_addr_t)))
		return "?:" + std::to_string(port);
	char const *bytes = static_cast<char const *>(data) + field->offset;
	in6_addr found;
	if (ipv6) {
		memcpy(&found, bytes, sizeof(found));
	} else {
		in_addr_t ipv4;
		memcpy(&ipv4, bytes, sizeof(ipv4));
		found = procfs::mapped(ipv4);
	}
	return procfs::endpoint(found, static_cast<int>(port));
}

SocketRecord
decode(Kind kind, tep_event *e, void *data, std::int64_t t_ns)
{
	auto pid = static_cast<pid_t>(number(e, data, "common_pid"));
	switch (kind) {
	case Kind::bind:
		return {t_ns, BindInUse{pid}};
	case Kind::thread:
		return {t_ns, ThreadMade{pid, static_cast<pid_t>(number(e, data, "pid"))}};
	case Kind::state:
		break;
	}
	bool ipv6 = number(e, data, "family") == AF_INET6;
	return {t_ns, TcpChange{pid, (number(e, data, "common_flags") & in_interrupt) != 0,
				static_cast<std::uint64_t>(number(e, data, "skaddr")),
				static_cast<int>(number(e, data, "oldstate")),
				static_cast<int>(number(e, data, "newstate")),
				endpoint(e, data, ipv6, "saddr", number(e, data, "sport")),
				endpoint(e, data, ipv6, "daddr", number(e, data, "dport"))}};
}

} // namespace

struct SocketTrace::State {
	Trace &trace;
	int held = -1;	/* an eventfd, readable while records wait in `handed` */
	std::vector<SocketRecord> handed;

	explicit State(Trace &trace) : trace(trace) {}
	~State()
	{
		trace.stop_sharing();
		if (held >= 0)
			close(held);
	}
};

std::unique_ptr<SocketTrace>
SocketTrace::open(Trace &trace, bool failed_binds, std::string &why)
{
	auto state = std::make_unique<State>(trace);
	state->held = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	if (state->held < 0) {
		why = std::string("eventfd: ") + strerror(errno);
		return nullptr;
	}
	for (auto const *spec : {&state_event, &thread_event, &bind_event}) {
		if (spec == &bind_event && !failed_binds)
			continue;
		auto *taker = state.get();
		auto receive = [taker, kind = spec->kind](tep_event *event, void *data, int, std::int64_t t_ns) {
			if (kind == Kind::thread && (number(event, data, "clone_flags") & clone_thread) == 0)
				return;
			taker->handed.push_back(decode(kind, event, data, t_ns));
			std::uint64_t one = 1;
			ssize_t n = write(taker->held, &one, sizeof(one));
			(void)n;	/* a counter already set is as good */
		};
		if (!trace.share(spec->system, spec->name, spec->filter, receive, why))
			return nullptr;
	}
	return std::unique_ptr<SocketTrace>(new SocketTrace(std::move(state)));
}

SocketTrace::SocketTrace(std::unique_ptr<State> state) : state_(std::move(state)) {}

SocketTrace::~SocketTrace() = default;

int
SocketTrace::fd() const
{
	return state_->held;
}

void
SocketTrace::take(std::vector<SocketRecord> &out)
{
	auto first = out.size();
	std::move(state_->handed.begin(), state_->handed.end(), std::back_inserter(out));
	state_->handed.clear();
	std::uint64_t count;
	while (read(state_->held, &count, sizeof(count)) < 0 && errno == EINTR)
		;
	/* Each processor's records are in time order already; a take reads them one processor after another. */
	std::stable_sort(out.begin() + first, out.end(),
			 [](SocketRecord const &a, SocketRecord const &b) { return a.t_ns < b.t_ns; });
}

} // namespace observe::kernel
