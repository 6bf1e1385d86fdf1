// The one place a failure that escaped the installation is shown to the user.
#pragma once

#include <cstdint>
#include <string>

#include "installer/failure.h"
#include "platform/platform.h"

namespace vannix {

inline constexpr std::size_t kFailureTextLimit = 1024;

// Where an address lies: the file name of the module holding it and the offset from its base.
struct CodeLocation {
  std::u16string module_name;
  std::uintptr_t offset = 0;
};

CodeLocation LocateAddress(platform::Platform& platform, std::uintptr_t address);

// "Exception <class> in module <module> at <offset>.\r\n<message><.>\r\n", at most 1024 characters.
std::u16string FailureText(const std::string& class_name, const CodeLocation& location,
                           const std::u16string& message);

// One task-modal error box captioned "Application Error".
void ReportFailure(platform::Platform& platform, const Failure& failure);

// The box for a failure while the process itself starts: "Runtime error 217 at XXXXXXXX".
std::string RuntimeErrorText(int code, std::uintptr_t address);
void ReportRuntimeError(platform::Platform& platform, int code, std::uintptr_t address);

// A fault raised by the processor or the system (an access violation and the like) as a failure.
Failure FailureFromSystemFault(std::uint32_t code, std::uintptr_t address,
                               std::uint32_t parameter_count, const std::uintptr_t* parameters);

}  // namespace vannix
