/*
 * LUMSDK: lighting control client library.
 *
 * The library forwards every call to the lighting host application over
 * named pipes and returns plain C results. Call
 * VelmoraPerformProtocolHandshake() first; every other function (except
 * VelmoraGetLastError) fails with VelmoraErrorHandshakeRequired until a
 * handshake has received an answer.
 *
 * Errors: every function reports through its return value and a per-thread
 * last error read with VelmoraGetLastError(). A failure on one thread never
 * shows on another. If the library meets an internal failure (memory
 * exhausted, a system lock failing) a call returns its failure value with
 * VelmoraErrorHostUnreachable; nothing is ever thrown across this interface.
 *
 * Memory: every pointer the library returns (texts, device and position
 * records) belongs to the library and stays valid and unchanged until the
 * library is unloaded. Never free it, and never write to it: records are
 * read-only. A call whose answer is identical to an earlier one returns
 * the same record again (as long as nobody wrote to it), so polling the
 * same devices costs no memory; records of new answers are kept until
 * unload. Answers over 2 MiB are read in pieces and thrown away: the call
 * fails with VelmoraErrorHostUnreachable and the connection stays usable.
 * Reading an answer costs at most about 13 times its size in memory while
 * the call runs (about 8 times for real answers).
 *
 * Callbacks: an exception thrown by a callback written in C++ is caught by
 * the library and counted; the other callbacks still run. Do not rely on
 * it: a callback should not throw.
 *
 * Unloading: once the library starts to unload (FreeLibrary, dlclose, or
 * the end of the process), every call fails at once with
 * VelmoraErrorHostUnreachable; exchanges under way are cut short, and the
 * library's threads are stopped before its state goes away. Asynchronous
 * calls not yet sent then get no callback.
 *
 * This header is plain C99 and C++; it needs only <stdint.h>, <stddef.h>
 * and <stdbool.h>.
 */
#ifndef LUMSDK_H_
#define LUMSDK_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VELMORA_CALL __cdecl
#if defined(LUMSDK_STATIC)
#define VELMORA_API
#elif defined(LUMSDK_BUILDING)
#define VELMORA_API __declspec(dllexport)
#else
#define VELMORA_API __declspec(dllimport)
#endif
#else
#define VELMORA_CALL
#if defined(LUMSDK_BUILDING) && !defined(LUMSDK_STATIC)
#define VELMORA_API __attribute__((visibility("default")))
#else
#define VELMORA_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. The pass-through functions (see each one) store the host's
 * "errorCode" unchanged, so values outside this list can occur. */
/* The one table of the library's codes: X(name, value, text) for each. The
 * enum below and the messages of the C++ header are made from it, and the
 * bindings for other languages are checked against it. The comment of each
 * function below names its errors without the VelmoraError prefix. */
#define LUMSDK_ERROR_MAP(X)                                                                  \
  X(None, 0, "success")                                                                      \
  X(HostUnreachable, 1, "host unreachable: no connection, a broken connection or no answer") \
  X(Reserved, 2, "reserved: only ever passed through from the host")                         \
  X(HandshakeRequired, 3, "no handshake has succeeded yet")                                  \
  X(ProtocolMismatch, 4, "the host's protocol version is too old for this call")             \
  X(BadArgument, 5, "argument rejected, or the answer held no usable result")

typedef enum VelmoraError {
#define LUMSDK_ERROR_ENUMERATOR(name, value, text) VelmoraError##name = value,
  LUMSDK_ERROR_MAP(LUMSDK_ERROR_ENUMERATOR)
#undef LUMSDK_ERROR_ENUMERATOR
} VelmoraError;

/* Returned by value from the handshake. Both texts belong to the library. */
typedef struct VelmoraProtocolDetails {
  const char *sdkVersion;    /* this library's version text */
  const char *serverVersion; /* host's version text; NULL until a handshake answered */
  int sdkProtocolVersion;    /* 5 */
  int serverProtocolVersion; /* host's protocol version; 0 until a handshake answered */
  bool breakingChanges;      /* host's flag; false unless the host speaks above 5 */
} VelmoraProtocolDetails;

typedef struct VelmoraChannelDeviceInfo {
  int type;           /* host's code for the attached device */
  int deviceLedCount; /* LEDs on that device */
} VelmoraChannelDeviceInfo;

typedef struct VelmoraChannelInfo {
  int totalLedsCount;
  int devicesCount;                  /* entries in devices (-1: host sent a non-list) */
  VelmoraChannelDeviceInfo *devices; /* NULL when devicesCount <= 0 */
} VelmoraChannelInfo;

typedef struct VelmoraChannelsInfo {
  int channelsCount;            /* entries in channels (-1: host sent a non-list) */
  VelmoraChannelInfo *channels; /* NULL when channelsCount <= 0 */
} VelmoraChannelsInfo;

typedef struct VelmoraDeviceInfo {
  int type;          /* host's device type code */
  const char *model; /* never NULL; empty when the host sent none */
  int physicalLayout;
  int logicalLayout;
  int capsMask;
  int ledsCount;
  VelmoraChannelsInfo channels;
} VelmoraDeviceInfo;

typedef struct VelmoraLedPosition {
  int ledId; /* 1 to 499 */
  double top;
  double left;
  double height;
  double width;
} VelmoraLedPosition;

typedef struct VelmoraLedPositions {
  int positionsCount;
  VelmoraLedPosition *positions;
} VelmoraLedPositions;

typedef struct VelmoraLedColor {
  int ledId; /* 0 to 499 */
  int r;     /* 0 to 255 */
  int g;
  int b;
} VelmoraLedColor;

/* Completion of an asynchronous call. Runs on a worker thread of the
 * library, with no library lock held; it may call any function of the
 * library, but a slow callback delays the worker's next pass. */
typedef void(VELMORA_CALL *VelmoraAsyncCallback)(void *context, bool result, VelmoraError error);

/* Key press (pressed true) or release (false) of the host's key vendorKey.
 * Runs on the connection's notification thread, never on an application
 * thread, one notification at a time. It may call any function of the
 * library except VelmoraPerformProtocolHandshake. */
typedef void(VELMORA_CALL *VelmoraKeypressCallback)(void *context, int vendorKey, bool pressed);

/* Opens the connection to the host, or keeps the one that still works, and
 * exchanges versions. Always returns a record; the last error is 0 on
 * success and VelmoraErrorHostUnreachable on failure, in which case the
 * host fields are NULL/0/false. A handshake that had to reconnect forgets
 * every key-press callback; every handshake after a call that failed with
 * VelmoraErrorHostUnreachable reconnects. So: after error 1, handshake and
 * register the callbacks again (see examples/reconnect.c). */
VELMORA_API VelmoraProtocolDetails VELMORA_CALL VelmoraPerformProtocolHandshake(void);

/* The calling thread's last error. Never changes it. */
VELMORA_API VelmoraError VELMORA_CALL VelmoraGetLastError(void);

/* Number of devices, or -1. Errors: HandshakeRequired, HostUnreachable. */
VELMORA_API int VELMORA_CALL VelmoraGetDeviceCount(void);

/* Description of device deviceIndex, or NULL. Errors: HandshakeRequired; BadArgument for a negative
 * index or when the host has no such device; HostUnreachable. */
VELMORA_API VelmoraDeviceInfo *VELMORA_CALL VelmoraGetDeviceInfo(int deviceIndex);

/* Positions of all LEDs (ids 1 to 499), or NULL. Errors: HandshakeRequired, HostUnreachable. */
VELMORA_API VelmoraLedPositions *VELMORA_CALL VelmoraGetLedPositions(void);

/* Positions of one device's LEDs, or NULL. Errors: HandshakeRequired; BadArgument for a negative
 * index or no result; HostUnreachable; ProtocolMismatch below host protocol 3. */
VELMORA_API VelmoraLedPositions *VELMORA_CALL VelmoraGetLedPositionsByDeviceIndex(int deviceIndex);

/* LED id of the key for an ASCII letter (case matters), or 0. Errors: HandshakeRequired;
 * BadArgument when keyName is not A-Z or a-z; HostUnreachable. A host answer of 0 is returned with
 * last error 0. */
VELMORA_API int VELMORA_CALL VelmoraGetLedIdForKeyName(char keyName);

/* Asks the host for control; accessMode must be 0. Returns the host's
 * "result". Errors: HandshakeRequired, BadArgument, HostUnreachable; 0 after any answer. */
VELMORA_API bool VELMORA_CALL VelmoraRequestControl(int accessMode);

/* Gives control back; accessMode must be 0. Errors: HandshakeRequired, HostUnreachable,
 * BadArgument, ProtocolMismatch below host protocol 2; after an answer the host's "errorCode". */
VELMORA_API bool VELMORA_CALL VelmoraReleaseControl(int accessMode);

/* Sets this client's layer priority, 0 to 255. Errors: HandshakeRequired, HostUnreachable,
 * ProtocolMismatch below host protocol 4, BadArgument; after an answer the host's "errorCode". */
VELMORA_API bool VELMORA_CALL VelmoraSetLayerPriority(int priority);

/* Sets size colours and waits for the host. Errors: HandshakeRequired; BadArgument for size < 1,
 * ids outside 0-499, components outside 0-255, an id twice or a NULL
 * array; HostUnreachable; after an answer the host's "errorCode". */
VELMORA_API bool VELMORA_CALL VelmoraSetLedsColors(int size, VelmoraLedColor *ledsColors);

/* Reads the colours of the LEDs named in ledsColors[i].ledId into r, g, b
 * (matched by position). Errors: HandshakeRequired, ProtocolMismatch below host protocol 4,
 * BadArgument (bad list or unusable answer), HostUnreachable. Nothing is written on failure. */
VELMORA_API bool VELMORA_CALL VelmoraGetLedsColors(int size, VelmoraLedColor *ledsColors);

/* As VelmoraGetLedsColors for one device; needs host protocol 5. */
VELMORA_API bool VELMORA_CALL VelmoraGetLedsColorsByDeviceIndex(int deviceIndex, int size,
                                                                VelmoraLedColor *ledsColors);

/* Queues colours and returns at once; a worker thread sends everything
 * queued every 10 ms (latest colour per LED) and then calls callback (may
 * be NULL) with the outcome. Errors: HandshakeRequired, BadArgument. */
VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsAsync(int size, VelmoraLedColor *ledsColors,
                                                        VelmoraAsyncCallback callback,
                                                        void *context);

/* Stores colours for one device in the library's buffer; sends nothing.
 * Errors: HandshakeRequired, ProtocolMismatch below host protocol 5, BadArgument, HostUnreachable.
 * On success the last error is left as it was. */
VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                                      VelmoraLedColor *ledsColors);

/* Sends the whole buffer and waits. Errors: HandshakeRequired, ProtocolMismatch, HostUnreachable
 * (buffer kept when the host is already gone), BadArgument when the buffer is too large to send as
 * one request (over 16 MiB of text: nothing is sent and the buffer is emptied, so the next flush
 * of new colours works); after an answer the host's "errorCode". */
VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsFlushBuffer(void);

/* Hands the buffer to a worker thread that sends it on its next pass and
 * then calls callback (may be NULL). A later call before that pass replaces
 * the earlier contents. Errors: HandshakeRequired, ProtocolMismatch, BadArgument when the buffer is
 * too large to send as one request (the buffer is emptied, no callback comes). */
VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsFlushBufferAsync(VelmoraAsyncCallback callback,
                                                                   void *context);

/* Registers a key-press callback; the first registration on a connection
 * asks the host for notifications. The callback stays registered even when
 * the host refuses. Errors: HandshakeRequired, BadArgument (NULL callback), HostUnreachable,
 * ProtocolMismatch below host protocol 4; after an answer the host's "errorCode". Notifications
 * wait in a queue of at most 1024 (1 MiB) while callbacks run; a host that sends faster than the
 * callbacks return loses the excess, newest first. A notification over 64 KiB
 * is skipped: no callback hears of it, and the next one is delivered. */
VELMORA_API bool VELMORA_CALL VelmoraRegisterKeypressCallback(VelmoraKeypressCallback callback,
                                                              void *context);

#ifdef __cplusplus
}
#endif

#endif /* LUMSDK_H_ */
