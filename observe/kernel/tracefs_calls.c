/*
 * The trace reader's calls into libtracefs, in C: see tracefs_calls.h.
 */
#include "tracefs_calls.h"

#include <tracefs.h>

#include <errno.h>
#include <stddef.h>

char const *
observe_tracefs_dir(void)
{
	char const *path = NULL;

	if (tracefs_tracing_dir_is_mounted(true, &path) < 0)
		return NULL;
	/* Found or mounted: the library now knows the place for good. */
	return tracefs_tracing_dir();
}

struct tracefs_instance *
observe_instance_create(char const *name)
{
	struct tracefs_instance *instance = tracefs_instance_create(name);

	if (instance != NULL && !tracefs_instance_is_new(instance)) {
		/* Ours by name, but left by a process that had this pid before: settings unknown. */
		tracefs_instance_destroy(instance);
		tracefs_instance_free(instance);
		instance = tracefs_instance_create(name);
	}
	return instance;
}

int
observe_instance_destroy(struct tracefs_instance *instance)
{
	int result = tracefs_instance_destroy(instance);
	int saved = errno;

	tracefs_instance_free(instance);
	errno = saved;
	return result;
}

void
observe_instance_free(struct tracefs_instance *instance)
{
	tracefs_instance_free(instance);
}

int
observe_instance_remove(char const *name)
{
	struct tracefs_instance *instance = tracefs_instance_alloc(NULL, name);

	if (instance == NULL)
		return -1;
	return observe_instance_destroy(instance);
}

char *
observe_instance_dir(struct tracefs_instance *instance)
{
	return tracefs_instance_get_dir(instance);
}

int
observe_instance_write(struct tracefs_instance *instance, char const *file, char const *text, int append)
{
	int n = append ? tracefs_instance_file_append(instance, file, text)
		       : tracefs_instance_file_write(instance, file, text);

	return n < 0 ? -1 : 0;
}

int
observe_instance_buffer_kb(struct tracefs_instance *instance, unsigned kb)
{
	return tracefs_instance_set_buffer_size(instance, kb, -1);
}

int
observe_event_filter(struct tracefs_instance *instance, char const *system, char const *event, char const *filter)
{
	return tracefs_event_file_write(instance, system, event, "filter", filter) < 0 ? -1 : 0;
}

int
observe_event_enable(struct tracefs_instance *instance, char const *system, char const *event, char const *filter)
{
	if (filter != NULL && observe_event_filter(instance, system, event, filter) < 0)
		return -1;
	/* The event's own file: tracefs_event_enable() would list every event to match a pattern. */
	return tracefs_event_file_write(instance, system, event, "enable", "1") < 0 ? -1 : 0;
}

int
observe_instances_each(char const *regex, void (*callback)(char const *name, void *context), void *context)
{
	char **names = tracefs_instances(regex);

	if (names == NULL)
		return -1;
	for (char **name = names; *name != NULL; name++)
		callback(*name, context);
	tracefs_list_free(names);
	return 0;
}
