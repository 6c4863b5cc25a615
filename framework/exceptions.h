#pragma once
// The exception family of the framework layer. Every exception the library throws derives
// from Exception, so that a caller can catch one type and read a message.

#include <exception>
#include <string>
#include <utility>

namespace korvel {

// Base of every exception of the library: a message text and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 protected:
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

// Misuse of a dataset component (component-level messages).
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// A text that does not convert to the value asked for.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace korvel
