/*
 * The kernel trace reader: one private tracefs instance, observe-PID,
 * read through its per-processor raw buffers and decoded with
 * libtraceevent.
 *
 * The instance has no pid filter: it takes in everyone's events, and the
 * reader sorts out the job's against the followed set, in time order. A
 * fork by a followed thread adds its child, as the kernel's own filter
 * (set_event_pid with event-fork) would, so no descendant is missed however
 * fast it comes and goes. Some events must be taken whole in any case:
 * signal_generate and wait4's return are made in the sender's and the
 * waiter's context, and the sender of a signal to a followed process, or
 * the waiter that collects one, may be anyone (the test, observe, a user's
 * kill); a filter on the target's pid could not be exact either, as a child
 * may be signalled before the filter names it.
 *
 * Setting an instance up and removing it is what costs: a change of its
 * buffer's size or of its clock, and its removal, each wait for every
 * processor to pass a quiet point, tens of milliseconds on a busy machine,
 * one after another (the kernel holds one lock through them, so instances
 * set up or removed side by side take no less). A pid filter costs most:
 * an instance with one took 120 to 150 ms to remove, one without 30 to
 * 50. So there is one instance, without; the others' records it takes in,
 * a few thousand a second on a machine busy building, cost less than that.
 * The size and the clock are set before the job starts: a buffer that
 * grows while it records loses records, and says nothing of it. The
 * removal is the keeper's, after the watch (instance_keeper.h).
 *
 * The reader is woken by the kernel: a raw buffer polled with the
 * instance's buffer_percent at 0 is readable on any record, on a busy
 * machine nearly all of them others'; its caller rests a while after each
 * take, so that it is woken at most once a rest, and a busy job's records
 * are read in batches.
 *
 * sched_switch is filtered in the kernel to switches into a stop, or every
 * wake-up of the reader itself would be recorded.
 */
#include "trace.h"

#include "field_number.h"
#include "instance_keeper.h"

#include "procfs.h"
#include "tracefs_calls.h"

#include <event-parse.h>
extern "C" {
#include <kbuffer.h>	/* declared without C linkage of its own */
}

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <type_traits>

namespace observe::kernel {

namespace {

constexpr char name_prefix[] = "observe-";

/* Per processor, at least: what a job making a hundred thousand signals a
 * second records while observe, on a busy machine, waits a tenth of a second
 * to run (the default, 1408, lost a tenth of them beside two busy loops).
 * A new instance's default is kept where it is as large: each change of
 * size waits for every processor. */
constexpr unsigned buffer_kb = 8192;

/* The inode of the initial pid namespace (PROC_PID_INIT_INO). */
constexpr ino_t initial_pid_namespace = 0xEFFFFFFCu;

/* __TASK_STOPPED in a sched_switch's prev_state. */
constexpr long task_stopped = 4;

enum class Kind { fork, exec, exit, stop, generate, deliver, wait, exit_group, exit_thread, kill, kill_return, waitid, waitid_return, free, subreaper };

struct EventSpec {
	Kind kind;
	char const *system;
	char const *name;
	char const *filter;
};

constexpr EventSpec event_specs[] = {
	{Kind::fork, "task", "task_newtask", nullptr},
	{Kind::exec, "sched", "sched_process_exec", nullptr},
	{Kind::exit, "sched", "sched_process_exit", nullptr},
	{Kind::stop, "sched", "sched_switch", "prev_state & 4"},
	{Kind::deliver, "signal", "signal_deliver", nullptr},
	{Kind::generate, "signal", "signal_generate", nullptr},
	{Kind::wait, "syscalls", "sys_exit_wait4", "ret > 0"},
	{Kind::exit_group, "syscalls", "sys_enter_exit_group", nullptr},
	{Kind::exit_thread, "syscalls", "sys_enter_exit", nullptr},
	/* A followed process's kill of one process; anyone's kill of a group or of all
	 * (a pid of 0 or below), which may reach the job; and each kill's end,
	 * which bounds the signals it sent. */
	{Kind::kill, "syscalls", "sys_enter_kill", nullptr},
	{Kind::kill_return, "syscalls", "sys_exit_kill", nullptr},
	{Kind::waitid, "syscalls", "sys_enter_waitid", nullptr},
	{Kind::waitid_return, "syscalls", "sys_exit_waitid", nullptr},
	/* Made wherever the grace period ends. */
	{Kind::free, "sched", "sched_process_free", nullptr},
	/* PR_SET_CHILD_SUBREAPER (36): where an orphan goes. */
	{Kind::subreaper, "syscalls", "sys_enter_prctl", "option == 36"},
};

std::string
read_file(std::string const &path)
{
	std::string text;
	int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return text;
	char buffer[4096];
	ssize_t n;
	while ((n = read(fd, buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			text.append(buffer, n);
	close(fd);
	return text;
}

std::string
describe(char const *what, int error)
{
	return std::string(what) + ": " + strerror(error);
}

/* A tracefs instance of ours, removed when it goes. */
class Instance {
public:
	Instance() = default;
	Instance(Instance const &) = delete;
	Instance &operator=(Instance const &) = delete;
	~Instance() { remove(); }

	bool create(std::string const &name, std::string &why)
	{
		handle_ = observe_instance_create(name.c_str());
		if (handle_ == nullptr) {
			why = describe(("cannot create the tracing instance " + name).c_str(), errno);
			return false;
		}
		char *dir = observe_instance_dir(handle_);
		dir_ = dir != nullptr ? dir : "";
		free(dir);
		return true;
	}

	/*
	 * From now on the keeper removes it, however this process ends; without
	 * one, this process removes it itself, and waits. Not before the
	 * instance's clock and size are set: a process's end (the keeper's
	 * maker's) makes the kernel's next waits for every processor twice as
	 * long, for some tens of milliseconds. An observe killed outright
	 * before then leaves the instance to the next one's sweep.
	 */
	void hand_to_keeper() { keeper_.start(dir_); }

	/* Once every file of it is closed. */
	void remove()
	{
		if (handle_ == nullptr)
			return;
		if (keeper_.keeps()) {
			observe_instance_free(handle_);
			keeper_.release();
		} else {
			observe_instance_destroy(handle_);
		}
		handle_ = nullptr;
	}

	bool write(char const *file, std::string const &text, std::string &why)
	{
		if (observe_instance_write(handle_, file, text.c_str(), 0) == 0)
			return true;
		why = describe(("cannot write " + text + " to " + dir_ + "/" + file).c_str(), errno);
		return false;
	}

	tracefs_instance *handle() const { return handle_; }
	std::string const &dir() const { return dir_; }

private:
	tracefs_instance *handle_ = nullptr;
	std::string dir_;
	InstanceKeeper keeper_;
};

/* One processor's raw buffer. */
struct Buffer {
	int fd;
	std::int64_t last_ns;	/* the time of the last record read from it */
};

struct Decoder {
	Kind kind;
	tep_event *event;
	std::vector<std::pair<char const *, tep_format_field *>> fields = {};	/* found so far, by the name's address */
};

/* A field of the event, looked up by name once: libtraceevent's lookup
 * compares every name, and every record of everyone's is decoded. */
tep_format_field *
find_field(Decoder &decoder, char const *name)
{
	for (auto const &[known, field] : decoder.fields)
		if (known == name)
			return field;
	tep_format_field *field = tep_find_field(decoder.event, name);
	if (field == nullptr)
		field = tep_find_common_field(decoder.event, name);
	decoder.fields.emplace_back(name, field);
	return field;
}

long long
number(Decoder &decoder, void *data, char const *name)
{
	return field_number(find_field(decoder, name), data);
}

/* A __data_loc (or __rel_loc) string field. */
std::string
text(tep_event *event, void *data, int size, char const *name)
{
	tep_format_field *field = tep_find_field(event, name);
	if (field == nullptr || (field->flags & TEP_FIELD_IS_DYNAMIC) == 0)
		return "";
	unsigned long long loc = 0;
	if (tep_read_number_field(field, data, &loc) < 0)
		return "";
	int offset = static_cast<int>(loc & 0xffff);
	int length = static_cast<int>((loc >> 16) & 0xffff);
	if (field->flags & TEP_FIELD_IS_RELATIVE)
		offset += field->offset + field->size;
	if (offset < 0 || length <= 0 || offset + length > size)
		return "";
	auto bytes = static_cast<char const *>(data) + offset;
	return std::string(bytes, strnlen(bytes, length));
}

pid_t
as_pid(long long value)
{
	return static_cast<pid_t>(value);
}

std::string
unavailable_here()
{
	if (geteuid() != 0)
		return "the kernel trace needs root (tracefs refuses others)";
	struct stat ns;
	if (stat("/proc/self/ns/pid", &ns) == 0 && ns.st_ino != initial_pid_namespace)
		return "observe runs in a nested pid namespace, and the kernel trace names processes by the "
		       "initial namespace's pids";
	char const *dir = observe_tracefs_dir();
	if (dir == nullptr)
		return "tracefs is not mounted and cannot be mounted at /sys/kernel/tracing";
	if (access((std::string(dir) + "/instances").c_str(), W_OK) != 0)
		return describe((std::string("tracefs at ") + dir + " is not writable").c_str(), errno);
	return "";
}

/* Instances named for an observe whose process is gone: killed before it could remove them. */
void
remove_stale_instances()
{
	std::vector<std::string> stale;
	auto consider = [](char const *name, void *context) {
		char *end;
		long pid = strtol(name + sizeof(name_prefix) - 1, &end, 10);
		if (end == name + sizeof(name_prefix) - 1 || (*end != '\0' && *end != '-') || pid <= 0)
			return;
		if (kill(static_cast<pid_t>(pid), 0) < 0 && errno == ESRCH)
			static_cast<std::vector<std::string> *>(context)->push_back(name);
	};
	/* A basic regular expression: the rest of the name is checked above. */
	observe_instances_each("^observe-[0-9]", consider, &stale);
	for (auto const &name : stale)
		observe_instance_remove(name.c_str());
}

} // namespace

struct Trace::State {
	Instance instance;
	std::vector<Buffer> buffers;
	int epoll = -1;
	int held = -1;	/* an eventfd, readable while records wait in `pending` */
	std::vector<Record> pending;
	tep_handle *tep = nullptr;
	kbuffer *kbuf = nullptr;
	std::vector<Decoder> decoders;
	std::map<int, std::pair<tep_event *, Receiver>> receivers;	/* by event id, the shared events' */
	std::vector<char> page;
	std::set<pid_t> followed;	/* followed and not yet collected */
	std::set<pid_t> exited;
	std::set<pid_t> killing;	/* threads inside a kill the reader kept */
	long long lost = 0;
	std::vector<Loss> losses;
	std::int64_t opened_ns = 0;

	~State()
	{
		for (auto const &buffer : buffers)
			close(buffer.fd);
		if (epoll >= 0)
			close(epoll);
		if (held >= 0)
			close(held);

		/* The instance goes after its files are closed: an open file keeps it busy. */
		instance.remove();
		if (kbuf != nullptr)
			kbuffer_free(kbuf);
		if (tep != nullptr)
			tep_free(tep);
	}

	bool configure(std::vector<pid_t> const &roots, std::string &why);
	void follow_descendants(std::vector<pid_t> const &roots);
	bool load_formats(std::string &why);
	bool open_buffers(std::string &why);
	void drain(Buffer &, std::vector<Record> &, std::int64_t until);
	void decode(void *data, int size, unsigned long long ts, std::vector<Record> &);
	bool keep(Record &);
};

bool
Trace::State::configure(std::vector<pid_t> const &roots, std::string &why)
{
	if (!instance.create(instance_name(), why))
		return false;
	/*
	 * mono: the clock of steady_clock. The clock first: its change empties
	 * the buffers, and empties the default's few pages sooner than the
	 * larger size's (about 8 ms less, of some 40, with the size second).
	 */
	if (!instance.write("trace_clock", "mono", why))
		return false;
	bool small = atol(read_file(instance.dir() + "/buffer_size_kb").c_str()) < static_cast<long>(buffer_kb);
	if (small && observe_instance_buffer_kb(instance.handle(), buffer_kb) < 0) {
		why = describe("cannot size the trace buffer", errno);
		return false;
	}
	instance.hand_to_keeper();
	if (!instance.write("buffer_percent", "0", why))
		return false;
	for (auto const &spec : event_specs)
		if (observe_event_enable(instance.handle(), spec.system, spec.name, spec.filter) < 0) {
			why = describe((std::string("cannot enable the trace event ") + spec.system + ":" + spec.name).c_str(),
				       errno);
			return false;
		}
	/* Their forks from now on are recorded; those alive already are found here. */
	followed.insert(roots.begin(), roots.end());
	follow_descendants(roots);
	return true;
}

/* Children made before the events were on: those alive now, until a pass finds none new. */
void
Trace::State::follow_descendants(std::vector<pid_t> const &roots)
{
	std::vector<pid_t> pending(roots);
	while (!pending.empty()) {
		std::vector<pid_t> next;
		for (pid_t pid : pending)
			for (pid_t child : procfs::children(pid))
				if (followed.insert(child).second)
					next.push_back(child);
		pending = std::move(next);
	}
}

bool
Trace::State::load_formats(std::string &why)
{
	std::string events = std::string(observe_tracefs_dir()) + "/events/";
	tep = tep_alloc();
	if (tep == nullptr) {
		why = "out of memory";
		return false;
	}
	tep_set_long_size(tep, sizeof(long));
	tep_set_page_size(tep, static_cast<int>(sysconf(_SC_PAGESIZE)));
	tep_set_file_bigendian(tep, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? TEP_BIG_ENDIAN : TEP_LITTLE_ENDIAN);
	tep_set_local_bigendian(tep, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? TEP_BIG_ENDIAN : TEP_LITTLE_ENDIAN);
	std::string header = read_file(events + "header_page");
	if (header.empty() || tep_parse_header_page(tep, header.data(), header.size(), sizeof(long)) < 0) {
		why = "cannot read the trace buffer's page header from " + events + "header_page";
		return false;
	}
	for (auto const &spec : event_specs) {
		std::string format = read_file(events + spec.system + "/" + spec.name + "/format");
		tep_event *event = nullptr;
		if (format.empty() ||
		    tep_parse_format(tep, &event, format.data(), format.size(), spec.system) != TEP_ERRNO__SUCCESS ||
		    event == nullptr) {
			why = std::string("cannot parse the format of ") + spec.system + ":" + spec.name;
			return false;
		}
		decoders.push_back({spec.kind, event});
	}
	kbuf = tep_kbuffer(tep);
	if (kbuf == nullptr) {
		why = "out of memory";
		return false;
	}
	/* What one read of a raw buffer hands over: one sub-buffer. */
	long subbuf = sysconf(_SC_PAGESIZE);
	std::string size_kb = read_file(instance.dir() + "/buffer_subbuf_size_kb");
	if (!size_kb.empty() && atol(size_kb.c_str()) > 0)
		subbuf = atol(size_kb.c_str()) * 1024;
	page.resize(subbuf);
	return true;
}

bool
Trace::State::open_buffers(std::string &why)
{
	epoll = epoll_create1(EPOLL_CLOEXEC);
	held = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	epoll_event ready{};
	ready.events = EPOLLIN;
	ready.data.fd = held;
	if (epoll < 0 || held < 0 || epoll_ctl(epoll, EPOLL_CTL_ADD, held, &ready) < 0) {
		why = describe("epoll", errno);
		return false;
	}

	{
		std::string per_cpu = instance.dir() + "/per_cpu";
		DIR *dir = opendir(per_cpu.c_str());
		if (dir == nullptr) {
			why = describe(("cannot list " + per_cpu).c_str(), errno);
			return false;
		}
		while (dirent *entry = readdir(dir)) {
			if (strncmp(entry->d_name, "cpu", 3) != 0)
				continue;
			std::string path = per_cpu + "/" + entry->d_name + "/trace_pipe_raw";
			int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
			if (fd < 0) {
				why = describe(("cannot open " + path).c_str(), errno);
				closedir(dir);
				return false;
			}
			buffers.push_back({fd, opened_ns});
			epoll_event ready{};
			ready.events = EPOLLIN;
			ready.data.fd = fd;
			if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ready) < 0) {
				why = describe(("cannot poll " + path).c_str(), errno);
				closedir(dir);
				return false;
			}
		}
		closedir(dir);
	}
	return true;
}

void
Trace::State::decode(void *data, int size, unsigned long long ts, std::vector<Record> &out)
{
	tep_record record{};
	record.data = data;
	record.size = size;
	int type = tep_data_type(tep, &record);
	/* A shared event may be one the trace reads too (task_newtask). */
	if (auto shared = receivers.find(type); shared != receivers.end())
		shared->second.second(shared->second.first, data, size, static_cast<std::int64_t>(ts));
	auto found = std::find_if(decoders.begin(), decoders.end(),
				  [&](Decoder const &d) { return d.event->id == type; });
	if (found == decoders.end())
		return;

	tep_event *e = found->event;
	Record r{static_cast<std::int64_t>(ts), Forked{}};
	switch (found->kind) {
	case Kind::fork:
		r.what = Forked{as_pid(number(*found, data, "common_pid")), as_pid(number(*found, data, "pid")),
				static_cast<std::uint64_t>(number(*found, data, "clone_flags"))};
		break;
	case Kind::exec:
		r.what = Executed{as_pid(number(*found, data, "pid")), text(e, data, size, "filename")};
		break;
	case Kind::exit:
		r.what = Exited{as_pid(number(*found, data, "pid")), number(*found, data, "group_dead") != 0};
		break;
	case Kind::stop:
		/* The kernel filter let through only switches into a stop; say so only of those. */
		if ((number(*found, data, "prev_state") & task_stopped) == 0)
			return;
		r.what = Stopped{as_pid(number(*found, data, "prev_pid"))};
		break;
	case Kind::generate:
		r.what = Generated{as_pid(number(*found, data, "common_pid")),
				   as_pid(number(*found, data, "pid")),
				   static_cast<int>(number(*found, data, "sig")),
				   static_cast<int>(number(*found, data, "code")),
				   static_cast<int>(number(*found, data, "errno")),
				   number(*found, data, "group") != 0,
				   static_cast<int>(number(*found, data, "result"))};
		break;
	case Kind::deliver:
		r.what = Delivered{as_pid(number(*found, data, "common_pid")),
				   static_cast<int>(number(*found, data, "sig")),
				   static_cast<int>(number(*found, data, "code")),
				   static_cast<unsigned long>(number(*found, data, "sa_handler"))};
		break;
	case Kind::wait:
		r.what = Collected{as_pid(number(*found, data, "common_pid")), as_pid(number(*found, data, "ret")), false};
		break;
	case Kind::exit_group:
	case Kind::exit_thread:
		r.what = ExitCalled{as_pid(number(*found, data, "common_pid")), static_cast<int>(number(*found, data, "error_code")),
				    found->kind == Kind::exit_group};
		break;
	case Kind::kill:
		r.what = KillCalled{as_pid(number(*found, data, "common_pid")), as_pid(number(*found, data, "pid")),
				    static_cast<int>(number(*found, data, "sig"))};
		break;
	case Kind::kill_return:
		r.what = KillReturned{as_pid(number(*found, data, "common_pid")), static_cast<long>(number(*found, data, "ret"))};
		break;
	case Kind::waitid:
		r.what = WaitidCalled{as_pid(number(*found, data, "common_pid")), static_cast<int>(number(*found, data, "which")),
				      as_pid(number(*found, data, "upid")), static_cast<int>(number(*found, data, "options"))};
		break;
	case Kind::waitid_return:
		r.what = WaitidReturned{as_pid(number(*found, data, "common_pid")), static_cast<long>(number(*found, data, "ret"))};
		break;
	case Kind::free:
		r.what = Freed{as_pid(number(*found, data, "pid"))};
		break;
	case Kind::subreaper:
		r.what = Subreaper{as_pid(number(*found, data, "common_pid")), number(*found, data, "arg2") != 0};
		break;
	}
	out.push_back(std::move(r));
}

/* Reads a buffer up to the first page that ends past `until`: a job that
 * records faster than observe decodes must not keep it here for good. */
void
Trace::State::drain(Buffer &buffer, std::vector<Record> &out, std::int64_t until)
{
	while (buffer.last_ns <= until) {
		ssize_t n = read(buffer.fd, page.data(), page.size());
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;	/* EAGAIN: nothing more now */
		if (kbuffer_load_subbuffer(kbuf, page.data()) < 0)
			continue;
		unsigned long long ts;
		void *data = kbuffer_read_event(kbuf, &ts);
		/* A count, or -1 where the kernel only knows that some were lost:
		 * between the last record read from this buffer and this page's first. */
		if (int missed = kbuffer_missed_events(kbuf); missed != 0) {
			long long records = missed > 0 ? missed : 1;
			lost += records;
			auto until = data != nullptr ? static_cast<std::int64_t>(ts) : buffer.last_ns;
			losses.push_back({records, buffer.last_ns, until});
		}
		for (; data != nullptr; data = kbuffer_next_event(kbuf, &ts)) {
			decode(data, kbuffer_event_size(kbuf), ts, out);
			buffer.last_ns = static_cast<std::int64_t>(ts);
		}
	}
}

/*
 * Sorts a record out against the followed set, taken in time order, and
 * keeps that set up: a fork by a followed thread adds the child, its
 * freeing ends the pid's following, since the number may then be given to
 * any other process. Not a wait4 that returned it: a tracer's does, and
 * then its real parent's collects it.
 */
bool
Trace::State::keep(Record &record)
{
	auto is_followed = [&](pid_t pid) { return followed.count(pid) != 0; };
	if (auto *forked = std::get_if<Forked>(&record.what)) {
		if (!is_followed(forked->parent))
			return false;
		followed.insert(forked->child);
		exited.erase(forked->child);	/* a number given again before the last holder's freeing */
		return true;
	}
	if (auto *exited = std::get_if<Exited>(&record.what)) {
		if (!is_followed(exited->pid))
			return false;
		this->exited.insert(exited->pid);
		return true;
	}
	if (auto *generated = std::get_if<Generated>(&record.what))
		return is_followed(generated->sender) || is_followed(generated->target);
	if (auto *call = std::get_if<KillCalled>(&record.what)) {
		/* A kill of one process is told where a followed thread sends it; anyone's
		 * kill of a group or of all, since it may reach the job. */
		if (call->target > 0 && !is_followed(call->pid))
			return false;
		killing.insert(call->pid);
		return true;
	}
	if (auto *done = std::get_if<KillReturned>(&record.what))
		return killing.erase(done->pid) != 0;	/* everyone's kills end here; only those begun matter */
	if (auto *freed = std::get_if<Freed>(&record.what)) {
		/* Its number may now be anyone's. */
		if (!is_followed(freed->pid))
			return false;
		followed.erase(freed->pid);
		exited.erase(freed->pid);
		return true;
	}
	if (auto *collected = std::get_if<Collected>(&record.what)) {
		if (is_followed(collected->pid)) {
			collected->ended = exited.count(collected->pid) != 0;
			return true;
		}
		/* Every child of a followed process is followed: a number that names
		 * none is its own pid namespace's, for a job that made one. */
		if (!is_followed(collected->reaper))
			return false;
		collected->pid = 0;
		collected->ended = false;
		return true;
	}
	/* The rest are made by the thread they name, or to it. */
	return std::visit(
		[&](auto const &what) {
			using What = std::decay_t<decltype(what)>;
			if constexpr (std::is_same_v<What, Executed> || std::is_same_v<What, Stopped> ||
				      std::is_same_v<What, Delivered> || std::is_same_v<What, ExitCalled> ||
				      std::is_same_v<What, WaitidCalled> || std::is_same_v<What, WaitidReturned> ||
				      std::is_same_v<What, Subreaper>)
				return is_followed(what.pid);
			else
				return true;
		},
		record.what);
}

std::string
instance_name()
{
	return name_prefix + std::to_string(getpid());
}

std::string
Trace::unavailable()
{
	return unavailable_here();
}

std::unique_ptr<Trace>
Trace::open(std::vector<pid_t> const &roots, std::string &why)
{
	why = unavailable_here();
	if (!why.empty())
		return nullptr;
	remove_stale_instances();
	auto state = std::make_unique<State>();
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	state->opened_ns = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
	if (!state->configure(roots, why) || !state->load_formats(why) || !state->open_buffers(why))
		return nullptr;
	return std::unique_ptr<Trace>(new Trace(std::move(state)));
}

Trace::Trace(std::unique_ptr<State> state) : state_(std::move(state)) {}

Trace::~Trace() = default;

int
Trace::fd() const
{
	return state_->epoll;
}

long long
Trace::lost() const
{
	return state_->lost;
}

std::vector<Loss>
Trace::losses()
{
	auto losses = std::move(state_->losses);
	state_->losses.clear();
	std::sort(losses.begin(), losses.end(), [](Loss const &a, Loss const &b) { return a.from_ns < b.from_ns; });
	return losses;
}

bool
Trace::share(char const *system, char const *name, char const *filter, Receiver receiver, std::string &why)
{
	auto &state = *state_;
	std::string where = std::string(system) + ":" + name;
	tep_event *event = tep_find_event_by_name(state.tep, system, name);
	if (event == nullptr) {
		std::string format = read_file(std::string(observe_tracefs_dir()) + "/events/" + system + "/" + name + "/format");
		if (format.empty() ||
		    tep_parse_format(state.tep, &event, format.data(), format.size(), system) != TEP_ERRNO__SUCCESS ||
		    event == nullptr) {
			why = "cannot parse the format of " + where;
			return false;
		}
	}
	state.receivers[event->id] = {event, std::move(receiver)};
	/* One the trace reads itself is on already, whole: the receiver gets more than it asked for. */
	bool own = std::any_of(state.decoders.begin(), state.decoders.end(),
			       [&](Decoder const &d) { return d.event->id == event->id; });
	if (!own && observe_event_enable(state.instance.handle(), system, name, filter) < 0) {
		why = describe(("cannot enable the trace event " + where).c_str(), errno);
		return false;
	}
	return true;
}

void
Trace::stop_sharing()
{
	state_->receivers.clear();
}

void
Trace::take(std::vector<Record> &out)
{
	/*
	 * Everything written before this moment is in the buffers now, and
	 * is read below; a record written on another processor while the
	 * buffers are read may be later than one still to come from a buffer
	 * already read, so it waits for the next take.
	 */
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	std::int64_t until = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
	auto &pending = state_->pending;
	for (auto &buffer : state_->buffers)
		state_->drain(buffer, pending, until);
	/* Each buffer is in time order already; stable keeps a processor's own order on equal times. */
	std::stable_sort(pending.begin(), pending.end(),
			 [](Record const &a, Record const &b) { return a.t_ns < b.t_ns; });
	auto later = std::find_if(pending.begin(), pending.end(), [&](Record const &r) { return r.t_ns > until; });
	for (auto record = pending.begin(); record != later; ++record)
		if (state_->keep(*record))
			out.push_back(std::move(*record));
	pending.erase(pending.begin(), later);
	/* What waits here keeps the descriptor readable, so that the next take comes at once. */
	std::uint64_t count = 1;
	ssize_t n;
	if (pending.empty())
		while ((n = read(state_->held, &count, sizeof(count))) < 0 && errno == EINTR)
			;
	else
		n = write(state_->held, &count, sizeof(count));
	(void)n;	/* nothing to do either way: the counter only says whether records wait */
}

} // namespace observe::kernel
