/*
 * A host written in C that links zelqd.dll through its import library
 * (libzelqd.dll.a), as an integrator's program does, instead of loading it
 * at run time. It runs under zelqd_wine_peer with the simulator on the far
 * end of COM5, and checks what such a host relies on:
 *   - the driver's description and the instance size;
 *   - the address texts parse as a host's address dialog asks for them:
 *     "$00042" as numeric variable 42, "$STOP" (access kind 6, the only
 *     kind that may name it) as the STOP variable, and "$STOP" of any other
 *     access kind refused;
 *   - a write, a read and a block read reach the simulator's table;
 *   - STOP suspends the transfers, reads back as set, and releases them
 *     again, with no traffic on the line while set;
 *   - with ZELQD_TRACE naming a file, each attempt gives one line whose
 *     time stamp is the UTC time of the attempt.
 * Exits 0 when all holds; prints each failed check.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zelqd/zelqd.h"

static int g_failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++g_failures;                                                                 \
    }                                                                               \
  } while (0)

static int32_t Call(DriverInstance* instance, int32_t code, void* params) {
  DriverCall call;
  memset(&call, 0, sizeof call);
  call.instance = instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

/* The access kind a host puts in the block for the STOP variable; every
 * other kind names numeric variables only. */
enum { kAccessStop = 6, kAccessNumeric = 1 };

static AddressRequest Parse(DriverInstance* instance, const char* text, int32_t accessKind,
                            int32_t expected) {
  AddressRequest address;
  memset(&address, 0, sizeof address);
  address.addressText = text;
  address.accessKind = accessKind;
  address.variableNumber = -1;
  CHECK(Call(instance, CodeParseAddress, &address) == expected);
  return address;
}

static int32_t Transfer(DriverInstance* instance, int32_t code, const AddressRequest* address,
                        ValueSlot* slots, int32_t count) {
  TransferRequest request;
  memset(&request, 0, sizeof request);
  request.variableNumber = address->variableNumber;
  request.variableClass = address->variableClass;
  request.valueCount = count;
  request.values = slots;
  return Call(instance, code, &request);
}

static uint32_t ValueOf(ValueSlot slot) { return ((uint32_t)slot.high << 16) | slot.low; }

static ULONGLONG Ticks(const SYSTEMTIME* time) {
  FILETIME file;
  ULARGE_INTEGER ticks;
  if (!SystemTimeToFileTime(time, &file)) return 0;
  ticks.LowPart = file.dwLowDateTime;
  ticks.HighPart = file.dwHighDateTime;
  return ticks.QuadPart;
}

/* Checks the trace's lines: count lines, each of a successful first
 * attempt, stamped between from and to (UTC, as Windows' own calendar
 * gives it). */
static void CheckTrace(const char* path, int count, const SYSTEMTIME* from, const SYSTEMTIME* to) {
  const ULONGLONG kSecond = 10000000;
  const ULONGLONG earliest = Ticks(from) - kSecond;
  const ULONGLONG latest = Ticks(to) + kSecond;
  char line[4200];
  int lines = 0;
  FILE* file = fopen(path, "r");
  CHECK(file != NULL);
  if (file == NULL) return;
  while (fgets(line, sizeof line, file) != NULL) {
    SYSTEMTIME stamp;
    unsigned year, month, day, hour, minute, second, millisecond;
    char zone = 0;
    int used = 0;
    ++lines;
    fprintf(stderr, "trace: %s", line);
    memset(&stamp, 0, sizeof stamp);
    CHECK(sscanf(line, "%4u-%2u-%2uT%2u:%2u:%2u.%3u%c%n", &year, &month, &day, &hour, &minute,
                 &second, &millisecond, &zone, &used) == 8);
    CHECK(zone == 'Z' && used == 24);
    stamp.wYear = (WORD)year;
    stamp.wMonth = (WORD)month;
    stamp.wDay = (WORD)day;
    stamp.wHour = (WORD)hour;
    stamp.wMinute = (WORD)minute;
    stamp.wSecond = (WORD)second;
    stamp.wMilliseconds = (WORD)millisecond;
    CHECK(Ticks(&stamp) >= earliest && Ticks(&stamp) <= latest);
    CHECK(strncmp(line + used, " zelqd attempt 1/5 sent \"", 25) == 0);
    CHECK(strstr(line, " -> ok\n") != NULL);
  }
  fclose(file);
  CHECK(lines == count);
}

int main(void) {
  char directory[MAX_PATH];
  char tracePath[MAX_PATH + 32];
  char setting[MAX_PATH + 64];
  DriverInfo info;
  DriverInstance* instance;
  OpenRequest open;
  AddressRequest variable, stop;
  ValueSlot slot, block[3];
  SYSTEMTIME before, after;

  /* The trace goes to a file of a fresh directory of this run's own; the
   * driver reads ZELQD_TRACE at its first transfer. */
  if (GetTempPathA(MAX_PATH, directory) == 0 ||
      GetTempFileNameA(directory, "zlq", 0, directory) == 0 || !DeleteFileA(directory) ||
      !CreateDirectoryA(directory, NULL)) {
    fprintf(stderr, "cannot make a temporary directory\n");
    return 1;
  }
  sprintf(tracePath, "%s\\trace.log", directory);
  sprintf(setting, "ZELQD_TRACE=%s", tracePath);
  _putenv(setting);

  memset(&info, 0, sizeof info);
  CHECK(Call(NULL, CodeGetDriverInfo, &info) == ResultOk);
  CHECK(info.instanceSize == ZELQD_INSTANCE_SIZE);
  CHECK(info.shortName != NULL && strcmp(info.shortName, "General Purpose") == 0);
  instance = (DriverInstance*)calloc(1, (size_t)info.instanceSize);
  if (instance == NULL) return 1;

  memset(&open, 0, sizeof open);
  strcpy(open.name, "COM5");
  open.active = 1;
  open.replyTimeout = 120;
  open.settings.baudRate = 9600;
  open.settings.dataBits = 8;
  if (Call(instance, CodeOpenPort, &open) != ResultOk) {
    fprintf(stderr, "OpenPort COM5 failed (run under zelqd_wine_peer --sim 5)\n");
    return 1;
  }

  GetSystemTime(&before);
  variable = Parse(instance, "$00042", kAccessNumeric, ResultOk);
  CHECK(variable.typeLetter == 'N' && variable.variableNumber == 42);
  CHECK(variable.variableClass == ZELQD_CLASS_NUMERIC);
  CHECK(variable.presetZero == 0 && variable.presetThirtyTwo == 32);
  slot.high = 0x1234;
  slot.low = 0x5678;
  CHECK(Transfer(instance, CodeWriteVar, &variable, &slot, 1) == ResultOk);
  slot.high = slot.low = 0;
  CHECK(Transfer(instance, CodeReadVar, &variable, &slot, 0) == ResultOk);
  CHECK(ValueOf(slot) == 0x12345678u);
  memset(block, 0, sizeof block);
  CHECK(Transfer(instance, CodeReadBlock, &variable, block, 3) == ResultOk);
  CHECK(ValueOf(block[0]) == 0x12345678u);

  /* STOP: no traffic while set, and none of it in the trace. */
  stop = Parse(instance, "$STOP", kAccessNumeric, ResultRefused);
  CHECK(stop.variableClass != ZELQD_CLASS_STOP && stop.typeLetter != 'S');
  stop = Parse(instance, "$stop", kAccessStop, ResultOk);
  CHECK(stop.typeLetter == 'S' && stop.variableClass == ZELQD_CLASS_STOP);
  CHECK(stop.variableNumber == -1);
  CHECK(stop.presetZero == 0 && stop.presetThirtyTwo == 32);
  slot.high = 0;
  slot.low = 1;
  CHECK(Transfer(instance, CodeWriteVar, &stop, &slot, 1) == ResultOk);
  CHECK(instance->stopped == 1);
  slot.low = 0;
  CHECK(Transfer(instance, CodeReadVar, &stop, &slot, 0) == ResultOk);
  CHECK((slot.low & 1u) == 1u);
  CHECK(Transfer(instance, CodeReadVar, &variable, &slot, 0) == ResultRefused);
  CHECK(Transfer(instance, CodeWriteVar, &variable, &slot, 1) == ResultRefused);
  slot.high = 0;
  slot.low = 0;
  CHECK(Transfer(instance, CodeWriteVar, &stop, &slot, 1) == ResultOk);
  CHECK(instance->stopped == 0);
  slot.low = 1;
  CHECK(Transfer(instance, CodeReadVar, &stop, &slot, 0) == ResultOk);
  CHECK((slot.low & 1u) == 0u);
  CHECK(Transfer(instance, CodeReadVar, &variable, &slot, 0) == ResultOk);
  GetSystemTime(&after);

  CHECK(Call(instance, CodeClosePort, NULL) == ResultOk);
  CHECK(instance->port == 0);
  free(instance);

  /* The driver keeps the trace file open until the process ends, so the
   * file stays behind in the temporary directory (of the build's Wine
   * prefix, under the test runner). */
  CheckTrace(tracePath, 4, &before, &after);

  if (g_failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", g_failures);
    return 1;
  }
  printf("linked host: all checks passed\n");
  return 0;
}
