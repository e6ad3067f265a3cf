/*
 * server - a one-shot TCP greeting server on 127.0.0.1, port 3456.
 *
 * It accepts one client, receives one message of at most 100 bytes, prints
 * it, answers with the 14 bytes "Hello From ZOR" and ends; the end of the
 * process closes both sockets, so the client sees end of stream.
 *
 * What to watch:
 *   - The received-data line ends in a blank, not a newline, so it stays in
 *     the stdio buffer until the process ends (or up to the last newline of
 *     the message, when standard output is a terminal).
 *   - Address reuse is not requested. Started again within a minute of an
 *     exchange, the server finds its old connection in TIME-WAIT on the port
 *     and fails to bind; after an exchange that ended in a reset it binds.
 *   - Each failing step prints its own text and ends with its own status.
 */
#include "address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdio>

using server::listen_address;
using server::listen_port;
static constexpr int listen_backlog = 5;
static constexpr int message_max = 100;
static constexpr char greeting[] = "Hello From ZOR";
static constexpr size_t greeting_length = sizeof(greeting) - 1;

/* Exit statuses, one per failing step; bind, receive and send share 2. */
static constexpr int status_done = 0;
static constexpr int status_socket = 1;
static constexpr int status_bind = 2;
static constexpr int status_listen = 3;
static constexpr int status_accept = 4;
static constexpr int status_receive = 2;
static constexpr int status_send = 2;

int
main()
{
	int listener = socket(AF_INET, SOCK_STREAM, 0);
	if (listener == -1) {
		puts("Socet creation failed");
		return status_socket;
	}

	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(listen_port);
	address.sin_addr.s_addr = inet_addr(listen_address);

	if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
		printf("Bind Failed");
		return status_bind;
	}
	if (listen(listener, listen_backlog) < 0) {
		puts("Listen Failed");
		return status_listen;
	}

	int connection = accept(listener, nullptr, nullptr);
	if (connection < 0) {
		puts("Accept failed");
		return status_accept;
	}

	/*
	 * One receive, whatever it returns. The message is not terminated, so
	 * the precision bounds the print to the bytes received; %s stops
	 * earlier at a zero byte. The message is an argument, never a format.
	 */
	char message[message_max];
	ssize_t received = recv(connection, message, sizeof(message), 0);
	if (received < 0) {
		printf("recv Failed");
		return status_receive;
	}
	printf("Data Received from client : %.*s ", static_cast<int>(received), message);

	/*
	 * A connection that can no longer send (the peer half-closed, then
	 * reset) would raise SIGPIPE and kill the process with the received
	 * text still in the buffer. MSG_NOSIGNAL makes that an ordinary send
	 * failure instead.
	 */
	if (send(connection, greeting, greeting_length, MSG_NOSIGNAL) < 0) {
		printf("send Failed");
		return status_send;
	}
	return status_done;
}
