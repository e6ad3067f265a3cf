#pragma once

/*
 * What a process's C-library standard output stream holds, read from
 * outside: the bytes it has written but stdio has not yet delivered. They
 * are what the demonstrations are about and what nobody sees: the labels
 * piling up in a worker's buffer until a signal throws them away, the
 * lines a parent on a pipe keeps until it is killed, the copy of a buffer
 * a child inherits at a fork.
 *
 * glibc's stream object for standard output, and its `stdout` pointer,
 * sit at the same offset from the library's base in every process that
 * maps the same libc.so.6, and this process maps it too: their places in
 * another process are our own places moved by the difference of the two
 * bases. The stream is read with process_vm_readv, which needs the ptrace
 * access a watcher has over its own descendants of the same user (root
 * may read anyone).
 *
 * Each process's places are learnt once from /proc/PID/maps and cached; a
 * read then costs one system call (two when the buffer has moved). An exec
 * is noticed without looking at the maps again: the cached pointer must
 * still be readable and still hold the stream's address, and the stream
 * must carry glibc's mark; if not, the maps are read afresh.
 *
 * What a read shows over a life: a fork holds a copy of its parent's
 * stream, pending bytes included, until it writes or execs; no buffer
 * until the first write, which sizes it (1024 bytes on a terminal, line
 * buffered; 4096 on a pipe); then the bytes as they pile up. exit() flushes
 * them and makes the stream unbuffered (capacity 1) before the process
 * ends; a killing signal ends it with the bytes still there. Either way
 * the next read says gone.
 */

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace observe {

class StdoutReader {
public:
	/* Learns this process's own libc mapping and where its stdout stream lives. */
	StdoutReader();

	enum class Status {
		held,		/* read: the fields of Result tell what the stream holds */
		gone,		/* ended, a zombie, or about to be one */
		other_library,	/* no mapping of our libc.so.6 file: static, another C library */
		no_access,	/* another user, or not dumpable */
	};

	struct Result {
		Status status = Status::gone;
		std::string bytes;	/* written but not yet delivered */
		size_t capacity = 0;	/* the buffer's size, 0 before the first write */
		bool line_buffered = false;	/* delivered at each newline (a terminal) */
		bool unbuffered = false;	/* delivered at each write */
	};

	Result read(pid_t);
	/* The process is gone: drops what is cached about it, as its pid may be reused. */
	void forget(pid_t);
	/* A child just forked keeps its parent's places until it execs (which
	 * a read notices): taken from the parent, not from its maps. */
	void inherit(pid_t child, pid_t parent);

private:
	/* Where a process keeps its stream, and what was last seen of it. */
	struct Place {
		bool mapped = false;	/* our libc is mapped; the addresses below are valid */
		uintptr_t pointer = 0;	/* libc's `stdout` variable */
		uintptr_t file = 0;	/* the stream it points to */
		uintptr_t buffer = 0;	/* the stream's buffer when last read */
		size_t capacity = 0;
		std::chrono::steady_clock::time_point located;
	};
	enum class Peek { read, stale, gone, no_access };

	Status locate(pid_t, Place &);
	Peek peek(pid_t, Place &, Result &, bool fresh);

	bool usable_ = false;	/* this process's own libc was found */
	dev_t device_ = 0;	/* our libc.so.6, as /proc/PID/maps names it */
	unsigned long inode_ = 0;
	uintptr_t pointer_offset_ = 0;	/* from the library's base */
	uintptr_t file_offset_ = 0;
	std::unordered_map<pid_t, Place> places_;
};

} // namespace observe
