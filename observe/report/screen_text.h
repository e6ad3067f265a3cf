#pragma once

/*
 * Text for a person's screen: what the job writes, made safe to show; and
 * observe's own lines, folded to the screen's width.
 */

#include <string>
#include <vector>

namespace observe {

/*
 * The job's bytes as observe shows them. Valid UTF-8 is shown as it is.
 * Where observe's report goes to a terminal, the job's escape sequences
 * (its colours, its cursor moves) pass through to it, as script(1) passes
 * them, if it is a terminal that takes them; else they are removed, never
 * shown as text. Other control bytes are shown as the terminal echoes
 * them ("^G"); a byte that is not UTF-8 as "\xff".
 *
 * A sequence or a character split between two reads is held until the
 * rest comes.
 */
class JobText {
public:
	/* `terminal`: the text goes to a terminal as it is, line ends and
	 * carriage returns included; `escapes`: that terminal takes escape sequences. */
	JobText(bool terminal, bool escapes) : terminal_(terminal), escapes_(escapes) {}
	/* What to show of these bytes, after those that came before. */
	std::string show(std::string const &bytes);
	/* What is held, shown as it is: nothing more will come. */
	std::string rest();

private:
	bool terminal_;
	bool escapes_;
	std::string held_;
};

/* Columns a UTF-8 text takes: one a character. */
size_t columns_of(std::string const &text);

/* `text` folded at spaces into lines of at most `width` columns, the first
 * `first` columns narrower; a word wider than a line is cut. */
std::vector<std::string> fold(std::string const &text, size_t width, size_t first = 0);

} // namespace observe
