// kelvaro: finalises one session directory into its upload-ready audio.
#include "recorder/export/entry.h"

int main(int argc, char** argv) { return recorder::exporter::kelvaro_main(argc, argv); }
