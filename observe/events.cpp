#include "events.h"

#include <charconv>
#include <iterator>
#include <string_view>

namespace observe {

static constexpr char const *state_names[] = {"running", "stopped", "zombie"};
static constexpr char const *reason_names[] = {"orphaned group", "flushed by SIGCONT"};
static constexpr char const *end_reason_names[] = {"all ended", "time limit", "interrupted"};
static constexpr char const *root_names[] = {"program", "orphan", "program's sibling"};
static constexpr std::string_view child_word = "child ";
static constexpr std::string_view separator = ", ";
/* By the kernel's numbers, from 1. */
static constexpr char const *socket_state_names[] = {
	"established", "syn-sent", "syn-received", "fin-wait-1", "fin-wait-2", "time-wait",
	"closed", "close-wait", "last-ack", "listening", "closing", "syn-received",
};

std::string
base_name(std::string const &path)
{
	auto slash = path.rfind('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

char const *
state_name(State state)
{
	return state_names[static_cast<int>(state)];
}

char const *
reason_name(DiscardReason reason)
{
	return reason_names[static_cast<int>(reason)];
}

char const *
reason_name(EndReason reason)
{
	return end_reason_names[static_cast<int>(reason)];
}

Place
Place::child(int number) const
{
	Place next = *this;
	next.lineage.push_back(number);
	return next;
}

std::string
place_name(Place const &place)
{
	/* The program's descendants are the job's children: "child 1", not "program, child 1". */
	std::string words;
	if (place.root != Place::Root::program || place.lineage.empty())
		words = root_names[static_cast<int>(place.root)];
	for (int number : place.lineage) {
		if (!words.empty())
			words += separator;
		words += child_word;
		words += std::to_string(number);
	}
	return words;
}

std::optional<Place>
place_named(std::string const &words)
{
	std::vector<std::string_view> parts;
	for (size_t at = 0;;) {
		size_t next = words.find(separator, at);
		parts.push_back(std::string_view(words).substr(at, next - at));
		if (next == std::string::npos)
			break;
		at = next + separator.size();
	}
	Place place;
	auto part = parts.begin();
	for (auto root : {Place::Root::program, Place::Root::orphan, Place::Root::sibling})
		if (*part == root_names[static_cast<int>(root)]) {
			place.root = root;
			++part;
			break;
		}
	for (; part != parts.end(); ++part) {
		if (!part->starts_with(child_word))
			return std::nullopt;
		char const *end = part->data() + part->size();
		int number = 0;
		auto read = std::from_chars(part->data() + child_word.size(), end, number);
		if (read.ec != std::errc() || read.ptr != end || number < 1)
			return std::nullopt;
		place.lineage.push_back(number);
	}
	/* Only the words place_name() gives: no "child 01", no "program, child 1", no "". */
	if (place_name(place) != words)
		return std::nullopt;
	return place;
}

char const *
socket_state_name(SocketState state)
{
	return socket_state_names[static_cast<int>(state) - 1];
}

SocketState
socket_state(int kernel_state)
{
	if (kernel_state < 1 || kernel_state > static_cast<int>(std::size(socket_state_names)))
		return SocketState::closed;
	return static_cast<SocketState>(kernel_state);
}

std::optional<SocketState>
socket_state_named(std::string const &name)
{
	/* "syn-received" names two states that are one to a person: the first, the socket's own, is meant. */
	for (size_t n = 1; n <= std::size(socket_state_names); n++)
		if (name == socket_state_names[n - 1])
			return static_cast<SocketState>(n);
	return std::nullopt;
}

} // namespace observe
