#include "network.h"

#include "process.h"
#include "procfs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace harness {

static bool
write_file(char const *path, std::string const &text)
{
	std::ofstream file(path);
	file << text;
	return static_cast<bool>(file.flush());
}

/* As an unprivileged user a network namespace needs a user namespace of its own. */
static std::string
unshare_network()
{
	if (unshare(CLONE_NEWNET) == 0)
		return "";
	std::string as_root = strerror(errno);
	uid_t uid = getuid();
	gid_t gid = getgid();
	if (unshare(CLONE_NEWUSER | CLONE_NEWNET) < 0)
		return "unshare(CLONE_NEWNET): " + as_root + "; with a user namespace: " + strerror(errno);
	write_file("/proc/self/setgroups", "deny");
	write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
	write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
	return "";
}

static std::string
loopback_up()
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return std::string("socket: ") + strerror(errno);
	ifreq request{};
	strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
	std::string why;
	if (ioctl(fd, SIOCGIFFLAGS, &request) < 0)
		why = std::string("SIOCGIFFLAGS lo: ") + strerror(errno);
	request.ifr_flags |= IFF_UP;
	if (why.empty() && ioctl(fd, SIOCSIFFLAGS, &request) < 0)
		why = std::string("SIOCSIFFLAGS lo: ") + strerror(errno);
	close(fd);
	return why;
}

std::string
enter_private_network()
{
	if (auto why = unshare_network(); !why.empty())
		return why;
	return loopback_up();
}

bool
is_listening(std::string const &address, int port)
{
	return procfs::listening_inode(address.c_str(), port) != 0;
}

bool
wait_listening(std::string const &address, int port, std::chrono::milliseconds timeout)
{
	return wait_until([&] { return is_listening(address, port); }, timeout, std::chrono::milliseconds(2));
}

int
time_wait_count(int port)
{
	int count = 0;
	for (auto const &socket : procfs::tcp_sockets())
		count += socket.port == port && socket.state == procfs::tcp_time_wait;
	return count;
}

TcpClient::TcpClient(std::string const &address, int port)
{
	fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in peer{};
	peer.sin_family = AF_INET;
	peer.sin_port = htons(port);
	peer.sin_addr.s_addr = inet_addr(address.c_str());
	if (connect(fd_, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)) < 0) {
		error_ = errno;
		close(fd_);
		fd_ = -1;
	}
}

TcpClient::~TcpClient()
{
	if (fd_ >= 0)
		close(fd_);
}

void
TcpClient::send(std::string const &bytes)
{
	size_t sent = 0;
	while (sent < bytes.size()) {
		ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		if (n <= 0)
			return;
		sent += n;
	}
}

void
TcpClient::shut_write()
{
	shutdown(fd_, SHUT_WR);
}

void
TcpClient::reset()
{
	linger abort{1, 0};
	setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
	close(fd_);
	fd_ = -1;
}

TcpClient::Reply
TcpClient::read_all(std::chrono::milliseconds timeout)
{
	Reply reply{"", End::timeout};
	auto deadline = Clock::now() + timeout;
	for (;;) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
		if (left.count() <= 0)
			return reply;
		pollfd ready{fd_, POLLIN, 0};
		if (poll(&ready, 1, static_cast<int>(left.count())) <= 0)
			continue;
		char buffer[512];
		ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
		if (n > 0) {
			reply.bytes.append(buffer, n);
		} else if (n == 0) {
			reply.end = End::eof;
			return reply;
		} else if (errno != EINTR) {
			reply.end = End::reset;
			return reply;
		}
	}
}

std::string
TcpClient::read_ready()
{
	char buffer[512];
	ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
	return n > 0 ? std::string(buffer, n) : "";
}

} // namespace harness
