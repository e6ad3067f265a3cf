#include "table.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>

namespace observe {

void
EventQueue::push(Micros t, What what)
{
	/* After every event of the same time, so that equal times keep their order. */
	auto later = std::upper_bound(waiting_.begin(), waiting_.end(), t,
				      [](Micros t, Event const &e) { return t < e.t_us; });
	waiting_.insert(later, Event{t, std::move(what)});
}

std::vector<Event>
EventQueue::release(Micros until)
{
	std::vector<Event> ready;
	while (!waiting_.empty() && waiting_.front().t_us <= until) {
		ready.push_back(std::move(waiting_.front()));
		waiting_.pop_front();
	}
	return ready;
}

/* The process descriptor calls, by number: this C library's header for them
 * declares them without C linkage. */
static int
open_pidfd(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

ProcessTable::~ProcessTable()
{
	for (auto &p : processes_)
		if (p.pidfd >= 0)
			close(p.pidfd);
}

namespace {

std::uint64_t
key(pid_t pid, unsigned generation)
{
	return static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32 | generation;
}

} // namespace

Process *
ProcessTable::find(pid_t pid)
{
	auto generation = generations_.find(pid);
	if (generation == generations_.end())
		return nullptr;
	auto kept = kept_.find(key(pid, generation->second));
	return kept == kept_.end() ? nullptr : kept->second;
}

Process const *
ProcessTable::find(pid_t pid) const
{
	return const_cast<ProcessTable *>(this)->find(pid);
}

Process const *
ProcessTable::find(pid_t pid, unsigned generation) const
{
	auto kept = kept_.find(key(pid, generation));
	return kept == kept_.end() ? nullptr : kept->second;
}

std::vector<pid_t>
ProcessTable::living() const
{
	std::vector<pid_t> pids;
	pids.reserve(living_.size());
	for (auto const &[serial, p] : living_)
		pids.push_back(p->pid);
	return pids;
}

void
ProcessTable::index()
{
	kept_.clear();
	living_.clear();
	for (auto &p : processes_) {
		kept_[key(p.pid, p.generation)] = &p;
		if (!p.ended())
			living_[p.serial] = &p;
	}
}

Process &
ProcessTable::appear(Micros t, pid_t pid, pid_t ppid, std::string name, State state)
{
	/* A pid given again while its last holder seemed alive: that one was collected unseen. */
	if (Process *earlier = find(pid); earlier != nullptr && !earlier->ended())
		end(*earlier, t, std::nullopt);
	auto forgettable = [t](Process const &p) {
		return p.serial != 0 && p.ended() && t - *p.ended_at >= Forgetting::grace;
	};
	if (forgetting_.forget_oldest(processes_, forgettable))
		index();
	Place place{Place::Root::orphan, {}};
	if (processes_.empty())
		place.root = Place::Root::program;
	else if (Process *parent = find(ppid))
		place = parent->place.child(++parent->children);
	else if (ppid == shell_)
		place.root = Place::Root::sibling;	/* made by the job for its shell (CLONE_PARENT) */
	Process p{};
	p.pid = pid;
	p.ppid = ppid;
	p.name = std::move(name);
	p.place = std::move(place);
	p.state = state;
	p.appeared = t;
	p.since = t;
	p.pidfd = open_pidfd(pid);
	p.serial = appeared_++;
	auto generation = generations_.find(pid);
	p.generation = generation == generations_.end() ? 0 : generation->second + 1;
	generations_[pid] = p.generation;
	processes_.push_back(std::move(p));
	Process &added = processes_.back();
	kept_[key(pid, added.generation)] = &added;
	living_[added.serial] = &added;
	events_.push(t, Spawn{pid, ppid, added.name, added.place});
	events_.push(t, StateChange{pid, state});
	return added;
}

void
ProcessTable::change(Micros t, pid_t pid, State state)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended() || p->state == state)
		return;
	p->state = state;
	p->since = t;
	events_.push(t, StateChange{pid, state});
}

void
ProcessTable::exec(Micros t, pid_t pid, std::string file)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended())
		return;
	p->name = base_name(file);
	events_.push(t, Exec{pid, std::move(file)});
}

void
ProcessTable::signal(Micros t, Signal const &sent)
{
	events_.push(t, sent);
}

void
ProcessTable::group_signal(Micros t, GroupSignal const &sent)
{
	events_.push(t, sent);
}

void
ProcessTable::discard(Micros t, Discarded const &discarded)
{
	events_.push(t, discarded);
}

void
ProcessTable::adopt(Micros t, pid_t pid, pid_t parent)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended() || p->ppid == parent)
		return;
	p->ppid = parent;
	events_.push(t, Adopted{pid, parent});
}

bool
Process::ended_by_observe() const
{
	return killed && wait_status && WIFSIGNALED(*wait_status) && WTERMSIG(*wait_status) == SIGKILL;
}

void
ProcessTable::end(Process &p, Micros t, std::optional<int> wait_status)
{
	p.ended_at = t;
	p.wait_status = wait_status;
	living_.erase(p.serial);
	forgetting_.ended();
	if (p.pidfd >= 0)
		close(p.pidfd);
	p.pidfd = -1;
	std::optional<std::string> lost;
	if (p.held && wait_status && WIFSIGNALED(*wait_status))
		lost = *p.held;
	else if (p.held && wait_status)
		lost = "";
	events_.push(t, Ended{p.pid, wait_status, p.ended_by_observe(), lost});
}

void
ProcessTable::gone(Micros t, pid_t pid, bool status_coming)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended() || p->gone_at)
		return;
	if (p->told_status)
		end(*p, t, p->told_status);
	else if (exact_ && p->zombie_status)
		end(*p, t, p->zombie_status);
	else if (status_coming)
		p->gone_at = t;
	else
		end(*p, t, p->zombie_status);
}

void
ProcessTable::told(Micros t, pid_t pid, int wait_status)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended())
		return;
	/* Its collection's record is still to come: the kernel's time is its time. A
	 * process not yet a zombie is a new one with the pid of the one told of. */
	if (exact_ && !p->gone_at) {
		/* Reaped, and still no zombie: the kernel's records of its end were lost. */
		if ((p->state == State::zombie || reaped(p->pid)) && !p->told_status) {
			p->told_status = wait_status;
			told_at_.emplace_back(t, p->pid);
		}
		return;
	}
	end(*p, p->gone_at.value_or(t), wait_status);
}

void
ProcessTable::expire(Micros now, Micros grace)
{
	std::vector<Process *> late;
	for (auto const &[serial, p] : living_)
		if (p->gone_at && now - *p->gone_at > grace)
			late.push_back(p);
	for (Process *p : late)
		end(*p, *p->gone_at, std::nullopt);
	/* Told of, and the kernel's record of the collection lost: the word's time is all there is. */
	while (!told_at_.empty() && now - told_at_.front().first > grace) {
		auto [t, pid] = told_at_.front();
		told_at_.pop_front();
		if (Process *p = find(pid); p != nullptr && !p->ended() && p->told_status)
			end(*p, t, p->told_status);
	}
}

void
ProcessTable::hold(Micros t, pid_t pid, std::string bytes, bool inherited)
{
	Process *p = find(pid);
	if (p == nullptr || p->ended() || p->held == bytes)
		return;
	bool first = !p->held;
	p->held = bytes;
	if (first && bytes.empty())
		return;	/* nothing held from the start is no news */
	events_.push(t, Held{pid, std::move(bytes), inherited});
}

void
ProcessTable::unreadable(Micros t, pid_t pid, std::string why)
{
	Process *p = find(pid);
	if (p == nullptr || p->unreadable)
		return;
	p->unreadable = true;
	p->held.reset();
	events_.push(t, Unreadable{pid, std::move(why)});
}

bool
ProcessTable::reaped(pid_t pid) const
{
	Process const *p = find(pid);
	if (p == nullptr || p->ended())
		return true;
	if (p->pidfd < 0)
		return !procfs::read_stat(pid);
	return syscall(SYS_pidfd_send_signal, p->pidfd, 0, nullptr, 0) < 0 && errno == ESRCH;
}

bool
ProcessTable::kill(pid_t pid)
{
	Process *p = find(pid);
	if (p == nullptr)
		return false;
	p->killed = true;
	if (p->pidfd < 0)
		return false;
	return syscall(SYS_pidfd_send_signal, p->pidfd, SIGKILL, nullptr, 0) == 0;
}

} // namespace observe
