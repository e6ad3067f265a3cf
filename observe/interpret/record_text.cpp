#include "record_text.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace observe::kernel {

namespace {

/* Each kind's word; the fields follow it in declaration order. */
template<typename T>
struct Word;
template<> struct Word<Forked> { static constexpr char const *name = "fork"; };
template<> struct Word<Executed> { static constexpr char const *name = "exec"; };
template<> struct Word<Exited> { static constexpr char const *name = "exit"; };
template<> struct Word<Stopped> { static constexpr char const *name = "stop"; };
template<> struct Word<Generated> { static constexpr char const *name = "signal"; };
template<> struct Word<Delivered> { static constexpr char const *name = "deliver"; };
template<> struct Word<Collected> { static constexpr char const *name = "wait"; };
template<> struct Word<ExitCalled> { static constexpr char const *name = "exit_call"; };
template<> struct Word<KillCalled> { static constexpr char const *name = "kill"; };
template<> struct Word<KillReturned> { static constexpr char const *name = "kill_return"; };
template<> struct Word<WaitidCalled> { static constexpr char const *name = "waitid"; };
template<> struct Word<WaitidReturned> { static constexpr char const *name = "waitid_return"; };
template<> struct Word<Freed> { static constexpr char const *name = "free"; };
template<> struct Word<Subreaper> { static constexpr char const *name = "subreaper"; };

/* The fields of each kind, for writing and reading alike. */
template<typename F> void fields(Forked &r, F f) { f(r.parent), f(r.child), f(r.clone_flags); }
template<typename F> void fields(Executed &r, F f) { f(r.pid), f(r.file); }
template<typename F> void fields(Exited &r, F f) { f(r.pid), f(r.group_dead); }
template<typename F> void fields(Stopped &r, F f) { f(r.pid); }
template<typename F> void fields(Generated &r, F f)
{
	f(r.sender), f(r.target), f(r.signal), f(r.code), f(r.error), f(r.group), f(r.result);
}
template<typename F> void fields(Delivered &r, F f) { f(r.pid), f(r.signal), f(r.code), f(r.handler); }
template<typename F> void fields(Collected &r, F f) { f(r.reaper), f(r.pid), f(r.ended); }
template<typename F> void fields(ExitCalled &r, F f) { f(r.pid), f(r.code), f(r.group); }
template<typename F> void fields(KillCalled &r, F f) { f(r.pid), f(r.target), f(r.signal); }
template<typename F> void fields(KillReturned &r, F f) { f(r.pid), f(r.result); }
template<typename F> void fields(WaitidCalled &r, F f) { f(r.pid), f(r.which), f(r.id), f(r.options); }
template<typename F> void fields(WaitidReturned &r, F f) { f(r.pid), f(r.result); }
template<typename F> void fields(Freed &r, F f) { f(r.pid); }
template<typename F> void fields(Subreaper &r, F f) { f(r.pid), f(r.on); }

struct Writer {
	std::ostringstream &out;
	void operator()(std::string const &s) const { out << ' ' << s; }
	void operator()(bool b) const { out << ' ' << (b ? 1 : 0); }
	void operator()(std::uint64_t u) const { out << " 0x" << std::hex << u << std::dec; }
	template<typename N> void operator()(N n) const { out << ' ' << n; }
};

struct Reader {
	std::istringstream &in;
	void operator()(std::string &s) const { in >> std::ws, std::getline(in, s); }
	void operator()(bool &b) const
	{
		int n = 0;
		in >> n;
		b = n != 0;
	}
	void operator()(std::uint64_t &u) const { in >> std::hex >> u >> std::dec; }
	template<typename N> void operator()(N &n) const { in >> n; }
};

template<typename T>
bool
read_as(std::string const &word, std::istringstream &in, Record &record)
{
	if (word != Word<T>::name)
		return false;
	T what{};
	fields(what, Reader{in});
	record.what = std::move(what);
	return true;
}

template<typename... Ts>
bool
read_any(std::string const &word, std::istringstream &in, Record &record, std::variant<Ts...> const *)
{
	return (read_as<Ts>(word, in, record) || ...);
}

} // namespace

std::string
record_line(Record const &record)
{
	std::ostringstream out;
	out << record.t_ns;
	std::visit([&](auto what) {
		out << ' ' << Word<decltype(what)>::name;
		fields(what, Writer{out});
	}, record.what);
	return out.str();
}

std::optional<Record>
parse_record(std::string const &line)
{
	std::istringstream in(line);
	Record record{};
	std::string word;
	if (line.empty() || line[0] == '#' || !(in >> record.t_ns >> word))
		return std::nullopt;
	if (!read_any(word, in, record, static_cast<decltype(record.what) const *>(nullptr)) || in.fail())
		return std::nullopt;
	return record;
}

} // namespace observe::kernel
