#include "stop.h"

// Ctrl-C, Ctrl-Break and closing the console end the process at once, as
// Windows does by default. A handler would run on a thread of its own, and
// no second thread may touch the console buffer while the main one does.
int stop_catch(void) {
    return 0;
}

int stop_signal(void) {
    return 0;
}

int stop_overdue(void) {
    return 0;
}

int stop_status(void) {
    return 0;
}

int stop_wait(SOCKET s) {
    (void)s;
    return 0;
}

void stop_pause_ms(int ms) {
    Sleep(static_cast<DWORD>(ms));
}
