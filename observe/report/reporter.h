#pragma once

/*
 * Where a watch's events go, in time order. A reporter builds from the
 * events alone, live or replayed from a recording: what it needs to know of
 * a process, the events told it (a Story keeps that for those that ask).
 */

#include "events.h"

#include <memory>
#include <vector>

namespace observe {

class Reporter {
public:
	virtual ~Reporter() = default;
	virtual void report(Event const &) = 0;
	/* Each batch of events released is written out at once, not each event:
	 * a job that prints much would otherwise wait on observe's writes. */
	virtual void flush() {}
	/* Everything has been reported. */
	virtual void finish() {}
};

/* Several reporters, each given every event in turn. */
class Reporters : public Reporter {
public:
	void add(std::unique_ptr<Reporter> reporter) { all_.push_back(std::move(reporter)); }
	void report(Event const &e) override
	{
		for (auto &r : all_)
			r->report(e);
	}
	void flush() override
	{
		for (auto &r : all_)
			r->flush();
	}
	void finish() override
	{
		for (auto &r : all_)
			r->finish();
	}

private:
	std::vector<std::unique_ptr<Reporter>> all_;
};

} // namespace observe
