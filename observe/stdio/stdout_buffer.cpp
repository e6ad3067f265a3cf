/*
 * Reading another process's stdout stream. The stream's layout is glibc's
 * public struct _IO_FILE; its flag bits are glibc's too, fixed by its ABI
 * since old binaries carry them in inlined macros.
 *
 * Which `stdout` is read: a program that names `stdout` itself (printf
 * does not, fflush(stdout) does) gets a copy of the variable in its own
 * image at load time (a copy relocation), and glibc then uses that copy;
 * libc's own variable keeps pointing at the standard stream. We read
 * libc's variable: it tells where the stream is unless a shared library
 * has assigned another stream to it, and that it still holds the address
 * we expect is our check that the cached places are still right.
 */
#include "stdout_buffer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace observe {

namespace {

/* glibc's libio flags: the high half of _flags marks a live stream. */
constexpr unsigned magic_mask = 0xFFFF0000;
constexpr unsigned magic = 0xFBAD0000;
constexpr unsigned flag_unbuffered = 0x0002;
constexpr unsigned flag_line_buffered = 0x0200;

/* A process found without our libc may be between an exec and the loading
 * of its libraries: it is looked at again after this long. */
constexpr std::chrono::milliseconds recheck_interval{100};

/* Larger than any buffer stdio chooses; beyond it the stream is not trusted. */
constexpr size_t max_capacity = 1 << 20;

/* Reads a /proc file whole; 0, or the errno of the failure. */
int
read_file(char const *path, std::string &text)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	constexpr size_t chunk = 16384;
	size_t size = 0;
	for (;;) {
		text.resize(size + chunk);
		ssize_t n = ::read(fd, text.data() + size, chunk);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			int error = n < 0 ? errno : 0;
			close(fd);
			text.resize(size);
			return error;
		}
		size += static_cast<size_t>(n);
	}
}

/* One line of /proc/PID/maps: "start-end perms offset major:minor inode path". */
struct Mapping {
	uintptr_t start;
	uintptr_t end;
	unsigned long long offset;
	dev_t device;
	unsigned long inode;
};

std::optional<Mapping>
parse_mapping(char const *line)
{
	Mapping m{};
	char *at;
	m.start = strtoull(line, &at, 16);
	if (*at != '-')
		return std::nullopt;
	m.end = strtoull(at + 1, &at, 16);
	at = strchr(at, ' ');	/* past the permissions */
	if (at == nullptr || at[1] == ' ')
		return std::nullopt;
	at = strchr(at + 1, ' ');
	if (at == nullptr)
		return std::nullopt;
	m.offset = strtoull(at + 1, &at, 16);
	unsigned long major = strtoul(at + 1, &at, 16);
	if (*at != ':')
		return std::nullopt;
	unsigned long minor = strtoul(at + 1, &at, 16);
	m.device = makedev(major, minor);
	m.inode = strtoul(at + 1, &at, 10);
	return m;
}

/* The first mapping of `maps` that `wanted` accepts. */
template<typename Predicate>
std::optional<Mapping>
find_mapping(std::string const &maps, Predicate wanted)
{
	for (size_t at = 0; at < maps.size();) {
		size_t end = maps.find('\n', at);
		if (end == std::string::npos)
			end = maps.size();
		if (auto m = parse_mapping(maps.c_str() + at); m && wanted(*m))
			return m;
		at = end + 1;
	}
	return std::nullopt;
}

/* Where the file (device, inode) is mapped from its start: the library's base. */
std::optional<uintptr_t>
library_base(std::string const &maps, dev_t device, unsigned long inode)
{
	auto first = find_mapping(maps, [&](Mapping const &m) {
		return m.device == device && m.inode == inode && m.offset == 0;
	});
	if (!first)
		return std::nullopt;
	return first->start;
}

bool
marked(FILE const &file)
{
	return (static_cast<unsigned>(file._flags) & magic_mask) == magic;
}

} // namespace

StdoutReader::StdoutReader()
{
	/* libc's own definitions, not the copies this program may have of them. */
	void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
	if (libc == nullptr)
		return;
	auto pointer = reinterpret_cast<uintptr_t>(dlsym(libc, "stdout"));
	auto file = reinterpret_cast<uintptr_t>(dlsym(libc, "_IO_2_1_stdout_"));
	dlclose(libc);
	if (pointer == 0 || file == 0)
		return;

	std::string maps;
	if (read_file("/proc/self/maps", maps) != 0)
		return;
	auto ours = find_mapping(maps, [&](Mapping const &m) { return m.start <= file && file < m.end; });
	if (!ours)
		return;
	auto base = library_base(maps, ours->device, ours->inode);
	if (!base || *base > pointer || *base > file)
		return;
	device_ = ours->device;
	inode_ = ours->inode;
	pointer_offset_ = pointer - *base;
	file_offset_ = file - *base;
	usable_ = true;
}

StdoutReader::Status
StdoutReader::locate(pid_t pid, Place &place)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/maps", static_cast<int>(pid));
	std::string maps;
	int error = read_file(path, maps);
	if (error == EACCES || error == EPERM)
		return Status::no_access;
	/* A zombie has no memory left, and shows no mappings. */
	if (error != 0 || maps.empty())
		return Status::gone;

	place = Place{};
	place.located = std::chrono::steady_clock::now();
	auto base = library_base(maps, device_, inode_);
	if (!base)
		return Status::other_library;
	place.mapped = true;
	place.pointer = *base + pointer_offset_;
	place.file = *base + file_offset_;
	return Status::held;
}

/*
 * One read of the pointer, the stream and (where its place is known) the
 * buffer, in a single call. Not fresh, any doubt makes the place stale;
 * fresh from the maps, a pointer that names another stream is followed.
 */
StdoutReader::Peek
StdoutReader::peek(pid_t pid, Place &place, Result &result, bool fresh)
{
	uintptr_t pointer = 0;
	FILE file;
	iovec local[3] = {{&pointer, sizeof(pointer)}, {&file, sizeof(file)}, {}};
	iovec remote[3] = {{reinterpret_cast<void *>(place.pointer), sizeof(pointer)},
			   {reinterpret_cast<void *>(place.file), sizeof(file)}, {}};
	size_t parts = 2;
	size_t wanted = sizeof(pointer) + sizeof(file);
	if (place.capacity > 0) {
		result.bytes.resize(place.capacity);
		local[2] = {result.bytes.data(), place.capacity};
		remote[2] = {reinterpret_cast<void *>(place.buffer), place.capacity};
		parts = 3;
		wanted += place.capacity;
	}
	ssize_t got = process_vm_readv(pid, local, parts, remote, parts, 0);
	if (got < 0 && errno == ESRCH)
		return Peek::gone;
	if (got < 0 && errno == EPERM)
		return Peek::no_access;
	if (got < static_cast<ssize_t>(sizeof(pointer) + sizeof(file)))
		return Peek::stale;
	bool buffer_read = got == static_cast<ssize_t>(wanted);

	if (pointer != place.file) {
		if (!fresh)
			return Peek::stale;
		/* Another stream was assigned to stdout; before libc is relocated
		 * at start-up, though, the pointer is no address yet. */
		FILE other;
		iovec there = {reinterpret_cast<void *>(pointer), sizeof(other)};
		iovec here = {&other, sizeof(other)};
		if (process_vm_readv(pid, &here, 1, &there, 1, 0) == static_cast<ssize_t>(sizeof(other)) &&
		    marked(other)) {
			place.file = pointer;
			file = other;
			buffer_read = false;
		}
	}
	if (!marked(file))
		return Peek::stale;

	auto flags = static_cast<unsigned>(file._flags);
	result.line_buffered = (flags & flag_line_buffered) != 0;
	result.unbuffered = (flags & flag_unbuffered) != 0;

	auto base = reinterpret_cast<uintptr_t>(file._IO_buf_base);
	auto end = reinterpret_cast<uintptr_t>(file._IO_buf_end);
	auto from = reinterpret_cast<uintptr_t>(file._IO_write_base);
	auto to = reinterpret_cast<uintptr_t>(file._IO_write_ptr);
	result.capacity = base != 0 && end > base ? end - base : 0;
	/* The process runs on while we read: a stream caught half updated is
	 * taken to hold nothing, rather than shown wrong. */
	if (result.capacity == 0 || result.capacity > max_capacity || from < base || to < from || to > end) {
		result.bytes.clear();
		place.capacity = 0;
		return Peek::read;
	}
	if (buffer_read && base == place.buffer && result.capacity == place.capacity) {
		result.bytes.resize(to - base);
		result.bytes.erase(0, from - base);
		return Peek::read;
	}

	/* The buffer is new (the first write, a setvbuf): read it where it is. */
	place.buffer = base;
	place.capacity = result.capacity;
	result.bytes.resize(to - from);
	if (to > from) {
		iovec there = {reinterpret_cast<void *>(from), to - from};
		iovec here = {result.bytes.data(), to - from};
		if (process_vm_readv(pid, &here, 1, &there, 1, 0) != static_cast<ssize_t>(to - from))
			result.bytes.clear();
	}
	return Peek::read;
}

StdoutReader::Result
StdoutReader::read(pid_t pid)
{
	Result result;
	if (!usable_) {
		result.status = Status::other_library;
		return result;
	}

	auto [entry, first] = places_.try_emplace(pid);
	Place &place = entry->second;
	bool fresh = false;
	if (first || (!place.mapped && std::chrono::steady_clock::now() - place.located >= recheck_interval)) {
		result.status = locate(pid, place);
		fresh = true;
	} else {
		result.status = place.mapped ? Status::held : Status::other_library;
	}

	while (result.status == Status::held) {
		Peek peeked = peek(pid, place, result, fresh);
		if (peeked == Peek::read)
			return result;
		if (peeked == Peek::gone) {
			result.status = Status::gone;
		} else if (peeked == Peek::no_access) {
			result.status = Status::no_access;
		} else if (fresh) {
			/* Our libc's file, but no stream where it should be. */
			place.mapped = false;
			result.status = Status::other_library;
		} else {
			/* An exec, most likely: the maps say where things are now. */
			result.status = locate(pid, place);
			fresh = true;
		}
	}
	result.bytes.clear();
	result.capacity = 0;
	result.line_buffered = result.unbuffered = false;
	if (result.status == Status::gone || result.status == Status::no_access)
		places_.erase(pid);
	return result;
}

void
StdoutReader::forget(pid_t pid)
{
	places_.erase(pid);
}

void
StdoutReader::inherit(pid_t child, pid_t parent)
{
	auto known = places_.find(parent);
	if (known != places_.end() && known->second.mapped)
		places_.try_emplace(child, known->second);
}

} // namespace observe
