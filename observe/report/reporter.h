#pragma once

/*
 * Where a watch's events go, in time order. A reporter reads the event and
 * the process table; it keeps no account of the processes of its own.
 */

#include "events.h"
#include "table.h"

#include <memory>
#include <vector>

namespace observe {

class Reporter {
public:
	virtual ~Reporter() = default;
	virtual void report(Event const &, ProcessTable const &) = 0;
	/* Each batch of events released is written out at once, not each event:
	 * a job that prints much would otherwise wait on observe's writes. */
	virtual void flush() {}
	/* Everything has been reported. */
	virtual void finish(ProcessTable const &) {}
};

/* Several reporters, each given every event in turn. */
class Reporters : public Reporter {
public:
	void add(std::unique_ptr<Reporter> reporter) { all_.push_back(std::move(reporter)); }
	void report(Event const &e, ProcessTable const &table) override
	{
		for (auto &r : all_)
			r->report(e, table);
	}
	void flush() override
	{
		for (auto &r : all_)
			r->flush();
	}
	void finish(ProcessTable const &table) override
	{
		for (auto &r : all_)
			r->finish(table);
	}

private:
	std::vector<std::unique_ptr<Reporter>> all_;
};

} // namespace observe
