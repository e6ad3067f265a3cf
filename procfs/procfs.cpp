#include "procfs.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace procfs {

/* Reads a small /proc file whole; /proc files must be read in one go to be consistent. */
static bool
read_file(char const *path, char *buffer, size_t size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	ssize_t n;
	while ((n = read(fd, buffer, size - 1)) < 0 && errno == EINTR)
		;
	close(fd);
	if (n < 0)
		return false;
	buffer[n] = '\0';
	return true;
}

State
state_of(char letter)
{
	switch (letter) {
	case 'T':
	case 't':
		return State::stopped;
	case 'Z':
	case 'X':
		return State::zombie;
	default:
		return State::running;
	}
}

/* Reads an open /proc file again from its start. */
static bool
read_again(int fd, char *buffer, size_t size)
{
	ssize_t n;
	while ((n = pread(fd, buffer, size - 1, 0)) < 0 && errno == EINTR)
		;
	if (n <= 0)
		return false;	/* ESRCH, or nothing: the process has been collected */
	buffer[n] = '\0';
	return true;
}

static std::optional<Stat>
parse_stat(char *line)
{
	/* The command name may hold blanks and parentheses; the fields follow the last ')'. */
	char *open = strchr(line, '(');
	char *fields = strrchr(line, ')');
	if (open == nullptr || fields == nullptr || fields < open || fields[1] == '\0')
		return std::nullopt;

	Stat stat{};
	size_t name_length = std::min<size_t>(fields - open - 1, sizeof(stat.comm) - 1);
	memcpy(stat.comm, open + 1, name_length);
	stat.comm[name_length] = '\0';
	fields += 2;
	stat.state = *fields;
	/* Field 3 is the state; count on from field 4. */
	char *cursor = fields + 1;
	long long value[50] = {};
	int count = 0;
	while (count < 50 && *cursor != '\0') {
		char *end;
		value[count] = strtoll(cursor, &end, 10);
		if (end == cursor)
			break;
		cursor = end;
		count++;
	}
	if (count < 12)
		return std::nullopt;
	stat.ppid = static_cast<pid_t>(value[0]);		/* field 4 */
	stat.pgrp = static_cast<pid_t>(value[1]);		/* field 5 */
	stat.session = static_cast<pid_t>(value[2]);		/* field 6 */
	stat.cpu_ticks = value[10] + value[11];			/* fields 14, 15 */
	if (count >= 17)
		stat.threads = static_cast<int>(value[16]);	/* field 20 */
	if (count >= 49)
		stat.exit_code = static_cast<int>(value[48]);	/* field 52 */
	return stat;
}

/* The pids of a list such as /proc/PID/task/PID/children. */
static std::vector<pid_t>
parse_pids(char const *list)
{
	std::vector<pid_t> found;
	char const *cursor = list;
	for (;;) {
		char *end;
		long pid = strtol(cursor, &end, 10);
		if (end == cursor)
			break;
		found.push_back(static_cast<pid_t>(pid));
		cursor = end;
	}
	return found;
}

static std::vector<pid_t>
children_by_search(pid_t pid)
{
	std::vector<pid_t> found;
	for (auto [child, parent] : processes())
		if (parent == pid)
			found.push_back(child);
	std::sort(found.begin(), found.end());
	return found;
}

static void
children_path(pid_t pid, char (&path)[64])
{
	snprintf(path, sizeof(path), "/proc/%d/task/%d/children", static_cast<int>(pid), static_cast<int>(pid));
}

/* /proc/PID/`name`, read whole into `buffer`. */
static bool
read_process_file(pid_t pid, char const *name, char *buffer, size_t size)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/%s", static_cast<int>(pid), name);
	return read_file(path, buffer, size);
}

std::optional<Stat>
read_stat(pid_t pid)
{
	char line[1024];
	if (!read_process_file(pid, "stat", line, sizeof(line)))
		return std::nullopt;
	return parse_stat(line);
}

ProcessFiles::ProcessFiles(pid_t pid) : pid_(pid) {}

ProcessFiles::~ProcessFiles()
{
	for (int fd : {stat_fd_, children_fd_, syscall_fd_})
		if (fd >= 0)
			close(fd);
}

ProcessFiles::ProcessFiles(ProcessFiles &&other) noexcept
	: pid_(other.pid_), stat_fd_(std::exchange(other.stat_fd_, -1)),
	  children_fd_(std::exchange(other.children_fd_, -1)), syscall_fd_(std::exchange(other.syscall_fd_, -1))
{
}

/* The file, opened now where it was not tried before; -1 where it cannot be. */
int
ProcessFiles::opened(int &fd, char const *format)
{
	if (fd == unopened) {
		char path[64];
		snprintf(path, sizeof(path), format, static_cast<int>(pid_), static_cast<int>(pid_));
		fd = open(path, O_RDONLY | O_CLOEXEC);
	}
	return fd;
}

std::optional<Stat>
ProcessFiles::stat()
{
	char line[1024];
	int fd = opened(stat_fd_, "/proc/%d/stat");
	if (fd < 0 || !read_again(fd, line, sizeof(line)))
		return std::nullopt;
	return parse_stat(line);
}

std::vector<pid_t>
ProcessFiles::children()
{
	int fd = opened(children_fd_, "/proc/%d/task/%d/children");
	if (fd < 0)
		return children_by_search(pid_);
	char list[4096];
	if (!read_again(fd, list, sizeof(list)))
		return {};
	return parse_pids(list);
}

/* Calls `each` with the name of every entry of a directory that is a number. */
template<typename Each>
static void
for_each_number(char const *path, Each const &each)
{
	DIR *dir = opendir(path);
	if (dir == nullptr)
		return;
	while (dirent *entry = readdir(dir)) {
		char *end;
		long number = strtol(entry->d_name, &end, 10);
		if (*end == '\0' && number > 0)
			each(dirfd(dir), entry->d_name, number);
	}
	closedir(dir);
}

std::vector<std::pair<pid_t, pid_t>>
processes()
{
	std::vector<std::pair<pid_t, pid_t>> found;
	for_each_number("/proc", [&](int, char const *, long pid) {
		if (auto stat = read_stat(static_cast<pid_t>(pid)))
			found.emplace_back(static_cast<pid_t>(pid), stat->ppid);
	});
	return found;
}

std::vector<pid_t>
children(pid_t pid)
{
	char path[64];
	char list[4096];
	children_path(pid, path);
	if (!read_file(path, list, sizeof(list)))
		return children_by_search(pid);
	return parse_pids(list);
}

static std::optional<Schedule>
parse_schedule(char const *line)
{
	Schedule schedule;
	char *end;
	schedule.running_ns = strtoll(line, &end, 10);
	if (end == line)
		return std::nullopt;
	char const *second = end;
	schedule.waiting_ns = strtoll(second, &end, 10);
	if (end == second)
		return std::nullopt;
	return schedule;
}

std::optional<Schedule>
read_schedule(pid_t pid)
{
	char line[256];
	if (!read_process_file(pid, "schedstat", line, sizeof(line)))
		return std::nullopt;
	return parse_schedule(line);
}

std::optional<SignalStatus>
read_signal_status(pid_t pid)
{
	char text[4096];
	if (!read_process_file(pid, "status", text, sizeof(text)))
		return std::nullopt;
	SignalStatus status;
	/* Its numbers in each pid namespace it is in, outermost first, tab after tab. */
	if (char const *line = strstr(text, "\nNSpid:")) {
		std::string numbers(line + 7, strcspn(line + 7, "\n"));
		auto last = numbers.rfind('\t');
		status.namespace_init = last != std::string::npos && last != numbers.find('\t') &&
					atoi(numbers.c_str() + last + 1) == 1;
	}
	if (char const *line = strstr(text, "\nSigIgn:"))
		status.ignored = strtoull(line + 8, nullptr, 16);
	return status;
}

std::optional<long long>
processor_time_ns(pid_t pid)
{
	clockid_t clock;
	timespec used;
	if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
		return std::nullopt;
	return used.tv_sec * 1'000'000'000LL + used.tv_nsec;
}

/*
 * "NR ARG1 ... ARG6 SP PC" while blocked in a call; "running", or "-1 SP PC"
 * outside one.
 */
std::optional<Blocked>
ProcessFiles::blocked()
{
	char line[256];
	int fd = opened(syscall_fd_, "/proc/%d/syscall");
	if (fd < 0 || !read_again(fd, line, sizeof(line)))
		return std::nullopt;
	Blocked blocked;
	char *cursor;
	blocked.number = strtol(line, &cursor, 10);
	if (cursor == line || blocked.number < 0)
		return std::nullopt;
	for (auto &arg : blocked.args) {
		char *end;
		arg = strtoul(cursor, &end, 16);
		if (end == cursor)
			return std::nullopt;
		cursor = end;
	}
	return blocked;
}

/* An address as /proc/net/tcp* prints it: the kernel's 32-bit words, each in hex as the processor holds it. */
static bool
parse_address(char const *hex, in6_addr &address)
{
	size_t words = strlen(hex) / 8;
	if (strlen(hex) != 8 * words || (words != 1 && words != 4))
		return false;
	std::uint32_t word[4];
	for (size_t i = 0; i < words; i++) {
		char one[9] = {};
		memcpy(one, hex + 8 * i, 8);
		word[i] = static_cast<std::uint32_t>(strtoul(one, nullptr, 16));
	}
	if (words == 1)
		address = mapped(word[0]);
	else
		memcpy(&address, word, sizeof(address));
	return true;
}

/* The sockets of one table: "tcp" or "tcp6". */
static void
read_tcp(char const *table_name, std::vector<TcpSocket> &sockets)
{
	FILE *table = fopen((std::string("/proc/self/net/") + table_name).c_str(), "re");
	if (table == nullptr)
		return;	/* no tcp6 where IPv6 is disabled */
	char line[512];
	if (fgets(line, sizeof(line), table) == nullptr) {	/* the header */
		fclose(table);
		return;
	}
	while (fgets(line, sizeof(line), table) != nullptr) {
		char address[33], remote_address[33];
		unsigned int port, remote_port, state, uid;
		int timeout;
		unsigned long inode;
		TcpSocket socket;
		/* sl local rem st tx:rx tr:when retrnsmt uid timeout inode */
		if (sscanf(line, " %*s %32[0-9A-Fa-f]:%x %32[0-9A-Fa-f]:%x %x %*s %*s %*s %u %d %lu", address, &port,
			   remote_address, &remote_port, &state, &uid, &timeout, &inode) == 8 &&
		    parse_address(address, socket.address) && parse_address(remote_address, socket.remote_address)) {
			socket.port = static_cast<int>(port);
			socket.remote_port = static_cast<int>(remote_port);
			socket.state = static_cast<int>(state);
			socket.inode = inode;
			sockets.push_back(socket);
		}
	}
	fclose(table);
}

/* A count in a /proc/net/sockstat line: `name` "TCP6:", `field` "inuse"; 0 where it cannot be read. */
static long
sockstat(char const *path, char const *name, char const *field)
{
	char text[1024];
	if (!read_file(path, text, sizeof(text)))
		return 0;
	char const *line = strstr(text, name);
	char const *at = line != nullptr ? strstr(line, (std::string(" ") + field + " ").c_str()) : nullptr;
	return at != nullptr ? strtol(at + strlen(field) + 2, nullptr, 10) : 0;
}

/*
 * Each table costs a walk of the kernel's whole TCP hash, most of a
 * millisecond however few sockets it has: the IPv6 one is read only where
 * this namespace has IPv6 TCP sockets, or TIME-WAITs, which the counters
 * (a hundredth of the cost) do not count by family.
 */
long
tcp_time_waits()
{
	return sockstat("/proc/self/net/sockstat", "TCP:", "tw");
}

std::vector<TcpSocket>
tcp_sockets()
{
	std::vector<TcpSocket> sockets;
	read_tcp("tcp", sockets);
	if (sockstat("/proc/self/net/sockstat6", "TCP6:", "inuse") > 0 || tcp_time_waits() > 0)
		read_tcp("tcp6", sockets);
	return sockets;
}

unsigned long
listening_inode(char const *address, int port)
{
	in6_addr wanted;
	in_addr v4;
	bool ipv4 = inet_pton(AF_INET, address, &v4) == 1;
	if (ipv4)
		wanted = mapped(v4.s_addr);
	else if (inet_pton(AF_INET6, address, &wanted) != 1)
		return 0;
	/* Only the table the address is in: each costs a walk of the kernel's whole TCP hash. */
	std::vector<TcpSocket> sockets;
	read_tcp(ipv4 ? "tcp" : "tcp6", sockets);
	for (auto const &socket : sockets)
		if (IN6_ARE_ADDR_EQUAL(&socket.address, &wanted) && socket.port == port && socket.state == tcp_listen)
			return socket.inode;
	return 0;
}

in6_addr
mapped(in_addr_t ipv4)
{
	in6_addr address{};
	address.s6_addr[10] = 0xff;
	address.s6_addr[11] = 0xff;
	memcpy(&address.s6_addr[12], &ipv4, sizeof(ipv4));
	return address;
}

std::string
endpoint(in6_addr const &address, int port)
{
	char text[INET6_ADDRSTRLEN];
	if (IN6_IS_ADDR_V4MAPPED(&address)) {
		inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof(text));
		return std::string(text) + ":" + std::to_string(port);
	}
	inet_ntop(AF_INET6, &address, text, sizeof(text));
	return "[" + std::string(text) + "]:" + std::to_string(port);
}

std::set<unsigned long>
socket_inodes(pid_t pid)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/fd", static_cast<int>(pid));
	std::set<unsigned long> inodes;
	for_each_number(path, [&](int dir, char const *name, long) {
		char target[64];
		ssize_t n = readlinkat(dir, name, target, sizeof(target) - 1);
		if (n <= 0)
			return;
		target[n] = '\0';
		unsigned long inode;
		if (sscanf(target, "socket:[%lu]", &inode) == 1)
			inodes.insert(inode);
	});
	return inodes;
}

} // namespace procfs
