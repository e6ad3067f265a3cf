#include "requirements.h"

#include "trace.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace harness {

/*
 * Whether a process can unshare these namespaces, tried in a child of its
 * own so that this process stays where it is; "" where it can, else why not.
 */
static std::string
try_unshare(int flags, char const *what)
{
	int report[2];
	if (pipe2(report, O_CLOEXEC) < 0)
		return std::string("pipe: ") + strerror(errno);
	pid_t child = fork();
	if (child == 0) {
		int error = unshare(flags) == 0 ? 0 : errno;
		(void)!write(report[1], &error, sizeof(error));
		_exit(0);
	}
	close(report[1]);
	int error = -1;
	bool heard = child > 0 && read(report[0], &error, sizeof(error)) == sizeof(error);
	close(report[0]);
	if (child > 0)
		waitpid(child, nullptr, 0);
	if (!heard)
		return std::string("no ") + what + " here: could not try one";
	return error == 0 ? "" : std::string("no ") + what + " here: unshare: " + strerror(error);
}

std::string
missing_root()
{
	if (getuid() == 0 && geteuid() == 0)
		return "";
	return "needs root, and runs as user " + std::to_string(geteuid());
}

std::string
missing_user_namespaces()
{
	static std::string const why = try_unshare(CLONE_NEWUSER, "unprivileged user namespace");
	return why;
}

std::string
missing_pid_namespace()
{
	if (geteuid() == 0) {
		static std::string const why = try_unshare(CLONE_NEWPID, "private pid namespace");
		return why;
	}
	static std::string const why = try_unshare(CLONE_NEWUSER | CLONE_NEWPID,
						   "private pid namespace (in a user namespace, not being root)");
	return why;
}

std::string
missing_second_user()
{
	if (geteuid() == 0)
		return "";
	return "needs root, to run a program as a second user (65534); runs as user " + std::to_string(geteuid());
}

std::string
missing_libtracefs()
{
#if OBSERVE_KERNEL_TRACE
	return "";
#else
	return observe::kernel::Trace::unavailable() + ", so it has no kernel source (Debian: libtracefs-dev, "
							"libtraceevent-dev; ./setup installs them)";
#endif
}

std::string
missing_kernel_source()
{
	auto why = observe::kernel::Trace::unavailable();
	return why.empty() ? "" : "no kernel source here: " + why;
}

std::string
missing_program(std::string const &name)
{
	char const *path = getenv("PATH");
	std::stringstream dirs(path ? path : "/usr/bin:/bin");
	for (std::string dir; std::getline(dirs, dir, ':');)
		if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
			return "";
	return "needs " + name + ", not found in PATH";
}

} // namespace harness
