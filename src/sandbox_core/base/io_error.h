// Operating-system and I/O-style errors. errno stays a number until text is needed:
// "<description> (os error N)", or a fixed message for errors that carry one.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

namespace sandbox {

struct IoError {
  int code = 0;         // errno value; 0 for an error that is only a message
  std::string message;  // when non-empty, the whole text (replaces the errno text)

  // The last errno, read on the line after the failing call.
  static IoError last() noexcept { return IoError{errno, {}}; }
  static IoError from_errno(int code) { return IoError{code, {}}; }
  // A message-only error; `code` keeps the errno-style kind where one applies.
  static IoError custom(std::string_view message, int code = 0) {
    return IoError{code, std::string(message)};
  }

  // "<text><suffix>", keeping the errno kind (used for " at path \"...\"" annotations).
  IoError annotated(std::string_view suffix) const;
  std::string text() const;
};

// "<strerror description> (os error N)".
std::string os_error_text(int code);

}  // namespace sandbox
