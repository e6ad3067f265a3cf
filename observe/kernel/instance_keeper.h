#pragma once

/*
 * The keeper of a tracefs instance: a process of its own that removes the
 * instance once its maker is done with it, however the maker ends (killed
 * outright included).
 *
 * An instance's removal waits for every processor to pass a quiet point,
 * twice, tens of milliseconds with the tracing lock held. Done by the
 * keeper, it does not hold up its maker's end: a watch returns to its
 * shell while its instance goes. An observe started at once after it
 * waits for that removal in the kernel, as it would have anyway.
 *
 * The keeper is no child of its maker: made with child subreaping off, it
 * is adopted by init, or by the nearest subreaper above, so that its maker
 * neither follows nor collects it. It runs in a session of its own, so a
 * key at the maker's terminal does not end it, holds no file of its
 * maker's, and is named "observe-keeper".
 */

#include <sys/types.h>

#include <string>

namespace observe::kernel {

class InstanceKeeper {
public:
	InstanceKeeper() = default;
	InstanceKeeper(InstanceKeeper const &) = delete;
	InstanceKeeper &operator=(InstanceKeeper const &) = delete;
	~InstanceKeeper() { release(); }

	/* Starts the keeper of the instance at `dir`; false, errno set, where it cannot be made. */
	bool start(std::string const &dir);
	bool keeps() const { return channel_ >= 0; }

	/* Done with the instance, every file of it closed: the keeper removes it and ends. */
	void release();

private:
	int channel_ = -1;
};

} // namespace observe::kernel
