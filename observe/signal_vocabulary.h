#pragma once

/*
 * The words for signals, in one place and as data: their names, what each
 * does by default, what the kernel's si_code tells of where one came from,
 * and what became of one. The kernel's interpreter decides with them, and
 * the reports say them.
 */

#include <string>

namespace observe {

/* What became of a signal at once, in a student's words. */
enum class SignalResult {
	queued,		/* the target will take it */
	resumed,	/* a SIGCONT that resumed a stopped target */
	ignored,	/* no effect: ignored disposition, ignored by default, a zombie target */
	already_pending,
	failed,
};

/* Why the kernel sent a signal of its own accord. */
enum class SignalCause {
	none,			/* a process sent it (kill and the like) */
	orphaned_group,		/* a parent's end left a group with a stopped member orphaned */
	terminal,		/* a key typed on the job's terminal, or its hangup */
	child_changed_state,	/* SIGCHLD */
	kernel,			/* the kernel, for a reason its record does not tell */
	broken_pipe,		/* a write to a pipe or socket with no reader */
	timer,			/* a timer the target set expired */
	fault,			/* the target's own instruction: a bad address, a division by zero */
	limit,			/* the target passed a resource limit */
	io,			/* a file descriptor became ready, a message came */
	traced,			/* the target is traced: the kernel stops it for its tracer */
	parent_ended,		/* the target's parent ended, and it had asked for a signal then */
};

/* What a signal does to a process that keeps its default action. */
enum class DefaultAction { terminate, core, ignore, stop, resume };

/* "SIGHUP" for 1, or "signal 99" for a number without a name. */
std::string signal_name(int);
DefaultAction default_action(int sig);
/* A signal whose default action is to do nothing: SIGCHLD, SIGCONT (beyond resuming), SIGURG, SIGWINCH. */
bool ignored_by_default(int sig);
/* Ends the process, where it keeps the default action. */
bool fatal_by_default(int sig);
bool is_stop(int sig);
/* The stops a terminal asks for, which an orphaned group is spared. */
bool is_terminal_stop(int sig);
/* The signals a terminal sends: keys typed, a hangup, a resize, a background read or write. */
bool sent_by_terminals(int sig);

/* What a signal's si_code says where the kernel raised it of its own accord. */
struct CodeMeaning {
	int signal;		/* 0: any signal */
	int code;
	SignalCause cause;
	char const *words;	/* "it used an address where nothing is mapped" */
};
/*
 * The kernel's own reason for `sig` with `code`; nullptr where the code
 * says a process sent it (kill, sigqueue, tgkill) or tells nothing more.
 * SI_USER has meanings too, for the signals the kernel raises with it on
 * the target's own system call (SIGPIPE, SIGXFSZ, a traced exec's SIGTRAP):
 * they hold only where the target was not itself calling kill, and to the
 * calling thread alone.
 */
CodeMeaning const *code_meaning(int sig, int code);
/* "SI_USER", "SEGV_MAPERR", "CLD_EXITED"; "code N" where it has no name. */
std::string code_name(int sig, int code);

char const *result_name(SignalResult);
/* JSON's word for a cause: "orphaned group", "broken pipe"; nullptr for none. */
char const *cause_name(SignalCause);
/* What a child did, as its SIGCHLD's code tells: "exited", "was killed". */
char const *child_did(int code);
/* Why a terminal sent it: "Ctrl-C typed on the job's terminal". */
char const *terminal_words(int sig);

} // namespace observe
