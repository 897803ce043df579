// Putting a file in place on the server so that whoever fetches it meanwhile
// gets the old file or the new one, never part of one: the file goes up under
// a temporary name in the target's folder and is then renamed over the target.
//
// The temporary name keeps the target's stem and extension around a mark of
// this program, the process and the attempt: "index.html" goes up as
// "index.tavro-<pid>-<n>.html". No leading dot, since some servers hide such
// names from listings (and a left-over could never be found again) or refuse
// to write them; the extension stays, since some hosts take only the kinds of
// file they serve.
//
// Servers differ in what they allow:
// - a rename over an existing file (the usual case) replaces it in one step;
// - where the server refuses RNTO onto the existing name, the target is
//   deleted and the rename tried once more (a moment without the file, never
//   a partial one);
// - where it refuses to rename altogether, the temporary file is deleted and
//   the target deleted and uploaded directly, as before.
// A temporary file that failed to go up is deleted where the session still
// lives. One left by an attempt that could not clean up (a killed program, a
// broken session) is deleted by a later successful replace of the same
// target, which lists the folder for left-overs of this program.
#pragma once

#include <string>
#include <string_view>

namespace tavro {

class RemoteSession;

struct ReplaceOptions {
  // Where the server says the target does not exist (SIZE), nothing is
  // uploaded and the replace fails; a server without SIZE has its target
  // deleted first, and a refused delete ends the attempt the same way.
  bool TargetMustExist = false;
  // After a success, list the target's folder and delete the left-overs of
  // earlier attempts for the same target. A failed listing or delete changes
  // nothing in the outcome.
  bool SweepLeftovers = true;
};

// Replaces remoteFile (program text, absolute or relative to the session's
// folder) with the bytes of localFile. True on success; on failure `cause`
// says why, as RemoteSession::LastCause does, from the step that decided it.
bool ReplaceRemoteFile(RemoteSession& session, const std::string& localFile,
                       std::string_view remoteFile, const ReplaceOptions& options,
                       std::string& cause);

// The file name part of a temporary name for the target's file name `name`,
// for this process's attempt `attempt`.
std::string ReplacementName(std::string_view name, unsigned attempt);

// True where `candidate` (a file name in the same encoding as `name`) has the
// form of a temporary name for `name` made by any process of this program.
bool IsReplacementOf(std::string_view candidate, std::string_view name);

}  // namespace tavro
