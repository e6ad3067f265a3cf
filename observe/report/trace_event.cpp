#include "trace_event.h"

#include "json_string.h"

#include <algorithm>

namespace observe {

/* Tracks of the format are numbered: a process's is its pid, the kernel's
 * 0, and those of senders outside the job and of the terminal are numbered
 * above any pid (pid_max is at most 2^22), so that none meets another. */
static constexpr long long first_own_track = 1 << 23;
/* Signals are slices of a thread of their own in each track, so that they
 * never cross the edge of a state's slice, which the format forbids. */
static constexpr long long signal_thread = 1 << 24;
/* Spans where records may be missing are numbered above those. */
static constexpr long long gap_thread = 2 * signal_thread;

namespace {

class Trace {
public:
	explicit Trace(FILE *out) : out_(out) { fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n", out_); }
	~Trace() { fputs("\n]}\n", out_); }

	/* One event on a track's first thread, or on its thread for signals;
	 * `rest` holds its further members, each with its leading comma. */
	void event(char const *ph, std::string const &name, long long track, Micros ts, std::string const &rest = "",
		   bool signals = false)
	{
		on_thread(ph, name, track, signals ? track + signal_thread : track, ts, rest);
	}
	void on_thread(char const *ph, std::string const &name, long long track, long long thread, Micros ts,
		       std::string const &rest)
	{
		fprintf(out_, "%s{\"ph\":\"%s\",\"name\":%s,\"pid\":%lld,\"tid\":%lld,\"ts\":%lld%s}", first_ ? "" : ",\n",
			ph, json_string(name).c_str(), track, thread, static_cast<long long>(ts), rest.c_str());
		first_ = false;
	}

private:
	FILE *out_;
	bool first_ = true;
};

std::string
text_args(std::string const &text)
{
	return ",\"args\":{\"text\":" + json_string(text) + "}";
}

} // namespace

void
TraceEventReporter::draw(FILE *out, History &history)
{
	auto const &rows = history.rows();
	std::vector<long long> tracks;
	for (size_t i = 0; i < rows.size(); i++)
		tracks.push_back(rows[i].of_job() || rows[i].pid == 0 ? rows[i].pid : first_own_track + static_cast<long long>(i));
	long long terminal = first_own_track - 1;
	long long missing = first_own_track - 2;

	Trace trace(out);
	auto name_track = [&](long long track, std::string const &name, size_t order) {
		std::string args = ",\"args\":{\"name\":" + json_string(name) + "}";
		trace.event("M", "process_name", track, 0, args);
		trace.event("M", "thread_name", track, 0, args);
		trace.event("M", "thread_name", track, 0, ",\"args\":{\"name\":\"signals\"}", true);
		trace.event("M", "process_sort_index", track, 0, ",\"args\":{\"sort_index\":" + std::to_string(order) + "}");
	};
	name_track(terminal, "the job's terminal", 0);
	for (size_t i = 0; i < rows.size(); i++) {
		Row const &row = rows[i];
		std::string name = row.place ? std::string(2 * row.depth, ' ') + row.name + " " + std::to_string(row.pid) +
						       " (" + place_name(*row.place) + ")"
					     : row.name;
		name_track(tracks[i], name, i + 1);
		for (size_t s = 0; s < row.states.size(); s++) {
			Micros from = row.states[s].first;
			Micros to = s + 1 < row.states.size() ? row.states[s + 1].first : row.collected.value_or(history.end);
			trace.event("X", state_name(row.states[s].second), tracks[i], from,
				    ",\"cat\":\"state\",\"dur\":" + std::to_string(std::max<Micros>(0, to - from)));
		}
		for (auto const &[t, parent] : row.adoptions)
			trace.event("i", "adopted by " + std::to_string(parent), tracks[i], t, ",\"s\":\"t\"");
		for (auto const &held : row.buffer)
			trace.event("i", "stdout buffer", tracks[i], held.t, ",\"s\":\"t\"" + text_args(held.text));
		if (row.collected)
			trace.event("i", "collected: " + row.end, tracks[i], *row.collected, ",\"s\":\"t\"");
	}
	/* A flow joins slices: each signal is a slice of a microsecond at both ends. */
	long long id = 0;
	auto const &fans = history.fans();
	for (auto const &f : fans)
		trace.event("i", f.name + " to " + f.whom, tracks[f.from], f.t,
			    ",\"cat\":\"signal\",\"s\":\"t\",\"args\":{\"explanation\":" + json_string(f.words) + "}", true);
	for (auto const &a : history.arrows()) {
		/* A member's share of a kill to many says which. */
		std::string group = a.fan ? ",\"one kill to\":" + json_string(fans[*a.fan].whom) : "";
		std::string slice = ",\"cat\":\"signal\",\"dur\":1,\"args\":{\"explanation\":" + json_string(a.words) + group + "}";
		std::string flow = ",\"cat\":\"signal\",\"id\":" + std::to_string(++id);
		trace.event("X", a.name + " sent", tracks[a.from], a.t, slice, true);
		trace.event("X", a.name, tracks[a.to], a.t, slice, true);
		trace.event("s", a.name, tracks[a.from], a.t, flow, true);
		trace.event("f", a.name, tracks[a.to], a.t, flow + ",\"bp\":\"e\"", true);
	}
	for (auto const &d : history.discards())
		trace.event("i", d.name + " discarded", tracks[d.row], d.t,
			    ",\"s\":\"t\",\"args\":{\"explanation\":" + json_string(d.words) + "}");
	for (auto const &w : history.warnings())
		trace.event("i", w.text, terminal, w.t, ",\"s\":\"g\"");
	/* Each span where records may be missing on a thread of its own: spans may overlap, slices may not. */
	auto const &gaps = history.gaps();
	if (!gaps.empty())
		trace.event("M", "process_name", missing, 0, ",\"args\":{\"name\":\"where records may be missing\"}");
	for (size_t i = 0; i < gaps.size(); i++) {
		long long thread = missing + gap_thread + static_cast<long long>(i);
		trace.on_thread("M", "thread_name", missing, thread, 0, ",\"args\":{\"name\":" + json_string(gaps[i].label) + "}");
		trace.on_thread("X", gaps[i].label, missing, thread, gaps[i].from,
				",\"cat\":\"missing\",\"dur\":" + std::to_string(gaps[i].until - gaps[i].from) +
					",\"args\":{\"explanation\":" + json_string(gaps[i].words) + "}");
	}
}

} // namespace observe
