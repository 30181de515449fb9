// The cleaning library's one error value.
#pragma once

#include <string>

namespace wd {

enum class ErrorKind {
  Cancelled,  // the caller set the cancel cell
  Model,      // reading, decoding, building or checking the model
  Input,      // opening, sizing or reading the input recording
  Output,     // creating, writing or flushing the output recording
  Other,      // paths, the transform, the model step, internal failures
};

struct CleanError {
  ErrorKind kind;
  std::string message;  // empty for Cancelled

  static CleanError cancelled() { return {ErrorKind::Cancelled, {}}; }
  static CleanError model(std::string text) { return {ErrorKind::Model, std::move(text)}; }
  static CleanError input(std::string text) { return {ErrorKind::Input, std::move(text)}; }
  static CleanError output(std::string text) { return {ErrorKind::Output, std::move(text)}; }
  static CleanError other(std::string text) { return {ErrorKind::Other, std::move(text)}; }
};

}  // namespace wd
