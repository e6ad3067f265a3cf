/*
 * The socket trace reader: one tracefs instance, observe-PID-sockets, read
 * through its per-processor raw buffers and decoded with libtraceevent.
 * It wakes the reader on any record: TCP state changes are few, a handful
 * a connection, and each must come in its place among the job's events.
 */
#include "socket_trace.h"

#include "trace.h"
#include "tracefs_calls.h"

#include <event-parse.h>
extern "C" {
#include <kbuffer.h>	/* declared without C linkage of its own */
}

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

namespace observe::kernel {

namespace {

constexpr char instance_suffix[] = "-sockets";
constexpr unsigned buffer_kb = 64;	/* per processor */

/* IPv4 TCP only: the sockets /proc/net/tcp tells of too. */
constexpr char state_filter[] = "family == 2 && protocol == 6";
/* -EADDRINUSE */
constexpr char bind_filter[] = "ret == -98";
/* CLONE_THREAD */
constexpr char thread_filter[] = "clone_flags & 0x10000";

/* An interrupt's flags in a record's common_flags: hard, soft, NMI. */
constexpr long in_interrupt = 0x08 | 0x10 | 0x40;

enum class Kind { state, bind, thread };

struct EventSpec {
	Kind kind;
	char const *system;
	char const *name;
	char const *filter;
};

constexpr EventSpec state_event{Kind::state, "sock", "inet_sock_set_state", state_filter};
constexpr EventSpec bind_event{Kind::bind, "syscalls", "sys_exit_bind", bind_filter};
constexpr EventSpec thread_event{Kind::thread, "task", "task_newtask", thread_filter};

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
describe(std::string const &what, int error)
{
	return what + ": " + strerror(error);
}

long long
number(tep_event *event, void *data, char const *name)
{
	tep_format_field *field = tep_find_field(event, name);
	if (field == nullptr)
		field = tep_find_common_field(event, name);
	unsigned long long value = 0;
	if (field == nullptr || tep_read_number_field(field, data, &value) < 0)
		return 0;
	/* Signed fields narrower than 64 bits come back unextended. */
	if ((field->flags & TEP_FIELD_IS_SIGNED) && field->size < 8) {
		unsigned bits = 8 * field->size;
		unsigned long long sign = 1ull << (bits - 1);
		value &= (1ull << bits) - 1;
		return static_cast<long long>((value ^ sign) - sign);
	}
	return static_cast<long long>(value);
}

/* An IPv4 address field (four bytes, as on the wire) and a port, as "a.b.c.d:port". */
std::string
endpoint(tep_event *event, void *data, char const *address, long long port)
{
	tep_format_field *field = tep_find_field(event, address);
	char text[INET_ADDRSTRLEN] = "?";
	if (field != nullptr && field->size == 4)
		inet_ntop(AF_INET, static_cast<char const *>(data) + field->offset, text, sizeof(text));
	return std::string(text) + ":" + std::to_string(port);
}

} // namespace

struct SocketTrace::State {
	tracefs_instance *instance = nullptr;
	std::string dir;
	std::vector<int> buffers;
	int epoll = -1;
	tep_handle *tep = nullptr;
	kbuffer *kbuf = nullptr;
	std::vector<std::pair<Kind, tep_event *>> decoders;
	std::vector<char> page;
	long long lost = 0;

	~State()
	{
		for (int fd : buffers)
			close(fd);
		if (epoll >= 0)
			close(epoll);
		/* After its files are closed: an open file keeps an instance busy. */
		if (instance != nullptr)
			observe_instance_destroy(instance);
		if (kbuf != nullptr)
			kbuffer_free(kbuf);
		if (tep != nullptr)
			tep_free(tep);
	}

	bool write(char const *file, char const *text, std::string &why)
	{
		if (observe_instance_write(instance, file, text, 0) == 0)
			return true;
		why = describe(std::string("cannot write ") + text + " to " + dir + "/" + file, errno);
		return false;
	}

	bool configure(bool failed_binds, std::string &why);
	bool load_format(EventSpec const &, std::string &why);
	bool open_buffers(std::string &why);
	void drain(int fd, std::vector<SocketRecord> &);
	void decode(void *data, int size, unsigned long long ts, std::vector<SocketRecord> &);
};

bool
SocketTrace::State::configure(bool failed_binds, std::string &why)
{
	std::string name = instance_name() + instance_suffix;
	instance = observe_instance_create(name.c_str());
	if (instance == nullptr) {
		why = describe("cannot create the tracing instance " + name, errno);
		return false;
	}
	char *path = observe_instance_dir(instance);
	dir = path != nullptr ? path : "";
	free(path);
	if (observe_instance_buffer_kb(instance, buffer_kb) < 0) {
		why = describe("cannot size the trace buffer", errno);
		return false;
	}
	/* mono: the clock of steady_clock. */
	if (!write("trace_clock", "mono", why) || !write("buffer_percent", "0", why))
		return false;
	for (auto const *spec : {&state_event, &thread_event, &bind_event}) {
		if (spec == &bind_event && !failed_binds)
			continue;
		if (observe_event_enable(instance, spec->system, spec->name, spec->filter) < 0) {
			why = describe(std::string("cannot enable the trace event ") + spec->system + ":" + spec->name,
				       errno);
			return false;
		}
		if (!load_format(*spec, why))
			return false;
	}
	return true;
}

bool
SocketTrace::State::load_format(EventSpec const &spec, std::string &why)
{
	std::string events = std::string(observe_tracefs_dir()) + "/events/";
	if (tep == nullptr) {
		tep = tep_alloc();
		if (tep == nullptr) {
			why = "out of memory";
			return false;
		}
		tep_set_long_size(tep, sizeof(long));
		tep_set_page_size(tep, static_cast<int>(sysconf(_SC_PAGESIZE)));
		auto order = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? TEP_BIG_ENDIAN : TEP_LITTLE_ENDIAN;
		tep_set_file_bigendian(tep, order);
		tep_set_local_bigendian(tep, order);
		std::string header = read_file(events + "header_page");
		if (header.empty() || tep_parse_header_page(tep, header.data(), header.size(), sizeof(long)) < 0) {
			why = "cannot read the trace buffer's page header from " + events + "header_page";
			return false;
		}
		kbuf = tep_kbuffer(tep);
		/* What one read of a raw buffer hands over: one sub-buffer. */
		long subbuf = sysconf(_SC_PAGESIZE);
		std::string size_kb = read_file(dir + "/buffer_subbuf_size_kb");
		if (!size_kb.empty() && atol(size_kb.c_str()) > 0)
			subbuf = atol(size_kb.c_str()) * 1024;
		page.resize(subbuf);
	}
	std::string format = read_file(events + spec.system + "/" + spec.name + "/format");
	tep_event *event = nullptr;
	if (kbuf == nullptr || format.empty() ||
	    tep_parse_format(tep, &event, format.data(), format.size(), spec.system) != TEP_ERRNO__SUCCESS ||
	    event == nullptr) {
		why = std::string("cannot parse the format of ") + spec.system + ":" + spec.name;
		return false;
	}
	decoders.emplace_back(spec.kind, event);
	return true;
}

bool
SocketTrace::State::open_buffers(std::string &why)
{
	epoll = epoll_create1(EPOLL_CLOEXEC);
	if (epoll < 0) {
		why = describe("epoll", errno);
		return false;
	}
	std::string per_cpu = dir + "/per_cpu";
	DIR *cpus = opendir(per_cpu.c_str());
	if (cpus == nullptr) {
		why = describe("cannot list " + per_cpu, errno);
		return false;
	}
	bool ok = true;
	while (dirent *entry = readdir(cpus)) {
		if (strncmp(entry->d_name, "cpu", 3) != 0)
			continue;
		std::string path = per_cpu + "/" + entry->d_name + "/trace_pipe_raw";
		int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd < 0) {
			why = describe("cannot open " + path, errno);
			ok = false;
			break;
		}
		buffers.push_back(fd);
		epoll_event ready{};
		ready.events = EPOLLIN;
		ready.data.fd = fd;
		if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ready) < 0) {
			why = describe("cannot poll " + path, errno);
			ok = false;
			break;
		}
	}
	closedir(cpus);
	return ok;
}

void
SocketTrace::State::decode(void *data, int size, unsigned long long ts, std::vector<SocketRecord> &out)
{
	tep_record record{};
	record.data = data;
	record.size = size;
	int type = tep_data_type(tep, &record);
	auto found = std::find_if(decoders.begin(), decoders.end(), [&](auto const &d) { return d.second->id == type; });
	if (found == decoders.end())
		return;
	tep_event *e = found->second;
	auto pid = static_cast<pid_t>(number(e, data, "common_pid"));
	if (found->first == Kind::bind) {
		out.push_back({static_cast<std::int64_t>(ts), BindInUse{pid}});
		return;
	}
	if (found->first == Kind::thread) {
		out.push_back({static_cast<std::int64_t>(ts), ThreadMade{pid, static_cast<pid_t>(number(e, data, "pid"))}});
		return;
	}
	out.push_back({static_cast<std::int64_t>(ts),
		       TcpChange{pid, (number(e, data, "common_flags") & in_interrupt) != 0,
				   static_cast<std::uint64_t>(number(e, data, "skaddr")),
				   static_cast<int>(number(e, data, "oldstate")),
				   static_cast<int>(number(e, data, "newstate")),
				   endpoint(e, data, "saddr", number(e, data, "sport")),
				   endpoint(e, data, "daddr", number(e, data, "dport"))}});
}

void
SocketTrace::State::drain(int fd, std::vector<SocketRecord> &out)
{
	for (;;) {
		ssize_t n = read(fd, page.data(), page.size());
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;	/* EAGAIN: nothing more now */
		if (kbuffer_load_subbuffer(kbuf, page.data()) < 0)
			continue;
		/* A count, or -1 where the kernel only knows that some were lost. */
		int missed = kbuffer_missed_events(kbuf);
		if (missed != 0)
			lost += missed > 0 ? missed : 1;
		unsigned long long ts;
		for (void *data = kbuffer_read_event(kbuf, &ts); data != nullptr; data = kbuffer_next_event(kbuf, &ts))
			decode(data, kbuffer_event_size(kbuf), ts, out);
	}
}

std::unique_ptr<SocketTrace>
SocketTrace::open(bool failed_binds, std::string &why)
{
	why = Trace::unavailable();
	if (!why.empty())
		return nullptr;
	auto state = std::make_unique<State>();
	if (!state->configure(failed_binds, why) || !state->open_buffers(why))
		return nullptr;
	return std::unique_ptr<SocketTrace>(new SocketTrace(std::move(state)));
}

SocketTrace::SocketTrace(std::unique_ptr<State> state) : state_(std::move(state)) {}

SocketTrace::~SocketTrace() = default;

int
SocketTrace::fd() const
{
	return state_->epoll;
}

long long
SocketTrace::lost() const
{
	return state_->lost;
}

void
SocketTrace::take(std::vector<SocketRecord> &out)
{
	auto first = out.size();
	for (int fd : state_->buffers)
		state_->drain(fd, out);
	/* Each processor's buffer is in time order already. */
	std::stable_sort(out.begin() + first, out.end(),
			 [](SocketRecord const &a, SocketRecord const &b) { return a.t_ns < b.t_ns; });
}

} // namespace observe::kernel
