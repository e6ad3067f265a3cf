#include "timeline.h"

#include "screen_text.h"
#include "words.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace observe {

namespace {

/* Seconds a column may stand for, finest first: the finest is ten a
 * second, what a glance can use; the others fit longer watches in. */
constexpr double steps[] = {0.1, 0.2, 0.25, 0.5, 1, 2, 2.5, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600};
/* Seconds between two labels of the axis. */
constexpr double label_steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600};
/* Never narrower than this, whatever the terminal says. */
constexpr size_t narrowest = 40;
/* Columns a row may grow past its end: the end's own, where a stop or a
 * zombie took its column. */
constexpr int push_room = 1;

constexpr char signal_mark = '!';
constexpr char lost_mark = '~';
/* A kill to a group is marked by its number, 1 to 9; those after by a plus. */
constexpr char first_kill_mark = '1';
constexpr char more_kill_mark = '+';
/* A note names this many members of a group, and counts the rest. */
constexpr size_t members_named = 6;
/* Lost bytes are shown in the row up to this many. */
constexpr size_t lost_shown = 24;

struct Scale {
	double step;	/* seconds a column stands for */
	int column(Micros t) const { return static_cast<int>(std::floor(t / 1e6 / step + 1e-9)); }
};

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

/* Which state a column shows where several fall in it: a stop or a zombie,
 * however short, before running, and running before the end. */
int
rank(Cell cell)
{
	switch (cell) {
	case Cell::stopped:
	case Cell::zombie:
		return 3;
	case Cell::running:
		return 2;
	default:
		return 1;
	}
}

/*
 * The cells of one row: each state in the columns from its change to the
 * next, the last one to `end`, every change in the column of its time. A
 * column where several states fall shows the first, where the row begins,
 * else the one that matters most, so that no stop or zombie goes unseen;
 * the end, if it lost its column, takes the next one, so that every row
 * shows how it ended.
 */
std::string
paint(Told const &p, Scale scale, int end, int most)
{
	std::vector<std::pair<Micros, Cell>> changes;
	for (auto [t, state] : p.history)
		changes.emplace_back(t, cell_of(state));
	if (p.ended_at)
		changes.emplace_back(*p.ended_at, Cell::ended);
	std::string cells;
	std::vector<int> ranks;
	for (size_t i = 0; i < changes.size(); i++) {
		Cell cell = changes[i].second;
		int from = std::min(scale.column(changes[i].first), most - 1);
		int to = std::min(i + 1 < changes.size() ? scale.column(changes[i + 1].first) : end, most);
		bool last = i + 1 == changes.size();
		if (static_cast<int>(cells.size()) < std::max(to, from + 1)) {
			cells.resize(std::max(to, from + 1), ' ');
			ranks.resize(cells.size(), 0);
		}
		if (last && cell == Cell::ended && ranks[from] > rank(cell) && from + 1 < most) {
			from++;
			cells.resize(std::max<size_t>(cells.size(), from + 1), ' ');
			ranks.resize(cells.size(), 0);
		}
		for (int c = from; c < std::max(to, from + 1); c++) {
			/* The first column is shared with the state before; the rest are this one's. */
			if (c == from && ranks[c] > rank(cell))
				continue;
			cells[c] = glyph_of(cell).mark;
			/* A row begins with what the process was when it appeared. */
			ranks[c] = i == 0 && c == from ? 4 : rank(cell);
		}
	}
	auto mark = [&](Micros t, char glyph) {
		if (!cells.empty())
			cells[std::min<size_t>(scale.column(t), cells.size() - 1)] = glyph;
	};
	for (auto [t, sig] : p.signals)
		mark(t, signal_mark);
	for (auto [t, parent] : p.adoptions)
		mark(t, glyph_of(Cell::adopted).mark);
	/* A mark in the end's column leaves the end the next. */
	char ended = glyph_of(Cell::ended).mark;
	if (p.ended_at && !cells.empty() && cells.back() != ended && static_cast<int>(cells.size()) < most)
		cells += ended;
	return cells;
}

/*
 * Each row's label: the process's command and pid, indented by its
 * generation so that the rows show the tree; within `most` columns, the
 * indent narrowing and then the command cut where the tree is deep.
 */
std::vector<std::string>
labels_of(Story const &story, size_t most)
{
	std::vector<std::string> labels;
	for (size_t step : {2, 1, 0}) {
		labels.clear();
		bool fits = true;
		for (auto const &p : story.all()) {
			std::string pid = " " + std::to_string(p.pid);
			size_t indent = step * static_cast<size_t>(generation(p.place));
			/* A command of three characters at least says which it is. */
			fits = fits && indent + 3 + pid.size() <= most;
			size_t room = most > indent + pid.size() ? most - indent - pid.size() : 0;
			std::string name = p.name.substr(0, std::max<size_t>(room, 1));
			labels.push_back(std::string(indent, ' ') + name + pid);
		}
		if (fits)
			break;
	}
	return labels;
}

char const *
colour_of(char mark)
{
	if (mark == signal_mark || mark == more_kill_mark || (mark >= first_kill_mark && mark < first_kill_mark + static_cast<int>(Marks::kills_told)))
		return signal_colour;
	if (mark == lost_mark)
		return lost_colour;
	for (auto const &g : glyphs)
		if (g.mark == mark)
			return g.colour;
	return "";
}

std::string
colourize(std::string const &cells)
{
	std::string out;
	char current = 0;
	for (char cell : cells) {
		if (cell != current) {
			out += colour_off;
			out += colour_of(cell);
			current = cell;
		}
		out += cell;
	}
	return out + colour_off;
}

/* "0.5 s" for a step, "10 columns a second" for the finest. */
std::string
scale_words(double step)
{
	if (step < 1) {
		int per_second = static_cast<int>(std::lround(1 / step));
		if (std::fabs(per_second * step - 1) < 1e-9)
			return std::to_string(per_second) + " columns a second";
	}
	char text[32];
	snprintf(text, sizeof(text), "a column is %g s", step);
	return text;
}

std::string
time_label(double seconds)
{
	char text[32];
	if (seconds >= 60 && std::fmod(seconds, 60) == 0)
		snprintf(text, sizeof(text), "%gm", seconds / 60);
	else
		snprintf(text, sizeof(text), "%gs", seconds);
	return text;
}

/* The two lines of the axis: a label at each round time, and a tick under it. */
std::string
axis(Scale scale, size_t width, size_t indent, size_t limit)
{
	double every = label_steps[std::size(label_steps) - 1];
	for (double s : label_steps) {
		size_t columns = static_cast<size_t>(std::lround(s / scale.step));
		if (columns >= time_label(width * scale.step).size() + 1) {
			every = s;
			break;
		}
	}
	std::string ticks(indent, ' ');
	std::string marks(indent, ' ');
	for (double at = 0;; at += every) {
		size_t c = static_cast<size_t>(std::lround(at / scale.step));
		if (c >= width)
			break;
		std::string label = time_label(at);
		if (indent + c + label.size() > limit)
			break;
		ticks.resize(indent + c, ' ');
		ticks += label;
		marks.resize(indent + c, ' ');
		marks += '|';
	}
	std::string words = "   (" + scale_words(scale.step) + ")";
	if (ticks.size() + words.size() <= limit)
		ticks += words;
	return ticks + "\n" + marks;
}

/* How the row ends: its end, what it lost, and each adoption, as the pieces of a list. */
std::vector<std::string>
cause_of(Told const &p, Story const &story)
{
	std::vector<std::string> pieces{p.ended() ? end_words(p.wait_status, p.by_observe) : "not collected"};
	bool signaled = p.wait_status && WIFSIGNALED(*p.wait_status);
	/* The bytes themselves where they are few; the live report has them all. */
	if (signaled && p.lost && !p.lost->empty())
		pieces.push_back("lost " + (p.lost->size() <= lost_shown ? held_words(*p.lost)
								  : std::to_string(p.lost->size()) + " bytes"));
	for (auto [t, parent] : p.adoptions)
		pieces.push_back("adopted by " + who(parent, story));
	return pieces;
}

/* The pieces joined with ", ", in lines of at most `width` (a piece longer than that stands alone). */
std::vector<std::string>
wrap(std::vector<std::string> const &pieces, size_t width)
{
	std::vector<std::string> lines{""};
	for (size_t i = 0; i < pieces.size(); i++) {
		std::string piece = pieces[i] + (i + 1 < pieces.size() ? "," : "");
		std::string &last = lines.back();
		if (last.empty())
			last = piece;
		else if (last.size() + 1 + piece.size() <= width)
			last += " " + piece;
		else
			lines.push_back(piece);
	}
	for (auto &line : lines)
		if (line.size() > width)
			line.resize(width);
	return lines;
}

std::vector<std::string>
legend(bool colour, bool signals, size_t width)
{
	std::vector<std::string> items;
	std::vector<size_t> sizes;
	auto add = [&](char mark, char const *colour_code, char const *meaning) {
		std::string glyph(1, mark);
		items.push_back((colour ? colour_code + glyph + colour_off : glyph) + " " + meaning);
		sizes.push_back(2 + strlen(meaning));
	};
	for (auto const &g : glyphs)
		add(g.mark, g.colour, g.meaning);
	if (signals)
		add(signal_mark, signal_colour, "a signal was sent to it (SIGCHLD aside)");
	std::vector<std::string> lines;
	std::string line = " ";
	size_t seen = 1;
	for (size_t i = 0; i < items.size(); i++) {
		if (seen > 1 && seen + 2 + sizes[i] > width) {
			lines.push_back(line);
			line = " ";
			seen = 1;
		}
		line += "  " + items[i];
		seen += 2 + sizes[i];
	}
	lines.push_back(line);
	return lines;
}

/* "0.520 s": a note's time, to the millisecond, as a glance at the lane needs. */
std::string
lane_time(Micros t)
{
	char text[32];
	snprintf(text, sizeof(text), "%.3f s", t / 1e6);
	return text;
}

/* A note: its mark, then its pieces, each kept whole, in lines of `width`, each further line under the first's words. */
std::vector<std::string>
lane_note(char mark, std::vector<std::string> const &pieces, size_t width)
{
	std::string const head = "  " + std::string(1, mark) + "  ";
	std::vector<std::string> lines{head};
	for (auto const &piece : pieces) {
		bool fresh = columns_of(lines.back()) == head.size();
		if (!fresh && columns_of(lines.back()) + 1 + columns_of(piece) > width)
			lines.push_back(std::string(head.size(), ' '));
		lines.back() += (columns_of(lines.back()) == head.size() ? "" : " ") + piece;
	}
	return lines;
}

/* A sentence as pieces a note may fold between, its words, added to `pieces`. */
void
add_words(std::vector<std::string> &pieces, std::string const &sentence)
{
	for (size_t start = 0, end; start < sentence.size(); start = end + 1) {
		end = std::min(sentence.find(' ', start), sentence.size());
		pieces.push_back(sentence.substr(start, end - start));
	}
}

std::vector<std::string>
sentence_pieces(std::string const &sentence)
{
	std::vector<std::string> words;
	add_words(words, sentence);
	return words;
}

/* "bash 4711 (program) → process group 4712 SIGTERM: bash 4712 queued, sleep 4713 ignored",
 * a member's name and result kept on one line. */
std::vector<std::string>
kill_pieces(Marks::GroupKill const &k, Story const &story)
{
	/* Two spaces after the time, as the live report's lines have. */
	std::vector<std::string> pieces{lane_time(k.t) + " ", who(k.kill.from, story), "\u2192"};
	add_words(pieces, group_words(k.kill.group) + " " + signal_name(k.kill.signal) + ":");
	if (k.members.empty())
		add_words(pieces, "it reached no process of the job");
	for (size_t i = 0; i < k.members.size() && i < members_named; i++) {
		auto [pid, result] = k.members[i];
		Told const *member = story.find(pid);
		bool more = i + 1 < std::min(k.members.size(), members_named) || k.members.size() > members_named;
		pieces.push_back((member ? member->name + " " : std::string()) + std::to_string(pid) + " " +
				 result_name(result) + (more ? "," : ""));
	}
	if (k.members.size() > members_named)
		pieces.push_back("and " + std::to_string(k.members.size() - members_named) + " more");
	return pieces;
}

/* "records lost: the kernel dropped 12 between 0.700 s and 0.900 s, so events may be missing there", each span kept on one line. */
std::vector<std::string>
lost_pieces(Marks const &marks)
{
	auto pieces = sentence_pieces("records lost: the kernel dropped");
	size_t told = std::min(marks.lost().size(), Marks::lost_told);
	size_t more = marks.lost_count() - told;
	for (size_t i = 0; i < told; i++) {
		auto const &lost = marks.lost()[i];
		/* A span within one millisecond is one time, as the note tells times. */
		std::string from = lane_time(lost.from), until = lane_time(std::max(lost.from, lost.until));
		pieces.push_back(std::to_string(lost.records) + (from == until ? " around " + from : " between " + from + " and " + until) + ",");
	}
	if (more > 0)
		add_words(pieces, "and " + std::to_string(more) + (more == 1 ? " time" : " times") +
					  " more, the last until " + lane_time(marks.lost().back().until) + ",");
	add_words(pieces, "so events may be missing there");
	return pieces;
}

/* The lane under the rows, and a note for each of its marks; none where nothing is marked. */
std::vector<std::string>
lane_lines(Marks const &marks, Story const &story, Scale scale, size_t cells_width, size_t indent, bool colour, size_t width)
{
	if (marks.kills().empty() && marks.lost().empty())
		return {};
	std::string cells(cells_width, ' ');
	auto column = [&](Micros t) { return std::min<size_t>(std::max(scale.column(t), 0), cells_width - 1); };
	for (auto const &lost : marks.lost())
		for (size_t c = column(lost.from); c <= column(std::max(lost.from, lost.until)); c++)
			cells[c] = lost_mark;
	for (Micros t : marks.more_kills())
		cells[column(t)] = more_kill_mark;
	/* Two kills in one column: the first keeps it, and the notes tell both. */
	for (size_t i = marks.kills().size(); i-- > 0;)
		cells[column(marks.kills()[i].t)] = static_cast<char>(first_kill_mark + i);
	cells.erase(cells.find_last_not_of(' ') + 1);
	std::vector<std::string> lines{std::string(indent, ' ') + (colour ? colourize(cells) : cells)};
	auto add = [&](std::vector<std::string> more) {
		/* A note's mark in the lane's colour, so that the eye goes from one to the other. */
		char mark = more[0][2];
		if (colour)
			more[0].replace(2, 1, colour_of(mark) + std::string(1, mark) + colour_off);
		lines.insert(lines.end(), more.begin(), more.end());
	};
	for (size_t i = 0; i < marks.kills().size(); i++) {
		auto pieces = kill_pieces(marks.kills()[i], story);
		/* A kill whose column an earlier one holds says where to look for it. */
		if (char shown = cells[column(marks.kills()[i].t)]; shown != static_cast<char>(first_kill_mark + i))
			pieces.insert(pieces.begin() + 1, std::string("(marked ") + shown + " above: the same column)");
		add(lane_note(static_cast<char>(first_kill_mark + i), pieces, width));
	}
	if (size_t more = marks.kills_count() - marks.kills().size(); more > 0) {
		auto words = "and " + std::to_string(more) + (more == 1 ? " more kill" : " more kills") +
			     " to a group: the live report tells them";
		add(lane_note(more_kill_mark, sentence_pieces(words), width));
	}
	if (!marks.lost().empty())
		add(lane_note(lost_mark, lost_pieces(marks), width));
	return lines;
}

} // namespace

void
Marks::take(Event const &event)
{
	if (auto const *kill = std::get_if<GroupSignal>(&event.what)) {
		std::optional<size_t> told;
		if (kills_.size() < kills_told) {
			told = kills_.size();
			kills_.push_back({event.t_us, *kill, {}});
		} else if (more_kills_.size() < marked_most) {
			more_kills_.push_back(event.t_us);
		}
		kills_count_++;
		latest_[{kill->from, kill->group, kill->signal}] = told;
	} else if (auto const *share = std::get_if<Signal>(&event.what); share != nullptr && share->group && share->from) {
		auto latest = latest_.find({*share->from, *share->group, share->signal});
		if (latest != latest_.end() && latest->second)
			kills_[*latest->second].members.emplace_back(share->target, share->result);
	} else if (auto const *lost = std::get_if<Lost>(&event.what)) {
		if (lost_.size() < marked_most) {
			lost_.push_back(*lost);
		} else {
			lost_.back().records += lost->records;
			lost_.back().until = std::max(lost_.back().until, lost->until);
		}
		lost_count_++;
	}
}

std::vector<std::string>
draw_timeline(Story const &story, Micros end, bool colour, size_t width, Marks const &marks)
{
	width = std::max(width, narrowest);
	/* The labels take a quarter of the width at most. */
	std::vector<std::string> labels = labels_of(story, width / 4);
	std::vector<std::vector<std::string>> causes;
	size_t label_width = 0;
	size_t cause_width = 0;
	for (auto const &p : story.all()) {
		label_width = std::max(label_width, columns_of(labels[causes.size()]));
		causes.push_back(cause_of(p, story));
		for (auto const &line : wrap(causes.back(), width))
			cause_width = std::max(cause_width, line.size());
	}
	/* The causes take what they need, up to a third of the width; the cells the rest. */
	cause_width = std::min(cause_width, std::max<size_t>(20, width / 3));
	int budget = static_cast<int>(width) - static_cast<int>(label_width + 2 + 2 + cause_width);
	budget = std::max(budget, 10);

	double seconds = std::max<Micros>(end, 0) / 1e6;
	Scale scale{steps[std::size(steps) - 1]};
	for (double step : steps)
		if (std::floor(seconds / step + 1e-9) + 1 + push_room <= budget) {
			scale.step = step;
			break;
		}
	int end_column = scale.column(end) + 1;

	std::vector<std::string> painted;
	size_t cells_width = 0;
	for (auto const &p : story.all()) {
		painted.push_back(paint(p, scale, end_column, budget));
		cells_width = std::max(cells_width, painted.back().size());
	}

	std::vector<std::string> lines;
	lines.push_back(axis(scale, cells_width, label_width + 2, width));
	size_t cause_room = width - std::min(width, label_width + 2 + cells_width + 2);
	for (size_t row = 0; row < painted.size(); row++) {
		/* A shorter row goes on in its last state, not in a mark that ends it. */
		Told const &p = story.all()[row];
		char last = p.ended() ? glyph_of(Cell::ended).mark : glyph_of(cell_of(p.state)).mark;
		std::string cells = painted[row];
		cells.resize(cells_width, cells.empty() ? ' ' : last);
		std::string label = labels[row] + std::string(label_width - columns_of(labels[row]), ' ');
		auto cause = wrap(causes[row], std::max<size_t>(cause_room, 1));
		lines.push_back(label + "  " + (colour ? colourize(cells) : cells) + "  " + cause[0]);
		for (size_t i = 1; i < cause.size(); i++)
			lines.push_back(std::string(label_width + 2 + cells_width + 2, ' ') + cause[i]);
	}
	for (auto &line : lane_lines(marks, story, scale, std::max<size_t>(cells_width, 1), label_width + 2, colour, width))
		lines.push_back(line);
	if (story.forgotten() > 0)
		lines.push_back("  (and " + std::to_string(story.forgotten()) +
				" processes collected earlier, no longer kept: the live report shows them)");
	bool signals = std::any_of(story.all().begin(), story.all().end(), [](auto const &p) { return !p.signals.empty(); });
	for (auto &line : legend(colour, signals, width))
		lines.push_back(line);
	return lines;
}

void
TimelineReporter::finish()
{
	fputs("\n", out_);
	for (auto const &row : draw_timeline(story_, last_, colour_, screen_.columns(), marks_))
		fprintf(out_, "%s\n", row.c_str());
	fflush(out_);
}

} // namespace observe
