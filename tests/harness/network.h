#pragma once

/*
 * A private network for a test: its own namespace with the loopback
 * interface up, so a server under test can take port 3456 without touching
 * the machine's, and tests can run side by side. Also a small TCP client.
 */

#include <chrono>
#include <string>

namespace harness {

/* Moves this process (and whatever it starts later) into a new network
 * namespace with loopback up. Returns why not, or "" on success. */
std::string enter_private_network();

/* Skips the current test with the reason where no private network can be had. */
#define REQUIRE_PRIVATE_NETWORK()                                                          \
	do {                                                                               \
		if (auto why = ::harness::enter_private_network(); !why.empty()) {         \
			GTEST_SKIP() << "no private network namespace, so no server test: " \
				     << why;                                               \
		}                                                                          \
	} while (0)

/* True once something listens on `address` (dotted IPv4, or IPv6) and `port` in this namespace. */
bool is_listening(std::string const &address, int port);
bool wait_listening(std::string const &address, int port, std::chrono::milliseconds timeout);
/* Connections on `port` in TIME-WAIT in this namespace. */
int time_wait_count(int port);

/* A connected TCP client socket, closed when it goes. */
class TcpClient {
public:
	TcpClient(std::string const &address, int port);
	~TcpClient();
	TcpClient(TcpClient const &) = delete;
	TcpClient &operator=(TcpClient const &) = delete;

	bool connected() const { return fd_ >= 0; }
	int error() const { return error_; }
	int fd() const { return fd_; }

	void send(std::string const &bytes);
	void shut_write();
	/* Closes with a reset instead of an orderly end. */
	void reset();

	enum class End { eof, reset, timeout };
	struct Reply {
		std::string bytes;
		End end;
	};
	/* Reads until end of stream, reset or the deadline. */
	Reply read_all(std::chrono::milliseconds timeout);
	/* Bytes ready now, without waiting. */
	std::string read_ready();

private:
	int fd_ = -1;
	int error_ = 0;
};

} // namespace harness
