#include "proc_sampler.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>

namespace observe {

/* A command name as the kernel keeps it: cut to 15 bytes. */
static std::string
kernel_name(std::string const &name)
{
	constexpr size_t comm_size = 15;
	return name.substr(0, comm_size);
}

/* The program a process runs, by its path where /proc lets observe read it. */
static std::string
program_of(pid_t pid, std::string const &comm)
{
	char path[PATH_MAX];
	std::string link = "/proc/" + std::to_string(pid) + "/exe";
	ssize_t n = readlink(link.c_str(), path, sizeof(path) - 1);
	return n > 0 ? std::string(path, static_cast<size_t>(n)) : comm;
}

ProcSampler::ProcSampler(ProcessTable &table, EventQueue &events, Stopwatch const &clock)
	: table_(table), events_(events), clock_(clock), next_(clock.next_tick(sample_interval)), last_(Clock::now())
{
}

procfs::ProcessFiles &
ProcSampler::files(pid_t pid)
{
	auto found = files_.find(pid);
	if (found == files_.end())
		found = files_.emplace(pid, procfs::ProcessFiles(pid)).first;
	return found->second;
}

void
ProcSampler::update(Process &p, Micros now)
{
	auto stat = files(p.pid).stat();
	if (!stat) {
		files_.erase(p.pid);
		table_.gone(now, p.pid, table_.tells(p.ppid));
		return;
	}
	table_.adopt(now, p.pid, stat->ppid);
	/* A new command name is an exec, as far as /proc tells: a child of a
	 * shell is first seen as the shell, then as what it runs. */
	if (kernel_name(p.name) != stat->comm && procfs::state_of(stat->state) != State::zombie) {
		table_.exec(now, p.pid, program_of(p.pid, stat->comm));
		/* The program's path may end in another name than the one it was run by
		 * (a link, as python3 to python3.11): the next sample compares the command name. */
		p.name = stat->comm;
	}
	State state = procfs::state_of(stat->state);
	if (state == State::zombie)
		p.zombie_status = stat->exit_code;
	/* Once observe has killed it, its end is all there is to see; a sample
	 * between the kill and the collection would show an ending of observe's own making. */
	if (!p.killed)
		table_.change(now, p.pid, state);
}

/* Seen and not yet collected: a pid whose holder was collected is another process's now. */
bool
ProcSampler::known(pid_t pid) const
{
	Process const *p = table_.find(pid);
	return p != nullptr && !p->ended();
}

void
ProcSampler::discover(Micros now)
{
	/* The living, and each child as it is found, so that a grandchild is found
	 * in the same look; a new process may move the table's entries, so pids. */
	std::vector<pid_t> parents = table_.living();
	for (size_t i = 0; i < parents.size(); i++) {
		pid_t parent_pid = parents[i];
		for (pid_t child : files(parent_pid).children()) {
			if (known(child))
				continue;
			if (auto stat = files(child).stat()) {
				table_.appear(now, child, parent_pid, stat->comm, procfs::state_of(stat->state));
				parents.push_back(child);
			}
		}
	}
	for (pid_t child : files(table_.observer()).children()) {
		if (child == table_.shell() || known(child))
			continue;
		if (auto stat = files(child).stat())
			table_.appear(now, child, stat->ppid, stat->comm, procfs::state_of(stat->state));
	}
}

void
ProcSampler::take()
{
	auto now_point = Clock::now();
	Micros now = clock_.at(now_point);
	if (now_point - last_ > gap_threshold)
		events_.push(now, Gap{clock_.at(last_)});
	last_ = now_point;
	for (pid_t pid : table_.living())
		if (Process *p = table_.find(pid))
			update(*p, now);
	/* What has ended, however its end was told, keeps no file open. */
	for (auto f = files_.begin(); f != files_.end();) {
		Process const *p = table_.find(f->first);
		if (p != nullptr && p->ended())
			f = files_.erase(f);
		else
			++f;
	}
	discover(now);
	next_ = clock_.next_tick(sample_interval);
}

} // namespace observe
