#include "story.h"

#include <signal.h>

#include <algorithm>

namespace observe {

/* Collected processes ended this recently are kept whatever their number,
 * as the process table keeps them: the same watch is drawn alike. */
static constexpr Micros collected_lately = 1'000'000;

Told *
Story::latest(pid_t pid)
{
	auto latest = latest_.find(pid);
	return latest == latest_.end() ? nullptr : latest->second;
}

Told const *
Story::find(pid_t pid) const
{
	return const_cast<Story *>(this)->latest(pid);
}

/* Forgets the oldest collected processes, the program aside, down to
 * kept_ended, in one pass once there are twice as many. */
void
Story::forget_oldest(Micros now)
{
	if (ended_ < forget_at_)
		return;
	std::size_t excess = ended_ - kept_ended;
	std::deque<Told> kept;
	for (auto &p : processes_) {
		bool old = !p.first && p.ended() && now - *p.ended_at >= collected_lately;
		if (old && excess > 0) {
			excess--;
			ended_--;
			forgotten_++;
			continue;
		}
		kept.push_back(std::move(p));
	}
	processes_ = std::move(kept);
	latest_.clear();
	for (auto &p : processes_)
		latest_[p.pid] = &p;
	forget_at_ = std::max(2 * kept_ended, ended_ + kept_ended);
}

void
Story::spawn(Micros t, Spawn const &e)
{
	/* The table tells first of the end of a pid's last holder; a recording that does not is read as the table would. */
	if (Told *earlier = latest(e.pid); earlier != nullptr && !earlier->ended()) {
		earlier->ended_at = t;
		ended_++;
	}
	forget_oldest(t);
	Told p;
	p.pid = e.pid;
	p.ppid = e.ppid;
	p.name = e.name;
	p.place = e.place;
	p.first = processes_.empty();
	processes_.push_back(std::move(p));
	latest_[e.pid] = &processes_.back();
}

void
Story::take(Event const &event)
{
	Micros t = event.t_us;
	std::visit(Overload{
		[&](Started const &e) {
			observer_ = e.observer;
			shell_ = e.shell;
		},
		[&](Spawn const &e) { spawn(t, e); },
		[&](StateChange const &e) {
			if (Told *p = latest(e.pid)) {
				p->state = e.state;
				p->history.emplace_back(t, e.state);
			}
		},
		[&](Exec const &e) {
			if (Told *p = latest(e.pid))
				p->name = base_name(e.file);
		},
		[&](Adopted const &e) {
			if (Told *p = latest(e.pid)) {
				p->ppid = e.ppid;
				p->adoptions.emplace_back(t, e.ppid);
			}
		},
		[&](Signal const &e) {
			if (Told *p = latest(e.target); p != nullptr && e.signal != SIGCHLD)
				p->signals.emplace_back(t, e.signal);
		},
		[&](Ended const &e) {
			Told *p = latest(e.pid);
			if (p == nullptr || p->ended())
				return;
			p->ended_at = t;
			p->wait_status = e.wait_status;
			p->by_observe = e.by_observe;
			p->lost = e.lost;
			ended_++;
		},
		[](auto const &) {},
	}, event.what);
}

} // namespace observe
