#include "installer/failure_report.h"

#include "installer/text.h"

namespace vannix {
namespace {

constexpr std::uintptr_t kOutsideModulesBias = 4096;
constexpr std::uint32_t kRuntimeErrorFlags = platform::kMbOk;
constexpr std::uint32_t kFailureBoxFlags = platform::kMbTaskModal | platform::kMbIconError;

}  // namespace

CodeLocation LocateAddress(platform::Platform& platform, std::uintptr_t address) {
  std::uintptr_t base = 0;
  std::u16string path;
  if (platform.ModuleFromAddress(address, &base, &path)) return {FileNameOf(path), address - base};
  return {FileNameOf(platform.OwnModulePath()), address - kOutsideModulesBias};
}

std::u16string FailureText(const std::string& class_name, const CodeLocation& location,
                           const std::u16string& message) {
  std::u16string text = u"Exception " + Widen(class_name) + u" in module " +
                        location.module_name + u" at " + Hex(location.offset, 8) + u".\r\n" +
                        message;
  if (!message.empty() && message.back() != u'.') text += u'.';
  text += u"\r\n";
  if (text.size() > kFailureTextLimit) text.resize(kFailureTextLimit);
  return text;
}

void ReportFailure(platform::Platform& platform, const Failure& failure) {
  platform.MessageBoxW(
      FailureText(failure.class_name(), LocateAddress(platform, failure.address()),
                  failure.message()),
      u"Application Error", kFailureBoxFlags);
}

std::string RuntimeErrorText(int code, std::uintptr_t address) {
  std::string text = "Runtime error     at 00000000";
  const std::u16string number = Decimal(static_cast<std::uint64_t>(code));
  // The code fills the three characters before " at", right-aligned.
  for (std::size_t i = 0; i < number.size() && i < 3; ++i)
    text[16 - i] = static_cast<char>(number[number.size() - 1 - i]);
  const std::u16string hex = Hex(address, 8);
  for (std::size_t i = 0; i < hex.size(); ++i) text[21 + i] = static_cast<char>(hex[i]);
  return text;
}

void ReportRuntimeError(platform::Platform& platform, int code, std::uintptr_t address) {
  platform.MessageBoxA(RuntimeErrorText(code, address), "Error", kRuntimeErrorFlags);
}

Failure FailureFromSystemFault(std::uint32_t code, std::uintptr_t address,
                               std::uint32_t parameter_count, const std::uintptr_t* parameters) {
  const std::u16string at = u" at address " + Hex(address, 8);
  switch (code) {
    case 0xC0000005u: {  // EXCEPTION_ACCESS_VIOLATION
      std::u16string message = u"Access violation" + at;
      if (parameter_count >= 2) {
        const char16_t* kind = parameters[0] == 1   ? u". Write of address "
                               : parameters[0] == 8 ? u". Execution of address "
                                                    : u". Read of address ";
        message += kind + Hex(parameters[1], 8);
      }
      return Failure("AccessViolation", message, address);
    }
    case 0xC000001Du:  // EXCEPTION_ILLEGAL_INSTRUCTION
      return Failure("IllegalInstruction", u"Illegal instruction" + at, address);
    case 0xC0000096u:  // EXCEPTION_PRIV_INSTRUCTION
      return Failure("PrivilegedInstruction", u"Privileged instruction" + at, address);
    case 0xC0000094u:  // EXCEPTION_INT_DIVIDE_BY_ZERO
      return Failure("DivisionByZero", u"Division by zero" + at, address);
    case 0xC0000095u:  // EXCEPTION_INT_OVERFLOW
      return Failure("IntegerOverflow", u"Integer overflow" + at, address);
    case 0xC00000FDu:  // EXCEPTION_STACK_OVERFLOW
      return Failure("StackOverflow", u"Stack overflow" + at, address);
    default:
      return Failure("SystemFault", u"System fault " + Hex(code, 8) + at, address);
  }
}

}  // namespace vannix
