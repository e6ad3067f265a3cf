#pragma once

/*
 * The watch: runs a program as the foreground job of a fresh terminal
 * session, samples the states of its processes from /proc, and reports
 * each appearance, change of state, adoption and end as it happens,
 * together with what the terminal receives.
 */

#include "events.h"

#include <optional>
#include <string>

namespace observe {

struct WatchOptions {
	std::string program;	/* path of the program to run */
	double limit_seconds = 12;
	std::optional<std::string> send;	/* be the server's client with this text */
};

/* How often the states are sampled. */
constexpr int sample_interval_ms = 10;

/* Runs the whole watch. Returns false, with the reason, where the job could not be started. */
bool watch(WatchOptions const &, Reporter &, std::string &error);

} // namespace observe
