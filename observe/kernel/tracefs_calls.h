#pragma once

/*
 * The few libtracefs calls the trace reader makes, behind plain C
 * functions: libtracefs's header holds inline code that only a C compiler
 * accepts, so it is included by tracefs_calls.c alone.
 *
 * An instance is named by an opaque pointer; every call returns 0 (or a
 * pointer) on success and -1 (or NULL) on failure, errno set where the
 * library set it.
 */

#ifdef __cplusplus
extern "C" {
#endif

struct tracefs_instance;

/* Where tracefs is mounted, mounting it first where it is not; NULL if it cannot be. */
char const *observe_tracefs_dir(void);

/* A fresh instance of this name: one left over under the name is removed first. */
struct tracefs_instance *observe_instance_create(char const *name);
/* Removes the instance from the system and frees it. */
int observe_instance_destroy(struct tracefs_instance *);
/* Frees the instance, leaving it in the system (for another to remove). */
void observe_instance_free(struct tracefs_instance *);
/* Removes an instance by name, one this process did not create. */
int observe_instance_remove(char const *name);
/* The instance's directory; the caller frees it with free(). */
char *observe_instance_dir(struct tracefs_instance *);

/* Writes (or appends) text to a file of the instance. */
int observe_instance_write(struct tracefs_instance *, char const *file, char const *text, int append);
/* Sets each processor's buffer, in KB. */
int observe_instance_buffer_kb(struct tracefs_instance *, unsigned kb);
/* Sets (or replaces) an event's filter. */
int observe_event_filter(struct tracefs_instance *, char const *system, char const *event, char const *filter);
/* Sets an event's filter, where filter is not NULL, then enables the event. */
int observe_event_enable(struct tracefs_instance *, char const *system, char const *event, char const *filter);

/* Calls back with each instance whose name matches the regular expression. */
int observe_instances_each(char const *regex, void (*callback)(char const *name, void *context), void *context);

#ifdef __cplusplus
}
#endif
