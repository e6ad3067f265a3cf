#include "timeline.h"

#include "words.h"

#include <sys/wait.h>

#include <algorithm>

namespace observe {

namespace {

int
column(Micros t)
{
	return static_cast<int>(t * columns_per_second / 1'000'000);
}

Glyph const &
glyph_of(Cell cell)
{
	return glyphs[static_cast<int>(cell)];
}

Cell
cell_of(State state)
{
	switch (state) {
	case State::running:
		return Cell::running;
	case State::stopped:
		return Cell::stopped;
	case State::zombie:
		return Cell::zombie;
	}
	return Cell::running;
}

/*
 * The cells of one row: each state from its change to the next, the last
 * one to `end`. A state shorter than a column still gets one, pushing the
 * rest of the row on, so that no stop or zombie goes unseen.
 */
std::string
paint(Process const &p, int end)
{
	std::vector<std::pair<Micros, Cell>> changes;
	for (auto [t, state] : p.history)
		changes.emplace_back(t, cell_of(state));
	if (p.ended_at)
		changes.emplace_back(*p.ended_at, Cell::ended);
	std::string cells;
	for (size_t i = 0; i < changes.size(); i++) {
		int from = std::max(column(changes[i].first), static_cast<int>(cells.size()));
		int to = i + 1 < changes.size() ? column(changes[i + 1].first) : end;
		cells.resize(from, ' ');
		cells.append(std::max(to - from, 1), glyph_of(changes[i].second).mark);
	}
	for (auto [t, parent] : p.adoptions)
		cells[std::min<size_t>(column(t), cells.size() - 1)] = glyph_of(Cell::adopted).mark;
	return cells;
}

std::string
colourize(std::string const &cells)
{
	std::string out;
	char current = 0;
	for (char cell : cells) {
		if (cell != current) {
			out += colour_off;
			for (auto const &g : glyphs)
				if (g.mark == cell)
					out += g.colour;
			current = cell;
		}
		out += cell;
	}
	return out + colour_off;
}

std::string
axis(size_t width, size_t indent)
{
	std::string ticks(indent, ' ');
	std::string marks(indent, ' ');
	for (size_t c = 0; c < width; c += columns_per_second) {
		std::string label = std::to_string(c / columns_per_second) + "s";
		ticks.resize(indent + c, ' ');
		ticks += label;
		marks.resize(indent + c, ' ');
		marks += '|';
	}
	return ticks + "\n" + marks;
}

/* How the row ends: its end, and each adoption. */
std::string
cause_of(Process const &p, ProcessTable const &table)
{
	std::string cause = p.ended() ? end_words(p.wait_status, p.ended_by_observe()) : "not collected";
	bool signaled = p.wait_status && WIFSIGNALED(*p.wait_status);
	if (signaled && p.held && !p.held->empty())
		cause += ", lost " + held_words(*p.held, 24);
	for (auto [t, parent] : p.adoptions)
		cause += ", adopted by " + who(parent, table);
	return cause;
}

} // namespace

std::vector<std::string>
draw_timeline(ProcessTable const &table, Micros end, bool colour)
{
	std::vector<std::string> painted;
	std::vector<std::string> labels;
	size_t width = 0;
	size_t label_width = 0;
	for (auto const &p : table.all()) {
		painted.push_back(paint(p, column(end) + 1));
		width = std::max(width, painted.back().size());
		labels.push_back(std::to_string(p.pid) + " " + p.place);
		label_width = std::max(label_width, labels.back().size());
	}

	std::vector<std::string> lines;
	lines.push_back(axis(width, label_width + 2));
	size_t row = 0;
	for (auto const &p : table.all()) {
		std::string cells = painted[row];
		cells.resize(width, cells.empty() ? ' ' : cells.back());
		std::string label = labels[row];
		label.resize(label_width, ' ');
		lines.push_back(label + "  " + (colour ? colourize(cells) : cells) + "  " + cause_of(p, table));
		row++;
	}

	std::string legend = " ";
	for (auto const &g : glyphs) {
		std::string mark(1, g.mark);
		legend += std::string(" ") + (colour ? g.colour + mark + colour_off : mark) + " " + g.meaning + "  ";
	}
	legend.resize(legend.size() - 2);
	char scale[64];
	snprintf(scale, sizeof(scale), "  (%d columns a second)", columns_per_second);
	lines.push_back(legend + scale);
	return lines;
}

void
TimelineReporter::finish(ProcessTable const &table)
{
	fputs("\n", out_);
	for (auto const &row : draw_timeline(table, last_, colour_))
		fprintf(out_, "%s\n", row.c_str());
	fflush(out_);
}

} // namespace observe
