/* Does a Windows process end while threads of it wait in overlapped pipe
 * I/O? The same pattern as the library's, without the library: a thread
 * blocked in an overlapped read of a notification pipe, and a thread that
 * answers each notification with a request and waits for its response,
 * while main returns. Used to tell a hang of the system (Wine) at process
 * exit from one of the library's.
 *   exit_probe host NAME     serves clients on pipes NAME_in, NAME_out and
 *                            NAME_callback until killed, notifying nonstop
 *   exit_probe client NAME   connects, runs until notifications and answers
 *                            flow, prints "ending at <ns>" and returns
 * Client exit codes: 0 done, 3 no notifications arrived. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

static wchar_t g_names[3][256]; /* _in, _out, _callback */

/* One overlapped transfer of exactly size bytes; waits at most waitMs (or
 * for cancel, when given). Returns 0 on success. */
static int transfer(HANDLE pipe, BOOL write, void *data, DWORD size, DWORD waitMs, HANDLE cancel) {
  OVERLAPPED o;
  HANDLE events[2];
  DWORD done = 0, n = 0;
  int result = 0;
  memset(&o, 0, sizeof o);
  o.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  events[0] = o.hEvent;
  events[1] = cancel;
  while (done < size && result == 0) {
    BOOL ok;
    ResetEvent(o.hEvent);
    ok = write ? WriteFile(pipe, (char *)data + done, size - done, NULL, &o)
               : ReadFile(pipe, (char *)data + done, size - done, NULL, &o);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
      result = (int)GetLastError();
      break;
    }
    if (WaitForMultipleObjects(cancel ? 2 : 1, events, FALSE, waitMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &o);
      GetOverlappedResult(pipe, &o, &n, TRUE);
      result = ERROR_OPERATION_ABORTED;
      break;
    }
    if (!GetOverlappedResult(pipe, &o, &n, FALSE)) result = (int)GetLastError();
    done += n;
  }
  CloseHandle(o.hEvent);
  return result;
}

static int frameOut(HANDLE pipe, const char *text) {
  DWORD n = (DWORD)strlen(text) + 1;
  if (transfer(pipe, TRUE, &n, 4, 5000, NULL) != 0) return 1;
  return transfer(pipe, TRUE, (void *)text, n, 5000, NULL);
}

static int frameIn(HANDLE pipe, char *buffer, DWORD size, DWORD waitMs, HANDLE cancel) {
  DWORD n = 0;
  if (transfer(pipe, FALSE, &n, 4, waitMs, cancel) != 0 || n > size) return 1;
  return transfer(pipe, FALSE, buffer, n, waitMs, cancel);
}

/* --- Host side. */
typedef struct {
  HANDLE in, out, callback;
} Client;

static DWORD WINAPI notify(LPVOID arg) {
  Client *c = (Client *)arg;
  while (frameOut(c->callback, "{\"vendorKey\":60,\"pressed\":true}") == 0) Sleep(2);
  return 0;
}

static DWORD WINAPI answer(LPVOID arg) {
  Client *c = (Client *)arg;
  char request[4096];
  while (frameIn(c->in, request, sizeof request, INFINITE, NULL) == 0) {
    if (frameOut(c->out, "{\"errorCode\":0,\"result\":{\"type\":1}}") != 0) break;
  }
  DisconnectNamedPipe(c->in);
  DisconnectNamedPipe(c->out);
  DisconnectNamedPipe(c->callback);
  CloseHandle(c->in);
  CloseHandle(c->out);
  CloseHandle(c->callback);
  return 0;
}

static HANDLE createInstance(const wchar_t *name, DWORD direction) {
  return CreateNamedPipeW(name, direction | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
}

static int connectInstance(HANDLE pipe) {
  OVERLAPPED o;
  DWORD n;
  memset(&o, 0, sizeof o);
  o.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!ConnectNamedPipe(pipe, &o)) {
    if (GetLastError() == ERROR_IO_PENDING) {
      WaitForSingleObject(o.hEvent, INFINITE);
      GetOverlappedResult(pipe, &o, &n, FALSE);
    }
  }
  CloseHandle(o.hEvent);
  return 0;
}

static int host(void) {
  printf("serving\n");
  fflush(stdout);
  for (;;) {
    Client *c = (Client *)calloc(1, sizeof *c);
    c->in = createInstance(g_names[0], PIPE_ACCESS_INBOUND);
    c->out = createInstance(g_names[1], PIPE_ACCESS_OUTBOUND);
    c->callback = createInstance(g_names[2], PIPE_ACCESS_OUTBOUND);
    if (c->in == INVALID_HANDLE_VALUE || c->out == INVALID_HANDLE_VALUE ||
        c->callback == INVALID_HANDLE_VALUE)
      return 1;
    connectInstance(c->out);
    connectInstance(c->in);
    connectInstance(c->callback);
    CloseHandle(CreateThread(NULL, 0, notify, c, 0, NULL));
    CloseHandle(CreateThread(NULL, 0, answer, c, 0, NULL));
  }
}

/* --- Client side: the library's pattern. */
static HANDLE g_in, g_out, g_callback, g_cancel, g_queued;
static volatile LONG g_notifications = 0, g_answers = 0;

/* The notification reader: waits in an overlapped read without time-out. */
static DWORD WINAPI reader(LPVOID arg) {
  char text[4096];
  (void)arg;
  while (frameIn(g_callback, text, sizeof text, INFINITE, g_cancel) == 0) {
    InterlockedIncrement(&g_notifications);
    SetEvent(g_queued);
  }
  return 0;
}

/* The dispatcher: an exchange per notification, as a key-press callback
 * that reads a device's information does. */
static DWORD WINAPI dispatcher(LPVOID arg) {
  char answerText[4096];
  (void)arg;
  for (;;) {
    WaitForSingleObject(g_queued, INFINITE);
    if (frameOut(g_in, "{\"method\":\"VelmoraGetDeviceInfo\",\"params\":{\"deviceIndex\":0}}") !=
            0 ||
        frameIn(g_out, answerText, sizeof answerText, 5000, g_cancel) != 0)
      return 0;
    InterlockedIncrement(&g_answers);
  }
}

static HANDLE openEnd(const wchar_t *name, DWORD access) {
  for (int i = 0; i < 200; ++i) {
    HANDLE h = CreateFileW(name, access, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h != INVALID_HANDLE_VALUE) return h;
    WaitNamedPipeW(name, 50);
  }
  return INVALID_HANDLE_VALUE;
}

static int client(void) {
  FILETIME now;
  ULARGE_INTEGER t;
  g_out = openEnd(g_names[1], GENERIC_READ);
  g_in = openEnd(g_names[0], GENERIC_WRITE);
  g_callback = openEnd(g_names[2], GENERIC_READ);
  if (g_out == INVALID_HANDLE_VALUE || g_in == INVALID_HANDLE_VALUE ||
      g_callback == INVALID_HANDLE_VALUE)
    return 3;
  g_cancel = CreateEventW(NULL, TRUE, FALSE, NULL);
  g_queued = CreateEventW(NULL, FALSE, FALSE, NULL);
  CloseHandle(CreateThread(NULL, 0, reader, NULL, 0, NULL));
  CloseHandle(CreateThread(NULL, 0, dispatcher, NULL, 0, NULL));
  for (int waited = 0; g_answers < 3; waited += 1) {
    if (waited > 5000) return 3;
    Sleep(1);
  }
  /* The moment the program ends, in the caller's clock (ns since 1970). */
  GetSystemTimeAsFileTime(&now);
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  printf("ending at %llu\n", (t.QuadPart - 116444736000000000ULL) * 100ULL);
  fflush(stdout);
  return 0;
}

int main(int argc, char **argv) {
  static const wchar_t *suffixes[3] = {L"_in", L"_out", L"_callback"};
  if (argc < 3) {
    fprintf(stderr, "usage: exit_probe host|client NAME\n");
    return 2;
  }
  for (int i = 0; i < 3; ++i)
    swprintf(g_names[i], 256, L"\\\\.\\pipe\\%hs%ls", argv[2], suffixes[i]);
  return strcmp(argv[1], "host") == 0 ? host() : client();
}
