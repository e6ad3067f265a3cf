#include "shell_reports.h"

#include <sys/wait.h>

namespace observe {

void
ShellReports::take()
{
	for (auto report : jobshell::read_reports(job_)) {
		if (WIFEXITED(report.status) || WIFSIGNALED(report.status))
			table_.told(clock_.now(), report.pid, report.status);
		if (report.pid == job_.leader)
			stopped_ = WIFSTOPPED(report.status);
	}
}

} // namespace observe
