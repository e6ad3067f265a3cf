#pragma once

/*
 * The job's TCP sockets as their states change, and the connections they
 * leave behind in TIME-WAIT, which nobody holds and which keep the port
 * taken for a minute.
 *
 * With the kernel's trace, every change at the microsecond the kernel made
 * it. A socket is the job's once a process of the job changes it itself
 * (listens, connects, closes). A connection that arrives at an end where
 * the job listens is made by the kernel alone, and the trace does not say
 * in which network namespace: it is the job's at once where the process
 * that connected is in the job's namespace, never where it is in another,
 * and otherwise (a peer on another host) once the job touches it, with its
 * history. What the kernel hands to its small stand-in after a close, the
 * TIME-WAIT, the table shows. Without the trace, the sockets each process
 * holds are looked at now and then (/proc/PID/fd matched with
 * /proc/net/tcp), and a change is seen only if it lasts until a look.
 *
 * A connection that an earlier run left in TIME-WAIT on the greeting
 * server's port is told only where it explains something: a bind of the
 * job's that failed, the address in use, or without the trace a program
 * that failed without ever listening there.
 */

#include "kernel/socket_trace.h"
#include "source.h"
#include "table.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace observe {

class Sockets : public Source {
public:
	/* Made before the job starts, so that the trace misses none of its sockets.
	 * `kernel` asks for the trace; where it cannot be had, /proc is sampled. */
	Sockets(ProcessTable const &table, EventQueue &events, Stopwatch const &clock, bool kernel);
	int fd() const override { return trace_ ? trace_->fd() : -1; }
	std::optional<Clock::time_point> due() const override;
	void take() override;
	/* Looks now, due or not; `changed` where something is known to have changed. */
	void look(bool changed = true);
	/* The watch is over: everything that is left is told. */
	void finish();
	/* Records of the kernel's that its buffer had no room for. */
	long long lost() const { return trace_ ? trace_->lost() : 0; }

private:
	using Ends = std::pair<std::string, std::string>;	/* local, remote ("" for a listener) */

	/* A connection, or a listener, as /proc last showed it. */
	struct Seen {
		SocketState state;
		std::optional<pid_t> pid;
		bool job;	/* a job process held it, now or before */
	};

	/* A socket the kernel's trace has shown to be the job's, by its kernel address. */
	struct Known {
		Ends ends;
		SocketState state;
		pid_t thread = 0;	/* the last thread of the job's that changed it */
	};

	/* A connection being made to an end where the job listens. */
	struct Connecting {
		pid_t thread;	/* the thread that connects */
		std::optional<bool> here;	/* in the job's network namespace; none where it was gone */
	};

	ProcessTable const &table_;
	EventQueue &events_;
	Stopwatch const &clock_;
	Clock::time_point next_;

	/* What an earlier run left in TIME-WAIT, found before the job started; told at most once. */
	std::vector<Ends> leftovers_;
	bool leftovers_told_ = false;

	/* Without the trace. */
	std::map<Ends, Seen> seen_;
	std::set<std::string> listened_;	/* local ends the job has listened on */

	/* With it. */
	std::unique_ptr<kernel::SocketTrace> trace_;
	std::vector<kernel::SocketRecord> waiting_;	/* read, not yet old enough to sort out */
	std::map<std::uint64_t, Known> known_;	/* until they close, when the address may be reused */
	/* Connections at the job's listeners that the job has not touched yet, by address. */
	std::map<std::uint64_t, std::vector<std::pair<std::int64_t, kernel::TcpChange>>> arriving_;
	/* The job's connections that closed sockets handed to the kernel's stand-ins: in
	 * TIME-WAIT, or in FIN-WAIT-2 until the other end closes. */
	std::map<Ends, SocketState> stand_ins_;
	/*
	 * Connections being made to an end where the job listens, by the
	 * connecting socket's address and then, once it has its port, by its
	 * ends (two namespaces may have the same): whether the connecting
	 * process is in the job's network namespace, and so whether the
	 * connection it makes is the job's listener's or another namespace's
	 * at the same address.
	 */
	std::map<std::uint64_t, Connecting> connecting_;
	std::multimap<Ends, Connecting> connected_;
	/* The network namespace of each connecting thread, looked up as its record is read. */
	std::map<std::uint64_t, ino_t> networks_;
	ino_t network_ = 0;	/* observe's network namespace, which is the job's */
	std::map<pid_t, pid_t> threads_;	/* the job's threads, and their processes */

	void report(Micros t, Ends const &ends, SocketState state, std::optional<pid_t> pid, bool before = false,
		    bool reset = false);
	void tell_leftovers(Micros t);
	void sample(bool changed);
	void take_trace(bool all);
	void sort_out(std::int64_t t_ns, kernel::TcpChange const &);
	/* `by`: the job's process that made it, none where the kernel did. */
	void change(std::int64_t t_ns, kernel::TcpChange const &, Known &, std::optional<pid_t> by);
	std::optional<pid_t> job_process(pid_t thread, Micros t) const;
	bool listens(std::string const &local) const;
	std::optional<bool> peer_here(Ends const &ends, pid_t thread);
	void note_connecting(kernel::TcpChange const &);
	void settle_arriving();
	void follow_stand_ins();
	Micros micros(std::int64_t t_ns) const;
};

} // namespace observe
