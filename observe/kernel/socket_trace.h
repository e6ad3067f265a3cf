#pragma once

/*
 * The kernel's account of TCP sockets: each change of a socket's state
 * (sock:inet_sock_set_state), at the time the kernel made it, recorded in
 * the kernel trace's instance without a pid filter and handed over by its
 * reader as it reads them: an instance of its own would add its setting up
 * and removal, some 60 ms, to every watch.
 *
 * Many changes are made where a packet arrives, in a software interrupt
 * that runs in whatever thread happened to be running: the handshake that
 * makes a listener's new connection, the peer's end or reset. A pid filter
 * would drop those, so the instance takes every TCP socket's changes
 * and the reader sorts out the job's, by the socket's kernel address: a
 * change made by a thread in its own context is its doing, and the address
 * then names the socket until it closes. That thread may not be its
 * process's first, and may be gone by the time its record is read: the
 * instance also records each thread made (task_newtask with CLONE_THREAD),
 * and which thread made it.
 *
 * Where asked, it also records the binds that failed because the address
 * was in use (sys_exit_bind), which is what a connection left in TIME-WAIT
 * does to a server started again. That puts every thread's system calls on
 * the kernel's slower path, so it is asked for only where such a
 * connection is there to explain.
 *
 * Times are CLOCK_MONOTONIC nanoseconds; pids are the initial pid namespace's.
 */

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace observe::kernel {

class Trace;

/* A TCP socket went from one of the kernel's TCP_* states to another. */
struct TcpChange {
	pid_t pid;		/* the thread that was running */
	bool interrupt;		/* made in an interrupt, not by that thread */
	std::uint64_t socket;	/* its kernel address */
	int old_state;
	int new_state;
	std::string local;	/* "127.0.0.1:3456", "[::1]:3456" */
	std::string remote;	/* "0.0.0.0:0" for a listener */
};

/* A bind by this thread failed: the address was in use. */
struct BindInUse {
	pid_t pid;
};

/* A thread made another, of its own process. */
struct ThreadMade {
	pid_t creator;
	pid_t thread;
};

struct SocketRecord {
	std::int64_t t_ns;
	std::variant<TcpChange, BindInUse, ThreadMade> what;
};

class SocketTrace {
public:
	/* Starts recording into `trace`, which outlives it; nothing, with why,
	 * where it cannot. What the kernel drops the trace tells as its own loss. */
	static std::unique_ptr<SocketTrace> open(Trace &trace, bool failed_binds, std::string &why);

	~SocketTrace();	/* the trace no longer hands it records */
	SocketTrace(SocketTrace const &) = delete;
	SocketTrace &operator=(SocketTrace const &) = delete;

	/* Readable while records the trace's reader handed over wait here. */
	int fd() const;
	/* Appends what has been handed over, in time order, without blocking. */
	void take(std::vector<SocketRecord> &out);

	struct State;

private:
	explicit SocketTrace(std::unique_ptr<State>);
	std::unique_ptr<State> state_;
};

} // namespace observe::kernel
