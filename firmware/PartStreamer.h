#pragma once
// One part of a firmware file as the boot loader takes it: the frames it becomes
// (its lines, the data area's lines ahead of a new boot loader, the authorisation
// frame) and the worker's sending of them, one frame at a time, each acknowledged.

#include <atomic>
#include <string>
#include <vector>

#include "support/Result.h"

class TBootLoaderLink;
class TCodePart;
class TReprogramBuffer;

enum class TUpdateState : int {
  Running,     // frames are being sent
  CommError,   // communication failed
  Unsuitable,  // file or boot loader not suitable for the device
  Finished,
};

// Time the worker waits for a line acknowledgement.
inline constexpr int LineReplyTimeout = 18000;

class TPartStreamer {
 public:
  explicit TPartStreamer(TBootLoaderLink& link) : Link(link) {}

  // The file whose parts are sent (not owned).
  void UseFile(TReprogramBuffer* file) { File = file; }
  // What the lines depend on: the version of a device reached through the
  // interface (-1: none) and the device's data area (empty: not read).
  void SetTarget(int deviceVersion, const std::string& dataImage);
  // Prepares part `name` and lets the worker send it; a failure leaves the state
  // Unsuitable.
  TResult Start(const std::string& name, bool withAuthorisation);
  // The worker's step: the next frame, or the end of the part.
  void SendNext();
  // Sends one frame and checks the boot loader's acknowledgement; a failure sets
  // the state and the failure.
  void SendLine(const std::string& frame);
  // The frame payload of one line, empty when the line is left out.
  std::string BuildLine(int partIndex, int line) const;
  std::string BuildAuthFrame(const TCodePart& part, bool final, bool first) const;

  // The worker sends no further line and the part fails (asked from the driving thread).
  void RequestStop() { StopBeforeNextLine = true; }
  // The driving thread sets the state only while the worker is idle.
  void SetState(TUpdateState state) { Now = state; }
  void Fail(TUpdateState state, TResult failure);
  void SetLineReplyTimeout(int ms) { LineReplyTimeoutMs = ms; }

  TUpdateState State() const { return Now; }
  int Percent() const { return Done; }
  int FramesSent() const { return Sent; }
  int FramesTotal() const { return Total; }
  // Frames handed to the link (for tests and diagnostics).
  int LinesTransmitted() const { return Transmitted; }
  // Why the part failed; read once the worker is idle.
  const TResult& Failure() const { return Why; }

 private:
  const TCodePart* PartNamed(const std::string& name) const;
  bool PrepareFrames(const std::string& name, bool withAuthorisation);

  TBootLoaderLink& Link;
  TReprogramBuffer* File = nullptr;
  int DeviceVersion = -1;
  std::string DataImage;
  std::vector<std::string> PrefixFrames;
  int PartIndex = -1;
  int NextLine = 0;
  int LineReplyTimeoutMs = LineReplyTimeout;
  std::atomic<bool> StopBeforeNextLine{false};
  std::atomic<int> Sent{0};
  std::atomic<int> Total{0};
  std::atomic<int> Done{0};
  std::atomic<int> Transmitted{0};
  std::atomic<TUpdateState> Now{TUpdateState::Finished};
  TResult Why;
};
