/*
 * zelqd: communication driver for a remote host computer on an RS232 line.
 *
 * A host application loads the driver and calls its one export, ZelMain, with
 * a DriverCall that names a function code and points at the per-port
 * DriverInstance and at the parameter block of that code. Every call returns
 * ResultOk, ResultRefused or ResultFailed.
 *
 * Record layouts
 * --------------
 * All integers are little-endian. On 32-bit targets (ILP32: i686 Windows and
 * Linux) every record has exactly the offsets and widths given beside its
 * fields; the driver's build pins them with static assertions. On 64-bit
 * targets (LP64) the same records are compiled as natural C structs: a
 * pointer field is 8 bytes wide and the fields after it move to their natural
 * alignment. The offsets in the comments are the ILP32 ones; where LP64
 * differs, it is given as "LP64: n". DriverInstance, PortSpec, LineSettings,
 * OpenRequest and PortChangeRequest hold no pointer and have the same layout
 * on every target (DriverInstance is 684 bytes everywhere).
 *
 * Threads
 * -------
 * The driver starts no thread and takes no lock. It is safe to drive
 * different instances from different threads, one thread per instance at a
 * time; two threads must never use the same DriverInstance at once. Address
 * parsing keeps its work buffer on the caller's stack and shares nothing.
 *
 * Instances
 * ---------
 * The host allocates a DriverInstance of the size GetDriverInfo reports and
 * clears it to zero before the first call: a zero port field means "no port
 * open".
 */
#ifndef ZELQD_ZELQD_H
#define ZELQD_ZELQD_H

/* Fixed-width integers; Microsoft's compilers before Visual C++ 2010 have
 * no stdint.h. */
#if defined(_MSC_VER) && _MSC_VER < 1600
typedef signed __int32 int32_t;
typedef unsigned __int32 uint32_t;
typedef unsigned __int16 uint16_t;
typedef unsigned __int8 uint8_t;
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention and export of the entry point. On Windows, ZelMain is
 * __stdcall (it removes its one 4-byte argument): a C or C++ caller
 * references _ZelMain@4, which the import libraries zelqd.lib and
 * libzelqd.dll.a bind to the DLL's export ZelMain. */
#if defined(_WIN32)
#define ZELQD_CALL __stdcall
#if defined(ZELQD_BUILDING_DRIVER)
#define ZELQD_API __declspec(dllexport)
#else
#define ZELQD_API
#endif
#else
#define ZELQD_CALL
#if defined(ZELQD_BUILDING_DRIVER)
#define ZELQD_API __attribute__((visibility("default")))
#else
#define ZELQD_API
#endif
#endif

/* Host result codes: the only values ZelMain ever returns. */
enum ZelResult {
  ResultOk = 0,      /* done */
  ResultRefused = 1, /* invalid address, or traffic suspended by STOP */
  ResultFailed = 2   /* port could not be opened or closed, or the exchange failed */
};

/* Function codes (the index into the driver's 16-slot table). */
enum ZelFunctionCode {
  CodeOpenPort = 1,        /* OpenRequest */
  CodePurgeInput = 2,      /* no parameter block */
  CodeParseAddress = 3,    /* AddressRequest */
  CodeCheckAddress = 4,    /* AddressRequest */
  CodeReadVar = 5,         /* TransferRequest */
  CodeReadBlock = 6,       /* TransferRequest */
  CodeWriteVar = 7,        /* TransferRequest */
  CodeWriteValue = 10,     /* TransferRequest */
  CodeShutdown = 11,       /* no parameter block */
  CodeClosePort = 12,      /* no parameter block */
  CodeReopenPort = 13,     /* no parameter block */
  CodeGetDriverInfo = 14,  /* DriverInfo */
  CodeChangeZelParams = 15 /* PortChangeRequest */
};

/* Size of DriverInstance in bytes, as GetDriverInfo reports it. */
#define ZELQD_INSTANCE_SIZE 684

/* Variable classes written by ParseAddress and read by the transfer codes. */
#define ZELQD_CLASS_NUMERIC 255
#define ZELQD_CLASS_STOP 1

/* Largest value count of one block read. */
#define ZELQD_MAX_BLOCK 106

/* Timing facts of every transfer. PortSpec.replyTimeout counts units of
 * ZELQD_TIMEOUT_UNIT_MS; the read time-out in force is never below
 * ZELQD_MIN_READ_TIMEOUT_MS; a transfer makes at most ZELQD_ATTEMPTS
 * attempts. ParseAddress accepts "$STOP" under ZELQD_ACCESS_TRANSFER. */
#define ZELQD_TIMEOUT_UNIT_MS 10
#define ZELQD_MIN_READ_TIMEOUT_MS 1200
#define ZELQD_ATTEMPTS 5
#define ZELQD_ACCESS_TRANSFER 6

/* DTR and RTS control bits of PortSpec.controlFlags (first matching wins). */
#define ZELQD_DTR_ON 0x0101u
#define ZELQD_DTR_HANDSHAKE 0x8000u
#define ZELQD_RTS_ON 0x0202u
#define ZELQD_RTS_HANDSHAKE 0x1000u
#define ZELQD_RTS_TOGGLE 0x2000u

/* The records below are laid out without any padding on 32-bit targets.
 * On Windows they are compiled with the default packing whatever the
 * host's compiler options (/Zp) or an enclosing #pragma pack say. */
#if defined(_WIN32)
#pragma pack(push, 8)
#endif

/* Line settings: 8 bytes; each one-byte field is followed by a byte the
 * driver never reads. */
typedef struct LineSettings {
  uint16_t baudRate; /* 0: bits per second */
  uint8_t dataBits;  /* 2: data bits per character */
  uint8_t reserved3; /* 3 */
  uint8_t stopBits;  /* 4: 0 one, 1 one and a half, 2 two */
  uint8_t reserved5; /* 5 */
  uint8_t parity;    /* 6: 0 none, 1 odd, 2 even, 3 mark, 4 space */
  uint8_t reserved7; /* 7 */
} LineSettings;

/* The port a DriverInstance is bound to: 22 bytes. */
typedef struct PortSpec {
  char name[12];         /* 0: NUL-terminated device name, at most 11 characters */
  LineSettings settings; /* 12 */
  uint16_t controlFlags; /* 20: ZELQD_DTR_* and ZELQD_RTS_* bits */
} PortSpec;

/* Per-port record, 684 bytes on every target. Allocated and zeroed by the
 * host; written only by the driver afterwards. */
typedef struct DriverInstance {
  int32_t replyTimeout;    /* 0: reply time-out in units of 10 ms */
  uint32_t port;           /* 4: handle of the open port; 0 while closed */
  int32_t active;          /* 8: copied from OpenRequest.active */
  uint8_t reserved12[640]; /* 12 */
  uint16_t sequence;       /* 652: sequence character of requests */
  uint8_t leadByte;        /* 654: first byte of every request */
  uint8_t reserved655[3];  /* 655 */
  uint16_t stopped;        /* 658: 0 traffic allowed, 1 suspended */
  PortSpec portSpec;       /* 660 */
  uint8_t reserved682[2];  /* 682 */
} DriverInstance;

/* The call block handed to ZelMain. ILP32: 20 bytes; LP64: 32 bytes. */
typedef struct DriverCall {
  DriverInstance* instance; /* 0 */
  int32_t code;             /* 4 (LP64: 8): function code */
  uint8_t reserved8[8];     /* 8 (LP64: 12) */
  void* params;             /* 16 (LP64: 24): parameter block of the code */
} DriverCall;

/* Parameter block of GetDriverInfo (code 14). The driver writes every field
 * but reserved20. ILP32: 32 bytes; LP64: 48 bytes. */
typedef struct DriverInfo {
  int32_t infoTag;       /* 0: 70 */
  const char* shortName; /* 4 (LP64: 8): "General Purpose" */
  const char* banner;    /* 8 (LP64: 16): 316 bytes of code page 437 text, NUL-terminated */
  int32_t instanceSize;  /* 12 (LP64: 24): 684 */
  int32_t infoFlagA;     /* 16 (LP64: 28): 1 */
  uint8_t reserved20[8]; /* 20 (LP64: 32): never written */
  int32_t infoFlagB;     /* 28 (LP64: 40): 1 */
} DriverInfo;

/* Parameter block of ParseAddress (3) and CheckAddress (4).
 * ILP32: 36 bytes; LP64: 40 bytes. */
typedef struct AddressRequest {
  const char* addressText; /* 0: NUL-terminated address text */
  int32_t reserved4;       /* 4 (LP64: 8) */
  int32_t accessKind;      /* 8 (LP64: 12): 6 is the only value told apart */
  int32_t reserved12;      /* 12 (LP64: 16) */
  int32_t presetZero;      /* 16 (LP64: 20): written 0 on a template match */
  int32_t typeLetter;      /* 20 (LP64: 24): 'N' numeric, 'S' STOP */
  int32_t variableNumber;  /* 24 (LP64: 28): 0..99999 for a numeric variable */
  int32_t variableClass;   /* 28 (LP64: 32): 255 numeric, 1 STOP */
  int32_t presetThirtyTwo; /* 32 (LP64: 36): written 32 on a template match */
} AddressRequest;

/* Parameter block of OpenPort (code 1): 28 bytes. */
typedef struct OpenRequest {
  char name[12];         /* 0: NUL-terminated device name */
  int32_t active;        /* 12: 0 means that no port is to be opened */
  int32_t replyTimeout;  /* 16: reply time-out in units of 10 ms */
  LineSettings settings; /* 20 */
} OpenRequest;

/* Parameter block of ChangeZelParams (code 15): 24 bytes. */
typedef struct PortChangeRequest {
  char name[16];         /* 0: NUL-terminated name of the new port (at most 11 characters) */
  LineSettings settings; /* 16: ignored when settings.baudRate is 0 */
} PortChangeRequest;

/* One value slot: a 32-bit value as two 16-bit little-endian words, the
 * high half first. */
typedef struct ValueSlot {
  uint16_t high; /* 0: bits 16..31 */
  uint16_t low;  /* 2: bits 0..15; bit 0 is the STOP variable's value */
} ValueSlot;

/* Parameter block of ReadVar (5), ReadBlock (6), WriteVar (7) and
 * WriteValue (10). ILP32: 44 bytes; LP64: 48 bytes. */
typedef struct TransferRequest {
  uint8_t reserved0[16];  /* 0 */
  int32_t variableNumber; /* 16: 0..99999 */
  int32_t variableClass;  /* 20: ZELQD_CLASS_NUMERIC or ZELQD_CLASS_STOP */
  uint8_t reserved24[8];  /* 24 */
  int32_t valueCount;     /* 32: values to read, 0..106 */
  uint8_t reserved36[4];  /* 36 */
  ValueSlot* values;      /* 40: valueCount slots for a read, one for a write */
} TransferRequest;

#if defined(_WIN32)
#pragma pack(pop)
#endif

/* The driver's only entry point. */
ZELQD_API int32_t ZELQD_CALL ZelMain(const DriverCall* call);

/* The type of ZelMain, for hosts that load the library at run time. */
typedef int32_t(ZELQD_CALL* ZelMainFunction)(const DriverCall* call);

#ifdef __cplusplus
}
#endif

#endif /* ZELQD_ZELQD_H */
