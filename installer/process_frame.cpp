#include "installer/process_frame.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <utility>

#include "installer/failure_report.h"
#include "installer/text.h"

namespace vannix {
namespace {

// Where a failure that carries no address of its own was caught.
[[gnu::noinline]] std::uintptr_t CallerAddress() {
  return reinterpret_cast<std::uintptr_t>(
      __builtin_extract_return_addr(__builtin_return_address(0)));
}

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? name.get() : type.name();
}

}  // namespace

int ProcessFrame::Run(const std::function<void()>& install) {
  // No window, no OLE and no COM: nothing the installation does needs them, and loading user32
  // and ole32 at start-up is the largest part of a run's own cost. A box loads user32 itself.
  try {
    install();
  } catch (const Failure& failure) {
    return Fail(failure);
  } catch (const std::exception& failure) {
    return Fail(Failure(ClassNameOf(typeid(failure)), Widen(failure.what()), CallerAddress()));
  } catch (...) {
    return Fail(Failure("UnknownFailure", u"", CallerAddress()));
  }
  return kExitSuccess;
}

int ProcessFrame::OnSystemFault(const Failure& failure) { return Fail(failure); }

int OnStartUpFault(platform::Platform& platform, std::uintptr_t address) {
  ReportRuntimeError(platform, kExitRuntimeError, address);
  return kExitRuntimeError;
}

int ProcessFrame::Fail(const Failure& failure) {
  // One box per process, even when a fault strikes while the first one is being shown.
  if (!std::exchange(reported_, true)) ReportFailure(platform_, failure);
  return kExitFailure;
}

}  // namespace vannix
