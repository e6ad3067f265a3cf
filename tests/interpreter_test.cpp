/*
 * The kernel interpreter on records kept from real runs (fixtures/kernel,
 * whose README says how each was recorded): each scenario is a rule of
 * what the kernel's records mean, and the events it must come to. No
 * root, no tracefs: the records are replayed as they were read.
 */
#include "interpret/interpreter.h"
#include "interpret/record_text.h"
#include "report/json.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using observe::Event;

/* The job a fixture's header names: "# job leader=L shell=S observer=O name=N". */
struct Job {
	pid_t leader = -1, shell = -1, observer = -1;
	std::string name;
};

/* Replays a fixture into a table of its own; its events, as JSON lines. */
std::vector<std::string>
replay(std::string const &fixture)
{
	std::ifstream in(std::string(KERNEL_FIXTURES) + "/" + fixture + ".records");
	EXPECT_TRUE(in) << fixture;
	std::vector<observe::kernel::Record> records;
	Job job;
	for (std::string line; std::getline(in, line);) {
		if (line.starts_with("# job ")) {
			std::istringstream words(line.substr(6));
			for (std::string word; words >> word;) {
				auto value = word.substr(word.find('=') + 1);
				if (word.starts_with("leader="))
					job.leader = std::stoi(value);
				else if (word.starts_with("shell="))
					job.shell = std::stoi(value);
				else if (word.starts_with("observer="))
					job.observer = std::stoi(value);
				else if (word.starts_with("name="))
					job.name = value;
			}
		} else if (auto record = observe::kernel::parse_record(line)) {
			records.push_back(*record);
		} else {
			EXPECT_TRUE(line.empty() || line[0] == '#') << "not a record: " << line;
		}
	}
	observe::EventQueue events;
	observe::ProcessTable table(events, job.observer);
	table.set_shell(job.shell);
	table.set_exact_collections();
	observe::Host host;
	observe::Stopwatch clock{observe::Clock::time_point{}};
	observe::Interpreter interpreter(table, host, clock);
	interpreter.set_job(job.leader, job.name, false);
	for (auto const &record : records) {
		interpreter.take(record);
		interpreter.settle(record.t_ns);
	}
	interpreter.settle(records.empty() ? 0 : records.back().t_ns + 1'000'000'000);
	table.expire(std::numeric_limits<observe::Micros>::max() / 2, 0);
	std::vector<std::string> lines;
	for (auto const &e : events.release(std::numeric_limits<observe::Micros>::max()))
		lines.push_back(observe::json_event(e));
	return lines;
}

struct Scenario {
	char const *name;
	char const *fixture;
	/* Pieces of event lines that must come, each in a later line than the one before. */
	std::vector<std::string> in_order;
	/* Pieces of lines that must not come at all. */
	std::vector<std::string> never = {};
};

class KernelRecords : public ::testing::TestWithParam<Scenario> {};

TEST_P(KernelRecords, TellWhatTheKernelDid)
{
	auto const &scenario = GetParam();
	auto lines = replay(scenario.fixture);
	std::string all;
	for (auto const &line : lines)
		all += line + "\n";
	size_t next = 0;
	for (auto const &piece : scenario.in_order) {
		auto found = std::find_if(lines.begin() + next, lines.end(),
					  [&](std::string const &line) { return line.find(piece) != std::string::npos; });
		ASSERT_NE(found, lines.end()) << "no " << piece << " after line " << next << " in\n" << all;
		next = found - lines.begin() + 1;
	}
	for (auto const &piece : scenario.never)
		EXPECT_EQ(all.find(piece), std::string::npos) << piece << " in\n" << all;
}

Scenario const scenarios[] = {
	/* yes writes on after head has gone: the kernel's SIGPIPE, not yes's own. */
	{"AWriteToAPipeWithNoReaderIsTheKernels", "pipe",
	 {R"("pid":19036,"signal":"SIGPIPE","from":null,"result":"queued","cause":"broken pipe")",
	  R"("signaled","pid":19036,"signal":"SIGPIPE")"},
	 {R"("from":19036)"}},
	/* timeout's timer_create timer, taken from an interrupt in whatever thread ran. */
	{"APosixTimerThatExpiredIsTheKernels", "timeout",
	 {R"("pid":26261,"signal":"SIGALRM","from":null,"result":"queued","cause":"timer")",
	  R"("exit","pid":26261,"status":124)"},
	 {R"("from":0)"}},
	{"AnAlarmThatExpiredIsTheKernels", "alarm",
	 {R"("signal":"SIGALRM","from":null,"result":"queued","cause":"timer","reason":"its alarm, or its setitimer ITIMER_REAL timer, expired")",
	  R"("signaled","pid":22557,"signal":"SIGALRM")"}},
	{"AnIntervalTimerThatExpiredIsTheKernels", "itimer", {R"("signal":"SIGALRM","from":null,"result":"queued","cause":"timer")"}},
	{"AnyPosixTimerSignalIsTheKernels", "posix-timer",
	 {R"("signal":"SIGUSR1","from":null,"result":"queued","cause":"timer")", R"("signaled","pid":23324,"signal":"SIGUSR1")"}},
	/* Faults: the si_code says which. */
	{"ABadAddressIsAFault", "segv", {R"("cause":"fault","reason":"it used an address where nothing is mapped","code":1,"code_name":"SEGV_MAPERR")",
	  R"("signaled","pid":19487,"signal":"SIGSEGV")"}},
	{"AWriteToReadOnlyMemoryIsAFault", "accerr", {R"("code_name":"SEGV_ACCERR")"}},
	{"AnIntegerDivisionByZeroIsAFault", "fpe", {R"("cause":"fault","reason":"it divided an integer by zero","code":1,"code_name":"FPE_INTDIV")",
	  R"("signaled","pid":27727,"signal":"SIGFPE")"}},
	{"AnIllegalInstructionIsAFault", "ill", {R"("signal":"SIGILL","from":null,"result":"queued","cause":"fault")"}},
	{"MemoryPastAMappedFilesEndIsAFault", "bus", {R"("code_name":"BUS_ADRERR")"}},
	/* sh exits with two zombie children; they go to observe, each with a SIGCHLD in sh's name. */
	{"ZombiesHandedOverAreNamedInTheirSigchld", "handover",
	 {R"("adopted","pid":5509,"ppid":5457)",
	  R"("pid":5457,"signal":"SIGCHLD","from":null,"result":"queued","cause":"child changed state","because_of":5509)",
	  R"("adopted","pid":5510,"ppid":5457)", R"("because_of":5510)",
	  R"("pid":5493,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":5494)",
	  R"("exit","pid":5509,"status":0)"}},
	/* bash kills its stopped job, then (as it ends) sends SIGTERM and SIGCONT: dropped, the group exiting. */
	{"ASigcontAfterASigkillResumesNothing", "killcont",
	 {R"("group_signal","from":5255,"group":-5256,"signal":"SIGKILL")",
	  R"("pid":5256,"signal":"SIGKILL","from":5255,"result":"queued","cause":null,"group":-5256)",
	  R"("pid":5256,"signal":"SIGCONT","from":5255,"result":"ignored")", R"("adopted","pid":5256,"ppid":5239)",
	  R"("pid":5239,"signal":"SIGCHLD")", R"("signaled","pid":5256,"signal":"SIGKILL")"},
	 {R"("result":"resumed")"}},
	{"AKillToTheGroupIsOneEventThenEachMembersResult", "groupkill",
	 {R"("group_signal","from":28253,"group":0,"signal":"SIGTERM")",
	  R"("pid":28255,"signal":"SIGTERM","from":28253,"result":"queued","cause":null,"group":0)",
	  R"("pid":28254,"signal":"SIGTERM","from":28253,"result":"queued","cause":null,"group":0)",
	  R"("pid":28253,"signal":"SIGTERM","from":28253,"result":"ignored","cause":null,"group":0)"}},
	/* root's kill -TERM -- -PGID from another terminal: a process outside the job, whose kill the trace sees all the same. */
	{"AKillToTheGroupFromOutsideIsOneEventToo", "outkill",
	 {R"("group_signal","from":30635,"group":-30701,"signal":"SIGTERM")",
	  R"("pid":30704,"signal":"SIGTERM","from":30635,"result":"queued","cause":null,"group":-30701)",
	  R"("pid":30701,"signal":"SIGTERM","from":30635,"result":"queued","cause":null,"group":-30701)",
	  R"("pid":30698,"signal":"SIGCHLD","from":null,"result":"queued","cause":"child changed state","because_of":30704)",
	  R"("pid":30700,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":30701)"}},
	/* The shell collects them and tells nobody; exit_group's code says. */
	{"EveryExitStatusIsKnown", "short",
	 {R"("exit","pid":29428,"status":1)", R"("exit","pid":29429,"status":2)", R"("exit","pid":29430,"status":3)"},
	 {R"("status":null)"}},
	{"StopsStillPendingAreClearedByASigcont", "stopcont",
	 {R"("pid":8103,"signal":"SIGCONT","from":8102,"result":"ignored")",
	  R"("discarded","pid":8103,"signal":"SIGSTOP","reason":"flushed by SIGCONT")",
	  R"("discarded","pid":8103,"signal":"SIGTSTP","reason":"flushed by SIGCONT")", R"("signaled","pid":8103,"signal":"SIGKILL")"}},
	/* python's os._exit from a thread: a thread not the main one is the last to end. */
	{"AProcessWhoseLastTaskIsNotItsMainOneStillEnds", "pythreads",
	 {R"("state","pid":5773,"state":"zombie")", R"("signal","pid":5772,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":5773)",
	  R"("exit","pid":5773,"status":3)"}},
	/* The main thread's pthread_exit first, another thread's exit(7) last: the main thread's code is the status. */
	{"AMainThreadGoneFirstStillDecidesTheStatus", "thread-last",
	 {R"("state","pid":21408,"state":"zombie")", R"("because_of":21408)", R"("exit","pid":21408,"status":0)"}},
	{"ExitGroupDecidesTheStatusOverItsThreadsSigkill", "exit-threads", {R"("exit","pid":22110,"status":5)"}},
	{"ASignalFromAThreadIsItsProcesssNamingTheThread", "thread-kill",
	 {R"("pid":20927,"signal":"SIGTERM","from":20926,"result":"queued","cause":null,"thread":20957)"}},
	{"AChildOfAThreadIsItsProcesss", "thread-fork",
	 {R"("spawn","pid":22490,"ppid":22488)", R"("exit","pid":22490,"status":4)"}},
	{"AReusedPidIsANewProcess", "reuse",
	 {R"("exit","pid":7655,"status":1)", R"("spawn","pid":7655,"ppid":7654,"name":"scenarios","place":"child 2")",
	  R"("state","pid":7655,"state":"zombie")", R"("exit","pid":7655,"status":2)"}},
	/* Gone at its exit (SIGCHLD ignored), its number given again before its freeing: two processes, each ended. */
	{"APidGivenAgainBeforeItsFreeingIsANewProcess", "reuse-autoreap",
	 {R"("t_us":2292,"event":"exit","pid":31201,"status":1)", R"("spawn","pid":31201,"ppid":31200,"name":"scenarios","place":"child 2")",
	  R"("t_us":2467,"event":"exit","pid":31201,"status":2)"}},
	/* A waitid collects without naming the pid: the parent's own SIGCHLD is its own, not a handed zombie's. */
	{"AWaitidCollectsAtItsReturn", "waitid",
	 {R"("t_us":5200,"event":"exit","pid":26908,"status":6)", R"("state","pid":26907,"state":"zombie")",
	  R"("pid":26905,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":26907)"},
	 {R"("adopted")"}},
	/* The demonstration: a stopped worker resumed, both sent SIGTSTP, the parent's end orphans their group. */
	{"ATerminalStopInAnOrphanedGroupIsDiscarded", "childsig-a",
	 {R"("pid":17966,"signal":"SIGCONT","from":17964,"result":"resumed")", R"("state","pid":17966,"state":"running")",
	  R"("state","pid":17964,"state":"zombie")", R"("adopted","pid":17965,"ppid":17962)",
	  R"("discarded","pid":17966,"signal":"SIGTSTP","reason":"orphaned group")",
	  R"("discarded","pid":17965,"signal":"SIGTSTP","reason":"orphaned group")"},
	 {R"("state","pid":17965,"state":"stopped")"}},
	/* A thread that is not the main one execs: the SIGKILL that ended the other threads does not end the process. */
	{"AnExecFromAThreadEndsOnlyItsOtherThreads", "exec-thread",
	 {R"("signal","pid":1912,"signal":"SIGUSR1","from":1912,"result":"ignored")", R"("exit","pid":1912,"status":3)"},
	 {R"("target_ending")"}},
	/* Sent and collected through a pidfd: its waitid names no pid, its one zombie child is the one. */
	{"AWaitidOnAPidfdCollectsAtItsReturn", "pidfd",
	 {R"("pid":2163,"signal":"SIGTERM","from":2162,"result":"queued")",
	  R"("t_us":53840,"event":"signaled","pid":2163,"signal":"SIGTERM")"}},
	/* Two zombies, two waitids for the group: the freeings, in order, say which each collected. */
	{"WaitidsForAGroupCollectEachAtItsReturn", "waitid-pgid",
	 {R"("t_us":52841,"event":"exit","pid":2339,"status":8)", R"("t_us":103097,"event":"exit","pid":2340,"status":9)"}},
	/* pidfd_send_signal of its own SIGPIPE: a process's, as a kill would be, where the kernel's is to the writing thread alone. */
	{"ASigpipeAProcessSendsItselfIsItsOwn", "pidfd-self",
	 {R"("pid":2278,"signal":"SIGPIPE","from":2278,"result":"queued","cause":null)"}},
	/* The program's CLONE_PARENT child is its shell's; a child's, the program's. */
	{"AChildMadeForItsOwnParentIsTheJobs", "clone-parent",
	 {R"("spawn","pid":2094,"ppid":2091,"name":"scenarios","place":"program's sibling")",
	  R"("spawn","pid":2095,"ppid":2092,"name":"scenarios","place":"child 2")", R"("exit","pid":2095,"status":6)",
	  R"("pid":2091,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":2094)",
	  R"("exit","pid":2094,"status":8)"}},
	/* A fatal signal blocked and pending ends nothing yet: the SIGCHLD meanwhile is ignored as by default. */
	{"ASignalOnlyQueuedEndsNothing", "rtqueue",
	 {R"("signal":"SIGUSR1","from":2591,"result":"already pending")",
	  R"("because_of":2592,"code":1,"code_name":"CLD_EXITED","target_state":"running"})"}},
	/* The program made itself a subreaper: its grandchildren come to it when their parent ends, not to observe. */
	{"AnOrphanGoesToItsNearestSubreaper", "subreaper",
	 {R"("adopted","pid":11287,"ppid":11285)", R"("exit","pid":11287,"status":9)"},
	 {R"("ppid":11275)"}},
	/* A wait in a pid namespace of the job's own names its child by that namespace's number: it collected
	 * its one zombie child, at its return. */
	{"AWaitInAPidNamespaceOfItsOwnCollectsAtItsReturn", "pidns",
	 {R"("t_us":105833,"event":"exit","pid":13226,"status":0)", R"("t_us":206196,"event":"exit","pid":13225,"status":0)"}},
	/* SA_NOCLDWAIT: gone at its exit, it is not handed over when its parent ends before its freeing. */
	{"AChildGoneAtItsExitIsNotHandedOver", "nocldwait",
	 {R"("t_us":2498,"event":"exit","pid":24875,"status":3)",
	  R"("pid":24873,"signal":"SIGCHLD","from":null,"result":"ignored","cause":"child changed state","because_of":24874)"},
	 {R"("adopted")"}},
	/* strace -f: sleep, orphaned to observe, tells strace of its end; strace's wait4 has observe told, and observe collects it. */
	{"ATracersWaitLeavesTheCollectionToTheParent", "strace",
	 {R"("adopted","pid":10659,"ppid":10585)",
	  R"("pid":10585,"signal":"SIGCHLD","from":null,"result":"queued","cause":"child changed state","because_of":10659)",
	  R"("t_us":122181,"event":"exit","pid":10659,"status":0)"},
	 {R"("adopted","pid":10659,"ppid":10638)"}},
	/* gdb runs /bin/true: PTRACE_TRACEME, then the kernel's SIGTRAP at each exec, then one for each breakpoint. */
	{"ATracedExecsSigtrapIsTheKernels", "gdb",
	 {R"("pid":9568,"signal":"SIGTRAP","from":null,"result":"queued","cause":"traced")",
	  R"("pid":9568,"signal":"SIGTRAP","from":null,"result":"queued","cause":"fault","reason":"it ran a breakpoint instruction (int3))"},
	 {R"("signal":"SIGTRAP","from":9568)"}},
	/* SI_USER in the name of a process that has ended: the child's PR_SET_PDEATHSIG, the kernel's at its parent's end. */
	{"ASignalAtAParentsEndIsTheKernels", "pdeath",
	 {R"("pid":26347,"signal":"SIGTERM","from":null,"result":"queued","cause":"parent ended","because_of":26346)",
	  R"("signaled","pid":26347,"signal":"SIGTERM")"}},
	/* A SIGTERM blocked and read from a signalfd: its next kill shows it runs on, so a signal it ignores is its own doing. */
	{"AProcessThatCallsOnIsNotEnding", "signalfd",
	 {R"("signal":"SIGUSR1","from":29860,"result":"ignored","cause":null,"code":0,"code_name":"SI_USER","target_state":"running"})",
	  R"("exit","pid":29860,"status":3)"}},
	/* CLD_DUMPED in its SIGCHLD: the wait status has the core bit, and its end says so. */
	{"ACoreDumpedIsInItsEnd", "core",
	 {R"("because_of":11979,"code":3,"code_name":"CLD_DUMPED")", R"("signaled","pid":11979,"signal":"SIGQUIT","core":true)"}},
	/* Its parent ignores SIGCHLD: it goes at its exit, though only its freeing says so. */
	{"AChildOfAParentIgnoringSigchldGoesAtItsExit", "autoreap",
	 {R"("t_us":154236,"event":"state","pid":27452,"state":"zombie")", R"("t_us":154236,"event":"exit","pid":27452,"status":2)"}},
};

INSTANTIATE_TEST_SUITE_P(Interpreter, KernelRecords, ::testing::ValuesIn(scenarios),
	[](auto const &info) { return std::string(info.param.name); });

/* What observe writes, it reads back the same. */
TEST(RecordText, ReadsBackWhatItWrites)
{
	using namespace observe::kernel;
	Record const records[] = {
		{1, Forked{10, 11, 0x1200011}}, {2, Executed{11, "/usr/bin/a b"}}, {3, Exited{11, true}},
		{4, Stopped{11}}, {5, Generated{0, 11, 14, -2, 0, true, 1}}, {6, Delivered{11, 9, 0, 0x55aa}},
		{7, Collected{10, 11, true}}, {8, ExitCalled{11, 3, true}}, {9, KillCalled{10, -11, 15}},
		{10, KillReturned{10, -3}}, {11, Freed{11}}, {12, Subreaper{12, true}},
	};
	for (auto const &record : records) {
		auto line = record_line(record);
		auto back = parse_record(line);
		ASSERT_TRUE(back) << line;
		EXPECT_EQ(record_line(*back), line);
	}
	EXPECT_FALSE(parse_record("# a comment"));
	EXPECT_FALSE(parse_record("12 frob 1 2"));
}

} // namespace
