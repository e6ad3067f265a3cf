#include "server_client.h"

#include "address.h"
#include "proc_sampler.h"
#include "procfs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace observe {

/* How often the TCP table is read again while the job's sockets stay as they are. */
static constexpr auto table_interval = std::chrono::milliseconds(100);

ServerClient::ServerClient(std::string text, ProcessTable const &table, EventQueue &events, Stopwatch const &clock,
			   std::function<void()> changed)
	: text_(std::move(text)), table_(table), events_(events), clock_(clock), next_look_(Clock::now()),
	  changed_(std::move(changed))
{
}

ServerClient::~ServerClient()
{
	if (fd_ >= 0)
		close(fd_);
}

std::optional<Clock::time_point>
ServerClient::due() const
{
	if (fd_ >= 0 || done_)
		return std::nullopt;
	return next_look_;
}

/*
 * Whether the listener on the server's address is a socket of the job's.
 * The kernel's TCP table costs most of a millisecond to read, so it is
 * read only when the job's sockets have changed, or now and then while
 * they have not come to listen.
 */
bool
ServerClient::job_listens()
{
	std::set<unsigned long> held;
	for (pid_t pid : table_.living())
		for (unsigned long inode : procfs::socket_inodes(pid))
			held.insert(inode);
	auto now = Clock::now();
	if (held.empty() || (held == held_ && now < next_table_))
		return false;
	held_ = held;
	next_table_ = now + table_interval;
	return held.count(procfs::listening_inode(server::listen_address, server::listen_port)) != 0;
}

void
ServerClient::connect_and_send()
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
	/* Nothing to send: close the sending side at once, as a client that
	 * connects and closes without a word, and read what comes back. */
	if (text_.empty()) {
		shutdown(fd_, SHUT_WR);
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
ServerClient::receive()
{
	char buffer[512];
	for (;;) {
		ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
		if (n > 0) {
			events_.push(clock_.now(), Reply{std::string(buffer, n)});
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return;
		if (n == 0)
			events_.push(clock_.now(), Eof{});
		else
			events_.push(clock_.now(), Reset{});
		/* Closing now lets the server's end of an orderly close go on into TIME-WAIT. */
		close(fd_);
		fd_ = -1;
		done_ = true;
		return;
	}
}

void
ServerClient::finish()
{
	take();
	if (fd_ < 0 && !done_)
		events_.push(clock_.now(), NoListener{});
}

void
ServerClient::take()
{
	if (done_)
		return;
	if (fd_ < 0) {
		next_look_ = clock_.next_tick(sample_interval);
		if (!job_listens())
			return;
		/* A look at the listener first: the exchange may be over before the next. */
		changed_();
		connect_and_send();
		if (fd_ < 0)
			return;
		changed_();
	}
	receive();
	changed_();
}

} // namespace observe
