// SPDX-License-Identifier: MIT
// Calls the engine as its callers do: through a real variadic call, each
// value passed as the type its directive reads, so that on IA32 and ARM an
// int takes four bytes and a 64-bit integer eight (at the place the
// convention puts it). The caller says which values are 64-bit integers;
// every other value is one machine word (an int, a UINTN, a pointer or an
// EFI_STATUS). Used by the unit tests, the model's driver, the fuzzer and
// the self-test images, so it is freestanding C++.
#pragma once
#include "Print.h"

typedef UINTN (*ARGUMENT_USER)(VOID *Context, VA_LIST Arguments);

// A FormatCore call that waits for its argument list, and the user that
// makes it.
typedef struct {
  VOID *Buffer;
  UINTN BufferSize;
  UINTN Flags;
  CONST VOID *Format;
} FORMAT_CALL;

static inline UINTN CallFormatCore(VOID *Context, VA_LIST Arguments) {
  FORMAT_CALL *Call = (FORMAT_CALL *)Context;
  return FormatCore(Call->Buffer, Call->BufferSize, Call->Flags, Call->Format, Arguments);
}

// The most machine words one call passes.
#define ARGUMENT_WORDS 32

// The arguments of a 32-bit machine as its variadic list holds them: words
// in a row, a 64-bit integer in two (low first), on ARM at an even word.
typedef struct {
  UINTN Word[ARGUMENT_WORDS];
} ARGUMENT_IMAGE;

static UINTN EFIAPI CallWithArguments(ARGUMENT_USER User, VOID *Context, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Context);
  UINTN Result = User(Context, Arguments);
  VA_END(Arguments);
  return Result;
}

// Where a 64-bit integer sits among the words: at an even one on ARM, whose
// convention aligns it to 8 bytes; at any one on IA32, whose stack holds
// arguments 4 bytes apart (though a Windows target aligns such a field of a
// structure to 8).
#if defined(__arm__)
static constexpr UINTN LongAlignmentWords = 2;
#else
static constexpr UINTN LongAlignmentWords = 1;
#endif

// Calls User with Count values as an argument list, value N a 64-bit integer
// where bit N of Long says so. On the 64-bit machines every argument is one
// 8-byte slot whatever its type, and an int is read from its low half; on
// the 32-bit ones the list is laid out word by word and passed whole, as a
// structure is. FALSE in *Passed (and nothing called) when the values take
// more than ARGUMENT_WORDS words.
static inline UINTN WithArguments(ARGUMENT_USER User, VOID *Context, CONST UINT64 *Values, UINTN Count,
                                  UINT32 Long, BOOLEAN *Passed) {
  *Passed = FALSE;
  if constexpr (sizeof(UINTN) == 8) {
    if (Count > ARGUMENT_WORDS) {
      return 0;
    }
    UINT64 S[ARGUMENT_WORDS] = {};
    for (UINTN Index = 0; Index < Count; Index++) {
      S[Index] = Values[Index];
    }
    *Passed = TRUE;
    return CallWithArguments(User, Context, S[0], S[1], S[2], S[3], S[4], S[5], S[6], S[7], S[8], S[9], S[10],
                             S[11], S[12], S[13], S[14], S[15], S[16], S[17], S[18], S[19], S[20], S[21], S[22],
                             S[23], S[24], S[25], S[26], S[27], S[28], S[29], S[30], S[31]);
  } else {
    ARGUMENT_IMAGE Image = {};
    UINTN At = 0;
    for (UINTN Index = 0; Index < Count; Index++) {
      BOOLEAN IsLong = Index < 32 && (Long >> Index & 1) != 0;
      if (IsLong) {
        At += At % LongAlignmentWords;
      }
      if (At + (IsLong ? 2 : 1) > ARGUMENT_WORDS) {
        return 0;
      }
      Image.Word[At++] = (UINTN)Values[Index];
      if (IsLong) {
        Image.Word[At++] = (UINTN)(Values[Index] >> 32);
      }
    }
    *Passed = TRUE;
    return CallWithArguments(User, Context, Image);
  }
}
