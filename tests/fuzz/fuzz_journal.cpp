// The journal reader and the echo-risk query on any bytes as journal.jsonl.
#include "recorder/journal/journal.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& dir = fuzzsupport::scratchDir();
  fuzzsupport::writeFile(dir / recorder::journal::kJournalFileName, fuzzsupport::text(data, size));
  (void)recorder::journal::read_journal(dir / recorder::journal::kJournalFileName);
  (void)recorder::journal::session_echo_risk_from_journal(dir);
  return 0;
}
