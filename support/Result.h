#pragma once
// The result of an operation above the serial port: what kind of failure it was,
// and the text the user reads. Callers decide by the kind, never by the text; the
// console turns kinds into exit statuses and the window into colours, each in one
// place.

#include <string>
#include <utility>

enum class TFault {
  None,             // done
  BadInput,         // the caller's input (an option, a number, a file) is unusable
  PortUnavailable,  // the port could not be opened
  PortLost,         // the port went away while in use
  NoInterface,      // no interface answered on the port
  NoDevice,         // the interface answered, the device behind it did not
  Unsuitable,       // the device, its firmware or a file is not fit for the operation
  Communication,    // an exchange with the device failed part-way
  NotVerified,      // a write was not read back as written
  Stopped,          // the user asked for the stop
  Storage,          // a file or record of ours could not be written
};

class TResult {
 public:
  TResult() = default;
  static TResult Success() { return {}; }
  static TResult Failure(TFault fault, std::string text = {}) {
    return TResult(fault, std::move(text));
  }

  bool Ok() const { return Kind == TFault::None; }
  explicit operator bool() const { return Ok(); }
  TFault Fault() const { return Kind; }
  const std::string& Text() const { return UserText; }

 private:
  TResult(TFault fault, std::string text) : Kind(fault), UserText(std::move(text)) {}

  TFault Kind = TFault::None;
  std::string UserText;
};
