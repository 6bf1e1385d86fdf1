// A failure raised inside the installer: a class name, a message and the address it was raised
// at, which the failure reporter turns into a module name and offset.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace vannix {

class Failure : public std::exception {
 public:
  // Records the caller's address, so the report points at the code that raised the failure.
  [[gnu::noinline]] Failure(std::string class_name, std::u16string message)
      : class_name_(std::move(class_name)),
        message_(std::move(message)),
        address_(reinterpret_cast<std::uintptr_t>(
            __builtin_extract_return_addr(__builtin_return_address(0)))) {}
  Failure(std::string class_name, std::u16string message, std::uintptr_t address)
      : class_name_(std::move(class_name)), message_(std::move(message)), address_(address) {}

  const char* what() const noexcept override { return class_name_.c_str(); }
  const std::string& class_name() const { return class_name_; }
  const std::u16string& message() const { return message_; }
  std::uintptr_t address() const { return address_; }

 private:
  std::string class_name_;
  std::u16string message_;
  std::uintptr_t address_;
};

}  // namespace vannix
