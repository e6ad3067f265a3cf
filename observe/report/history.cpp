#include "history.h"

#include "text.h"
#include "words.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace observe {

constexpr std::string_view arrow = " \u2192 ";

History::History()
{
	words_ = open_memstream(&words_buffer_, &words_size_);
	if (words_ != nullptr)
		text_ = std::make_unique<TextReporter>(words_);
}

History::~History()
{
	text_.reset();
	if (words_ != nullptr)
		fclose(words_);
	free(words_buffer_);
}

Row *
History::process(pid_t pid)
{
	/* The latest of that pid: a pid may come again once its first process is collected. */
	for (size_t i = rows_.size(); i-- > 0;)
		if (rows_[i].of_job() && rows_[i].pid == pid)
			return &rows_[i];
	return nullptr;
}

/* The row of a sender: a process of the job, else a row of its own, made on first need. */
size_t
History::row_of(pid_t pid, std::string const &label)
{
	for (size_t i = rows_.size(); i-- > 0;)
		if (rows_[i].pid == pid && (rows_[i].of_job() || rows_[i].name == label))
			return i;
	Row row;
	row.pid = pid;
	row.name = label;
	rows_.push_back(std::move(row));
	parents_.push_back(-1);
	return rows_.size() - 1;
}

/* Sender and target as observe's words name them: "kernel → 5012 (the shell) SIGCHLD: ...". */
void
History::signal(Micros t, Signal const &e, std::string const &said)
{
	std::string name = signal_name(e.signal);
	std::string words = said;
	std::optional<size_t> fan;
	/* A member's share of a kill to many: "↳ target SIGTERM; queued", under its group's line. */
	if (e.group && e.from)
		for (size_t i = fans_.size(); i-- > 0 && !fan;)
			if (fans_[i].sender == *e.from && fans_[i].group == *e.group && fans_[i].signal == e.signal)
				fan = i;
	if (fan) {
		Fan const &kill = fans_[*fan];
		size_t start = words.find("\u21b3 ");
		std::string share = start == std::string::npos ? words : words.substr(start + strlen("\u21b3 "));
		size_t sig = share.find(" " + name);
		if (sig != std::string::npos)
			share.insert(sig + 1 + name.size(), ", its share of one kill to " +
							    (kill.group == 0 ? std::string("the sender's process group") : kill.whom));
		words = kill.words.substr(0, kill.words.find(arrow)) + std::string(arrow) + share;
	}
	size_t at = words.find(arrow);
	size_t after = at == std::string::npos ? at : words.find(" " + name, at + arrow.size());
	std::string sender = at == std::string::npos ? std::to_string(e.from.value_or(0)) : words.substr(0, at);
	std::string target_label = after == std::string::npos ? std::to_string(e.target)
				 : words.substr(at + arrow.size(), after - at - arrow.size());
	size_t from = fan ? fans_[*fan].from : row_of(e.from.value_or(0), sender);
	Row *target = process(e.target);
	size_t to = target != nullptr ? static_cast<size_t>(target - rows_.data()) : row_of(e.target, target_label);
	bool effect = e.result == SignalResult::queued || e.result == SignalResult::resumed;
	arrows_.push_back({t, from, to, name, words, effect, fan});
}

void
History::take(Event const &event)
{
	Micros t = event.t_us;
	end = std::max(end, t);
	/* What observe's text report says of it: each line after its time. */
	std::vector<std::string> lines;
	if (text_ != nullptr) {
		text_->report(event);
		fflush(words_);
		std::string said(words_buffer_ + words_read_, words_size_ - words_read_);
		words_read_ = words_size_;
		for (size_t start = 0, nl; (nl = said.find('\n', start)) != std::string::npos; start = nl + 1) {
			std::string line = said.substr(start, nl - start);
			size_t gap = line.find("  ", line.find_first_not_of(' '));
			bool timed = !std::holds_alternative<Started>(event.what) && gap != std::string::npos;
			lines.push_back(timed ? line.substr(gap + 2) : line);
		}
	}
	for (auto const &line : lines)
		said_.push_back({t, line});
	auto warn = [&] {
		for (auto const &line : lines)
			warnings_.push_back({t, line});
	};
	std::visit(Overload{
		[&](Started const &e) {
			program = base_name(e.program);
			exact = e.source == SourceKind::kernel;
		},
		[&](Spawn const &e) {
			Row row;
			row.pid = e.pid;
			row.name = e.name;
			row.place = e.place;
			row.from = t;
			rows_.push_back(std::move(row));
			Row const *parent = process(e.ppid);
			parents_.push_back(parent != nullptr ? parent - rows_.data() : -1);
		},
		[&](StateChange const &e) {
			if (Row *row = process(e.pid))
				row->states.emplace_back(t, e.state);
		},
		[&](Exec const &e) {
			if (Row *row = process(e.pid))
				row->name = base_name(e.file);
		},
		[&](Adopted const &e) {
			if (Row *row = process(e.pid))
				row->adoptions.emplace_back(t, e.ppid);
		},
		[&](Ended const &e) {
			if (Row *row = process(e.pid)) {
				row->collected = t;
				row->end = end_words(e.wait_status, e.by_observe);
			}
		},
		[&](Held const &e) {
			if (Row *row = process(e.pid))
				row->buffer.push_back({t, e.text});
		},
		[&](Signal const &e) { signal(t, e, lines.empty() ? signal_name(e.signal) : lines.front()); },
		[&](GroupSignal const &e) {
			/* "childsig-a 5012 (program) → process group 5012 SIGTERM: one kill for all its members, ...". */
			std::string name = signal_name(e.signal);
			std::string words = lines.empty() ? name : lines.front();
			size_t at = words.find(arrow);
			size_t after = at == std::string::npos ? at : words.find(" " + name + ":", at + arrow.size());
			std::string sender = at == std::string::npos ? std::to_string(e.from) : words.substr(0, at);
			std::string whom = after == std::string::npos ? "a group" : words.substr(at + arrow.size(), after - at - arrow.size());
			fans_.push_back({t, row_of(e.from, sender), name, whom, words, e.from, e.group, e.signal});
		},
		[&](Discarded const &e) {
			std::string words = lines.empty() ? signal_name(e.signal) + " discarded" : lines.front();
			Row *target = process(e.pid);
			size_t row = target != nullptr ? static_cast<size_t>(target - rows_.data()) : row_of(e.pid, std::to_string(e.pid));
			discards_.push_back({t, row, signal_name(e.signal), words});
		},
		[&](Lost const &e) {
			warn();
			gaps_.push_back({e.from, std::max(e.from, e.until), "records may be missing",
					 lines.empty() ? "records lost" : lines.front()});
		},
		[&](Gap const &e) {
			warn();
			gaps_.push_back({e.since, std::max(e.since, t), "observe did not run",
					 lines.empty() ? "observe did not run" : lines.front()});
		},
		[&](Output const &e) { output_.push_back({t, e.text}); },
		[](auto const &) {},
	}, event.what);
}

std::vector<Row> const &
History::rows()
{
	if (ordered_)
		return rows_;
	ordered_ = true;
	/* Senders from outside first, then the job depth first, children in the order they came. */
	std::vector<size_t> order;
	for (size_t i = 0; i < rows_.size(); i++)
		if (!rows_[i].of_job())
			order.push_back(i);
	std::function<void(size_t, int)> visit = [&](size_t i, int depth) {
		rows_[i].depth = depth;
		order.push_back(i);
		for (size_t c = 0; c < rows_.size(); c++)
			if (parents_[c] == static_cast<long>(i))
				visit(c, depth + 1);
	};
	for (size_t i = 0; i < rows_.size(); i++)
		if (rows_[i].of_job() && parents_[i] < 0)
			visit(i, 0);
	std::vector<size_t> place(rows_.size());
	std::vector<Row> ordered;
	for (size_t i = 0; i < order.size(); i++) {
		place[order[i]] = i;
		ordered.push_back(std::move(rows_[order[i]]));
	}
	rows_ = std::move(ordered);
	for (auto &a : arrows_) {
		a.from = place[a.from];
		a.to = place[a.to];
	}
	for (auto &d : discards_)
		d.row = place[d.row];
	for (auto &f : fans_)
		f.from = place[f.from];
	return rows_;
}

Drawing::~Drawing()
{
	if (out_ != nullptr)
		fclose(out_);
}

void
Drawing::finish()
{
	draw(out_, history_);
	bool failed = fflush(out_) != 0 || ferror(out_);
	int why = errno;
	if (fclose(out_) != 0 && !failed) {
		failed = true;
		why = errno;
	}
	out_ = nullptr;
	if (failed)
		error_ = "cannot write " + path_ + ": " + strerror(why);
}

Micros
tick_step(Micros span, int count)
{
	double rough = std::max<double>(1, static_cast<double>(span) / count);
	double power = std::pow(10, std::floor(std::log10(rough)));
	for (double m : {1.0, 2.0, 5.0, 10.0})
		if (m * power >= rough)
			return std::max<Micros>(1, static_cast<Micros>(m * power));
	return static_cast<Micros>(10 * power);
}

std::string
seconds_text(Micros t, Micros step)
{
	int places = 0;
	for (Micros unit = 1'000'000; places < 6 && step % unit != 0; unit /= 10)
		places++;
	char text[48];
	snprintf(text, sizeof(text), "%.*f s", places, static_cast<double>(t) / 1e6);
	return text;
}

std::optional<std::pair<Micros, Micros>>
busiest_span(History &history)
{
	auto const &arrows = history.arrows();
	if (arrows.size() < 2 || history.end <= 0)
		return std::nullopt;
	/* Signals closer than a hundredth of the watch belong to one run; the
	 * run of the most signals is the busiest, the later of equals. */
	Micros close = std::max<Micros>(1, history.end / 100);
	size_t best = 0, best_count = 0;
	for (size_t first = 0, last; first < arrows.size(); first = last + 1) {
		for (last = first; last + 1 < arrows.size() && arrows[last + 1].t - arrows[last].t <= close;)
			last++;
		if (last - first + 1 >= best_count) {
			best = first;
			best_count = last - first + 1;
		}
	}
	Micros from = arrows[best].t;
	Micros to = arrows[best + best_count - 1].t;
	if (best_count < 2 || (to - from) * 20 > history.end)
		return std::nullopt;
	Micros margin = std::max<Micros>(50, (to - from) / 5);
	return std::pair{std::max<Micros>(0, from - margin), std::min(history.end, to + margin)};
}

} // namespace observe
