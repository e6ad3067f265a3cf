#pragma once

/*
 * What a watch sees happen, one small struct per kind. Every event carries
 * its time in microseconds from the start of the watch: the moment it
 * happened where a source knows it (the kernel's trace), else the moment it
 * was seen. Each stands alone: it carries what any reporter needs of it (a
 * process's name, place and parent come with its spawn), so that a watch
 * replayed from its recording is reported as it was live. A reporter
 * handles each kind once, and the compiler checks that it handles them all.
 */

#include "procfs.h"
#include "signal_vocabulary.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace observe {

using Clock = std::chrono::steady_clock;
using Micros = std::int64_t;

/* Times of a watch, from its start. Clock is CLOCK_MONOTONIC, as the trace's times are. */
class Stopwatch {
public:
	explicit Stopwatch(Clock::time_point start = Clock::now()) : start_(start) {}
	Micros at(Clock::time_point t) const
	{
		return std::chrono::duration_cast<std::chrono::microseconds>(t - start_).count();
	}
	Micros now() const { return at(Clock::now()); }
	/* Times from now on: a watch counts from the start of its job. */
	void restart() { start_ = Clock::now(); }
	/* The next time after now that is a whole number of intervals from the
	 * start: sources that look at each interval look together. */
	Clock::time_point next_tick(Clock::duration interval) const
	{
		auto passed = (Clock::now() - start_) / interval;
		return start_ + (passed + 1) * interval;
	}
	Clock::time_point start() const { return start_; }

private:
	Clock::time_point start_;
};

/* The states a process is shown in. */
using State = procfs::State;

/* Where the watch's process events come from. */
enum class SourceKind { kernel, proc };

/* The first word: what is watched, and how. */
struct Started {
	std::string program;
	pid_t pid;
	double limit_seconds;
	SourceKind source;
	std::string why;	/* why the /proc source, where it is used */
	/* Not of the job, but named in its events: observe itself, and the
	 * shell that leads the job's session. -1 where unknown. */
	pid_t observer = -1;
	pid_t shell = -1;
};

/*
 * A process's place in the job: the program, an orphan (one whose parent
 * was never of the job), the program's sibling (a child the job made for
 * its shell, with CLONE_PARENT), or a descendant of one of them, by its
 * line of descent: {program, {1, 2}} is the program's first child's second
 * child. Children are numbered from 1 in the order they appear.
 */
struct Place {
	enum class Root { program, orphan, sibling };
	Root root = Root::program;
	std::vector<int> lineage;

	bool program() const { return root == Root::program && lineage.empty(); }
	/* The place of its child numbered `number`. */
	Place child(int number) const;
	bool operator==(Place const &) const = default;
};

/* A process of the job appears: the program, or a child of one of the job. */
struct Spawn {
	pid_t pid;
	pid_t ppid;
	std::string name;	/* its command name */
	Place place;
};

struct StateChange {
	pid_t pid;
	State state;
};

/* It now runs another program. */
struct Exec {
	pid_t pid;
	std::string file;
};

/* Its parent ended, and another process became its parent. */
struct Adopted {
	pid_t pid;
	pid_t ppid;
};

/* The process was collected: ended for good. */
struct Ended {
	pid_t pid;
	std::optional<int> wait_status;	/* none where its collector tells nobody */
	bool by_observe;		/* observe's own kill at the end ended it */
	/* What its stdout buffer held at the last look, where a signal ended it:
	 * never written. Empty where an exit wrote it out; none where unknown. */
	std::optional<std::string> lost = std::nullopt;
};

/* What a process's stdout buffer holds, written but not yet delivered, when it changes. */
struct Held {
	pid_t pid;
	std::string text;
	bool inherited;		/* the copy of its parent's buffer that a child begins with */
};

/* A process whose stdout buffer observe cannot read, and why. */
struct Unreadable {
	pid_t pid;
	std::string why;
};

/* A signal generated for a process of the job, or by one. */
struct Signal {
	pid_t target;
	int signal;
	std::optional<pid_t> from;	/* the sender (its process); none where the kernel sent it of its own accord */
	SignalResult result;
	SignalCause cause;
	int code;	/* si_code: for SIGCHLD, what the child did */
	State target_state;	/* what the target was when it was sent */
	bool target_ending = false;	/* a fatal signal had already been sent to it */
	/* For the kernel's own: the process of the job whose doing it was (the
	 * parent whose end orphaned the group, the child that changed state). */
	std::optional<pid_t> because_of = std::nullopt;
	/* The sender's thread, where it is not its process's main thread. */
	std::optional<pid_t> thread = std::nullopt;
	/* The thread it was sent to, where a thread and not the process was named (tgkill). */
	std::optional<pid_t> target_thread = std::nullopt;
	/* One member's share of a kill to a group: the kill's pid argument (0, -1, -PGID). */
	std::optional<pid_t> group = std::nullopt;
	/* Ignored though the target does not ignore it: the target is the first
	 * process of a pid namespace of its own, which the kernel spares any
	 * signal it has no handler for. */
	bool target_spared = false;
};

/* One kill to many: a process group (kill with 0 or -PGID) or every process
 * the sender may signal (-1). Each member's result follows as a Signal. */
struct GroupSignal {
	pid_t from;
	int signal;
	pid_t group;	/* the kill's pid argument: 0 the sender's own group, -1 all, -PGID */
	std::optional<pid_t> thread = std::nullopt;	/* as Signal's */
};

/* Why a signal that was sent never took effect. */
enum class DiscardReason {
	orphaned_group,		/* a terminal stop taken in an orphaned group */
	flushed_by_sigcont,	/* a stop signal cleared by a SIGCONT before it was taken */
};

struct Discarded {
	pid_t pid;
	int signal;
	DiscardReason reason;
};

/* The kernel dropped records its buffer had no room for: what happened
 * from `from` to `until` may be missing. Told as soon as it is found. */
struct Lost {
	long long records;	/* at least */
	Micros from;
	Micros until;
};

/* Bytes the job's terminal delivered. */
struct Output {
	std::string text;
};

/* The server's client: what it received, and how the connection ended. */
struct Reply {
	std::string text;
};
struct Eof {};
struct Reset {};

/* observe itself did not run for a while (it was stopped, or starved):
 * what the /proc source sees now may have happened any time since. */
struct Gap {
	Micros since;
};

/* The greeting server's client found nothing listening before the end. */
struct NoListener {};

/*
 * A TCP socket's state, numbered as the kernel numbers them (its TCP_*
 * values, which /proc/net/tcp shows too), so that either source converts
 * with socket_state().
 */
enum class SocketState {
	established = 1,
	syn_sent,
	syn_received,
	fin_wait1,	/* this end has closed */
	fin_wait2,	/* ... and the other end has seen it */
	time_wait,	/* both have closed, this end first: kept for a minute */
	closed,
	close_wait,	/* the other end has closed */
	last_ack,	/* ... and then this end */
	listening,
	closing,	/* both closed at once */
	new_syn_received,	/* a connection's first step, before it is a socket of its own */
};

/* A TCP socket of the job, or a connection it left behind, in a new state. */
struct SocketChange {
	std::string local;			/* "127.0.0.1:3456", "[::1]:3456" */
	std::optional<std::string> remote;	/* none for a listener */
	SocketState state;
	std::optional<pid_t> pid;	/* the process that holds it, or made the change; none for nobody */
	bool before = false;	/* left by an earlier run */
	bool reset = false;	/* closed by a reset, sent or received, not by an orderly end */
};

/* Why the watch ended: every process of the job ended, its time limit came,
 * or a person or a signal ended it. */
enum class EndReason { all_ended, time_limit, interrupted };

/* The watch is over. */
struct End {
	EndReason reason;
	std::vector<pid_t> ended;	/* what observe had to end */
};

using What = std::variant<Started, Spawn, Exec, StateChange, Adopted, Ended, Signal, GroupSignal, Discarded, Held,
			  Unreadable, Output, Reply, Eof, Reset, NoListener, SocketChange, Gap, Lost, End>;

struct Event {
	Micros t_us;
	What what;
};

/* Visits a variant with one lambda per alternative. */
template<typename... Handlers>
struct Overload : Handlers... {
	using Handlers::operator()...;
};
/* clang++ 14 does not deduce an aggregate's arguments by itself. */
template<typename... Handlers>
Overload(Handlers...) -> Overload<Handlers...>;

char const *state_name(State);
char const *reason_name(DiscardReason);
/* "all ended", "time limit", "interrupted" */
char const *reason_name(EndReason);
/* A place in words: "program", "child 1", "child 1, child 2", "orphan", "orphan, child 1",
 * "program's sibling". */
std::string place_name(Place const &);
/* The place of words place_name() gives; none for other words. */
std::optional<Place> place_named(std::string const &words);
/* The last part of a path: "childsig-a" of "build/bin/childsig-a". */
std::string base_name(std::string const &path);
/* "listening", "syn-sent", "fin-wait-1", "time-wait", ... */
char const *socket_state_name(SocketState);
/* The kernel's TCP_* number as a state; an unknown one is closed. */
SocketState socket_state(int kernel_state);
/* The state of a name socket_state_name() gives; none for another. */
std::optional<SocketState> socket_state_named(std::string const &name);

} // namespace observe
