// kelvaro: finalises one session directory into its upload-ready audio.
#include "bin/standard_descriptors.h"
#include "recorder/export/entry.h"

int main(int argc, char** argv) {
  holdClosedStandardDescriptors();
  return recorder::exporter::kelvaro_main(argc, argv);
}
