// The failure value of every fallible step: a message with the chain of its causes.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavrel {

class CommandError {
 public:
  explicit CommandError(std::string message) { messages_.push_back(std::move(message)); }

  // Puts `context` above this error: the new outermost message.
  [[nodiscard]] CommandError context(std::string context) && {
    messages_.insert(messages_.begin(), std::move(context));
    return std::move(*this);
  }

  const std::string& message() const { return messages_.front(); }
  // All messages, outermost first.
  const std::vector<std::string>& messages() const { return messages_; }
  // The chain form: all messages joined by ": ".
  std::string chain() const;

 private:
  std::vector<std::string> messages_;
};

// Success with a value, or a CommandError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(CommandError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const CommandError& error() const& { return std::get<1>(v_); }
  CommandError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, CommandError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CommandError error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const CommandError& error() const& { return error_; }
  CommandError&& error() && { return std::move(error_); }

 private:
  CommandError error_{""};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tavrel
