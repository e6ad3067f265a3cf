#pragma once

/*
 * The greeting server's client, for watching the server: once a process of
 * the job listens on the server's address, it connects, sends its text, and
 * tells what comes back, then the end of stream or the reset.
 */

#include "source.h"
#include "table.h"

#include <functional>
#include <set>
#include <string>

namespace observe {

class ServerClient : public Source {
public:
	/* `changed` is called after each step of the exchange, for a look at the sockets it changed. */
	ServerClient(std::string text, ProcessTable const &table, EventQueue &events, Stopwatch const &clock,
		     std::function<void()> changed);
	~ServerClient() override;
	ServerClient(ServerClient const &) = delete;
	ServerClient &operator=(ServerClient const &) = delete;

	/* Before the connection it looks for the listener at every sample;
	 * connected, it waits on the socket. */
	int fd() const override { return done_ ? -1 : fd_; }
	std::optional<Clock::time_point> due() const override;
	void take() override;
	/* The watch is over: says so where nothing ever listened. */
	void finish();

private:
	std::string text_;
	ProcessTable const &table_;
	EventQueue &events_;
	Stopwatch const &clock_;
	int fd_ = -1;
	bool done_ = false;
	Clock::time_point next_look_;
	std::set<unsigned long> held_;	/* the job's sockets when the table was last read */
	Clock::time_point next_table_;
	std::function<void()> changed_;

	bool job_listens();
	void connect_and_send();
	void receive();
};

} // namespace observe
