#pragma once

/*
 * The server's client, for watching the greeting server: once the job
 * listens on the server's address it connects, sends its text, and tells
 * what comes back, then the end of stream or the reset.
 */

#include "events.h"

#include <functional>
#include <string>
#include <vector>

namespace observe {

class Client {
public:
	using Emit = std::function<void(Kind, std::string const &)>;

	explicit Client(std::string text) : text_(std::move(text)) {}
	~Client();
	Client(Client const &) = delete;
	Client &operator=(Client const &) = delete;

	/* Connects once one of `job` listens; reads whatever has arrived. */
	void step(std::vector<pid_t> const &job, Emit const &);
	/* The socket to wait on, or -1 before the connection. */
	int poll_fd() const { return done_ ? -1 : fd_; }

private:
	std::string text_;
	int fd_ = -1;
	bool done_ = false;

	void connect_and_send();
	void receive(Emit const &);
};

/* True when one of `pids` holds the socket with that inode. */
bool holds_socket(std::vector<pid_t> const &pids, unsigned long inode);

} // namespace observe
