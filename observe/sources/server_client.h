#pragma once

/*
 * The greeting server's client, for watching the server: once a process of
 * the job listens on the server's address, it connects, sends its text, and
 * tells what comes back, then the end of stream or the reset.
 */

#include "source.h"
#include "table.h"

#include <string>

namespace observe {

class ServerClient : public Source {
public:
	ServerClient(std::string text, ProcessTable const &table, EventQueue &events, Stopwatch const &clock);
	~ServerClient() override;
	ServerClient(ServerClient const &) = delete;
	ServerClient &operator=(ServerClient const &) = delete;

	/* Before the connection it looks for the listener at every sample;
	 * connected, it waits on the socket. */
	int fd() const override { return done_ ? -1 : fd_; }
	std::optional<Clock::time_point> due() const override;
	void take() override;

private:
	std::string text_;
	ProcessTable const &table_;
	EventQueue &events_;
	Stopwatch const &clock_;
	int fd_ = -1;
	bool done_ = false;
	Clock::time_point next_look_;

	bool job_listens() const;
	void connect_and_send();
	void receive();
};

} // namespace observe
