#pragma once

/*
 * What /proc tells about a process: its state letter, its parent, its
 * group and session, its processor time, and once it has ended but is not
 * yet collected, the wait status its parent will be given.
 */

#include <sys/types.h>

#include <optional>
#include <vector>

namespace procfs {

struct Stat {
	char state;		/* R, S, D, I running or sleeping; T, t stopped; Z zombie */
	pid_t ppid;
	pid_t pgrp;
	pid_t session;
	long long cpu_ticks;	/* user and system time, in clock ticks */
	int exit_code;		/* wait status, meaningful for a zombie */
};

/* The process's /proc/PID/stat, or nothing once it is gone (collected). */
std::optional<Stat> read_stat(pid_t);

/* The children of a single-threaded process, from /proc/PID/task/PID/children. */
std::vector<pid_t> children(pid_t);

/* One line of /proc/self/net/tcp: a TCP socket of this network namespace. */
struct TcpSocket {
	unsigned int address;	/* local IPv4 address, in network byte order */
	int port;		/* local port */
	int state;		/* tcp_listen, tcp_time_wait, ... */
	unsigned long inode;	/* 0 for a socket no process holds, as in TIME-WAIT */
};

constexpr int tcp_time_wait = 0x06;
constexpr int tcp_listen = 0x0A;

std::vector<TcpSocket> tcp_sockets();

} // namespace procfs
