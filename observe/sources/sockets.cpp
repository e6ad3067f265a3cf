#include "sockets.h"

#include "address.h"
#include "procfs.h"

#include <arpa/inet.h>

#include <algorithm>

namespace observe {

/* How often the job's sockets are looked at, besides the client's looks at each step. */
static constexpr auto socket_interval = std::chrono::milliseconds(100);

static std::string
endpoint(in_addr_t address, int port)
{
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &address, text, sizeof(text));
	return std::string(text) + ":" + std::to_string(port);
}

/* The kernel's TCP states, in the few words a person needs. */
static char const *
state_words(int state)
{
	switch (state) {
	case procfs::tcp_listen:
		return "listening";
	case procfs::tcp_syn_sent:
	case procfs::tcp_syn_recv:
	case procfs::tcp_established:
		return "established";
	case procfs::tcp_close_wait:
	case procfs::tcp_last_ack:
		return "close-wait";
	case procfs::tcp_fin_wait1:
	case procfs::tcp_fin_wait2:
	case procfs::tcp_closing:
		return "fin-wait";
	case procfs::tcp_time_wait:
		return "time-wait";
	default:
		return "closed";
	}
}

Sockets::Sockets(ProcessTable const &table, EventQueue &events, Stopwatch const &clock)
	: table_(table), events_(events), clock_(clock), next_(clock.next_tick(socket_interval))
{
	/* A connection of an earlier run, waiting out its TIME-WAIT on the
	 * server's port: there before the job, so told at the watch's start. */
	Micros now = 0;
	for (auto const &socket : procfs::tcp_sockets()) {
		if (socket.state != procfs::tcp_time_wait || socket.port != server::listen_port)
			continue;
		Ends ends{endpoint(socket.address, socket.port), endpoint(socket.remote_address, socket.remote_port)};
		Seen seen{"time-wait", std::nullopt, 0, true};
		seen_[ends] = seen;
		report(now, ends, seen, true);
	}
}

void
Sockets::report(Micros t, Ends const &ends, Seen const &seen, bool before)
{
	std::optional<std::string> remote;
	if (!ends.second.empty())
		remote = ends.second;
	events_.push(t, SocketChange{ends.first, remote, seen.state, seen.pid, before});
}

void
Sockets::take()
{
	auto now = Clock::now();
	if (now < next_)
		return;
	next_ = clock_.next_tick(socket_interval);
	look(false);
}

void
Sockets::look(bool changed)
{
	Micros now = clock_.now();

	std::map<unsigned long, pid_t> owners;
	for (pid_t pid : table_.living())
		for (unsigned long inode : procfs::socket_inodes(pid))
			owners.emplace(inode, pid);

	/*
	 * Reading the kernel's TCP table walks all of its hash, which costs
	 * most of a millisecond however few sockets there are: it is read only
	 * while the job holds sockets or has connections on their way to an
	 * end, and once more as they change.
	 */
	bool settling = std::any_of(seen_.begin(), seen_.end(), [](auto const &entry) {
		return entry.second.state != "time-wait" && entry.second.state != "closed";
	});
	if (owners.empty() && !settling && !changed)
		return;
	auto table = procfs::tcp_sockets();
	/* A connection to a port the job listens on is the job's, held by
	 * whoever accepted it or, before the accept and after the close, by nobody. */
	for (auto const &socket : table)
		if (socket.state == procfs::tcp_listen && owners.count(socket.inode))
			listened_.insert(endpoint(socket.address, socket.port));

	std::map<Ends, Seen> current;
	for (auto const &socket : table) {
		bool listener = socket.state == procfs::tcp_listen;
		Ends ends{endpoint(socket.address, socket.port),
			  listener ? "" : endpoint(socket.remote_address, socket.remote_port)};
		auto owner = socket.inode != 0 ? owners.find(socket.inode) : owners.end();
		auto before = seen_.find(ends);
		bool job = owner != owners.end() || (before != seen_.end() && before->second.job) ||
			   (!listener && listened_.count(ends.first));
		if (!job)
			continue;
		std::optional<pid_t> pid;
		if (owner != owners.end())
			pid = owner->second;
		current[ends] = {state_words(socket.state), pid, socket.inode, true};
	}
	for (auto const &[ends, seen] : current) {
		auto before = seen_.find(ends);
		if (before == seen_.end() || before->second.state != seen.state || before->second.pid != seen.pid)
			report(now, ends, seen);
	}
	for (auto const &[ends, seen] : seen_)
		if (!current.count(ends) && seen.state != "closed")
			report(now, ends, {"closed", std::nullopt, 0, true});
	seen_ = std::move(current);
}

} // namespace observe
