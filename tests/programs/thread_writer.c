/*
 * thread_writer - a second thread writes to stdout while the main thread
 * sleeps: "tick" four times, half a second apart, without a newline, so
 * the ticks collect in the stdio buffer, which the exit then writes out.
 * A watcher that asks only the main thread whether the process ran never
 * sees the buffer change.
 */
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static void *
tick(void *unused)
{
	(void)unused;
	for (int i = 0; i < 4; i++) {
		usleep(500000);
		fputs("tick", stdout);
	}
	return NULL;
}

int
main(void)
{
	pthread_t ticker;
	if (pthread_create(&ticker, NULL, tick, NULL) != 0)
		return 1;
	sleep(3);
	return 0;
}
