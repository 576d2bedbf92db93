// SPDX-License-Identifier: MIT
// Calls the engine as its callers do: through a real variadic call, each
// value passed as the type its directive reads, so that on IA32 and ARM an
// int takes four bytes and a 64-bit integer eight (at the place the
// convention puts it). Used by the unit tests on the host and by the
// self-test images, so it is freestanding C++.
#pragma once
#include "Uefi.h"

// Bit N set: argument N is a 64-bit integer (d u x X with l or L). Every
// other argument is one machine word: an int, a UINTN ('*'), a pointer or an
// EFI_STATUS. Format is 8-bit or UCS-2 (FmtBytes 1 or 2).
static inline UINT32 LongArguments(CONST VOID *Format, UINTN FmtBytes) {
  CONST UINT8 *At = (CONST UINT8 *)Format;
  auto Character = [&] { return FmtBytes == 2 ? (UINTN)(At[0] | At[1] << 8) : (UINTN)At[0]; };
  UINT32 Long = 0;
  UINTN Argument = 0;
  for (; At != nullptr && Character() != 0; At += FmtBytes) {
    if (Character() != '%') {
      continue;
    }
    BOOLEAN IsLong = FALSE;
    for (At += FmtBytes;; At += FmtBytes) {
      UINTN Flag = Character();
      if (Flag == '*') {
        Argument++;
      } else if (Flag == 'l' || Flag == 'L') {
        IsLong = TRUE;
      } else if (!(Flag == '-' || Flag == '+' || Flag == ' ' || Flag == ',' || Flag == '.' ||
                   (Flag >= '0' && Flag <= '9'))) {
        break;
      }
    }
    UINTN Conversion = Character();
    if (Conversion == 0) {
      break;
    }
    BOOLEAN Integer = Conversion == 'd' || Conversion == 'u' || Conversion == 'x' || Conversion == 'X';
    if (Integer && IsLong && Argument < 32) {
      Long |= 1u << Argument;
    }
    for (CONST CHAR8 *Reads = "duxXpcasSgtr"; *Reads != 0; Reads++) {
      Argument += (UINTN)*Reads == Conversion;
    }
  }
  return Long;
}

typedef UINTN (*ARGUMENT_USER)(VOID *Context, VA_LIST Arguments);

static UINTN EFIAPI CallWithArguments(ARGUMENT_USER User, VOID *Context, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Context);
  UINTN Result = User(Context, Arguments);
  VA_END(Arguments);
  return Result;
}

// Every type combination is a call of its own: up to MixedArguments values
// with 64-bit integers among them, and up to WordArguments of words alone.
static constexpr UINTN MixedArguments = 4;
static constexpr UINTN WordArguments = 12;

template <UINTN Left, BOOLEAN Mixed, typename... PASSED>
static UINTN PassArguments(ARGUMENT_USER User, VOID *Context, CONST UINT64 *Values, UINT32 Long,
                           PASSED... Passed) {
  if constexpr (Left == 0) {
    return CallWithArguments(User, Context, Passed...);
  } else if constexpr (Mixed) {
    if (Long & 1) {
      return PassArguments<Left - 1, Mixed>(User, Context, Values + 1, Long >> 1, Passed..., Values[0]);
    }
    return PassArguments<Left - 1, Mixed>(User, Context, Values + 1, Long >> 1, Passed..., (UINTN)Values[0]);
  } else {
    return PassArguments<Left - 1, Mixed>(User, Context, Values + 1, 0, Passed..., (UINTN)Values[0]);
  }
}

template <UINTN Count, BOOLEAN Mixed>
static UINTN PassCount(ARGUMENT_USER User, VOID *Context, CONST UINT64 *Values, UINTN Given, UINT32 Long,
                       BOOLEAN *Passed) {
  if (Given == Count) {
    *Passed = TRUE;
    return PassArguments<Count, Mixed>(User, Context, Values, Long);
  }
  if constexpr (Count > 0) {
    return PassCount<Count - 1, Mixed>(User, Context, Values, Given, Long, Passed);
  }
  return 0;
}

// Calls User with Count values as an argument list, argument N a 64-bit
// integer where bit N of Long says so. On the 64-bit machines every
// argument is one 8-byte slot whatever its type. FALSE in *Passed when the
// harness has no call of that shape (more values than it can pass).
static inline UINTN WithArguments(ARGUMENT_USER User, VOID *Context, CONST UINT64 *Values, UINTN Count,
                                  UINT32 Long, BOOLEAN *Passed) {
  *Passed = FALSE;
  if (sizeof(UINTN) == 8 || Long == 0) {
    return PassCount<WordArguments, FALSE>(User, Context, Values, Count, 0, Passed);
  }
  return PassCount<MixedArguments, TRUE>(User, Context, Values, Count, Long, Passed);
}
