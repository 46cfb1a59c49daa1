/* The host's message library: formats messages and delivers them. */
#include "dravun.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

static DravunMessageHandler g_handler = NULL;
static void* g_context = NULL;

void DravunSetMessageHandler(DravunMessageHandler handler, void* context) {
  g_handler = handler;
  g_context = context;
}

static void Deliver(int code, const char* message) {
  if (g_handler != NULL) {
    g_handler(code, message, g_context);
  } else {
    fprintf(stderr, "%s\n", message);
    (void)fflush(stderr);
  }
}

int err(int code, const char* format, ...) {
  char small[256];
  va_list args;
  int length;

  if (format == NULL) return 0;
  va_start(args, format);
  length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) return 0;
  if ((size_t)length < sizeof small) {
    Deliver(code, small);
    return 0;
  }

  /* Too long for the buffer on the stack: format it again into one that
   * fits; without memory, deliver what fitted. */
  {
    const size_t size = (size_t)length + 1;
    char* large = (char*)malloc(size);
    if (large == NULL) {
      Deliver(code, small);
      return 0;
    }
    va_start(args, format);
    (void)vsnprintf(large, size, format, args); /* sized by the first pass */
    va_end(args);
    Deliver(code, large);
    free(large);
  }
  return 0;
}
