// Keeps the decoded FTP password out of places other than this process's own
// memory for as long as it runs.
#pragma once

namespace tavro {

// Marks the process not dumpable (Linux PR_SET_DUMPABLE 0): no core file is
// written when it crashes, and another process of the same user can no longer
// attach to it or read its memory through ptrace or /proc/<pid>/mem; a
// debugger then needs root. True where the system took it.
bool HardenProcess();

}  // namespace tavro
