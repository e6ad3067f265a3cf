#include "story.h"

#include <signal.h>


namespace observe {

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

void
Story::spawn(Micros t, Spawn const &e)
{
	/* The table tells first of the end of a pid's last holder; a recording that does not is read as the table would. */
	if (Told *earlier = latest(e.pid); earlier != nullptr && !earlier->ended())
		end(*earlier, t);
	auto forgettable = [t](Told const &p) { return !p.first && p.ended() && t - *p.ended_at >= Forgetting::grace; };
	if (forgetting_.forget_oldest(processes_, forgettable)) {
		latest_.clear();
		for (auto &p : processes_)
			latest_[p.pid] = &p;
	}
	Told p;
	p.pid = e.pid;
	p.ppid = e.ppid;
	p.name = e.name;
	p.place = e.place;
	p.first = processes_.empty();
	processes_.push_back(std::move(p));
	latest_[e.pid] = &processes_.back();
	running_++;
}

void
Story::end(Told &p, Micros t)
{
	if (p.state == State::running)
		running_--;
	p.ended_at = t;
	forgetting_.ended();
}

void
Story::change(Told &p, State state)
{
	if (!p.ended())
		running_ += (state == State::running) - (p.state == State::running);
	p.state = state;
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
				change(*p, e.state);
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
			end(*p, t);
			p->wait_status = e.wait_status;
			p->by_observe = e.by_observe;
			p->lost = e.lost;
		},
		[](auto const &) {},
	}, event.what);
}

} // namespace observe
