#include "platform/avlog/avlog.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace platform::avlog {

void silenceLibraryLogging() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace platform::avlog
