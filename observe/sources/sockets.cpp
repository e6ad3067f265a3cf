#include "sockets.h"

#include "address.h"
#include "procfs.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

namespace observe {

/* How often the job's sockets are looked at, besides the client's looks at each step. */
static constexpr auto socket_interval = std::chrono::milliseconds(100);
/*
 * How old a trace record is before it is sorted out: by then the kernel
 * source has told the table of the fork that made the process it names.
 * Well within the time the watch holds events back before reporting them.
 */
static constexpr auto record_age = std::chrono::milliseconds(5);

/* A socket's two ends as the reports write them: local, and remote. */
static std::pair<std::string, std::string>
ends_of(procfs::TcpSocket const &socket)
{
	return {procfs::endpoint(socket.address, socket.port), procfs::endpoint(socket.remote_address, socket.remote_port)};
}

static std::string
port_of(std::string const &endpoint)
{
	return endpoint.substr(endpoint.rfind(':') + 1);
}

/*
 * Whether a listener at `at` takes connections to the local end `local`:
 * one on that address, or on any address of its family. One on any IPv6
 * address takes IPv4 connections too, unless it was made IPv6 only, which
 * neither the trace nor /proc says; no IPv4 connection comes to it then.
 */
static bool
listener_takes(std::string const &at, std::string const &local)
{
	auto port = port_of(local);
	return at == local || at == "[::]:" + port || (!local.starts_with("[") && at == "0.0.0.0:" + port);
}

/*
 * The connections of this network namespace (observe's, which is the
 * job's) that a closed socket has handed over to the kernel's small
 * stand-in, which the trace does not show: in TIME-WAIT, or still in
 * FIN-WAIT-2 where nobody held the socket any more when the other end
 * took its close. By their ends.
 */
static std::map<std::pair<std::string, std::string>, SocketState>
stand_ins_now()
{
	std::map<std::pair<std::string, std::string>, SocketState> found;
	for (auto const &socket : procfs::tcp_sockets())
		if (socket.inode == 0 && (socket.state == procfs::tcp_time_wait || socket.state == procfs::tcp_fin_wait2))
			found.emplace(ends_of(socket), socket_state(socket.state));
	return found;
}

/* The network namespace of a process, by its inode; 0 where it cannot be read (it is gone). */
static ino_t
network_of(char const *pid)
{
	struct stat ns;
	return stat((std::string("/proc/") + pid + "/ns/net").c_str(), &ns) == 0 ? ns.st_ino : 0;
}

Sockets::Sockets(ProcessTable const &table, EventQueue &events, Stopwatch const &clock, kernel::Trace *kernel)
	: table_(table), events_(events), clock_(clock), next_(clock.next_tick(socket_interval))
{
	/* An earlier run's TIME-WAIT at the server's port: the tables are read only where the counters have one. */
	if (procfs::tcp_time_waits() > 0)
		for (auto const &[ends, state] : stand_ins_now())
			if (state == SocketState::time_wait && port_of(ends.first) == std::to_string(server::listen_port))
				leftovers_.push_back(ends);
	if (kernel == nullptr)
		return;
	network_ = network_of("self");
	/* Where it cannot be had, the sockets are sampled, as with the /proc source. */
	std::string why;
	trace_ = kernel::SocketTrace::open(*kernel, !leftovers_.empty(), why);
}

std::optional<Clock::time_point>
Sockets::due() const
{
	if (!trace_)
		return next_;
	/* The trace tells of each change; looks are due only for what it cannot
	 * show: whose an arriving connection is, and the stand-ins' changes. */
	std::optional<Clock::time_point> due;
	if (!arriving_.empty() || !stand_ins_.empty())
		due = next_;
	if (!waiting_.empty()) {
		auto first = Clock::time_point(std::chrono::nanoseconds(waiting_.front().t_ns)) + record_age;
		due = due ? std::min(first, *due) : first;
	}
	return due;
}

void
Sockets::report(Micros t, Ends const &ends, SocketState state, std::optional<pid_t> pid, bool before, bool reset)
{
	std::optional<std::string> remote;
	if (!ends.second.empty())
		remote = ends.second;
	events_.push(t, SocketChange{ends.first, remote, state, pid, before, reset});
}

/* The earlier run's TIME-WAIT that explains what the job ran into, if it is still there. */
void
Sockets::tell_leftovers(Micros t)
{
	if (leftovers_told_)
		return;
	leftovers_told_ = true;
	auto now = stand_ins_now();
	for (auto const &ends : leftovers_) {
		if (!now.count(ends))
			continue;
		report(t, ends, SocketState::time_wait, std::nullopt, true);
		/* Followed to its end from here. */
		if (trace_)
			stand_ins_[ends] = SocketState::time_wait;
		else
			seen_[ends] = {SocketState::time_wait, std::nullopt, true};
	}
}

void
Sockets::take()
{
	if (trace_)
		take_trace(false);
	if (Clock::now() < next_)
		return;
	next_ = clock_.next_tick(socket_interval);
	if (trace_) {
		settle_arriving();
		follow_stand_ins();
	} else {
		sample(false);
	}
}

void
Sockets::look(bool changed)
{
	if (trace_)
		take_trace(false);
	else
		sample(changed);
}

void
Sockets::finish()
{
	if (trace_)
		take_trace(true);
	else
		sample(true);
}

Micros
Sockets::micros(std::int64_t t_ns) const
{
	auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.start().time_since_epoch());
	return (t_ns - start.count()) / 1000;
}

/* ---- Without the trace: samples of /proc ---- */

void
Sockets::sample(bool changed)
{
	Micros now = clock_.now();

	std::map<unsigned long, pid_t> owners;
	for (pid_t pid : table_.living())
		for (unsigned long inode : procfs::socket_inodes(pid))
			owners.emplace(inode, pid);

	/* A program that failed without ever listening where an earlier run's
	 * TIME-WAIT is: most likely its bind, which /proc cannot show. */
	Process const *program = table_.all().empty() ? nullptr : &table_.all().front();
	if (!leftovers_.empty() && !leftovers_told_ && program != nullptr && program->ended() &&
	    program->wait_status && WIFEXITED(*program->wait_status) && WEXITSTATUS(*program->wait_status) != 0 &&
	    std::none_of(leftovers_.begin(), leftovers_.end(),
			 [&](Ends const &ends) { return listened_.count(ends.first) != 0; }))
		tell_leftovers(*program->ended_at);

	/*
	 * Reading the kernel's TCP table walks all of its hash, which costs
	 * most of a millisecond however few sockets there are: it is read only
	 * while the job holds sockets or has connections on their way to an
	 * end, and once more as they change.
	 */
	bool settling = std::any_of(seen_.begin(), seen_.end(), [](auto const &entry) {
		return entry.second.state != SocketState::time_wait && entry.second.state != SocketState::closed;
	});
	if (owners.empty() && !settling && !changed)
		return;
	auto table = procfs::tcp_sockets();
	/* A connection to a port the job listens on is the job's, held by
	 * whoever accepted it or, before the accept and after the close, by nobody. */
	for (auto const &socket : table)
		if (socket.state == procfs::tcp_listen && owners.count(socket.inode))
			listened_.insert(procfs::endpoint(socket.address, socket.port));

	std::map<Ends, Seen> current;
	for (auto const &socket : table) {
		bool listener = socket.state == procfs::tcp_listen;
		Ends ends = ends_of(socket);
		if (listener)
			ends.second.clear();
		auto owner = socket.inode != 0 ? owners.find(socket.inode) : owners.end();
		auto before = seen_.find(ends);
		bool job = owner != owners.end() || (before != seen_.end() && before->second.job) ||
			   (!listener && std::any_of(listened_.begin(), listened_.end(),
						     [&](auto const &at) { return listener_takes(at, ends.first); }));
		if (!job)
			continue;
		std::optional<pid_t> pid;
		if (owner != owners.end())
			pid = owner->second;
		current[ends] = {socket_state(socket.state), pid, true};
	}
	for (auto const &[ends, seen] : current) {
		auto before = seen_.find(ends);
		if (before == seen_.end() || before->second.state != seen.state || before->second.pid != seen.pid)
			report(now, ends, seen.state, seen.pid);
	}
	for (auto const &[ends, seen] : seen_)
		if (!current.count(ends) && seen.state != SocketState::closed)
			report(now, ends, SocketState::closed, std::nullopt);
	seen_ = std::move(current);
}

/* ---- With the trace ---- */

/* `all`: the watch is ending, and nothing more will come of waiting. */
void
Sockets::take_trace(bool all)
{
	auto read = waiting_.size();
	trace_->take(waiting_);
	/* A connecting thread may be gone by the time its record is sorted out, and its namespace with it. */
	for (auto record = waiting_.begin() + read; record != waiting_.end(); ++record)
		if (auto const *change = std::get_if<kernel::TcpChange>(&record->what);
		    change != nullptr && change->new_state == procfs::tcp_syn_sent && !change->interrupt)
			networks_[change->socket] = network_of(std::to_string(change->pid).c_str());
	std::stable_sort(waiting_.begin(), waiting_.end(),
			 [](auto const &a, auto const &b) { return a.t_ns < b.t_ns; });
	auto horizon = std::chrono::duration_cast<std::chrono::nanoseconds>(
			       (Clock::now() - record_age).time_since_epoch())
			       .count();
	auto young = all ? waiting_.end() : std::find_if(waiting_.begin(), waiting_.end(), [&](auto const &r) {
		return r.t_ns > horizon;
	});
	for (auto record = waiting_.begin(); record != young; ++record) {
		Micros t = micros(record->t_ns);
		if (auto const *state = std::get_if<kernel::TcpChange>(&record->what)) {
			sort_out(record->t_ns, *state);
			networks_.erase(state->socket);
		} else if (auto const *bind = std::get_if<kernel::BindInUse>(&record->what)) {
			if (job_process(bind->pid, t))
				tell_leftovers(t);
		} else {
			auto const &made = std::get<kernel::ThreadMade>(record->what);
			if (auto process = job_process(made.creator, t))
				threads_[made.thread] = *process;
		}
	}
	waiting_.erase(waiting_.begin(), young);
}

/*
 * The process of the job whose thread made a change, if it is one: not
 * always its first thread. Not one that had ended by `t`, whose pid may
 * be another's now.
 */
std::optional<pid_t>
Sockets::job_process(pid_t thread, Micros t) const
{
	Process const *process = table_.find(thread);
	if (auto made = threads_.find(thread); process == nullptr && made != threads_.end())
		process = table_.find(made->second);
	if (process == nullptr || (process->ended_at && *process->ended_at < t))
		return std::nullopt;
	return process->pid;
}

/* Whether a listener of the job takes connections to this local end. */
bool
Sockets::listens(std::string const &local) const
{
	return std::any_of(known_.begin(), known_.end(), [&](auto const &entry) {
		return entry.second.state == SocketState::listening && listener_takes(entry.second.ends.first, local);
	});
}

/* A connection to an end where the job listens, from a process outside the job. */
void
Sockets::note_connecting(kernel::TcpChange const &record)
{
	if (record.new_state == procfs::tcp_syn_sent && !record.interrupt && listens(record.remote)) {
		auto network = networks_.find(record.socket);
		Connecting connecting{record.pid, std::nullopt};
		if (network != networks_.end() && network->second != 0)
			connecting.here = network->second == network_;
		connecting_[record.socket] = connecting;
		return;
	}
	auto connecting = connecting_.find(record.socket);
	if (connecting == connecting_.end() || record.old_state != procfs::tcp_syn_sent)
		return;
	if (record.new_state == procfs::tcp_established)
		connected_.emplace(Ends{record.local, record.remote}, connecting->second);
	connecting_.erase(connecting);
}

/*
 * Whether the other end of a new connection, made in the interrupt that
 * ran in `thread`, is in the job's network namespace; nothing where unknown.
 * Where two namespaces connect from the same ends at once, the connecting
 * thread tells them apart: on the loopback the connection is completed in
 * the interrupt that its own last packet raised, in its own context.
 */
std::optional<bool>
Sockets::peer_here(Ends const &ends, pid_t thread)
{
	Ends peer{ends.second, ends.first};
	std::vector<std::pair<Connecting, std::multimap<Ends, Connecting>::iterator>> candidates;
	auto [first, last] = connected_.equal_range(peer);
	for (auto connected = first; connected != last; ++connected)
		candidates.emplace_back(connected->second, connected);
	for (auto const &[address, known] : known_)
		if (known.ends == peer)
			candidates.emplace_back(Connecting{known.thread, true}, connected_.end());
	auto chosen = std::find_if(candidates.begin(), candidates.end(),
				   [&](auto const &candidate) { return candidate.first.thread == thread; });
	if (chosen == candidates.end() && !candidates.empty() && candidates[0].first.here &&
	    std::all_of(candidates.begin(), candidates.end(),
			[&](auto const &candidate) { return candidate.first.here == candidates[0].first.here; }))
		chosen = candidates.begin();
	if (chosen == candidates.end())
		return std::nullopt;
	auto here = chosen->first.here;
	if (chosen->second != connected_.end())
		connected_.erase(chosen->second);
	return here;
}

void
Sockets::sort_out(std::int64_t t_ns, kernel::TcpChange const &record)
{
	auto known = known_.find(record.socket);
	std::optional<pid_t> by;
	if (!record.interrupt)
		by = job_process(record.pid, micros(t_ns));
	if (known == known_.end()) {
		bool arriving = arriving_.count(record.socket) != 0;
		if (by) {
			known = known_.emplace(record.socket, Known{{record.local, ""}, socket_state(record.old_state)}).first;
			/* What the kernel did with it before the job touched it comes first. */
			for (auto const &[t, earlier] : arriving_[record.socket])
				change(t, earlier, known->second, std::nullopt);
			arriving_.erase(record.socket);
		} else if (!arriving && record.old_state == procfs::tcp_listen &&
			   record.new_state == procfs::tcp_syn_recv && listens(record.local)) {
			/*
			 * A new connection at an end where the job listens: a socket
			 * of its own, made from the listener's in the arriving
			 * packet's interrupt. The job's where its other end is in the
			 * job's network; where that end is elsewhere, not known, it
			 * becomes the job's once the job touches it.
			 */
			auto here = peer_here({record.local, record.remote}, record.pid);
			if (here == false)
				return;
			if (!here) {
				arriving_[record.socket].emplace_back(t_ns, record);
				return;
			}
			known = known_.emplace(record.socket, Known{{record.local, ""}, socket_state(record.old_state)}).first;
		} else if (arriving) {
			if (record.new_state == procfs::tcp_close)
				arriving_.erase(record.socket);	/* never the job's */
			else
				arriving_[record.socket].emplace_back(t_ns, record);
			return;
		} else {
			note_connecting(record);
			return;
		}
	}
	if (by)
		known->second.thread = record.pid;
	change(t_ns, record, known->second, by);
	/* Its address may be another socket's from now on. */
	if (record.new_state == procfs::tcp_close)
		known_.erase(known);
}

void
Sockets::change(std::int64_t t_ns, kernel::TcpChange const &record, Known &known, std::optional<pid_t> pid)
{
	auto old_state = socket_state(record.old_state);
	auto state = socket_state(record.new_state);
	/* A listener has no other end; a connection's ends are known once it has its port. */
	bool listener = state == SocketState::listening ||
			(old_state == SocketState::listening && state == SocketState::closed);
	if (!listener)
		known.ends = {record.local, record.remote};
	bool reset = false;
	if (state == SocketState::closed) {
		/*
		 * A socket that closes after this end's own close may have handed
		 * the connection to a stand-in, in TIME-WAIT or still waiting in
		 * FIN-WAIT-2 for the other end's close: the table shows it. Any
		 * other close of a connection before its orderly end was a reset,
		 * sent or received.
		 */
		bool closing = old_state == SocketState::fin_wait1 || old_state == SocketState::fin_wait2 ||
			       old_state == SocketState::closing;
		auto stand_ins = closing ? stand_ins_now() : decltype(stand_ins_now()){};
		if (auto stand_in = stand_ins.find(known.ends); stand_in != stand_ins.end()) {
			stand_ins_[known.ends] = stand_in->second;
			state = stand_in->second;
			pid = std::nullopt;
			if (state == old_state) {
				known.state = state;
				return;
			}
		} else {
			reset = old_state != SocketState::listening && old_state != SocketState::last_ack &&
				old_state != SocketState::closed && old_state != SocketState::syn_sent;
		}
	}
	known.state = state;
	report(micros(t_ns), known.ends, state, pid, false, reset);
	/* This end's close reaches a stand-in of the other end's waiting for it
	 * at once: it goes into TIME-WAIT, where the table now shows it. */
	Ends other{known.ends.second, known.ends.first};
	if (auto stand_in = stand_ins_.find(other); state == SocketState::last_ack && stand_in != stand_ins_.end() &&
						    stand_in->second == SocketState::fin_wait2) {
		auto now = stand_ins_now();
		if (auto found = now.find(other); found != now.end() && found->second == SocketState::time_wait) {
			stand_in->second = SocketState::time_wait;
			report(micros(t_ns), other, SocketState::time_wait, std::nullopt);
		}
	}
}

/* A connection the job holds without having changed it (accepted, kept open): found by its ends in /proc. */
void
Sockets::settle_arriving()
{
	if (arriving_.empty())
		return;
	std::map<unsigned long, pid_t> owners;
	for (pid_t pid : table_.living())
		for (unsigned long inode : procfs::socket_inodes(pid))
			owners.emplace(inode, pid);
	if (owners.empty())
		return;
	std::set<Ends> held;
	for (auto const &socket : procfs::tcp_sockets())
		if (socket.inode != 0 && owners.count(socket.inode))
			held.insert(ends_of(socket));
	/* Another namespace may have a connection with the same ends: the job's own accounts for its entry. */
	for (auto const &[address, known] : known_)
		held.erase(known.ends);
	for (auto arriving = arriving_.begin(); arriving != arriving_.end();) {
		auto const &first = arriving->second.front().second;
		if (!held.count({first.local, first.remote})) {
			++arriving;
			continue;
		}
		Known &known = known_.emplace(arriving->first, Known{{first.local, ""}, SocketState::closed}).first->second;
		for (auto const &[t, record] : arriving->second)
			change(t, record, known, std::nullopt);
		arriving = arriving_.erase(arriving);
	}
}

/* A stand-in's changes, which the trace does not show either: seen at a look. */
void
Sockets::follow_stand_ins()
{
	/* Records still to be sorted out may tell of a change at its time. */
	if (stand_ins_.empty() || !waiting_.empty())
		return;
	auto now = stand_ins_now();
	for (auto stand_in = stand_ins_.begin(); stand_in != stand_ins_.end();) {
		auto const &[ends, state] = *stand_in;
		auto found = now.find(ends);
		if (found != now.end() && found->second == state) {
			++stand_in;
			continue;
		}
		auto next = found != now.end() ? found->second : SocketState::closed;
		report(clock_.now(), ends, next, std::nullopt);
		if (next == SocketState::closed) {
			stand_in = stand_ins_.erase(stand_in);
		} else {
			stand_in->second = next;
			++stand_in;
		}
	}
}

} // namespace observe
