/*
 * libdravun: the host's message library, as the driver sees it.
 *
 * The driver reports its few messages by calling err from the host's
 * library: an integer code, a printf-style format and its arguments. This
 * small library stands in for that host library in the project's tools and
 * tests. It formats each message and hands the text to the handler that the
 * program registered, or, without a handler, writes it to standard error as
 * one line.
 *
 * Note for POSIX programs: the C library has an err(3) of its own that exits
 * the process. A program linked to libdravun gets this err instead, for
 * every caller in the process.
 */
#ifndef DRAVUN_DRAVUN_H
#define DRAVUN_DRAVUN_H

#if defined(_WIN32)
#if defined(DRAVUN_BUILDING)
#define DRAVUN_API __declspec(dllexport)
#else
#define DRAVUN_API __declspec(dllimport)
#endif
#else
#define DRAVUN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Receives one formatted message (without a trailing newline) and the
 * context given with the handler. */
typedef void (*DravunMessageHandler)(int code, const char* message, void* context);

/* Registers the handler of all further messages; a NULL handler sends them
 * to standard error again. Set it before messages can arrive: the library
 * takes no lock. */
DRAVUN_API void DravunSetMessageHandler(DravunMessageHandler handler, void* context);

/* Formats the message and delivers it. Always returns 0. */
DRAVUN_API int err(int code, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif /* DRAVUN_DRAVUN_H */
