#pragma once

/*
 * What a test needs of the machine, and a skip that names what is missing
 * where the machine lacks it: root, namespaces, the kernel's trace, another
 * program. Each check gives "" where the need is met, else one line that
 * says what is missing, so that a test skipped for it tells why.
 */

#include <string>

namespace harness {

/* Root: real and effective user 0. */
std::string missing_root();
/* A user namespace of one's own, as unprivileged users may have where the kernel allows it. */
std::string missing_user_namespaces();
/* A private pid namespace: as root, or through a user namespace of one's own (see in_pid_namespace). */
std::string missing_pid_namespace();
/* A second user to become (65534): only root can change users without asking. */
std::string missing_second_user();
/* observe built with its kernel source: libtracefs and libtraceevent were there. */
std::string missing_libtracefs();
/* The kernel source usable here and now: libtracefs, root, tracefs, the initial pid namespace. */
std::string missing_kernel_source();
/* A program in PATH, by name. */
std::string missing_program(std::string const &name);

} // namespace harness

/* Skips the current test, with the reason, where `missing` (one of the checks above) names something. */
#define REQUIRE(missing)                                       \
	do {                                                   \
		if (auto why_ = (missing); !why_.empty())      \
			GTEST_SKIP() << why_;                  \
	} while (0)

#define REQUIRE_ROOT() REQUIRE(::harness::missing_root())
#define REQUIRE_USER_NAMESPACES() REQUIRE(::harness::missing_user_namespaces())
#define REQUIRE_PID_NAMESPACE() REQUIRE(::harness::missing_pid_namespace())
#define REQUIRE_SECOND_USER() REQUIRE(::harness::missing_second_user())
#define REQUIRE_LIBTRACEFS() REQUIRE(::harness::missing_libtracefs())
#define REQUIRE_KERNEL_SOURCE() REQUIRE(::harness::missing_kernel_source())
#define REQUIRE_PROGRAM(name) REQUIRE(::harness::missing_program(name))
