#include "svg.h"

#include "words.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace observe {

namespace {

constexpr int width = 1200;
constexpr int label_width = 300;
constexpr int margin = 20;
constexpr int row_height = 32;
constexpr int title_height = 22;
constexpr int axis_height = 24;
constexpr int indent = 14;
constexpr int ticks = 8;
constexpr int label_levels = 3;

/* The patterns drawn over a state's colour, and the arrows' head. */
constexpr char definitions[] =
	"<defs>\n"
	"<pattern id=\"hatch\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
	"<rect width=\"3\" height=\"8\" fill=\"#000\" fill-opacity=\"0.35\"/></pattern>\n"
	"<pattern id=\"dots\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
	"<circle cx=\"3\" cy=\"3\" r=\"1.4\" fill=\"#000\" fill-opacity=\"0.45\"/></pattern>\n"
	"<pattern id=\"missing\" width=\"10\" height=\"10\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(-45)\">"
	"<rect width=\"10\" height=\"10\" fill=\"#888\" fill-opacity=\"0.12\"/>"
	"<rect width=\"2\" height=\"10\" fill=\"#555\" fill-opacity=\"0.5\"/></pattern>\n"
	"<marker id=\"head\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" markerHeight=\"7\" "
	"orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"#6a1b9a\"/></marker>\n"
	"</defs>\n";

std::string
number(double v)
{
	char text[32];
	snprintf(text, sizeof(text), "%.1f", v);
	return text;
}

/* One panel: the rows over a span of time, from `top` down. */
class Panel {
public:
	Panel(std::string &out, History &history, Micros from, Micros to, int top)
		: out_(out), history_(history), from_(from), to_(std::max(to, from + 1)), top_(top)
	{
	}

	double x(Micros t) const
	{
		double at = static_cast<double>(std::clamp(t, from_, to_) - from_) / static_cast<double>(to_ - from_);
		return label_width + at * (width - margin - label_width);
	}
	double row_y(size_t row) const { return top_ + title_height + axis_height + static_cast<double>(row) * row_height; }
	int height() const { return title_height + axis_height + static_cast<int>(history_.rows().size()) * row_height; }

	/* Marks a span of this panel: the one drawn enlarged beneath. */
	void mark(Micros from, Micros to, std::string const &words)
	{
		double left = x(from) - 3;
		double top = row_y(0);
		out_ += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" + number(x(to) - left + 3) +
			"\" height=\"" + number(top_ + height() - top) + "\" fill=\"#6a1b9a\" fill-opacity=\"0.08\" " +
			"stroke=\"#6a1b9a\" stroke-dasharray=\"2 2\"/><text class=\"axis\" x=\"" + number(left - 4) +
			"\" y=\"" + number(top_ + height() + 12) + "\" text-anchor=\"end\">" + xml_text(words) + "</text>\n";
	}

	void draw(std::string const &title)
	{
		out_ += "<text class=\"title\" x=\"" + std::to_string(margin) + "\" y=\"" + std::to_string(top_ + 14) +
			"\">" + xml_text(title) + "</text>\n";
		axis();
		auto const &rows = history_.rows();
		for (size_t i = 0; i < rows.size(); i++)
			row(i, rows[i]);
		for (auto const &d : history_.discards())
			if (d.t >= from_ && d.t <= to_)
				out_ += "<g class=\"discard\"><title>" + xml_text(d.words) + "</title><text class=\"discarded\" x=\"" +
					number(x(d.t)) + "\" y=\"" + number(row_y(d.row) + row_height - 1) + "\"" +
					(x(d.t) > width - margin - 110 ? " text-anchor=\"end\"" : "") + ">\u2715 " +
					xml_text(d.name) + " discarded</text></g>\n";
		for (auto const &g : history_.gaps())
			if (g.until >= from_ && g.from <= to_)
				gap(g);
		/* Names of arrows close together go a line further each, clear of every
		 * name already placed near them, whichever rows their arrows join; past a
		 * few, an arrow is left unnamed, for the enlargement to name. A kill to
		 * many is named once, at its sender. */
		std::vector<std::pair<double, double>> named;
		auto level = [&](Micros t, double y, int away) {
			for (int l = 0; l < label_levels; l++) {
				double at_y = y + away * 11 * l;
				bool clear = std::none_of(named.begin(), named.end(), [&](auto const &n) {
					return std::abs(x(t) - n.first) < 58 && std::abs(at_y - n.second) < 11;
				});
				if (clear) {
					named.emplace_back(x(t), at_y);
					return l;
				}
			}
			return -1;
		};
		auto const &fans = history_.fans();
		size_t next_fan = 0;
		auto fans_until = [&](Micros t) {
			for (; next_fan < fans.size() && fans[next_fan].t <= t; next_fan++)
				if (fans[next_fan].t >= from_ && fans[next_fan].t <= to_)
					fan(fans[next_fan], level(fans[next_fan].t, fan_y(fans[next_fan]), -1));
		};
		for (auto const &a : history_.arrows()) {
			fans_until(a.t);
			if (a.t >= from_ && a.t <= to_)
				arrow(a, a.fan ? -1 : level(a.t, name_y(a), 1));
		}
		fans_until(to_);
	}

private:
	std::string &out_;
	History &history_;
	Micros from_, to_;
	int top_;

	void axis()
	{
		Micros step = tick_step(to_ - from_, ticks);
		double bottom = top_ + height();
		int y = top_ + title_height + axis_height;
		for (Micros t = (from_ + step - 1) / step * step; t <= to_; t += step) {
			std::string at = number(x(t));
			out_ += "<line class=\"tick\" x1=\"" + at + "\" x2=\"" + at + "\" y1=\"" +
				std::to_string(y - 6) + "\" y2=\"" + number(bottom) + "\"/>";
			out_ += "<text class=\"axis\" x=\"" + at + "\" y=\"" + std::to_string(y - 9) +
				"\" text-anchor=\"middle\">" + seconds_text(t, step) + "</text>\n";
		}
	}

	void row(size_t i, Row const &r)
	{
		double y = row_y(i);
		std::string label = r.place ? r.name + " " + std::to_string(r.pid) + " (" + place_name(*r.place) + ")" : r.name;
		/* A long name is cut to its column. */
		if (size_t room = 40 - std::min(2 * static_cast<size_t>(r.depth), size_t{20}); label.size() > room)
			label = label.substr(0, room - 3) + "...";
		int left = margin + indent * r.depth;
		out_ += "<g class=\"row\"><text class=\"name\" x=\"" + std::to_string(left) + "\" y=\"" + number(y + 14) +
			"\">" + xml_text(label) + "</text>";
		if (!r.end.empty())
			out_ += "<text class=\"end\" x=\"" + std::to_string(left) + "\" y=\"" + number(y + 27) +
				"\">ended: " + xml_text(r.end) + "</text>";
		out_ += "<line class=\"lane\" x1=\"" + std::to_string(label_width) + "\" x2=\"" +
			std::to_string(width - margin) + "\" y1=\"" + number(y + row_height) + "\" y2=\"" +
			number(y + row_height) + "\"/>";
		for (size_t s = 0; s < r.states.size(); s++) {
			Micros begin = r.states[s].first;
			Micros end = s + 1 < r.states.size() ? r.states[s + 1].first : r.collected.value_or(history_.end);
			if (end < from_ || begin > to_)
				continue;
			bar(y, begin, end, r.states[s].second);
		}
		for (auto const &[t, parent] : r.adoptions)
			if (t >= from_ && t <= to_)
				out_ += "<text class=\"adopted\" x=\"" + number(x(t)) + "\" y=\"" + number(y + 6) + "\"" +
					(x(t) > width - margin - 110 ? " text-anchor=\"end\"" : "") + ">\u2191 adopted by " +
					std::to_string(parent) + "</text>";
		out_ += "</g>\n";
	}

	void bar(double y, Micros begin, Micros end, State state)
	{
		StateLook const *look = &state_looks[0];
		for (auto const &l : state_looks)
			if (l.state == state)
				look = &l;
		double left = x(begin);
		double w = std::max(1.0, x(end) - left);
		std::string box = "x=\"" + number(left) + "\" y=\"" + number(y + 8) + "\" width=\"" + number(w) +
				  "\" height=\"" + std::to_string(row_height - 14) + "\"";
		out_ += "<rect class=\"state\" " + box + " fill=\"" + look->fill + "\"><title>" + look->word +
			"</title></rect>";
		if (*look->pattern != '\0')
			out_ += "<rect " + box + " fill=\"url(#" + look->pattern + ")\"/>";
		if (w > 8.0 * static_cast<double>(strlen(look->word)))
			out_ += "<text class=\"word\" x=\"" + number(left + 4) + "\" y=\"" + number(y + 21) + "\">" +
				look->word + "</text>";
	}

	/* Records may be missing here: the span hatched across every row, named in the first. */
	void gap(Span const &g)
	{
		double left = x(g.from);
		double w = std::max(3.0, x(g.until) - left);
		double top = row_y(0);
		bool right_edge = left > width - margin - 170;
		out_ += "<g class=\"gap\"><title>" + xml_text(g.words) + "</title><rect x=\"" + number(left) + "\" y=\"" +
			number(top) + "\" width=\"" + number(w) + "\" height=\"" + number(top_ + height() - top) +
			"\" fill=\"url(#missing)\" stroke=\"#555\" stroke-dasharray=\"1 2\"/><text class=\"missing\" x=\"" +
			number(right_edge ? left - 3 : left + 3) + "\" y=\"" + number(top + 11) + "\"" +
			(right_edge ? " text-anchor=\"end\"" : "") + ">\u26a0 " + g.label + "</text></g>\n";
	}

	/* Where a fan's name goes on its first line. */
	double fan_y(Fan const &f) const { return row_y(f.from) + row_height / 2.0 - 4; }

	/* One kill to many: a ring at its sender, whence its members' arrows fan out, named once. */
	void fan(Fan const &f, int level)
	{
		double at = x(f.t);
		double y = row_y(f.from) + row_height / 2.0;
		/* Named to its left, where its own arrows are not. */
		bool left_edge = at < label_width + 200;
		out_ += "<g class=\"fan\"><title>" + xml_text(f.words) + "</title><circle cx=\"" + number(at) + "\" cy=\"" +
			number(y) + "\" r=\"5\" fill=\"#fff\" stroke=\"" + arrow_colour + "\" stroke-width=\"2.5\"/>";
		if (level >= 0)
			out_ += "<text class=\"signame\" x=\"" + number(at + (left_edge ? 8 : -8)) + "\" y=\"" +
				number(fan_y(f) - 11 * level) + "\"" + (left_edge ? "" : " text-anchor=\"end\"") + ">" +
				xml_text(f.name + " to " + f.whom) + "</text>";
		out_ += "</g>\n";
	}

	/* Its name on the line `level` below the arrow's middle; none for -1. */
	/* The arrow's ends: from the sender's row to just short of the target's centre, on the side it comes from. */
	std::pair<double, double> ends(Arrow const &a) const
	{
		double from = row_y(a.from) + row_height / 2.0;
		double to = row_y(a.to) + row_height / 2.0;
		if (a.from == a.to)
			from -= row_height / 2.0;
		return {from, to + (from < to ? -4 : 4)};
	}

	/* Where an arrow's name goes on its first line: beside the arrow's middle. */
	double name_y(Arrow const &a) const
	{
		auto [from, to] = ends(a);
		return (from + to) / 2 + 4;
	}

	void arrow(Arrow const &a, int level)
	{
		double at = x(a.t);
		auto [from, to] = ends(a);
		out_ += "<g class=\"signal\"><title>" + xml_text(a.words) + "</title><line x1=\"" + number(at) + "\" x2=\"" +
			number(at) + "\" y1=\"" + number(from) + "\" y2=\"" + number(to) + "\" stroke=\"" + arrow_colour +
			"\" stroke-width=\"2\"" + (a.took_effect ? "" : " stroke-dasharray=\"4 3\"") +
			" marker-end=\"url(#head)\"/>";
		bool right_edge = at > width - margin - 70;
		if (level >= 0)
			out_ += "<text class=\"signame\" x=\"" + number(at + (right_edge ? -4 : 4)) + "\" y=\"" +
				number(name_y(a) + 11 * level) + "\"" + (right_edge ? " text-anchor=\"end\"" : "") +
				">" + xml_text(a.name) + "</text>";
		out_ += "</g>\n";
	}
};

constexpr char style[] =
	"<style>\n"
	"text { font-family: sans-serif; font-size: 12px; fill: #222; }\n"
	".title { font-size: 15px; font-weight: bold; }\n"
	".end, .axis { font-size: 11px; fill: #555; }\n"
	".word { font-size: 11px; fill: #111; }\n"
	".signame { font-size: 11px; font-weight: bold; fill: #6a1b9a; }\n"
	".adopted { font-size: 10px; fill: #0b5394; }\n"
	".discarded { font-size: 10px; fill: #b71c1c; }\n"
	".missing { font-size: 10px; fill: #333; }\n"
	".tick { stroke: #ddd; } .lane { stroke: #eee; }\n"
	"</style>\n";

void
legend(std::string &out, int y, History &history)
{
	int x = margin;
	for (auto const &look : state_looks) {
		std::string box = "x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y - 10) + "\" width=\"24\" height=\"12\"";
		out += "<rect " + box + " fill=\"" + look.fill + "\"/>";
		if (*look.pattern != '\0')
			out += "<rect " + box + " fill=\"url(#" + look.pattern + ")\"/>";
		out += "<text x=\"" + std::to_string(x + 30) + "\" y=\"" + std::to_string(y) + "\">" + look.word + "</text>";
		x += 110;
	}
	out += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
	       "\">no bar: not yet there, or collected \u2003 \u2193 a signal, from sender to target "
	       "(dashed: it had no effect)</text>\n";
	/* The rarer marks, where the watch has them. */
	std::string rarer = "\u2715 a signal discarded";
	if (!history.fans().empty())
		rarer += " \u2003 \u25cb one kill to a group, an arrow from it to each member";
	if (!history.gaps().empty())
		rarer += " \u2003 \u26a0 grey hatched span: the kernel dropped records there, or observe did not run";
	out += "<text x=\"" + std::to_string(margin) + "\" y=\"" + std::to_string(y + 20) + "\">" + rarer + "</text>\n";
}

} // namespace

std::string
xml_text(std::string const &bytes)
{
	std::string out;
	for (char c : printable(bytes)) {
		switch (c) {
		case '&': out += "&amp;"; break;
		case '<': out += "&lt;"; break;
		case '>': out += "&gt;"; break;
		case '"': out += "&quot;"; break;
		case '\'': out += "&#39;"; break;
		default: out += c;
		}
	}
	return out;
}

void
SvgReporter::draw(FILE *out, History &history)
{
	std::string body;
	int top = 20;
	std::string source = history.exact ? "the kernel's trace" : "/proc, sampled";
	legend(body, top + 30, history);
	top += 70;
	for (auto const &w : history.warnings()) {
		body += "<text class=\"discarded\" x=\"" + std::to_string(margin) + "\" y=\"" + std::to_string(top) + "\">" +
			xml_text(seconds_text(w.t, 1) + ": " + w.text) + "</text>\n";
		top += 16;
	}
	Panel whole(body, history, 0, history.end, top);
	whole.draw(history.program + ": the whole watch, " + seconds_text(history.end, 1000) + ", from " + source);
	auto busy = busiest_span(history);
	if (busy)
		whole.mark(busy->first, busy->second, "enlarged below");
	top += whole.height() + 30;
	if (busy) {
		Panel close(body, history, busy->first, busy->second, top);
		close.draw("enlarged: " + seconds_text(busy->first, 1) + " to " + seconds_text(busy->second, 1) +
			   ", where the signals come close together");
		top += close.height() + 20;
	}
	fprintf(out,
		"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		"<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
		"<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n%s%s%s</svg>\n",
		width, top, width, top, definitions, style, body.c_str());
}

} // namespace observe
