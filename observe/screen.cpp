#include "screen.h"

#include <unistd.h>

#include <cstdlib>

namespace observe {

static constexpr winsize fallback_size{24, 80, 0, 0};

Screen::Screen()
{
	report_on_terminal_ = isatty(STDOUT_FILENO);
	update();
}

void
Screen::update()
{
	/* Where the report goes to a pipe, the terminal typed at still has a size. */
	for (int fd : {STDOUT_FILENO, STDIN_FILENO, STDERR_FILENO}) {
		winsize size{};
		if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
			size_ = size;
			sized_ = true;
			return;
		}
	}
	size_ = fallback_size;
	sized_ = false;
}

size_t
Screen::columns() const
{
	if (sized_ && report_on_terminal_)
		return size_.ws_col;
	if (char const *columns = getenv("COLUMNS")) {
		char *end;
		long n = strtol(columns, &end, 10);
		if (*columns != '\0' && *end == '\0' && n > 0)
			return static_cast<size_t>(n);
	}
	return sized_ ? size_.ws_col : fallback_size.ws_col;
}

} // namespace observe
