// The Windows side of platform.h.
#include "platform.h"

#include "stop.h"
#include "utf8.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <share.h>
#include <sys/stat.h>
#include <stdio.h>
#include <string.h>

int sock_error(void) {
    return WSAGetLastError();
}

// Descriptions of the Winsock errors start-up and accept can meet, for
// systems whose message tables lack them.
static const char *sock_strerror(int code) {
    switch (code) {
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEADDRNOTAVAIL:
        return "Cannot assign requested address";
    case WSAEACCES:
        return "Permission denied";
    case WSAEAFNOSUPPORT:
        return "Address family not supported by protocol";
    case WSAECONNABORTED:
        return "Software caused connection abort";
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAEINTR:
        return "Interrupted system call";
    case WSAEINVAL:
        return "Invalid argument";
    case WSAEMFILE:
        return "Too many open files";
    case WSAENETDOWN:
        return "Network is down";
    case WSAENOBUFS:
        return "No buffer space available";
    case WSAENOTCONN:
        return "Transport endpoint is not connected";
    case WSAENOTSOCK:
        return "Socket operation on non-socket";
    case WSANOTINITIALISED:
        return "Windows Sockets not initialised";
    case WSASYSNOTREADY:
        return "Network subsystem is unavailable";
    case WSAVERNOTSUPPORTED:
        return "Windows Sockets version not supported";
    default:
        return NULL;
    }
}

// Winsock does not set errno, so perror would describe some unrelated
// error. This prints the same "what: description" line, with the system's
// own text for the Winsock code where it has one.
void sock_perror(const char *what, int code) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             (DWORD)code, 0, text, sizeof text, NULL);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) {
        n--;
    }
    text[n] = '\0';
    if (n == 0 && sock_strerror(code) != NULL) {
        snprintf(text, sizeof text, "%s", sock_strerror(code));
    } else if (n == 0) {
        snprintf(text, sizeof text, "Windows Sockets error %d", code);
    }
    fprintf(stderr, "%s: %s\n", what, text);
}

long long clock_ms(void) {
    return static_cast<long long>(GetTickCount64());
}

// The system's own local time: its time zone, daylight saving included, as
// the system clock shows it.
void time_local_text(char *text) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SYSTEMTIME utc;
    SYSTEMTIME local;
    FileTimeToSystemTime(&now, &utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        local = utc;
    }
    // The offset is what lies between the two, to the minute.
    FILETIME utc_ft;
    FILETIME local_ft;
    SystemTimeToFileTime(&utc, &utc_ft);
    SystemTimeToFileTime(&local, &local_ft);
    ULARGE_INTEGER u;
    ULARGE_INTEGER l;
    u.LowPart = utc_ft.dwLowDateTime;
    u.HighPart = utc_ft.dwHighDateTime;
    l.LowPart = local_ft.dwLowDateTime;
    l.HighPart = local_ft.dwHighDateTime;
    long long east = (static_cast<long long>(l.QuadPart) - static_cast<long long>(u.QuadPart)) /
                     (60LL * 10000000LL);
    long long size = east < 0 ? -east : east;
    snprintf(text, TIME_TEXT, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02lld:%02lld", local.wYear,
             local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
             local.wMilliseconds, east < 0 ? '-' : '+', size / 60, size % 60);
}

// The C runtime's wide words of the command line (msvcrt exports it; its
// headers do not declare it). They are split as main's are, word for word.
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int glob, void *info);

// Shared for reading and writing, so that the file can be followed while it
// grows (Get-Content -Wait, an editor), as on POSIX. main's words are in the
// ANSI code page, which cannot name every file (Japanese in a Western
// Windows): the word itself is opened as the system has it, in UTF-16.
// The command line's word arg in UTF-16; null should the system not say.
static const wchar_t *wide_arg(int arg) {
    int argc = 0;
    wchar_t **wargv = nullptr;
    wchar_t **wenv = nullptr;
    int info = 0;
    if (__wgetmainargs(&argc, &wargv, &wenv, 0, &info) == 0 && wargv != nullptr && arg > 0 &&
        arg < argc) {
        return wargv[arg];
    }
    return nullptr;
}

int file_open_append(const char *path, int arg) {
    const int flags = _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT;
    const wchar_t *wide = wide_arg(arg);
    if (wide != nullptr) {
        return _wsopen(wide, flags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    }
    return _sopen(path, flags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
}

int file_open_read(const char *path, int arg) {
    const int flags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;
    const wchar_t *wide = wide_arg(arg);
    return wide != nullptr && *wide != L'\0' ? _wsopen(wide + 1, flags, _SH_DENYNO)
                                             : _sopen(path + 1, flags, _SH_DENYNO);
}

int file_read(int fd, char *p, int len) {
    return _read(fd, p, static_cast<unsigned>(len));
}

void file_close(int fd) {
    _close(fd);
}

int arg_text(const char *word, int arg, buf_t *into) {
    const wchar_t *wide = wide_arg(arg);
    int len = wide != nullptr
                  ? WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr)
                  : 0;
    if (len <= 1) {
        len = static_cast<int>(strlen(word)); // the word as main has it
        return len == 0 || buf_push(into, word, len) == len ? 0 : -1;
    }
    // A command line holds 32767 UTF-16 units at most, 3 bytes each in
    // UTF-8 at most.
    static char text[3 * 32768];
    return len <= static_cast<int>(sizeof text) &&
                   WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, len, nullptr, nullptr) == len &&
                   buf_push(into, text, len - 1) == len - 1
               ? 0
               : -1;
}

// No SIGPIPE on Windows.
int file_write(int fd, const char *p, int len) {
    return fd_write(fd, p, len);
}

// The C runtime would turn every "\n" of an echoed request into "\r\n".
void stdout_binary(void) {
    _setmode(_fileno(stdout), _O_BINARY);
}

// A Winsock socket is never a C runtime descriptor: nothing to guard.
void std_fds_open(void) {}

void sock_nosigpipe(SOCKET s) {
    (void)s; // send() never raises a signal on Windows
}

// Winsock has no per-call non-blocking flag: ask how much is waiting.
int sock_recv_nowait(SOCKET s, char *buf, int len) {
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting == 0) {
        return SOCK_WOULD_BLOCK; // a peer that has closed is seen by the recv that follows
    }
    return recv(s, buf, len, 0);
}

// Sends that wait are waited for with stop_wait_send, which a stop
// interrupts, so the socket is made non-blocking, and left so: every
// receive is made with sock_recv_nowait or after a wait.
int sock_send_nowait(SOCKET s, const char *p, int len) {
    u_long on = 1;
    (void)ioctlsocket(s, FIONBIO, &on);
    int n = send(s, p, len, 0);
    return n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_WOULD_BLOCK : n;
}

int sock_nonblocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

// Windows sets no limit on the sockets a process holds.
int sock_limit(void) {
    return INT_MAX;
}

int sock_error_is_would_block(int code) {
    return code == WSAEWOULDBLOCK;
}

int sock_error_is_resource(int code) {
    return code == WSAEMFILE || code == WSAENOBUFS;
}

int sock_error_is_interrupt(int code) {
    return code == WSAEINTR;
}

// Windows names an IPv6 zone by its number.
void sock_zone_text(unsigned long scope, char *text, int size) {
    snprintf(text, (size_t)size, "%lu", scope);
}

// Windows names an IPv6 zone by its number only.
unsigned long sock_zone_index(const char *name) {
    (void)name;
    return 0;
}

// After a stop, a write that has gone on for a second is given up on (one
// that blocks outright is cut short by the stop handler, see stop_win.cpp).
int fd_write(int fd, const char *p, int len) {
    while (len > 0) {
        int n = _write(fd, p, (unsigned)len);
        if (n <= 0 || stop_overdue()) {
            if (n >= 0) {
                errno = EIO;
            }
            return -1;
        }
        p += n;
        len -= n;
    }
    return 0;
}

int fd_is_null(int fd) {
    (void)fd; // NUL cannot be told from other character devices cheaply
    return 0;
}

// A console, not merely a character device: _isatty also says yes for NUL.
int fd_is_terminal(int fd) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

// A console shows characters, not bytes: bytes written to it are read in
// its code page (437, 850, 936, ...), which would show UTF-8 as garbage.
// What a client sent is decoded here and written as UTF-16, whatever the
// code page, which is left as it is (a killed process could not restore
// it). The console is the one standard output, so one decoder serves.
#define TERM_CHUNK 4096
static utf8_t term_text;
static int term_started = 0;

int term_write(int fd, const char *p, int len) {
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    char16_t wide[TERM_CHUNK + 1];
    if (!term_started) {
        utf8_init(&term_text);
        term_started = 1;
    }
    while (len > 0) {
        int take = len < TERM_CHUNK ? len : TERM_CHUNK;
        int units = utf8_decode(&term_text, p, take, wide);
        for (int at = 0; at < units;) {
            DWORD done = 0;
            if (!WriteConsoleW(console, reinterpret_cast<const wchar_t *>(wide + at),
                               static_cast<DWORD>(units - at), &done, nullptr) ||
                done == 0 || stop_overdue()) {
                errno = EIO;
                return -1;
            }
            at += static_cast<int>(done);
        }
        p += take;
        len -= take;
    }
    return 0;
}

void term_end(int fd) {
    char16_t mark;
    DWORD done;
    if (term_started && utf8_end(&term_text, &mark) == 1) {
        (void)WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mark, 1, &done, nullptr);
    }
}

// Alone in its console (the console's process list holds only this
// process), with standard input and error that console: a window that
// closes when the program ends. Scripts and redirected input never wait
// here. A console nobody sees (a scheduled task's, a service's) would wait
// for ever: the wait ends after a minute.
#define KEEP_OPEN_MS 60000

void console_keep_open(void) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD processes[2];
    DWORD mode;
    if (GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(in, &mode) ||
        !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
        return;
    }
    // Keys pressed before are dropped first: one pressed once the prompt
    // shows is the answer.
    (void)FlushConsoleInputBuffer(in);
    fputs("Press any key to close this window.\n", stderr);
    ULONGLONG until = GetTickCount64() + KEEP_OPEN_MS;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        INPUT_RECORD record;
        DWORD got;
        if (WaitForSingleObject(in, static_cast<DWORD>(until - now)) != WAIT_OBJECT_0 ||
            !ReadConsoleInputW(in, &record, 1, &got) || got != 1 ||
            (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
            return;
        }
    }
}
