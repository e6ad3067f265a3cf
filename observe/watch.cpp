#include "watch.h"

#include "jobshell.h"
#include "loop.h"
#include "sources/proc_sampler.h"
#include "sources/kernel_trace.h"
#include "sources/keyboard.h"
#include "sources/server_client.h"
#include "sources/shell_reports.h"
#include "sources/signals.h"
#include "sources/sockets.h"
#include "sources/stdio_buffers.h"
#include "sources/terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace observe {

namespace {

using namespace std::chrono_literals;

/* How long a process that is gone may wait for its collector's word of its
 * status; on a busy machine the shell may be slow to run. */
constexpr Micros status_grace = 2'000'000;
/* How long the ending of what is left may take. */
constexpr auto ending_limit = 5s;
/*
 * Events are held back this long before they are reported, so that one a
 * source saw late (the shell's word, a sample) still comes in its place
 * among the others.
 */
constexpr Micros release_delay = 20'000;
/*
 * The niceness observe reads the trace at, once the job has started at the
 * usual one: the kernel drops what its buffers cannot hold, and on a busy
 * machine a reader at the usual priority may wait long enough to let them fill.
 */
constexpr int reader_nice = -10;

class Watch {
public:
	Watch(WatchOptions const &options, Reporter &reporter)
		: options_(options), reporter_(reporter), table_(events_, getpid()), reaper_(table_, clock_)
	{
	}

	std::optional<Outcome> run(std::string &error, int &exec_error);

private:
	WatchOptions const &options_;
	Reporter &reporter_;
	Stopwatch clock_;
	EventQueue events_;
	ProcessTable table_;
	/* Made before the job starts, so that no child's end is missed. */
	Reaper reaper_;
	Interrupts interrupts_;

	/* Told at once, stamped when it was found: the span it names is earlier.
	 * The socket trace's records are the kernel trace's, its losses too. */
	void report_losses(KernelSource *kernel)
	{
		if (kernel == nullptr)
			return;
		for (auto const &loss : kernel->losses())
			events_.push(clock_.now(), loss);
	}
	void report(Micros until)
	{
		auto released = events_.release(until);
		for (auto const &e : released)
			reporter_.report(e);
		if (!released.empty())
			reporter_.flush();
	}
	std::vector<pid_t> end_the_rest(Loop &, StdioBuffers &);
};

/*
 * Kills whatever of the job still runs, and what appears while it goes,
 * and waits until all of it is collected. A zombie is left to whoever
 * collects it once its parent is gone.
 */
std::vector<pid_t>
Watch::end_the_rest(Loop &loop, StdioBuffers &buffers)
{
	std::vector<pid_t> ended;
	auto end_living = [&] {
		for (auto const &p : table_.all()) {
			if (p.ended() || p.gone_at || p.killed || p.state == State::zombie)
				continue;
			/* What it holds now is what the kill throws away. */
			buffers.look(p.pid);
			table_.kill(p.pid);
			ended.push_back(p.pid);
		}
	};
	end_living();
	auto deadline = Clock::now() + ending_limit;
	while (!table_.all_ended() && Clock::now() < deadline) {
		loop.turn(deadline);
		table_.expire(clock_.now(), status_grace);
		end_living();
	}
	return ended;
}

/* The kernel source where it can be used and is wanted, else why not. */
static std::unique_ptr<KernelSource>
kernel_source(SourceChoice choice, ProcessTable &table, Stopwatch const &clock, std::string &why)
{
	if (choice == SourceChoice::proc) {
		why = "--source=proc asked for it";
		return nullptr;
	}
	why = KernelSource::unavailable();
	if (!why.empty())
		return nullptr;
	return KernelSource::open(table, clock, why);
}

std::optional<Outcome>
Watch::run(std::string &error, int &exec_error)
{
	/* The trace follows observe itself, from before the job starts: every fork of it is seen. */
	std::string why;
	auto kernel = kernel_source(options_.source, table_, clock_, why);
	if (!kernel && options_.source == SourceChoice::kernel) {
		error = "cannot use the kernel source: " + why;
		return std::nullopt;
	}

	jobshell::Options job_options;
	job_options.argv = options_.argv;
	job_options.ignored_signals = options_.ignored_signals;
	job_options.adopting = options_.adopting;
	job_options.uid = options_.uid;
	job_options.gid = options_.gid;
	if (options_.screen)
		job_options.size = options_.screen->size();
	/* Before the job, so that the kernel's record of its sockets misses none. */
	Sockets sockets(table_, events_, clock_, kernel ? &kernel->trace() : nullptr);
	/* Times count from here: opening the trace can take a while on a busy machine. */
	clock_.restart();
	auto job = jobshell::start(job_options, error, &exec_error);
	if (!job)
		return std::nullopt;
	table_.set_shell(job->shell);
	events_.push(0, Started{options_.argv[0], job->leader, options_.limit_seconds,
				kernel ? SourceKind::kernel : SourceKind::proc, kernel ? "" : why, getpid(), job->shell});
	std::string name = base_name(options_.argv[0]);
	if (kernel) {
		setpriority(PRIO_PROCESS, 0, reader_nice);
		kernel->set_job(job->leader, name, options_.adopting);
		kernel->take();
	}
	/* Without the trace, or should its record of the fork be missing. */
	if (table_.find(job->leader) == nullptr)
		table_.appear(clock_.now(), job->leader, job->shell, name, State::running);

	TerminalSource terminal(job->terminal, events_, clock_);
	ShellReports reports(*job, table_, clock_);
	Keyboard keyboard(job->terminal, {[&] { return reports.job_stopped(); }, [&] { jobshell::continue_job(*job); }});
	ScreenSignals screen_signals([&](int sig) {
		if (sig == SIGTSTP) {
			keyboard.release();
			fflush(stdout);
		} else if (sig == SIGCONT) {
			keyboard.continued();
		} else if (options_.screen) {
			/* The kernel tells the job's foreground with a SIGWINCH of its own. */
			options_.screen->update();
			winsize size = options_.screen->size();
			ioctl(job->terminal, TIOCSWINSZ, &size);
		}
	});
	ProcSampler sampler(table_, events_, clock_);
	StdioBuffers buffers(table_, clock_);
	if (kernel) {
		kernel->set_look([&](pid_t pid) { buffers.look(pid); });
		kernel->set_stir([&](pid_t pid, Clock::time_point at) { buffers.stir(pid, at); });
		terminal.set_spoken([&] { buffers.spoke(); });
		buffers.follow_signals();
	}
	std::optional<ServerClient> client;
	if (options_.send)
		client.emplace(*options_.send, table_, events_, clock_, [&] { sockets.look(); });

	/*
	 * What the terminal and the server say first, then the states that
	 * follow from it. The terminal is read before all, the moment observe
	 * wakes: its text is stamped when read, and a write just before its
	 * writer's end would otherwise be stamped after that end, once the
	 * trace's records were read.
	 */
	Loop loop;
	loop.add_first(terminal);
	if (kernel)
		loop.add_first(*kernel);
	if (client)
		loop.add(*client);
	for (Source *source : std::initializer_list<Source *>{&interrupts_, &reaper_, &reports, &buffers, &sockets,
							      &keyboard, &screen_signals})
		loop.add(*source);
	if (!kernel)
		loop.add_first(sampler);

	auto limit = options_.limit_seconds > 0
			     ? clock_.start() + std::chrono::microseconds(static_cast<Micros>(options_.limit_seconds * 1e6))
			     : Clock::time_point::max();
	std::optional<EndReason> reason;
	while (!reason) {
		loop.turn(limit);
		table_.expire(clock_.now(), status_grace);
		report_losses(kernel.get());
		report(clock_.now() - release_delay);
		if (table_.all_ended())
			reason = EndReason::all_ended;
		else if (interrupts_.signal() || keyboard.ended())
			reason = EndReason::interrupted;
		else if (Clock::now() >= limit)
			reason = EndReason::time_limit;
	}

	auto ended = end_the_rest(loop, buffers);
	if (client)
		client->finish();
	/* The kernel trace's reader hands the socket trace its records. */
	if (kernel)
		kernel->take();
	sockets.finish();
	/* The shell goes last; with it goes the last holder of the terminal. */
	if (!reaper_.shell_collected()) {
		kill(job->shell, SIGKILL);
		waitpid(job->shell, nullptr, 0);
	}
	terminal.drain();
	jobshell::release(*job);
	if (kernel) {
		kernel->take();
		report_losses(kernel.get());
	}
	events_.push(clock_.now(), End{*reason, ended});
	report(clock_.now());
	reporter_.finish();

	/* The end key is the person's interrupt, as Ctrl-C was before it went to the job. */
	Outcome outcome{*reason, std::nullopt, keyboard.ended() ? SIGINT : interrupts_.signal()};
	Process const &program = table_.all().front();
	if (!program.killed)
		outcome.program_status = program.wait_status;
	return outcome;
}

} // namespace

std::optional<Outcome>
watch(WatchOptions const &options, Reporter &reporter, std::string &error, int &exec_error)
{
	exec_error = 0;
	Watch watch(options, reporter);
	return watch.run(error, exec_error);
}

} // namespace observe
