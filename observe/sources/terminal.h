#pragma once

/*
 * The job's terminal: the master side of its pseudo-terminal, and what the
 * terminal delivers there, byte for byte, as the job's processes write.
 */

#include "source.h"
#include "table.h"

#include <functional>

namespace observe {

class TerminalSource : public Source {
public:
	TerminalSource(int master, EventQueue &events, Stopwatch const &clock)
		: master_(master), events_(events), clock_(clock)
	{
	}
	int fd() const override { return open_ ? master_ : -1; }
	void take() override;
	/* Called after a take that read something. */
	void set_spoken(std::function<void()> spoken) { spoken_ = std::move(spoken); }
	/* What the terminal still holds, until nothing holds its other side or a
	 * short while has passed. */
	void drain();

private:
	int master_;
	EventQueue &events_;
	Stopwatch const &clock_;
	bool open_ = true;
	std::function<void()> spoken_;
};

} // namespace observe
