#pragma once

/*
 * Signals to observe itself, read from descriptors rather than caught: main
 * blocks them for the whole process, so they wait until the loop takes them
 * and nothing is interrupted halfway.
 *
 * Orphans of the job come to observe, a child subreaper, as they would come
 * to init; the reaper collects them at once, as init would, and tells the
 * table how they ended. Interrupts (Ctrl-C, SIGTERM, SIGHUP) end the watch.
 */

#include "source.h"
#include "table.h"

#include <signal.h>

#include <optional>
#include <vector>

namespace observe {

/* The signals observe takes from descriptors; main blocks them first. */
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr int child_signal = SIGCHLD;

class SignalSource : public Source {
public:
	explicit SignalSource(std::vector<int> const &signals);
	~SignalSource() override;
	SignalSource(SignalSource const &) = delete;
	SignalSource &operator=(SignalSource const &) = delete;
	int fd() const override { return fd_; }

protected:
	/* The signals that have arrived since the last look. */
	std::vector<int> arrived();

private:
	int fd_;
};

class Reaper : public SignalSource {
public:
	Reaper(ProcessTable &table, Stopwatch const &clock);
	void take() override;
	bool shell_collected() const { return shell_collected_; }

private:
	ProcessTable &table_;
	Stopwatch const &clock_;
	bool shell_collected_ = false;
};

class Interrupts : public SignalSource {
public:
	Interrupts();
	void take() override;
	/* The first interrupt that came, if any. */
	std::optional<int> signal() const { return signal_; }

private:
	std::optional<int> signal_;
};

} // namespace observe
