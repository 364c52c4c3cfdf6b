#pragma once

#include <stdexcept>
#include <string>

namespace zelto::tool {

//! A problem with the tool's input (file, recording, option) that ends the command. The message
//! is one line, shown to the user after "zelto-payload: error: "; it names the file and, where
//! there is one, the line.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};

//! A command line the tool cannot make sense of. Shown like ToolError, followed by a hint to
//! the command's usage.
class UsageError : public ToolError {
 public:
  explicit UsageError(const std::string& message) : ToolError(message) {}
};

//! Exit statuses of every command.
enum ExitStatus : int {
  kExitOk = 0,           //!< the command did what it was asked
  kExitFailed = 1,       //!< it ran, but the answer is negative (no estimate, inconsistent file)
  kExitBadInput = 2,     //!< bad command line or unreadable input; nothing was done
  kExitInconsistent = 3  //!< estimate: a payload file was written but is physically impossible
};

}  // namespace zelto::tool
