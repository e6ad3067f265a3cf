#include "signal_vocabulary.h"

#include <signal.h>
#include <string.h>

#include <iterator>

namespace observe {

namespace {

/* SYS_SECCOMP, which the C library's header declares only for some. */
constexpr int seccomp_code = 1;

struct Defaults {
	int signal;
	DefaultAction action;
};

/* signal(7): what is not here terminates. */
constexpr Defaults defaults[] = {
	{SIGQUIT, DefaultAction::core},	  {SIGILL, DefaultAction::core},	{SIGTRAP, DefaultAction::core},
	{SIGABRT, DefaultAction::core},	  {SIGBUS, DefaultAction::core},	{SIGFPE, DefaultAction::core},
	{SIGSEGV, DefaultAction::core},	  {SIGXCPU, DefaultAction::core},	{SIGXFSZ, DefaultAction::core},
	{SIGSYS, DefaultAction::core},	  {SIGCHLD, DefaultAction::ignore},	{SIGURG, DefaultAction::ignore},
	{SIGWINCH, DefaultAction::ignore}, {SIGCONT, DefaultAction::resume},	{SIGSTOP, DefaultAction::stop},
	{SIGTSTP, DefaultAction::stop},	  {SIGTTIN, DefaultAction::stop},	{SIGTTOU, DefaultAction::stop},
};

constexpr int terminal_signals[] = {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGCONT, SIGWINCH, SIGTTIN, SIGTTOU};

constexpr CodeMeaning meanings[] = {
	{SIGPIPE, SI_USER, SignalCause::broken_pipe, "it wrote to a pipe or socket that no process reads"},
	{SIGXFSZ, SI_USER, SignalCause::limit, "it wrote past its file size limit, RLIMIT_FSIZE"},
	{0, SI_TIMER, SignalCause::timer, "a POSIX timer it set with timer_create expired"},
	{SIGALRM, SI_KERNEL, SignalCause::timer, "its alarm, or its setitimer ITIMER_REAL timer, expired"},
	{SIGVTALRM, SI_KERNEL, SignalCause::timer, "its setitimer ITIMER_VIRTUAL timer expired"},
	{SIGPROF, SI_KERNEL, SignalCause::timer, "its setitimer ITIMER_PROF timer expired"},
	{SIGXCPU, SI_KERNEL, SignalCause::limit, "it used up its processor time limit, RLIMIT_CPU"},
	{0, SI_MESGQ, SignalCause::io, "a message came to its empty message queue, as mq_notify asked"},
	{0, SI_ASYNCIO, SignalCause::io, "an asynchronous I/O it started completed"},
	{0, SI_SIGIO, SignalCause::io, "a file descriptor it watches became ready"},
	{SIGIO, SI_KERNEL, SignalCause::io, "a file descriptor it set O_ASYNC on became ready"},
	{SIGURG, SI_KERNEL, SignalCause::io, "urgent data came to a socket it owns"},
	{SIGIO, POLL_IN, SignalCause::io, "a file descriptor it watches has input"},
	{SIGIO, POLL_OUT, SignalCause::io, "a file descriptor it watches has room for output"},
	{SIGIO, POLL_HUP, SignalCause::io, "a file descriptor it watches was hung up"},
	{SIGSEGV, SEGV_MAPERR, SignalCause::fault, "it used an address where nothing is mapped"},
	{SIGSEGV, SEGV_ACCERR, SignalCause::fault, "it used memory in a way its protection forbids"},
	{SIGSEGV, SEGV_BNDERR, SignalCause::fault, "it used an address outside its bounds"},
	{SIGSEGV, SEGV_PKUERR, SignalCause::fault, "its protection key forbids that memory"},
	{SIGBUS, BUS_ADRALN, SignalCause::fault, "it used a misaligned address"},
	{SIGBUS, BUS_ADRERR, SignalCause::fault, "it used an address with no memory behind it, past a mapped file's end"},
	{SIGBUS, BUS_OBJERR, SignalCause::fault, "the memory failed: a hardware error"},
	{SIGBUS, BUS_MCEERR_AR, SignalCause::fault, "the memory failed: a hardware error"},
	{SIGFPE, FPE_INTDIV, SignalCause::fault, "it divided an integer by zero"},
	{SIGFPE, FPE_INTOVF, SignalCause::fault, "an integer overflowed"},
	{SIGFPE, FPE_FLTDIV, SignalCause::fault, "it divided a floating-point number by zero"},
	{SIGFPE, FPE_FLTOVF, SignalCause::fault, "a floating-point number overflowed"},
	{SIGFPE, FPE_FLTUND, SignalCause::fault, "a floating-point number underflowed"},
	{SIGFPE, FPE_FLTRES, SignalCause::fault, "a floating-point result was inexact"},
	{SIGFPE, FPE_FLTINV, SignalCause::fault, "a floating-point operation was invalid"},
	{SIGFPE, FPE_FLTSUB, SignalCause::fault, "a subscript was out of range"},
	{SIGILL, ILL_ILLOPC, SignalCause::fault, "it ran an illegal instruction"},
	{SIGILL, ILL_ILLOPN, SignalCause::fault, "it ran an instruction with an illegal operand"},
	{SIGILL, ILL_ILLADR, SignalCause::fault, "it ran an instruction with an illegal addressing mode"},
	{SIGILL, ILL_ILLTRP, SignalCause::fault, "it ran an illegal trap"},
	{SIGILL, ILL_PRVOPC, SignalCause::fault, "it ran a privileged instruction"},
	{SIGILL, ILL_PRVREG, SignalCause::fault, "it used a privileged register"},
	{SIGILL, ILL_COPROC, SignalCause::fault, "its coprocessor failed"},
	{SIGILL, ILL_BADSTK, SignalCause::fault, "its stack failed"},
	{SIGTRAP, TRAP_BRKPT, SignalCause::fault, "it reached a breakpoint"},
	{SIGTRAP, TRAP_TRACE, SignalCause::fault, "it was single-stepped"},
	{SIGTRAP, SI_KERNEL, SignalCause::fault, "it ran a breakpoint instruction (int3), as a debugger plants"},
	/* On its own exec, where PTRACE_TRACEME or PTRACE_ATTACH made it a tracee. */
	{SIGTRAP, SI_USER, SignalCause::traced, "it ran exec while traced, and stops there for its tracer"},
	{SIGSYS, seccomp_code, SignalCause::fault, "it made a system call its seccomp filter forbids"},
};

struct CodeName {
	int signal;	/* 0: any */
	int code;
	char const *name;
};

constexpr CodeName code_names[] = {
	{0, SI_USER, "SI_USER"},	 {0, SI_KERNEL, "SI_KERNEL"},	  {0, SI_QUEUE, "SI_QUEUE"},
	{0, SI_TIMER, "SI_TIMER"},	 {0, SI_MESGQ, "SI_MESGQ"},	  {0, SI_ASYNCIO, "SI_ASYNCIO"},
	{0, SI_SIGIO, "SI_SIGIO"},	 {0, SI_TKILL, "SI_TKILL"},	  {SIGCHLD, CLD_EXITED, "CLD_EXITED"},
	{SIGCHLD, CLD_KILLED, "CLD_KILLED"}, {SIGCHLD, CLD_DUMPED, "CLD_DUMPED"}, {SIGCHLD, CLD_TRAPPED, "CLD_TRAPPED"},
	{SIGCHLD, CLD_STOPPED, "CLD_STOPPED"}, {SIGCHLD, CLD_CONTINUED, "CLD_CONTINUED"},
	{SIGIO, POLL_IN, "POLL_IN"},	 {SIGIO, POLL_OUT, "POLL_OUT"},	  {SIGIO, POLL_HUP, "POLL_HUP"},
	{SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"}, {SIGSEGV, SEGV_BNDERR, "SEGV_BNDERR"},
	{SIGSEGV, SEGV_PKUERR, "SEGV_PKUERR"}, {SIGBUS, BUS_ADRALN, "BUS_ADRALN"}, {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
	{SIGBUS, BUS_OBJERR, "BUS_OBJERR"}, {SIGBUS, BUS_MCEERR_AR, "BUS_MCEERR_AR"}, {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
	{SIGFPE, FPE_INTOVF, "FPE_INTOVF"}, {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"}, {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
	{SIGFPE, FPE_FLTUND, "FPE_FLTUND"}, {SIGFPE, FPE_FLTRES, "FPE_FLTRES"}, {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
	{SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"}, {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"}, {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
	{SIGILL, ILL_ILLADR, "ILL_ILLADR"}, {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"}, {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
	{SIGILL, ILL_PRVREG, "ILL_PRVREG"}, {SIGILL, ILL_COPROC, "ILL_COPROC"}, {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
	{SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"}, {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"}, {SIGSYS, seccomp_code, "SYS_SECCOMP"},
};

constexpr char const *result_names[] = {"queued", "resumed", "ignored", "already pending", "failed"};
/* As JSON gives them; null where there is no cause to name. */
constexpr char const *cause_names[] = {nullptr,		"orphaned group", "terminal", "child changed state",
				       nullptr,		"broken pipe",	  "timer",    "fault",
				       "limit",		"io",		  "traced",   "parent ended"};
static_assert(std::size(cause_names) == static_cast<size_t>(SignalCause::parent_ended) + 1);

struct Said {
	int key;
	char const *words;
};

constexpr Said children_did[] = {
	{CLD_EXITED, "exited"},		 {CLD_KILLED, "was killed"},	{CLD_DUMPED, "was killed and dumped core"},
	{CLD_TRAPPED, "was trapped"}, {CLD_STOPPED, "stopped"},	{CLD_CONTINUED, "continued"},
};

constexpr Said terminals_said[] = {
	{SIGINT, "Ctrl-C typed on the job's terminal"},
	{SIGQUIT, "Ctrl-\\ typed on the job's terminal"},
	{SIGTSTP, "Ctrl-Z typed on the job's terminal"},
	{SIGWINCH, "the job's terminal changed size"},
	{SIGTTIN, "a process not in the terminal's foreground used it"},
	{SIGTTOU, "a process not in the terminal's foreground used it"},
};

template<typename Table, typename Key>
char const *
said(Table const &table, Key key, char const *otherwise)
{
	for (auto const &entry : table)
		if (entry.key == key)
			return entry.words;
	return otherwise;
}

} // namespace

std::string
signal_name(int sig)
{
	char const *abbrev = sigabbrev_np(sig);
	if (abbrev == nullptr)
		return "signal " + std::to_string(sig);
	return std::string("SIG") + abbrev;
}

DefaultAction
default_action(int sig)
{
	for (auto const &d : defaults)
		if (d.signal == sig)
			return d.action;
	return DefaultAction::terminate;
}

bool
ignored_by_default(int sig)
{
	auto action = default_action(sig);
	return action == DefaultAction::ignore || action == DefaultAction::resume;
}

bool
fatal_by_default(int sig)
{
	auto action = default_action(sig);
	return action == DefaultAction::terminate || action == DefaultAction::core;
}

bool
is_stop(int sig)
{
	return default_action(sig) == DefaultAction::stop;
}

bool
is_terminal_stop(int sig)
{
	return is_stop(sig) && sig != SIGSTOP;
}

bool
sent_by_terminals(int sig)
{
	for (int s : terminal_signals)
		if (s == sig)
			return true;
	return false;
}

CodeMeaning const *
code_meaning(int sig, int code)
{
	for (auto const &m : meanings)
		if (m.code == code && (m.signal == 0 || m.signal == sig))
			return &m;
	return nullptr;
}

std::string
code_name(int sig, int code)
{
	for (auto const &n : code_names)
		if (n.code == code && (n.signal == 0 || n.signal == sig))
			return n.name;
	return "code " + std::to_string(code);
}

char const *
result_name(SignalResult result)
{
	return result_names[static_cast<int>(result)];
}

char const *
cause_name(SignalCause cause)
{
	return cause_names[static_cast<int>(cause)];
}

char const *
child_did(int code)
{
	return said(children_did, code, "changed state");
}

char const *
terminal_words(int sig)
{
	return said(terminals_said, sig, "the job's terminal hung up: its session leader ended");
}

} // namespace observe
