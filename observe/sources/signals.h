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

#include <functional>
#include <optional>
#include <vector>

namespace observe {

/* The signals observe takes from descriptors; main blocks them first. */
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr int child_signal = SIGCHLD;
/* About observe's own terminal: a new size, a stop asked for, a continue. */
constexpr int screen_signals[] = {SIGWINCH, SIGTSTP, SIGCONT};

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

/*
 * observe's terminal changed size, or observe is asked to stop, or was
 * continued: what to do about each is the watch's; a stop asked for
 * (SIGTSTP) is then taken, as a full-screen program takes it once it has
 * given the terminal back.
 */
class ScreenSignals : public SignalSource {
public:
	explicit ScreenSignals(std::function<void(int)> handle);
	void take() override;

private:
	std::function<void(int)> handle_;
};

} // namespace observe
