/*
 * The greeting server, driven by a real client on the loopback interface of
 * a private network namespace: the exchange, what it prints, each failing
 * step (faults injected with strace), and the socket states that make a
 * restart fail or succeed.
 */
#include "network.h"
#include "process.h"
#include "requirements.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <memory>

namespace {

using harness::Child;
using harness::TcpClient;
using harness::Launch;
using harness::Output;
using namespace std::chrono_literals;

/* Written here again on purpose: read from the server's own header, a wrong
 * address or port would pass unseen. */
constexpr char address[] = "127.0.0.1";
constexpr int port = 3456;
constexpr char greeting[] = "Hello From ZOR";
constexpr char received[] = "Data Received from client : ";

class Server : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_PRIVATE_NETWORK(); }

	static std::unique_ptr<Child> start(std::vector<std::string> argv = {harness::program("server")},
					    Output output = Output::pipe)
	{
		return std::make_unique<Child>(Launch{.argv = std::move(argv), .output = output});
	}

	static std::unique_ptr<Child> start_listening()
	{
		auto server = start();
		EXPECT_TRUE(harness::wait_listening(address, port, 5s)) << "the server never listened";
		return server;
	}

	/* One complete exchange of `message`; returns what the client read. */
	static TcpClient::Reply exchange(Child &server, std::string const &message)
	{
		TcpClient client(address, port);
		EXPECT_TRUE(client.connected()) << strerror(client.error());
		client.send(message);
		auto reply = client.read_all(5s);
		EXPECT_TRUE(server.wait_exit(5s)) << "the server did not end after the exchange";
		return reply;
	}
};

TEST_F(Server, GreetsAClientAndPrintsItsMessageWithoutANewline)
{
	auto server = start_listening();
	auto reply = exchange(*server, "hi");

	EXPECT_EQ(reply.bytes, greeting);
	EXPECT_EQ(reply.end, TcpClient::End::eof);
	EXPECT_EQ(server->exit_status(), 0) << server->describe_status();
	EXPECT_EQ(server->out(), std::string(received) + "hi ");
	EXPECT_EQ(server->err(), "");
}

struct Message {
	char const *name;
	std::string sent;
	std::string printed;	/* exactly, or "" where any prefix of `sent` will do */
	bool closes_without_sending;
};

class Messages : public Server, public ::testing::WithParamInterface<Message> {};

TEST_P(Messages, PrintsWhatTheSingleReceiveReturned)
{
	auto const &message = GetParam();
	auto server = start_listening();
	TcpClient client(address, port);
	ASSERT_TRUE(client.connected());
	if (message.closes_without_sending)
		client.shut_write();
	else
		client.send(message.sent);
	auto reply = client.read_all(5s);
	ASSERT_TRUE(server->wait_exit(5s));

	EXPECT_EQ(reply.bytes, greeting);
	EXPECT_EQ(server->exit_status(), 0) << server->describe_status();
	auto const &out = server->out();
	ASSERT_TRUE(out.starts_with(received) && out.ends_with(" ")) << out;
	auto text = out.substr(sizeof(received) - 1, out.size() - sizeof(received));
	if (!message.printed.empty() || message.closes_without_sending) {
		EXPECT_EQ(text, message.printed);
	}
	EXPECT_LE(text.size(), 100u);
	EXPECT_FALSE(text.empty() && !message.closes_without_sending);
	EXPECT_EQ(message.sent.substr(0, text.size()), text);
}

std::string
bytes(size_t count)
{
	std::string text;
	for (size_t i = 0; i < count; i++)
		text += static_cast<char>('A' + i % 26);
	return text;
}

Message const messages[] = {
	Message{"HundredBytesPrintWhole", bytes(100), bytes(100), false},
	Message{"OverlongMessageIsCutAtTheReceive", bytes(150), "", false},
	Message{"ClosedWithoutSendingPrintsNothing", "", "", true},
	Message{"ZeroByteEndsTheText", std::string("ab\0cd", 5), "ab", false},
	Message{"ConversionsPrintLiterally", "%s%n%d%%", "%s%n%d%%", false},
};

INSTANTIATE_TEST_SUITE_P(Server, Messages, ::testing::ValuesIn(messages),
	[](auto const &info) { return std::string(info.param.name); });

TEST_F(Server, OnATerminalTheTextUpToANewlineAppearsBeforeTheGreeting)
{
	REQUIRE_PROGRAM("strace");
	/* The send is held back a moment, so what the terminal shows before it can be seen. */
	auto server = start(harness::with_fault("sendto", "sendto:delay_enter=700000",
						{harness::program("server")}),
			    Output::terminal);
	ASSERT_TRUE(harness::wait_listening(address, port, 5s));
	TcpClient client(address, port);
	client.send("one\ntwo");

	std::string const first = std::string(received) + "one\n";
	ASSERT_TRUE(harness::wait_until([&] { server->pump(); return server->out() == first; }, 5s))
		<< server->out();
	EXPECT_EQ(client.read_ready(), "") << "the greeting came before the line";
	EXPECT_FALSE(server->ended());

	auto reply = client.read_all(5s);
	ASSERT_TRUE(server->wait_exit(5s));
	server->drain(1s);
	EXPECT_EQ(reply.bytes, greeting);
	EXPECT_EQ(server->out(), first + "two ");
	EXPECT_EQ(server->exit_status(), 0);
}

enum class Peer { none, connects, sends };

struct Failure {
	char const *name;
	char const *trace;
	char const *inject;
	Peer peer;
	std::string out;
	int status;
};

class Failures : public Server, public ::testing::WithParamInterface<Failure> {};

TEST_P(Failures, EachStepHasItsTextAndStatus)
{
	REQUIRE_PROGRAM("strace");
	auto const &failure = GetParam();
	auto server = start(harness::with_fault(failure.trace, failure.inject, {harness::program("server")}));
	std::unique_ptr<TcpClient> client;
	if (failure.peer != Peer::none) {
		ASSERT_TRUE(harness::wait_listening(address, port, 5s));
		client = std::make_unique<TcpClient>(address, port);
		if (failure.peer == Peer::sends)
			client->send("hi");
	}
	ASSERT_TRUE(server->wait_exit(10s));
	server->drain(1s);
	EXPECT_EQ(server->out(), failure.out);
	EXPECT_EQ(server->exit_status(), failure.status) << server->describe_status();
}

Failure const failures[] = {
	Failure{"Socket", "socket", "socket:error=EMFILE", Peer::none, "Socet creation failed\n", 1},
	Failure{"Bind", "bind", "bind:error=EADDRINUSE", Peer::none, "Bind Failed", 2},
	Failure{"Listen", "listen", "listen:error=EADDRINUSE", Peer::none, "Listen Failed\n", 3},
	Failure{"Accept", "accept,accept4", "accept,accept4:error=EMFILE", Peer::none, "Accept failed\n", 4},
	Failure{"Receive", "recvfrom", "recvfrom:error=ECONNRESET", Peer::sends, "recv Failed", 2},
	Failure{"Send", "sendto", "sendto:error=EPIPE", Peer::sends,
		std::string(received) + "hi send Failed", 2},
};

INSTANTIATE_TEST_SUITE_P(Server, Failures, ::testing::ValuesIn(failures),
	[](auto const &info) { return std::string(info.param.name); });

TEST_F(Server, ASecondServerCannotBindWhileTheFirstListens)
{
	auto first = start_listening();
	auto second = start();
	ASSERT_TRUE(second->wait_exit(5s));
	EXPECT_EQ(second->out(), "Bind Failed");
	EXPECT_EQ(second->exit_status(), 2);
	EXPECT_FALSE(first->ended());
}

TEST_F(Server, RestartWithinTimeWaitCannotBind)
{
	auto first = start_listening();
	auto reply = exchange(*first, "hi");
	ASSERT_EQ(reply.end, TcpClient::End::eof);
	ASSERT_EQ(first->exit_status(), 0);
	EXPECT_GE(harness::time_wait_count(port), 1) << "the server's end of the connection is not in TIME-WAIT";

	auto second = start();
	ASSERT_TRUE(second->wait_exit(5s));
	EXPECT_EQ(second->out(), "Bind Failed");
	EXPECT_EQ(second->exit_status(), 2);
}

TEST_F(Server, RestartAfterAnExchangeEndedInAResetBinds)
{
	auto first = start_listening();
	exchange(*first, bytes(150));	/* 50 bytes stay unread: the close resets */
	ASSERT_EQ(first->exit_status(), 0);
	EXPECT_EQ(harness::time_wait_count(port), 0);

	auto second = start_listening();
	auto reply = exchange(*second, "again");
	EXPECT_EQ(reply.bytes, greeting);
	EXPECT_EQ(second->exit_status(), 0) << second->describe_status();
}

/*
 * The server is held stopped in accept while the peer sends, then resets
 * (optionally after closing its sending side), so the reset is certain to
 * be there before the greeting goes out.
 */
class ResetPeer : public Server, public ::testing::WithParamInterface<bool> {};

TEST_P(ResetPeer, SendFailsAndTheTextIsKept)
{
	bool half_closed_first = GetParam();
	auto server = start_listening();
	kill(server->pid(), SIGSTOP);
	ASSERT_TRUE(harness::wait_until([&] { return harness::proc_state(server->pid()) == 'T'; }, 5s));
	{
		TcpClient client(address, port);
		ASSERT_TRUE(client.connected());
		client.send("hi");
		if (half_closed_first)
			client.shut_write();
		client.reset();
	}
	kill(server->pid(), SIGCONT);
	ASSERT_TRUE(server->wait_exit(5s));
	EXPECT_FALSE(server->signaled()) << server->describe_status();
	EXPECT_EQ(server->exit_status(), 2) << server->describe_status();
	EXPECT_EQ(server->out(), std::string(received) + "hi send Failed");
}

INSTANTIATE_TEST_SUITE_P(Server, ResetPeer, ::testing::Bool(),
			 [](auto const &info) { return info.param ? "AfterHalfClose" : "WhileEstablished"; });

TEST_F(Server, ListensOnTheLoopbackAddressOnly)
{
	auto server = start_listening();
	TcpClient elsewhere("127.0.0.2", port);
	EXPECT_FALSE(elsewhere.connected());
	EXPECT_EQ(elsewhere.error(), ECONNREFUSED);

	auto reply = exchange(*server, "hi");
	EXPECT_EQ(reply.bytes, greeting);
}

} // namespace
