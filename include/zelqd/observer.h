/*
 * zelqd observer: why every attempt and every open came out as it did, as a
 * record rather than as text.
 *
 * The driver tells its host only ok, refused or failed. A program that wants
 * to know why (a gateway counting time-outs per line, a poll tool printing
 * the reason of a failed read) registers an observer: the driver then calls
 * it once for every attempt of every transfer (ReadVar, WriteVar,
 * ReadBlock, ok or failed), and once for every open (OpenPort, ReopenPort,
 * ChangeZelParams), with the record the driver made where the outcome was
 * decided. The frame trace (ZELQD_TRACE) formats its lines from the same
 * record.
 *
 * Only the POSIX library exports zelqd_set_observer; the Win32 DLL keeps
 * ZelMain as its one export. Look the function up with dlsym(handle,
 * "zelqd_set_observer") so that a driver without it still loads and works.
 *
 * Threads
 * -------
 * There is one observer per process. zelqd_set_observer may be called from
 * any thread at any time; NULL removes the observer. The observer runs on
 * the thread that called ZelMain, before that call returns, so a host that
 * drives each instance from its own thread knows the instance from the
 * thread as well as from the record. Calls for different instances may run
 * at the same time on different threads. Once zelqd_set_observer has
 * returned, no call of the observer it replaced is still running, and none
 * starts: its context may be freed.
 *
 * The observer must return quickly (the line waits), must not call ZelMain,
 * and must not call zelqd_set_observer. The record and the bytes it points
 * at are valid only during the call.
 */
#ifndef ZELQD_OBSERVER_H
#define ZELQD_OBSERVER_H

#include "zelqd/zelqd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a record describes. */
typedef enum ZelqdOutcomeKind {
  ZELQD_OUTCOME_ATTEMPT = 1, /* one attempt of a transfer */
  ZELQD_OUTCOME_OPEN = 2     /* one open of a port */
} ZelqdOutcomeKind;

/* How it ended. The fields named beside a reason are the ones it fills. */
typedef enum ZelqdReason {
  ZELQD_REASON_OK = 0,
  ZELQD_REASON_OUT_OF_RANGE = 1,    /* variable, count or slots unusable: nothing sent */
  ZELQD_REASON_SENT_SHORT = 2,      /* the request did not go out completely: systemError */
  ZELQD_REASON_TIMEOUT = 3,         /* replyExpected bytes asked for, replyReceived came */
  ZELQD_REASON_CHECKSUM = 4,        /* checksumExpected, checksumSeen */
  ZELQD_REASON_ERROR_REPLY = 5,     /* the remote computer answered "ERROR" */
  ZELQD_REASON_NO_KEYWORD = 6,      /* a write reply with neither "OK" nor "ERROR" */
  ZELQD_REASON_BAD_VALUE_GROUP = 7, /* badGroup: not eight hexadecimal digits */
  ZELQD_REASON_HANG_UP = 8,         /* the device hung up or went away: systemError */
  ZELQD_REASON_IO_ERROR = 9,        /* a read or write failed otherwise: systemError */
  ZELQD_REASON_OPEN_FAILED = 10     /* openStep, systemError */
} ZelqdReason;

/* The step of an open that failed. */
typedef enum ZelqdOpenStep {
  ZELQD_OPEN_STEP_NONE = 0,
  ZELQD_OPEN_STEP_NAME = 1,      /* the name does not fit, or names no device */
  ZELQD_OPEN_STEP_OPEN = 2,      /* the device could not be opened */
  ZELQD_OPEN_STEP_LOCK = 3,      /* another process holds the device's lock */
  ZELQD_OPEN_STEP_EXCLUSIVE = 4, /* exclusive use was refused */
  ZELQD_OPEN_STEP_SETTINGS = 5,  /* reading or applying the line settings failed */
  ZELQD_OPEN_STEP_TIMEOUTS = 6   /* applying the time-outs failed */
} ZelqdOpenStep;

typedef struct ZelqdOutcome {
  uint32_t size;   /* sizeof(ZelqdOutcome) of the driver: fields past it are absent */
  uint32_t kind;   /* ZelqdOutcomeKind */
  uint32_t reason; /* ZelqdReason */
  int32_t code;    /* the call's function code (CodeReadVar, CodeOpenPort, ...) */
  const DriverInstance* instance; /* the instance of the call */

  /* Attempts. */
  int32_t attempt;       /* 1 .. attempts */
  int32_t attempts;      /* ZELQD_ATTEMPTS */
  int32_t variable;      /* the first variable the request names */
  int32_t count;         /* values asked for (1 for ReadVar and WriteVar) */
  const uint8_t* request; /* the request's bytes, requestLength of them */
  int32_t requestLength;
  const uint8_t* reply;   /* the reply bytes that arrived, replyReceived of them */
  int32_t replyExpected;
  int32_t replyReceived;
  int32_t badGroup;             /* BAD_VALUE_GROUP: index of the group, else -1 */
  uint8_t checksumExpected[2];  /* CHECKSUM: the digits computed */
  uint8_t checksumSeen[2];      /* CHECKSUM: the digits received */
  /* Monotonic clock (CLOCK_MONOTONIC), nanoseconds: when the request was
   * written whole, and when the attempt's last read returned. 0 when the
   * attempt never got that far. Their difference, less the wire time of
   * request and reply, is the remote computer's turnaround. */
  uint64_t sentNs;
  uint64_t endedNs;

  /* Opens. */
  uint32_t openStep;      /* ZelqdOpenStep; NONE when the open succeeded */
  const char* portName;   /* the name the open was given, portNameLength bytes, no NUL */
  int32_t portNameLength;

  /* Both: the system's error number (errno) of the failed step, or 0. */
  uint32_t systemError;
} ZelqdOutcome;

typedef void (*ZelqdObserver)(const ZelqdOutcome* outcome, void* context);

/* Sets the process's observer (NULL: none). See "Threads" above. */
ZELQD_API void zelqd_set_observer(ZelqdObserver observer, void* context);

typedef void (*ZelqdSetObserverFunction)(ZelqdObserver observer, void* context);

#ifdef __cplusplus
}
#endif

#endif /* ZELQD_OBSERVER_H */
