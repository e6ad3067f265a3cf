#pragma once

/*
 * A number field of a trace record, as the event's format declares it:
 * libtraceevent gives a signed field narrower than 64 bits back
 * unextended, so a negative pid or result would read as a large one.
 */

#include <event-parse.h>

namespace observe::kernel {

/* 0 where the event has no such field or it cannot be read. */
inline long long
field_number(tep_format_field *field, void *data)
{
	unsigned long long value = 0;
	if (field == nullptr || tep_read_number_field(field, data, &value) < 0)
		return 0;
	if ((field->flags & TEP_FIELD_IS_SIGNED) && field->size < 8) {
		unsigned bits = 8 * field->size;
		unsigned long long sign = 1ull << (bits - 1);
		value &= (1ull << bits) - 1;
		return static_cast<long long>((value ^ sign) - sign);
	}
	return static_cast<long long>(value);
}

} // namespace observe::kernel
