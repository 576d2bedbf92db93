// SPDX-License-Identifier: MIT
// libFuzzer target: the image reader behind tamberlune-inspect, on any bytes.
// Seeded with the built image, the mutations keep most of a real PE32+ image.
#include <cstdint>
#include <string>

#include "PeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  PE_IMAGE Image;
  HELP_RESOURCE Help;
  std::string Error;
  if (ParsePeImage(Data, Size, &Image, &Error)) {
    ReadHelpResource(Data, Size, Image, &Help, &Error);
  }
  return 0;
}
