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

bool Succeeded(std::int32_t hresult) { return hresult >= 0; }

}  // namespace

int ProcessFrame::Run(const std::function<void()>& install) {
  // No window is created: a hidden top-level window that never pumps messages would stall
  // programs that broadcast to all windows while a registration is awaited.
  try {
    ole_initialised_ = Succeeded(platform_.OleInitialize());
  } catch (...) {
    Shutdown();
    ReportRuntimeError(platform_, kExitRuntimeError, CallerAddress());
    return kExitRuntimeError;
  }

  int exit_code = kExitSuccess;
  try {
    com_initialised_ = Succeeded(platform_.CoInitialize());
    install();
  } catch (const Failure& failure) {
    ReportFailure(platform_, failure);
    exit_code = kExitFailure;
  } catch (const std::exception& failure) {
    ReportFailure(platform_, Failure(ClassNameOf(typeid(failure)), Widen(failure.what()),
                                     CallerAddress()));
    exit_code = kExitFailure;
  } catch (...) {
    ReportFailure(platform_, Failure("UnknownFailure", u"", CallerAddress()));
    exit_code = kExitFailure;
  }
  Shutdown();
  return exit_code;
}

int ProcessFrame::OnSystemFault(const Failure& failure) {
  ReportFailure(platform_, failure);
  Shutdown();
  return kExitFailure;
}

void ProcessFrame::Shutdown() {
  if (std::exchange(shut_down_, true)) return;
  // The order the process shuts down in: OLE with the application, COM after it.
  if (std::exchange(ole_initialised_, false)) platform_.OleUninitialize();
  if (std::exchange(com_initialised_, false)) platform_.CoUninitialize();
}

}  // namespace vannix
