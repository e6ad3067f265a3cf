#include "client.h"

#include "address.h"
#include "procfs.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace observe {

bool
holds_socket(std::vector<pid_t> const &pids, unsigned long inode)
{
	for (pid_t pid : pids)
		if (procfs::socket_inodes(pid).count(inode))
			return true;
	return false;
}

Client::~Client()
{
	if (fd_ >= 0)
		close(fd_);
}

void
Client::connect_and_send()
{
	fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in peer{};
	peer.sin_family = AF_INET;
	peer.sin_port = htons(server::listen_port);
	peer.sin_addr.s_addr = inet_addr(server::listen_address);
	if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)) < 0) {
		if (fd_ >= 0)
			close(fd_);
		fd_ = -1;
		return;
	}
	size_t sent = 0;
	while (sent < text_.size()) {
		ssize_t n = send(fd_, text_.data() + sent, text_.size() - sent, MSG_NOSIGNAL);
		if (n <= 0)
			break;
		sent += n;
	}
}

void
Client::receive(Emit const &emit)
{
	char buffer[512];
	for (;;) {
		ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
		if (n > 0) {
			emit(Kind::reply, std::string(buffer, n));
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return;
		emit(n == 0 ? Kind::eof : Kind::reset, "");
		done_ = true;
		return;
	}
}

void
Client::step(std::vector<pid_t> const &job, Emit const &emit)
{
	if (done_)
		return;
	if (fd_ < 0) {
		unsigned long inode = procfs::listening_inode(server::listen_address, server::listen_port);
		if (inode == 0 || !holds_socket(job, inode))
			return;
		connect_and_send();
		if (fd_ < 0)
			return;
	}
	receive(emit);
}

} // namespace observe
