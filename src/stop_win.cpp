#include "stop.h"

#include <string.h>

// Ctrl-C, Ctrl-Break, closing the console window, logoff and shutdown come
// as console control events, each on a thread the system starts for the
// handler. The handler only notes the event and sets stop_event; the main
// thread, which owns the console buffer, sees the note where it looks, and
// is woken from its wait for a socket by the event (stop_wait). The handler
// then waits while the main thread writes out what it holds and exits.
// Should that take longer than about a second (an output nobody reads, a
// console window paused by a selection), the handler ends the process
// itself: it never returns, which after close, logoff and shutdown would
// let the system end the process at once. The system's own deadline for
// those (5 s for close) is well after ours.

// How long the main thread may take to write out what it holds.
#define GRACE_MS 1000
// And how much longer the handler waits before it ends the process itself.
#define LAST_MS 200

static volatile LONG stop_event_type = 0; // the event's number + 1; 0 until one comes
static volatile LONG64 stop_time = 0;     // GetTickCount64() when it came; 0 until then
static HANDLE stop_event = nullptr;       // set by the handler; manual reset
static HANDLE one_event = nullptr;        // the events of the socket stop_wait waits on
static HANDLE set_event = nullptr;        // the events of every watched socket (stop_watch)

// Makes s a plain blocking socket again: WSAEventSelect makes a socket
// non-blocking, and it cannot be made blocking while that lasts.
static void unwatch(SOCKET s) {
    (void)WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    (void)ioctlsocket(s, FIONBIO, &blocking);
}

// The time is noted before the event, so that whoever sees the event finds
// the time. Ending the process, the handler does not run the exit code of
// the C runtime and the DLLs: the main thread may be inside them, holding
// their locks.
static BOOL WINAPI on_control(DWORD type) {
    (void)InterlockedCompareExchange64(&stop_time, static_cast<LONG64>(GetTickCount64()), 0);
    if (InterlockedCompareExchange(&stop_event_type, static_cast<LONG>(type) + 1, 0) == 0) {
        SetEvent(stop_event);
    }
    Sleep(GRACE_MS + LAST_MS);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(CONTROL_C_EXIT));
    return TRUE; // not reached
}

int stop_catch(void) {
    // Manual-reset events, as WSACreateEvent makes them; made here, before
    // Winsock is started, so not by it.
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    one_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    set_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Without the events to wake the main thread, Windows' own handling
    // stays: the process ends at once.
    if (stop_event != nullptr && one_event != nullptr && set_event != nullptr) {
        (void)SetConsoleCtrlHandler(on_control, TRUE);
        return 0;
    }
    HANDLE *events[] = {&stop_event, &one_event, &set_event};
    for (HANDLE *made : events) {
        if (*made != nullptr) {
            CloseHandle(*made);
            *made = nullptr;
        }
    }
    return 0;
}

int stop_signal(void) {
    return static_cast<int>(stop_event_type);
}

int stop_overdue(void) {
    LONG64 since = InterlockedCompareExchange64(&stop_time, 0, 0); // a whole read, also on x86
    return since != 0 && GetTickCount64() - static_cast<ULONGLONG>(since) >= GRACE_MS;
}

// CONTROL_C_EXIT, 0xC000013A: the status Windows gives a process that Ctrl-C
// ends.
int stop_status(void) {
    return static_cast<int>(CONTROL_C_EXIT);
}

// A blocking Winsock call cannot be interrupted from another thread, so the
// main thread waits for the socket and the stop event together, then makes
// the call, which no longer blocks. The stop event stays set once set: a
// stop that comes between the last look and the wait is seen all the same.
// WSAEventSelect records an event that has already happened (a connection
// waiting, bytes, a close, room to send) as soon as it is called. Returns 0
// once s has one of events, -1 for the stop.
static int wait_for(SOCKET s, long events, bool then_blocking) {
    if (stop_signal() != 0) {
        return -1;
    }
    if (one_event == nullptr || WSAEventSelect(s, one_event, events) != 0) {
        // Without the event, as Windows' handling of Ctrl-C stands: a
        // receive waits by itself; select waits for room to send.
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(s, &ready);
        if ((events & FD_WRITE) != 0) {
            (void)select(0, nullptr, &ready, nullptr, nullptr);
        }
        return 0;
    }
    HANDLE both[2] = {stop_event, one_event};
    DWORD woken = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    if (then_blocking) {
        unwatch(s); // for the call that follows, which may block
    } else {
        (void)WSAEventSelect(s, nullptr, 0); // and it stays non-blocking
    }
    (void)ResetEvent(one_event);
    return woken == WAIT_OBJECT_0 ? -1 : 0;
}

int stop_wait(SOCKET s) {
    return wait_for(s, FD_ACCEPT | FD_READ | FD_CLOSE, true);
}

// Not FD_CLOSE: a peer that only half-closed still takes the reply, and
// Winsock records its close again at every WSAEventSelect, which would make
// the wait return at once, over and over. A peer that has gone makes the
// send fail without waiting. The socket stays non-blocking, as the sends
// leave it: after a stop, what its client sent is taken without waiting.
int stop_wait_send(SOCKET s) {
    return wait_for(s, FD_WRITE, false);
}

// Every watched socket signals the one event, so that a wait takes any
// number of them (WaitForMultipleObjects takes 64 handles at most, and
// WSAPoll cannot wait for the stop's event).
int stop_watch(SOCKET s) {
    if (set_event == nullptr || WSAEventSelect(s, set_event, FD_ACCEPT | FD_READ | FD_CLOSE) != 0) {
        (void)sock_nonblocking(s);
        return -1;
    }
    return 0;
}

// A watched socket is non-blocking: its receives return at once.
int stop_recv(SOCKET s, char *buf, int len) {
    int n = recv(s, buf, len, 0);
    return n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_WOULD_BLOCK : n;
}

int stop_peek(SOCKET s) {
    char c;
    int n = recv(s, &c, 1, MSG_PEEK);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        return SOCK_WOULD_BLOCK;
    }
    return n > 0 ? 1 : 0;
}

// Which of the n sockets s have something to take now, into ready; how
// many have. A select of no time, FD_SETSIZE sockets at a time.
static int look(const SOCKET *s, int n, char *ready) {
    int got = 0;
    for (int at = 0; at < n; at += FD_SETSIZE) {
        int count = n - at < FD_SETSIZE ? n - at : FD_SETSIZE;
        fd_set set;
        FD_ZERO(&set);
        for (int i = 0; i < count; i++) {
            FD_SET(s[at + i], &set);
        }
        struct timeval none = {0, 0};
        bool failed = select(0, &set, nullptr, nullptr, &none) == SOCKET_ERROR;
        for (int i = 0; i < count; i++) {
            // Failing, each is said to be ready: the calls that follow say
            // how it really stands.
            ready[at + i] = failed || FD_ISSET(s[at + i], &set);
            got += ready[at + i];
        }
    }
    return got;
}

// Winsock records each event once (a connection, the first bytes, the
// close) and signals it again only once the call that takes it is made, so
// the event says that something came, and a look at every socket says
// where. The event is reset before the look: whatever comes after the look
// sets it again, and the wait sees it.
int stop_wait_any(const SOCKET *s, int n, char *ready, int ms) {
    memset(ready, 0, static_cast<size_t>(n));
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
    for (;;) {
        if (stop_signal() != 0) {
            return -1;
        }
        if (set_event != nullptr) {
            (void)ResetEvent(set_event);
        }
        int got = look(s, n, ready);
        if (got > 0) {
            return got;
        }
        ULONGLONG now = GetTickCount64();
        if (ms >= 0 && now >= until) {
            return 0;
        }
        DWORD left = ms < 0 ? INFINITE : static_cast<DWORD>(until - now);
        if (set_event == nullptr) {
            // Without the event (see stop_catch), a look every 50 ms.
            Sleep(left < 50 ? left : 50);
            continue;
        }
        HANDLE both[2] = {stop_event, set_event};
        if (WaitForMultipleObjects(2, both, FALSE, left) == WAIT_OBJECT_0) {
            return -1;
        }
    }
}
