// The concat mode's reading of a manifest and of the paths it names.
#include <string>

#include "helper/offline/concat_manifest.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(fuzzsupport::text(data, size));
  if (!helper::isValidUtf8(text)) return 0;
  for (const helper::SegEntry& entry : helper::parseConcatManifest(text, "mic"))
    (void)helper::joinSegmentPath(helper::manifestBaseDirectory(text), entry.path);
  return 0;
}
