#include "platform/ProcessHardening.h"

#include <sys/prctl.h>

namespace tavro {

bool HardenProcess() {
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace tavro
