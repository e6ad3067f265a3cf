#include "timeline.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace observe {

namespace {

struct Row {
	pid_t pid;
	std::string place;
	std::vector<std::pair<long long, State>> changes;
	std::vector<std::pair<long long, pid_t>> adoptions;	/* when, and by whom */
	std::string cause;
};

int
column(long long t_ms)
{
	return static_cast<int>(t_ms * columns_per_second / 1000);
}

Glyph const &
glyph_of(State state)
{
	return glyphs[static_cast<int>(state)];
}

std::string
cause_of(Event const &end)
{
	if (end.kind == Kind::exit)
		return end.status < 0 ? "ended, status unknown" : "exit " + std::to_string(end.status);
	return signal_name(end.signal) + (end.by_watcher ? " (ended by observe)" : "");
}

std::vector<Row>
rows_of(std::vector<Event> const &events)
{
	std::vector<Row> rows;
	std::map<pid_t, size_t> index;
	for (auto const &e : events) {
		if (e.kind == Kind::spawn) {
			index[e.pid] = rows.size();
			rows.push_back({e.pid, e.place, {}, {}, ""});
			continue;
		}
		auto found = index.find(e.pid);
		if (found == index.end())
			continue;
		Row &row = rows[found->second];
		if (e.kind == Kind::state)
			row.changes.emplace_back(e.t_ms, e.state);
		else if (e.kind == Kind::adopted)
			row.adoptions.emplace_back(e.t_ms, e.ppid);
		else if (e.kind == Kind::exit || e.kind == Kind::signaled) {
			row.changes.emplace_back(e.t_ms, State::ended);
			row.cause = cause_of(e);
		}
	}
	return rows;
}

/*
 * The cells of one row: each state from its change to the next, the last
 * one to `end`. A state shorter than a column still gets one, pushing the
 * rest of the row on, so that no stop or zombie goes unseen.
 */
std::string
paint(Row const &row, int end)
{
	std::string cells;
	for (size_t i = 0; i < row.changes.size(); i++) {
		int from = std::max(column(row.changes[i].first), static_cast<int>(cells.size()));
		int to = i + 1 < row.changes.size() ? column(row.changes[i + 1].first) : end;
		cells.resize(from, ' ');
		cells.append(std::max(to - from, 1), glyph_of(row.changes[i].second).mark);
	}
	for (auto [t, parent] : row.adoptions)
		cells[std::min<size_t>(column(t), cells.size() - 1)] = adoption_mark;
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
			if (cell == adoption_mark)
				out += adoption_colour;
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

} // namespace

std::vector<std::string>
draw_timeline(std::vector<Event> const &events, pid_t observer, bool colour)
{
	auto rows = rows_of(events);
	long long last_ms = events.empty() ? 0 : events.back().t_ms;
	std::vector<std::string> painted;
	size_t width = 0;
	for (auto const &row : rows) {
		painted.push_back(paint(row, column(last_ms) + 1));
		width = std::max(width, painted.back().size());
	}

	size_t label_width = 0;
	std::vector<std::string> labels;
	for (auto const &row : rows) {
		labels.push_back(std::to_string(row.pid) + " " + row.place);
		label_width = std::max(label_width, labels.back().size());
	}

	std::vector<std::string> lines;
	lines.push_back(axis(width, label_width + 2));
	for (size_t i = 0; i < rows.size(); i++) {
		std::string cells = painted[i];
		cells.resize(width, cells.empty() ? ' ' : cells.back());
		std::string label = labels[i];
		label.resize(label_width, ' ');
		std::string cause = rows[i].cause.empty() ? "not collected" : rows[i].cause;
		for (auto [t, parent] : rows[i].adoptions)
			cause += ", adopted by " + std::to_string(parent) + (parent == observer ? " (observe)" : "");
		lines.push_back(label + "  " + (colour ? colourize(cells) : cells) + "  " + cause);
	}

	std::string legend = "  ";
	for (auto const &g : glyphs) {
		std::string mark(1, g.mark);
		legend += (colour ? g.colour + mark + colour_off : mark) + " " + g.meaning + "   ";
	}
	std::string adopt(1, adoption_mark);
	legend += (colour ? adoption_colour + adopt + colour_off : adopt) + " adopted";
	char scale[64];
	snprintf(scale, sizeof(scale), "  (%d columns a second)", columns_per_second);
	lines.push_back(legend + scale);
	return lines;
}

} // namespace observe
