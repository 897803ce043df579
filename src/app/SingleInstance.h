// One Tavro per settings folder. Two would probe, publish and save the same
// settings over each other; so a second start finds the first, asks it to
// show its window and ends.
//
// The first start holds a lock file in the settings folder and answers on a
// local socket named after that folder. The lock decides who is first, also
// for two starts at the same moment; one that finds it held asks the holder
// over the socket, trying again for a while where the holder is not listening
// yet. A holder killed outright leaves its lock and socket file behind: the
// lock is taken over once its process is gone, and the socket file is
// replaced.
//
// The socket is a plain Unix one watched by the event loop: it is the only
// socket the window itself needs, and Qt's network module for it would cost
// every start more memory than the rest of the hand-over together.
#pragma once

#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QLockFile;

namespace tavro {

class SingleInstance {
public:
  // How long a second start keeps asking a first one that does not answer.
  static constexpr std::chrono::milliseconds kPatience{10000};

  // For the settings kept in `settingsFile`; an empty path (no home folder)
  // never finds another start.
  explicit SingleInstance(std::filesystem::path settingsFile,
                          std::chrono::milliseconds patience = kPatience);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // nullopt where this start is the first (or cannot tell, as where the
  // folder cannot be written: then it runs as it always did). Otherwise the
  // first start has been asked to show its window, one line on stderr says
  // so, and the result is the exit status: 0 where it answered, 1 where it
  // did not within the patience. Needs no application object.
  std::optional<int> ClaimOrHandOver();

  // The first start: from now on each request runs onShow, on the thread of
  // the application object, which must exist. False where nothing listens.
  bool Listen(std::function<void()> onShow);
  // Requests are no longer answered; a start from now on waits for the lock.
  void StopListening();
  // Stops listening and gives up the lock.
  void Release();

  // The socket the first start answers on: named by a hash of the settings
  // folder, so short whatever that path's length, in the user's runtime
  // folder (the temporary folder where there is none).
  QString ServerName() const { return Name; }
  std::filesystem::path LockFile() const { return Lock; }

private:
  class Listener;
  enum class Answer { Shown, NotListening, NoReply };
  bool TryLock();
  Answer AskToShow(std::chrono::milliseconds wait) const;

  std::filesystem::path File;
  std::filesystem::path Lock;
  QString Name;
  std::chrono::milliseconds Patience;
  std::unique_ptr<QLockFile> LockFileHeld;
  std::unique_ptr<Listener> Server;
};

}  // namespace tavro
