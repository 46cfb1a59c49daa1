/*
 * zelqd: the outcome of every attempt and every failed open, as a record.
 *
 * The Linux library (libzelqd.so) has a second export besides ZelMain:
 * zelqd_set_observer. A tool that wants to know why a transfer failed looks
 * it up with dlsym (a driver without it still works; the tool then knows
 * only the result codes) and sets one callback for the process. The driver
 * calls it on the thread that called ZelMain, once per attempt of a
 * transfer and once per failed open, with a record made at the point where
 * the attempt ended. The Windows DLL exports ZelMain only.
 *
 * The callback must not call ZelMain, must not keep the record's pointers
 * past its return and should return quickly: the line waits for it. It may
 * set another observer (or none) itself, but not while another thread is
 * setting one too: each would wait for the other.
 * zelqd_set_observer may be called from any thread at any time; it returns
 * once no call of the previous observer is still running, so the caller may
 * free the previous context afterwards. NULL removes the observer.
 *
 * The frame trace (ZELQD_TRACE) writes its lines from the same records.
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
  ZELQD_OUTCOME_OPEN = 2     /* an open that failed */
} ZelqdOutcomeKind;

/* How it ended. The numbers are stable; new reasons are added at the end. */
typedef enum ZelqdReason {
  ZELQD_REASON_OK = 0,              /* the attempt succeeded */
  ZELQD_REASON_OUT_OF_RANGE = 1,    /* variable, count or slots unusable: nothing sent */
  ZELQD_REASON_SENT_SHORT = 2,      /* the request did not go out completely */
  ZELQD_REASON_TIMEOUT = 3,         /* the reply did not arrive in time (see reply*) */
  ZELQD_REASON_CHECKSUM = 4,        /* checksum digits differ (see checksum*) */
  ZELQD_REASON_ERROR_REPLY = 5,     /* the remote computer answered "ERROR" */
  ZELQD_REASON_NO_KEYWORD = 6,      /* a write reply with neither keyword */
  ZELQD_REASON_BAD_VALUE_GROUP = 7, /* a value group that is not eight hex digits (see badGroup) */
  ZELQD_REASON_HANG_UP = 8,         /* the device reported a hang-up (the adapter went away) */
  ZELQD_REASON_IO_ERROR = 9,    /* a read or write failed with a system error (see systemError) */
  ZELQD_REASON_OPEN_FAILED = 10 /* an open failed (see openStep, systemError) */
} ZelqdReason;

/* The step of an open that failed. */
typedef enum ZelqdOpenStep {
  ZELQD_OPEN_STEP_NONE = 0,
  ZELQD_OPEN_STEP_NAME = 1,      /* the name does not fit or names no device */
  ZELQD_OPEN_STEP_OPEN = 2,      /* the device could not be opened */
  ZELQD_OPEN_STEP_LOCK = 3,      /* another process holds the device's lock */
  ZELQD_OPEN_STEP_EXCLUSIVE = 4, /* exclusive use was refused */
  ZELQD_OPEN_STEP_SETTINGS = 5,  /* reading or applying the line settings failed */
  ZELQD_OPEN_STEP_TIMEOUTS = 6   /* applying the time-outs failed */
} ZelqdOpenStep;

typedef struct ZelqdOutcome {
  uint32_t size;  /* sizeof(ZelqdOutcome) of the driver that made it */
  int32_t kind;   /* ZelqdOutcomeKind */
  int32_t reason; /* ZelqdReason */
  int32_t result; /* what this attempt alone would return: ResultOk or ResultFailed */
  const DriverInstance* instance; /* the instance of the call (NULL for an open outside one) */
  int32_t attempt;                /* 1..attempts; 0 for an open */
  int32_t attempts;               /* ZELQD_ATTEMPTS */
  int32_t variable;               /* the first variable of the transfer */
  int32_t count;                  /* values read (0 for a write) */
  const uint8_t* request;         /* the request as sent (or as far as it went) */
  int32_t requestLength;
  const uint8_t* reply;        /* the reply bytes that arrived */
  int32_t replyExpected;       /* reply bytes asked for so far */
  int32_t replyReceived;       /* reply bytes that arrived */
  int32_t badGroup;            /* BAD_VALUE_GROUP: index of the group, else -1 */
  uint8_t checksumExpected[2]; /* CHECKSUM: the two digits computed */
  uint8_t checksumSeen[2];     /* CHECKSUM: the two digits received */
  uint64_t sentNs;             /* monotonic clock: the request's write began */
  uint64_t firstReplyNs; /* monotonic clock: the first read of the reply returned bytes (it may have
                            waited for the whole portion it asked for); 0 if none */
  uint64_t endedNs;      /* monotonic clock: the attempt ended */
  int32_t openStep;      /* OPEN_FAILED: ZelqdOpenStep */
  const char* portName;  /* OPEN_FAILED: the name as given (not NUL-terminated) */
  int32_t portNameLength;
  int32_t systemError; /* errno of HANG_UP, IO_ERROR, OPEN_FAILED; 0 otherwise */
} ZelqdOutcome;

typedef void (*ZelqdObserver)(const ZelqdOutcome* outcome, void* context);

/* Sets the process's observer (NULL: none). POSIX library only. */
ZELQD_API void zelqd_set_observer(ZelqdObserver observer, void* context);

/* The type of zelqd_set_observer, for tools that look it up at run time. */
typedef void (*ZelqdSetObserverFunction)(ZelqdObserver observer, void* context);

#ifdef __cplusplus
}
#endif

#endif /* ZELQD_OBSERVER_H */
