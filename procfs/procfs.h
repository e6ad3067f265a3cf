#pragma once

/*
 * What /proc tells about processes and sockets, read the one way that
 * observe, the job-control shell and the tests share: a process's state,
 * parent, group and session, its processor time, its children, and once it
 * has ended but is not yet collected, the wait status its parent will be
 * given; the TCP sockets of this network namespace and who holds them.
 */

#include <netinet/in.h>
#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace procfs {

/* What a process is doing, as far as the demonstrations care. */
enum class State { running, stopped, zombie };

/* R, S, D, I are running or sleeping: alive and not held; T and t are stopped
 * (by a signal or a tracer); Z is ended and not collected, X on its way out. */
State state_of(char letter);

struct Stat {
	char comm[16];		/* the command name, cut to 15 bytes */
	char state;		/* the letter, see state_of */
	pid_t ppid;
	pid_t pgrp;
	pid_t session;
	long long cpu_ticks;	/* user and system time, in clock ticks */
	int threads;
	int exit_code;		/* wait status, meaningful for a zombie */
};

/* The process's /proc/PID/stat, or nothing once it is gone (collected). */
std::optional<Stat> read_stat(pid_t);

/* Time on a processor and time waiting for one, from /proc/PID/schedstat. */
struct Schedule {
	long long running_ns;
	long long waiting_ns;
};
std::optional<Schedule> read_schedule(pid_t);

/* A process's time on a processor, all its threads', in nanoseconds: from its
 * CPU-time clock, one system call; nothing once it has been collected. */
std::optional<long long> processor_time_ns(pid_t);

/* What /proc/PID/status says of a process's signals and pid namespaces. */
struct SignalStatus {
	unsigned long long ignored = 0;	/* SigIgn: bit N-1 set where it ignores signal N */
	bool namespace_init = false;	/* NSpid ends in 1 after another: a nested namespace's first process */
};
std::optional<SignalStatus> read_signal_status(pid_t);

/* The system call a process's main thread is blocked in, from /proc/PID/syscall. */
struct Blocked {
	long number;
	unsigned long args[6];
};

/*
 * A process's stat, children and syscall files held open, to be read again and
 * again: each look costs one system call instead of three, and the files
 * go on telling of the process they were opened for, never of another
 * that has come to use its pid.
 */
class ProcessFiles {
public:
	explicit ProcessFiles(pid_t);
	~ProcessFiles();
	ProcessFiles(ProcessFiles &&) noexcept;
	ProcessFiles(ProcessFiles const &) = delete;
	ProcessFiles &operator=(ProcessFiles const &) = delete;
	ProcessFiles &operator=(ProcessFiles &&) = delete;

	/* Nothing once the process has been collected. */
	std::optional<Stat> stat();
	std::vector<pid_t> children();
	/* Nothing while it runs or is outside a call, or where its calls may not be read (another user's). */
	std::optional<Blocked> blocked();

private:
	/* Each opened at its first use and kept from then on: a process gone
	 * before it is looked at costs no failed open of what is never read. */
	static constexpr int unopened = -2;
	pid_t pid_;
	int stat_fd_ = unopened;
	int children_fd_ = unopened;
	int syscall_fd_ = unopened;

	int opened(int &fd, char const *format);
};

/* Every process of this pid namespace, with its parent. */
std::vector<std::pair<pid_t, pid_t>> processes();

/* The children of a process in the order they were created, which pids need
 * not follow once they wrap around (/proc/PID/task/PID/children); in pid
 * order where the kernel does not list a task's children. */
std::vector<pid_t> children(pid_t);


/*
 * One line of /proc/self/net/tcp or tcp6: a TCP socket of this network
 * namespace. Both families' addresses are kept as IPv6 ones, an IPv4
 * address as its IPv4-mapped form (::ffff:a.b.c.d), which is also what a
 * dual-stack socket holds for an IPv4 peer: the two ends of one
 * connection then look alike whichever family each socket is.
 */
struct TcpSocket {
	in6_addr address;	/* local address */
	int port;		/* local port */
	in6_addr remote_address;
	int remote_port;
	int state;		/* tcp_established, tcp_listen, ... */
	unsigned long inode;	/* 0 for a socket no process holds, as in TIME-WAIT */
};

/* The kernel's TCP states, as /proc/net/tcp numbers them. */
constexpr int tcp_established = 0x01;
constexpr int tcp_syn_sent = 0x02;
constexpr int tcp_syn_recv = 0x03;
constexpr int tcp_fin_wait1 = 0x04;
constexpr int tcp_fin_wait2 = 0x05;
constexpr int tcp_time_wait = 0x06;
constexpr int tcp_close = 0x07;
constexpr int tcp_close_wait = 0x08;
constexpr int tcp_last_ack = 0x09;
constexpr int tcp_listen = 0x0A;
constexpr int tcp_closing = 0x0B;

std::vector<TcpSocket> tcp_sockets();
/* How many connections of this network namespace are in TIME-WAIT, of either
 * family, from its counters: a hundredth of the cost of reading the tables. */
long tcp_time_waits();

/* The inode of the socket listening on `address` (dotted IPv4, or IPv6) and `port`, or 0. */
unsigned long listening_inode(char const *address, int port);

/* An IPv4 address (network byte order) in its IPv4-mapped IPv6 form. */
in6_addr mapped(in_addr_t);
/* An address and port the way people write them: "127.0.0.1:3456", "[::1]:3456"; an
 * IPv4-mapped address as the IPv4 one it stands for. */
std::string endpoint(in6_addr const &, int port);

/* The inodes of the sockets a process holds open. */
std::set<unsigned long> socket_inodes(pid_t);

} // namespace procfs
